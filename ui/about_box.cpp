// The About dialog. Its three texts come from the string table (36864-36866) when the
// dialog is made; OK is both the default and the cancel button.
#include "ui/about_box.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/forms.h"
#include "ui/icons.h"
#include "core/string_table.h"

namespace {
QLabel* caption(const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setAlignment(Qt::AlignRight | Qt::AlignTop);
  return label;
}
QLabel* value(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setWordWrap(true);
  label->setMinimumWidth(260);
  return label;
}
}  // namespace

tavrix::ui::AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("m_aboutbox"));
  setWindowTitle(QStringLiteral("About"));
  setFont(tavrix::ui::form_font());
  setModal(true);

  m_about_icon = new QLabel(this);
  m_about_icon->setObjectName(QStringLiteral("m_about_icon"));
  m_about_icon->setPixmap(tavrix::ui::product_picture(120, 60));
  m_about_icon->setAlignment(Qt::AlignTop);

  m_about_productname = value(this, "m_about_productname");
  m_about_version = value(this, "m_about_version");
  m_about_copyright = value(this, "m_about_copyright");
  QFont bold = m_about_productname->font();
  bold.setBold(true);
  m_about_productname->setFont(bold);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(8);
  grid->addWidget(caption("Product Name:", this), 0, 0);
  grid->addWidget(m_about_productname, 0, 1);
  grid->addWidget(caption("Version:", this), 1, 0);
  grid->addWidget(m_about_version, 1, 1);
  grid->addWidget(caption("Copyright:", this), 2, 0);
  grid->addWidget(m_about_copyright, 2, 1);
  grid->setRowStretch(3, 1);

  auto* top = new QHBoxLayout;
  top->setSpacing(16);
  top->addWidget(m_about_icon, 0, Qt::AlignTop);
  top->addLayout(grid, 1);

  ok_button = new QPushButton(QStringLiteral("OK"), this);
  ok_button->setObjectName(QStringLiteral("Button1"));
  ok_button->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_button);
  buttons->addStretch(1);

  auto* main = new QVBoxLayout(this);
  main->setContentsMargins(16, 16, 16, 12);
  main->addLayout(top);
  main->addSpacing(8);
  main->addLayout(buttons);
  main->setSizeConstraint(QLayout::SetFixedSize);

  // Escape closes the dialog through reject(), the cancel role of the same button.
  connect(ok_button, &QPushButton::clicked, this, [this] { on_ok(); });
  create_controls();
}

void tavrix::ui::AboutBox::create_controls() {
  m_about_productname->setText(QString::fromStdString(tavrix::load_str(tavrix::kStrProductName)));
  m_about_version->setText(QString::fromStdString(tavrix::load_str(tavrix::kStrVersion)));
  m_about_copyright->setText(QString::fromStdString(tavrix::load_str(tavrix::kStrCopyright)));
}

void tavrix::ui::AboutBox::on_ok() {
  accept();
}
