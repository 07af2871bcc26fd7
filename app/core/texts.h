// Every text the program shows, in UTF-8. The colons in the status texts and in
// the value-line prefixes are full-width (U+FF1A); the warnings end in a
// full-width exclamation mark (U+FF01), the stop note in an ASCII one.
#pragma once

#include <string_view>

namespace wexmon::text {

inline constexpr std::string_view kStart = "启动";
inline constexpr std::string_view kStop = "停止";

inline constexpr std::string_view kStopped = "提示：模块已停止!";
inline constexpr std::string_view kStarted = "提示：已开始采集";
inline constexpr std::string_view kBadDriver = "警告：驱动程序不正确！";
inline constexpr std::string_view kInitError = "警告：初始化错误！";
inline constexpr std::string_view kStartError = "警告：启动错误！";
inline constexpr std::string_view kSnapshotFailed = "警告：取采样结果失败";

// Value lines of the display cycle: prefix, then four texts joined by kJoin.
inline constexpr std::string_view kLine1Prefix = "1~4点温度：  ";
inline constexpr std::string_view kLine2Prefix = "5~8点温度：  ";
inline constexpr std::string_view kJoin = ",  ";
inline constexpr std::string_view kInvalid = "No";

// The model name the driver check expects at the start of ConfigInfo's text.
inline constexpr std::string_view kModelName = "W316";

}  // namespace wexmon::text
