#include "connection_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace vexmor::sigd {
namespace {

class Recorded final : public TrackedConnection {
 public:
  void Shed() override { asked = true; }  // closes later, as a real one does on its own loop
  bool asked = false;
};

// Connections come in faster than those given up close: the table still holds the ones asked
// to close. Room is made only for what stays, so the newest idle connections keep being served.
TEST(ConnectionTableTest, ABurstShedsOnlyWhatExceedsTheCapacityOldestIdleFirst) {
  constexpr std::size_t kCapacity = 4;
  ConnectionTable table;
  std::vector<std::shared_ptr<Recorded>> connections;
  for (int i = 0; i < 10; ++i) {
    table.MakeRoomForOneMore(kCapacity);
    auto connection = std::make_shared<Recorded>();
    table.Add(connection);
    connection->MarkIdle();
    connections.push_back(connection);
  }
  std::size_t asked = 0;
  for (const auto& c : connections) asked += c->asked;
  EXPECT_EQ(asked, 10 - kCapacity);
  for (std::size_t i = 0; i < connections.size(); ++i) {
    EXPECT_EQ(connections[i]->asked, i < 10 - kCapacity) << i;
  }
  // A busy connection is never asked; with room to spare nobody is.
  connections.back()->MarkBusy();
  EXPECT_EQ(table.MakeRoomForOneMore(kCapacity), 1u);
  EXPECT_FALSE(connections.back()->asked);
  EXPECT_EQ(table.MakeRoomForOneMore(100), 0u);
}

}  // namespace
}  // namespace vexmor::sigd
