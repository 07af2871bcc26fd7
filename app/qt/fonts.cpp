#include "fonts.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

namespace wexmon {
namespace {

const QString kDisplayFace = QString::fromUtf8("隶书");

// Faces that carry Simplified Chinese, most wanted first, for the default font.
const QStringList kUiFaces = {"WenQuanYi Micro Hei", "Noto Sans CJK SC", "Droid Sans Fallback",
                              "AR PL UKai CN"};

}  // namespace

QStringList DisplayFaceSubstitutes() {
  return {"AR PL UKai CN",       "AR PL KaitiM GB",  "AR PL UKai TW",     "AR PL UKai HK",
          "WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Serif CJK SC", "Droid Sans Fallback"};
}

void InstallFonts() {
  QFont::insertSubstitutions(kDisplayFace, DisplayFaceSubstitutes());

  const QStringList installed = QFontDatabase::families();
  for (const QString& face : kUiFaces) {
    if (installed.contains(face)) {
      // 9 points: the size the stored label heights were made for.
      QApplication::setFont(QFont(face, 9));
      break;
    }
  }
}

}  // namespace wexmon
