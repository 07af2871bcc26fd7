// The Qt windows of Wexmon on the offscreen platform, bound to the recording
// fake library through the real loader (WEXMON_LIBRARY), and the Wexmon
// binary itself run as a child process.
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextLayout>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "control_label.h"
#include "fake_wexlink_control.h"
#include "fonts.h"
#include "library_table.h"
#include "texts.h"
#include "wexmon_app.h"

using namespace wexmon;

namespace {

constexpr WindowId kMain = WindowId::FrmMain;
constexpr WindowId kShow = WindowId::FrmShow;

class AbortingReporter final : public FatalReporter {
 public:
  [[noreturn]] void Fatal(const std::string& message) override {
    std::fprintf(stderr, "unexpected binding failure: %s\n", message.c_str());
    std::abort();
  }
};

QStringList FakeCalls() {
  QStringList calls;
  for (int i = 0; i < FakeWexlink_CallCount(); ++i) calls << FakeWexlink_Call(i);
  return calls;
}

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

class WexmonQtTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void startsWithOnlyTheMainWindowAndFocusOnStart();
  void controlsSitAtTheirPixelPlaces();
  void widestValueLinesFitTheirLabels();
  void tabMovesStartExitRelay();
  void enterAndSpacePressTheFocusedButton();
  void bothWindowsOpenAtTheirStoredPlaces();
  void doubleClickTogglesTheRelayThatWasClicked();
  void relayButtonWritesThePortWithoutARun();
  void startShowsTheDisplayWindowAndArmsTheTimer();
  void timerTickShowsTheFakeValues();
  void displayLabelsUseAKaiFaceForTheClericalScript();
  void closedDisplayIsRefilledHiddenAndShownAgainByStart();
  void closingTheMainWindowCallsStopIntrAndEnds();
  void exitWhileIdleCallsNothing();

  void binaryPrintsItsVersion();
  void binaryReadsItsOptionsBeforeOpeningAWindow();
  void binaryShowsTheFakeTemperaturesAndStopsAtClose();
  void binaryUsesTheDecimalSeparatorOfTheLocale();
  void binaryReportsAMissingFunctionAndExitsWith3();
  void binaryReportsAMissingLibraryAndExitsWith3();

 private:
  QtWindowHost& Host() { return app_->Host(); }
  QString Caption(WindowId w, std::string_view name, int index = kNoIndex) {
    return Host().Caption(w, name, index);
  }
  QColor TextColor(WindowId w, std::string_view name, int index = kNoIndex) {
    return Host().Control(w, name, index)->palette().color(QPalette::WindowText);
  }
  void ClickStart() { QTest::mouseClick(Host().Button(kMain, "CmdStart"), Qt::LeftButton); }
  QProcess* RunWexmon(const QStringList& args, const QProcessEnvironment& env);

  std::unique_ptr<LibraryLoader> loader_;
  AbortingReporter reporter_;
  std::unique_ptr<LibraryTable> library_;
  std::unique_ptr<WexmonApp> app_;
  QTemporaryDir tmp_;
};

void WexmonQtTest::initTestCase() {
  qputenv("WEXMON_LIBRARY", FAKE_WEXLINK_PATH);
  InstallFonts();
  QVERIFY(tmp_.isValid());
}

void WexmonQtTest::init() {
  FakeWexlink_Reset();
  loader_ = MakeSystemLoader();
  library_ = std::make_unique<LibraryTable>(*loader_, reporter_);
  app_ = std::make_unique<WexmonApp>(*library_, ".");
  app_->Start();
}

void WexmonQtTest::cleanup() {
  app_.reset();
  library_.reset();
  loader_.reset();
}

