#include "options.h"

#include <gtest/gtest.h>

#include <vector>

namespace wexmon {
namespace {

ParsedOptions Parse(std::vector<std::string_view> args) { return ParseOptions(args); }

TEST(Options, NoArgumentsMeanAnInteractiveRun) {
  const ParsedOptions p = Parse({});
  EXPECT_TRUE(p.error.empty());
  EXPECT_FALSE(p.options.autostart);
  EXPECT_FALSE(p.options.afterSeconds.has_value());
  EXPECT_EQ(p.options.port, 1);
}

TEST(Options, PortChoosesTheComPort) {
  EXPECT_EQ(Parse({"--port", "12"}).options.port, 12);
  EXPECT_EQ(Parse({"--port=256", "--autostart"}).options.port, 256);
  for (const char* bad : {"0", "257", "two", "-3"}) {
    EXPECT_FALSE(Parse({"--port", bad}).error.empty()) << bad;
  }
}

TEST(Options, DemoOptionsAreUnderstood) {
  const ParsedOptions p =
      Parse({"--autostart", "--after", "5", "--screenshot", "/tmp/s.png", "--dump-labels"});
  ASSERT_TRUE(p.error.empty()) << p.error;
  EXPECT_TRUE(p.options.autostart);
  EXPECT_TRUE(p.options.dumpLabels);
  EXPECT_EQ(p.options.afterSeconds, 5.0);
  EXPECT_EQ(p.options.screenshotPath, "/tmp/s.png");
  EXPECT_EQ(Parse({"--after", "2.5"}).options.afterSeconds, 2.5);
}

TEST(Options, BadArgumentsAreRefused) {
  for (const auto& args : std::vector<std::vector<std::string_view>>{{"--after"},
                                                                     {"--after", "soon"},
                                                                     {"--after", "-1"},
                                                                     {"--after", "5s"},
                                                                     {"--after", "nan"},
                                                                     {"--screenshot", "x.png"},
                                                                     {"--screenshot", ""},
                                                                     {"--bogus"}}) {
    EXPECT_FALSE(Parse(args).error.empty()) << args.front();
  }
}

}  // namespace
}  // namespace wexmon
