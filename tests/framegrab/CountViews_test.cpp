// The driver's counts in framegrab's views: each count has a value of its own (1, 2, ... in the
// list's order), so that a count shown in the wrong place, under another's name, or not at all
// shows in the summary's lines, the JSON and the metrics.

#include "framegrab/model/RunModel.h"
#include "framegrab/views/FigureText.h"
#include "framegrab/views/JsonView.h"
#include "framegrab/views/MetricsView.h"
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace fp {
namespace {

// Counts of their own, 1 to 20 since open and 101 to 120 over the images' transfers.
RunModel CountedModel() {
  RunFacts facts;
  facts.camera = "127.0.0.1:1234";
  facts.opened = true;
  facts.ended_by = RunEnd::kImages;
  facts.requested_images = 1;
  std::uint64_t next = 0;
  ForEachCount(facts.driver, facts.driver,
               [&next](const char*, std::uint64_t& value, std::uint64_t&) { value = ++next; });
  ImageRecord image;
  image.number = 1;
  image.complete = true;
  image.stream_packets = RAW_PACKETS_PER_IMAGE;
  next = 100;
  ForEachCount(image.transfer, image.transfer,
               [&next](const char*, std::uint64_t& value, std::uint64_t&) { value = ++next; });
  RunTotals totals;
  totals.Add(image);
  return BuildModel(
      facts, RecordList({}, std::make_shared<const RecordList::Chunk>(RecordList::Chunk{image})),
      totals);
}

ShownCount Shown(CountPlace place, const char* label, std::uint64_t value) {
  return {CountInfo{label, "packets", place, label, label}, value};
}

TEST(CountViews, EachCountInItsPlaceOfTheLine) {
  using enum CountPlace;
  struct Case {
    const char* name;
    std::vector<ShownCount> counts;
    std::string text;
    std::uint64_t main;
  };
  const std::vector<Case> cases = {
      {"a lead, items with parts, and tails after the items",
       {Shown(kLead, "in all", 1), Shown(kTail, "late", 2), Shown(kItem, "good", 3),
        Shown(kPart, "kept", 4), Shown(kPart, "dropped", 5), Shown(kItem, "other", 6)},
       "1 in all: 3 good (4 kept, 5 dropped), 6 other, 2 late",
       1},
      {"no lead: the first item is the line's number",
       {Shown(kItem, "sent", 7), Shown(kPart, "repeats", 8), Shown(kApart, "elsewhere", 9),
        Shown(kItem, "drains", 10)},
       "7 sent (8 repeats), 10 drains",
       7},
      {"a part with nothing before it stands on its own",
       {Shown(kApart, "elsewhere", 1), Shown(kPart, "odd", 2), Shown(kItem, "next", 3)},
       "2 odd, 3 next",
       2},
      {"a tail keeps its parts",
       {Shown(kTail, "late", 1), Shown(kPart, "later", 2), Shown(kItem, "first", 3)},
       "3 first, 1 late (2 later)",
       3},
      {"nothing shown", {Shown(kApart, "elsewhere", 4)}, "", 0},
  };
  for (const Case& c : cases) {
    const CountsWords words = CountsText(c.counts);
    EXPECT_EQ(words.text, c.text) << c.name;
    EXPECT_EQ(words.main, c.main) << c.name;
  }
}

TEST(CountViews, SummaryLinesOfTheCountsSinceOpen) {
  struct Case {
    const char* id;
    const char* name;
    double value;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"fetched", "fetched again", 118, "118 packets; recovery median 0.0 ms, max 0.0 ms"},
      {"duplicates", "duplicates", 106, "106 packets"},
      {"conflicts", "conflicting copies", 107, "107 packets came again with other data"},
      {"received", "received since open", 1,
       "1 datagrams: 4 RAW packets (5 stored, 6 duplicates, 7 with other data, 8 refused), 9 "
       "answers matched, 10 stray answers, 11 restarts, 2 from other senders, 3 damaged"},
      {"commands", "commands since open", 12,
       "12 sent (13 repeats, 14 timed out), 15 status requests, 16 retransmission requests (17 "
       "answered), 19 drains, 20 lost contacts"},
  };
  const std::vector<FigureLine> lines = FigureLines(CountedModel());
  for (const Case& c : cases) {
    const FigureLine* found = nullptr;
    for (const FigureLine& line : lines) {
      if (std::string(line.id) == c.id) found = &line;
    }
    ASSERT_NE(found, nullptr) << c.id;
    EXPECT_STREQ(found->name, c.name) << c.id;
    EXPECT_EQ(found->value, c.value) << c.id;
    EXPECT_EQ(found->text, c.text) << c.id;
  }
}

TEST(CountViews, JsonNamesEachCountOnceInTheListsOrder) {
  const std::vector<std::string> names = {"received_packets",
                                          "foreign_packets",
                                          "damaged_packets",
                                          "raw_packets",
                                          "stored_packets",
                                          "duplicate_packets",
                                          "conflicting_packets",
                                          "refused_packets",
                                          "matched_answers",
                                          "stray_answers",
                                          "restarts",
                                          "sent_commands",
                                          "repeated_commands",
                                          "timed_out_commands",
                                          "status_requests",
                                          "retransmission_requests",
                                          "answered_retransmissions",
                                          "fetched_again_packets",
                                          "drains",
                                          "lost_contacts"};
  const nlohmann::ordered_json run = nlohmann::ordered_json::parse(RunToJson(CountedModel()));
  struct Case {
    const char* where;
    const nlohmann::ordered_json& driver;
    std::uint64_t first;
  };
  const std::vector<Case> cases = {{"the run's", run["summary"]["driver"], 1},
                                   {"image 1's", run["images"][0]["driver"], 101}};
  for (const Case& c : cases) {
    std::vector<std::string> keys;
    std::uint64_t expected = c.first;
    for (const auto& [key, value] : c.driver.items()) {
      keys.push_back(key);
      EXPECT_EQ(value.get<std::uint64_t>(), expected++) << c.where << " " << key;
    }
    EXPECT_EQ(keys, names) << c.where;
  }
  const nlohmann::ordered_json line =
      nlohmann::ordered_json::parse(ImageLine(*CountedModel().Latest(), "10.0.0.2"));
  EXPECT_EQ(line["driver"], run["images"][0]["driver"]);
}

TEST(CountViews, MetricsAreACounterForEachCountWithItsWordsAsHelp) {
  struct Case {
    const char* name;
    const char* words;
  };
  const std::vector<Case> cases = {{"received_packets", "received packets"},
                                   {"foreign_packets", "foreign packets"},
                                   {"damaged_packets", "damaged packets"},
                                   {"raw_packets", "raw packets"},
                                   {"stored_packets", "stored packets"},
                                   {"duplicate_packets", "duplicate packets"},
                                   {"conflicting_packets", "conflicting packets"},
                                   {"refused_packets", "refused packets"},
                                   {"matched_answers", "matched answers"},
                                   {"stray_answers", "stray answers"},
                                   {"restarts", "restarts"},
                                   {"sent_commands", "sent commands"},
                                   {"repeated_commands", "repeated commands"},
                                   {"timed_out_commands", "timed out commands"},
                                   {"status_requests", "status requests"},
                                   {"retransmission_requests", "retransmission requests"},
                                   {"answered_retransmissions", "answered retransmissions"},
                                   {"fetched_again_packets", "fetched again packets"},
                                   {"drains", "drains"},
                                   {"lost_contacts", "lost contacts"}};
  std::string expected;
  int value = 0;
  for (const Case& c : cases) {
    const std::string family = std::string("framegrab_driver_") + c.name + "_total";
    expected += "# HELP " + family +
                " The camera driver's count since the camera was opened: " + c.words + ".\n";
    expected += "# TYPE " + family + " counter\n";
    expected += family + "{camera=\"127.0.0.1:1234\"} " + std::to_string(++value) + "\n";
  }
  const std::string metrics = RunToMetrics(CountedModel());
  EXPECT_NE(metrics.find(expected), std::string::npos) << metrics;
}

}  // namespace
}  // namespace fp
