#include "server/inputs/gui/log_view.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QTableView>
#include <QVBoxLayout>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/diag.h"

namespace orv {
namespace {

const QString kTitle = QStringLiteral("Log View");

QString fromPath(const std::filesystem::path& path) {
  return QString::fromStdString(path.string());
}

// Opening a FIFO waits for a writer and reading a terminal waits for input: either would freeze
// the window. Whatever is not a plain file or directory is refused before it is opened.
bool isReadableKind(const std::filesystem::path& file, std::string& error) {
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(file, ec);
  if (ec || !std::filesystem::exists(st)) return true;  // the loader reports why it cannot open it
  if (std::filesystem::is_regular_file(st) || std::filesystem::is_directory(st)) return true;
  error = file.string() + ": not a regular file";
  return false;
}

std::optional<std::filesystem::path> askForFile(QWidget* parent,
                                                const std::filesystem::path& startDir) {
  const QString chosen = QFileDialog::getOpenFileName(parent, kTitle, fromPath(startDir),
                                                      QStringLiteral("Hex File (*.hex)"));
  if (chosen.isEmpty()) return std::nullopt;
  return std::filesystem::path(chosen.toStdString());
}

}  // namespace

void LogTableModel::setItems(TLList items) {
  beginResetModel();
  items_ = std::move(items);
  endResetModel();
}

int LogTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

int LogTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(kLogColumns.size());
}

QVariant LogTableModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() < 0 ||
      static_cast<size_t>(index.row()) >= items_.size() || index.column() < 0 ||
      static_cast<size_t>(index.column()) >= kLogColumns.size()) {
    return {};
  }
  const LogRow row = logRow(items_[static_cast<size_t>(index.row())]);
  return QString::fromStdString(row[static_cast<size_t>(index.column())]);
}

QVariant LogTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
      static_cast<size_t>(section) >= kLogColumns.size()) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  const std::string_view name = kLogColumns[static_cast<size_t>(section)];
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

TFLogView::TFLogView(QWidget* parent)
    : QWidget(parent, Qt::Window), model_(new LogTableModel(this)), table_(new QTableView(this)) {
  setObjectName(QStringLiteral("FLogView"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(kTitle);

  table_->setObjectName(QStringLiteral("LogList"));
  table_->setModel(model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setStretchLastSection(true);
  const int widths[] = {100, 70, 130, 150};
  for (int column = 0; column < 4; ++column) table_->setColumnWidth(column, widths[column]);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(table_);
  resize(600, 400);
}

TFLogView* TFLogView::open(QWidget* parent, const std::filesystem::path& programDir,
                           FileChooser choose) {
  auto* view = new TFLogView(parent);
  view->show();
  if (!choose) choose = askForFile;
  const std::optional<std::filesystem::path> file = choose(view, programDir);
  if (!file) {
    view->close();  // frees it
    return nullptr;
  }
  view->load(*file);
  return view;
}

bool TFLogView::load(const std::filesystem::path& file) {
  model_->setItems({});
  setWindowTitle(kTitle + QStringLiteral(" - ") + fromPath(file.filename()));

  std::string error;
  std::optional<LogImageLoad> loaded;
  if (isReadableKind(file, error)) loaded = loadLogImageFile(file, error);
  if (!loaded) {
    diag("log view: " + error);
    showMessage(QString::fromStdString(error));
    return false;
  }
  std::vector<std::string> notes = std::move(loaded->diagnostics);
  TLList items = walkLogRing(loaded->image, &notes);
  for (const std::string& note : notes) diag("log view: " + file.string() + ": " + note);
  model_->setItems(std::move(items));
  return true;
}

void TFLogView::setMessageSink(MessageSink sink) {
  messageSink_ = std::move(sink);
}

void TFLogView::showMessage(const QString& text) {
  if (messageSink_) {
    messageSink_(text);
    return;
  }
  // Opened, not executed: the viewer and every other window stay live while it is up.
  auto* box = new QMessageBox(QMessageBox::Warning, kTitle, text, QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("LogViewError"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

}  // namespace orv
