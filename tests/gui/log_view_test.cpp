#include "server/inputs/gui/log_view.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QTableView>
#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "common/hex_record.h"
#include "tests/support/temp_dir.h"

namespace orv {
namespace {

using Record = std::array<uint8_t, kLogRecordSize>;

// Type 6, account 0x1234, event digits 13001015, 14:05:09 on 10 March 2009, no user.
Record exampleRecord() {
  Record r = {6, 0x12, 0x34, 0x13, 0x00, 0x10, 0x15, 0x70, 0xA4, 0xA8, 0xC4, 0x80, 0x00};
  for (size_t i = 0; i < 13; ++i) r[13] ^= r[i];
  return r;
}

// Two records: the example, then a copy whose check byte no longer matches.
std::string twoRecordLog() {
  std::vector<uint8_t> bytes = {0x04, 0x20, 0x00, 2};
  Record damaged = exampleRecord();
  damaged[5] ^= 0x01;
  for (const Record& r : {exampleRecord(), damaged}) bytes.insert(bytes.end(), r.begin(), r.end());
  const std::span<const uint8_t> all(bytes);
  return "; GetLog\n" + encodeHexRecord(0x0400, all.first(16)) + "\n" +
         encodeHexRecord(0x0410, all.subspan(16)) + "\n" + std::string(kHexEndRecord) + "\n";
}

QStringList rowTexts(const LogTableModel& model, int row) {
  QStringList texts;
  for (int column = 0; column < model.columnCount(); ++column) {
    texts << model.data(model.index(row, column)).toString();
  }
  return texts;
}

void runDeferredDeletes() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(LogView, ShowsTheDecodedEventsAndADashForADamagedRecord) {
  test::TempDir dir;
  TFLogView view;
  EXPECT_EQ(view.objectName(), "FLogView");
  EXPECT_TRUE(view.testAttribute(Qt::WA_DeleteOnClose));
  ASSERT_TRUE(view.load(dir.write("log.hex", twoRecordLog())));

  const LogTableModel& model = view.model();
  EXPECT_EQ(view.table().model(), &model);
  QStringList headers;
  for (int column = 0; column < model.columnCount(); ++column) {
    headers << model.headerData(column, Qt::Horizontal).toString();
  }
  EXPECT_EQ(headers,
            (QStringList{"DATA TYPE", "Account", "EVENT/PARTITION", "DateTime", "User Id"}));
  ASSERT_EQ(model.rowCount(), 2);
  EXPECT_EQ(rowTexts(model, 0),
            (QStringList{"Contact ID", "1234", "E130015/01", "2009.03.10. 14:05:09", "Event"}));
  EXPECT_EQ(rowTexts(model, 1), (QStringList{"-", "", "", "", ""}));
  // Out of range asks get nothing rather than another row's texts.
  EXPECT_FALSE(model.data(model.index(2, 0)).isValid());
}

TEST(LogView, FilesThatCannotBeReadAreReportedAndLeaveNoRows) {
  test::TempDir dir;
  const std::filesystem::path big = dir / "big.hex";
  std::filesystem::resize_file(dir.write("big.hex", ""), uintmax_t{100} << 20);
  const std::filesystem::path fifo = dir / "fifo.hex";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string binary = twoRecordLog();
  binary[binary.size() / 2] = '\0';

  struct Case {
    std::filesystem::path file;
    const char* why;
  };
  const Case cases[] = {{dir / "missing.hex", "No such file"},
                        {big, "larger than"},
                        {dir.write("binary.hex", binary), "not a text file"},
                        {fifo, "not a regular file"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.filename().string());
    TFLogView view;
    QStringList messages;
    view.setMessageSink([&](const QString& text) { messages << text; });
    // A good file first: a failing load must not leave its rows behind.
    ASSERT_TRUE(view.load(dir.write("good.hex", twoRecordLog())));
    EXPECT_FALSE(view.load(c.file));
    EXPECT_EQ(view.model().rowCount(), 0);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(c.why)) << messages[0].toStdString();
  }
}

TEST(LogView, OpenAsksInTheProgramDirectoryAndCancelClosesTheViewer) {
  test::TempDir dir;
  QWidget mainWindow;

  std::filesystem::path asked;
  QPointer<TFLogView> cancelled;
  EXPECT_EQ(TFLogView::open(&mainWindow, dir.path(),
                            [&](QWidget* parent, const std::filesystem::path& startDir) {
                              cancelled = qobject_cast<TFLogView*>(parent);
                              asked = startDir;
                              return std::optional<std::filesystem::path>();
                            }),
            nullptr);
  EXPECT_EQ(asked, dir.path());
  ASSERT_FALSE(cancelled.isNull());  // the viewer was up while the dialog asked
  runDeferredDeletes();
  EXPECT_TRUE(cancelled.isNull());

  const std::filesystem::path log = dir.write("log.hex", twoRecordLog());
  QPointer<TFLogView> shown = TFLogView::open(&mainWindow, dir.path(), [&](auto*, const auto&) {
    return std::optional<std::filesystem::path>(log);
  });
  ASSERT_FALSE(shown.isNull());
  EXPECT_TRUE(shown->isVisible());
  EXPECT_TRUE(shown->isWindow());
  EXPECT_EQ(shown->model().rowCount(), 2);
  shown->close();
  runDeferredDeletes();
  EXPECT_TRUE(shown.isNull());

  // Without a sink the failure shows in a message box that does not hold up the viewer.
  QPointer<TFLogView> failed = TFLogView::open(&mainWindow, dir.path(), [&](auto*, const auto&) {
    return std::optional<std::filesystem::path>(dir / "missing.hex");
  });
  ASSERT_FALSE(failed.isNull());
  auto* box = failed->findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->isVisible());
  EXPECT_TRUE(box->text().contains("missing.hex"));
  EXPECT_EQ(failed->model().rowCount(), 0);
  failed->close();
  runDeferredDeletes();
  EXPECT_TRUE(failed.isNull());
}

}  // namespace
}  // namespace orv
