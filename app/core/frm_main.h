// The main window's state and every handler of the program: start and stop,
// exit, unload, the once-a-second display cycle and the relay outputs. The
// handlers reach the windows only through WindowHost and the library only
// through CardFunctions.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "card_functions.h"
#include "relay_access.h"
#include "start_failure.h"
#include "window_host.h"

namespace wexmon {

// Rows read per display tick, channels per row, and the snapshot record that
// holds them: a 16-bit header, the rows, a 32-bit row position.
inline constexpr std::uint32_t kSnapshotRowsRead = 10;
inline constexpr int kDisplayChannels = 8;
inline constexpr std::size_t kSnapBufElements = 83;
static_assert(kSnapBufElements * 2 == 2 * kSnapshotRowsRead * kDisplayChannels + 6);

struct FrmMainState {
  std::int16_t Running = 0;
  std::int16_t ComPort = 0;
  std::int16_t NumChannels = 0;
  std::int32_t RelayPort = 0;
  std::int16_t RelayData = 0;
  std::array<std::int16_t, kSnapBufElements> SnapBuf{};
};

class FrmMain {
 public:
  // `decimalSeparator` is the user's locale's, used in the displayed values.
  // `startFailures`, when given, hears of every failed start step besides the
  // warning in the window.
  FrmMain(WindowHost& host, CardFunctions& card, std::string decimalSeparator,
          StartFailureReport* startFailures = nullptr);

  // The COM port the load handler selects (1 unless the user chose another).
  void UseComPort(std::int16_t port) { comPort_ = port; }
  // Told after every relay write; tells the operator once when the byte
  // cannot reach the port.
  void SetRelayWarning(RelayWarning* warning) { relayWarning_ = warning; }

  void Form_Load();
  void Form_Unload();
  void CmdStart_Click();
  void CmdExit_Click();
  void Timer1_Timer();
  void lblRelay_DblClick(std::int16_t index);
  void CmdRelay_Click();

  const FrmMainState& State() const { return state_; }

 private:
  void SetStatus(std::string_view text);
  void StartFailed(std::string_view warning, StartStep step);

  WindowHost& host_;
  CardFunctions& card_;
  std::string decimalSeparator_;
  StartFailureReport* startFailures_;
  std::int16_t comPort_ = 1;
  RelayWarning* relayWarning_ = nullptr;
  FrmMainState state_;
};

}  // namespace wexmon
