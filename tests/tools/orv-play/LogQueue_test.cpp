#include "LogQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using orvplay::LogQueue;

// Producers race for the slots while the consumer drains: every message
// arrives once, in each producer's order, or is counted as dropped.
TEST(LogQueue, DeliversEveryMessageOnceInEachProducersOrderOrCountsIt) {
  constexpr int kProducers = 3;
  constexpr int kMessages = 20000;  // each; far more than the ring holds
  LogQueue queue;
  std::atomic<int> running{kProducers};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kMessages; ++i)
        LogQueue::Callback((std::to_string(p) + " " + std::to_string(i)).c_str(), &queue);
      running.fetch_sub(1);
    });
  std::vector<std::string> received;
  while (running.load() > 0) queue.DrainInto(received);
  for (std::thread& t : producers) t.join();
  queue.DrainInto(received);

  EXPECT_EQ(received.size() + queue.Dropped(), std::size_t{kProducers} * kMessages);
  std::vector<int> last(kProducers, -1);
  for (const std::string& m : received) {
    const int p = std::stoi(m), i = std::stoi(m.substr(m.find(' ') + 1));
    ASSERT_GT(i, last[p]) << "out of order or twice: " << m;
    last[p] = i;
  }
}

TEST(LogQueue, CutsLongMessagesAndCountsThoseThatFindItFull) {
  LogQueue queue;
  const std::string longText(3 * LogQueue::kTextLength, 'x');
  for (std::size_t i = 0; i < LogQueue::kSlots + 5; ++i) queue.Push(longText.c_str());
  std::vector<std::string> received;
  queue.DrainInto(received);
  ASSERT_EQ(received.size(), LogQueue::kSlots);
  EXPECT_EQ(received.front(), longText.substr(0, LogQueue::kTextLength - 1));
  EXPECT_EQ(queue.Dropped(), 5u);
  // Drained slots are free again.
  EXPECT_TRUE(queue.Push("again"));
}

}  // namespace
