// Takes PNG pictures of the main window and of the help dialog as the display shows them, for
// review: `quillon_screenshot OUTDIR` (scripts/screenshot.sh runs it under Xvfb).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QWindow>
#include <cstdio>

#include "quillon/app/window.h"
#include "quillon/app/window_help.h"
#include "quillon/app/window_icons.h"

namespace {

void settle() {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 700) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

bool shoot(QWidget& w, const QString& file) {
  w.show();
  w.raise();
  w.activateWindow();
  settle();
  const QPixmap shot = w.screen()->grabWindow(w.winId());
  const bool ok = !shot.isNull() && shot.save(file, "PNG");
  std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", qPrintable(file), shot.width(), shot.height());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication::setApplicationName("quillon");
  QApplication::setDesktopFileName("quillon");
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fputs("usage: quillon_screenshot OUTDIR\n", stderr);
    return 2;
  }
  QApplication::setWindowIcon(window_programicon());
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  QTemporaryDir home;  // the folder tree goes into a scratch documents folder
  QuilWindow window(home.filePath("Documents"));
  static_cast<QLineEdit*>(window.control(ID_INPUT))->setText(home.filePath("Music/goal horn.mp3"));
  bool ok = shoot(window, out + "/quillon-window.png");
  HelpDialog help(&window);
  ok = shoot(help, out + "/quillon-help.png") && ok;
  return ok ? 0 : 1;
}
