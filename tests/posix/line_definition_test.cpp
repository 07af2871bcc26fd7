#include "platform/posix/line_definition.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace wexlink::posix {

std::ostream& operator<<(std::ostream& os, const LineSettings& s) {
  static const char* const kParity[] = {"N", "O", "E", "M", "S"};
  static const char* const kStop[] = {"1", "1.5", "2"};
  return os << s.baudRate << ',' << kParity[static_cast<int>(s.parity)] << ','
            << static_cast<int>(s.dataBits) << ',' << kStop[static_cast<int>(s.stopBits)];
}

namespace {

struct GoodCase {
  const char* definition;
  LineSettings expected;
};

void PrintTo(const GoodCase& c, std::ostream* os) { *os << '"' << c.definition << '"'; }

class AcceptedDefinition : public ::testing::TestWithParam<GoodCase> {};

TEST_P(AcceptedDefinition, GivesTheSettings) {
  const auto parsed = ParseLineDefinition(GetParam().definition);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, GetParam().expected);
}

constexpr auto N = Parity::None;
constexpr auto O = Parity::Odd;
constexpr auto E = Parity::Even;
constexpr auto M = Parity::Mark;
constexpr auto S = Parity::Space;
constexpr auto One = StopBits::One;
constexpr auto OneHalf = StopBits::OnePointFive;
constexpr auto Two = StopBits::Two;

INSTANTIATE_TEST_SUITE_P(
    CommaForm, AcceptedDefinition,
    ::testing::Values(
        // What the start of a run builds.
        GoodCase{"9600,N,8,1", {9600, N, 8, One}}, GoodCase{"115200,N,8,1", {115200, N, 8, One}},
        GoodCase{"10,N,8,1", {10, N, 8, One}}, GoodCase{"250000,N,8,1", {250000, N, 8, One}},
        GoodCase{"4000000000,O,7,1.5", {4000000000u, O, 7, OneHalf}},
        // The two-digit abbreviations of the old mode command.
        GoodCase{"11,n,8,1", {110, N, 8, One}}, GoodCase{"30 ,E, 5,1.5", {300, E, 5, OneHalf}},
        GoodCase{"60, m, 6, 2 ", {600, M, 6, Two}}, GoodCase{"12 , o , 7 , 1", {1200, O, 7, One}},
        GoodCase{"24,s,8,1.5", {2400, S, 8, OneHalf}}, GoodCase{"48,n,8,1,p", {4800, N, 8, One}},
        GoodCase{"96,N,8,1 , x ", {9600, N, 8, One}},
        GoodCase{"19, e, 7, 1, X", {19200, E, 7, One}},
        // Missing trailing fields take the link's defaults.
        GoodCase{"9600", {9600, N, 8, One}}, GoodCase{"4800,E", {4800, E, 8, One}},
        GoodCase{"4800,E,7", {4800, E, 7, One}}, GoodCase{"110,N,8", {110, N, 8, Two}},
        GoodCase{"110,N,8,1", {110, N, 8, One}},
        // A device name in front.
        GoodCase{"COM1:9600,N,8,1", {9600, N, 8, One}},
        GoodCase{"com12:  11,E,7,2", {110, E, 7, Two}},
        GoodCase{"COM3  :19,M,5,1", {19200, M, 5, One}}));

INSTANTIATE_TEST_SUITE_P(
    KeywordForm, AcceptedDefinition,
    ::testing::Values(
        GoodCase{"baud=9600 parity=N data=8 stop=1", {9600, N, 8, One}},
        GoodCase{"stop=2 data=7 parity=e baud=19200", {19200, E, 7, Two}},
        GoodCase{"BAUD=4000000000 parity=n data=7 stop=2 to=off", {4000000000u, N, 7, Two}},
        GoodCase{"Baud=115200 Parity=O Data=8 To=On", {115200, O, 8, One}},
        GoodCase{"PaRiTy=s           Data=7          DTR=on", {9600, S, 7, One}},
        GoodCase{"baud=9600 parity=e data=5 stop=1 xon=on odsr=off octs=off dtr=hs rts=tg idsr=on",
                 {9600, E, 5, One}},
        GoodCase{"baud=110", {110, N, 8, Two}},
        // No abbreviations here: the key names the rate.
        GoodCase{"baud=96", {96, N, 8, One}},
        GoodCase{"COM1: baud=12345 data=7", {12345, N, 7, One}},
        GoodCase{"COM2 :stop=1.5", {9600, N, 8, OneHalf}}, GoodCase{"", {9600, N, 8, One}},
        GoodCase{"baud=9600   ", {9600, N, 8, One}}));

class RejectedDefinition : public ::testing::TestWithParam<const char*> {};

TEST_P(RejectedDefinition, GivesNothing) {
  EXPECT_FALSE(ParseLineDefinition(GetParam()).has_value()) << '"' << GetParam() << '"';
}

INSTANTIATE_TEST_SUITE_P(BadForms, RejectedDefinition,
                         ::testing::Values(
                             // Comma form.
                             "96,NO,8,1", "96,N,4,1", "96,N,9,1", "96,N,8,0", "96,N,8,3",
                             "96,N,8,1,K", "96,N,8,1 to=on", "9600,,8,1", "9600,N,8,", "9600,",
                             ",N,8,1", "-9600,N,8,1", "9600,N,8,1.501", "9600,N,8,1,x,",
                             "9600 N,8,1", "4294967296,N,8,1", "9600 N", "9600 data=8", "9600x",
                             "96,Q,8,1", "9600;N;8;1", "9600,N,8,1\n",
                             // Keyword form.
                             "data=4", "data=9", "parity=no", "stop=0", "stop=3", "stop=1.501",
                             "to=foobar", " baud=9600", "baud= 9600", "baud =9600",
                             "baud=9600,data=8", "baud=9600data=8", "speed=9600",
                             "baud=", "baud=abc", "dtr=tg", "xon=hs", "baud=99999999999",
                             // Device names.
                             "COM0:baud=115200", "COM0:9600,N,8,1", "COM:9600,N,8,1",
                             "COMx:9600,N,8,1", "COM1;9600,N,8,1"));

}  // namespace
}  // namespace wexlink::posix
