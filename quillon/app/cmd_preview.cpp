// quillon preview [--reverb N] [--crop] INPUT: the import job into the preview file, then the
// preview playback of it. quillon play [--reverb N] FILE.asf: an existing stream file through
// the same playback. Ctrl-C is the window's Cancel button.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/app/cli.h"
#include "quillon/app/cliutil.h"
#include "quillon/app/import.h"
#include "quillon/app/playheader.h"
#include "quillon/app/preview.h"
#include "quillon/engine/audiostream.h"
#include "quillon/runtime/filesys.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/timer.h"
#include "quillon/soundcore/sinfo.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void oninterrupt(int) {
  g_interrupted = 1;
}

void printstatus(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

void pump() {
  if (g_interrupted) preview_cancel();
}

void fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", message.c_str());
}

struct Options {
  std::optional<int> reverb;
  bool crop = false;
  std::string operand;
};

// Parses [--reverb N] [--crop] OPERAND; false after printing what was wrong.
bool parse(int argc, char** argv, bool cancrop, Options* o) {
  int operands = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--crop" && cancrop) {
      o->crop = true;
    } else if (arg == "--reverb" && i + 1 < argc) {
      int reverb;
      if (!cli_parsereverb(argv[++i], &reverb)) return false;
      o->reverb = reverb;
    } else if (arg.starts_with("--")) {
      cli_usage(stderr);
      return false;
    } else {
      o->operand = cli_resolvepath(std::string(arg));
      ++operands;
    }
  }
  if (operands == 1) return true;
  cli_usage(stderr);
  return false;
}

// The runtime the playback stands on (as the window starts it), and Ctrl-C as Cancel, for the
// life of one playback.
class Playback {
 public:
  Playback() {
    FILESYS_init(2, 0, 16);
    TIMER_init(100);
    g_interrupted = 0;
    struct sigaction sa = {};
    sa.sa_handler = oninterrupt;
    sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once
    sigaction(SIGINT, &sa, &previous_);
  }
  ~Playback() {
    sigaction(SIGINT, &previous_, nullptr);
    FILESYS_shutdown();
    TIMER_stop();
  }
  Playback(const Playback&) = delete;
  Playback& operator=(const Playback&) = delete;

  // Plays `path`; `shown` names the file in messages. Returns the exit status.
  int play(const std::string& path, const std::string& shown) {
    std::ifstream in(path, std::ios::binary);
    if (stream_playsnothing(in)) {  // played to its end at once
      printstatus("Done");
      return CLI_OK;
    }
    in.close();
    ProgressBar bar;
    preview_setstatus(printstatus);
    preview_setprogress(bar.drawer());
    preview_setpump(pump);
    const int result = preview_ditty(path.c_str(), REVERB_FILE, sizeof REVERB_FILE);
    preview_setstatus(nullptr);
    preview_setprogress(nullptr);
    preview_setpump(nullptr);
    if (result == PREVIEW_OK) return CLI_OK;
    if (preview_streamfault() == AUDIOSTREAM_EUNSUPPORTED) {
      fail(shown + " holds sample data which the player cannot play");
    } else if (preview_streamfault() != 0) {
      fail(shown + ": the stream is corrupt; playback stopped at the bad data");
    } else {
      fail(preview_message(result));
    }
    return CLI_FAILED;
  }

 private:
  struct sigaction previous_ = {};
};

// The stream with its header chunk replaced, into the preview file.
bool writecopy(std::ifstream& in, const STREAMHEADERCHUNK& h, const std::string& target) {
  AtomicOutput out(target);
  if (!out.file()) return false;
  std::vector<char> buf(1 << 16);
  // Everything before the header, the new header, then everything after the old one.
  auto copy = [&](std::streamoff from, std::streamoff to) {
    in.clear();
    in.seekg(from);
    while (to < 0 || from < to) {
      const std::streamsize want =
          to < 0 ? std::streamsize(buf.size()) : std::min<std::streamsize>(buf.size(), to - from);
      in.read(buf.data(), want);
      const std::streamsize got = in.gcount();
      if (got <= 0) break;
      if (gwrite(out.file(), buf.data(), static_cast<int>(got)) != got) return false;
      from += got;
    }
    return true;
  };
  return copy(0, h.offset) &&
         gwrite(out.file(), h.bytes.data(), static_cast<int>(h.bytes.size())) ==
             static_cast<int>(h.bytes.size()) &&
         copy(h.offset + h.size, -1) && out.commit();
}

}  // namespace

int cmd_preview(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, true, &o)) return CLI_USAGE;
  if (o.operand.empty()) {
    fail("Please select an input file");
    return CLI_FAILED;
  }
  const std::string temp = preview_tempfile();
  if (temp.empty()) {
    fail("Failed to create temporary file");
    return CLI_FAILED;
  }
  import_setstatus(printstatus);
  int result;
  {
    ProgressBar bar;
    result = import_ditty(o.operand.c_str(), temp.c_str(), o.reverb.value_or(0), o.crop ? 1 : 0);
  }
  import_setstatus(nullptr);
  if (result != IMPORT_OK) {
    fail(import_message(result, o.operand, temp));
    return CLI_FAILED;
  }
  Playback playback;
  return playback.play(temp, o.operand);
}

int cmd_play(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, false, &o)) return CLI_USAGE;
  const std::string& file = o.operand;
  if (file.empty()) {
    fail("Please select an input file");
    return CLI_FAILED;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    fail("Could not open " + file + " for reading");
    return CLI_FAILED;
  }
  STREAMHEADERCHUNK h;
  if (!stream_findheader(in, &h)) {
    fail(file + " is not an SND stream (no header chunk)");
    return CLI_FAILED;
  }
  AUDIOSTREAMHEADER header;
  if (h.size != h.bytes.size() ||
      AUDIOSTREAM_parseheader(h.bytes.data(), h.bytes.size(), &header) != AUDIOSTREAM_OK) {
    std::string why = "its header chunk is cut short or malformed";
    if (h.size != h.bytes.size())
      why = "its header chunk claims " + std::to_string(h.size) + " bytes";
    else if (header.channels < 1 || header.channels > AUDIOSTREAM_MAXCHANNELS)
      why = "its header gives " + std::to_string(header.channels) + " channels (1 to 4 play)";
    else if (header.rate <= 0)
      why = "its header gives a sample rate of " + std::to_string(header.rate) + " Hz";
    fail(file + ": the stream is corrupt; " + why);
    return CLI_FAILED;
  }
  if (!AUDIOSTREAM_hassource(header.rep)) {
    const bool known = header.rep >= 0 && header.rep < SREP_COUNT;
    fail(file + " holds " +
         (known ? std::string(AUREX_samplerepshortname(header.rep)) + " (" + AUREX_samplerepname(header.rep) +
                      ")"
                : "representation " + std::to_string(header.rep)) +
         " sample data, which the player cannot play");
    return CLI_FAILED;
  }
  std::string path = file;
  if (o.reverb && *o.reverb != header.reverb) {
    path = preview_tempfile();
    if (path.empty() || !stream_setreverb(h.bytes, *o.reverb) || !writecopy(in, h, path)) {
      fail("Failed to create temporary file");
      return CLI_FAILED;
    }
  }
  in.close();
  Playback playback;
  return playback.play(path, file);
}
