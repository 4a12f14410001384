#include "server/outputs/gui/settings_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "server/core/config.h"
#include "server/core/gui/window_texts.h"
#include "server/outputs/gui/out_dialog.h"

namespace orv {
namespace {

// Number fields hold any 32-bit number; intervals "hh:mm" a few more characters.
constexpr int kNumberLength = 11;
constexpr int kTimeLength = 10;

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

std::string text(const QLineEdit* edit) {
  return edit->text().toStdString();
}

QLabel* makeLabel(const char* name, const char* caption, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(caption), parent);
  label->setObjectName(QString::fromUtf8(name));
  return label;
}

QLineEdit* makeEdit(const char* name, int maxLength, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromUtf8(name));
  if (maxLength > 0) edit->setMaxLength(maxLength);
  return edit;
}

QPushButton* makeButton(const char* name, const char* caption, QWidget* parent) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(QString::fromUtf8(name));
  button->setAutoDefault(false);
  return button;
}

QCheckBox* makeCheck(const char* name, const char* caption, QWidget* parent) {
  auto* box = new QCheckBox(QString::fromUtf8(caption), parent);
  box->setObjectName(QString::fromUtf8(name));
  return box;
}

template <typename Items>
QComboBox* makeCombo(const std::string& name, const Items& items, QWidget* parent) {
  auto* box = new QComboBox(parent);
  box->setObjectName(qs(name));
  for (const auto& item : items) box->addItem(QString::fromUtf8(std::string_view(item).data()));
  return box;
}

// A value that is not in the list shows no entry, and storing that keeps the value.
void selectText(QComboBox* box, const std::string& value) {
  box->setCurrentIndex(box->findText(qs(value)));
}

std::string chosenText(const QComboBox* box) {
  return box->currentIndex() < 0 ? std::string() : box->currentText().toStdString();
}

// Keeps a row's caption short enough for any layout, whatever length the file's text has.
QString cell(const std::string& value) {
  return windowText(value);
}

}  // namespace

bool runSettingsEditor(QWidget* parent, const std::filesystem::path& programDir,
                       const Localisation& texts) {
  TDSettings dialog(programDir / kServerIniName, texts, parent);
  return dialog.exec() == QDialog::Accepted;
}

