#include "bridge/gui/comlan_settings_dialog.h"

#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bridge/comlan_bridge.h"
#include "bridge/comlan_text.h"
#include "common/diag.h"
#include "common/ini_file.h"
#include "common/serial_port.h"

namespace orv {
namespace {

constexpr int kStopPollMs = 10;
constexpr int kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

QString fromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// What a line edit holds, without control characters: a line break would not survive in the INI
// file (the write would be refused and the old value kept without a word).
std::string plainText(const QLineEdit& edit) {
  QString text = edit.text();
  text.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
  return text.trimmed().toStdString();
}

QLabel* labelFor(const QString& caption, const char* name, QWidget* buddy) {
  auto* label = new QLabel(caption);
  label->setObjectName(name);
  label->setBuddy(buddy);
  return label;
}

QComboBox* list(const char* name) {
  auto* box = new QComboBox;
  box->setObjectName(name);
  return box;
}

// Selects the entry carrying `value`; none when the list does not offer it.
void select(QComboBox& box, int value) {
  box.setCurrentIndex(box.findData(value));
}

std::optional<int> selected(const QComboBox& box) {
  if (box.currentIndex() < 0) return std::nullopt;
  return box.currentData().toInt();
}

}  // namespace

ComlanSettingsDialog::ComlanSettingsDialog(ComlanCore& core, QWidget* parent, int settleMs)
    : QDialog(parent),
      core_(core),
      settleMs_(settleMs),
      id_(new QLineEdit),
      comPort_(list("cbPort")),
      baudRate_(list("cbBaudRate")),
      dataBits_(list("cbDataBits")),
      stopBits_(list("cbStopBits")),
      tcpPort_(new QSpinBox),
      host_(new QLineEdit),
      syncTime_(new QCheckBox(QStringLiteral("SyncTime"))),
      buttons_(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel)) {
  setObjectName("DSettings");
  setWindowTitle(QStringLiteral("Settings"));

  id_->setObjectName("edId");
  id_->setMaxLength(kMaxTextLength);
  host_->setObjectName("edHost");
  host_->setMaxLength(kMaxTextLength);
  tcpPort_->setObjectName("edTcpPort");
  tcpPort_->setRange(1, 65535);
  syncTime_->setObjectName("cbSyncTime");
  buttons_->setObjectName("Buttons");
  buttons_->button(QDialogButtonBox::Ok)->setObjectName("OKBtn");
  buttons_->button(QDialogButtonBox::Cancel)->setObjectName("CancelBtn");

  for (int baud : kBaudRates) baudRate_->addItem(QString::number(baud), baud);
  for (int bits = 4; bits <= 8; ++bits) dataBits_->addItem(QString::number(bits), bits);
  stopBits_->addItem(QStringLiteral("1"), SerialSettings::kStopBitsOne);
  stopBits_->addItem(QStringLiteral("1.5"), SerialSettings::kStopBitsOneAndHalf);
  stopBits_->addItem(QStringLiteral("2"), SerialSettings::kStopBitsTwo);

  auto* idForm = new QFormLayout;
  idForm->addRow(labelFor(QStringLiteral("Id"), "lblId", id_), id_);

  auto* com = new QGroupBox(QStringLiteral("COM"));
  com->setObjectName("gbCom");
  auto* comForm = new QFormLayout(com);
  comForm->addRow(labelFor(QStringLiteral("Port"), "lblPort", comPort_), comPort_);
  comForm->addRow(labelFor(QStringLiteral("Baud Rate"), "lblBaudRate", baudRate_), baudRate_);
  comForm->addRow(labelFor(QStringLiteral("Data Bits"), "lblDataBits", dataBits_), dataBits_);
  comForm->addRow(labelFor(QStringLiteral("Stop bits"), "lblStopBits", stopBits_), stopBits_);

  auto* tcp = new QGroupBox(QStringLiteral("TCP"));
  tcp->setObjectName("gbTcp");
  auto* tcpForm = new QFormLayout(tcp);
  tcpForm->addRow(labelFor(QStringLiteral("Port"), "lblTcpPort", tcpPort_), tcpPort_);
  tcpForm->addRow(labelFor(QStringLiteral("Host"), "lblHost", host_), host_);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(idForm);
  layout->addWidget(com);
  layout->addWidget(tcp);
  layout->addWidget(syncTime_);
  layout->addWidget(buttons_);
  connect(buttons_, &QDialogButtonBox::accepted, this, &ComlanSettingsDialog::accept);
  connect(buttons_, &QDialogButtonBox::rejected, this, &ComlanSettingsDialog::reject);

  stopPoll_.setInterval(kStopPollMs);
  connect(&stopPoll_, &QTimer::timeout, this, &ComlanSettingsDialog::checkStopped);

  showMessage = [this](const QString& text) {
    // Parented to the window, not to this dialog, which closes while the box is still up.
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Comlan"), text,
                                QMessageBox::Ok, parentWidget());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  };

  load();
}

