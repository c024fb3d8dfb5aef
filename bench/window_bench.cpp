// Benchmarks of quillon's window: the time from the process start to the main window shown, and
// the longest wait of a due event during the Import of the standard 180 s MP3 (song.mp3 from
// ../shared/bench/make-inputs.sh under $PERF_DIR/in, default /tmp/perf/in). The window runs on
// whatever Qt platform the environment gives (offscreen when none).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quillon/app/window.h"
#include "quillon/app/window_main.h"

extern char** environ;

namespace {

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The child of the start-up benchmark: quillon's own windowed start, which reports the moment its
// window is first exposed on the pipe and ends.
int g_pipe = -1;

class Exposed : public QObject {
 public:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Expose && static_cast<QWindow*>(o)->isExposed()) {
      const int64_t t = now_ns();
      if (write(g_pipe, &t, sizeof t) != sizeof t) std::_Exit(1);
      std::_Exit(0);
    }
    return false;
  }
};

int startupchild(int argc, char** argv) {
  return window_main(argc, argv, [](QWidget* window) {
    window->windowHandle()->installEventFilter(new Exposed);
  });
}

std::string g_self;

void BM_StartupToWindowShown(benchmark::State& state) {
  QTemporaryDir home;  // the folder tree is made in a scratch documents folder
  const std::string env_home = "HOME=" + home.path().toStdString();
  std::vector<std::string> keep;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "HOME=", 5) != 0) keep.emplace_back(*e);
  keep.push_back(env_home);
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
    keep.emplace_back("QT_QPA_PLATFORM=offscreen");
  std::vector<char*> envp;
  for (std::string& s : keep) envp.push_back(s.data());
  envp.push_back(nullptr);

  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) return state.SkipWithError("pipe");
    const std::string fd = std::to_string(fds[1]);
    char* args[] = {g_self.data(), const_cast<char*>("--startup-child"), const_cast<char*>(fd.c_str()), nullptr};
    pid_t pid;
    const int64_t start = now_ns();
    if (posix_spawn(&pid, g_self.c_str(), nullptr, nullptr, args, envp.data()) != 0)
      return state.SkipWithError("spawn");
    close(fds[1]);
    int64_t shown = 0;
    const bool got = read(fds[0], &shown, sizeof shown) == sizeof shown;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!got) return state.SkipWithError("the window was not shown");
    state.SetIterationTime(static_cast<double>(shown - start) / 1e9);
  }
}
BENCHMARK(BM_StartupToWindowShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(15);

int64_t threadcpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// A 1 ms timer is due all the time: the longest time between two of its firings is the longest
// the window took to serve a due event. On a loaded machine the wall time between them includes
// the time other processes had the processor; the window thread's own processor time between
// them is the work the job did without a pass of the event loop.
void BM_ImportEventLoopGap(benchmark::State& state) {
  const char* dir = std::getenv("PERF_DIR");
  const QString song = QString::fromLocal8Bit(dir ? dir : "/tmp/perf") + "/in/song.mp3";
  if (!QFileInfo::exists(song)) return state.SkipWithError("song.mp3 missing: run make-inputs.sh");
  QTemporaryDir out;
  QuilWindow window{QString()};
  window.show();
  static_cast<QLineEdit*>(window.control(ID_INPUT))->setText(song);
  static_cast<QLineEdit*>(window.control(ID_OUTPUT))->setText(out.path());
  window_setboxwatcher([&state](BoxIcon, const QString&, const QString& text) {
    state.SkipWithError(text.toStdString().c_str());
  });
  double worst = 0, worstcpu = 0, total = 0;
  int64_t passes = 0;
  for (auto _ : state) {
    QElapsedTimer since;
    int64_t cpusince = 0;
    double gap = 0, cpugap = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      gap = std::max(gap, since.nsecsElapsed() / 1e6);
      cpugap = std::max(cpugap, (threadcpu_ns() - cpusince) / 1e6);
      since.restart();
      cpusince = threadcpu_ns();
      ++passes;
    });
    QCoreApplication::processEvents();
    tick.start();
    since.start();
    cpusince = threadcpu_ns();
    const int64_t start = now_ns();
    static_cast<QPushButton*>(window.control(ID_IMPORT))->click();
    gap = std::max(gap, since.nsecsElapsed() / 1e6);  // the last stretch, up to the job's end
    cpugap = std::max(cpugap, (threadcpu_ns() - cpusince) / 1e6);
    worstcpu = std::max(worstcpu, cpugap);
    total += (now_ns() - start) / 1e6;
    worst = std::max(worst, gap);
    tick.stop();
    state.SetIterationTime(gap / 1e3);
  }
  window_setboxwatcher(nullptr);
  state.counters["max_gap_ms"] = worst;
  state.counters["max_cpu_gap_ms"] = worstcpu;
  state.counters["import_ms"] = total / state.iterations();
  state.counters["passes"] = static_cast<double>(passes) / state.iterations();
}
BENCHMARK(BM_ImportEventLoopGap)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--startup-child") == 0) {
    g_pipe = std::atoi(argv[2]);
    char* childargv[] = {argv[0], nullptr};
    return startupchild(1, childargv);
  }
  g_self = "/proc/self/exe";
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) g_self.assign(buf, n);
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