TDSettings::TDSettings(std::filesystem::path iniFile, const Localisation& texts, QWidget* parent)
    : QDialog(parent), iniFile_(std::move(iniFile)), texts_(texts) {
  setObjectName(QStringLiteral("DSettings"));
  setWindowTitle(QStringLiteral("Settings"));
  setModal(true);

  const IniFile ini(iniFile_);
  model_ = SettingsModel::load(ini);
  comPorts_ = comPortNames(ini, model_);

  editFilter_ = [this](const tFItem& filter) -> std::optional<tFItem> {
    TOutDlg dialog(filter, texts_, this);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.filter();
  };
  askChannelId_ = [this]() -> std::optional<QString> {
    bool ok = false;
    QString id = QInputDialog::getText(this, QStringLiteral("Add Chanel"),
                                       QStringLiteral("Chanel Id"), QLineEdit::Normal, {}, &ok);
    if (!ok) return std::nullopt;
    return id;
  };
  showMessage_ = [this](const QString& message) {
    QMessageBox::warning(this, windowTitle(), message);
  };

  outputPages_ = new QTabWidget(this);
  outputPages_->setObjectName(QStringLiteral("PcOutputs"));
  outputPages_->addTab(buildChannelPage(), QStringLiteral("TcpIp"));
  outputPages_->addTab(buildComPage(), QStringLiteral("Com"));
  outputPages_->setCurrentIndex(model_.mode == 1 ? 1 : 0);

  // No default button: Enter in a field stores that field, it does not confirm the dialog.
  auto* ok = makeButton("BOk", "OK", this);
  auto* cancel = makeButton("BCancel", "Cancel", this);
  connect(ok, &QPushButton::clicked, this, &TDSettings::accept);
  connect(cancel, &QPushButton::clicked, this, &TDSettings::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(buildInputs());
  layout->addWidget(outputPages_);
  layout->addWidget(buildServerFields());
  layout->addLayout(buttons);

  visibleTab_ = inputTabs_->currentIndex();
  loadInputTab(visibleTab_);
  updateLineActions();
  if (!model_.channels.empty()) channels_->setCurrentRow(0);
  showChannel(channels_->currentRow());

  applyWindowTexts(*this, texts_);
}

TDSettings::~TDSettings() = default;

// ---- inputs

QWidget* TDSettings::buildInputs() {
  auto* box = new QGroupBox(QStringLiteral("Inputs"), this);
  box->setObjectName(QStringLiteral("GbInputs"));

  inputTabs_ = new QTabBar(box);
  inputTabs_->setObjectName(QStringLiteral("TcInputs"));
  for (const LineRecord& r : model_.lines) {
    inputTabs_->addTab(QStringLiteral("Gprs%1").arg(r.tabNumber));
  }
  inputTabs_->addTab(QStringLiteral("TcpDrv"));
  inputTabs_->addTab(QStringLiteral("Sia"));

  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("PmInputs"));
  insertLine_ = menu->addAction(QStringLiteral("Insert GPRS Chanel"));
  insertLine_->setObjectName(QStringLiteral("MiInsertGprs"));
  removeLine_ = menu->addAction(QStringLiteral("Remove GPRS Chanel"));
  removeLine_->setObjectName(QStringLiteral("MiRemoveGprs"));
  connect(insertLine_, &QAction::triggered, this, &TDSettings::insertLine);
  connect(removeLine_, &QAction::triggered, this, &TDSettings::removeLine);
  inputTabs_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(inputTabs_, &QWidget::customContextMenuRequested, this, [this, menu](const QPoint& at) {
    updateLineActions();
    menu->popup(inputTabs_->mapToGlobal(at));
  });
  connect(inputTabs_, &QTabBar::currentChanged, this, &TDSettings::showInputTab);

  auto* grid = new QGridLayout;
  pName_ = makeEdit("EPName", 0, box);
  line_ = new QComboBox(box);
  line_->setObjectName(QStringLiteral("CbLine"));
  for (int i = 0; i < kLineNumbers; ++i) line_->addItem(QString::number(i));
  port_ = makeEdit("EPort", kNumberLength, box);
  syncP_ = makeEdit("ESyncP", kTimeLength, box);
  testTime_ = makeEdit("ETestTime", kNumberLength, box);
  lifeTime_ = makeEdit("ELifeTime", kNumberLength, box);
  logOn_ = makeCheck("ChkLogOn", "Log", box);
  testTimeLabel_ = makeLabel("LTestTime", "Test time (min)", box);
  grid->addWidget(makeLabel("LPName", "Name", box), 0, 0);
  grid->addWidget(pName_, 0, 1);
  grid->addWidget(makeLabel("LLine", "Line", box), 0, 2);
  grid->addWidget(line_, 0, 3);
  grid->addWidget(makeLabel("LPort", "Port", box), 1, 0);
  grid->addWidget(port_, 1, 1);
  grid->addWidget(makeLabel("LSyncP", "Sync (hh:mm)", box), 1, 2);
  grid->addWidget(syncP_, 1, 3);
  grid->addWidget(makeLabel("LLifeTime", "Life time (min)", box), 2, 0);
  grid->addWidget(lifeTime_, 2, 1);
  grid->addWidget(testTimeLabel_, 2, 2);
  grid->addWidget(testTime_, 2, 3);
  grid->addWidget(logOn_, 3, 0, 1, 2);

  device_ = new QGroupBox(QStringLiteral("GSM receiver"), box);
  device_->setObjectName(QStringLiteral("GbDevice"));
  auto* deviceGrid = new QGridLayout(device_);
  deviceBoxes_ = buildSerialBoxes("Dev", deviceGrid, 0, device_);
  cSyncP_ = makeEdit("ECSyncP", kTimeLength, device_);
  tcpOn_ = makeCheck("ChkTcpOn", "Tcp", device_);
  tcpPort_ = makeEdit("ETcpPort", kNumberLength, device_);
  deviceGrid->addWidget(makeLabel("LCSyncP", "Sync (hh:mm)", device_), 3, 0);
  deviceGrid->addWidget(cSyncP_, 3, 1);
  deviceGrid->addWidget(tcpOn_, 3, 2);
  deviceGrid->addWidget(tcpPort_, 3, 3);

  auto* layout = new QVBoxLayout(box);
  layout->addWidget(inputTabs_);
  layout->addLayout(grid);
  layout->addWidget(device_);
  return box;
}

