#include "server/core/gui/main_window.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include "server/core/gui/status_icons.h"
#include "server/core/gui/window_texts.h"
#include "server/core/server_core.h"
#include "server/inputs/gui/host_models.h"
#include "server/inputs/gui/log_view.h"
#include "server/modules/gui/gprs_frame.h"
#include "server/outputs/gui/settings_dialog.h"
#include "server/outputs/sms_server.h"

namespace orv {
namespace {

QTableView* listView(QAbstractItemModel* model, QWidget* parent) {
  auto* view = new QTableView(parent);
  view->setModel(model);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setWordWrap(false);
  view->setShowGrid(false);
  view->verticalHeader()->hide();
  view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
  view->horizontalHeader()->setHighlightSections(false);
  view->horizontalHeader()->setStretchLastSection(true);
  return view;
}

QPushButton* button(const char* name, const char* caption, QWidget* parent) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setObjectName(QString::fromLatin1(name));
  return b;
}

}  // namespace

TFORVs::TFORVs(ServerCore& core) : core_(core), outputModel_(core, this) {
  setObjectName(QStringLiteral("FORVs"));
  setWindowIcon(serverIcon());
  resize(980, 520);

  pages_ = new QTabWidget(this);
  pages_->setObjectName(QStringLiteral("PageControl"));
  connect(pages_, &QTabWidget::currentChanged, this, &TFORVs::pageChanged);

  outputView_ = listView(&outputModel_, this);
  outputView_->setObjectName(QStringLiteral("OutList"));
  // The name takes what the queue length leaves.
  outputView_->horizontalHeader()->setStretchLastSection(false);
  outputView_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  outputView_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Fixed);
  outputView_->setColumnWidth(1, outputView_->fontMetrics().horizontalAdvance("Queue 000000"));
  outputView_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->addWidget(pages_);
  splitter->addWidget(outputView_);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 0);
  splitter->setSizes({740, 240});

  counter_ = new QLabel(QStringLiteral("OnLine 0"), this);
  counter_->setObjectName(QStringLiteral("LOnLine"));
  counter_->setMinimumWidth(counter_->fontMetrics().horizontalAdvance("OnLine 000000") + 8);
  name_ = new QLineEdit(this);
  name_->setObjectName(QStringLiteral("EName"));
  name_->setReadOnly(true);
  name_->setFocusPolicy(Qt::NoFocus);
  sms_ = new QLabel(QString::fromStdString(smsCounterText(0)), this);
  sms_->setObjectName(QStringLiteral("LSms"));
  sms_->setMinimumWidth(sms_->fontMetrics().horizontalAdvance("SMS 0000") + 8);
  cmd_ = button("BCmd", "Cmd", this);
  settings_ = button("BSettings", "Settings", this);
  logView_ = button("BLogView", "LogView", this);
  connect(cmd_, &QPushButton::clicked, this, &TFORVs::openConsole);
  connect(settings_, &QPushButton::clicked, this, &TFORVs::openSettings);
  connect(logView_, &QPushButton::clicked, this, &TFORVs::openLogView);

  auto* status = new QHBoxLayout;
  status->addWidget(counter_);
  status->addWidget(name_, 1);
  status->addSpacing(12);
  status->addWidget(sms_);
  status->addSpacing(12);
  status->addWidget(cmd_);
  status->addWidget(settings_);
  status->addWidget(logView_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(splitter, 1);
  layout->addLayout(status);

  core_.setView(this);
}

TFORVs::~TFORVs() {
  core_.setView(nullptr);
  if (console_) delete console_;
}

void TFORVs::started() {
  applyTexts();
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(serverIcon(), this);
    tray_->setToolTip(QString::fromStdString(core_.caption()));
    connect(tray_, &QSystemTrayIcon::activated, this, [this] {
      showNormal();
      raise();
      activateWindow();
    });
    tray_->show();
  }
}

void TFORVs::applyTexts() {
  applyWindowTexts(*this, core_.localisation());
  // The caption is the localised one with the version, as the core built it.
  setWindowTitle(windowText(core_.caption()));
}

TGprsFr* TFORVs::frame(size_t line) const {
  return line < frames_.size() ? frames_[line] : nullptr;
}

