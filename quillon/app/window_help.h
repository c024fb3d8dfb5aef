// The help dialog "Quillon Help": seven topics, each an RTF text compiled into the program.
#pragma once

#include <QDialog>

class QListWidget;
class QTextBrowser;

enum : int { ID_HELPOK = 1, ID_HELPTOPICS = 1025, ID_HELPTEXT = 1030 };

class HelpDialog : public QDialog {
  Q_OBJECT

 public:
  explicit HelpDialog(QWidget* parent);

  int shown() const { return shown_; }
  int loads() const { return loads_; }

 private:
  void show(int topic);

  QListWidget* topics_;
  QTextBrowser* text_;
  int shown_ = -1;
  int loads_ = 0;  // how many times a text was read into the box
};
