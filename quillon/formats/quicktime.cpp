// The QuickTime module. The movie's sound goes through a temporary WAVE file, as the module always
// worked, but that file lives in the user's private temporary folder under a fresh name and is
// removed as soon as it is open, on every path.
#include "quillon/formats/quicktime.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "quillon/formats/moviebind.h"
#include "quillon/formats/wave.h"
#include "quillon/platform/tempfolder.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/samples.h"

namespace {

constexpr int kPrivInitialised = 0;  // SINSTANCE::priv slot: the binding is held by this instance
constexpr const char* kMsgInit =
    "The movie library could not be initialised. Please install the movie run-time libraries (the "
    "Debian packages libavformat59, libavcodec59 and libswresample4, which come with ffmpeg).";

int fail(const char* message) {
  AUREX_seterror(message);
  return 0;
}

bool atomis(const uint8_t* atom, const char* type) {
  return std::memcmp(atom + 4, type, 4) == 0;
}

// The binding, opened once per instance and released by close.
bool initialise(SINSTANCE* inst) {
  if (inst->priv[kPrivInitialised]) return true;
  if (movie_init() != MOVIE_OK) return false;
  inst->priv[kPrivInitialised] = 1;
  return true;
}

// An open movie for the length of one call.
struct Movie {
  MOVIE* m = nullptr;
  ~Movie() { movie_close(m); }
};

}  // namespace

SABOUT* quicktime_about() {
  SABOUT* a = AUREX_newabout();
  if (!a) return nullptr;
  a->exportreps[0] = -1;
  const int8_t reps[] = {SREP_S16B_INT, SREP_S8_INT, SREP_S16L_INT, -1};
  std::memcpy(a->importreps, reps, sizeof reps);
  a->elementlimit = 1;
  a->timbrelimit = 1;
  a->formatcode = 2;
  a->caps = SABOUT_CANREAD;
  std::strcpy(a->shortname, "quicktime");
  std::strcpy(a->longname, "Quicktime Movie");
  return a;
}

// The movie's first atom must be its data or its description. Beyond the old rule (one "wide"
// atom may come first), the leading atoms of today's files ("ftyp", "free", "skip") are stepped
// over too, as every .mp4 and .m4a begins with "ftyp".
int quicktime_identify(gfile* file) {
  constexpr int kMaxLeadingAtoms = 8;
  const int64_t size = gsize(file);
  int64_t at = 0;
  for (int i = 0; i < kMaxLeadingAtoms && at + 8 <= size; ++i) {
    uint8_t atom[8];
    if (!gseek(file, static_cast<int32_t>(at)) || gread(file, atom, 8) != 8) return 0;
    if (atomis(atom, "mdat") || atomis(atom, "moov")) return 100;
    const bool leading =
        atomis(atom, "ftyp") || atomis(atom, "wide") || atomis(atom, "free") || atomis(atom, "skip");
    const int64_t length = ggetbe(atom, 4);
    if (!leading || length < 8) return 0;
    at += length;
  }
  return 0;
}

int quicktime_open(SINSTANCE** out, gfile* file) {
  *out = AUREX_newinstance(file);
  return *out ? 1 : 0;
}

int quicktime_info(SINSTANCE* inst, SINFO** out, int element) {
  *out = nullptr;
  if (element != 0) return fail("An attempt to get info from a patch element other than 0 was made.");
  if (!initialise(inst)) return fail(kMsgInit);
  Movie movie;
  if (movie_open(inst->file, &movie.m) != MOVIE_OK) return fail("Could not load Quicktime movie data");
  MOVIE_SOUND sound{};
  const int r = movie_sound(movie.m, &sound);
  if (r == MOVIE_ERR_CODEC) return fail("Unrecognized audio format in Quicktime Movie");
  if (r != MOVIE_OK) return fail("Could not find audio info in Quicktime movie");
  if (sound.channels < 1) return fail("Could not parse sound header");
  if (!sinfo_rateinrange(sound.rate)) return fail("Unsupported sample rate in Quicktime importer.");
  SINFO* info = AUREX_newsinfo();
  if (!info) return fail("Couldn't allocate memory for an SINFO structure.");
  STIMBRE& t = info->timbres[0];
  t.numchannels = static_cast<int8_t>(sound.channels);
  t.samplerate = sound.rate;
  t.numsamples = static_cast<int32_t>(std::min<int64_t>(sound.frames, INT32_MAX));
  t.samplerep = SREP_S16L_INT;  // what the temporary WAVE file holds
  *out = info;
  return 1;
}

int quicktime_read(SINSTANCE* inst, SINFO* info, int element) {
  if (element != 0) return fail("An attempt to read from a patch element other than 0 was made.");
  if (!initialise(inst)) return fail(kMsgInit);
  Movie movie;
  if (movie_open(inst->file, &movie.m) != MOVIE_OK) return fail("Could not load Quicktime movie data");
  MOVIE_SOUND sound{};
  const int r = movie_sound(movie.m, &sound);
  if (r == MOVIE_ERR_NOTRACKS) return fail("Could not read tracks from Quicktime movie");
  if (r == MOVIE_ERR_NOSOUND) return fail("could not find any sound tracks");
  if (r != MOVIE_OK) return fail("Unrecognized audio format in Quicktime Movie");

  const std::string folder = platform_privatetempfolder();
  std::string name = folder + "arxqtime.XXXXXX";
  const int fd = folder.empty() ? -1 : mkstemp(name.data());
  if (fd < 0) return fail("could not obtain sound media");
  int64_t frames = 0;
  const bool converted = movie_towave(movie.m, fd, &frames) == MOVIE_OK;
  close(fd);
  gfile* wave = converted ? gopen(name.c_str()) : nullptr;
  unlink(name.c_str());  // the open file stays readable; nothing is left behind
  if (!wave) {
    AUREX_seterror("could not convert sound track to a file");
    return fail("could not obtain sound media");
  }
  // The decoded length is the true one; the container's figure may differ by a few frames.
  STIMBRE& t = info->timbres[0];
  int ok = 1;
  if (wave_findchunk(wave, "data") < 0) {
    ok = fail("Coudn't find data chunk.");
  } else if (uint8_t head[8]; gread(wave, head, 8) != 8) {
    ok = fail("Couldn't read from file.");
  } else {
    for (int c = 0; c < STIMBRE_MAXCHANNELS; ++c) {
      if (t.samples[c]) gfree(t.samples[c]);
      t.samples[c] = nullptr;
    }
    t.numchannels = static_cast<int8_t>(sound.channels);
    t.numsamples = static_cast<int32_t>(frames);
    t.samplerep = SREP_S16L_INT;
    const int32_t positions[STIMBRE_MAXCHANNELS] = {};
    ok = t.numsamples == 0 ||
         (AUREX_allocsamples(&t) == 0 && isimportsamples(wave, positions, 0, 0, t.numsamples, t.numchannels,
                                                         SREP_S16L_INT, nullptr, t.samples));
  }
  gclose(wave);
  return ok;
}

int quicktime_close(SINSTANCE* inst) {
  if (inst && inst->priv[kPrivInitialised]) movie_release();
  return AUREX_freeinstance(inst);
}
