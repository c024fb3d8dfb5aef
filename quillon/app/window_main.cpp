#include "quillon/app/window_main.h"

#include <QApplication>
#include <QSemaphore>
#include <QStandardPaths>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "quillon/app/cli.h"
#include "quillon/app/preview.h"
#include "quillon/app/window.h"
#include "quillon/app/window_icons.h"
#include "quillon/runtime/diag.h"
#include "quillon/runtime/filesys.h"
#include "quillon/runtime/timer.h"

namespace {

// Qt ends the process inside QApplication when no platform can be opened: ask first.
bool hasdisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* v = std::getenv(name);
    if (v && *v) return true;
  }
  return false;
}

void stopruntime() {
  FILESYS_shutdown();
  TIMER_stop();
}

}  // namespace

void window_abortbox(const char* title, const char* text) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  const QString t = QString::fromLocal8Bit(title), m = QString::fromLocal8Bit(text).trimmed();
  const auto show = [t, m] { window_messagebox(QApplication::activeWindow(), BoxIcon::Error, t, m); };
  if (QThread::currentThread() == app->thread()) return show();
  const auto shown = std::make_shared<QSemaphore>();  // outlives a wait that gave up
  QMetaObject::invokeMethod(
      app,
      [show, shown] {
        show();
        shown->release();
      },
      Qt::QueuedConnection);
  shown->tryAcquire(1, 120000);
}

int window_main(int argc, char** argv, void (*started)(QWidget* window)) {
  if (!hasdisplay()) {
    std::fputs(
        "quillon: the window needs a graphical display, and none was found (DISPLAY and WAYLAND_DISPLAY "
        "are not set).\nWithout a display, use the commands import, preview, play, info, convert and "
        "formats:\n\n",
        stderr);
    cli_usage(stderr);
    return CLI_FAILED;
  }
  QApplication::setApplicationName("quillon");
  QApplication::setDesktopFileName("quillon");
  QApplication app(argc, argv);
  QApplication::setWindowIcon(window_programicon());

  QuilWindow window(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
  window.show();
  FAULT_setbox(window_abortbox);
  FILESYS_init(2, 0, 16);
  TIMER_init(100);
  window_setshutdown(stopruntime);
  preview_provide(&preview_engine);
  if (started) started(&window);
  const int status = QApplication::exec();
  stopruntime();
  FAULT_setbox(nullptr);
  return status;
}
