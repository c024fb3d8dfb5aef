#include "quillon/app/window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QToolTip>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>

#include "quillon/app/folders.h"
#include "quillon/app/import.h"
#include "quillon/app/preview.h"
#include "quillon/app/window_help.h"
#include "quillon/app/window_icons.h"
#include "quillon/soundcore/aurex.h"

#ifndef QUILLON_VERSION
#define QUILLON_VERSION "0"
#endif

namespace {

WINDOW_BOXWATCHER g_watcher;

void endprocess(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}
WINDOW_ENDFN g_end = endprocess;
void (*g_shutdown)() = nullptr;

// The window whose job or preview is running: the job's callbacks are plain function pointers.
QuilWindow* g_active = nullptr;

// One pass over the window's pending events: enough to repaint and to take a click on Cancel,
// short enough that the job goes on at once.
constexpr int kPumpSliceMs = 5;

}  // namespace

void window_setboxwatcher(WINDOW_BOXWATCHER watcher) {
  g_watcher = std::move(watcher);
}

void window_messagebox(QWidget* parent, BoxIcon icon, const QString& title, const QString& text) {
  if (g_watcher) {
    g_watcher(icon, title, text);
    return;
  }
  QMessageBox box(icon == BoxIcon::Error ? QMessageBox::Critical : QMessageBox::Information, title, text,
                  QMessageBox::Ok, parent);
  box.exec();
}

void window_setend(WINDOW_ENDFN fn) {
  g_end = fn ? fn : endprocess;
}

void window_setshutdown(void (*fn)()) {
  g_shutdown = fn;
}

QuilWindow::QuilWindow(const QString& documents) {
  setWindowTitle("Quillon");
  setWindowIcon(window_programicon());
  setAcceptDrops(true);

  const auto withid = [](QWidget* w, int id) { w->setObjectName(QString("ctl%1").arg(id)); };
  const auto button = [&](const char* text, int id) {
    auto* b = new QPushButton(text, this);
    withid(b, id);
    b->setAutoDefault(false);
    return b;
  };

  input_ = new QLineEdit(this);
  withid(input_, ID_INPUT);
  output_ = new QLineEdit(this);
  withid(output_, ID_OUTPUT);
  // Room for a typical path at any font size (the layout scales with the font and screen).
  input_->setMinimumWidth(fontMetrics().averageCharWidth() * 50);
  auto* inputlabel = new QLabel("Convert &File:", this);
  inputlabel->setBuddy(input_);
  auto* outputlabel = new QLabel("O&utput Folder:", this);
  outputlabel->setBuddy(output_);
  QPushButton* browsein = button("&Browse...", ID_BROWSEINPUT);
  connect(browsein, &QPushButton::clicked, this, &QuilWindow::browseinput);
  QPushButton* browseout = button("Br&owse...", ID_BROWSEOUTPUT);
  connect(browseout, &QPushButton::clicked, this, &QuilWindow::browseoutput);

  reverb_ = new QSlider(Qt::Horizontal, this);
  withid(reverb_, ID_REVERB);
  reverb_->setRange(0, 127);
  reverb_->setValue(0);
  reverb_->setTickPosition(QSlider::NoTicks);
  reverb_->setPageStep(16);
  reverb_->setToolTip("0");
  // The value follows the handle while it is dragged, as a tooltip beside it.
  connect(reverb_, &QSlider::valueChanged, this, [this](int value) {
    reverb_->setToolTip(QString::number(value));
    if (!reverb_->isSliderDown()) return;
    const QStyle* st = reverb_->style();
    const int span = st->pixelMetric(QStyle::PM_SliderLength, nullptr, reverb_);
    const int x = QStyle::sliderPositionFromValue(reverb_->minimum(), reverb_->maximum(), value,
                                                  reverb_->width() - span);
    QToolTip::showText(reverb_->mapToGlobal(QPoint(x + span / 2, -reverb_->height())), QString::number(value),
                       reverb_);
  });
  auto* reverblabel = new QLabel("&Reverb:", this);
  reverblabel->setBuddy(reverb_);
  crop_ = new QCheckBox("&Crop", this);
  withid(crop_, ID_CROP);

  QPushButton* previewbutton = button("&Preview", ID_PREVIEW);
  connect(previewbutton, &QPushButton::clicked, this, &QuilWindow::preview);
  QPushButton* importbutton = button("&Import", ID_IMPORT);
  connect(importbutton, &QPushButton::clicked, this, &QuilWindow::importfile);
  progress_ = new QProgressBar(this);
  withid(progress_, ID_PROGRESS);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  status_ = new QLabel(this);
  withid(status_, ID_STATUS);
  status_->setAlignment(Qt::AlignCenter);
  status_->setMinimumWidth(status_->fontMetrics().horizontalAdvance("Initialising audio...") * 2);
  QPushButton* cancelbutton = button("Ca&ncel", ID_CANCEL);
  connect(cancelbutton, &QPushButton::clicked, this, &QuilWindow::cancel);
  QPushButton* helpbutton = button("&Help", ID_HELP);
  connect(helpbutton, &QPushButton::clicked, this, &QuilWindow::help);
  QPushButton* aboutbutton = button("&About", ID_ABOUT);
  connect(aboutbutton, &QPushButton::clicked, this, &QuilWindow::about);
  QPushButton* exitbutton = button("E&xit", ID_EXIT);
  connect(exitbutton, &QPushButton::clicked, this, &QWidget::close);

  auto* grid = new QGridLayout;
  grid->addWidget(inputlabel, 0, 0);
  grid->addWidget(input_, 0, 1, 1, 2);
  grid->addWidget(browsein, 0, 3);
  grid->addWidget(outputlabel, 1, 0);
  grid->addWidget(output_, 1, 1, 1, 2);
  grid->addWidget(browseout, 1, 3);
  grid->addWidget(reverblabel, 2, 0);
  grid->addWidget(reverb_, 2, 1);
  grid->addWidget(crop_, 2, 2);
  grid->setColumnStretch(1, 1);

  auto* actions = new QHBoxLayout;
  actions->addStretch(1);
  actions->addWidget(previewbutton);
  actions->addWidget(importbutton);

  auto* job = new QHBoxLayout;
  job->addWidget(progress_, 1);
  job->addWidget(cancelbutton);

  auto* bottom = new QHBoxLayout;
  for (int i = 0; i < 3; ++i) {
    auto* deco = new QLabel(this);
    const int side = fontMetrics().height() * 2;
    deco->setPixmap(window_decoration(i).pixmap(side, side));
    bottom->addWidget(deco);
  }
  bottom->addStretch(1);
  bottom->addWidget(helpbutton);
  bottom->addWidget(aboutbutton);
  bottom->addWidget(exitbutton);

  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addLayout(actions);
  top->addSpacing(fontMetrics().height() / 2);
  top->addLayout(job);
  top->addWidget(status_);
  top->addStretch(1);
  top->addLayout(bottom);

  // Tab order follows the controls' order above; the labels' mnemonics reach the boxes.
  setTabOrder(input_, browsein);
  setTabOrder(browsein, output_);
  setTabOrder(output_, browseout);
  setTabOrder(browseout, reverb_);
  setTabOrder(reverb_, crop_);
  setTabOrder(crop_, previewbutton);
  setTabOrder(previewbutton, importbutton);
  setTabOrder(importbutton, cancelbutton);
  setTabOrder(cancelbutton, helpbutton);
  setTabOrder(helpbutton, aboutbutton);
  setTabOrder(aboutbutton, exitbutton);

  output_->setText(QFile::decodeName(folders_create(QFile::encodeName(documents).toStdString()).c_str()));
  cancelbutton->setEnabled(false);
}

