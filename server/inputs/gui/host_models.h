#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <string>
#include <vector>

namespace orv {

class ServerCore;

// The "TcpDrv" and "Sia" pages: one row per connection of the input. These lists are bounded by
// the inputs' connection limits, so a refresh takes the rows of the live connections at once.
class HostListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum class Input { TcpDrv, Sia };
  HostListModel(const ServerCore& core, Input input, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Reads the connections again.
  void refresh();

 private:
  const ServerCore& core_;
  Input input_;
  QStringList columns_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace orv