void WexmonQtTest::startsWithOnlyTheMainWindowAndFocusOnStart() {
  FormWindow* main = Host().Window(kMain);
  QVERIFY(main != nullptr);
  QVERIFY(main->isVisible());
  QCOMPARE(Host().Window(kShow), nullptr);
  QCOMPARE(main->windowTitle(), Q("Zentrova    温度采集模块测试软件   继电器控制输出"));
  QCOMPARE(main->size(), QSize(351, 318));
  QCOMPARE(main->focusWidget(), Host().Button(kMain, "CmdStart"));
  QTimer* timer = Host().Timer(kMain, "Timer1");
  QVERIFY(!timer->isActive());
  QCOMPARE(timer->interval(), 1000);
  QCOMPARE(timer->timerType(), Qt::PreciseTimer);
  for (int i = 0; i < 8; ++i) QCOMPARE(TextColor(kMain, "lblRelay", i), QColor(255, 0, 0));
  QCOMPARE(FakeWexlink_CallCount(), 0);
}

void WexmonQtTest::controlsSitAtTheirPixelPlaces() {
  QCOMPARE(Host().Control(kMain, "Frame1")->geometry(), QRect(32, 8, 305, 121));
  QCOMPARE(Host().Control(kMain, "Label1")->geometry(), QRect(24, 24, 241, 17));
  QCOMPARE(Host().Control(kMain, "CmdStart")->geometry(), QRect(16, 88, 97, 25));
  QCOMPARE(Host().Control(kMain, "CmdExit")->geometry(), QRect(256, 288, 73, 25));
  QCOMPARE(Host().Control(kMain, "lblRelay", 5)->pos(), QPoint(88, 48));
  // Auto-size labels take the size of their caption on one line.
  QLabel* hint = Host().Label(kMain, "Label3", 0);
  QCOMPARE(hint->size(), hint->sizeHint());

  Host().LoadWindow(kShow);
  FormWindow* show = Host().Window(kShow);
  QCOMPARE(show->size(), QSize(549, 546));
  QCOMPARE(show->windowTitle(), Q("温度显示    Zentrova"));
  auto frameAt = [&](int i) {
    auto* frame = qobject_cast<QGroupBox*>(Host().Control(kShow, "FrameTemp", i));
    return std::make_pair(frame->title(), frame->geometry());
  };
  QCOMPARE(frameAt(0).first, Q("温度1"));
  QCOMPARE(frameAt(0).second.topLeft(), QPoint(8, 0));  // top left
  QCOMPARE(frameAt(1).first, Q("温度2"));
  QCOMPARE(frameAt(1).second.topLeft(), QPoint(280, 0));  // top right
  QCOMPARE(frameAt(7).first, Q("温度8"));
  QCOMPARE(frameAt(7).second.topLeft(), QPoint(280, 408));  // bottom right
  QLabel* value = Host().Label(kShow, "lblTemp", 7);
  QCOMPARE(value->parentWidget(), Host().Control(kShow, "FrameTemp", 7));
  QCOMPARE(value->geometry(), QRect(8, 16, 249, 105));
}

// The stored label sizes were made for a 9-point default font: the widest
// value line must fit on one line, or its end would be clipped.
void WexmonQtTest::widestValueLinesFitTheirLabels() {
  for (const char* name : {"Label1", "Label2"}) {
    QLabel* label = Host().Label(kMain, name);
    const QFontMetrics metrics(label->font());
    for (const char* value : {"125.0", "-55.0", "-10.0", "100.0"}) {
      const QString line =
          Q(name == std::string_view("Label1") ? text::kLine1Prefix : text::kLine2Prefix) +
          QStringList(4, QString(value)).join(Q(text::kJoin));
      QVERIFY2(metrics.horizontalAdvance(line) <= label->width(), qPrintable(line));
    }
    QVERIFY(metrics.height() <= label->height());
  }
}

