#include <gtest/gtest.h>

#include "core/driver.h"
#include "fake_platform.h"

using namespace wexlink;
using namespace wexlink::testing;

TEST(Smoke, SnapshotRunOfOneModule) {
  FakePlatform fake;
  Driver driver(fake.platform());
  ASSERT_EQ(driver.Initial(1, 5, 9600), 1);
  ASSERT_EQ(driver.StartSnapshot(200, 0, 8, -1000), 3202);
  EXPECT_EQ(fake.serial.lastDeviceName, "COM1:");
  EXPECT_EQ(fake.serial.lastDefinition, "9600,N,8,1");
  fake.timer.Fire();
  fake.serial.Deliver(MakeReply(32400));
  fake.timer.Fire();
  std::vector<uint16_t> record(83);
  ASSERT_EQ(driver.GetSnapshot(record.data(), 10), 1);
  EXPECT_EQ(record[73], 32400);
  EXPECT_EQ(record[80], 32407);
}
