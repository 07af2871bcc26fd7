// The web page's server side without a network: the six-hour ring keeps the
// newest rows in order, and the event fan-out drops a page that falls behind
// while the others get every row.
#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "event_hub.h"
#include "history.h"

namespace {

using namespace std::chrono_literals;
using wexread::EventHub;
using wexread::History;

TEST(History, KeepsTheNewestRowsOfSixHoursInOrder) {
  // One module at a row an hour: room for 6 hours, 7 rows.
  History history(8, std::chrono::milliseconds(1h));
  ASSERT_EQ(history.capacity(), 7u);
  EXPECT_EQ(history.bytes(), 7u * (8 + 16));
  std::array<std::uint16_t, 8> row{};
  for (std::int64_t t = 1; t <= 10; ++t) {
    row.fill(static_cast<std::uint16_t>(32000 + 16 * t));
    row[7] = 34001;  // above 125 degrees: no reading
    history.Add(t, row.data());
  }
  const std::string all = history.JsonSince(0);
  EXPECT_EQ(all.find("{\"t\":3,"), std::string::npos);  // overwritten
  EXPECT_EQ(all.rfind("{\"t\":4,\"up\":[1],\"c\":[4.0,4.0,4.0,4.0,4.0,4.0,4.0,null]}", 1), 1u);
  EXPECT_NE(all.find("},{\"t\":10,"), std::string::npos);
  EXPECT_EQ(history.JsonSince(9).substr(0, 9), "[{\"t\":9,\"");
  EXPECT_EQ(history.JsonSince(11), "[]");

  row.fill(0);  // a module the library has blanked
  history.Add(11, row.data());
  EXPECT_NE(
      history.JsonSince(11).find("\"up\":[0],\"c\":[null,null,null,null,null,null,null,null]"),
      std::string::npos);
}

TEST(EventHub, DropsAPageThatFallsBehindAndServesTheOthers) {
  EventHub hub(2, 3);
  auto slow = hub.Join();
  auto live = hub.Join();
  ASSERT_TRUE(slow && live);
  EXPECT_EQ(hub.Join(), nullptr);  // the most pages allowed

  EventHub::Event event;
  for (int i = 0; i < 4; ++i) {
    hub.Publish("row " + std::to_string(i));
    ASSERT_EQ(hub.Wait(*live, event, 0ms), EventHub::Next::Event);
    EXPECT_EQ(*event, "row " + std::to_string(i));
  }
  // Three rows queued, the fourth did not fit: the slow page is dropped.
  EXPECT_EQ(hub.Wait(*slow, event, 0ms), EventHub::Next::Ended);
  EXPECT_EQ(hub.dropped(), 1u);
  EXPECT_EQ(hub.Wait(*live, event, 10ms), EventHub::Next::Idle);
  hub.Leave(slow);
  EXPECT_EQ(hub.clients(), 1u);

  // Closing wakes a page waiting for its next row.
  std::thread closer([&] {
    std::this_thread::sleep_for(50ms);
    hub.Close();
  });
  EXPECT_EQ(hub.Wait(*live, event, 10s), EventHub::Next::Ended);
  closer.join();
  EXPECT_EQ(hub.Join(), nullptr);
}

}  // namespace
