// The counters' list and what is made of it: frameprobe::Counters keeps the layout programs built
// against libframeprobe.so.1 read, the driver's structs hold the same counts, and each count has
// a name with its unit and the words a line of text shows it with.

#include "camera/DriverCounts.h"
#include "nudp/NudpCounts.h"

#include "frameprobe/Counters.h"
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

namespace fp {
namespace {

using frameprobe::Counters;

// Counters' members are the list's lines in their order: each a std::uint64_t, right after the
// one before.
constexpr bool MembersFollowTheList() {
  std::size_t line = 0;
  bool follow = true;
#define FP_AT_ITS_LINE(field, name, unit, place, label, help)                   \
  follow = follow && std::is_same_v<decltype(Counters::name), std::uint64_t> && \
           offsetof(Counters, name) == line++ * sizeof(std::uint64_t);
  FRAMEPROBE_SOCKET_COUNTERS(FP_AT_ITS_LINE)
  FRAMEPROBE_DRIVER_COUNTERS(FP_AT_ITS_LINE)
#undef FP_AT_ITS_LINE
  return follow && sizeof(Counters) == line * sizeof(std::uint64_t);
}
static_assert(MembersFollowTheList());
static_assert(std::is_standard_layout_v<Counters> && std::is_trivially_copyable_v<Counters>);
// The driver's own structs hold a count for each counter.
static_assert(sizeof(NudpCounts) + sizeof(CameraCounts) == sizeof(Counters));

TEST(CounterList, CountersKeepTheLayoutTheLibraryWasReleasedWith) {
  // Programs built against libframeprobe.so.1 read these members at these places (a GrabInfo
  // holds a Counters): a counter more, or one moved, is a library of another major version.
  struct Member {
    const char* name;
    std::size_t offset;
  };
  const std::vector<Member> released = {{"received_packets", 0},
                                        {"foreign_packets", 8},
                                        {"damaged_packets", 16},
                                        {"raw_packets", 24},
                                        {"stored_packets", 32},
                                        {"duplicate_packets", 40},
                                        {"conflicting_packets", 48},
                                        {"refused_packets", 56},
                                        {"matched_answers", 64},
                                        {"stray_answers", 72},
                                        {"restarts", 80},
                                        {"sent_commands", 88},
                                        {"repeated_commands", 96},
                                        {"timed_out_commands", 104},
                                        {"status_requests", 112},
                                        {"retransmission_requests", 120},
                                        {"answered_retransmissions", 128},
                                        {"fetched_again_packets", 136},
                                        {"drains", 144},
                                        {"lost_contacts", 152}};
  const Counters counters;
  std::size_t i = 0;
  frameprobe::ForEachCounter([&](const char* name, std::uint64_t Counters::*member) {
    const std::size_t offset =
        static_cast<std::size_t>(reinterpret_cast<const char*>(&(counters.*member)) -
                                 reinterpret_cast<const char*>(&counters));
    ASSERT_LT(i, released.size()) << name << ": a counter more than were released";
    EXPECT_STREQ(name, released[i].name) << "counter " << i;
    EXPECT_EQ(offset, released[i].offset) << name;
    ++i;
  });
  EXPECT_EQ(i, released.size());
  EXPECT_EQ(sizeof(Counters), 160u);
}

TEST(CounterList, TheDriversCountsAndTheCountersHaveTheSameNames) {
  std::vector<std::string> driver;
  const DriverCounts none;
  ForEachCountInfo(none, none,
                   [&driver](const CountInfo& info, auto, auto) { driver.push_back(info.name); });
  std::vector<std::string> library;
  frameprobe::ForEachCounter(
      [&library](const char* name, std::uint64_t Counters::*) { library.push_back(name); });
  EXPECT_EQ(driver, library);
}

TEST(CounterList, EachCountIsNamedWithItsUnitAndHasWords) {
  const DriverCounts none;
  std::set<std::string> names;
  ForEachCountInfo(none, none, [&names](const CountInfo& info, auto, auto) {
    const std::string name = info.name;
    const std::string unit = info.unit;
    EXPECT_TRUE(names.insert(name).second) << name << " twice";
    // A JSON key, a part of a metric's name and a Python attribute as it is.
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string::npos) << name;
    EXPECT_TRUE(name == unit || name.ends_with("_" + unit)) << name << " without its unit";
    EXPECT_STRNE(info.label, "") << name;
    EXPECT_STRNE(info.help, "") << name;
  });
}

// The places of one list of counts: at most one lead, and a part only after what it is part of.
std::string PlaceFaults(const std::vector<CountInfo>& list) {
  std::string faults;
  int leads = 0;
  bool shown_before = false;
  for (const CountInfo& info : list) {
    if (info.place == CountPlace::kLead) ++leads;
    if (info.place == CountPlace::kPart && !shown_before) {
      faults += std::string(info.name) + " is a part of nothing; ";
    }
    shown_before = shown_before || info.place == CountPlace::kItem ||
                   info.place == CountPlace::kTail || info.place == CountPlace::kPart;
  }
  if (leads > 1) faults += std::to_string(leads) + " leads";
  return faults;
}

template <typename Counts>
std::vector<CountInfo> Infos() {
  const Counts none{};
  std::vector<CountInfo> infos;
  ForEachCountInfo(none, none,
                   [&infos](const CountInfo& info, auto, auto) { infos.push_back(info); });
  return infos;
}

TEST(CounterList, EachListHasAtMostOneLeadAndPartsAfterTheirWholes) {
  struct Case {
    const char* list;
    std::vector<CountInfo> infos;
    std::string faults;
  };
  const std::vector<Case> cases = {{"socket", Infos<NudpCounts>(), ""},
                                   {"driver", Infos<CameraCounts>(), ""},
                                   {"a part first",
                                    {{"a_packets", "packets", CountPlace::kApart, "a", "a"},
                                     {"b_packets", "packets", CountPlace::kPart, "b", "b"}},
                                    "b_packets is a part of nothing; "},
                                   {"two leads",
                                    {{"a_packets", "packets", CountPlace::kLead, "a", "a"},
                                     {"b_packets", "packets", CountPlace::kLead, "b", "b"}},
                                    "2 leads"}};
  for (const Case& c : cases) EXPECT_EQ(PlaceFaults(c.infos), c.faults) << c.list;
}

}  // namespace
}  // namespace fp
