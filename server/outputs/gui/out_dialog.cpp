#include "server/outputs/gui/out_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "server/core/gui/window_texts.h"
#include "server/outputs/settings_model.h"

namespace orv {
namespace {

// The masks are fields of a ";"-separated value: a ";" in one would shift every later field.
QLineEdit* maskEdit(const char* name, int maxLength, const std::string& text, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setMaxLength(maxLength);
  edit->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^;]*")), edit));
  edit->setText(QString::fromStdString(text));
  edit->setModified(false);
  return edit;
}

QLabel* label(const char* name, const char* caption, QWidget* buddy, QWidget* parent) {
  auto* l = new QLabel(QString::fromUtf8(caption), parent);
  l->setObjectName(name);
  l->setBuddy(buddy);
  return l;
}

}  // namespace

TOutDlg::TOutDlg(const tFItem& filter, const Localisation& texts, QWidget* parent)
    : QDialog(parent), filter_(filter) {
  setObjectName(QStringLiteral("OutDlg"));
  setWindowTitle(QStringLiteral("Filter settings"));
  setModal(true);

  phone_ = maskEdit("EPhone", kPhoneMaskLength, filter.phoneMask, this);
  id_ = maskEdit("EId", kIdMaskLength, filter.idMask, this);
  acc0_ = new QCheckBox(QStringLiteral("Acc0"), this);
  acc0_->setObjectName(QStringLiteral("CbAcc0"));
  acc0_->setChecked(filter.acc0 == 1);
  source_ = new QComboBox(this);
  source_->setObjectName(QStringLiteral("CbSource"));
  for (const char* s : kSourceChoices) source_->addItem(QString::fromUtf8(s));
  source_->setCurrentIndex(filter.source < kSourceChoices.size() ? filter.source : -1);

  auto* form = new QFormLayout;
  form->addRow(label("LPhone", "Phone", phone_, this), phone_);
  form->addRow(label("LId", "ID", id_, this), id_);
  form->addRow(label("LSource", "Source", source_, this), source_);
  form->addRow(acc0_);

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("BOk"));
  ok->setDefault(true);
  QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  cancel->setObjectName(QStringLiteral("BCancel"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);

  applyWindowTexts(*this, texts);
}

tFItem TOutDlg::filter() const {
  tFItem f = filter_;
  if (phone_->isModified()) f.phoneMask = phone_->text().toStdString();
  if (id_->isModified()) f.idMask = id_->text().toStdString();
  if (acc0_->isChecked() != (filter_.acc0 == 1)) f.acc0 = acc0_->isChecked() ? 1 : 0;
  if (source_->currentIndex() >= 0) f.source = static_cast<uint16_t>(source_->currentIndex());
  return f;
}

}  // namespace orv
