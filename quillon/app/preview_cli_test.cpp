// End-to-end tests of quillon preview and quillon play on SDL2's dummy driver: the status lines,
// the exit statuses and messages, Ctrl-C as Cancel, and streams that cannot be played.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "quillon/app/apptest.h"

extern char** environ;

namespace {

using namespace apptest;

// Every run has a limit, so a hang fails the test instead of stopping it.
Result run(const std::string& args, const std::string& env = "") {
  return shell(env + " timeout 60 " QUILLON_EXE " " + args, true);
}

class PlayFiles : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    setenv("SDL_AUDIODRIVER", "dummy", 1);
  }
  // A stream made by the import job of `seconds` of stereo 22050 Hz music.
  std::string stream(const std::string& name, double seconds) {
    writemusic(path(name + ".wav"), static_cast<int>(22050 * seconds), 2, 22050);
    EXPECT_EQ(run("import " + path(name + ".wav") + " " + path("")).status, 0);
    return path(name + ".asf");
  }
  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
};

// The stream `asf` with its header chunk replaced by one of the given tags.
std::string withheader(const std::string& asf, const std::string& tags) {
  std::string body = std::string("PT\0\0", 4) + tags + '\xFF';
  while ((body.size() + 8) % 4) body.push_back(0);
  std::string chunk = "SCHl";
  const uint32_t size = static_cast<uint32_t>(body.size() + 8);
  for (int i = 0; i < 4; ++i) chunk.push_back(static_cast<char>(size >> (8 * i)));
  const uint32_t old = static_cast<uint8_t>(asf[4]) | static_cast<uint8_t>(asf[5]) << 8;
  return chunk + body + asf.substr(old);
}

TEST_F(PlayFiles, UsageAndUserErrors) {
  struct Case {
    const char* args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"preview", 2, "usage: quillon"},
      {"play", 2, "usage: quillon"},
      {"play --crop x.asf", 2, "usage: quillon"},
      {"play a.asf b.asf", 2, "usage: quillon"},
      {"preview --reverb 128 x.wav", 2, "--reverb takes a number from 0 to 127"},
      {"preview --frobnicate x.wav", 2, "usage: quillon"},
      {"preview ''", 1, "Please select an input file"},
      {"play ''", 1, "Please select an input file"},
      {"preview /no/such/song.mp3", 1, "Could not open /no/such/song.mp3 for reading"},
      {"play /no/such/ditty.asf", 1, "Could not open /no/such/ditty.asf for reading"},
  };
  for (const Case& c : cases) {
    const Result r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_EQ(r.out.find("Initialising audio..."), std::string::npos) << c.args;  // the engine never started
  }
}

TEST_F(PlayFiles, PreviewImportsThenPlaysToTheEnd) {
  writemusic(path("song.wav"), 22050, 2, 22050);
  const Result r = run("preview --reverb 64 " + path("song.wav"), "XDG_RUNTIME_DIR=" + path(""));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out,
            "Opening...\nReading...\nFading...\nWriting...\nDone\nInitialising audio...\nPlaying...\nDone\n");
  EXPECT_GT(std::filesystem::file_size(path("quillon/krv1.TMP")), 1000u);
}

TEST_F(PlayFiles, PlayWithTheFilesOwnReverbAndAnother) {
  const std::string asf = stream("ditty", 1.0);
  const std::string before = slurp(asf);
  for (const char* reverb : {"", "--reverb 0 ", "--reverb 100 "}) {
    const Result r = run(std::string("play ") + reverb + asf, "XDG_RUNTIME_DIR=" + path(""));
    EXPECT_EQ(r.status, 0) << reverb << r.out;
    EXPECT_EQ(r.out, "Initialising audio...\nPlaying...\nDone\n") << reverb;
  }
  // Another amount plays a copy in the private folder; the file itself is left as it was.
  EXPECT_TRUE(std::filesystem::exists(path("quillon/krv1.TMP")));
  EXPECT_EQ(slurp(asf), before);
}