TDSettings::SerialBoxes TDSettings::buildSerialBoxes(const char* prefix, QGridLayout* grid, int row,
                                                     QWidget* parent) {
  const std::string p(prefix);
  SerialBoxes boxes{makeCombo("Cb" + p + "Com", comPorts_, parent),
                    makeCombo("Cb" + p + "Baud", kBaudRates, parent),
                    makeCombo("Cb" + p + "DataBits", kDataBitChoices, parent),
                    makeCombo("Cb" + p + "Parity", kParityChoices, parent),
                    makeCombo("Cb" + p + "StopBits", kStopBitChoices, parent),
                    makeCombo("Cb" + p + "FlowCtrl", kFlowChoices, parent)};
  const std::pair<const char*, QComboBox*> cells[] = {
      {"Port", boxes.com},      {"Baud", boxes.baud},          {"Data bits", boxes.dataBits},
      {"Parity", boxes.parity}, {"Stop bits", boxes.stopBits}, {"Flow control", boxes.flowCtrl}};
  const char* names[] = {"Com", "Baud", "DataBits", "Parity", "StopBits", "FlowCtrl"};
  for (int i = 0; i < 6; ++i) {
    auto* label = new QLabel(QString::fromUtf8(cells[i].first), parent);
    label->setObjectName(qs("L" + p + names[i]));
    grid->addWidget(label, row + i / 2, (i % 2) * 2);
    grid->addWidget(cells[i].second, row + i / 2, (i % 2) * 2 + 1);
  }
  return boxes;
}

bool TDSettings::isLineTab(int tab) const {
  return tab >= 0 && static_cast<size_t>(tab) < model_.lines.size();
}

void TDSettings::showInputTab(int tab) {
  if (tab == visibleTab_) return;
  storeInputTab(visibleTab_);
  visibleTab_ = tab;
  loadInputTab(tab);
  updateLineActions();
}

void TDSettings::loadInputTab(int tab) {
  const bool lineTab = isLineTab(tab);
  const size_t n = model_.lines.size();
  LineFields f;
  if (lineTab) {
    f = lineFields(model_.lines[static_cast<size_t>(tab)]);
  } else if (static_cast<size_t>(tab) == n) {
    f = lineFields(model_.tcpDrv);
  } else if (static_cast<size_t>(tab) == n + 1) {
    f = lineFields(model_.sia);
  } else {
    return;
  }
  pName_->setText(qs(f.pName));
  selectText(line_, f.line);
  port_->setText(qs(f.port));
  lifeTime_->setText(qs(f.lifeTime));
  if (lineTab) {
    syncP_->setText(qs(f.syncP));
    testTime_->setText(qs(f.testTime));
    logOn_->setChecked(f.logOn);
    selectText(deviceBoxes_.com, f.device.com);
    selectText(deviceBoxes_.baud, f.device.baud);
    deviceBoxes_.dataBits->setCurrentIndex(f.device.dataBits);
    deviceBoxes_.parity->setCurrentIndex(f.device.parity);
    deviceBoxes_.stopBits->setCurrentIndex(f.device.stopBits);
    deviceBoxes_.flowCtrl->setCurrentIndex(f.device.flowCtrl);
    cSyncP_->setText(qs(f.cSyncP));
    tcpOn_->setChecked(f.tcpOn);
    tcpPort_->setText(qs(f.tcpPort));
  }
  // The fixed inputs have no device, test time, log switch or sync interval of their own.
  syncP_->setEnabled(lineTab);
  testTimeLabel_->setVisible(lineTab);
  testTime_->setVisible(lineTab);
  logOn_->setVisible(lineTab);
  device_->setVisible(lineTab);
}