QuilWindow::~QuilWindow() {
  if (g_active == this) {
    AUREX_setprogress(nullptr);
    import_setstatus(nullptr);
    g_active = nullptr;
  }
}

QWidget* QuilWindow::control(int id) const {
  return findChild<QWidget*>(QString("ctl%1").arg(id));
}

void QuilWindow::error(const QString& text) {
  window_messagebox(this, BoxIcon::Error, "Error", text);
}

void QuilWindow::enablecontrols(bool idle, bool cancel) {
  for (int id : {ID_EXIT, ID_BROWSEINPUT, ID_REVERB, ID_BROWSEOUTPUT, ID_INPUT, ID_PREVIEW, ID_IMPORT,
                 ID_ABOUT, ID_HELP, ID_OUTPUT, ID_CROP})
    control(id)->setEnabled(idle);
  control(ID_CANCEL)->setEnabled(cancel);
}

void QuilWindow::reset() {
  progress_->setValue(0);
  status_->clear();
}

void QuilWindow::pump() {
  QCoreApplication::processEvents(QEventLoop::AllEvents, kPumpSliceMs);
}

void QuilWindow::onprogress(int percent) {
  if (g_active) g_active->progress_->setValue(percent);
  pump();
}

void QuilWindow::onstatus(const char* text) {
  if (g_active) g_active->status_->setText(QString::fromUtf8(text));
}

