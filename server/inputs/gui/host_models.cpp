#include "server/inputs/gui/host_models.h"

#include "server/core/server_core.h"

namespace orv {
namespace {

std::vector<std::vector<std::string>> connectionRows(const ServerCore& core,
                                                     HostListModel::Input input) {
  std::vector<std::vector<std::string>> rows;
  if (input == HostListModel::Input::TcpDrv) {
    if (const TListThrd1* tcpDrv = core.tcpDrvInput()) {
      for (const TTCPEchoThrd1::Row& r : tcpDrv->rows()) {
        rows.push_back({r.ip, std::to_string(r.messageCount), r.lastLine});
      }
    }
  } else if (const TSIAListThrd* sia = core.siaInput()) {
    for (const TSIAEchoThrd::Row& r : sia->rows()) {
      rows.push_back({r.ip, std::to_string(r.id), std::to_string(r.messageCount), r.lastMessage});
    }
  }
  return rows;
}

}  // namespace

HostListModel::HostListModel(const ServerCore& core, Input input, QObject* parent)
    : QAbstractTableModel(parent), core_(core), input_(input) {
  columns_ = input == Input::TcpDrv ? QStringList{"Ip", "MCnt", "LastMessage"}
                                    : QStringList{"Ip", "Id", "MCnt", "LastMessage"};
}

int HostListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int HostListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant HostListModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  const size_t row = static_cast<size_t>(index.row());
  const size_t column = static_cast<size_t>(index.column());
  if (row >= rows_.size() || column >= rows_[row].size()) return {};
  return QString::fromUtf8(rows_[row][column].data(),
                           static_cast<qsizetype>(rows_[row][column].size()));
}

QVariant HostListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return section >= 0 && section < columns_.size() ? columns_[section] : QVariant();
}

void HostListModel::refresh() {
  std::vector<std::vector<std::string>> rows = connectionRows(core_, input_);
  if (rows.size() == rows_.size()) {
    rows_ = std::move(rows);
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    return;
  }
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

}  // namespace orv
