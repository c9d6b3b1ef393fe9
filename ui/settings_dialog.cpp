// The Settings dialog: four checks in a fixed order, each with its own message and
// the focus put back into the edit it names; nothing is stored until both pass.
#include "ui/settings_dialog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "core/server_list.h"
#include "ui/forms.h"
#include "ui/message_box.h"

namespace {

bool all_digits(const QString& text) {
  for (QChar c : text)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
  return true;
}

// The conversion of a digits-only text; only the empty text fails.
int to_int(const QString& text) {
  bool ok = false;
  const int value = text.toInt(&ok);
  if (!ok) throw tavrix::ui::UiError(QStringLiteral("'%1' is not a valid integer value").arg(text));
  return value;
}

QLineEdit* make_edit(QWidget* parent, const char* name) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setMaxLength(2);
  edit->setFixedWidth(36);
  edit->setAlignment(Qt::AlignRight);
  return edit;
}

QLabel* make_label(const QString& text, QWidget* parent, const char* name) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

}  // namespace

tavrix::ui::SettingsDialog::SettingsDialog(tavrix::ServerList& list, QWidget* parent)
    : QDialog(parent), list_(list) {
  setObjectName(QStringLiteral("m_set_form"));
  setWindowTitle(QStringLiteral("Settings"));
  setFont(tavrix::ui::form_font());
  setModal(true);

  m_monitor_options = new QGroupBox(QStringLiteral("Monitor Options"), this);
  m_monitor_options->setObjectName(QStringLiteral("m_options1"));
  m_label_ref = make_label(QStringLiteral("Refresh Rate :"), m_monitor_options, "m_label_ref");
  m_set_refresh = make_edit(m_monitor_options, "m_set_refresh");
  m_refresh_unit = make_label(QStringLiteral("seconds (1~99)"), m_monitor_options, "m_ms");

  m_search_options = new QGroupBox(QStringLiteral("Search Options"), this);
  m_search_options->setObjectName(QStringLiteral("GroupBox1"));
  m_label_timeout =
      make_label(QStringLiteral("Search Timeout :"), m_search_options, "m_label_timeout");
  m_set_timeout = make_edit(m_search_options, "m_set_timeout");
  m_timeout_unit = make_label(QStringLiteral("seconds (3~60)"), m_search_options, "m_ms2");

  // Both captions share one width so that the two edits line up.
  const int caption_width =
      std::max(m_label_ref->sizeHint().width(), m_label_timeout->sizeHint().width());
  m_label_ref->setFixedWidth(caption_width);
  m_label_timeout->setFixedWidth(caption_width);

  auto row = [](QGroupBox* box, QLabel* caption, QLineEdit* edit, QLabel* unit) {
    auto* l = new QHBoxLayout(box);
    l->setContentsMargins(12, 8, 12, 10);
    l->addWidget(caption);
    l->addWidget(edit);
    l->addWidget(unit);
    l->addStretch(1);
  };
  row(m_monitor_options, m_label_ref, m_set_refresh, m_refresh_unit);
  row(m_search_options, m_label_timeout, m_set_timeout, m_timeout_unit);

  m_set_ok = new QPushButton(QStringLiteral("OK"), this);
  m_set_ok->setObjectName(QStringLiteral("m_set_ok"));
  m_set_ok->setDefault(true);
  m_set_ok->setAutoDefault(true);
  m_set_cancel = new QPushButton(QStringLiteral("Cancel"), this);
  m_set_cancel->setObjectName(QStringLiteral("m_set_cancel"));
  // A focused Cancel takes Enter itself; from an edit Enter is OK.
  m_set_cancel->setAutoDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_set_ok);
  buttons->addWidget(m_set_cancel);

  auto* main = new QVBoxLayout(this);
  main->addWidget(m_monitor_options);
  main->addWidget(m_search_options);
  main->addSpacing(4);
  main->addLayout(buttons);
  main->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog border

  connect(m_set_ok, &QPushButton::clicked, this, tavrix::ui::guarded([this] { on_ok(); }));
  connect(m_set_cancel, &QPushButton::clicked, this, [this] { on_cancel(); });
}

void tavrix::ui::SettingsDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) on_show();
}

void tavrix::ui::SettingsDialog::on_show() {
  m_set_refresh->setText(QString::number(list_.refresh_rate.load()));
  m_set_timeout->setText(QString::number(list_.search_timeout.load()));
  m_set_refresh->setFocus();
  m_set_refresh->selectAll();
}

void tavrix::ui::SettingsDialog::on_ok() {
  using tavrix::ui::message_box;
  using tavrix::ui::MsgButtons;
  using tavrix::ui::MsgIcon;
  auto refuse = [this](const char* text, QLineEdit* edit) {
    message_box(this, QString::fromLatin1(text), MsgIcon::Error, MsgButtons::Ok);
    edit->setFocus();
  };
  const QString refresh_text = m_set_refresh->text();
  const QString timeout_text = m_set_timeout->text();
  if (!all_digits(refresh_text)) return refuse("Invalid Value: Refresh Rate!", m_set_refresh);
  if (!all_digits(timeout_text)) return refuse("Invalid Value: Search Timeout!", m_set_timeout);
  const int refresh = to_int(refresh_text);
  if (refresh < 1 || refresh > 99) return refuse("Invalid Range: Refresh Rate 1~99", m_set_refresh);
  const int timeout = to_int(timeout_text);
  if (timeout < 3 || timeout > 60)
    return refuse("Invalid Range: Search Timeout 3~60", m_set_timeout);
  list_.refresh_rate = refresh;
  list_.search_timeout = timeout;
  accept();
}

void tavrix::ui::SettingsDialog::on_cancel() {
  reject();
}
