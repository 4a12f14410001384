#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <optional>

#include "server/inputs/log_decoding.h"

class QTableView;

namespace orv {

// The decoded events of one log file as a table; the texts of a row are made when the view asks.
class LogTableModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;

  void setItems(TLList items);
  const TLList& items() const { return items_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  TLList items_;
};

// A viewer of one module log file ("GetLog" output). It frees itself when closed; several may be
// open at once. There is no reload: another file takes another viewer.
class TFLogView final : public QWidget {
  Q_OBJECT

 public:
  // Asks for a file; std::nullopt when the operator cancels.
  using FileChooser = std::function<std::optional<std::filesystem::path>(
      QWidget* parent, const std::filesystem::path& startDir)>;
  // Shows what went wrong without waiting for the operator.
  using MessageSink = std::function<void(const QString& text)>;

  explicit TFLogView(QWidget* parent = nullptr);

  // Creates and shows a viewer, then asks for the file in `programDir`. A cancelled choice closes
  // the viewer again and gives nullptr. Without a chooser the Qt file dialog asks.
  static TFLogView* open(QWidget* parent, const std::filesystem::path& programDir,
                         FileChooser choose = {});

  // Shows the events of `file`. A file that cannot be read leaves the table empty and says why in
  // a message box; false then.
  bool load(const std::filesystem::path& file);

  // Replaces the message box (tests, embedding); an empty sink restores it.
  void setMessageSink(MessageSink sink);

  const LogTableModel& model() const { return *model_; }
  QTableView& table() const { return *table_; }

 private:
  void showMessage(const QString& text);

  LogTableModel* model_;
  QTableView* table_;
  MessageSink messageSink_;
};

}  // namespace orv