void WexmonQtTest::tabMovesStartExitRelay() {
  FormWindow* main = Host().Window(kMain);
  QApplication::setActiveWindow(main);
  QVERIFY(QTest::qWaitForWindowActive(main));
  QPushButton* start = Host().Button(kMain, "CmdStart");
  QCOMPARE(QApplication::focusWidget(), start);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QCOMPARE(QApplication::focusWidget(), Host().Button(kMain, "CmdExit"));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QCOMPARE(QApplication::focusWidget(), Host().Button(kMain, "CmdRelay"));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QCOMPARE(QApplication::focusWidget(), start);
}

void WexmonQtTest::enterAndSpacePressTheFocusedButton() {
  QPushButton* relay = Host().Button(kMain, "CmdRelay");
  relay->setFocus(Qt::TabFocusReason);
  QTest::keyClick(relay, Qt::Key_Return);
  QTest::keyClick(relay, Qt::Key_Enter);
  QTest::keyClick(relay, Qt::Key_Space);
  QCOMPARE(FakeCalls(), QStringList({"outportb(256,0)", "outportb(256,0)", "outportb(256,0)"}));
}

void WexmonQtTest::bothWindowsOpenAtTheirStoredPlaces() {
  ClickStart();
  QCOMPARE(Host().Window(kMain)->geometry(), QRect(106, 82, 351, 318));
  QCOMPARE(Host().Window(kShow)->geometry(), QRect(229, 42, 549, 546));
}

void WexmonQtTest::doubleClickTogglesTheRelayThatWasClicked() {
  auto byCaption = [&](const QString& caption) -> QLabel* {
    for (QLabel* label : Host().Window(kMain)->findChildren<QLabel*>()) {
      if (label->text() == caption) return label;
    }
    return nullptr;
  };
  QLabel* first = byCaption(Q("继电器1"));
  QLabel* last = byCaption(Q("继电器8"));
  QVERIFY(first != nullptr && last != nullptr);
  QTest::mouseDClick(first, Qt::LeftButton);
  QCOMPARE(TextColor(kMain, "lblRelay", 0), QColor(0, 255, 0));
  QTest::mouseDClick(last, Qt::LeftButton);
  QCOMPARE(TextColor(kMain, "lblRelay", 7), QColor(0, 255, 0));
  for (int i = 1; i < 7; ++i) QCOMPARE(TextColor(kMain, "lblRelay", i), QColor(255, 0, 0));
  QTest::mouseDClick(first, Qt::LeftButton);
  QCOMPARE(TextColor(kMain, "lblRelay", 0), QColor(255, 0, 0));
  QCOMPARE(FakeWexlink_CallCount(), 0);  // a double-click writes no port
}

void WexmonQtTest::relayButtonWritesThePortWithoutARun() {
  QPushButton* relay = Host().Button(kMain, "CmdRelay");
  QTest::mouseClick(relay, Qt::LeftButton);
  QTest::mouseDClick(Host().Label(kMain, "lblRelay", 2), Qt::LeftButton);
  QTest::mouseClick(relay, Qt::LeftButton);
  QCOMPARE(FakeCalls(), QStringList({"outportb(256,0)", "outportb(256,4)"}));
  QVERIFY(Host().Window(kShow) == nullptr);  // no run, no display window
}

