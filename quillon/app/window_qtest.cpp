// The window, its dialogs and the help texts' reader, driven through the real Qt widgets on the
// offscreen platform. Message boxes are recorded through the window's box watcher.
#include <sys/stat.h>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <thread>

#include "quillon/app/apptest.h"
#include "quillon/app/folders.h"
#include "quillon/app/preview.h"
#include "quillon/app/rtf.h"
#include "quillon/app/window.h"
#include "quillon/app/window_help.h"
#include "quillon/app/window_main.h"
#include "quillon/engine/audio.h"
#include "quillon/runtime/filesys.h"
#include "quillon/runtime/timer.h"

namespace {

struct Box {
  BoxIcon icon;
  QString title, text;
};
std::vector<Box> g_boxes;

constexpr int kJobControls[] = {ID_EXIT,   ID_BROWSEINPUT, ID_REVERB, ID_BROWSEOUTPUT, ID_INPUT, ID_PREVIEW,
                                ID_IMPORT, ID_ABOUT,       ID_HELP,   ID_OUTPUT,       ID_CROP,  ID_CANCEL};

// Which of the twelve controls of a job are enabled, as a list of ids.
std::vector<int> enabledof(const QuilWindow& w) {
  std::vector<int> on;
  for (int id : kJobControls)
    if (w.control(id)->isEnabled()) on.push_back(id);
  return on;
}

std::vector<int> allbutcancel() {
  std::vector<int> v(std::begin(kJobControls), std::end(kJobControls));
  v.pop_back();
  return v;
}

int g_ends = -1;
int g_shutdowns = 0;
int g_leftovers = -1;
int g_engineatend = -1;
QString g_folder;

// A stand-in for the audio engine's preview playback: it plays nothing, and records what the
// window does around the call.
struct Playback {
  static inline QuilWindow* window = nullptr;
  static inline int result = 0;
  static inline std::vector<int> enabled;
  static inline int cancels = 0, cleanups = 0;
  static inline bool callbacks = false;
  static inline size_t reverbsize = 0;
  static inline std::string path;
  static inline PREVIEW_PUMPFN pump = nullptr;

  static int ditty(const char* p, const unsigned char* reverb, size_t size) {
    path = p;
    reverbsize = reverb ? size : 0;
    enabled = enabledof(*window);
    static_cast<QPushButton*>(window->control(ID_CANCEL))->click();
    if (pump) pump();
    return result;
  }
  static constexpr PREVIEW_PLAYBACK table = {
      ditty,
      [](PREVIEW_PROGRESSFN fn) { callbacks = fn != nullptr; },
      [](PREVIEW_STATUSFN fn) { callbacks = callbacks && fn != nullptr; },
      [](PREVIEW_PUMPFN fn) { pump = fn; },
      [] { ++cancels; },
      [] { ++cleanups; },
  };
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir* dir_ = nullptr;
  QuilWindow* window_ = nullptr;

  QString path(const QString& name) const { return dir_->filePath(name); }
  QLineEdit* edit(int id) const { return static_cast<QLineEdit*>(window_->control(id)); }
  QPushButton* button(int id) const { return static_cast<QPushButton*>(window_->control(id)); }
  QString music(const QString& name, int frames = 44100 * 3) const {
    apptest::writemusic(path(name).toStdString(), frames, 2, 44100);
    return path(name);
  }

 private slots:
  void init() {
    dir_ = new QTemporaryDir;
    QVERIFY(dir_->isValid());
    qputenv("XDG_RUNTIME_DIR", dir_->path().toLocal8Bit());
    window_ = new QuilWindow(path("Documents"));
    window_->show();
    g_boxes.clear();
    window_setboxwatcher([](BoxIcon icon, const QString& title, const QString& text) {
      g_boxes.push_back({icon, title, text});
    });
  }

  void cleanup() {
    window_setboxwatcher(nullptr);
    window_setend(nullptr);
    window_setshutdown(nullptr);
    preview_provide(nullptr);
    delete window_;
    delete dir_;
  }

