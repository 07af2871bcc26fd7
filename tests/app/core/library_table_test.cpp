// Binding of the library functions: at the first call through each entry,
// once, with the failure reported by name.
#include "library_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <vector>

#include "fake_wexlink_control.h"
#include "start_failure.h"

namespace wexmon {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

struct Reported : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class ThrowingReporter final : public FatalReporter {
 public:
  [[noreturn]] void Fatal(const std::string& message) override { throw Reported(message); }
};

std::vector<std::string> g_called;
std::int32_t StubInitial(std::uint32_t port, std::int32_t miss, std::int32_t baud, std::int32_t) {
  g_called.push_back("Initial " + std::to_string(port) + " " + std::to_string(miss) + " " +
                     std::to_string(baud));
  return 7;
}
std::int32_t StubStopIntr() {
  g_called.push_back("StopIntr");
  return 1;
}
void StubOutportb(std::uint32_t port, std::uint32_t value) {
  g_called.push_back("outportb " + std::to_string(port) + " " + std::to_string(value));
}
std::int32_t StubGetLastADError() { return 106; }

// Hands out the stubs above by plain name and counts every load and look-up.
class CountingLoader final : public LibraryLoader {
 public:
  std::string PlatformFileName(std::string_view f) const override { return "lib" + std::string(f); }
  std::string PlatformSymbolName(std::string_view n) const override { return PlainExportName(n); }
  void* Load(const std::string& file, std::string& error) override {
    loads.push_back(file);
    if (!loadable) {
      error = "no such file";
      return nullptr;
    }
    return this;
  }
  RawFunction Find(void*, const std::string& name, std::string& error) override {
    finds.push_back(name);
    static const std::map<std::string, RawFunction> stubs = {
        {"Initial", reinterpret_cast<RawFunction>(&StubInitial)},
        {"StopIntr", reinterpret_cast<RawFunction>(&StubStopIntr)},
        {"outportb", reinterpret_cast<RawFunction>(&StubOutportb)},
        {"GetLastADError", reinterpret_cast<RawFunction>(&StubGetLastADError)}};
    auto found = stubs.find(name);
    if (found == stubs.end()) {
      error = "undefined symbol";
      return nullptr;
    }
    return found->second;
  }
  bool loadable = true;
  std::vector<std::string> loads;
  std::vector<std::string> finds;
};

class LibraryTableTest : public ::testing::Test {
 protected:
  void SetUp() override { g_called.clear(); }
  CountingLoader loader;
  ThrowingReporter reporter;
  LibraryTable table{loader, reporter};
};

TEST(PlainExportName, StripsTheStdcallDecoration) {
  EXPECT_EQ(PlainExportName("_Initial@16"), "Initial");
  EXPECT_EQ(PlainExportName("_StopIntr@0"), "StopIntr");
  EXPECT_EQ(PlainExportName("_outportb@8"), "outportb");
  EXPECT_EQ(PlainExportName("Initial"), "Initial");
  EXPECT_EQ(PlainExportName("_Initial@"), "_Initial@");
  EXPECT_EQ(PlainExportName("_Initial@1x"), "_Initial@1x");
  EXPECT_EQ(PlainExportName("_@4"), "_@4");
}

TEST_F(LibraryTableTest, EntriesNameTheLibraryFileAndTheDecoratedExports) {
  EXPECT_EQ(table.Entry(LibraryTable::kInitial).fileName, "wexlink.Dll");
  EXPECT_EQ(table.Entry(LibraryTable::kInitial).exportName, "_Initial@16");
  EXPECT_EQ(table.Entry(LibraryTable::kStartSnapshot).exportName, "_StartSnapshot@32");
  EXPECT_EQ(table.Entry(LibraryTable::kGetSnapshot).exportName, "_GetSnapshot@12");
  EXPECT_EQ(table.Entry(LibraryTable::kConfigInfo).exportName, "_ConfigInfo@32");
  EXPECT_EQ(table.Entry(LibraryTable::kOutportb).exportName, "_outportb@8");
  EXPECT_EQ(table.Entry(LibraryTable::kInportb).exportName, "_inportb@4");
  EXPECT_EQ(table.Entry(LibraryTable::kStopIntr).address, nullptr);
}

TEST_F(LibraryTableTest, NothingIsLoadedBeforeTheFirstCall) {
  EXPECT_THAT(loader.loads, IsEmpty());
}

TEST_F(LibraryTableTest, FirstCallBindsAndLaterCallsGoStraightToTheAddress) {
  EXPECT_EQ(table.Initial(1, 5, 9600, 0), 7);
  EXPECT_EQ(table.Initial(2, 5, 9600, 0), 7);
  EXPECT_THAT(loader.loads, ElementsAre("libwexlink.Dll"));
  EXPECT_THAT(loader.finds, ElementsAre("Initial"));
  EXPECT_NE(table.Entry(LibraryTable::kInitial).address, nullptr);

  // Each entry binds on its own first call.
  table.outportb(256, 4);
  table.outportb(256, 0);
  EXPECT_THAT(loader.finds, ElementsAre("Initial", "outportb"));
  EXPECT_THAT(g_called, ElementsAre("Initial 1 5 9600", "Initial 2 5 9600", "outportb 256 4",
                                    "outportb 256 0"));
}

TEST_F(LibraryTableTest, MissingFunctionIsReportedByName) {
  try {
    table.StartSnapshot(1, 200, 0, 8, -1000, 0, 0, 0);
    FAIL() << "no report";
  } catch (const Reported& e) {
    EXPECT_THAT(e.what(), HasSubstr("StartSnapshot"));
    EXPECT_THAT(e.what(), HasSubstr("_StartSnapshot@32"));
    EXPECT_THAT(e.what(), HasSubstr("libwexlink.Dll"));
  }
  EXPECT_EQ(table.Entry(LibraryTable::kStartSnapshot).address, nullptr);
}

TEST_F(LibraryTableTest, UnloadableLibraryIsReportedByFileName) {
  loader.loadable = false;
  try {
    table.StopIntr();
    FAIL() << "no report";
  } catch (const Reported& e) {
    EXPECT_THAT(e.what(), HasSubstr("libwexlink.Dll"));
    EXPECT_THAT(e.what(), HasSubstr("no such file"));
  }
  EXPECT_THAT(loader.finds, IsEmpty());
  EXPECT_THAT(g_called, IsEmpty());
}

// The last-error code is for the report of a failed start: bound apart from
// the declared functions, once, and an unreachable library ends nothing.
TEST_F(LibraryTableTest, LastErrorCodeFeedsTheStartFailureLine) {
  EXPECT_EQ(table.LastErrorCode(), 106);
  EXPECT_EQ(table.LastErrorCode(), 106);
  EXPECT_THAT(loader.finds, ElementsAre("GetLastADError"));
  EXPECT_EQ(StartFailureText(StartStep::StartSnapshot, table.LastErrorCode()),
            "Wexmon: start failed at StartSnapshot; library error 106 (the serial port could not "
            "be opened)");

  loader.loadable = false;
  LibraryTable unreachable(loader, reporter);
  EXPECT_EQ(unreachable.LastErrorCode(), std::nullopt);
  EXPECT_THAT(StartFailureText(StartStep::Initial, std::nullopt),
              HasSubstr("error code cannot be read"));
}

// The system loader against the recording fake library, chosen by WEXMON_LIBRARY.
class SystemLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { FakeWexlink_Reset(); }
  void TearDown() override { unsetenv("WEXMON_LIBRARY"); }
  std::unique_ptr<LibraryLoader> loader = MakeSystemLoader();
  ThrowingReporter reporter;
};

