// Wexmon: the operator program for the W316 temperature modules.
#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fatal_reporter.h"
#include "fonts.h"
#include "library_table.h"
#include "options.h"
#include "wexmon_app.h"

namespace {

constexpr int kUsageExitCode = 2;
constexpr int kScreenshotExitCode = 4;

}  // namespace

int main(int argc, char* argv[]) {
  using namespace wexmon;

  // --version and --help work without a display.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--version") {
      std::printf("%s\n", std::string(kVersionText).c_str());
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    }
  }

  QApplication app(argc, argv);  // takes Qt's own options out of argv
  QApplication::setApplicationName("Wexmon");
  QApplication::setApplicationVersion("1.00");
  QApplication::setQuitOnLastWindowClosed(false);  // closing the main window ends it

  std::vector<std::string> storage;
  for (const QString& arg : QApplication::arguments().mid(1)) storage.push_back(arg.toStdString());
  const std::vector<std::string_view> arguments(storage.begin(), storage.end());
  const ParsedOptions parsed = ParseOptions(arguments);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "Wexmon: %s\n%s", parsed.error.c_str(), UsageText().c_str());
    return kUsageExitCode;
  }
  const Options& options = parsed.options;

  InstallFonts();

  const bool unattended = options.autostart || options.afterSeconds.has_value();
  QtFatalReporter reporter(InteractivePlatform() && !unattended);
  const std::unique_ptr<LibraryLoader> loader = MakeSystemLoader();
  LibraryTable library(*loader, reporter);
  WexmonApp wexmon(library, SystemDecimalSeparator());
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