  void controlsCarryTheirTextsAndStartIdle() {
    const std::pair<int, const char*> texts[] = {
        {ID_BROWSEINPUT, "&Browse..."}, {ID_BROWSEOUTPUT, "Br&owse..."},
        {ID_PREVIEW, "&Preview"},       {ID_IMPORT, "&Import"},
        {ID_CANCEL, "Ca&ncel"},         {ID_HELP, "&Help"},
        {ID_ABOUT, "&About"},           {ID_EXIT, "E&xit"},
    };
    for (const auto& [id, text] : texts) QCOMPARE(button(id)->text(), QString(text));
    QCOMPARE(static_cast<QCheckBox*>(window_->control(ID_CROP))->text(), QString("&Crop"));
    QVERIFY(!static_cast<QCheckBox*>(window_->control(ID_CROP))->isChecked());
    const auto* reverb = static_cast<QSlider*>(window_->control(ID_REVERB));
    QCOMPARE(reverb->minimum(), 0);
    QCOMPARE(reverb->maximum(), 127);
    QCOMPARE(reverb->value(), 0);
    QCOMPARE(reverb->tickPosition(), QSlider::NoTicks);
    const auto* progress = static_cast<QProgressBar*>(window_->control(ID_PROGRESS));
    QCOMPARE(progress->maximum(), 100);
    QCOMPARE(static_cast<QLabel*>(window_->control(ID_STATUS))->alignment(), Qt::AlignCenter);
    QCOMPARE(window_->windowTitle(), QString("Quillon"));
    QCOMPARE(enabledof(*window_), allbutcancel());
    // Each box's label carries the mnemonic that focuses it.
    for (const char* label : {"Convert &File:", "O&utput Folder:", "&Reverb:"}) {
      bool found = false;
      for (const QLabel* l : window_->findChildren<QLabel*>()) found |= l->text() == label && l->buddy();
      QVERIFY2(found, label);
    }
  }

  void folderTreeIsMadeUnderTheDocumentsFolder() {
    const QString ditties = path("Documents/KRV 2003/USER/ditties/");
    QCOMPARE(edit(ID_OUTPUT)->text(), ditties);
    QVERIFY(QDir(path("Documents/KRV 2003/USER/menu tunes")).exists());
    QCOMPARE(QDir(ditties).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 41);
    for (std::string_view name : FOLDERS_DITTIES)
      QVERIFY(QDir(ditties + QString::fromLatin1(name.data(), name.size())).exists());

    // A second start leaves what is there alone.
    QFile mine(ditties + "GOAL_HOME/mine.asf");
    QVERIFY(mine.open(QIODevice::WriteOnly));
    mine.write("x");
    mine.close();
    QCOMPARE(QString::fromStdString(folders_create(path("Documents").toStdString())), ditties);
    QCOMPARE(QFileInfo(mine.fileName()).size(), 1);

    // No documents folder: nothing is made, the box stays empty.
    QuilWindow none{QString()};
    QVERIFY(static_cast<QLineEdit*>(none.control(ID_OUTPUT))->text().isEmpty());
  }

  void documentsFolderComesFromTheUsersDirectories() {
    const QByteArray home = qgetenv("HOME"), config = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", path("home").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", path("home/.config").toLocal8Bit());
    QDir().mkpath(path("home/.config"));
    QFile dirs(path("home/.config/user-dirs.dirs"));
    QVERIFY(dirs.open(QIODevice::WriteOnly));
    dirs.write("XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
    dirs.close();
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    qputenv("HOME", home);
    config.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", config);
    QCOMPARE(documents, path("home/Papers"));
    QuilWindow w(documents);
    QVERIFY(QDir(path("home/Papers/KRV 2003/USER/ditties/GENERIC")).exists());
  }

  void importWritesTheStreamWhileTheWindowWaits() {
    edit(ID_INPUT)->setText(music("song.wav", 44100 * 8));
    edit(ID_OUTPUT)->setText(path(""));
    static_cast<QSlider*>(window_->control(ID_REVERB))->setValue(64);
    std::vector<int> seen;
    std::vector<int> during;
    bool waiting = false;
    auto* progress = static_cast<QProgressBar*>(window_->control(ID_PROGRESS));
    connect(progress, &QProgressBar::valueChanged, this, [&](int v) {
      seen.push_back(v);
      during = enabledof(*window_);
      waiting = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    });
    // The pump lets the event loop run during the job: a timer due now fires inside it.
    bool pumped = false;
    QTimer::singleShot(0, this, [&] { pumped = true; });
    button(ID_IMPORT)->click();
    QVERIFY(g_boxes.empty());
    QVERIFY(QFileInfo(path("song.asf")).size() > 1000);
    QVERIFY(pumped);
    QVERIFY(seen.size() > 3);
    QVERIFY(std::any_of(seen.begin(), seen.end(), [](int v) { return v > 0 && v < 100; }));
    QVERIFY(during.empty());
    QVERIFY(waiting);
    QCOMPARE(progress->value(), 0);
    QVERIFY(static_cast<QLabel*>(window_->control(ID_STATUS))->text().isEmpty());
    QCOMPARE(enabledof(*window_), allbutcancel());
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(QDir(path("")).entryList({".song.asf.*"}, QDir::Hidden | QDir::Files).size(), 0);
  }

