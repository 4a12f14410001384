#include "server/outputs/queue_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "common/crc32c.h"
#include "common/diag.h"
#include "common/ticks.h"
#include "server/outputs/queue_file.h"
#include "server/outputs/queue_journal.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using journal::SnapshotId;

// How long the writer waits before it tries again after something could not be stored.
constexpr auto kRetryPause = std::chrono::seconds(1);
// How long a fold that failed waits before the next try.
constexpr auto kFoldRetryPause = std::chrono::seconds(10);
// Damaged stretches of one journal named one by one; the rest are counted.
constexpr size_t kStretchesNamed = 5;

std::string failed(const fs::path& file, const char* what) {
  return file.string() + ": " + what + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view data, uint64_t offset) {
  while (!data.empty()) {
    ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// Journals are written into space filled with zeros beforehand: overwriting blocks the file
// already has lets fdatasync flush the data alone, without the file system's own journal,
// which takes several times as long on common disks.
constexpr uint64_t kJournalChunk = 4u << 20;

bool zeroFill(int fd, uint64_t from, uint64_t to) {
  static const std::string zeros(64 * 1024, '\0');
  while (from < to) {
    const uint64_t n = std::min<uint64_t>(zeros.size(), to - from);
    if (!writeAll(fd, std::string_view(zeros).substr(0, n), from)) return false;
    from += n;
  }
  return true;
}

// A large file written all at once fills the disk's queue, and every journal flush behind it
// waits: the file goes out a piece at a time, each on disk before the next is written.
bool writeInPieces(int fd, std::string_view text) {
  constexpr size_t kPiece = 4u << 20;
  for (uint64_t at = 0; at < text.size(); at += kPiece) {
    const std::string_view piece = text.substr(at, kPiece);
    if (!writeAll(fd, piece, at)) return false;
    if (::sync_file_range(fd, static_cast<off_t>(at), static_cast<off_t>(piece.size()),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
      return false;
    }
  }
  return true;
}

// A rename or removal reaches the disk only with its directory.
bool syncDirectory(const fs::path& file) {
  const fs::path dir = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && ::fsync(fd.get()) == 0;
}

bool removeFile(const fs::path& file) {
  return ::unlink(file.c_str()) == 0 || errno == ENOENT;
}

std::optional<SnapshotId> firstBase(const fs::path& file) {
  journal::Reader reader(file);
  journal::Record record;
  if (!reader.next(record)) return std::nullopt;
  return journal::baseOf(record);
}

bool sameFile(const SnapshotId& a, const SnapshotId& b) {
  return a.lines == b.lines && a.bytes == b.bytes && a.crc == b.crc;
}

void renumber(journal::Replay& state, uint64_t firstSeq) {
  uint64_t seq = firstSeq;
  for (auto& l : state.lines) l.seq = seq++;
  state.nextSeq = seq;
}

void reportDamage(const fs::path& file, const journal::Reader& reader) {
  const auto& skipped = reader.skipped();
  for (size_t i = 0; i < skipped.size() && i < kStretchesNamed; ++i) {
    const bool torn = reader.tornTail() && i + 1 == skipped.size();
    diagf(torn ? "%s: a record cut short at its end (%llu bytes at offset %llu) was ignored"
               : "%s: %llu bytes at offset %llu hold no valid record; skipped",
          file.c_str(), static_cast<unsigned long long>(skipped[i].bytes),
          static_cast<unsigned long long>(skipped[i].offset));
  }
  if (skipped.size() > kStretchesNamed) {
    diagf("%s: %zu more damaged stretches skipped", file.c_str(), skipped.size() - kStretchesNamed);
  }
}

// Replays `file` onto `state` when it continues the queue that `state` holds (`matches` says
// so of its Base record). A journal of another queue file (one changed while the server was
// stopped, or removed) still holds lines that were acknowledged: the ones it queued after its
// own file and did not take out again are added behind `state`, so nothing proven is lost.
// Returns false for a journal that held nothing but its Base record.
bool applyJournal(const fs::path& file, journal::Replay& state,
                  const std::function<bool(const SnapshotId&)>& matches,
                  uint64_t limit = UINT64_MAX) {
  journal::Reader reader(file, limit);
  if (!reader.opened()) {
    diagf("%s: cannot be read: %s", file.c_str(), std::strerror(errno));
    return false;
  }
  journal::Record record;
  const bool any = reader.next(record);
  const std::optional<SnapshotId> base = any ? journal::baseOf(record) : std::nullopt;
  const uint64_t duplicates = state.duplicates, gaps = state.gaps;
  bool changes = false;
  if (base && matches(*base)) {
    renumber(state, base->firstSeq);
    while (reader.next(record)) {
      state.apply(record);
      changes = true;
    }
  } else {
    journal::Replay own;
    own.nextSeq = base ? base->firstSeq + base->lines : 0;
    if (any && !base) {
      // Without its Base record the numbering starts where the first record stands.
      own.nextSeq = record.seq;
      own.apply(record);
      changes = true;
    }
    while (reader.next(record)) {
      own.apply(record);
      changes = true;
    }
    if (changes) {
      diagf(
          "%s does not continue the queue file as it is (changed or removed while the server "
          "was stopped?): the file's %zu lines are kept, and %zu later lines from the journal "
          "added behind them",
          file.c_str(), state.lines.size(), own.lines.size());
      for (auto& l : own.lines) {
        l.seq = state.nextSeq++;
        state.lines.push_back(std::move(l));
      }
    }
  }
  reportDamage(file, reader);
  if (state.duplicates > duplicates) {
    diagf("%s: %llu records for lines queued already; ignored", file.c_str(),
          static_cast<unsigned long long>(state.duplicates - duplicates));
  }
  if (state.gaps > gaps) {
    diagf(
        "%s: %llu records past the next line number (records before them are missing); "
        "their lines are kept",
        file.c_str(), static_cast<unsigned long long>(state.gaps - gaps));
  }
  return changes;
}

}  // namespace

// --- start -----------------------------------------------------------------------------------

StoredFiles readQueueFiles(const fs::path& out) {
  const fs::path jnl = fs::path(out).replace_extension(".jnl");
  const fs::path jnlNew = fs::path(jnl) += ".new";
  QueueFileInfo info;
  std::deque<std::string> lines = loadQueueFile(out, &info);
  journal::Replay state;
  for (std::string& l : lines) state.lines.push_back({state.nextSeq++, std::move(l)});
  const SnapshotId fileId{0, state.lines.size(), info.bytes, info.crc};
  auto continuesFile = [&](const SnapshotId& base) { return sameFile(base, fileId); };

  const bool hasJournal = fs::exists(jnl);
  const bool hasNewJournal = fs::exists(jnlNew);
  StoredFiles read;
  read.exact = info.exact && !hasJournal && !hasNewJournal;
  const std::optional<SnapshotId> newBase = hasNewJournal ? firstBase(jnlNew) : std::nullopt;
  if (newBase && continuesFile(*newBase)) {
    // The last compaction put its queue file in place: the older journal is in that file.
    applyJournal(jnlNew, state, continuesFile);
  } else if (hasJournal) {
    // Beside it, a newer journal that does not continue the file is a compaction that never
    // put its file in place: whatever it holds is in this journal too.
    applyJournal(jnl, state, continuesFile);
  } else if (hasNewJournal) {
    applyJournal(jnlNew, state, continuesFile);
  }

  read.queue.frontSeq = state.lines.empty() ? state.nextSeq : state.lines.front().seq;
  for (auto& l : state.lines) read.queue.lines.push_back(std::move(l.text));
  read.file = fileId;
  return read;
}

QueueStore::Handle JournalStore::open(const fs::path& file, const StoredQueue& queue,
                                      Loaded& loaded) {
  auto q = std::make_unique<Queue>();
  q->out = file;
  q->outTmp = fs::path(file) += ".tmp";
  q->jnl = fs::path(file).replace_extension(".jnl");
  q->jnlNew = fs::path(q->jnl) += ".new";
  q->source = &queue;
  removeFile(q->outTmp);  // an unfinished queue file of a compaction that never took its place
  StoredFiles read = readQueueFiles(file);
  loaded = std::move(read.queue);
  if (!read.exact) diagf("%s: %zu lines queued", file.c_str(), loaded.lines.size());
  std::string why;
  bool written;
  if (!read.exact) {
    const std::string text = queueFileText(loaded.lines);
    written = writeSnapshot(*q, {loaded.frontSeq, loaded.lines.size(), text.size(), crc32c(text)},
                            &text, why);
  } else {
    // The file stays as it is; a new journal continues it.
    read.file.firstSeq = loaded.frontSeq;
    written = writeSnapshot(*q, read.file, nullptr, why);
  }
  if (!written) {
    q->compactionDue = true;
    setFailure(why);
  }
  queues_.push_back(std::move(q));
  return queues_.size() - 1;
}

bool JournalStore::isOpen(const fs::path& file) const {
  return std::any_of(queues_.begin(), queues_.end(), [&](const auto& q) { return q->out == file; });
}

void JournalStore::start() {
  metricsSource_ = MetricsSource([this](MetricsSink& sink) {
    sink.histogram("orv_queue_write_seconds",
                   "Writing and flushing a round of queue changes to the journals", {},
                   writeLatency_);
    sink.counter("orv_queue_write_failures_total",
                 "Rounds whose changes could not be stored (events not acknowledged meanwhile)", {},
                 static_cast<double>(writeFailures_.load(std::memory_order_relaxed)));
  });
  writer_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

// --- changes ---------------------------------------------------------------------------------

uint64_t JournalStore::recorded(Queue& q) {
  // Numbered under the queue's pending lock, so a writer that read issued_ finds every record
  // up to that number in the pending buffers.
  const uint64_t ticket = issued_.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (q.pending.size() > kMaxPending) {
    q.pending.clear();
    q.overflowed = true;  // the next round writes the whole queue instead
  }
  return ticket;
}

uint64_t JournalStore::append(Handle queue, uint64_t seq, std::string_view line) {
  Queue& q = *queues_[queue];
  uint64_t ticket;
  {
    std::lock_guard lock(q.pendingLock);
    journal::appendPush(q.pending, seq, line);
    ticket = recorded(q);
  }
  signalWork();
  return ticket;
}

uint64_t JournalStore::dropBefore(Handle queue, uint64_t seq) {
  Queue& q = *queues_[queue];
  uint64_t ticket;
  {
    std::lock_guard lock(q.pendingLock);
    journal::appendFront(q.pending, seq);
    ticket = recorded(q);
  }
  signalWork();
  return ticket;
}

void JournalStore::signalWork() {
  if (!work_.exchange(true, std::memory_order_acq_rel)) {
    std::lock_guard lock(stateLock_);
    wake_.notify_one();
  }
}

// --- writer ----------------------------------------------------------------------------------

void JournalStore::run(std::stop_token stop) {
  bool failedLast = false;
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(stateLock_);
      if (failedLast) {
        // A full or failing disk is not hammered: one attempt a second.
        wake_.wait_for(lock, stop, kRetryPause, [] { return false; });
      } else {
        if (roundGap_.count() > 0) wake_.wait_for(lock, stop, roundGap_, [] { return false; });
        wake_.wait_for(lock, stop, kRetryPause, [this] { return work_.load(); });
      }
    }
    if (stop.stop_requested()) break;
    work_.store(false, std::memory_order_release);
    failedLast = !round();
  }
}

bool JournalStore::round() {
  const uint64_t end = issued_.load(std::memory_order_acquire);
  const uint64_t startedUs = steadyMicros();
  bool wrote = false;
  bool ok = true;
  std::string why;
  for (const auto& qp : queues_) {
    Queue& q = *qp;
    std::string batch;
    {
      std::lock_guard lock(q.pendingLock);
      if (q.overflowed) {
        q.overflowed = false;
        q.compactionDue = true;
      }
      if (!q.compactionDue) batch.swap(q.pending);
    }
    if (q.compactionDue) {
      abandonFold(q);
      ok = compact(q, why) && ok;
      continue;
    }
    if (batch.empty()) continue;
    const uint64_t used = q.journalSize + batch.size();
    const uint64_t allocate = (used + kJournalChunk - 1) / kJournalChunk * kJournalChunk;
    if ((used > q.allocated && !zeroFill(q.journal.get(), q.allocated, allocate)) ||
        !writeAll(q.journal.get(), batch, q.journalSize)) {
      why = failed(q.jnl, "cannot write");
      abandonFold(q);
      q.compactionDue = true;
      ok = false;
      continue;
    }
    q.allocated = std::max(q.allocated, allocate);
    q.journalSize += batch.size();
    q.unsynced = true;
    wrote = true;
    if (q.folding && !q.foldTaken) {
      // Written after the snapshot: the journal that continues the new file starts with them.
      q.foldTail += batch;
      if (q.foldTail.size() > kMaxPending) abandonFold(q);
    }
  }
  for (const auto& qp : queues_) {
    Queue& q = *qp;
    // A journal past its bound is folded into a new queue file beside the writing, from what
    // the file and the journal hold up to here.
    if (!q.compactionDue && !q.folding && q.journalSize > compactionBound(q) &&
        std::chrono::steady_clock::now() >= q.foldAfter) {
      q.foldTaken = true;
      q.folding = true;
      q.foldJournalEnd = q.journalSize;
    }
    if (!q.unsynced) continue;
    q.unsynced = false;
    if (::fdatasync(q.journal.get()) != 0) {
      // After a failed flush nobody knows what reached the disk: the queue is written anew.
      why = failed(q.jnl, "cannot flush");
      abandonFold(q);
      q.compactionDue = true;
      ok = false;
    }
  }
  if (ok) {
    if (durable_.exchange(end, std::memory_order_acq_rel) != end) notify();
    setFailure({});
  } else {
    writeFailures_.fetch_add(1, std::memory_order_relaxed);
    setFailure(why);
  }
  if (wrote) writeLatency_.observeMicros(steadyMicros() - startedUs);
  for (const auto& qp : queues_) {
    Queue& q = *qp;
    if (q.foldTaken) startFold(q);
    if (q.folding && q.foldDone.load(std::memory_order_acquire)) finishFold(q);
    q.journalBytes.store(q.allocated, std::memory_order_relaxed);
  }
  return ok;
}

uint64_t JournalStore::compactionBound(const Queue& q) const {
  return std::max(compactAbove_, 2 * q.fileSize);
}

// The new queue file is built from the file and journal as they are on disk up to the fold's
// end, and written and flushed, by a thread of its own: neither the queue's lock nor the
// acknowledgements wait for a file of a million lines. The journal goes on meanwhile, and what
// it gets after the fold's end is copied into the new journal when finishFold() switches.
void JournalStore::startFold(Queue& q) {
  q.foldTaken = false;
  foldsStarted_.fetch_add(1, std::memory_order_relaxed);
  q.foldDone.store(false, std::memory_order_relaxed);
  q.foldThread = std::jthread([this, &q, journalEnd = q.foldJournalEnd] {
    std::string why;
    const bool ok = writeFold(q, journalEnd, why);
    q.foldWhy = std::move(why);
    q.foldOk.store(ok, std::memory_order_relaxed);
    q.foldDone.store(true, std::memory_order_release);
    signalWork();
  });
}

bool JournalStore::writeFold(Queue& q, uint64_t journalEnd, std::string& why) {
  QueueFileInfo info;
  std::deque<std::string> lines = loadQueueFile(q.out, &info);
  journal::Replay state;
  for (std::string& l : lines) state.lines.push_back({state.nextSeq++, std::move(l)});
  const SnapshotId file{0, state.lines.size(), info.bytes, info.crc};
  bool continues = false;
  applyJournal(
      q.jnl, state, [&](const SnapshotId& base) { return continues = sameFile(base, file); },
      journalEnd);
  if (!continues) {
    why = q.jnl.string() + ": does not continue its queue file";
    return false;
  }
  std::string text;
  for (const auto& l : state.lines) {
    text += l.text;
    text += '\n';
  }
  q.foldId = {state.lines.empty() ? state.nextSeq : state.lines.front().seq, state.lines.size(),
              text.size(), crc32c(text)};
  if (!text.empty()) {
    UniqueFd out(::open(q.outTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return why = failed(q.outTmp, "cannot create"), false;
    if (!writeInPieces(out.get(), text)) return why = failed(q.outTmp, "cannot write"), false;
    if (::fdatasync(out.get()) != 0) return why = failed(q.outTmp, "cannot flush"), false;
  }
  // The next journal's space, so that switching to it costs the writer one short flush.
  UniqueFd jnl(::open(q.jnlNew.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!jnl) return why = failed(q.jnlNew, "cannot create"), false;
  if (!zeroFill(jnl.get(), 0, kJournalChunk)) return why = failed(q.jnlNew, "cannot write"), false;
  if (::fdatasync(jnl.get()) != 0) return why = failed(q.jnlNew, "cannot flush"), false;
  return true;
}

void JournalStore::finishFold(Queue& q) {
  q.foldThread.join();
  auto fail = [&](const std::string& why) {
    diagf("%s; the journal goes on and folding is tried again later", why.c_str());
    abandonFold(q);
    q.foldAfter = std::chrono::steady_clock::now() + kFoldRetryPause;
  };
  if (!q.foldOk.load(std::memory_order_relaxed)) return fail(q.foldWhy);
  // The journal that continues the new file: its Base record, then what came after the
  // snapshot (all of it in the old journal too, so either journal is complete).
  std::string head;
  journal::appendBase(head, q.foldId);
  head += q.foldTail;
  const uint64_t allocate =
      std::max(kJournalChunk, (head.size() + kJournalChunk - 1) / kJournalChunk * kJournalChunk);
  UniqueFd jnl(::open(q.jnlNew.c_str(), O_WRONLY | O_CLOEXEC));
  if (!jnl) return fail(failed(q.jnlNew, "cannot open"));
  // Its space grows first: zeros written behind the records would wipe a tail past the space
  // the fold thread prepared.
  if (!zeroFill(jnl.get(), kJournalChunk, allocate) || !writeAll(jnl.get(), head, 0)) {
    return fail(failed(q.jnlNew, "cannot write"));
  }
  std::string why;
  const FileStep file = q.foldId.bytes > 0 ? FileStep::Replace : FileStep::Remove;
  if (!switchIn(q, std::move(jnl), file, head.size(), allocate, q.foldId.bytes, why)) {
    // It may have stopped between its renames: the next round writes the queue anew.
    q.compactionDue = true;
    return fail(why);
  }
  q.folding = false;
  q.foldTail.clear();
  foldsFinished_.fetch_add(1, std::memory_order_relaxed);
}

void JournalStore::abandonFold(Queue& q) {
  if (q.foldThread.joinable()) q.foldThread.join();
  if (q.folding) {
    removeFile(q.outTmp);
    removeFile(q.jnlNew);
  }
  q.folding = false;
  q.foldTaken = false;
  q.foldTail.clear();
}

bool JournalStore::compact(Queue& q, std::string& why, bool lasting) {
  std::string text;
  SnapshotId id;
  q.source->withQueue([&](uint64_t frontSeq, const std::deque<std::string>& lines) {
    {
      // Everything gathered so far is in the snapshot.
      std::lock_guard lock(q.pendingLock);
      q.pending.clear();
      q.overflowed = false;
    }
    text = queueFileText(lines);
    id.firstSeq = frontSeq;
    id.lines = lines.size();
  });
  id.bytes = text.size();
  id.crc = crc32c(text);
  return writeSnapshot(q, id, &text, why, lasting);
}

// The queue file (unless `text` is null: the file holds it already) and a new journal that
// continues it. Each is written beside its place and flushed before it takes that place, the
// queue file first; the loader recognises which journal continues the file it finds, whatever
// step a crash interrupted.
bool JournalStore::writeSnapshot(Queue& q, const SnapshotId& id, const std::string* text,
                                 std::string& why, bool lasting) {
  auto fail = [&](std::string reason) {
    why = std::move(reason);
    removeFile(q.outTmp);
    removeFile(q.jnlNew);
    return false;
  };
  const bool newFile = text != nullptr && !text->empty();
  if (newFile) {
    UniqueFd out(::open(q.outTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return fail(failed(q.outTmp, "cannot create"));
    if (!writeAll(out.get(), *text, 0)) return fail(failed(q.outTmp, "cannot write"));
    if (::fdatasync(out.get()) != 0) return fail(failed(q.outTmp, "cannot flush"));
  }
  std::string base;
  journal::appendBase(base, id);
  UniqueFd jnl(::open(q.jnlNew.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!jnl) return fail(failed(q.jnlNew, "cannot create"));
  const uint64_t allocate = lasting ? kJournalChunk : base.size();
  if (!writeAll(jnl.get(), base, 0) || !zeroFill(jnl.get(), base.size(), allocate)) {
    return fail(failed(q.jnlNew, "cannot write"));
  }
  const FileStep file = text == nullptr ? FileStep::Keep
                        : newFile       ? FileStep::Replace
                                        : FileStep::Remove;
  if (!switchIn(q, std::move(jnl), file, base.size(), allocate, id.bytes, why)) return fail(why);
  q.compactionDue = false;
  return true;
}

// The last steps of a compaction or a fold: the new journal is flushed, the new queue file takes
// its place (or the old one goes, for an empty queue), then the journal, and the directory is
// flushed; the writer then appends to the new journal.
bool JournalStore::switchIn(Queue& q, UniqueFd jnl, FileStep file, uint64_t journalSize,
                            uint64_t allocated, uint64_t fileSize, std::string& why) {
  if (::fdatasync(jnl.get()) != 0) return why = failed(q.jnlNew, "cannot flush"), false;
  if (file == FileStep::Replace && ::rename(q.outTmp.c_str(), q.out.c_str()) != 0) {
    return why = failed(q.out, "cannot replace"), false;
  }
  if (file == FileStep::Remove && !removeFile(q.out)) {
    return why = failed(q.out, "cannot remove"), false;
  }
  if (::rename(q.jnlNew.c_str(), q.jnl.c_str()) != 0) {
    return why = failed(q.jnl, "cannot replace"), false;
  }
  if (!syncDirectory(q.out)) {
    return why = failed(q.out.parent_path(), "cannot flush the directory"), false;
  }
  q.journal = std::move(jnl);
  q.journalSize = journalSize;
  q.allocated = allocated;
  q.fileSize = fileSize;
  q.journalBytes.store(allocated, std::memory_order_relaxed);
  return true;
}

void JournalStore::close() {
  if (closed_) return;
  closed_ = true;
  if (writer_.joinable()) {
    writer_.request_stop();
    writer_.join();
  }
  round();
  for (const auto& qp : queues_) {
    Queue& q = *qp;
    abandonFold(*qp);
    std::string why;
    // The journal that goes with the final queue file lives only until it is removed: it
    // tells a start after a crash in between that the older journal is in that file.
    if (compact(q, why, false) && removeFile(q.jnl) && syncDirectory(q.jnl)) {
      q.journal.reset();
      continue;
    }
    if (why.empty()) why = failed(q.jnl, "cannot remove");
    diagf("%s; the journal stays and is replayed at the next start", why.c_str());
  }
}

// --- durability ------------------------------------------------------------------------------

std::string JournalStore::failure() const {
  std::lock_guard lock(stateLock_);
  return failure_;
}

void JournalStore::setFailure(std::string why) {
  std::lock_guard lock(stateLock_);
  if (why == failure_) return;
  if (why.empty()) {
    diag("queue files are written again; events are acknowledged again");
  } else if (failure_.empty()) {
    diagf("%s; events are not acknowledged until they can be stored", why.c_str());
  }
  failure_ = std::move(why);
  wakeLocked();
}

void JournalStore::notify() {
  std::lock_guard lock(stateLock_);
  wakeLocked();
}

void JournalStore::wakeLocked() {
  for (int fd : wakers_) {
    uint64_t one = 1;
    ssize_t r = ::write(fd, &one, sizeof one);
    (void)r;  // a full counter is still a wake-up
  }
}

void JournalStore::addWaker(int eventFd) {
  std::lock_guard lock(stateLock_);
  wakers_.push_back(eventFd);
}

void JournalStore::removeWaker(int eventFd) {
  std::lock_guard lock(stateLock_);
  std::erase(wakers_, eventFd);
}

uint64_t JournalStore::journalBytes() const {
  uint64_t total = 0;
  for (const auto& q : queues_) total += q->journalBytes.load(std::memory_order_relaxed);
  return total;
}

}  // namespace orv
