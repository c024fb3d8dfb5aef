// quillon's main window: the input file, the output folder, the reverb and crop, and the Import
// and Preview buttons that run the import job (and the preview playback) on the window's thread.
// An adapter over import_ditty: it holds no format logic.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

class QCheckBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;

// The controls' ids, by which tests find them.
enum : int {
  ID_EXIT = 1000,
  ID_BROWSEINPUT = 1003,
  ID_REVERB = 1004,
  ID_BROWSEOUTPUT = 1005,
  ID_PROGRESS = 1007,
  ID_INPUT = 1008,
  ID_PREVIEW = 1009,
  ID_IMPORT = 1010,
  ID_STATUS = 1011,
  ID_ABOUT = 1012,
  ID_HELP = 1013,
  ID_OUTPUT = 1014,
  ID_CROP = 1017,
  ID_CANCEL = 1021,
};

// Every message box of the program is shown through window_messagebox. A watcher, when set, gets
// each box instead of the screen (tests record them so).
enum class BoxIcon { Error, Information };
using WINDOW_BOXWATCHER = std::function<void(BoxIcon icon, const QString& title, const QString& text)>;
void window_setboxwatcher(WINDOW_BOXWATCHER watcher);
void window_messagebox(QWidget* parent, BoxIcon icon, const QString& title, const QString& text);

// Ends the process when the user quits inside a job or a preview (status 0). Tests replace it.
using WINDOW_ENDFN = void (*)(int status);
void window_setend(WINDOW_ENDFN fn);

// Runs before the process ends inside a job or a preview: shuts the runtime library down.
void window_setshutdown(void (*fn)());

class QuilWindow : public QWidget {
  Q_OBJECT

 public:
  // Makes the folder tree under `documents` ("" for none) and proposes its ditty folder.
  explicit QuilWindow(const QString& documents);
  ~QuilWindow() override;

  QWidget* control(int id) const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void browseinput();
  void browseoutput();
  void importfile();
  void preview();
  void cancel();
  void help();
  void about();

  int runjob(const QString& input, const QString& output);
  void enablecontrols(bool idle, bool cancel);
  void error(const QString& text);
  void reset();

  static void onprogress(int percent);
  static void onstatus(const char* text);
  static void pump();

  QLineEdit* input_;
  QLineEdit* output_;
  QSlider* reverb_;
  QCheckBox* crop_;
  QProgressBar* progress_;
  QLabel* status_;
  QFileDialog* opendialog_ = nullptr;
  enum class Busy { Idle, Job, Preview } busy_ = Busy::Idle;
};
