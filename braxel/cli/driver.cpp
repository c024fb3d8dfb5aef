// Front end of braxel: fills the console services, removes the run-wide switches, shows the
// usage text and hands the command's operands to the part that implements it.
#include "braxel/cli/driver.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/archive/pack.h"
#include "braxel/archive/update.h"
#include "braxel/cli/console/console.h"
#include "braxel/cli/face.h"
#include "braxel/cli/patch.h"
#include "braxel/image/extract.h"
#include "braxel/image/replace.h"

namespace {

constexpr const char* kUnknownCommand = "\nunknown command or not enough parameters\n";

void print_usage() {
  const std::string version = version_text(kVersionRecord);
  const std::string date = build_date_text(kBuildDate);
  console.print("\n");
  console.print(" BRAXEL %s (%s) BMP/GIF/JPG/PCX/PNG<->QV-SHPI converter by\n", version.c_str(),
                date.c_str());
  console.print(" the braxel team; portable C++ edition for the game's user content\n");
  console.print("\n");
  console.print("*replace images:\n");
  console.print("  -r(p) (-real) (-pal <palfile>) <path> <img1> <SHPI1> <img2> <SHPI2> ...\n");
  console.print("*create new SHPI-file and replace images:\n");
  console.print("  -c(p) (-real) (-pal <palfile>) <path> <SHPI-file> <img1> <SHPI1> ...\n");
  console.print("*update pack file:\n");
  console.print("  -p (-real) <pack file> <file1> <file2> ...\n");
  console.print("*delete file(s) inside pack file:\n");
  console.print("  -d <path> name1 name2...\n");
  console.print("*list pack file contents:\n");
  console.print("  -l <pack-file path>\n");
  console.print("*extract and decompress images from pack file:\n");
  console.print("  -e(gif/bmp/jpeg/pcx/png) <pack file path> (<name1> <name2> ...)\n");
  console.print("*extract and decompress data from pack file:\n");
  console.print("  -u <pack-file path> (<name1> <name2> ...)\n");
  console.print("*compress/decompress file:\n");
  console.print("  -de/compress (-real) <source file> <destination file>\n");
  console.print("*add new KRV'98/'99 face(s):\n");
  console.print("  -face <game basedir> <face number> <another face number> ...\n");
}

enum class Command {
  kNone,
  kMakePatch,
  kPatch,
  kCompress,
  kDecompress,
  kReplace,
  kCreate,
  kUpdate,
  kDelete,
  kFace,
  kList,
  kExtract,
};

struct CommandRow {
  const char* word;
  Command command;
  int minimum;
  int image_format;  // extract family: -1 raw data, else the image file format code
};

// Image file format codes shared with the image writer.
constexpr int kFormatBmp = 0;
constexpr int kFormatGif = 1;
constexpr int kFormatJpeg = 3;
constexpr int kFormatPcx = 4;
constexpr int kFormatPng = 5;

// Matched in this order, first match wins; the create command (a "-c" prefix) is tested between
// the replace and update rows, after "-compress".
constexpr CommandRow kCommands[] = {
    {"-makepatch", Command::kMakePatch, 3, 0},
    {"-patch", Command::kPatch, 1, 0},
    {"-compress", Command::kCompress, 2, 0},
    {"-decompress", Command::kDecompress, 2, 0},
    {"-r", Command::kReplace, 3, 0},
    {"-rp", Command::kReplace, 3, 0},
    {nullptr, Command::kCreate, 4, 0},
    {"-p", Command::kUpdate, 2, 0},
    {"-p1", Command::kUpdate, 2, 0},
    {"-d", Command::kDelete, 1, 0},
    {"-face", Command::kFace, 2, 0},
    {"-list", Command::kList, 1, 0},
    {"-l", Command::kList, 1, 0},
    {"-unpack", Command::kExtract, 1, -1},
    {"-u", Command::kExtract, 1, -1},
    {"-extract", Command::kExtract, 1, kFormatPng},
    {"-e", Command::kExtract, 1, kFormatPng},
    {"-extractbmp", Command::kExtract, 1, kFormatBmp},
    {"-ebmp", Command::kExtract, 1, kFormatBmp},
    {"-extractgif", Command::kExtract, 1, kFormatGif},
    {"-egif", Command::kExtract, 1, kFormatGif},
    {"-extractjpg", Command::kExtract, 1, kFormatJpeg},
    {"-ejpg", Command::kExtract, 1, kFormatJpeg},
    {"-extractpcx", Command::kExtract, 1, kFormatPcx},
    {"-epcx", Command::kExtract, 1, kFormatPcx},
    {"-extractpng", Command::kExtract, 1, kFormatPng},
    {"-epng", Command::kExtract, 1, kFormatPng},
};

const CommandRow* find_command(const char* word) {
  for (const CommandRow& row : kCommands) {
    if (row.word == nullptr) {
      if (word[0] == '-' && (word[1] == 'c' || word[1] == 'C')) return &row;
    } else if (same_word(word, row.word)) {
      return &row;
    }
  }
  return nullptr;
}

// Reads up to kMaxPaletteBytes of the palette file into the options. False when it cannot be
// opened.
bool load_palette(const char* name) {
  ConsoleFile* file = console.open(name, 0);
  if (file == nullptr) return false;
  options.palette_size = static_cast<std::int32_t>(console.read(file, options.palette, kMaxPaletteBytes));
  options.palette_present = 1;
  console.close(file);
  return true;
}

// The palette block given with "-pal", or none.
ExternalPalette external_palette() {
  ExternalPalette palette;
  if (options.palette_present) {
    palette.data = options.palette;
    palette.size = options.palette_size;
  }
  return palette;
}

[[noreturn]] void not_available(const char* word) {
  console.fatal("the command '%s' is not available in this version yet", word);
}

}  // namespace

