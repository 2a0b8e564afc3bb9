// The update queue's bookkeeping: which segments a block is cut into, the
// order equal time stamps are applied in, and how unreached updates move on.
#include "channel/OrvChannelRenderer_Updates.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using orv::ChannelUpdate;
using orv::ChannelUpdateMap;

// An update told apart by its gain.
ChannelUpdate Tagged(float tag) {
  ChannelUpdate u;
  u.param.gain = tag;
  return u;
}

// What a block walk did, in order: ("render", offset, count) or ("apply", tag).
struct Event {
  bool isApply;
  int offset;
  int count;
  float tag;
  bool operator==(const Event&) const = default;
};
Event Apply(float tag) { return {true, 0, 0, tag}; }
Event Segment(int offset, int count) { return {false, offset, count, 0.0f}; }

std::vector<Event> Walk(const ChannelUpdateMap& updates, int numFrames) {
  std::vector<Event> events;
  orv::RenderBlockSegments(
      updates, numFrames, [&](const ChannelUpdate& u) { events.push_back(Apply(u.param.gain)); },
      [&](int offset, int count) { events.push_back(Segment(offset, count)); });
  return events;
}

void PrintTo(const Event& e, std::ostream* os) {
  if (e.isApply) {
    *os << "apply " << e.tag;
  } else {
    *os << "render " << e.offset << "+" << e.count;
  }
}

TEST(UpdateQueue, BlockIsCutAtEachTimeStamp) {
  ChannelUpdateMap updates;
  updates.emplace(0, Tagged(1));
  updates.emplace(100, Tagged(2));
  updates.emplace(101, Tagged(3));
  updates.emplace(511, Tagged(4));
  updates.emplace(512, Tagged(5));  // next block: not applied
  const std::vector<Event> expected = {Apply(1), Segment(0, 100),   Apply(2), Segment(100, 1),
                                       Apply(3), Segment(101, 410), Apply(4), Segment(511, 1)};
  EXPECT_EQ(Walk(updates, 512), expected);
}

TEST(UpdateQueue, WithoutUpdatesTheBlockIsOneSegment) {
  const std::vector<Event> expected = {Segment(0, 37)};
  EXPECT_EQ(Walk(ChannelUpdateMap{}, 37), expected);
}

TEST(UpdateQueue, EqualTimeStampsApplyInQueueingOrder) {
  ChannelUpdateMap updates;
  for (float tag : {5.0f, 3.0f, 9.0f, 1.0f}) updates.emplace(64, Tagged(tag));
  updates.emplace(10, Tagged(7));
  const std::vector<Event> expected = {Segment(0, 10), Apply(7), Segment(10, 54), Apply(5),
                                       Apply(3),       Apply(9), Apply(1),        Segment(64, 64)};
  EXPECT_EQ(Walk(updates, 128), expected);
}

TEST(UpdateQueue, UpdateBeyondTheBlockLandsInTheNextOne) {
  ChannelUpdateMap pending, current;
  pending.emplace(1000, Tagged(1));
  // Block 1 of 512: nothing is applied.
  std::swap(pending, current);
  EXPECT_EQ(Walk(current, 512), (std::vector<Event>{Segment(0, 512)}));
  orv::CarryOverUpdates(current, pending, 512);
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending.begin()->first, 488);
  // Block 2: applied 488 samples in.
  current.clear();
  std::swap(pending, current);
  EXPECT_EQ(Walk(current, 512), (std::vector<Event>{Segment(0, 488), Apply(1), Segment(488, 24)}));
  orv::CarryOverUpdates(current, pending, 512);
  EXPECT_TRUE(pending.empty());
}

TEST(UpdateQueue, CarriedOverEntriesGoBehindNewOnesOfTheSameKey) {
  ChannelUpdateMap current, pending;
  current.emplace(100, Tagged(1));  // applied in this block
  current.emplace(600, Tagged(2));  // carried to 88
  current.emplace(600, Tagged(3));  // carried to 88, after 2
  current.emplace(700, Tagged(4));  // carried to 188
  // Queued by the host during the block, keyed from the next block.
  pending.emplace(88, Tagged(10));
  pending.emplace(20, Tagged(11));
  orv::CarryOverUpdates(current, pending, 512);

  std::vector<std::pair<std::int64_t, float>> order;
  for (const auto& [key, u] : pending) order.emplace_back(key, u.param.gain);
  const std::vector<std::pair<std::int64_t, float>> expected = {
      {20, 11.0f}, {88, 10.0f}, {88, 2.0f}, {88, 3.0f}, {188, 4.0f}};
  EXPECT_EQ(order, expected);
  // The applied entry stays behind; the next block start drops it.
  ASSERT_EQ(current.size(), 1u);
  EXPECT_EQ(current.begin()->first, 100);
}

TEST(UpdateQueue, EmptyBlockCarriesEverything) {
  ChannelUpdateMap current, pending;
  current.emplace(0, Tagged(1));
  current.emplace(5, Tagged(2));
  pending.emplace(0, Tagged(3));
  orv::CarryOverUpdates(current, pending, 0);
  std::vector<float> tags;
  for (const auto& entry : pending) tags.push_back(entry.second.param.gain);
  EXPECT_EQ(tags, (std::vector<float>{3.0f, 1.0f, 2.0f}));
  EXPECT_TRUE(current.empty());
}

// Cutting must not change where updates land: walking a long stream of blocks
// of uneven lengths puts every update at its absolute time, against a direct
// reference that just sorts the time stamps.
TEST(UpdateQueue, UpdatesLandAtTheirAbsoluteTimeAcrossUnevenBlocks) {
  const std::vector<int> blockLengths = {512, 1, 37, 480, 256, 3, 1000, 64, 512};
  // (absolute time, tag), queued before the first block.
  std::vector<std::pair<std::int64_t, float>> queued;
  for (int k = 0; k < 60; ++k) queued.emplace_back((k * 397) % 2800, static_cast<float>(k));

  ChannelUpdateMap pending, current;
  for (const auto& [time, tag] : queued) pending.emplace(time, Tagged(tag));
  std::vector<std::pair<std::int64_t, float>> applied;
  std::int64_t blockStart = 0;
  for (int length : blockLengths) {
    current.clear();
    std::swap(pending, current);
    std::int64_t position = blockStart;
    orv::RenderBlockSegments(
        current, length,
        [&](const ChannelUpdate& u) { applied.emplace_back(position, u.param.gain); },
        [&](int offset, int count) {
          EXPECT_EQ(blockStart + offset, position);
          position += count;
        });
    EXPECT_EQ(position, blockStart + length);
    orv::CarryOverUpdates(current, pending, length);
    blockStart += length;
  }
  auto expected = queued;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  while (!expected.empty() && expected.back().first >= blockStart) expected.pop_back();
  EXPECT_EQ(applied, expected);
}

}  // namespace