void TDSettings::storeInputTab(int tab) {
  LineFields f;
  f.pName = text(pName_);
  f.line = chosenText(line_);
  f.port = text(port_);
  f.lifeTime = text(lifeTime_);
  const size_t n = model_.lines.size();
  if (isLineTab(tab)) {
    f.syncP = text(syncP_);
    f.testTime = text(testTime_);
    f.logOn = logOn_->isChecked();
    f.device = {chosenText(deviceBoxes_.com),          chosenText(deviceBoxes_.baud),
                deviceBoxes_.dataBits->currentIndex(), deviceBoxes_.parity->currentIndex(),
                deviceBoxes_.stopBits->currentIndex(), deviceBoxes_.flowCtrl->currentIndex()};
    f.cSyncP = text(cSyncP_);
    f.tcpOn = tcpOn_->isChecked();
    f.tcpPort = text(tcpPort_);
    storeLineFields(model_.lines[static_cast<size_t>(tab)], f);
  } else if (tab >= 0 && static_cast<size_t>(tab) == n) {
    storeLineFields(model_.tcpDrv, f);
  } else if (tab >= 0 && static_cast<size_t>(tab) == n + 1) {
    storeLineFields(model_.sia, f);
  }
}

void TDSettings::insertLine() {
  storeInputTab(visibleTab_);
  const std::optional<size_t> index = model_.insertLine();
  if (!index) return;
  {
    // The visible record stays visible; only its tab index may move.
    const QSignalBlocker blocker(inputTabs_);
    inputTabs_->insertTab(static_cast<int>(*index),
                          QStringLiteral("Gprs%1").arg(model_.lines[*index].tabNumber));
  }
  visibleTab_ = inputTabs_->currentIndex();
  updateLineActions();
}

void TDSettings::removeLine() {
  const int tab = visibleTab_;
  if (!isLineTab(tab)) return;
  model_.removeLine(static_cast<size_t>(tab));
  {
    const QSignalBlocker blocker(inputTabs_);
    inputTabs_->removeTab(tab);
    inputTabs_->setCurrentIndex(0);
  }
  visibleTab_ = inputTabs_->currentIndex();
  loadInputTab(visibleTab_);
  updateLineActions();
}

void TDSettings::updateLineActions() {
  removeLine_->setEnabled(isLineTab(visibleTab_));
  insertLine_->setEnabled(model_.lines.size() < SettingsModel::kMaxLines);
}

// ---- output channels

QTreeWidget* TDSettings::buildFilterList(const char* name, QWidget* parent) {
  auto* list = new QTreeWidget(parent);
  list->setObjectName(QString::fromUtf8(name));
  list->setRootIsDecorated(false);
  list->setHeaderLabels({QStringLiteral("Phone Mask"), QStringLiteral("Id Mask"),
                         QStringLiteral("Source"), QStringLiteral("Acc0")});
  // Columns sized for their masks (12 and 20 characters) so that all four show side by side.
  const QFontMetrics metrics = list->fontMetrics();
  list->setColumnWidth(0, metrics.horizontalAdvance(QStringLiteral("+000000000000")) + 8);
  list->setColumnWidth(1, metrics.horizontalAdvance(QStringLiteral("Id Mask 0000")) + 8);
  list->setColumnWidth(2, metrics.horizontalAdvance(QStringLiteral("TcpDrv")) + 16);
  list->setMinimumWidth(list->columnWidth(0) + list->columnWidth(1) + list->columnWidth(2) +
                        metrics.horizontalAdvance(QStringLiteral("Acc0")) + 24);
  list->installEventFilter(this);
  connect(list, &QTreeWidget::itemDoubleClicked, this, [this, list] { editFilter(list); });
  return list;
}

