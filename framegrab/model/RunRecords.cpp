#include "framegrab/model/RunRecords.h"

namespace fp {

void RunRecords::Begin(const RunFacts& facts) {
  const ProcessorTime cpu = ReadProcessorTime();
  {
    MutexLock lock(_mutex);
    _facts = facts;
    _cpu_at_begin = cpu;
    ++_version;
  }
  _changed.notify_all();
}

void RunRecords::Add(ImageRecord record) {
  {
    MutexLock lock(_mutex);
    _totals.Add(record);
    _facts.elapsed_ms = record.ended_after_ms;
    _facts.driver = record.since_open;
    _open.push_back(std::move(record));
    if (_open.size() == RecordList::kChunk) {
      _full.push_back(std::make_shared<const RecordList::Chunk>(std::move(_open)));
      _open = RecordList::Chunk();
      _open.reserve(RecordList::kChunk);
    }
    ++_version;
  }
  _changed.notify_all();
}

void RunRecords::UpdateFacts(const std::function<void(RunFacts&)>& change) {
  {
    MutexLock lock(_mutex);
    change(_facts);
    ++_version;
  }
  _changed.notify_all();
}

void RunRecords::Finish(const RunFacts& facts) {
  {
    MutexLock lock(_mutex);
    _facts = facts;
    ++_version;
  }
  _changed.notify_all();
}

std::shared_ptr<const RunModel> RunRecords::Model() const {
  const std::uint64_t now = Version();
  {
    MutexLock lock(_model_mutex);
    if (_model && _model_version == now) return _model;
  }
  RunFacts facts;
  std::vector<std::shared_ptr<const RecordList::Chunk>> full;
  std::shared_ptr<const RecordList::Chunk> open;
  RunTotals totals;
  ProcessorTime cpu_at_begin;
  std::uint64_t version = 0;
  {
    MutexLock lock(_mutex);
    facts = _facts;
    full = _full;
    if (!_open.empty()) open = std::make_shared<const RecordList::Chunk>(_open);
    totals = _totals;
    cpu_at_begin = _cpu_at_begin;
    version = _version;
  }
  if (facts.ended_by == RunEnd::kRunning) {
    facts.rcvbuf_errors_after = ReadRcvbufErrors();
    const ProcessorTime cpu = ReadProcessorTime();
    facts.cpu_user_ms = cpu.user_ms - cpu_at_begin.user_ms;
    facts.cpu_system_ms = cpu.system_ms - cpu_at_begin.system_ms;
  }
  auto model = std::make_shared<const RunModel>(
      BuildModel(std::move(facts), RecordList(std::move(full), std::move(open)), totals));
  // Two readers may build the same version at once; the newer model stays.
  MutexLock lock(_model_mutex);
  if (version > _model_version) {
    _model = model;
    _model_version = version;
  }
  return model;
}

RunTotals RunRecords::Totals() const {
  MutexLock lock(_mutex);
  return _totals;
}

std::uint64_t RunRecords::Version() const {
  MutexLock lock(_mutex);
  return _version;
}

bool RunRecords::WaitForChange(std::uint64_t seen, std::chrono::milliseconds limit) const {
  MutexLock lock(_mutex);
  _changed.wait_for(lock.Native(), limit,
                    [&]() REQUIRES(_mutex) { return _closed || _version != seen; });
  return !_closed;
}

bool RunRecords::Pause(std::chrono::milliseconds period) const {
  MutexLock lock(_mutex);
  _changed.wait_for(lock.Native(), period, [this]() REQUIRES(_mutex) { return _closed; });
  return !_closed;
}

void RunRecords::Close() {
  {
    MutexLock lock(_mutex);
    _closed = true;
  }
  _changed.notify_all();
}

}  // namespace fp