void TFORVs::pagesChanged() {
  rebuilding_ = true;
  while (pages_->count() > 0) {
    QWidget* page = pages_->widget(0);
    pages_->removeTab(0);
    delete page;
  }
  frames_.clear();
  tcpDrvModel_ = nullptr;
  siaModel_ = nullptr;
  for (const Page& page : core_.pages()) {
    QWidget* widget = nullptr;
    switch (page.kind) {
      case Page::Kind::Gprs: {
        auto* frame = new TGprsFr(core_, page.line);
        if (frames_.size() <= page.line) frames_.resize(page.line + 1, nullptr);
        frames_[page.line] = frame;
        widget = frame;
        widget->setProperty("pageName", QStringLiteral("TSGprs%1").arg(page.line));
        break;
      }
      case Page::Kind::TcpDrv:
        tcpDrvModel_ = new HostListModel(core_, HostListModel::Input::TcpDrv, pages_);
        widget = listView(tcpDrvModel_, nullptr);
        widget->setObjectName(QStringLiteral("TSTcpDrv"));
        break;
      case Page::Kind::Sia:
        siaModel_ = new HostListModel(core_, HostListModel::Input::Sia, pages_);
        widget = listView(siaModel_, nullptr);
        widget->setObjectName(QStringLiteral("TSSia"));
        break;
    }
    pages_->addTab(widget, windowText(page.caption));
  }
  outputModel_.reset();
  applyTexts();
  pages_->setCurrentIndex(static_cast<int>(core_.activePage()));
  rebuilding_ = false;
}

void TFORVs::pageChanged(int index) {
  if (rebuilding_ || index < 0) return;
  core_.selectPage(static_cast<size_t>(index));
  if (tcpDrvModel_ && pages_->widget(index)->objectName() == QLatin1String("TSTcpDrv")) {
    tcpDrvModel_->refresh();
  }
  if (siaModel_ && pages_->widget(index)->objectName() == QLatin1String("TSSia")) {
    siaModel_->refresh();
  }
}

void TFORVs::setLineRowCount(size_t line, size_t rows) {
  if (TGprsFr* f = frame(line)) f->setRows(rows);
}

void TFORVs::repaintLine(size_t line) {
  if (TGprsFr* f = frame(line)) f->repaint();
}

void TFORVs::repaintOutputs() {
  outputView_->viewport()->update();
}

void TFORVs::repaintSia() {
  if (siaModel_) siaModel_->refresh();
}

void TFORVs::repaintTcpDrv() {
  if (tcpDrvModel_) tcpDrvModel_->refresh();
}

void TFORVs::setConnectionCounter(const std::string& text) {
  counter_->setText(windowText(text));
}

void TFORVs::setNameField(const std::string& text) {
  name_->setText(windowText(text));
}

void TFORVs::setSmsCounter(const std::string& text) {
  sms_->setText(windowText(text));
}

void TFORVs::openConsole() {
  if (console_) {
    console_->showNormal();
    console_->raise();
    console_->activateWindow();
    return;
  }
  // The console's sequences run from a terminal for now (orv-console); this window says so.
  auto* console = new QWidget(nullptr, Qt::Window);
  console->setObjectName(QStringLiteral("FCmd"));
  console->setAttribute(Qt::WA_DeleteOnClose);
  console->setWindowTitle(QStringLiteral("Command console"));
  auto* text = new QLabel(
      QStringLiteral("The command console window is not part of this version.\n"
                     "Every console sequence works from a terminal on this server:\n\n"
                     "    orv-console --dir %1\n")
          .arg(QString::fromStdString(core_.programDir().string())),
      console);
  text->setObjectName(QStringLiteral("LInfo"));
  text->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* layout = new QVBoxLayout(console);
  layout->addWidget(text);
  applyWindowTexts(*console, core_.localisation());
  console_ = console;
  console->show();
}

void TFORVs::openSettings() {
  if (runSettingsEditor(this, core_.programDir(), core_.localisation())) core_.reload();
}

void TFORVs::openLogView() {
  TFLogView::open(nullptr, core_.programDir());
}

void TFORVs::closeEvent(QCloseEvent* event) {
  if (tray_) tray_->hide();
  if (console_) console_->close();
  core_.shutdown();
  event->accept();
  emit closed();
}

}  // namespace orv
