// The plant protocols' values and names: temperatures in each unit as text
// and as the signed tenths of the Modbus map, the broker URL, and the
// discovery configs' names, unit and device.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "plant_units.h"
#ifdef WEXREAD_WITH_MQTT
#include <nlohmann/json.hpp>

#include "mqtt_publisher.h"
#endif

namespace wexread {
namespace {

std::string Text(std::uint16_t raw, TemperatureUnit unit) {
  std::string out;
  AppendTemperature(out, raw, unit);
  return out;
}

TEST(PlantUnits, ExactTextAndRoundedTenthsInEachUnit) {
  using U = TemperatureUnit;
  // raw = 32000 + 16 x degrees Celsius; the range is -55 to 125 degrees.
  EXPECT_EQ(Text(32320, U::C), "20.0");
  EXPECT_EQ(Text(31999, U::C), "-0.0625");
  EXPECT_EQ(Text(31120, U::F), "-67.0");
  EXPECT_EQ(Text(32001, U::F), "32.1125");
  EXPECT_EQ(Text(31999, U::F), "31.8875");
  EXPECT_EQ(Text(34000, U::K), "398.15");
  EXPECT_EQ(Text(31120, U::K), "218.15");
  EXPECT_EQ(Text(31999, U::K), "273.0875");

  EXPECT_EQ(TemperatureTenths(32324, U::C), 203);  // 20.25: half away from zero
  EXPECT_EQ(TemperatureTenths(31996, U::C), -3);   // -0.25
  EXPECT_EQ(TemperatureTenths(31999, U::C), -1);   // -0.0625
  EXPECT_EQ(TemperatureTenths(31120, U::C), -550);
  EXPECT_EQ(TemperatureTenths(34000, U::F), 2570);  // 257.0
  EXPECT_EQ(TemperatureTenths(31120, U::F), -670);
  EXPECT_EQ(TemperatureTenths(34000, U::K), 3982);  // 398.15
  EXPECT_EQ(TemperatureTenths(31120, U::K), 2182);  // 218.15
  EXPECT_STREQ(UnitSymbol(U::C), "\u00b0C");
  EXPECT_STREQ(UnitSymbol(U::K), "K");
}

#ifdef WEXREAD_WITH_MQTT
TEST(PlantMqtt, BrokerUrls) {
  MqttSettings s;
  EXPECT_FALSE(ParseMqttUrl("mqtt://ann:se:cret@broker.example:1884", s));
  EXPECT_EQ(s.host, "broker.example");
  EXPECT_EQ(s.port, 1884);
  EXPECT_EQ(s.user, "ann");
  EXPECT_EQ(s.password, "se:cret");
  EXPECT_FALSE(s.tls);

  MqttSettings t;
  EXPECT_FALSE(ParseMqttUrl("mqtts://[::1]", t));
  EXPECT_EQ(t.host, "::1");
  EXPECT_EQ(t.port, 8883);
  EXPECT_TRUE(t.tls);
  EXPECT_TRUE(t.user.empty());

  for (const char* bad :
       {"http://host", "mqtt://", "mqtt://host:", "mqtt://host:0", "mqtt://host:65536",
        "mqtt://host:12a", "mqtt://@host", "mqtt://host/topic", "mqtt://[::1"}) {
    MqttSettings u;
    EXPECT_TRUE(ParseMqttUrl(bad, u)) << bad;
  }
}

TEST(PlantMqtt, DiscoveryConfigsTakeNamesUnitAndManufacturer) {
  MqttSettings s;
  s.prefix = "plant";
  s.nodeId = "line 3/west";  // made safe for topics and ids
  s.manufacturer = "Example Works";
  RunLayout layout;
  layout.port = 4;
  layout.modules = {"01:00", "01:0A"};
  const MqttTopics topics(s, layout);
  EXPECT_EQ(topics.availability, "plant/line_3_west/com4/availability");
  std::vector<std::string> names(16);
  names[9] = "Kiln inlet";
  const auto configs = DiscoveryConfigs(s, layout, topics, TemperatureUnit::F, names);
  ASSERT_EQ(configs.size(), 16u);
  EXPECT_EQ(configs[9].first, "homeassistant/sensor/line_3_west/com4_010A_ch1/config");
  const auto named = nlohmann::json::parse(configs[9].second);
  EXPECT_EQ(named["name"], "Kiln inlet");
  EXPECT_EQ(named["unique_id"], "wexlink_line_3_west_com4_010A_ch1");
  EXPECT_EQ(named["state_topic"], "plant/line_3_west/com4/010A/ch1");
  EXPECT_EQ(named["unit_of_measurement"], "\u00b0F");
  EXPECT_EQ(named["device"]["manufacturer"], "Example Works");
  EXPECT_EQ(nlohmann::json::parse(configs[8].second)["name"], "COM4 01:0A ch0");
}

// No broker at all: Publish never waits, the queue keeps its newest rows and
// counts the dropped ones, and the end does not wait for a connection.
TEST(PlantMqtt, WithoutABrokerTheQueueDropsItsOldestRowsAndTheStopIsShort) {
  MqttSettings s;
  s.host = "127.0.0.1";
  s.port = 9;  // discard: nothing listens on it here
  RunLayout layout;
  layout.modules = {"01:00"};
  const std::uint16_t values[8] = {32320, 32322, 32324, 32326, 32328, 32330, 32332, 32334};
  auto publisher =
      std::make_unique<MqttPublisher>(s, layout, TemperatureUnit::C, std::vector<std::string>{});
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t k = 0; k < MqttPublisher::kMaxQueuedRows + 3; ++k)
    publisher->Publish(static_cast<std::int64_t>(k), values);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  const auto counters = publisher->counters();
  EXPECT_EQ(counters.rowsDropped, 3u);
  EXPECT_EQ(counters.rowsPublished, 0u);
  EXPECT_FALSE(counters.connected);
  const auto stopping = std::chrono::steady_clock::now();
  publisher.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(1));
}
#endif

}  // namespace
}  // namespace wexread
