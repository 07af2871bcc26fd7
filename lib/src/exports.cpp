// The exported card interface: each function converts its arguments and calls
// the one Driver of the library. Nothing else lives here.
#include "core/driver.h"
#include "wexlink.h"

namespace {

// Constructed when the library is loaded; its destructor is the unload, which
// stops an active run and closes the port.
wexlink::Driver g_driver(wexlink::DefaultPlatform());

inline uint16_t Port16(uint32_t port) { return static_cast<uint16_t>(port & 0xFFFFu); }

}  // namespace

extern "C" {

int32_t WEXLINK_CALL Initial(uint32_t comPort, int32_t missThreshold, int32_t baudRate,
                             int32_t /*reserved*/) {
  return g_driver.Initial(comPort, missThreshold, baudRate);
}

void WEXLINK_CALL ConfigInfo(char* modelName, int32_t* channelLimit, int32_t* constant1,
                             int32_t* constant10a, int32_t* constant10b, float* halfSpan,
                             float* codeSpan, int32_t* constant0) {
  wexlink::Driver::ConfigInfo(modelName, channelLimit, constant1, constant10a, constant10b,
                              halfSpan, codeSpan, constant0);
}

double WEXLINK_CALL ChannelFrq(int32_t channelCount, int32_t periodSetting) {
  return wexlink::Driver::ChannelFrq(channelCount, periodSetting);
}

int32_t WEXLINK_CALL IOCtl(int32_t length, const void* data, int32_t controlCode,
                           int32_t /*reserved*/) {
  return g_driver.IOCtl(length, data, controlCode);
}

int32_t WEXLINK_CALL RegisterNotify(uint32_t slot, intptr_t window, uint32_t message,
                                    uint32_t wParam, uint32_t lParam) {
  return g_driver.RegisterNotify(slot, window, message, wParam, lParam);
}

int32_t WEXLINK_CALL GetLastADError(void) { return g_driver.GetLastADError(); }

int32_t WEXLINK_CALL GetADPropStrSize(void) { return wexlink::Driver::GetADPropStrSize(); }

int32_t WEXLINK_CALL GetADPropString(char* buffer) {
  return wexlink::Driver::GetADPropString(buffer);
}

int32_t WEXLINK_CALL StartIntr(uint32_t bufferCount, uint32_t rowsPerBuffer,
                               uint32_t useAddressTable, uint32_t channelCount,
                               int32_t periodSetting, int32_t /*reserved1*/,
                               int32_t /*reserved2*/) {
  return g_driver.StartIntr(bufferCount, rowsPerBuffer, useAddressTable, channelCount,
                            periodSetting);
}

int32_t WEXLINK_CALL StartSnapshot(uint32_t /*ignored*/, uint32_t rowsPerBuffer,
                                   uint32_t useAddressTable, uint32_t channelCount,
                                   int32_t periodSetting, int32_t /*reserved1*/,
                                   int32_t /*reserved2*/, int32_t /*reserved3*/) {
  return g_driver.StartSnapshot(rowsPerBuffer, useAddressTable, channelCount, periodSetting);
}

int32_t WEXLINK_CALL StopIntr(void) { return g_driver.StopIntr(); }

uint32_t WEXLINK_CALL QueryBuf(void) { return g_driver.QueryBuf(); }

int32_t WEXLINK_CALL ADResult(void* destination) { return g_driver.ADResult(destination); }

int32_t WEXLINK_CALL ADResultRecent(void* destination) {
  return g_driver.ADResultRecent(destination);
}

int32_t WEXLINK_CALL GetSnapshot(void* destination, uint32_t rows, int32_t* /*reserved*/) {
  return g_driver.GetSnapshot(destination, rows);
}

uint32_t WEXLINK_CALL inportb(uint32_t port) { return g_driver.Ports().In8(Port16(port)); }
uint32_t WEXLINK_CALL inport(uint32_t port) { return g_driver.Ports().In16(Port16(port)); }
uint32_t WEXLINK_CALL inportdw(uint32_t port) { return g_driver.Ports().In32(Port16(port)); }

void WEXLINK_CALL outportb(uint32_t port, uint32_t value) {
  g_driver.Ports().Out8(Port16(port), static_cast<uint8_t>(value));
}
void WEXLINK_CALL outport(uint32_t port, uint32_t value) {
  g_driver.Ports().Out16(Port16(port), static_cast<uint16_t>(value));
}
void WEXLINK_CALL outportdw(uint32_t port, uint32_t value) {
  g_driver.Ports().Out32(Port16(port), value);
}

}  // extern "C"