ComlanSettingsDialog::~ComlanSettingsDialog() {
  if (stopper_.joinable()) stopper_.join();
}

void ComlanSettingsDialog::load() {
  const IniFile ini(core_.dir() / ComlanCore::kIniName);
  const ComlanSettings s = ComlanSettings::load(ini);
  for (int com : presentComPorts(ini)) {
    comPort_->addItem(QStringLiteral("COM%1").arg(com), com);
  }
  select(*comPort_, s.com);
  select(*baudRate_, s.baudRate);
  select(*dataBits_, s.dataBits);
  select(*stopBits_, s.stopBits);
  id_->setText(fromUtf8(s.id));
  host_->setText(fromUtf8(s.host));
  tcpPort_->setValue(s.tcpPort);
  syncTime_->setChecked(s.syncFl);
}

void ComlanSettingsDialog::writeTo(IniFile& ini) const {
  ComlanSettings s = ComlanSettings::load(ini);
  s.id = plainText(*id_);
  s.host = plainText(*host_);
  s.tcpPort = tcpPort_->value();
  s.syncFl = syncTime_->isChecked();

  // The entries of lists without a selection, as the file has them, to be put back.
  struct Kept {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  };
  std::vector<Kept> kept;
  auto take = [&](const QComboBox& box, const char* key, auto& field) {
    if (std::optional<int> value = selected(box)) {
      field = *value;
    } else {
      kept.push_back({"Com", key, ini.value("Com", key)});
    }
  };
  if (comPort_->currentIndex() >= 0) {
    // The number is what follows "COM" in the entry.
    if (std::optional<int> n = comEntryNumber(comPort_->currentText().toStdString())) s.com = *n;
  } else {
    kept.push_back({"Com", "Port", ini.value("Com", "Port")});
  }
  take(*baudRate_, "BaudRate", s.baudRate);
  take(*dataBits_, "DataBits", s.dataBits);
  take(*stopBits_, "StopBits", s.stopBits);

  writeComlanSettings(ini, s);
  for (const Kept& k : kept) {
    if (k.value) {
      ini.writeString(k.section, k.key, *k.value);
    } else {
      ini.eraseKey(k.section, k.key);
    }
  }
}

void ComlanSettingsDialog::accept() {
  if (stage_ != Stage::Editing) return;
  stage_ = Stage::Stopping;
  for (QWidget* w : findChildren<QWidget*>()) w->setEnabled(false);
  stopDone_ = false;
  stopper_ = std::thread([this] {
    core_.stop();
    stopDone_ = true;
  });
  stopPoll_.start();
}

void ComlanSettingsDialog::reject() {
  // Once OK is under way the bridge must be started again before the dialog may go.
  if (stage_ != Stage::Editing) return;
  QDialog::reject();
}

void ComlanSettingsDialog::checkStopped() {
  if (!stopDone_.load()) return;
  stopPoll_.stop();
  stopper_.join();
  stage_ = Stage::Settling;
  QString error;
  saved_ = save(error);
  QTimer::singleShot(settleMs_, this, &ComlanSettingsDialog::startAgain);
  if (!saved_) showMessage(error);
}

bool ComlanSettingsDialog::save(QString& error) {
  IniFile ini(core_.dir() / ComlanCore::kIniName);
  std::string reason;
  // Replacing the file through a temporary one would get past its read-only mode; the operator
  // who made it read-only wants it left alone.
  if (ini.existed() && ::access(ini.path().c_str(), W_OK) != 0) {
    reason = std::string("read-only: ") + std::strerror(errno);
  } else {
    writeTo(ini);
    if (ini.save(&reason)) return true;
  }
  diagf("cannot write %s: %s", ini.path().c_str(), reason.c_str());
  error = QStringLiteral("Cannot write %1: %2\nThe bridge goes on with the settings it had.")
              .arg(QString::fromStdString(ini.path().string()), fromUtf8(reason));
  return false;
}

void ComlanSettingsDialog::startAgain() {
  core_.start();
  stage_ = Stage::Editing;
  emit restarted(saved_);
  if (saved_) {
    QDialog::accept();
  } else {
    QDialog::reject();
  }
}

}  // namespace orv
