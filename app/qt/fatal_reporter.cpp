#include "fatal_reporter.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

namespace wexmon {

bool InteractivePlatform() {
  const QString platform = QGuiApplication::platformName();
  return platform != "offscreen" && platform != "minimal";
}

void QtFatalReporter::Fatal(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(stderr);
  if (showDialog_ && qApp != nullptr) {
    QMessageBox::critical(nullptr, QStringLiteral("Wexmon"), QString::fromStdString(message));
  }
  std::fflush(stdout);
  std::exit(kLibraryFailureExitCode);
}

}  // namespace wexmon
