// Test fixture shared by the end-to-end tests: runs the built braxel program in a scratch folder
// with its standard output and error captured, and reads and writes files there.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef BRAXEL_EXE
#error "BRAXEL_EXE must name the built braxel program"
#endif

struct RunResult {
  int status = -1;
  std::string out;
};

// The four lines of a fatal error.
inline std::string fatal_text(const std::string& message) {
  return "***********\nFatal Error\n***********\n-- " + message + "\n";
}

class BraxelRunTest : public ::testing::Test {
 protected:
  using Bytes = std::vector<std::uint8_t>;

  void SetUp() override {
    char tmpl[] = "/tmp/braxel_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Starts braxel with args in the scratch folder; finish() waits for it.
  pid_t start(const std::vector<std::string>& args) {
    const std::string out_path = (dir_ / ".stdout").string();
    pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(dir_.c_str()) != 0) ::_exit(127);
      int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(BRAXEL_EXE));
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(BRAXEL_EXE, argv.data());
      ::_exit(127);
    }
    return pid;
  }
  RunResult finish(pid_t pid) {
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    RunResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = read_text(".stdout");
    std::filesystem::remove(dir_ / ".stdout");
    return r;
  }
  RunResult run(const std::vector<std::string>& args) { return finish(start(args)); }

  std::string read_text(const std::string& name) {
    std::ifstream f(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  Bytes read_bytes(const std::string& name) {
    const std::string t = read_text(name);
    return Bytes(t.begin(), t.end());
  }
  void write_bytes(const std::string& name, const Bytes& data) {
    std::filesystem::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  // Files below the scratch folder, as sorted relative paths.
  std::vector<std::string> files() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_))
      if (e.is_regular_file()) names.push_back(std::filesystem::relative(e.path(), dir_).string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::filesystem::path dir_;
};
