// Wexmon: the operator program for the W316 temperature modules.
#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fatal_reporter.h"
#include "fonts.h"
#include "library_table.h"
#include "options.h"
#include "relay_access.h"
#include "start_failure.h"
#include "wexmon_app.h"

namespace {

constexpr int kUsageExitCode = 2;
constexpr int kNoDisplayExitCode = 1;
constexpr int kScreenshotExitCode = 4;
constexpr const char* kLibraryNote =
    "Environment: WEXMON_LIBRARY=PATH loads that file instead of libwexlink.so\n";

// Qt's own options, which QApplication takes out of the arguments (single
// dash; "-style=NAME" is the same as "-style NAME"). Those of the first list
// take a value.
bool IsQtOption(std::string_view arg, bool& takesValue) {
  static constexpr std::string_view kWithValue[] = {
      "-platform",    "-platformpluginpath", "-platformtheme", "-plugin",  "-qwindowgeometry",
      "-qwindowicon", "-qwindowtitle",       "-session",       "-display", "-geometry",
      "-style",       "-stylesheet",         "-name",          "-title"};
  static constexpr std::string_view kFlags[] = {"-reverse", "-widgetcount", "-nograb", "-dograb",
                                                "-sync"};
  for (std::string_view option : kWithValue) {
    if (arg == option) {
      takesValue = true;
      return true;
    }
    if (arg.size() > option.size() && arg.substr(0, option.size()) == option &&
        arg[option.size()] == '=') {
      takesValue = false;
      return true;
    }
  }
  takesValue = false;
  for (std::string_view option : kFlags) {
    if (arg == option) return true;
  }
  return false;
}

// Without a display Qt ends the program with abort() after a fatal message,
// with the reason in a warning before it. While the application starts, the
// messages are held back; a fatal one becomes a single line and exit status 1.
std::vector<QString> g_startMessages;

void StartMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtFatalMsg) {
    g_startMessages.push_back(message);
    return;
  }
  QString reason = message.section('\n', 0, 0);
  for (const QString& held : g_startMessages) {
    if (held.contains("display", Qt::CaseInsensitive)) reason = held;
  }
  std::fprintf(stderr, "Wexmon: cannot open a window, no display: %s\n",
               reason.toLocal8Bit().constData());
  std::fflush(stderr);
  std::_Exit(kNoDisplayExitCode);
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace wexmon;

  // The options are read before the toolkit starts: --version, --help and a
  // wrong option need no display.
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    bool takesValue = false;
    if (IsQtOption(arg, takesValue)) {
      if (takesValue) ++i;
      continue;
    }
    arguments.push_back(arg);
  }
  for (std::string_view arg : arguments) {
    if (arg == "--version") {
      std::printf("%s\n", std::string(kVersionText).c_str());
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      std::printf("%s%s", UsageText().c_str(), kLibraryNote);
      return 0;
    }
  }
  const ParsedOptions parsed = ParseOptions(arguments);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "Wexmon: %s\n%s%s", parsed.error.c_str(), UsageText().c_str(),
                 kLibraryNote);
    return kUsageExitCode;
  }
  const Options& options = parsed.options;

  const QtMessageHandler previous = qInstallMessageHandler(StartMessageHandler);
  QApplication app(argc, argv);
  qInstallMessageHandler(previous);
  for (const QString& message : g_startMessages) {
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
  }
  g_startMessages.clear();
  QApplication::setApplicationName("Wexmon");
  QApplication::setApplicationVersion("1.00");
  QApplication::setQuitOnLastWindowClosed(false);  // closing the main window ends it

  InstallFonts();

  const bool unattended = options.autostart || options.afterSeconds.has_value();
  QtFatalReporter reporter(InteractivePlatform() && !unattended);
  const std::unique_ptr<LibraryLoader> loader = MakeSystemLoader();
  LibraryTable library(*loader, reporter);
  LoggedStartFailures startFailures(library, [](const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  });
  WexmonApp wexmon(library, SystemDecimalSeparator(), &startFailures);
  wexmon.Handlers().UseComPort(options.port);
  // The first relay write that cannot reach the port: a line on standard
  // error and a message box that leaves the program running.
  RelayWarning relayWarning(&RelayPortUnreachable, [&wexmon](const std::string& text) {
    std::fprintf(stderr, "Wexmon: %s\n",
                 QString::fromStdString(text).simplified().toLocal8Bit().constData());
    std::fflush(stderr);
    auto* box = new QMessageBox(QMessageBox::Warning, "Wexmon", QString::fromStdString(text),
                                QMessageBox::Ok, wexmon.Host().Window(WindowId::FrmMain));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName("relayWarning");
    box->open();
  });
  wexmon.Handlers().SetRelayWarning(&relayWarning);
  wexmon.Start();

  if (options.autostart) {
    QTimer::singleShot(0, &wexmon,
                       [&wexmon] { wexmon.Host().Button(WindowId::FrmMain, "CmdStart")->click(); });
  }

  int status = 0;
  if (options.afterSeconds) {
    const int ms = static_cast<int>(*options.afterSeconds * 1000.0);
    QTimer::singleShot(ms, Qt::PreciseTimer, &wexmon, [&] {
      if (!options.screenshotPath.empty()) {
        QScreen* screen = QGuiApplication::primaryScreen();
        const QPixmap shot = screen != nullptr ? screen->grabWindow(0) : QPixmap();
        const QString path = QString::fromStdString(options.screenshotPath);
        if (shot.isNull() || !shot.save(path, "PNG")) {
          std::fprintf(stderr, "Wexmon: cannot save the screenshot %s\n",
                       options.screenshotPath.c_str());
          status = kScreenshotExitCode;
        } else {
          std::printf("Wexmon: screenshot saved to %s\n", options.screenshotPath.c_str());
        }
      }
      // Ends as the operator's close button would: the unload handler runs.
      if (FormWindow* main = wexmon.Host().Window(WindowId::FrmMain)) main->close();
      QCoreApplication::exit(0);
    });
  }

  const int loopStatus = QApplication::exec();
  if (options.dumpLabels) std::fputs(wexmon.LabelDump().toStdString().c_str(), stdout);
  std::fflush(stdout);
  return status != 0 ? status : loopStatus;
}
