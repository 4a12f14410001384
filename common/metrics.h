#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orv {

// How long answers and writes take: counts per upper bound (seconds), as a monitoring system
// reads a histogram. Relaxed atomics: any thread records, a scrape reads.
class LatencyHistogram {
 public:
  static constexpr std::array<double, 12> kBounds = {0.0005, 0.001, 0.002, 0.005, 0.01, 0.02,
                                                     0.05,   0.1,   0.25,  0.5,   1.0,  2.5};

  void observeMicros(uint64_t micros);

  struct Reading {
    std::array<uint64_t, kBounds.size()> cumulative{};  // at or below each bound
    uint64_t count = 0;
    double sumSeconds = 0;
  };
  Reading read() const;

 private:
  std::array<std::atomic<uint64_t>, kBounds.size() + 1> buckets_{};  // the last: above them all
  std::atomic<uint64_t> sumMicros_{0};
};

// What an input counts: lines (frames, messages) received and rejected (checksum, CRC, filter),
// and the time from receiving one to its answer on the wire.
struct InputMetrics {
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> rejected{0};
  LatencyHistogram answers;
};

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// Where a source puts its readings during a scrape.
class MetricsSink {
 public:
  virtual ~MetricsSink() = default;
  virtual void counter(std::string_view name, std::string_view help, const MetricLabels& labels,
                       double value) = 0;
  virtual void gauge(std::string_view name, std::string_view help, const MetricLabels& labels,
                     double value) = 0;
  virtual void histogram(std::string_view name, std::string_view help, const MetricLabels& labels,
                         const LatencyHistogram& histogram) = 0;
};

// Every part of the server that has something to report registers a source while it exists; a
// scrape asks them all. A source is called under the registry's lock, so the part that owns it
// cannot go away in the middle of a scrape: it unregisters (waiting for the scrape) first.
class MetricsRegistry {
 public:
  using Source = std::function<void(MetricsSink&)>;

  static MetricsRegistry& global();

  uint64_t add(Source source);
  void remove(uint64_t id);
  void collect(MetricsSink& sink) const;

 private:
  mutable std::mutex lock_;
  std::vector<std::pair<uint64_t, Source>> sources_;
  uint64_t nextId_ = 0;
};

// The readings of an input's InputMetrics under its labels.
void reportInputMetrics(MetricsSink& sink, const MetricLabels& labels, const InputMetrics& m);

// A registration for the life of its owner: make it the owner's last member, so that it is
// gone before anything it reads.
class MetricsSource {
 public:
  MetricsSource() = default;
  explicit MetricsSource(MetricsRegistry::Source source)
      : id_(MetricsRegistry::global().add(std::move(source))) {}
  ~MetricsSource() { reset(); }
  MetricsSource(const MetricsSource&) = delete;
  MetricsSource& operator=(const MetricsSource&) = delete;
  MetricsSource& operator=(MetricsSource&& other) noexcept {
    reset();
    id_ = std::exchange(other.id_, 0);
    return *this;
  }
  void reset() {
    if (id_ != 0) MetricsRegistry::global().remove(std::exchange(id_, 0));
  }

 private:
  uint64_t id_ = 0;
};

}  // namespace orv
