#pragma once

#include "framegrab/model/HostCounters.h"
#include "framegrab/model/RunModel.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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
  void Begin(const RunFacts& facts);
  // One more record, in the order the images were taken.
  void Add(ImageRecord record);
  // Changes the facts while the run goes on (the pictures' counts, the outages), under the lock.
  void UpdateFacts(const std::function<void(RunFacts&)>& change);
  // The run's final facts, once every record is filed.
  void Finish(const RunFacts& facts);

  // The model as it stands, built once for each change and shared. While the run goes on,
  // `ended_by` is kRunning, the elapsed time and the driver's counts are those at the end of
  // the last image, and the processor and kernel counters are read when the model is built.
  std::shared_ptr<const RunModel> Model() const;
  // The sums so far, without building a model.
  RunTotals Totals() const;
  // Changes whenever a record or the run's facts come in.
  std::uint64_t Version() const;
  // Waits until the version is not `seen`, at most `limit`; false when closed.
  bool WaitForChange(std::uint64_t seen, std::chrono::milliseconds limit) const;
  // Waits `period`, or less when closed; false when closed.
  bool Pause(std::chrono::milliseconds period) const;
  // Wakes every waiter and makes the waits return false, for shutting down.
  void Close();

 private:
  // Guarded by _mutex.
  mutable std::mutex _mutex;
  mutable std::condition_variable _changed;
  RunFacts _facts;
  ProcessorTime _cpu_at_begin;
  std::vector<std::shared_ptr<const RecordList::Chunk>> _full;
  RecordList::Chunk _open;
  RunTotals _totals;
  std::uint64_t _version = 1;
  bool _closed = false;

  // Guarded by _model_mutex: the model last built and the version it shows.
  mutable std::mutex _model_mutex;
  mutable std::shared_ptr<const RunModel> _model;
  mutable std::uint64_t _model_version = 0;
};

}  // namespace fp
