// Fonts of the Windows build: a window font that renders Chinese, and the
// display labels' clerical-script face or its nearest installed substitute.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "window_defs.h"

namespace wexmon {

// Installed faces that carry the Chinese (GB2312) character set, in the order
// the system lists them; the vertical-writing "@" faces are left out.
std::vector<std::wstring> ChineseFaces();

// The first of `wanted` that is installed (names compared without regard to
// case); else the first installed Chinese face; else wanted.front(), which the
// font mapper then resolves as it can.
std::wstring ChooseFace(const std::vector<std::wstring>& wanted,
                        const std::vector<std::wstring>& installed);

// The faces tried for a label font: the face the definition names, then Kai
// faces (the nearest in style to the clerical script).
std::vector<std::wstring> LabelFaceCandidates(const std::wstring& requested);

// The window font's faces: the usual Chinese interface faces of Windows first.
std::vector<std::wstring> WindowFaceCandidates();

// A font of the given face at the definition's size, weight, style and
// character set, scaled by the screen's DPI.
HFONT MakeFont(const std::wstring& face, const FontDef& def, int dpiY);

}  // namespace wexmon