QWidget* TDSettings::buildChannelPage() {
  auto* page = new QWidget;
  page->setObjectName(QStringLiteral("TcpIp"));

  channels_ = new QListWidget(page);
  channels_->setObjectName(QStringLiteral("LbChannels"));
  for (const tEItem& item : model_.channels) channels_->addItem(cell(item.id));
  auto* add = makeButton("BAddChannel", "Add", page);
  auto* remove = makeButton("BRemoveChannel", "Remove", page);
  connect(add, &QPushButton::clicked, this, &TDSettings::addChannel);
  connect(remove, &QPushButton::clicked, this, &TDSettings::removeChannel);
  connect(channels_, &QListWidget::currentRowChanged, this, &TDSettings::showChannel);

  qSize_ = makeEdit("EQSize", kNumberLength, page);
  host_ = makeEdit("EHost", 0, page);
  forwardPort_ = makeEdit("EFwdPort", kNumberLength, page);
  for (QLineEdit* edit : {qSize_, host_, forwardPort_}) {
    connect(edit, &QLineEdit::editingFinished, this, &TDSettings::storeChannel);
  }

  channelFilters_ = buildFilterList("LvFilters", page);
  channelFilterButtons_ = new QWidget(page);
  auto* addFilterButton = makeButton("BAddFilter", "Add", channelFilterButtons_);
  auto* editFilterButton = makeButton("BEditFilter", "Edit", channelFilterButtons_);
  auto* removeFilterButton = makeButton("BRemoveFilter", "Remove", channelFilterButtons_);
  connect(addFilterButton, &QPushButton::clicked, this, [this] { addFilter(channelFilters_); });
  connect(editFilterButton, &QPushButton::clicked, this, [this] { editFilter(channelFilters_); });
  connect(removeFilterButton, &QPushButton::clicked, this,
          [this] { removeFilter(channelFilters_); });
  auto* filterButtons = new QHBoxLayout(channelFilterButtons_);
  filterButtons->setContentsMargins(0, 0, 0, 0);
  filterButtons->addWidget(addFilterButton);
  filterButtons->addWidget(editFilterButton);
  filterButtons->addWidget(removeFilterButton);

  auto* grid = new QGridLayout(page);
  grid->addWidget(channels_, 0, 0, 4, 1);
  auto* channelButtons = new QHBoxLayout;
  channelButtons->addWidget(add);
  channelButtons->addWidget(remove);
  grid->addLayout(channelButtons, 4, 0);
  grid->addWidget(makeLabel("LQSize", "Size of queue", page), 0, 1);
  grid->addWidget(qSize_, 0, 2);
  grid->addWidget(makeLabel("LHost", "Host", page), 1, 1);
  grid->addWidget(host_, 1, 2);
  grid->addWidget(makeLabel("LFwdPort", "Port", page), 2, 1);
  grid->addWidget(forwardPort_, 2, 2);
  grid->addWidget(channelFilters_, 3, 1, 1, 2);
  grid->addWidget(channelFilterButtons_, 4, 1, 1, 2);
  return page;
}

tEItem* TDSettings::selectedChannel() {
  if (shownChannel_ < 0 || static_cast<size_t>(shownChannel_) >= model_.channels.size()) {
    return nullptr;
  }
  return &model_.channels[static_cast<size_t>(shownChannel_)];
}

void TDSettings::showChannel(int row) {
  storeChannel();
  shownChannel_ = row;
  tEItem* item = selectedChannel();
  const ChannelFields f = item ? channelFields(*item) : ChannelFields{};
  qSize_->setText(qs(f.qSize));
  host_->setText(qs(f.host));
  forwardPort_->setText(qs(f.port));
  for (QWidget* w : {static_cast<QWidget*>(qSize_), static_cast<QWidget*>(host_),
                     static_cast<QWidget*>(forwardPort_), static_cast<QWidget*>(channelFilters_),
                     channelFilterButtons_}) {
    w->setEnabled(item != nullptr);
  }
  refreshFilters(channelFilters_);
}

// Fields are stored when the operator changed them: a queue size below ten that the file holds
// stays as it is until someone edits it.
void TDSettings::storeChannel() {
  tEItem* item = selectedChannel();
  if (item == nullptr) return;
  if (!qSize_->isModified() && !host_->isModified() && !forwardPort_->isModified()) return;
  storeChannelFields(*item, {text(qSize_), text(host_), text(forwardPort_)});
  const ChannelFields stored = channelFields(*item);
  qSize_->setText(qs(stored.qSize));
  host_->setText(qs(stored.host));
  forwardPort_->setText(qs(stored.port));
}

void TDSettings::addChannel() {
  const std::optional<QString> id = askChannelId_();
  if (!id) return;
  const std::optional<size_t> index = model_.addChannel(id->toStdString());
  if (!index) return;
  channels_->addItem(cell(model_.channels[*index].id));
  channels_->setCurrentRow(static_cast<int>(*index));
}

