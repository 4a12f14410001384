#pragma once

#include <QAbstractTableModel>
#include <QWidget>
#include <optional>

#include "server/modules/module_status.h"

class QTableView;

namespace orv {

class ServerCore;

// The rows of one GPRS line, produced from the live records whenever the view paints one: the
// model keeps a row count (set by the status timer) and nothing of the records. Lines are found
// through the core by index, so a model never holds a line the core may free.
class GprsLineModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  GprsLineModel(const ServerCore& core, size_t lineIndex, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Rows are added or taken at the end, so the operator's scroll position stays.
  void setRows(size_t rows);
  // The records changed: rows are produced afresh at the next paint.
  void forget() { cached_.reset(); }

 private:
  const ModuleRow* row(int index) const;

  const ServerCore& core_;
  size_t lineIndex_;
  int rows_ = 0;
  // The row being painted: a view asks for each cell and role of a row in turn.
  mutable std::optional<std::pair<int, ModuleRow>> cached_;
};

// The status frame of one GPRS line: its list view on the line's page. Named "TGprsFr" + the
// line index, so that several frames coexist.
class TGprsFr final : public QWidget {
  Q_OBJECT

 public:
  TGprsFr(ServerCore& core, size_t lineIndex, QWidget* parent = nullptr);

  size_t lineIndex() const { return lineIndex_; }
  GprsLineModel& model() { return model_; }
  QTableView& view() { return *view_; }
  void setRows(size_t rows) { model_.setRows(rows); }
  void repaint();

 private:
  void columnClicked(int column);

  ServerCore& core_;
  size_t lineIndex_;
  GprsLineModel model_;
  QTableView* view_;
};

}  // namespace orv
