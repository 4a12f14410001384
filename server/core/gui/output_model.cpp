#include "server/core/gui/output_model.h"

#include "server/core/gui/status_icons.h"
#include "server/core/server_core.h"

namespace orv {

OutputListModel::OutputListModel(const ServerCore& core, QObject* parent)
    : QAbstractTableModel(parent), core_(core) {}

int OutputListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_;
}

int OutputListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 2;
}

QVariant OutputListModel::data(const QModelIndex& index, int role) const {
  const tOList* list = core_.outputList();
  if (!index.isValid() || list == nullptr) return {};
  const size_t row = static_cast<size_t>(index.row());
  if (row >= list->count()) return {};
  if (role == Qt::DecorationRole && index.column() == 0) {
    return statusIcon(outputRow(*list->items()[row]).icon);
  }
  if (role == Qt::TextAlignmentRole && index.column() == 1) {
    return static_cast<int>(Qt::AlignRight | Qt::AlignVCenter);
  }
  if (role != Qt::DisplayRole) return {};
  const OutputRow r = outputRow(*list->items()[row]);
  if (index.column() == 0) return QString::fromStdString(r.id);
  return QString::number(r.queue);
}

QVariant OutputListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return section == 0 ? QStringLiteral("Id") : QStringLiteral("Queue");
}

void OutputListModel::reset() {
  beginResetModel();
  const tOList* list = core_.outputList();
  rows_ = list ? static_cast<int>(list->count()) : 0;
  endResetModel();
}

}  // namespace orv