TEST_F(SystemLoaderTest, MapsTheDeclaredNamesToThisSystemsNames) {
  EXPECT_EQ(loader->PlatformFileName("wexlink.Dll"), "libwexlink.so.1");
  EXPECT_EQ(loader->PlatformSymbolName("_GetSnapshot@12"), "GetSnapshot");
}

TEST_F(SystemLoaderTest, CallsReachTheLibraryNamedByTheOverride) {
  setenv("WEXMON_LIBRARY", FAKE_WEXLINK_PATH, 1);
  LibraryTable table(*loader, reporter);
  table.outportb(256, 255);
  char name[33] = {};
  std::int32_t i[5] = {};
  float f[2] = {};
  table.ConfigInfo(name, &i[0], &i[1], &i[2], &i[3], &f[0], &f[1], &i[4]);
  EXPECT_STREQ(name, "W316");
  EXPECT_EQ(f[1], 65536.0f);
  ASSERT_EQ(FakeWexlink_CallCount(), 2);
  EXPECT_STREQ(FakeWexlink_Call(0), "outportb(256,255)");
  EXPECT_STREQ(FakeWexlink_Call(1), "ConfigInfo()");
}

TEST_F(SystemLoaderTest, MissingExportOfARealSharedObjectIsReported) {
  setenv("WEXMON_LIBRARY", FAKE_WEXLINK_PARTIAL_PATH, 1);
  LibraryTable table(*loader, reporter);
  EXPECT_EQ(table.Initial(1, 5, 9600, 0), 1);  // present in the partial library
  EXPECT_THROW(
      {
        try {
          table.StartSnapshot(1, 200, 0, 8, -1000, 0, 0, 0);
        } catch (const Reported& e) {
          EXPECT_THAT(e.what(), HasSubstr("function StartSnapshot"));
          throw;
        }
      },
      Reported);
}

TEST_F(SystemLoaderTest, MissingFileIsReported) {
  setenv("WEXMON_LIBRARY", "/nonexistent/libwexlink.so", 1);
  LibraryTable table(*loader, reporter);
  EXPECT_THROW(
      {
        try {
          table.StopIntr();
        } catch (const Reported& e) {
          EXPECT_THAT(e.what(), HasSubstr("cannot load the library libwexlink.so"));
          EXPECT_THAT(e.what(), HasSubstr("/nonexistent/libwexlink.so"));
          throw;
        }
      },
      Reported);
}

}  // namespace
}  // namespace wexmon
