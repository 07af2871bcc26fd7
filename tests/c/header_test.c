/* Compiled as C: the public header must be plain C, and the calls must link
 * against the shared library. Exercises the calls that need no serial port. */
#include "wexlink.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;
#define CHECK(cond)                                               \
  do {                                                            \
    if (!(cond)) {                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                 \
    }                                                             \
  } while (0)

int main(void) {
  char model[8] = "xxxxxxx";
  int32_t limit = 0, c1 = 0, c10a = 0, c10b = 0, c0 = 7;
  float half = 0.0f, span = 0.0f;
  char prop[90];
  unsigned char table[4] = {2, 7, 3, 9};

  ConfigInfo(model, &limit, &c1, &c10a, &c10b, &half, &span, &c0);
  CHECK(strcmp(model, "W316") == 0);
  CHECK(limit == 256 && c1 == 1 && c10a == 10 && c10b == 10 && c0 == 0);
  CHECK(half == 32768.0f && span == 65536.0f);

  CHECK(GetADPropStrSize() == 82);
  memset(prop, 'x', sizeof prop);
  CHECK(GetADPropString(prop) == 1);
  CHECK(prop[82] == '\0' && strlen(prop) == 82 && prop[83] == 'x');

  CHECK(ChannelFrq(8, -1000) == 1.0);
  CHECK(StopIntr() == 0 && GetLastADError() == WEXLINK_E_NOT_INITIALIZED);
  CHECK(Initial(0, 5, 9600, 0) == 0 && GetLastADError() == WEXLINK_E_BAD_SETUP);
  CHECK(Initial(1, 5, 9600, 0) == 1 && GetLastADError() == WEXLINK_OK);
  CHECK(IOCtl(4, table, 0, 0) == 1);
  CHECK(RegisterNotify(4, 0, 0, 0, 0) == 0 && GetLastADError() == WEXLINK_E_SLOT);
  CHECK(QueryBuf() == 0 && GetLastADError() == WEXLINK_E_NO_CONTINUOUS);

  /* The reading rule: both ends of the range are readings, one step beyond
   * either is not, nor is 0; one raw step is 1/16 degree. */
  CHECK(wexlink_raw_is_reading(WEXLINK_RAW_MIN) && wexlink_raw_is_reading(WEXLINK_RAW_MAX));
  CHECK(!wexlink_raw_is_reading(31119) && !wexlink_raw_is_reading(34001));
  CHECK(!wexlink_raw_is_reading(0) && !wexlink_raw_is_reading(65535));
  CHECK(wexlink_raw_to_celsius(31120) == -55.0 && wexlink_raw_to_celsius(34000) == 125.0);
  CHECK(wexlink_raw_to_celsius(32000) == 0.0 && wexlink_raw_to_celsius(31996) == -0.25);
  CHECK(wexlink_raw_to_celsius(0) == -2000.0);

  if (failures == 0) printf("C header test: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
