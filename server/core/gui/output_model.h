#pragma once

#include <QAbstractTableModel>

namespace orv {

class ServerCore;

// The main window's output list: per output item its icon, "Id" and "Queue", read from the live
// items whenever a row is painted.
class OutputListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit OutputListModel(const ServerCore& core, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // The items were replaced (start-up, reload).
  void reset();

 private:
  const ServerCore& core_;
  int rows_ = 0;
};

}  // namespace orv
