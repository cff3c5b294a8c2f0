#include "message_queue.h"

#include <gtest/gtest.h>

namespace vexmor::plugin {
namespace {

TEST(NewMessageQueue, HundredAndMoreWaitingPairsKeepTheirOrderAndNoneIsLost) {
  NewMessageQueue queue;
  for (int32_t i = 1; i <= 250; ++i) queue.Push({i, 4});
  EXPECT_FALSE(queue.Empty());
  EXPECT_EQ(queue.Size(), 250u);
  for (int32_t i = 1; i <= 250; ++i) {
    auto entry = queue.Pop();
    ASSERT_TRUE(entry.has_value()) << i;
    EXPECT_EQ(*entry, (QueuedMessage{i, 4}));
  }
  EXPECT_TRUE(queue.Empty());
  EXPECT_FALSE(queue.Pop().has_value());
}

TEST(NewMessageQueue, ExactlyOneHundredPairsDoNotLookEmpty) {
  NewMessageQueue queue;
  for (int32_t i = 0; i < 100; ++i) queue.Push({i, 7});
  EXPECT_FALSE(queue.Empty());
  EXPECT_EQ(queue.Capacity(), 100u);
  queue.Push({100, 7});
  EXPECT_GT(queue.Capacity(), 100u);
  EXPECT_EQ(queue.Pop()->message, 0);
}

TEST(NewMessageQueue, GrowingWhileWrappedKeepsArrivalOrder) {
  NewMessageQueue queue;
  int32_t next_in = 0, next_out = 0;
  // Wrap the read position round the ring, then overfill it.
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 70; ++i) queue.Push({next_in++, 1});
    for (int i = 0; i < 60; ++i) ASSERT_EQ(queue.Pop()->message, next_out++);
  }
  for (int i = 0; i < 300; ++i) queue.Push({next_in++, 1});
  while (auto entry = queue.Pop()) ASSERT_EQ(entry->message, next_out++);
  EXPECT_EQ(next_out, next_in);
}

TEST(NewMessageQueue, ClearEmptiesTheQueue) {
  NewMessageQueue queue;
  for (int32_t i = 0; i < 150; ++i) queue.Push({i, 4});
  queue.Clear();
  EXPECT_TRUE(queue.Empty());
  queue.Push({9, 4});
  EXPECT_EQ(queue.Pop()->message, 9);
}

}  // namespace
}  // namespace vexmor::plugin
