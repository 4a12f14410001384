#pragma once

#include <cstddef>
#include <string>

namespace orv {

// What the main window shows of the core. The core calls it on the loop thread only; the
// headless build has no view and the defaults do nothing.
class StatusView {
 public:
  virtual ~StatusView() = default;
  virtual void setLineRowCount(size_t /*line*/, size_t /*rows*/) {}
  virtual void repaintLine(size_t /*line*/) {}
  virtual void repaintOutputs() {}
  virtual void repaintSia() {}
  virtual void repaintTcpDrv() {}
  virtual void setConnectionCounter(const std::string& /*text*/) {}
  virtual void setNameField(const std::string& /*text*/) {}
  virtual void pagesChanged() {}
  virtual void setSmsCounter(const std::string& /*text*/) {}
};

}  // namespace orv