void TDSettings::removeChannel() {
  const int row = channels_->currentRow();
  if (row < 0 || static_cast<size_t>(row) >= model_.channels.size()) return;
  shownChannel_ = -1;  // gone: nothing of it to store
  model_.removeChannel(static_cast<size_t>(row));
  {
    const QSignalBlocker blocker(channels_);
    delete channels_->takeItem(row);
    channels_->setCurrentRow(std::min(row, channels_->count() - 1));
  }
  showChannel(channels_->currentRow());
}

// ---- filters

tFList* TDSettings::filtersOf(QTreeWidget* list) {
  if (list == comFilters_) return &model_.com.filters;
  tEItem* item = selectedChannel();
  return item ? &item->filters : nullptr;
}

void TDSettings::refreshFilters(QTreeWidget* list) {
  const int current = list->indexOfTopLevelItem(list->currentItem());
  list->clear();
  const tFList* filters = filtersOf(list);
  if (filters == nullptr) return;
  for (const tFItem& f : *filters) {
    const std::string source =
        f.source < kSourceChoices.size() ? kSourceChoices[f.source] : std::to_string(f.source);
    list->addTopLevelItem(
        new QTreeWidgetItem(QStringList{cell(f.phoneMask), cell(f.idMask), qs(source),
                                        f.acc0 == 1 ? QStringLiteral("On") : QString()}));
  }
  if (list->topLevelItemCount() > 0) {
    list->setCurrentItem(list->topLevelItem(std::clamp(current, 0, list->topLevelItemCount() - 1)));
  }
}

void TDSettings::addFilter(QTreeWidget* list) {
  tFList* filters = filtersOf(list);
  if (filters == nullptr) return;
  const std::optional<tFItem> filter = editFilter_(tFItem{});
  if (!filter) return;
  filters->push_back(*filter);
  refreshFilters(list);
  list->setCurrentItem(list->topLevelItem(list->topLevelItemCount() - 1));
}

void TDSettings::editFilter(QTreeWidget* list) {
  tFList* filters = filtersOf(list);
  const int row = list->indexOfTopLevelItem(list->currentItem());
  if (filters == nullptr || row < 0 || static_cast<size_t>(row) >= filters->size()) return;
  const std::optional<tFItem> filter = editFilter_((*filters)[static_cast<size_t>(row)]);
  if (!filter) return;
  (*filters)[static_cast<size_t>(row)] = *filter;
  refreshFilters(list);
}

void TDSettings::removeFilter(QTreeWidget* list) {
  tFList* filters = filtersOf(list);
  const int row = list->indexOfTopLevelItem(list->currentItem());
  if (filters == nullptr || row < 0 || static_cast<size_t>(row) >= filters->size()) return;
  filters->erase(filters->begin() + row);
  refreshFilters(list);
}

