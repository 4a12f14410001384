// orv-bench-status: what the passes over a line's connection list cost with many modules
// connected — the reads of the status rows, the deferred re-sort after identifications, and
// the single-record operations the worker and the console do while the list is that long.
// Prints a markdown table; the median of several runs of each pass.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "server/modules/client_list.h"
#include "server/modules/module_status.h"

namespace {

using Clock = std::chrono::steady_clock;

double medianMs(int runs, const std::function<void()>& setup, const std::function<void()>& pass) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    setup();
    const auto start = Clock::now();
    pass();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orv;
  const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  constexpr int kRuns = 15;

  // Modules connect in no particular order of their identifiers.
  std::vector<ClientPtr> records;
  for (size_t i = 0; i < n; ++i) {
    auto c = std::make_shared<tClientContext>();
    char id[32];
    std::snprintf(id, sizeof id, "H%05zu", i);
    c->moduleId = id;
    c->account = static_cast<uint16_t>(0x1000 + i);
    c->peerAddress = "10.0.0.1";
    c->lastReceived = "Q\r\n";
    c->number = static_cast<int32_t>(i);
    records.push_back(std::move(c));
  }
  std::shuffle(records.begin(), records.end(), std::mt19937(7));
  TClientList list;
  for (const ClientPtr& c : records) list.add(c);
  list.sort(ClientOrder::ById);

  volatile size_t sink = 0;
  auto none = [] {};
  const double resort = medianMs(
      kRuns, [&] { list.markUnsorted(); }, [&] { sink = sink + list.snapshot().size(); });
  // A few modules identified since the last read, and a few newly connected.
  size_t which = 0;
  const double place = medianMs(
      kRuns,
      [&] {
        for (int k = 0; k < 10; ++k) list.markUnsorted(records[(which++ * 104729) % n].get());
        for (int k = 0; k < 10; ++k) {
          const ClientPtr& c = records[(which++ * 104729) % n];
          list.remove(c.get());
          list.add(c);
        }
      },
      [&] { sink = sink + list.snapshot().size(); });
  const double snapshot = medianMs(kRuns, none, [&] { sink = sink + list.snapshot().size(); });
  const double rows = medianMs(kRuns, none, [&] { sink = sink + moduleRows(list).size(); });
  const double rowAt = medianMs(kRuns, none, [&] {
    for (size_t i = 0; i < 40; ++i) sink = sink + (list.at(i * n / 40) != nullptr);
  });
  // One module goes and another comes, as under reconnects: what the worker pays per close.
  size_t next = 0;
  const double removeOne = medianMs(kRuns, none,
                                    [&] {
                                      for (int k = 0; k < 100; ++k) {
                                        const ClientPtr& c = records[(next++ * 7919) % n];
                                        list.remove(c.get());
                                        list.add(c);
                                      }
                                    }) /
                           100;
  const double markOne = medianMs(kRuns, none,
                                  [&] {
                                    for (int k = 0; k < 1000; ++k) list.markUnsorted();
                                  }) /
                         1000;
  list.snapshot();
  const double findLast =
      medianMs(kRuns, none, [&] { sink = sink + (list.find("H99999") != nullptr); });

  std::printf("| pass over %zu connections | ms |\n|---|---:|\n", n);
  std::printf("| status rows, all (moduleRows) | %.2f |\n", rows);
  std::printf("| 40 rows read one by one (at) | %.3f |\n", rowAt);
  std::printf("| whole re-sort (snapshot after markUnsorted()) | %.2f |\n", resort);
  std::printf("| 10 identified and 10 new connections put in place (next read) | %.2f |\n", place);
  std::printf("| snapshot, sorted | %.2f |\n", snapshot);
  std::printf("| find an absent identifier (console, routed command) | %.2f |\n", findLast);
  std::printf("| one connection removed and one added (worker, per close) | %.4f |\n", removeOne);
  std::printf("| identification marks the list unsorted (worker) | %.5f |\n", markOne);
  return sink == 0 ? 1 : 0;
}