void WexmonQtTest::startShowsTheDisplayWindowAndArmsTheTimer() {
  ClickStart();
  QCOMPARE(FakeCalls(), QStringList({"ConfigInfo()", "Initial(1,5,9600,0)",
                                     "StartSnapshot(1,200,0,8,-1000,0,0,0)"}));
  QCOMPARE(Caption(kMain, "Label1"), Q("提示：已开始采集"));
  QCOMPARE(Caption(kMain, "CmdStart"), Q("停止"));
  QVERIFY(Host().Timer(kMain, "Timer1")->isActive());
  FormWindow* show = Host().Window(kShow);
  QVERIFY(show != nullptr && show->isVisible());
  QVERIFY(show->isWindow());
  QCOMPARE(show->parentWidget(), nullptr);  // no owner
  QVERIFY(!show->isModal());
  for (int i = 0; i < 8; ++i) {
    QLabel* value = Host().Label(kShow, "lblTemp", i);
    QCOMPARE(value->text(), QString("0.00"));
    QCOMPARE(value->palette().color(QPalette::WindowText), QColor(0, 255, 0));
    QCOMPARE(value->palette().color(QPalette::Window), QColor(64, 0, 0));
    QVERIFY(value->autoFillBackground());
    QCOMPARE(value->font().pointSize(), 72);
    QCOMPARE(value->font().weight(), QFont::Normal);
  }

  // A failed start step leaves the display window up and the program idle.
  ClickStart();  // stop
  FakeWexlink_SetModelName("w316");
  ClickStart();
  QCOMPARE(Caption(kMain, "Label1"), Q("警告：驱动程序不正确！"));
  QVERIFY(show->isVisible());
  QCOMPARE(Caption(kMain, "CmdStart"), Q("启动"));
  QVERIFY(!Host().Timer(kMain, "Timer1")->isActive());
}

void WexmonQtTest::timerTickShowsTheFakeValues() {
  const uint16_t values[8] = {32400, 32404, 31996, 34000, 34001, 31120, 31119, 0};
  FakeWexlink_SetChannelValues(values);
  ClickStart();
  QElapsedTimer clock;
  clock.start();
  QTRY_COMPARE_WITH_TIMEOUT(Caption(kMain, "Label1"), Q("1~4点温度：  25.0,  25.3,  -0.3,  125.0"),
                            3000);
  QVERIFY2(clock.elapsed() >= 900, "the first tick came early");
  QCOMPARE(Caption(kMain, "Label2"), Q("5~8点温度：  No,  -55.0,  No,  No"));
  QCOMPARE(Caption(kShow, "lblTemp", 1), QString("25.3"));
  QCOMPARE(Caption(kShow, "lblTemp", 5), QString("-55.0"));
  QVERIFY(FakeCalls().contains("GetSnapshot(10,0)"));

  FakeWexlink_SetResults(1, 1, 0);
  app_->Handlers().Timer1_Timer();
  QCOMPARE(Caption(kMain, "Label1"), Q("警告：取采样结果失败"));
  QCOMPARE(Caption(kMain, "Label2"), Q("5~8点温度：  No,  -55.0,  No,  No"));
  QCOMPARE(Caption(kShow, "lblTemp", 0), QString("25.0"));
}

void WexmonQtTest::displayLabelsUseAKaiFaceForTheClericalScript() {
  Host().LoadWindow(kShow);
  QLabel* value = Host().Label(kShow, "lblTemp", 0);
  QCOMPARE(value->font().family(), Q("隶书"));
  // The face that actually draws the digits and a Chinese character.
  QTextLayout layout(Q("25.3温"), value->font());
  layout.beginLayout();
  layout.createLine();
  layout.endLayout();
  const QList<QGlyphRun> runs = layout.glyphRuns();
  QVERIFY(!runs.isEmpty());
  const QStringList faces = DisplayFaceSubstitutes();
  for (const QGlyphRun& run : runs) {
    QVERIFY2(faces.contains(run.rawFont().familyName(), Qt::CaseInsensitive),
             qPrintable("drawn with " + run.rawFont().familyName()));
  }
  QVERIFY2(runs.front().rawFont().familyName().startsWith("AR PL", Qt::CaseInsensitive),
           qPrintable("no Kai face: " + runs.front().rawFont().familyName()));
}

