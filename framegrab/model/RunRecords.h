#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"

#include "framegrab/model/HostCounters.h"
#include "framegrab/model/RunModel.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace fp {

// The records of a run and a signal for each change: the one place a run's records live while
// it goes on, filled by the grab side and read by every view. Adding holds the lock for a push;
// a reader copies a few pointers, since full chunks of records never change, and builds the
// model outside the lock, once for each change.
//
// Who calls what: the grab thread Begin, UpdateFacts and Finish, the thread that files records (the
// image analyser) Add, any thread the readers.
class RunRecords {
 public:
  RunRecords() = default;
  RunRecords(const RunRecords&) = delete;
  RunRecords& operator=(const RunRecords&) = delete;

  // The run's facts once the camera is open, just before the first image.
  void Begin(const RunFacts& facts) EXCLUDES(_mutex);
  // One more record, in the order the images were taken.
  void Add(ImageRecord record) EXCLUDES(_mutex);
  // Changes the facts while the run goes on (the pictures' counts, the outages), under the lock.
  void UpdateFacts(const std::function<void(RunFacts&)>& change) EXCLUDES(_mutex);
  // The run's final facts, once every record is filed.
  void Finish(const RunFacts& facts) EXCLUDES(_mutex);

  // The model as it stands, built once for each change and shared. While the run goes on,
  // `ended_by` is kRunning, the elapsed time and the driver's counts are those at the end of
  // the last image, and the processor and kernel counters are read when the model is built.
  std::shared_ptr<const RunModel> Model() const EXCLUDES(_mutex, _model_mutex);
  // The sums so far, without building a model.
  RunTotals Totals() const EXCLUDES(_mutex);
  // Changes whenever a record or the run's facts come in.
  std::uint64_t Version() const EXCLUDES(_mutex);
  // Waits until the version is not `seen`, at most `limit`; false when closed.
  bool WaitForChange(std::uint64_t seen, std::chrono::milliseconds limit) const EXCLUDES(_mutex);
  // Waits `period`, or less when closed; false when closed.
  bool Pause(std::chrono::milliseconds period) const EXCLUDES(_mutex);
  // Wakes every waiter and makes the waits return false, for shutting down.
  void Close() EXCLUDES(_mutex);

 private:
  // The records, filed by the analyser, changed by the grab thread, read by any thread.
  mutable Mutex _mutex;
  mutable std::condition_variable _changed;
  RunFacts _facts GUARDED_BY(_mutex);
  ProcessorTime _cpu_at_begin GUARDED_BY(_mutex);
  std::vector<std::shared_ptr<const RecordList::Chunk>> _full GUARDED_BY(_mutex);
  RecordList::Chunk _open GUARDED_BY(_mutex);
  RunTotals _totals GUARDED_BY(_mutex);
  std::uint64_t _version GUARDED_BY(_mutex) = 1;
  bool _closed GUARDED_BY(_mutex) = false;

  // The model last built and the version it shows, for every reader.
  mutable Mutex _model_mutex;
  mutable std::shared_ptr<const RunModel> _model GUARDED_BY(_model_mutex);
  mutable std::uint64_t _model_version GUARDED_BY(_model_mutex) = 0;
};

}  // namespace fp