int QuilWindow::runjob(const QString& input, const QString& output) {
  g_active = this;
  AUREX_setprogress(onprogress);
  import_setstatus(onstatus);
  const int reverb = reverb_->value();
  const int crop = crop_->isChecked() ? 1 : 0;
  enablecontrols(false, false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  busy_ = Busy::Job;
  const QByteArray in = QFile::encodeName(input);
  const QByteArray out = QFile::encodeName(output);
  const int result = import_ditty(in.constData(), out.constData(), reverb, crop);
  busy_ = Busy::Idle;
  reset();
  QApplication::restoreOverrideCursor();
  const std::string message = import_message(result, in.toStdString(), out.toStdString());
  if (!message.empty()) error(QString::fromLocal8Bit(message.c_str()));
  enablecontrols(true, false);
  return result;
}

void QuilWindow::importfile() {
  const QString input = input_->text();
  const QString folder = output_->text();
  if (input.isEmpty()) return error("Please select an input file");
  if (folder.isEmpty()) return error("Please select an output folder");
  const bool separated = folder.endsWith('/') || folder.endsWith('\\');
  const QString base = QFile::decodeName(import_basename(QFile::encodeName(input).toStdString()).c_str());
  runjob(input, folder + (separated ? "" : "/") + base + ".asf");
}

void QuilWindow::preview() {
  const QString input = input_->text();
  if (input.isEmpty()) return error("Please select an input file");
  const std::string temp = preview_tempfile();
  if (temp.empty()) return error("Failed to create temporary file");
  if (runjob(input, QFile::decodeName(temp.c_str())) < 0) return;
  const PREVIEW_PLAYBACK* playback = preview_playback();
  if (!playback) return error("Preview playback is not available in this build of Quillon.");

  enablecontrols(false, true);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  g_active = this;
  playback->setprogress(onprogress);
  playback->setstatus(onstatus);
  playback->setpump(pump);
  busy_ = Busy::Preview;
  const int result = playback->ditty(temp.c_str(), REVERB_FILE, sizeof REVERB_FILE);
  busy_ = Busy::Idle;
  QApplication::restoreOverrideCursor();
  const std::string message = preview_message(result);
  if (!message.empty()) error(QString::fromStdString(message));
  reset();
  enablecontrols(true, false);
}

void QuilWindow::cancel() {
  if (const PREVIEW_PLAYBACK* playback = preview_playback()) playback->cancel();
}

void QuilWindow::closeEvent(QCloseEvent* event) {
  if (busy_ == Busy::Idle) {
    event->accept();
    return;
  }
  // Quitting inside a job or a preview ends the process here and now: the job's stack is below
  // us, so nothing after this point may run its clean-up. Leave no partial stream behind.
  event->ignore();
  if (busy_ == Busy::Preview) {
    if (const PREVIEW_PLAYBACK* playback = preview_playback()) playback->cleanup();
  }
  import_discard();
  if (g_shutdown) g_shutdown();
  g_end(0);
}

void QuilWindow::browseinput() {
  if (!opendialog_) {
    opendialog_ = new QFileDialog(this);
    opendialog_->setFileMode(QFileDialog::ExistingFile);
    opendialog_->setAcceptMode(QFileDialog::AcceptOpen);
    // Qt's pattern lists are separated by blanks, and "*" is every file (also one without a dot).
    opendialog_->setNameFilters({"MPEG Files (*.mp3 *.mp2)", "WAV Files (*.wav)", "AIFF Files (*.aif *.aiff)",
                                 "Ogg Vorbis Files (*.ogg)", "QuickTime Movies (*.mov *.mp4 *.m4a)",
                                 "All Files (*)"});
    opendialog_->setDefaultSuffix("mp3");
  }
  if (opendialog_->exec() != QDialog::Accepted || opendialog_->selectedFiles().isEmpty()) return;
  input_->setText(opendialog_->selectedFiles().first());
}

void QuilWindow::browseoutput() {
  const QUrl chosen = QFileDialog::getExistingDirectoryUrl(this, "Select a folder for ditty output",
                                                           QUrl::fromLocalFile(output_->text()),
                                                           QFileDialog::ShowDirsOnly, {"file"});
  if (chosen.isEmpty()) return;
  if (!chosen.isLocalFile()) return error("Invalid folder");
  output_->setText(chosen.toLocalFile());
}

void QuilWindow::help() {
  HelpDialog dialog(this);
  dialog.exec();
}

void QuilWindow::about() {
  window_messagebox(this, BoxIcon::Information, "About", "Quillon\nVersion " QUILLON_VERSION);
}

void QuilWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (busy_ == Busy::Idle && event->mimeData()->hasUrls() && event->mimeData()->urls().first().isLocalFile())
    event->acceptProposedAction();
}

// A file dropped on the window is the input; a folder is the output.
void QuilWindow::dropEvent(QDropEvent* event) {
  const QString path = event->mimeData()->urls().first().toLocalFile();
  if (busy_ != Busy::Idle || path.isEmpty()) return;
  (QFileInfo(path).isDir() ? output_ : input_)->setText(path);
  event->acceptProposedAction();
}