void WexmonQtTest::closedDisplayIsRefilledHiddenAndShownAgainByStart() {
  ClickStart();
  FormWindow* show = Host().Window(kShow);
  QVERIFY(show->close());
  QVERIFY(!show->isVisible());
  const uint16_t values[8] = {32416, 0, 0, 0, 0, 0, 0, 32432};
  FakeWexlink_SetChannelValues(values);
  app_->Handlers().Timer1_Timer();
  QVERIFY(!show->isVisible());
  QCOMPARE(Caption(kShow, "lblTemp", 0), QString("26.0"));
  QCOMPARE(Caption(kShow, "lblTemp", 7), QString("27.0"));

  QSignalSpy created(&Host(), &QtWindowHost::windowCreated);
  ClickStart();  // stop: shown and hidden again, values kept
  QVERIFY(!show->isVisible());
  QCOMPARE(Caption(kShow, "lblTemp", 7), QString("27.0"));
  QCOMPARE(Caption(kMain, "Label1"), Q("提示：模块已停止!"));
  ClickStart();  // start again: visible
  QVERIFY(show->isVisible());
  QCOMPARE(Host().Window(kShow), show);
  QCOMPARE(created.count(), 0);
}

void WexmonQtTest::closingTheMainWindowCallsStopIntrAndEnds() {
  ClickStart();
  QSignalSpy ended(&Host(), &QtWindowHost::programEnded);
  const int before = FakeWexlink_CallCount();
  QVERIFY(Host().Window(kMain)->close());
  QCOMPARE(FakeCalls().mid(before), QStringList({"StopIntr()"}));
  QCOMPARE(ended.count(), 1);
  QVERIFY(!Host().Window(kShow)->isVisible());
  QVERIFY(!Host().Timer(kMain, "Timer1")->isActive());
}

void WexmonQtTest::exitWhileIdleCallsNothing() {
  QSignalSpy ended(&Host(), &QtWindowHost::programEnded);
  QTest::mouseClick(Host().Button(kMain, "CmdExit"), Qt::LeftButton);
  QCOMPARE(ended.count(), 1);
  QCOMPARE(FakeWexlink_CallCount(), 0);
  QVERIFY(!Host().Window(kMain)->isVisible());
}

// ---- The binary -----------------------------------------------------------------

QProcess* WexmonQtTest::RunWexmon(const QStringList& args, const QProcessEnvironment& env) {
  auto* process = new QProcess(this);
  QProcessEnvironment childEnv = env;
  // A binding failure ends the program with exit() from inside the event loop,
  // so Qt's font database is never torn down; in a sanitizer build the leak
  // checker would report fontconfig's caches and change the exit status.
  childEnv.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
  process->setProcessEnvironment(childEnv);
  process->start(WEXMON_BINARY, args);
  if (!process->waitForFinished(20000)) {
    process->kill();
    process->waitForFinished();
  }
  return process;
}

void WexmonQtTest::binaryPrintsItsVersion() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("DISPLAY");
  env.insert("QT_QPA_PLATFORM", "xcb");  // --version must not need a display
  QProcess* p = RunWexmon({"--version"}, env);
  QCOMPARE(p->exitStatus(), QProcess::NormalExit);
  QCOMPARE(p->exitCode(), 0);
  QCOMPARE(p->readAllStandardOutput(), QByteArray("Wexmon 1.00\n"));
}

void WexmonQtTest::binaryReadsItsOptionsBeforeOpeningAWindow() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("DISPLAY");
  env.remove("WAYLAND_DISPLAY");
  env.insert("QT_QPA_PLATFORM", "xcb");
  QProcess* p = RunWexmon({"--autostart", "--bogus"}, env);
  QCOMPARE(p->exitStatus(), QProcess::NormalExit);
  QCOMPARE(p->exitCode(), 2);
  QVERIFY(p->readAllStandardError().startsWith("Wexmon: unknown option --bogus\n"));

  p = RunWexmon({"--autostart"}, env);
  QCOMPARE(p->exitStatus(), QProcess::NormalExit);
  QCOMPARE(p->exitCode(), 1);
  const QByteArray err = p->readAllStandardError();
  QVERIFY2(err.startsWith("Wexmon: cannot open a window, no display") && err.count('\n') == 1,
           err.constData());
}

