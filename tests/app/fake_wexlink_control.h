// Control functions of the recording fake acquisition library. The fake
// exports the seven functions that Wexmon binds, under the plain names of the
// real library, records each call as a line of text and returns scripted
// results. Tests that run Wexmon in another process script it through the
// environment instead:
//   FAKE_WEXLINK_MODEL   text ConfigInfo writes as the model name ("W316")
//   FAKE_WEXLINK_VALUES  eight comma-separated channel values for GetSnapshot
//   FAKE_WEXLINK_LOG     file to which every call line is appended
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FAKE_WEXLINK_API __attribute__((visibility("default")))

// Back to the defaults: model "W316", every call succeeds, all channel values
// 0, empty call log.
FAKE_WEXLINK_API void FakeWexlink_Reset(void);
FAKE_WEXLINK_API void FakeWexlink_SetModelName(const char* name);
FAKE_WEXLINK_API void FakeWexlink_SetResults(int32_t initial, int32_t startSnapshot,
                                             int32_t getSnapshot);
// The newest row GetSnapshot hands out; older rows hold 0xFFFF.
FAKE_WEXLINK_API void FakeWexlink_SetChannelValues(const uint16_t values[8]);
FAKE_WEXLINK_API int32_t FakeWexlink_CallCount(void);
// Call line `index` ("Initial(1,5,9600,0)"), or "" when out of range.
FAKE_WEXLINK_API const char* FakeWexlink_Call(int32_t index);

#ifdef __cplusplus
}
#endif