std::string version_text(const char* record) {
  return std::strlen(record) > 7 ? std::string(record + 7) : std::string();
}

std::string build_date_text(const char* date) {
  static constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                            "jul", "aug", "sep", "oct", "nov", "dec"};
  int month = 0;
  for (int i = 0; i < 12; ++i)
    if (::strncasecmp(date, kMonths[i], 3) == 0) month = i + 1;
  int day = 0;
  int year = 0;
  if (std::strlen(date) >= 6) day = std::atoi(date + 4);
  if (std::strlen(date) >= 7) year = std::atoi(date + 7);
  char text[32];
  std::snprintf(text, sizeof text, "%.2d.%.2d.%d", day, month, year);
  return text;
}

bool same_word(const char* a, const char* b) {
  return ::strcasecmp(a, b) == 0;
}

int create_flags(const char* word) {
  int flags = 0;
  for (const char* c = word; *c != '\0'; ++c) {
    if (*c == '1') flags |= 1;
    if (*c == 'p' || *c == 'P') flags |= 2;
  }
  return flags;
}

char* make_name_list(char* const* names, int count) {
  std::size_t needed = 1;  // the closing empty string
  for (int i = 0; i < count; ++i) needed += std::strlen(names[i]) + 1;
  if (needed > static_cast<std::size_t>(kNameListBytes))
    console.fatal("too many names: the operands take %zu bytes, at most %d fit", needed, kNameListBytes);
  auto* list = static_cast<char*>(console.allocate(kNameListBytes));
  char* at = list;
  for (int i = 0; i < count; ++i) {
    std::size_t length = std::strlen(names[i]);
    std::memcpy(at, names[i], length + 1);
    at += length + 1;
  }
  return list;
}

int braxel_main(int argc, char** argv) {
  console_init();
  image_pack_install();

  // The two run-wide switches may stand anywhere on the line.
  std::vector<char*> args;
  args.push_back(argc > 0 ? argv[0] : const_cast<char*>("braxel"));
  for (int i = 1; i < argc; ++i) {
    if (same_word(argv[i], "-real"))
      options.real_compression = 1;
    else if (same_word(argv[i], "-notrans"))
      options.transparency = 0;
    else
      args.push_back(argv[i]);
  }
  args.push_back(nullptr);
  const int count = static_cast<int>(args.size()) - 1;  // without the null entry

  if (count < 3) {
    print_usage();
    return kExitUsage;
  }

  const char* word = args[1];
  const CommandRow* row = find_command(word);
  if (row == nullptr) {
    console.print("%s", kUnknownCommand);
    return kExitUsage;
  }

  int first = 2;  // index of the first operand
  if (row->command == Command::kReplace || row->command == Command::kCreate) {
    if (same_word(args[first], "-pal")) {
      if (first + 1 >= count) {
        console.print("%s", kUnknownCommand);
        return kExitUsage;
      }
      if (!load_palette(args[first + 1])) {
        console.print("couldn't open palette file '%s'\n", args[first + 1]);
        return kExitFailure;
      }
      first += 2;
    }
  }
  const int operands = count - first;
  if (operands < row->minimum) {
    console.print("%s", kUnknownCommand);
    return kExitUsage;
  }
  char** ops = args.data() + first;

  switch (row->command) {
    case Command::kPatch:
      console.print("not implemented yet\n");
      return kExitOk;
    case Command::kCompress:
      return command_compress(ops[0], ops[1]);
    case Command::kDecompress:
      return command_decompress(ops[0], ops[1]);
    case Command::kCreate:
      return create_pack(ops, operands, "", create_flags(word) | options.transparency, nullptr,
                         external_palette());
    case Command::kReplace:
      return replace_in_pack(ops, operands, same_word(word, "-rp") ? 1 : 0, options.transparency,
                             external_palette());
    case Command::kUpdate:
    case Command::kDelete: {
      char* names = make_name_list(ops + 1, operands - 1);
      const int status = row->command == Command::kDelete
                             ? pack_delete("", ops[0], names)
                             : pack_update("", ops[0], names, same_word(word, "-p1"));
      console.release(names);
      return status;
    }
    case Command::kList:
      return pack_list(ops[0]);
    case Command::kExtract: {
      char* names = make_name_list(ops + 1, operands - 1);
      const int status = row->image_format >= 0 ? image_extract(ops[0], names, row->image_format)
                                                : pack_extract(ops[0], names);
      console.release(names);
      return status;
    }
    case Command::kMakePatch:
      return make_patch(ops);
    case Command::kFace:
      return face_command(ops[0], ops + 1, operands - 1, options.transparency);
    case Command::kNone:
      break;
  }
  not_available(word);
}
