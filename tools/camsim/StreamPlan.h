#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fp {

struct SimulatorOptions;

// The order in which one image's RAW packets leave the simulator, after the stream faults of
// `options` are applied: each window of `reorder` packets shuffled; packet 8247 taken out of
// its place and put first with last_first; cut after `stop_after` entries; the `drop` indices and a
// `loss` fraction left out; a `duplicate` fraction sent twice in a row. Random choices come from a
// generator seeded with the seed and the image number, so the same options give the same plan for
// the same image. The simulator streams exactly this list; tests call it to know what must arrive.
// A `forge` index that is sent comes twice in a row, first as a forged copy (ForgedEntry).
std::vector<int> PlanStream(const SimulatorOptions& options, std::uint32_t image_number);

// The positions in `indices` (the packets of a captured stream, in its order) that a replay of
// it as image `image_number` sends: those neither in the `drop` list nor left out by the `loss`
// fraction, drawn from a generator seeded as PlanStream's. The other stream faults do not apply.
std::vector<std::size_t> ThinStream(const SimulatorOptions& options, std::uint32_t image_number,
                                    const std::vector<int>& indices);

// The plan's entry for a forged copy of packet `index`, and back: negative, so that no index
// is taken for one.
constexpr int ForgedEntry(int index) { return ~index; }
constexpr bool IsForged(int entry) { return entry < 0; }
constexpr int PacketOfEntry(int entry) { return entry < 0 ? ~entry : entry; }

}  // namespace fp
