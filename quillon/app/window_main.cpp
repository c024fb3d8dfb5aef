#include "quillon/app/window_main.h"

#include <QApplication>
#include <QStandardPaths>
#include <cstdio>
#include <cstdlib>

#include "quillon/app/cli.h"
#include "quillon/app/window.h"
#include "quillon/app/window_icons.h"

namespace {

// Qt ends the process inside QApplication when no platform can be opened: ask first.
bool hasdisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* v = std::getenv(name);
    if (v && *v) return true;
  }
  return false;
}

}  // namespace

int window_main(int argc, char** argv, void (*started)(QWidget* window)) {
  if (!hasdisplay()) {
    std::fputs(
        "quillon: the window needs a graphical display, and none was found (DISPLAY and WAYLAND_DISPLAY "
        "are not set).\nWithout a display, use the commands import, preview, info, convert and formats:\n\n",
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
  if (started) started(&window);
  return QApplication::exec();
}
