// The sound core's in-memory records: SINFO (one file's sounds) with its STIMBRE sub-records,
// SINSTANCE (one open file), SABOUT (what a format supports), the sample representations and
// the process-wide last error text.
#pragma once

#include <cstdint>

struct gfile;

// Sample representations: the encoding of sample data in a file.
enum : int {
  SREP_S16L_INT = 0,
  SREP_S16B_INT = 1,
  SREP_S8_INT = 2,
  SREP_QVXA_INT = 3,
  SREP_PL_BLK = 4,
  SREP_VAG_BLK = 5,
  SREP_N64_BLK = 6,
  SREP_S16B_BLK = 7,
  SREP_S16L_BLK = 8,
  SREP_S8_BLK = 9,
  SREP_QVXA_BLK = 10,
  SREP_U8_INT = 11,
  SREP_CDXA = 12,
  SREP_DVI_INT = 13,
  SREP_LAYER1 = 14,
  SREP_LAYER2 = 15,
  SREP_LAYER3 = 16,
  SREP_OGG = 17,
  SREP_COUNT = 18,
  SREP_NONE = -1,
};

constexpr int STIMBRE_MAXCHANNELS = 4;
constexpr int SINFO_MAXTIMBRES = 32;

// The sample rates a file may declare. Every rate the game uses (11025..48000, 18900, 37800) is
// inside; a reader refuses anything else, so no later computation sees a rate of 0, a negative
// rate or one large enough to overflow the length arithmetic.
constexpr int64_t SINFO_MINRATE = 1000;
constexpr int64_t SINFO_MAXRATE = 384000;
constexpr bool sinfo_rateinrange(int64_t rate) {
  return rate >= SINFO_MINRATE && rate <= SINFO_MAXRATE;
}

// One sound of up to four channels of 16-bit PCM. Fields the conversion path does not use are
// carried unchanged for the bank and patch formats (the lettered instrument bytes).
struct STIMBRE {
  int32_t envelope[8][2];
  int32_t dataoffset;
  int32_t trackangle[4];
  int16_t* samples[4];
  void* sidedata[4];
  int32_t predictororder[4];
  int32_t numpredictors[4];
  void* codebook[4];
  int32_t codebooksize[4];
  void* loopstate[4];
  int32_t loopstatesize[4];
  void* encoded[4];
  int32_t encodedsize[4];
  int8_t lowvelocity;
  int8_t highvelocity;
  int8_t lownote;
  int8_t highnote;
  int16_t detune;
  int16_t finetune;
  int8_t pan;
  int8_t instA;
  int8_t instB;
  int8_t volume;
  int8_t instC;  // header revision the timbre was read from
  int8_t instD;
  int8_t instE;
  int8_t reserved1;
  int8_t rootnote;
  int8_t instF;
  int8_t instG;
  int8_t instH;  // envelope points in use
  uint8_t instI;
  int8_t instJ;
  int8_t reverb;
  int8_t reserved2;
  int8_t samplerep;
  int8_t numchannels;
  int8_t looptruncate;
  void* paramblock[2];
  uint8_t bankbytes[4];
  int16_t bankshort;
  int16_t playloc;
  int16_t playlocflag;
  int16_t spatialization;
  void* paramblock2[2];
  int32_t bitrate;
  int32_t samplerate;
  int32_t numsamples;
  int32_t loopstart;
  int32_t loopend;
  int32_t sidedatasize;
  void* userdata[4];
  int32_t userdatasize[4];
};

// One file's sounds; a stream or a single sample uses timbre 0 only.
struct SINFO {
  STIMBRE timbres[SINFO_MAXTIMBRES];
  int32_t reserved;
  float streamrate;
  int16_t bankword;
  uint8_t numtimbres;
};

constexpr int SINFO_PARAMBLOCKSIZE = 128;

// One open file, made by a format's open or create.
struct SINSTANCE {
  int32_t numelements;
  int32_t format;
  int32_t reserved[2];
  gfile* file;
  intptr_t priv[3];  // the format module's own
};

// What a format supports. The code lists end with a negative byte.
struct SABOUT {
  int8_t importcodesA[8];
  int8_t importcodesB[8];
  int8_t importreps[16];
  int8_t exportcodesA[8];
  int8_t exportcodesB[8];
  int8_t exportreps[16];
  int32_t elementlimit;
  int32_t timbrelimit;
  int32_t formatcode;
  uint32_t caps;
  uint32_t spatial;
  int32_t reserved;
  char shortname[16];
  char longname[40];
};

enum : uint32_t {
  SABOUT_CANREAD = 1u << 0,
  SABOUT_CANWRITE = 1u << 1,
  SABOUT_PLAYLOC_MASK = 0xFu << 24,
  SABOUT_PLAYLOCFLAG_MASK = 0x7u << 28,
  SABOUT_PLAIN = 1u << 31,
};

void AUREX_initsinfo(SINFO* info);
void AUREX_initsound(STIMBRE* timbre);
int AUREX_copysinfo(SINFO* dst, const SINFO* src);
int AUREX_freesinfo(SINFO* info);
int AUREX_allocsamples(STIMBRE* timbre);
int AUREX_adduserdata(STIMBRE* timbre, int32_t size, const void* data);
void AUREX_defaulttrackangles(STIMBRE* timbre);

const char* AUREX_samplerepname(int rep);
const char* AUREX_samplerepshortname(int rep);
// The representation whose short name is `name`, or SREP_NONE.
int AUREX_samplerepbyname(const char* name);

// A zeroed SINSTANCE holding `file` with one element, or null after storing "Couldn't allocate
// memory for a SINSTANCE structure.". The format modules' open and create use it.
SINSTANCE* AUREX_newinstance(gfile* file);
// Releases an instance from AUREX_newinstance: 1, or 0 after "Problem freeing SINSTANCE structure.".
int AUREX_freeinstance(SINSTANCE* inst);

// A zeroed SABOUT whose platform-code lists are empty (-1 first), or null after storing
// "Couldn't allocate memory for SABOUT structure.". The format modules' about calls fill it in.
SABOUT* AUREX_newabout();

// A SINFO from galloc, initialised; null after storing the allocation failure as last error.
SINFO* AUREX_newsinfo();

const char* AUREX_lasterror();
// Stores a failure's message (cut to 255 characters) as the last error.
void AUREX_seterror(const char* message);
void AUREX_seterrorf(const char* format, ...) __attribute__((format(printf, 1, 2)));
