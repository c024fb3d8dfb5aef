#include "quillon/app/window_help.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTextBrowser>

#include "quillon/app/rtf.h"

namespace {

struct Topic {
  const char* name;
  const char* resource;
};

constexpr Topic kTopics[] = {
    {"Overview", ":/help/overview.rtf"},     {"Importing", ":/help/importing.rtf"},
    {"Previewing", ":/help/previewing.rtf"}, {"Crop", ":/help/crop.rtf"},
    {"Reverb", ":/help/reverb.rtf"},         {"FAQ", ":/help/faq.rtf"},
    {"Credits", ":/help/credits.rtf"},
};

}  // namespace

// The texts live in the static library's resources, which register only when asked to (and the
// macro's declaration must not fall into a namespace).
static void loadresources() {
  static const bool loaded = [] {
    Q_INIT_RESOURCE(quillon);
    return true;
  }();
  (void)loaded;
}

HelpDialog::HelpDialog(QWidget* parent) : QDialog(parent) {
  loadresources();
  setWindowTitle("Quillon Help");
  topics_ = new QListWidget(this);
  topics_->setObjectName(QString("ctl%1").arg(ID_HELPTOPICS));
  for (const Topic& t : kTopics) topics_->addItem(t.name);
  topics_->setMaximumWidth(topics_->sizeHintForColumn(0) + 4 * topics_->frameWidth() +
                           topics_->fontMetrics().averageCharWidth() * 4);
  text_ = new QTextBrowser(this);
  text_->setObjectName(QString("ctl%1").arg(ID_HELPTEXT));
  text_->setReadOnly(true);
  text_->setOpenLinks(false);
  text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* topiclabel = new QLabel("Topic:", this);
  topiclabel->setBuddy(topics_);
  auto* textlabel = new QLabel("Information:", this);
  textlabel->setBuddy(text_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QString("ctl%1").arg(ID_HELPOK));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* grid = new QGridLayout(this);
  grid->addWidget(topiclabel, 0, 0);
  grid->addWidget(textlabel, 0, 1);
  grid->addWidget(topics_, 1, 0);
  grid->addWidget(text_, 1, 1);
  grid->addWidget(buttons, 2, 0, 1, 2);
  grid->setColumnStretch(1, 1);
  const int em = fontMetrics().averageCharWidth();
  resize(em * 95, fontMetrics().height() * 30);

  topics_->setCurrentRow(0);
  show(0);
  connect(topics_, &QListWidget::currentRowChanged, this, &HelpDialog::show);
  topics_->setFocus();
}

// A text is read only when another topic is chosen; one that cannot be read leaves the box as it was.
void HelpDialog::show(int topic) {
  if (topic < 0 || topic >= static_cast<int>(std::size(kTopics)) || topic == shown_) return;
  QFile file(kTopics[topic].resource);
  if (!file.open(QIODevice::ReadOnly)) return;
  const QByteArray rtf = file.readAll();
  text_->setHtml(QString::fromStdString(rtf_tohtml(std::string_view(rtf.constData(), rtf.size()))));
  shown_ = topic;
  ++loads_;
}
