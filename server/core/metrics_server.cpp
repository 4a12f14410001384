#include "server/core/metrics_server.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <exception>
#include <map>

#include "common/diag.h"
#include "common/metrics.h"
#include "common/service_notify.h"

namespace orv {

// Turns the registry's readings into metric families, one per name, in the order first seen.
class MetricsCollector : public prometheus::Collectable, private MetricsSink {
 public:
  std::vector<prometheus::MetricFamily> Collect() const override {
    std::lock_guard lock(lock_);  // one scrape at a time builds families_
    families_.clear();
    index_.clear();
    MetricsRegistry::global().collect(const_cast<MetricsCollector&>(*this));
    return std::move(families_);
  }

 private:
  prometheus::ClientMetric& add(std::string_view name, std::string_view help,
                                prometheus::MetricType type, const MetricLabels& labels) const {
    auto [it, fresh] = index_.try_emplace(std::string(name), families_.size());
    if (fresh) families_.push_back({std::string(name), std::string(help), type, {}});
    prometheus::ClientMetric& m = families_[it->second].metric.emplace_back();
    for (const auto& [label, value] : labels) m.label.push_back({label, value});
    return m;
  }
  void counter(std::string_view name, std::string_view help, const MetricLabels& labels,
               double value) override {
    add(name, help, prometheus::MetricType::Counter, labels).counter.value = value;
  }
  void gauge(std::string_view name, std::string_view help, const MetricLabels& labels,
             double value) override {
    add(name, help, prometheus::MetricType::Gauge, labels).gauge.value = value;
  }
  void histogram(std::string_view name, std::string_view help, const MetricLabels& labels,
                 const LatencyHistogram& h) override {
    const LatencyHistogram::Reading r = h.read();
    prometheus::ClientMetric::Histogram& out =
        add(name, help, prometheus::MetricType::Histogram, labels).histogram;
    out.sample_count = r.count;
    out.sample_sum = r.sumSeconds;
    for (size_t i = 0; i < LatencyHistogram::kBounds.size(); ++i) {
      out.bucket.push_back({r.cumulative[i], LatencyHistogram::kBounds[i]});
    }
    out.bucket.push_back({r.count, std::numeric_limits<double>::infinity()});
  }

  mutable std::mutex lock_;
  mutable std::vector<prometheus::MetricFamily> families_;
  mutable std::map<std::string, size_t, std::less<>> index_;
};

MetricsServer::MetricsServer(const std::string& bind, uint16_t port)
    : collector_(std::make_shared<MetricsCollector>()) {
  const std::string address = bind + ":" + std::to_string(port);
  try {
    exposer_ = std::make_unique<prometheus::Exposer>(address, 2);
    exposer_->RegisterCollectable(collector_);
    diagf("metrics: serving http://%s/metrics", address.c_str());
  } catch (const std::exception& e) {
    const std::string text = "metrics: cannot listen on " + address + ": " + e.what();
    diag(text);
    recordListenFailure(text);
    exposer_.reset();
  }
}

MetricsServer::~MetricsServer() = default;

}  // namespace orv
