#include "server/modules/gui/gprs_frame.h"

#include <QHeaderView>
#include <QTableView>
#include <QVBoxLayout>

#include "server/core/gui/status_icons.h"
#include "server/core/server_core.h"

namespace orv {
namespace {

enum Column { kIcon, kId, kAcc, kIp, kMCnt, kLastMessage, kNr, kMV, kCSQ, kColumns };
constexpr int kColumnWidths[kColumns] = {24, 100, 60, 110, 60, 260, 50, 60, 50};

const std::string& cell(const ModuleRow& row, int column) {
  static const std::string kNone;
  switch (column) {
    case kId:
      return row.id;
    case kAcc:
      return row.acc;
    case kIp:
      return row.ip;
    case kMCnt:
      return row.mcnt;
    case kLastMessage:
      return row.lastMessage;
    case kNr:
      return row.nr;
    case kMV:
      return row.mv;
    case kCSQ:
      return row.csq;
    default:
      return kNone;
  }
}

// A module's last chunk ends in CR LF and may hold any byte: line ends are not shown, other
// control characters show as spaces, so a row never breaks or elides on them.
QString displayText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (char c : text) {
    if (c == '\r' || c == '\n') continue;
    shown.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c);
  }
  return QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
}

}  // namespace

GprsLineModel::GprsLineModel(const ServerCore& core, size_t lineIndex, QObject* parent)
    : QAbstractTableModel(parent), core_(core), lineIndex_(lineIndex) {}

int GprsLineModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_;
}

int GprsLineModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

const ModuleRow* GprsLineModel::row(int index) const {
  if (!cached_ || cached_->first != index) {
    std::optional<ModuleRow> produced = core_.lineRow(lineIndex_, static_cast<size_t>(index));
    if (!produced) return nullptr;  // gone since the last count: painted empty until the next
    cached_.emplace(index, std::move(*produced));
  }
  return &cached_->second;
}

QVariant GprsLineModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rows_) return {};
  if (role != Qt::DisplayRole && role != Qt::DecorationRole) return {};
  const ModuleRow* r = row(index.row());
  if (r == nullptr) return {};
  if (role == Qt::DecorationRole) return index.column() == kIcon ? statusIcon(r->icon) : QVariant();
  return displayText(cell(*r, index.column()));
}

QVariant GprsLineModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || section >= kColumns) return {};
  return QString::fromStdString(ModuleRow::columns()[static_cast<size_t>(section)]);
}

void GprsLineModel::setRows(size_t rows) {
  const int wanted = static_cast<int>(std::min<size_t>(rows, INT32_MAX));
  cached_.reset();
  if (wanted > rows_) {
    beginInsertRows({}, rows_, wanted - 1);
    rows_ = wanted;
    endInsertRows();
  } else if (wanted < rows_) {
    beginRemoveRows({}, wanted, rows_ - 1);
    rows_ = wanted;
    endRemoveRows();
  }
}

TGprsFr::TGprsFr(ServerCore& core, size_t lineIndex, QWidget* parent)
    : QWidget(parent), core_(core), lineIndex_(lineIndex), model_(core, lineIndex, this) {
  setObjectName(QStringLiteral("TGprsFr%1").arg(lineIndex));
  view_ = new QTableView(this);
  view_->setObjectName(QStringLiteral("ListView"));
  view_->setModel(&model_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setWordWrap(false);
  view_->setShowGrid(false);
  view_->setAlternatingRowColors(true);
  // Fixed, uniform rows: the view never measures its rows, whatever their number.
  QHeaderView* rowsHeader = view_->verticalHeader();
  rowsHeader->hide();
  rowsHeader->setSectionResizeMode(QHeaderView::Fixed);
  rowsHeader->setDefaultSectionSize(fontMetrics().height() + 6);
  QHeaderView* header = view_->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setHighlightSections(false);
  header->setSectionsClickable(true);
  for (int c = 0; c < kColumns; ++c) view_->setColumnWidth(c, kColumnWidths[c]);
  header->setStretchLastSection(true);
  connect(header, &QHeaderView::sectionClicked, this, &TGprsFr::columnClicked);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view_);
}

void TGprsFr::repaint() {
  model_.forget();
  view_->viewport()->update();
}

void TGprsFr::columnClicked(int column) {
  if (column == kId) core_.sortLine(lineIndex_, ClientOrder::ById);
  if (column == kAcc) core_.sortLine(lineIndex_, ClientOrder::ByAccount);
  repaint();
}

}  // namespace orv
