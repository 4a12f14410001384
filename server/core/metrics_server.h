#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}

namespace orv {

class MetricsCollector;

// The Prometheus endpoint ([Metrics] Port, Bind): GET /metrics in the text format, read from
// every part of the server that registered its readings (common/metrics.h). Its own threads
// serve the scrapers; a scrape reads counters and takes no lock that the alarm path waits on
// for longer than a copy.
class MetricsServer {
 public:
  // A port that cannot be bound is reported (and named in the service status); the server
  // runs on without metrics.
  MetricsServer(const std::string& bind, uint16_t port);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  bool listening() const { return exposer_ != nullptr; }

 private:
  std::shared_ptr<MetricsCollector> collector_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace orv
