// Fonts of the program: a default face that renders Chinese, and substitutes
// for the clerical-script face of the display labels where it is missing.
#pragma once

#include <QStringList>

namespace wexmon {

// Faces tried, in order, when "隶书" is not installed: Kai faces first (the
// nearest in style), then any face with the Chinese characters.
QStringList DisplayFaceSubstitutes();

// Sets the application's default font and the substitutions. Call once after
// the QApplication exists.
void InstallFonts();

}  // namespace wexmon
