// The bus queue: bounded, and fair across connections.
#include <gtest/gtest.h>

#include <thread>

#include "bus_queue.h"

namespace qelgate {
namespace {

using std::chrono::milliseconds;

Job From(uint64_t connection, uint16_t tag) {
  Job j;
  j.connection = connection;
  j.request.address = tag;
  return j;
}

TEST(BusQueue, ServesConnectionsInTurnAndEachInOrder) {
  BusQueue q(64);
  for (uint16_t i = 0; i < 3; ++i) ASSERT_TRUE(q.Push(From(1, i)));
  ASSERT_TRUE(q.Push(From(2, 10)));
  ASSERT_TRUE(q.Push(From(3, 20)));
  std::vector<uint16_t> order;
  while (auto j = q.Pop(milliseconds(0))) order.push_back(j->request.address);
  EXPECT_EQ(order, (std::vector<uint16_t>{0, 10, 20, 1, 2}));
}

TEST(BusQueue, RefusesBeyondItsBoundAndForgetsALeavingClient) {
  BusQueue q(2);
  EXPECT_TRUE(q.Push(From(1, 0)));
  EXPECT_TRUE(q.Push(From(1, 1)));
  EXPECT_FALSE(q.Push(From(2, 0)));
  q.Forget(1);
  EXPECT_EQ(q.size(), 0u);
  EXPECT_TRUE(q.Push(From(2, 0)));
}

TEST(BusQueue, CloseWakesAWaitingBusThread) {
  BusQueue q(4);
  std::thread closer([&] {
    std::this_thread::sleep_for(milliseconds(20));
    q.Close();
  });
  EXPECT_FALSE(q.Pop(milliseconds(5000)).has_value());
  closer.join();
  EXPECT_TRUE(q.closed());
  EXPECT_FALSE(q.Push(From(1, 0)));
}

}  // namespace
}  // namespace qelgate