  void outputNameIsTheInputsBaseName_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("output");
    QTest::newRow("extension") << "song.mp3"
                               << "out/"
                               << "out/song.asf";
    QTest::newRow("two dots") << "my.song.mp3"
                              << "out"
                              << "out/my.asf";
    QTest::newRow("no extension") << "song"
                                  << "out/"
                                  << "out/song.asf";
  }
  void outputNameIsTheInputsBaseName() {
    QFETCH(QString, input);
    QFETCH(QString, folder);
    QFETCH(QString, output);
    QDir().mkpath(path("out"));
    edit(ID_INPUT)->setText(music(input, 4410));
    edit(ID_OUTPUT)->setText(path(folder));
    button(ID_IMPORT)->click();
    QVERIFY(g_boxes.empty());
    QCOMPARE(QDir(path("out")).entryList(QDir::Files), QStringList{QFileInfo(output).fileName()});
  }

  void emptyBoxesAreRefusedBeforeAnyJob_data() {
    QTest::addColumn<int>("buttonid");
    QTest::addColumn<bool>("withinput");
    QTest::addColumn<QString>("message");
    QTest::newRow("import, no input") << int(ID_IMPORT) << false << "Please select an input file";
    QTest::newRow("import, no output") << int(ID_IMPORT) << true << "Please select an output folder";
    QTest::newRow("preview, no input") << int(ID_PREVIEW) << false << "Please select an input file";
  }
  void emptyBoxesAreRefusedBeforeAnyJob() {
    QFETCH(int, buttonid);
    QFETCH(bool, withinput);
    QFETCH(QString, message);
    edit(ID_INPUT)->setText(withinput ? music("song.wav", 4410) : QString());
    edit(ID_OUTPUT)->clear();
    button(buttonid)->click();
    QCOMPARE(g_boxes.size(), size_t{1});
    QCOMPARE(g_boxes[0].title, QString("Error"));
    QCOMPARE(g_boxes[0].icon, BoxIcon::Error);
    QCOMPARE(g_boxes[0].text, message);
    QVERIFY(!QFileInfo::exists(path("quillon/krv1.TMP")));
    QCOMPARE(enabledof(*window_), allbutcancel());
  }