bool TDSettings::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete &&
      (watched == channelFilters_ || watched == comFilters_)) {
    removeFilter(static_cast<QTreeWidget*>(watched));
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

// ---- serial output and the output server

QWidget* TDSettings::buildComPage() {
  auto* page = new QWidget;
  page->setObjectName(QStringLiteral("Com"));
  auto* grid = new QGridLayout(page);
  comBoxes_ = buildSerialBoxes("Out", grid, 0, page);
  const SerialFields serial = serialFields(model_.serialOut);
  selectText(comBoxes_.com, serial.com);
  selectText(comBoxes_.baud, serial.baud);
  comBoxes_.dataBits->setCurrentIndex(serial.dataBits);
  comBoxes_.parity->setCurrentIndex(serial.parity);
  comBoxes_.stopBits->setCurrentIndex(serial.stopBits);
  comBoxes_.flowCtrl->setCurrentIndex(serial.flowCtrl);

  dtFlag_ = makeCheck("ChkDtFlag", "Add DateTime", page);
  dtFlag_->setChecked(model_.comDtFlag);
  comOn_ = makeCheck("ChkComOn", "Com enabled", page);
  comOn_->setChecked(model_.comOn);
  comQSize_ = makeEdit("EComQSize", kNumberLength, page);
  comQSize_->setText(QString::number(model_.com.qSize));
  connect(comQSize_, &QLineEdit::editingFinished, this, &TDSettings::storeComPage);

  comFilters_ = buildFilterList("LvComFilters", page);
  auto* add = makeButton("BAddComFilter", "Add", page);
  auto* edit = makeButton("BEditComFilter", "Edit", page);
  auto* remove = makeButton("BRemoveComFilter", "Remove", page);
  connect(add, &QPushButton::clicked, this, [this] { addFilter(comFilters_); });
  connect(edit, &QPushButton::clicked, this, [this] { editFilter(comFilters_); });
  connect(remove, &QPushButton::clicked, this, [this] { removeFilter(comFilters_); });
  refreshFilters(comFilters_);

  grid->addWidget(dtFlag_, 3, 0, 1, 2);
  grid->addWidget(comOn_, 3, 2, 1, 2);
  grid->addWidget(makeLabel("LComQSize", "Size of queue", page), 4, 0);
  grid->addWidget(comQSize_, 4, 1);
  grid->addWidget(comFilters_, 5, 0, 1, 4);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(add);
  buttons->addWidget(edit);
  buttons->addWidget(remove);
  grid->addLayout(buttons, 6, 0, 1, 4);
  return page;
}

QWidget* TDSettings::buildServerFields() {
  auto* box = new QWidget(this);
  auto* grid = new QGridLayout(box);
  grid->setContentsMargins(0, 0, 0, 0);
  outPort_ = makeEdit("EOutPort", kNumberLength, box);
  outPort_->setText(QString::number(model_.outPort));
  outSync_ = makeEdit("EOutSync", kTimeLength, box);
  outSync_->setText(qs(hhmmText(model_.outSyncMinutes)));
  smsPort_ = makeEdit("ESmsPort", kNumberLength, box);
  smsPort_->setText(QString::number(model_.smsPort));
  uFl_ = makeCheck("ChkUFl", "Switching Caller ID support", box);
  uFl_->setChecked(model_.uFl);
  grid->addWidget(makeLabel("LOutPort", "Output port", box), 0, 0);
  grid->addWidget(outPort_, 0, 1);
  grid->addWidget(makeLabel("LOutSync", "Output sync (hh:mm)", box), 0, 2);
  grid->addWidget(outSync_, 0, 3);
  grid->addWidget(makeLabel("LSmsPort", "SMS port", box), 1, 0);
  grid->addWidget(smsPort_, 1, 1);
  grid->addWidget(uFl_, 1, 2, 1, 2);
  return box;
}

void TDSettings::storeComPage() {
  storeSerialFields(model_.serialOut,
                    {chosenText(comBoxes_.com), chosenText(comBoxes_.baud),
                     comBoxes_.dataBits->currentIndex(), comBoxes_.parity->currentIndex(),
                     comBoxes_.stopBits->currentIndex(), comBoxes_.flowCtrl->currentIndex()});
  model_.comDtFlag = dtFlag_->isChecked();
  model_.comOn = comOn_->isChecked();
  if (comQSize_->isModified()) {
    model_.com.qSize = queueSizeField(text(comQSize_));
    comQSize_->setText(QString::number(model_.com.qSize));
  }
}

void TDSettings::storeServerFields() {
  model_.outPort = numberField(text(outPort_));
  model_.outSyncMinutes = hhmmMinutes(text(outSync_));
  model_.smsPort = numberField(text(smsPort_));
  model_.uFl = uFl_->isChecked();
  // What the input tab shows when the operator confirms.
  model_.inPort = numberField(text(port_));
  model_.inSyncMinutes = hhmmMinutes(text(syncP_));
}

void TDSettings::accept() {
  storeInputTab(visibleTab_);
  storeChannel();
  storeComPage();
  storeServerFields();
  if (const std::optional<std::string> error = saveSettings(model_, iniFile_)) {
    showMessage_(QStringLiteral("Cannot write %1: %2.\nThe settings were not changed.")
                     .arg(QString::fromStdString(iniFile_.string()), qs(*error)));
    QDialog::reject();
    return;
  }
  QDialog::accept();
}

}  // namespace orv
