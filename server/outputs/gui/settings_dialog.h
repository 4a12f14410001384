#pragma once

#include <QDialog>
#include <QString>
#include <filesystem>
#include <functional>
#include <optional>

#include "server/core/localisation.h"
#include "server/outputs/settings_model.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QTabBar;
class QTabWidget;
class QTreeWidget;

namespace orv {

// Runs the settings editor on <programDir>/ORV_Serv.ini. True when OK wrote the file; false on
// Cancel, and on a write that failed (a message box says why; the file is untouched).
bool runSettingsEditor(QWidget* parent, const std::filesystem::path& programDir,
                       const Localisation& texts);

// The settings editor. It edits copies of the file's settings (SettingsModel); OK writes them
// back in one piece and closes with Accepted, Cancel closes and writes nothing. A write that
// fails is reported and closes the dialog with Rejected.
class TDSettings : public QDialog {
  Q_OBJECT

 public:
  // Asks for a new filter or edits one; nothing when the operator cancelled.
  using FilterEditor = std::function<std::optional<tFItem>(const tFItem&)>;
  // Asks for a new channel's Id; nothing when the operator cancelled.
  using ChannelIdPrompt = std::function<std::optional<QString>()>;
  using MessageSink = std::function<void(const QString&)>;

  TDSettings(std::filesystem::path iniFile, const Localisation& texts, QWidget* parent = nullptr);
  ~TDSettings() override;

  // The windows these open by default (filter dialog, input box, message box) can be replaced.
  void setFilterEditor(FilterEditor editor) { editFilter_ = std::move(editor); }
  void setChannelIdPrompt(ChannelIdPrompt prompt) { askChannelId_ = std::move(prompt); }
  void setMessageSink(MessageSink sink) { showMessage_ = std::move(sink); }

  const SettingsModel& model() const { return model_; }

  void accept() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct SerialBoxes {
    QComboBox* com;
    QComboBox* baud;
    QComboBox* dataBits;
    QComboBox* parity;
    QComboBox* stopBits;
    QComboBox* flowCtrl;
  };

  QWidget* buildInputs();
  QWidget* buildChannelPage();
  QWidget* buildComPage();
  QWidget* buildServerFields();
  SerialBoxes buildSerialBoxes(const char* prefix, QGridLayout* grid, int row, QWidget* parent);
  QTreeWidget* buildFilterList(const char* name, QWidget* parent);

  bool isLineTab(int tab) const;
  void showInputTab(int tab);
  void loadInputTab(int tab);
  void storeInputTab(int tab);
  void insertLine();
  void removeLine();
  void updateLineActions();

  tEItem* selectedChannel();
  void showChannel(int row);
  void storeChannel();
  void addChannel();
  void removeChannel();

  tFList* filtersOf(QTreeWidget* list);
  void refreshFilters(QTreeWidget* list);
  void addFilter(QTreeWidget* list);
  void editFilter(QTreeWidget* list);
  void removeFilter(QTreeWidget* list);

  void storeComPage();
  void storeServerFields();

  std::filesystem::path iniFile_;
  Localisation texts_;
  SettingsModel model_;
  std::vector<std::string> comPorts_;

  FilterEditor editFilter_;
  ChannelIdPrompt askChannelId_;
  MessageSink showMessage_;

  // Inputs.
  QTabBar* inputTabs_ = nullptr;
  int visibleTab_ = -1;
  QAction* insertLine_ = nullptr;
  QAction* removeLine_ = nullptr;
  QLineEdit* pName_ = nullptr;
  QComboBox* line_ = nullptr;
  QLineEdit* port_ = nullptr;
  QLineEdit* syncP_ = nullptr;
  QLabel* testTimeLabel_ = nullptr;
  QLineEdit* testTime_ = nullptr;
  QLineEdit* lifeTime_ = nullptr;
  QCheckBox* logOn_ = nullptr;
  QGroupBox* device_ = nullptr;
  SerialBoxes deviceBoxes_{};
  QLineEdit* cSyncP_ = nullptr;
  QCheckBox* tcpOn_ = nullptr;
  QLineEdit* tcpPort_ = nullptr;

  // Outputs.
  QTabWidget* outputPages_ = nullptr;
  QListWidget* channels_ = nullptr;
  int shownChannel_ = -1;
  QLineEdit* qSize_ = nullptr;
  QLineEdit* host_ = nullptr;
  QLineEdit* forwardPort_ = nullptr;
  QTreeWidget* channelFilters_ = nullptr;
  QWidget* channelFilterButtons_ = nullptr;
  SerialBoxes comBoxes_{};
  QCheckBox* dtFlag_ = nullptr;
  QCheckBox* comOn_ = nullptr;
  QLineEdit* comQSize_ = nullptr;
  QTreeWidget* comFilters_ = nullptr;
  QLineEdit* outPort_ = nullptr;
  QLineEdit* outSync_ = nullptr;
  QLineEdit* smsPort_ = nullptr;
  QCheckBox* uFl_ = nullptr;
};

}  // namespace orv
