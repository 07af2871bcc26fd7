#include "win32_fonts.h"

#include <algorithm>

namespace wexmon {
namespace {

int CALLBACK CollectFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM context) {
  auto& faces = *reinterpret_cast<std::vector<std::wstring>*>(context);
  const std::wstring face = font->lfFaceName;
  if (!face.empty() && face.front() != L'@' &&
      std::find(faces.begin(), faces.end(), face) == faces.end()) {
    faces.push_back(face);
  }
  return 1;
}

bool SameFace(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) ==
         CSTR_EQUAL;
}

}  // namespace

std::vector<std::wstring> ChineseFaces() {
  std::vector<std::wstring> faces;
  HDC dc = GetDC(nullptr);
  LOGFONTW query{};
  query.lfCharSet = GB2312_CHARSET;
  EnumFontFamiliesExW(dc, &query, CollectFace, reinterpret_cast<LPARAM>(&faces), 0);
  ReleaseDC(nullptr, dc);
  return faces;
}

std::wstring ChooseFace(const std::vector<std::wstring>& wanted,
                        const std::vector<std::wstring>& installed) {
  for (const std::wstring& face : wanted) {
    for (const std::wstring& present : installed) {
      if (SameFace(face, present)) return present;
    }
  }
  if (!installed.empty()) return installed.front();
  return wanted.empty() ? std::wstring() : wanted.front();
}

std::vector<std::wstring> LabelFaceCandidates(const std::wstring& requested) {
  std::vector<std::wstring> faces{requested};
  // "隶书" is also listed under its Latin name where the user's language is
  // not Chinese.
  if (requested == L"隶书") faces.push_back(L"LiSu");
  for (const wchar_t* kai : {L"楷体", L"KaiTi", L"楷体_GB2312", L"KaiTi_GB2312", L"AR PL UKai CN",
                             L"AR PL KaitiM GB", L"AR PL UKai TW", L"AR PL UKai HK"}) {
    faces.emplace_back(kai);
  }
  return faces;
}

std::vector<std::wstring> WindowFaceCandidates() {
  return {L"宋体",
          L"SimSun",
          L"微软雅黑",
          L"Microsoft YaHei",
          L"WenQuanYi Micro Hei",
          L"Noto Sans CJK SC",
          L"Droid Sans Fallback"};
}

HFONT MakeFont(const std::wstring& face, const FontDef& def, int dpiY) {
  LOGFONTW font{};
  font.lfHeight = -MulDiv(def.points, dpiY, 72);
  font.lfWeight = def.weight;
  font.lfItalic = def.italic ? TRUE : FALSE;
  font.lfUnderline = def.underline ? TRUE : FALSE;
  font.lfStrikeOut = def.strikeOut ? TRUE : FALSE;
  font.lfCharSet = static_cast<BYTE>(def.charset);
  font.lfOutPrecision = OUT_DEFAULT_PRECIS;
  font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  font.lfQuality = DEFAULT_QUALITY;
  font.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
  lstrcpynW(font.lfFaceName, face.c_str(), LF_FACESIZE);
  return CreateFontIndirectW(&font);
}

}  // namespace wexmon
