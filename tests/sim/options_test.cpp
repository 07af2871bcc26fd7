#include "options.h"

#include <gtest/gtest.h>

namespace w316sim {
namespace {

ParsedOptions Parse(std::vector<std::string> args) { return ParseOptions(args); }

TEST(Options, Defaults) {
  const auto p = Parse({});
  ASSERT_TRUE(p.ok) << p.error;
  ASSERT_EQ(p.options.addresses.size(), 1u);
  EXPECT_EQ(p.options.addresses[0], (Address{1, 0}));
  EXPECT_EQ(p.options.baud, 9600);
  EXPECT_TRUE(p.options.readStdin);
  EXPECT_FALSE(p.options.log);
  EXPECT_TRUE(p.options.link.empty());
  EXPECT_TRUE(p.options.setup.empty());
}

TEST(Options, ModulesGetConsecutiveAddresses) {
  const auto p = Parse({"--modules", "3"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.addresses, (std::vector<Address>{{1, 0}, {1, 1}, {1, 2}}));
  EXPECT_EQ(Parse({"--modules=32"}).options.addresses.back(), (Address{1, 31}));
}

TEST(Options, ExplicitAddressesInOrder) {
  const auto p = Parse({"--address", "02:07", "--address=0x05:21", "--address", "a:FF"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.addresses, (std::vector<Address>{{0x02, 0x07}, {0x05, 0x21}, {0x0A, 0xFF}}));
}

TEST(Options, LineAndControlOptions) {
  const auto p = Parse({"--baud", "1200", "--link", "/tmp/x", "--iospace=/tmp/io", "--control",
                        "/tmp/f", "--log", "--no-stdin", "--seed", "42"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.baud, 1200);
  EXPECT_EQ(p.options.link, "/tmp/x");
  EXPECT_EQ(p.options.iospace, "/tmp/io");
  EXPECT_EQ(p.options.control, "/tmp/f");
  EXPECT_TRUE(p.options.log);
  EXPECT_FALSE(p.options.readStdin);
  EXPECT_EQ(p.options.seed, 42u);
  EXPECT_TRUE(Parse({"--help"}).options.help);
}

TEST(Options, SettingsBecomeCommandsAppliedInOrder) {
  const auto p =
      Parse({"--modules", "2", "--temp", "all=21.0", "--raw=1.3=34001", "--late", "0=600",
             "--corrupt", "1", "--stray-reply", "2", "--echo", "--split", "1=300=4"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.setup, (std::vector<std::string>{
                                 "temp all 21.0", "raw 1.3 34001", "late 0 600", "corrupt 1 first",
                                 "stray reply 2", "echo on", "split 1 300 4"}));
  Simulator sim(p.options.addresses, p.options.baud, 1);
  ASSERT_EQ(ApplySetup(p.options, sim, 0), "");
  EXPECT_EQ(sim.modules()[0].faults.lateMs, 600);
  EXPECT_EQ(sim.modules()[1].faults.corruption, Corruption::First);
  EXPECT_EQ(sim.modules()[1].faults.splitMs, 300);
  EXPECT_EQ(sim.modules()[1].faults.splitAt, 4);
  EXPECT_TRUE(sim.echo());
  EXPECT_EQ(sim.strayPerReply(), 2);
  std::mt19937_64 rng(1);
  EXPECT_EQ(sim.modules()[1].channels[3].Sample(0, rng), 34001);
  EXPECT_EQ(sim.modules()[1].channels[2].Sample(0, rng), 32336);
}

struct BadOptions {
  const char* name;
  std::vector<std::string> args;
  const char* mentions;  // the error names this
};

class OptionError : public ::testing::TestWithParam<BadOptions> {};

TEST_P(OptionError, IsRefusedWithAMessage) {
  const auto p = Parse(GetParam().args);
  EXPECT_FALSE(p.ok);
  EXPECT_NE(p.error.find(GetParam().mentions), std::string::npos) << p.error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionError,
    ::testing::Values(
        BadOptions{"ModulesZero", {"--modules", "0"}, "--modules"},
        BadOptions{"ModulesTooMany", {"--modules", "33"}, "--modules"},
        BadOptions{"ModulesNotANumber", {"--modules", "two"}, "--modules"},
        BadOptions{"ModulesWithoutValue", {"--modules"}, "needs a value"},
        BadOptions{"EmptyValue", {"--link="}, "needs a value"},
        BadOptions{"AddressOneByte", {"--address", "01"}, "--address"},
        BadOptions{"AddressNotHex", {"--address", "zz:00"}, "--address"},
        BadOptions{"AddressTooLong", {"--address", "100:00"}, "--address"},
        BadOptions{"AddressThreeParts", {"--address", "1:2:3"}, "--address"},
        BadOptions{"AddressTwice", {"--address", "1:2", "--address", "01:02"}, "twice"},
        BadOptions{"ModulesAndAddress", {"--modules", "2", "--address", "1:2"}, "not both"},
        BadOptions{"BaudTooLow", {"--baud", "10"}, "--baud"},
        BadOptions{"UnknownOption", {"--colour"}, "unknown option"},
        BadOptions{"Positional", {"extra"}, "unexpected argument"},
        BadOptions{"SingleDash", {"-l"}, "unexpected argument"},
        BadOptions{"FlagWithValue", {"--log=yes"}, "--log"},
        BadOptions{"LinkWithDevice", {"--device", "/dev/ttyS0", "--link", "/tmp/x"}, "--link"},
        BadOptions{"SeedNegative", {"--seed", "-1"}, "--seed"},
        BadOptions{"ModulesSigned", {"--modules", "+3"}, "--modules"},
        BadOptions{"ModulesLeadingSpace", {"--modules", " 3"}, "--modules"},
        BadOptions{"AddressSigned", {"--address", "-1:2"}, "--address"},
        BadOptions{"AddressLeadingSpace", {"--address", " 1:2"}, "--address"},
        BadOptions{"SettingWithSpace", {"--late", "0= 600"}, "--late"},
        BadOptions{"SettingWithTab", {"--silent", "0\t"}, "--silent"}),
    [](const auto& test) { return std::string(test.param.name); });

struct BadSetting {
  const char* name;
  std::vector<std::string> args;
};

class SettingError : public ::testing::TestWithParam<BadSetting> {};

// Settings parse as options but are checked against the modules; the error
// names the option that was given.
TEST_P(SettingError, NamesTheOption) {
  const auto p = Parse(GetParam().args);
  ASSERT_TRUE(p.ok) << p.error;
  Simulator sim(p.options.addresses, p.options.baud, 1);
  const std::string error = ApplySetup(p.options, sim, 0);
  const std::string& given = GetParam().args[GetParam().args.size() - 2];
  EXPECT_EQ(error.rfind(given, 0), 0u) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingError,
    ::testing::Values(BadSetting{"NoSuchModule", {"--temp", "1.0=20"}},
                      BadSetting{"NoSuchChannel", {"--temp", "0.8=20"}},
                      BadSetting{"RawTooLarge", {"--raw", "0.0=70000"}},
                      BadSetting{"TemperatureNotANumber", {"--temp", "all=warm"}},
                      BadSetting{"RampMissingPart", {"--ramp", "0.0=20:30"}},
                      BadSetting{"SilentNoSuchModule", {"--modules", "2", "--silent", "2"}},
                      BadSetting{"LengthZero", {"--length", "0=0"}},
                      BadSetting{"CorruptWhat", {"--corrupt", "0=middle"}},
                      BadSetting{"StrayTooMany", {"--stray-reply", "99999"}},
                      BadSetting{"LateSigned", {"--late", "0=+600"}},
                      BadSetting{"TemperatureSigned", {"--temp", "0.0=+20"}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace w316sim