  void failingJobShowsItsMessage_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << "absent.wav"
                             << "Could not open %1 for reading";
    QTest::newRow("not a sound") << "notes.txt"
                                 << "Unknown file format in %1";
  }
  void failingJobShowsItsMessage() {
    QFETCH(QString, input);
    QFETCH(QString, message);
    QFile notes(path("notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("these are not the sounds you are looking for\n");
    notes.close();
    edit(ID_INPUT)->setText(path(input));
    edit(ID_OUTPUT)->setText(path(""));
    button(ID_IMPORT)->click();
    QCOMPARE(g_boxes.size(), size_t{1});
    QCOMPARE(g_boxes[0].title, QString("Error"));
    QCOMPARE(g_boxes[0].text, message.arg(path(input)));
    QVERIFY(!QFileInfo::exists(path(QFileInfo(input).baseName() + ".asf")));
    QCOMPARE(enabledof(*window_), allbutcancel());
  }

  void previewWithoutPlaybackImportsIntoThePrivateFolderAndSaysSo() {
    edit(ID_INPUT)->setText(music("song.wav", 4410));
    button(ID_PREVIEW)->click();
    QCOMPARE(g_boxes.size(), size_t{1});
    QCOMPARE(g_boxes[0].text, QString("Preview playback is not available in this build of Quillon."));
    const QString temp = path("quillon/krv1.TMP");
    QVERIFY(QFileInfo(temp).size() > 100);
    struct stat st;
    QCOMPARE(stat(QFile::encodeName(path("quillon")).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
    QCOMPARE(enabledof(*window_), allbutcancel());
  }

  void previewLeavesOnlyCancelDuringPlayback_data() {
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("message");
    QTest::newRow("played") << 0 << "";
    QTest::newRow("audio") << -1 << "Failed to initialise audio";
    QTest::newRow("memory") << -2 << "Out of memory";
    QTest::newRow("reverb") << -3 << "Could not load rink.fx file";
  }
  void previewLeavesOnlyCancelDuringPlayback() {
    QFETCH(int, result);
    QFETCH(QString, message);
    Playback::window = window_;
    Playback::result = result;
    Playback::cancels = Playback::cleanups = 0;
    preview_provide(&Playback::table);
    edit(ID_INPUT)->setText(music("song.wav", 4410));
    button(ID_PREVIEW)->click();
    QCOMPARE(Playback::enabled, std::vector<int>{ID_CANCEL});
    QCOMPARE(Playback::cancels, 1);
    QVERIFY(Playback::callbacks);
    QVERIFY(Playback::pump);
    QCOMPARE(Playback::reverbsize, sizeof REVERB_FILE);
    QCOMPARE(QString::fromStdString(Playback::path), path("quillon/krv1.TMP"));
    QCOMPARE(g_boxes.size(), message.isEmpty() ? size_t{0} : size_t{1});
    if (!message.isEmpty()) QCOMPARE(g_boxes[0].text, message);
    QCOMPARE(enabledof(*window_), allbutcancel());
    QVERIFY(!QApplication::overrideCursor());
  }

  // The engine's own playback on SDL's dummy driver: while it plays only Cancel is enabled, and
  // Cancel ends it with the controls back; closing the window ends the process after the clean-up.
  void realPreviewPlaysUntilCancelOrQuit_data() {
    QTest::addColumn<bool>("quit");
    QTest::newRow("cancel") << false;
    QTest::newRow("quit") << true;
  }
  void realPreviewPlaysUntilCancelOrQuit() {
    QFETCH(bool, quit);
    FILESYS_init(2, 0, 16);
    TIMER_init(100);
    const auto stop = qScopeGuard([] {
      FILESYS_shutdown();
      TIMER_stop();
    });
    preview_provide(&preview_engine);
    g_ends = -1;
    g_shutdowns = 0;
    window_setend([](int status) {
      g_ends = status;
      g_engineatend = AUDIO_isrunning();
    });
    window_setshutdown([] { ++g_shutdowns; });
    edit(ID_INPUT)->setText(music("song.wav", 44100 * 20));
    std::vector<int> during;
    bool running = false;
    const auto* status = static_cast<QLabel*>(window_->control(ID_STATUS));
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
      if (!during.empty() || status->text() != "Playing...") return;
      during = enabledof(*window_);
      running = AUDIO_isrunning();
      if (quit)
        window_->close();
      else
        button(ID_CANCEL)->click();
    });
    poll.start(10);
    button(ID_PREVIEW)->click();
    poll.stop();
    QCOMPARE(during, std::vector<int>{ID_CANCEL});
    QVERIFY(running);
    QVERIFY(!AUDIO_isrunning());
    QVERIFY(g_boxes.empty());
    QCOMPARE(g_ends, quit ? 0 : -1);
    if (quit) {
      QCOMPARE(g_engineatend, 0);  // the engine was down before the end
      QCOMPARE(g_shutdowns, 1);
    } else {
      QCOMPARE(enabledof(*window_), allbutcancel());
      QCOMPARE(status->text(), QString());
      QVERIFY(!QApplication::overrideCursor());
    }
  }

  // Closing the window inside a job ends the process, and takes the job's partial stream along.
  void quitDuringImportEndsTheProcessWithoutLeftovers() {
    edit(ID_INPUT)->setText(music("song.wav", 44100 * 8));
    edit(ID_OUTPUT)->setText(path(""));
    g_ends = -1;
    g_shutdowns = 0;
    g_leftovers = -1;
    g_folder = path("");
    // A real end never returns; this one looks at the folder at that moment.
    window_setend([](int status) {
      g_ends = status;
      g_leftovers = QDir(g_folder).entryList({".song.asf.*"}, QDir::Hidden | QDir::Files).size();
    });
    window_setshutdown([] { ++g_shutdowns; });
    auto* progress = static_cast<QProgressBar*>(window_->control(ID_PROGRESS));
    const auto* status = static_cast<QLabel*>(window_->control(ID_STATUS));
    connect(progress, &QProgressBar::valueChanged, this, [&, status](int v) {
      if (g_ends < 0 && v >= 50 && status->text() == "Writing...")
        QMetaObject::invokeMethod(window_, &QWidget::close, Qt::QueuedConnection);
    });
    button(ID_IMPORT)->click();
    QCOMPARE(g_ends, 0);
    QCOMPARE(g_shutdowns, 1);
    QCOMPARE(g_leftovers, 0);
    QVERIFY(!QFileInfo::exists(path("song.asf")));
  }

  void droppedFileGoesIntoTheInputBox() {
    const QString song = music("dropped.wav", 100);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(song)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_, &drop);
    QCOMPARE(edit(ID_INPUT)->text(), song);
  }

  void aboutNamesTheProgramAndItsVersion() {
    button(ID_ABOUT)->click();
    QCOMPARE(g_boxes.size(), size_t{1});
    QCOMPARE(g_boxes[0].title, QString("About"));
    QCOMPARE(g_boxes[0].icon, BoxIcon::Information);
    QVERIFY(g_boxes[0].text.startsWith("Quillon\nVersion "));
    QCOMPARE(g_boxes[0].text.count('\n'), 1);
  }

  void helpShowsSevenTopicsAndLoadsOnlyOnAChange() {
    struct Seen {
      QString title, first, crop, back;
      QStringList names;
      std::vector<int> shown, loads;
      bool readonly = false, accepted = false;
    } seen;
    QTimer::singleShot(0, this, [&seen] {
      auto* dialog = qobject_cast<HelpDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      const auto closer = qScopeGuard([dialog] { dialog->reject(); });
      connect(dialog, &QDialog::accepted, [&seen] { seen.accepted = true; });
      seen.title = dialog->windowTitle();
      auto* topics = dialog->findChild<QListWidget*>(QString("ctl%1").arg(ID_HELPTOPICS));
      const auto* text = dialog->findChild<QTextBrowser*>(QString("ctl%1").arg(ID_HELPTEXT));
      for (int i = 0; i < topics->count(); ++i) seen.names << topics->item(i)->text();
      seen.readonly = text->isReadOnly();
      const auto note = [&] {
        seen.shown.push_back(dialog->shown());
        seen.loads.push_back(dialog->loads());
        return text->toPlainText();
      };
      const auto click = [topics](int row) {
        const QRect r = topics->visualItemRect(topics->item(row));
        QTest::mouseClick(topics->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
      };
      seen.first = note();
      click(3);
      seen.crop = note();
      click(0);
      click(0);
      seen.back = note();
      dialog->findChild<QPushButton*>(QString("ctl%1").arg(ID_HELPOK))->click();
    });
    button(ID_HELP)->click();
    QCOMPARE(seen.title, QString("Quillon Help"));
    QCOMPARE(seen.names,
             (QStringList{"Overview", "Importing", "Previewing", "Crop", "Reverb", "FAQ", "Credits"}));
    QVERIFY(seen.readonly);
    QCOMPARE(seen.shown, (std::vector<int>{0, 3, 0}));
    QCOMPARE(seen.loads, (std::vector<int>{1, 2, 3}));  // the second click on Overview read nothing
    QVERIFY(seen.first.contains("TIME_RUNNING_OUT"));
    QVERIFY(seen.crop.contains("70 seconds"));
    QVERIFY(seen.back.contains("Ditty folders"));
    QVERIFY(seen.accepted);
  }

  void everyHelpTextReadsAsText() {
    for (const char* name : {"overview", "importing", "previewing", "crop", "reverb", "faq", "credits"}) {
      QFile f(QString(":/help/%1.rtf").arg(name));
      QVERIFY2(f.open(QIODevice::ReadOnly), name);
      const QByteArray rtf = f.readAll();
      const QString html = QString::fromStdString(rtf_tohtml(std::string_view(rtf.constData(), rtf.size())));
      QVERIFY2(!html.contains('\\') && !html.contains("Sans;"), name);  // no control word or table leaks
      QVERIFY2(html.contains("font-weight:bold"), name);
    }
  }

  void rtfReader_data() {
    QTest::addColumn<QByteArray>("rtf");
    QTest::addColumn<QStringList>("has");
    QTest::addColumn<QStringList>("hasnot");
    const auto row = [](const char* name, const char* rtf, QStringList has, QStringList hasnot = {}) {
      QTest::newRow(name) << QByteArray(rtf) << has << hasnot;
    };
    row("plain", "{\\rtf1 Hello}", {">Hello</span>"});
    row("paragraph and tab", "{\\rtf1 a\\par b\\tab c}", {"a</span><br /><span", "b\tc"});
    row("bold on and off", "{\\rtf1 \\b B\\b0 n}", {"font-weight:bold;\">B</span>", "pt;\">n</span>"});
    row("italic and underline in a group", "{\\rtf1 {\\i\\ul x}y}",
        {"font-style:italic; text-decoration:underline;\">x", "pt;\">y"});
    row("font size in half points", "{\\rtf1 \\fs28 big\\fs21 odd}",
        {"font-size:14pt;\">big", "font-size:10.5pt;\">odd"});
    row("colour table",
        "{\\rtf1{\\colortbl;\\red255\\green0\\blue16;\\red1\\green2\\blue3;}\\cf2 c\\cf1 r\\cf0 a}",
        {"color:#010203;\">c", "color:#ff0010;\">r", "pt;\">a"}, {"255", ";;"});
    row("code page 1252", "{\\rtf1 caf\\'e9 \\'93q\\'94}", {"caf\u00e9", "\u201cq\u201d"});
    row("unicode with fallback", "{\\rtf1 \\u8364?x}", {"\u20acx"}, {"?"});
    row("escapes and markup", "{\\rtf1 \\{a\\}\\\\ <b>&}", {"{a}\\ &lt;b&gt;&amp;"});
    row("unknown words and destinations",
        "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}{\\*\\generator x;}\\pard\\qc\\foo12 t}", {">t</span>"},
        {"Arial", "generator", "foo"});
    row("plain resets the style", "{\\rtf1 \\b\\i a\\plain b}", {"pt;\">b"});
    row("binary data skipped", "{\\rtf1 \\bin3 }}}z}", {">z</span>"}, {"}}"});
    row("truncated hex", "{\\rtf1 a\\'e", {">ae</span>"});
    row("unbalanced braces", "}}{\\rtf1 a}}}{b", {">ab</span>"});
  }
  void rtfReader() {
    QFETCH(QByteArray, rtf);
    QFETCH(QStringList, has);
    QFETCH(QStringList, hasnot);
    const QString html = QString::fromStdString(rtf_tohtml(std::string_view(rtf.constData(), rtf.size())));
    for (const QString& s : has) QVERIFY2(html.contains(s), qPrintable(html + " lacks " + s));
    for (const QString& s : hasnot) QVERIFY2(!html.contains(s), qPrintable(html + " has " + s));
  }

  void rtfReaderSurvivesDeepNesting() {
    std::string deep(100000, '{');
    deep += "\\b x";
    deep += std::string(100000, '}');
    deep += "y";
    const std::string html = rtf_tohtml(deep);
    QVERIFY(html.find(">y</span>") != std::string::npos);
    QVERIFY(html.find("font-weight:bold;\">y") == std::string::npos);
  }

  void runtimeFaultsShowTheAbortBoxFromAnyThread() {
    window_abortbox("Abort Message", "FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n");
    std::thread device([] { window_abortbox("Abort Message", "STREAM_get - invalid stream handle\n"); });
    QVERIFY(QTest::qWaitFor([] { return g_boxes.size() == 2; }, 10000));
    device.join();
    QCOMPARE(g_boxes[0].title, QString("Abort Message"));
    QCOMPARE(g_boxes[0].icon, BoxIcon::Error);
    QCOMPARE(g_boxes[0].text, QString("FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE."));
    QCOMPARE(g_boxes[1].text, QString("STREAM_get - invalid stream handle"));
  }

  void withoutDisplayTheProgramNamesItsCommands() {
    QProcess p;
    QProcessEnvironment env;
    env.insert("HOME", path(""));
    p.setProcessEnvironment(env);
    p.start(QUILLON_EXE, {});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 1);
    const QString err = p.readAllStandardError();
    QVERIFY(err.contains("graphical display"));
    QVERIFY(err.contains("import [--reverb N]"));
  }
};

QTEST_MAIN(WindowTest)
#include "window_qtest.moc"
