// Wexmon with the real acquisition library and the module simulator on a
// pseudo-terminal: COM1 points at the simulator's pty, and the relay port
// writes go to a file that the simulator watches (never the machine's ports).
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "control_label.h"
#include "library_table.h"
#include "sim_process.h"
#include "wexmon_app.h"

using namespace wexmon;
using namespace std::chrono_literals;

namespace {

constexpr WindowId kMain = WindowId::FrmMain;
constexpr WindowId kShow = WindowId::FrmShow;

class AbortingReporter final : public FatalReporter {
 public:
  [[noreturn]] void Fatal(const std::string& message) override {
    std::fprintf(stderr, "binding failure: %s\n", message.c_str());
    std::abort();
  }
};

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

const QString kLine1 = Q("1~4点温度：  25.3,  -0.3,  -55.0,  125.0");
const QString kLine2 = Q("5~8点温度：  No,  No,  No,  26.1");

}  // namespace

class WexmonE2eTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();
  void startShowsTheSimulatedTemperaturesAndRelaysReachThePortFile();
  void binaryFindsTheLibraryBesideItAndShowsTheSameValues();

 private:
  QTemporaryDir dir_;
  w316sim_test::SimProcess sim_;
};

void WexmonE2eTest::initTestCase() {
  QVERIFY(dir_.isValid());
  const QString link = dir_.filePath("com1");
  const QString io = dir_.filePath("iospace");
  qputenv("WEXLINK_COM1", link.toUtf8());
  qputenv("WEXLINK_IOSPACE", io.toUtf8());
  qputenv("WEXMON_LIBRARY", WEXLINK_LIBRARY_PATH);
  const std::string error = sim_.Start(
      W316SIM_BINARY,
      {"--link", link.toStdString(), "--iospace", io.toStdString(), "--raw",  "0.0=32404",
       "--temp", "0.1=-0.25",        "--temp",    "0.2=-55",        "--temp", "0.3=125",
       "--raw",  "0.4=34001",        "--raw",     "0.5=31119",      "--raw",  "0.6=0",
       "--temp", "0.7=26.1"});
  QVERIFY2(error.empty(), error.c_str());
}

void WexmonE2eTest::cleanupTestCase() { sim_.Stop(); }

void WexmonE2eTest::startShowsTheSimulatedTemperaturesAndRelaysReachThePortFile() {
  const std::unique_ptr<LibraryLoader> loader = MakeSystemLoader();
  AbortingReporter reporter;
  LibraryTable library(*loader, reporter);
  WexmonApp app(library, ".");
  app.Start();
  QtWindowHost& host = app.Host();

  QTest::mouseClick(host.Button(kMain, "CmdStart"), Qt::LeftButton);
  QCOMPARE(host.Caption(kMain, "Label1"), Q("提示：已开始采集"));
  // The library polls once a second and the first reply lands at its second
  // tick; the display follows at the next window-timer tick.
  QTRY_COMPARE_WITH_TIMEOUT(host.Caption(kMain, "Label1"), kLine1, 6000);
  QTRY_COMPARE_WITH_TIMEOUT(host.Caption(kMain, "Label2"), kLine2, 1500);
  QCOMPARE(host.Caption(kShow, "lblTemp", 0), QString("25.3"));
  QCOMPARE(host.Caption(kShow, "lblTemp", 7), QString("26.1"));
  QVERIFY(host.Window(kShow)->isVisible());

  QTest::mouseDClick(host.Label(kMain, "lblRelay", 0), Qt::LeftButton);
  QTest::mouseDClick(host.Label(kMain, "lblRelay", 7), Qt::LeftButton);
  QTest::mouseClick(host.Button(kMain, "CmdRelay"), Qt::LeftButton);
  const auto relays = sim_.WaitForLine("RELAYS", 3s);
  QVERIFY2(relays.has_value(), "the simulator saw no relay change");
  QVERIFY2(relays->rfind("RELAYS 0x81", 0) == 0, relays->c_str());
  QFile io(dir_.filePath("iospace"));
  QVERIFY(io.open(QIODevice::ReadOnly));
  const QByteArray bytes = io.readAll();
  QVERIFY(bytes.size() > 256);
  QCOMPARE(static_cast<unsigned char>(bytes[256]), 0x81);

  QTest::mouseClick(host.Button(kMain, "CmdStart"), Qt::LeftButton);
  QCOMPARE(host.Caption(kMain, "Label1"), Q("提示：模块已停止!"));
  QVERIFY(!host.Window(kShow)->isVisible());
  const long long requests = sim_.Requests();
  QTest::qWait(1300);
  QCOMPARE(sim_.Requests(), requests);  // the run is over: no more polls
}

void WexmonE2eTest::binaryFindsTheLibraryBesideItAndShowsTheSameValues() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("WEXMON_LIBRARY");  // found through the build tree's ../lib
  env.insert("QT_QPA_PLATFORM", "offscreen");
  QProcess wexmon;
  wexmon.setProcessEnvironment(env);
  wexmon.start(WEXMON_BINARY, {"--autostart", "--after", "4.5", "--dump-labels"});
  QVERIFY(wexmon.waitForFinished(20000));
  QCOMPARE(wexmon.exitCode(), 0);
  const QString out = QString::fromUtf8(wexmon.readAllStandardOutput());
  QVERIFY2(out.contains("Label1=" + kLine1 + "\n"), qPrintable(out));
  QVERIFY2(out.contains("Label2=" + kLine2 + "\n"), qPrintable(out));
  QVERIFY(out.contains("lblTemp(2)=-55.0\n"));
}

QTEST_MAIN(WexmonE2eTest)
#include "wexmon_e2e_test.moc"
