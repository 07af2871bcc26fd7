/* A snapshot run against W316 modules: every second, the newest row's
 * temperatures of each module.
 *
 *   wexlink_snapshot [COM [MODULES [SECONDS]]]      (defaults: 1 1 5)
 *
 * On Linux COM n is the device in WEXLINK_COM<n> (or /dev/ttyS<n-1>); with the
 * simulator:
 *   w316sim --link /tmp/com1 --no-stdin & WEXLINK_COM1=/tmp/com1 ./wexlink_snapshot
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wexlink.h>

#ifdef _WIN32
#include <windows.h>
static void SleepOneSecond(void) { Sleep(1000); }
#else
#include <unistd.h>
static void SleepOneSecond(void) { sleep(1); }
#endif

enum { kRingRows = 16, kMaxModules = 32, kChannelsPerModule = 8 };

/* Reads an argument from 1 to max, or fails. */
static int Argument(int argc, char** argv, int index, int fallback, int max) {
  if (argc <= index) return fallback;
  char* end = NULL;
  const long value = strtol(argv[index], &end, 10);
  if (*argv[index] == '\0' || *end != '\0' || value < 1 || value > max) {
    fprintf(stderr, "usage: %s [COM [MODULES (1..32) [SECONDS]]]\n", argv[0]);
    exit(2);
  }
  return (int)value;
}

int main(int argc, char** argv) {
  const int com = Argument(argc, argv, 1, 1, 255);
  const int modules = Argument(argc, argv, 2, 1, kMaxModules);
  const int seconds = Argument(argc, argv, 3, 5, 3600);
  const int channels = modules * kChannelsPerModule;
  printf("wexlink %d.%d.%d, COM%d, %d module(s)\n", WEXLINK_VERSION_MAJOR, WEXLINK_VERSION_MINOR,
         WEXLINK_VERSION_PATCH, com, modules);

  /* Three missed replies in a row set a module's values to 0. A period of
   * -700 ms is the shortest: one module is polled per tick. */
  if (!Initial((uint32_t)com, 3, 9600, 0) ||
      !StartSnapshot(0, kRingRows, 0, (uint32_t)channels, -700, 0, 0, 0)) {
    fprintf(stderr, "cannot start: error %d\n", (int)GetLastADError());
    return 1;
  }

  /* One row: uint16 pass count, the row, int32 ring position. */
  unsigned char record[2 + 2 * kMaxModules * kChannelsPerModule + 4];
  for (int second = 1; second <= seconds; ++second) {
    SleepOneSecond();
    if (!GetSnapshot(record, 1, NULL)) {
      fprintf(stderr, "GetSnapshot: error %d\n", (int)GetLastADError());
      StopIntr();
      return 1;
    }
    int32_t position;
    /* The record is packed: fields are copied out, never read in place. */
    memcpy(&position, record + 2 + 2 * channels, sizeof position);
    for (int m = 0; m < modules; ++m) {
      printf("t=%d row=%d module %d:", second, (int)position, m);
      for (int c = 0; c < kChannelsPerModule; ++c) {
        uint16_t raw;
        memcpy(&raw, record + 2 + 2 * (m * kChannelsPerModule + c), sizeof raw);
        /* 0 is a module that did not answer (and the first row of a run);
         * the sensors read -55 to 125 degrees. */
        if (!wexlink_raw_is_reading(raw)) {
          printf("      --");
        } else {
          printf(" %7.2f", wexlink_raw_to_celsius(raw));
        }
      }
      printf("\n");
    }
    fflush(stdout);
  }
  StopIntr();
  return 0;
}
