#include "common/metrics.h"

#include <algorithm>

namespace orv {

void LatencyHistogram::observeMicros(uint64_t micros) {
  const double seconds = static_cast<double>(micros) / 1e6;
  const size_t bucket = static_cast<size_t>(
      std::lower_bound(kBounds.begin(), kBounds.end(), seconds) - kBounds.begin());
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  sumMicros_.fetch_add(micros, std::memory_order_relaxed);
}

LatencyHistogram::Reading LatencyHistogram::read() const {
  Reading r;
  uint64_t running = 0;
  for (size_t i = 0; i < kBounds.size(); ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    r.cumulative[i] = running;
  }
  r.count = running + buckets_[kBounds.size()].load(std::memory_order_relaxed);
  r.sumSeconds = static_cast<double>(sumMicros_.load(std::memory_order_relaxed)) / 1e6;
  return r;
}

void reportInputMetrics(MetricsSink& sink, const MetricLabels& labels, const InputMetrics& m) {
  sink.counter("orv_input_lines_received_total", "Lines, frames or messages received", labels,
               static_cast<double>(m.received.load(std::memory_order_relaxed)));
  sink.counter("orv_input_lines_rejected_total",
               "Lines, frames or messages rejected (checksum, CRC, filter)", labels,
               static_cast<double>(m.rejected.load(std::memory_order_relaxed)));
  sink.histogram("orv_input_answer_seconds",
                 "From receiving an event to its acknowledgement on the wire (stored first)",
                 labels, m.answers);
}

MetricsRegistry& MetricsRegistry::global() {
  static MetricsRegistry registry;
  return registry;
}

uint64_t MetricsRegistry::add(Source source) {
  std::lock_guard lock(lock_);
  sources_.emplace_back(++nextId_, std::move(source));
  return nextId_;
}

void MetricsRegistry::remove(uint64_t id) {
  std::lock_guard lock(lock_);
  std::erase_if(sources_, [id](const auto& s) { return s.first == id; });
}

void MetricsRegistry::collect(MetricsSink& sink) const {
  std::lock_guard lock(lock_);
  for (const auto& [id, source] : sources_) source(sink);
}

}  // namespace orv