// Every representation the player has a source for plays; the others are named and refused.
TEST_F(PlayFiles, RepresentationsPlayOrAreNamed) {
  writemusic(path("in.wav"), 22050, 2, 22050);
  struct Case {
    const char* rep;
    int status;
    const char* out;
  };
  const Case cases[] = {
      {"pl_blk", 0, "Initialising audio...\nPlaying...\nDone\n"},
      {"s16l_blk", 0, "Initialising audio...\nPlaying...\nDone\n"},
      {"s8_blk", 0, "Initialising audio...\nPlaying...\nDone\n"},
      {"layer2", 1, "holds layer2 ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rep);
    const std::string asf = path(std::string(c.rep) + ".asf");
    ASSERT_EQ(run("convert --format pcstream --rep " + std::string(c.rep) + " " + path("in.wav") + " " + asf)
                  .status,
              0);
    const Result r = run("play " + asf);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
  }
}

TEST_F(PlayFiles, NoAudioDeviceFailsAtOnce) {
  const std::string asf = stream("ditty", 1.0);
  const Result r = run("play " + asf, "SDL_AUDIODRIVER=no-such-driver");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Failed to initialise audio"), std::string::npos) << r.out;
}

TEST_F(PlayFiles, BadStreamsAreRefusedWithAReason) {
  const std::string good = slurp(stream("ditty", 2.0));
  ASSERT_GT(good.size(), 4000u);
  std::string lyingdata = good, lyingheader = good;
  // The first data chunk after the header and count chunks claims 3 bytes, the header 1 GB.
  const uint32_t header = static_cast<uint8_t>(good[4]) | static_cast<uint8_t>(good[5]) << 8;
  const size_t data = lyingdata.find("SCDl", header);
  ASSERT_NE(data, std::string::npos);
  lyingdata.replace(data + 4, 4, std::string("\x03\0\0\0", 4));
  lyingheader.replace(4, 4, std::string("\0\0\0\x40", 4));
  struct Case {
    const char* name;
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"a WAV file", slurp(path("ditty.wav")), "is not an SND stream"},
      {"empty", "", "is not an SND stream"},
      {"cut in the header", good.substr(0, 20), "the stream is corrupt"},
      {"cut in the data", good.substr(0, good.size() * 3 / 5), "the stream is corrupt"},
      {"header size lies", lyingheader, "its header chunk claims 1073741824 bytes"},
      {"data chunk size lies", lyingdata, "the stream is corrupt"},
      {"0 channels", withheader(good, std::string("\x82\x01\x00", 3)), "gives 0 channels"},
      {"5 channels", withheader(good, "\x82\x01\x05"), "gives 5 channels"},
      {"rate 0", withheader(good, std::string("\x84\x01\x00", 3)), "a sample rate of 0 Hz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write("bad.asf", c.bytes);
    const Result r = run("play " + path("bad.asf"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  }
}

// The raw wait status and the standard output of `quillon play asf` sent `sig` once it plays.
std::pair<int, std::string> signalled(const std::string& asf, int sig) {
  int out[2];
  if (pipe(out) != 0) return {-1, "no pipe"};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string exe = QUILLON_EXE, play = "play";
  char* argv[] = {exe.data(), play.data(), const_cast<char*>(asf.c_str()), nullptr};
  pid_t pid;
  const int spawned = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return {-1, "not started"};
  }
  std::string text;
  char buf[256];
  pollfd p{out[0], POLLIN, 0};
  bool sent = false;
  while (poll(&p, 1, 30000) > 0) {
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (!sent && text.find("Playing...\n") != std::string::npos) sent = kill(pid, sig) == 0;
  }
  close(out[0]);
  if (!sent) kill(pid, SIGKILL);
  int status = -1;
  waitpid(pid, &status, 0);
  return {sent ? status : -1, text};
}

// Ctrl-C during playback is Cancel: the playback ends, the status is "Done" and the exit 0. A
// request to terminate still ends the program as it would any other.
TEST_F(PlayFiles, InterruptIsCancelAndTerminateEnds) {
  const std::string asf = stream("long", 30.0);
  const auto [interrupted, text] = signalled(asf, SIGINT);
  ASSERT_TRUE(WIFEXITED(interrupted)) << text;
  EXPECT_EQ(WEXITSTATUS(interrupted), 0);
  EXPECT_EQ(text, "Initialising audio...\nPlaying...\nDone\n");
  const int terminated = signalled(asf, SIGTERM).first;
  ASSERT_TRUE(WIFSIGNALED(terminated));
  EXPECT_EQ(WTERMSIG(terminated), SIGTERM);
}

// A stream without samples (the import of an empty file) has played to its end at once.
TEST_F(PlayFiles, NothingToPlayEndsAtOnce) {
  writewav(path("empty.wav"), 0, 2, 22050, [](int, int) { return 0; });
  Result r = run("preview " + path("empty.wav"), "XDG_RUNTIME_DIR=" + path(""));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "Opening...\nReading...\nFading...\nWriting...\nDone\nDone\n");
  ASSERT_EQ(run("import " + path("empty.wav") + " " + path("")).status, 0);
  r = run("play " + path("empty.asf"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "Done\n");
}

}  // namespace