void WexmonQtTest::binaryShowsTheFakeTemperaturesAndStopsAtClose() {
  const QString log = tmp_.filePath("full.log");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("WEXMON_LIBRARY", FAKE_WEXLINK_PATH);
  env.insert("FAKE_WEXLINK_VALUES", "32400,32404,31996,34000,34001,31120,31119,0");
  env.insert("FAKE_WEXLINK_LOG", log);
  QProcess* p = RunWexmon({"--autostart", "--after", "1.6", "--dump-labels"}, env);
  QCOMPARE(p->exitStatus(), QProcess::NormalExit);
  QCOMPARE(p->exitCode(), 0);
  const QString out = QString::fromUtf8(p->readAllStandardOutput());
  QVERIFY2(out.contains(Q("Label1=1~4点温度：  25.0,  25.3,  -0.3,  125.0\n")), qPrintable(out));
  QVERIFY2(out.contains(Q("Label2=5~8点温度：  No,  -55.0,  No,  No\n")), qPrintable(out));
  QVERIFY(out.contains("lblTemp(3)=125.0\n"));
  QFile file(log);
  QVERIFY(file.open(QIODevice::ReadOnly));
  const QStringList calls = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  QVERIFY(calls.size() >= 5);
  QCOMPARE(calls.mid(0, 3), QStringList({"ConfigInfo()", "Initial(1,5,9600,0)",
                                         "StartSnapshot(1,200,0,8,-1000,0,0,0)"}));
  QCOMPARE(calls.back(), QString("StopIntr()"));  // the close at the end runs the unload
}

void WexmonQtTest::binaryUsesTheDecimalSeparatorOfTheLocale() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("WEXMON_LIBRARY", FAKE_WEXLINK_PATH);
  env.insert("FAKE_WEXLINK_VALUES", "32404,31996,0,0,32000,0,0,0");
  env.insert("LC_ALL", "de_DE.UTF-8");
  QProcess* p = RunWexmon({"--autostart", "--after", "1.5", "--dump-labels"}, env);
  QCOMPARE(p->exitCode(), 0);
  const QString out = QString::fromUtf8(p->readAllStandardOutput());
  QVERIFY2(out.contains(Q("Label1=1~4点温度：  25,3,  -0,3,  No,  No\n")), qPrintable(out));
  QVERIFY2(out.contains("lblTemp(4)=0,0\n"), qPrintable(out));
}

void WexmonQtTest::binaryReportsAMissingFunctionAndExitsWith3() {
  const QString log = tmp_.filePath("partial.log");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("WEXMON_LIBRARY", FAKE_WEXLINK_PARTIAL_PATH);
  env.insert("FAKE_WEXLINK_LOG", log);
  QProcess* p = RunWexmon({"--autostart", "--after", "10"}, env);
  QCOMPARE(p->exitStatus(), QProcess::NormalExit);
  QCOMPARE(p->exitCode(), kLibraryFailureExitCode);
  const QString err = QString::fromUtf8(p->readAllStandardError());
  QVERIFY2(err.contains("function StartSnapshot (_StartSnapshot@32) is not in the library"),
           qPrintable(err));
  QFile file(log);
  QVERIFY(file.open(QIODevice::ReadOnly));
  QCOMPARE(QString::fromUtf8(file.readAll()), QString("ConfigInfo()\nInitial(1,5,9600,0)\n"));
}

void WexmonQtTest::binaryReportsAMissingLibraryAndExitsWith3() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("WEXMON_LIBRARY", tmp_.filePath("absent/libwexlink.so"));
  QProcess* p = RunWexmon({"--autostart", "--after", "10"}, env);
  QCOMPARE(p->exitCode(), kLibraryFailureExitCode);
  const QString err = QString::fromUtf8(p->readAllStandardError());
  QVERIFY2(err.contains("cannot load the library libwexlink.so"), qPrintable(err));
}

QTEST_MAIN(WexmonQtTest)
#include "wexmon_qt_test.moc"
