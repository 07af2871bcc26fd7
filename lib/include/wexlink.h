/*
 * wexlink: data-acquisition card interface for W316 serial temperature modules.
 *
 * A flat C interface (C99 or C++). Link with -lwexlink (pkg-config wexlink, or
 * CMake: find_package(wexlink 1.0 REQUIRED) and the target wexlink::wexlink).
 *
 * ---- The modules and the run ------------------------------------------------
 * A W316 module measures 8 temperatures; up to 32 modules (256 channels) share
 * one serial line. Channels are numbered on across modules: module k owns
 * channels 8k to 8k+7. Without an address table (IOCtl) module k is asked at
 * the address bytes 01 k.
 *
 * Every call runs on the caller's thread. A run (StartIntr or StartSnapshot)
 * adds a periodic timer thread: each tick sends a request to one module and
 * takes in the reply of the module asked one tick earlier; once every module
 * of the run has been asked, one row of all channels is stored. A row of N
 * channels is stored every N/8 ticks (ChannelFrq).
 *
 * Pipelining: a reply is taken in one tick after its request, so the values
 * lag one tick, and the first row of a run holds zeros for the last module of
 * the run (with one module: the whole first row is zeros).
 *
 * Missed replies: a reply that is missing, late, of the wrong length (a good
 * one is 22 bytes, AA ... 55) or badly framed is a miss. A module's values are
 * kept until its consecutive misses reach the miss threshold given to Initial;
 * then its 8 values are set to 0 until it answers again. A threshold of 0 or
 * below sets them to 0 at the first miss. So a module that stops answering
 * reads 0 (below), and so does a run whose serial adapter was unplugged.
 *
 * ---- Values -------------------------------------------------------------------
 * Values are unsigned 16-bit raw readings in native byte order:
 *
 *     degrees Celsius = ((int)raw - 32000) / 16.0      (steps of 0.0625)
 *
 * The sensors measure -55 to 125 degrees, raw 31120 to 34000; a value outside
 * that range is no reading (wexlink_raw_is_reading and wexlink_raw_to_celsius
 * below, with the numbers as WEXLINK_RAW_* macros). In particular 0 (-2000 degrees) means that the
 * module did not answer: its misses reached the threshold, or the row is the
 * first of a run. Wexmon shows such values as "No".
 *
 * ---- Records (all unaligned: copy fields out with memcpy) --------------------
 * A row is `channels` uint16 values, channel 0 first.
 *
 * Continuous run (StartIntr, ADResult, ADResultRecent): one buffer of
 * 2 * channels * rows + 2 bytes, the result of StartIntr:
 *     offset 0: uint16 head word, the run's sequence count when the buffer
 *               was begun (modulo 65536);
 *     offset 2: `rows` rows, oldest first.
 * While all buffers are full and unread, new rows are dropped. The sequence
 * count rises by one for every buffer completed, and while the ring is full by
 * one for every channels * rows rows dropped (channels times a buffer's worth);
 * dropped rows short of that count when a read-out frees a buffer leave no
 * trace. So consecutive head words that differ by more than one show buffers
 * discarded by ADResultRecent or a long overflow, but head words without a gap
 * do not prove that no row was lost: a ring that was full for less than that
 * dropped rows unseen. QueryBuf equal to the buffer count means the ring is
 * full and rows are being dropped now.
 *
 * Snapshot run (StartSnapshot, GetSnapshot): one ring of `rows` rows that the
 * timer overwrites cyclically. GetSnapshot(dest, n) writes a record of
 * 2 * channels * n + 6 bytes:
 *     offset 0:                  uint16 pass count: passes over the ring
 *                                completed since the start (modulo 65536);
 *     offset 2:                  the newest n rows, oldest first;
 *     offset 2 + 2*channels*n:   int32 ring row position (0 to rows - 1) of
 *                                the newest row. Its offset is only 2-byte
 *                                aligned: read it with memcpy, never through
 *                                an int32_t pointer into the record.
 * Before the first row is stored the record holds zeros and the position is
 * rows - 1. Rows never stored are zeros.
 *
 * ---- Results and codes ----------------------------------------------------------
 * As a rule 1 for success and 0 for failure; the reason of a failure is read
 * with GetLastADError(). The calls that clear the last error on entry are
 * Initial, StartIntr, StartSnapshot, StopIntr, RegisterNotify, IOCtl, QueryBuf,
 * ADResult, ADResultRecent and GetSnapshot; the others leave it alone.
 *
 * ---- Platforms ------------------------------------------------------------------
 * Windows: wexlink.dll. On 32-bit Windows every function uses the stdcall
 * convention and is exported under its decorated name (_Initial@16 ...); the
 * 64-bit DLL exports the plain names (and the decorated ones as aliases).
 * COM n is the Windows port COMn.
 *
 * Linux: libwexlink.so.1, the plain names under the version WEXLINK_1.0.
 *   - COM n is the device named by the environment variable WEXLINK_COM<n>
 *     (WEXLINK_COM1=/dev/ttyUSB0, a /dev/serial/by-id/ name, a pty) when it is
 *     set and not empty, else /dev/ttyS<n-1>. It is opened for exclusive use,
 *     raw, at the baud rate given to Initial, 8 data bits, no parity, 1 stop
 *     bit, no flow control; bytes that waited on the line are discarded. Serial devices need the group dialout.
 *   - Notifications (RegisterNotify): the window handle is a file descriptor
 *     owned by the caller. A pipe, FIFO or socket gets one 12-byte record per
 *     completed buffer (message, wParam, lParam as native uint32); an eventfd
 *     has its counter raised by 1. A notification is never waited for: one
 *     that cannot be written at once is dropped, and no SIGPIPE is raised.
 *   - I/O ports: the port instructions where iopl(3) or ioperm allows them
 *     (CAP_SYS_RAWIO), else /dev/port for byte accesses only; without access
 *     writes do nothing and reads return all ones. WEXLINK_GRANTED_PORTS=F-L
 *     names ports already opened to the process (by wexmon-launcher; a port
 *     that turns out not to be open drops the claim with one line on stderr);
 *     WEXLINK_IOSPACE=FILE puts the ports in a file instead (port p is byte p,
 *     little-endian), for tests. A process running with more privilege than
 *     its caller ignores all three variables.
 */
#ifndef WEXLINK_H
#define WEXLINK_H

#include <stdint.h>

/* The library version this header belongs to. The major number is the one of
 * the shared library's name (libwexlink.so.1). */
#define WEXLINK_VERSION_MAJOR 1
#define WEXLINK_VERSION_MINOR 0
#define WEXLINK_VERSION_PATCH 0

#if defined(_WIN32) && !defined(_WIN64)
#define WEXLINK_CALL __stdcall
#else
#define WEXLINK_CALL
#endif

#if defined(_WIN32)
/* Windows exports come from the module-definition file, which keeps the exact
 * decorated names and ordinals. */
#define WEXLINK_API
#elif defined(__GNUC__)
#define WEXLINK_API __attribute__((visibility("default")))
#else
#define WEXLINK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Last-error codes (GetLastADError) ---------------------------------- */
#define WEXLINK_OK 0                   /* no failure */
#define WEXLINK_E_NOT_INITIALIZED 3    /* Initial has not yet succeeded */
#define WEXLINK_E_BUFFER_COUNT 10      /* StartIntr: buffer count is 0 */
#define WEXLINK_E_ROWS 11              /* rows per buffer below 5 */
#define WEXLINK_E_CHANNELS 12          /* channel count below 8 or not a multiple of 8 */
#define WEXLINK_E_SLOT 13              /* RegisterNotify: slot index above 3 */
#define WEXLINK_E_TOO_MANY_CHANNELS 14 /* channel count above 256 */
#define WEXLINK_E_PERIOD_TOO_LONG 16   /* period setting below -100000 */
#define WEXLINK_E_PERIOD_TOO_SHORT 17  /* period setting above -700 */
#define WEXLINK_E_NO_BUFFER_READY 18   /* ADResult*: no complete buffer waiting */
#define WEXLINK_E_BUSY 102             /* a run is active (start; Initial with other port/baud) */
#define WEXLINK_E_BAD_SETUP 103        /* Initial: port number 0 or baud rate below 10 */
#define WEXLINK_E_TIMER 105            /* the periodic timer could not be created */
#define WEXLINK_E_PORT 106             /* the serial port is not open after the attempt */
#define WEXLINK_E_ALLOC 109            /* the sample buffers could not be allocated */
#define WEXLINK_E_NOT_RUNNING 110      /* StopIntr: no run is active */
#define WEXLINK_E_NO_CONTINUOUS 111    /* no buffers of a continuous run are held */
#define WEXLINK_E_SNAPSHOT_ROWS 112    /* GetSnapshot: more rows than the ring holds */
#define WEXLINK_E_NO_SNAPSHOT 113      /* GetSnapshot: no snapshot ring is held */
#define WEXLINK_E_IOCTL 114            /* IOCtl: length not in 1..63, odd, or code not 0 */
#define WEXLINK_E_NULL_POINTER 115     /* a required caller buffer pointer is null */

/* ---- Raw values -------------------------------------------------------------
 * The rule under "Values" above, for callers; header only, nothing exported. */
#define WEXLINK_RAW_OFFSET 32000   /* raw value of 0 degrees */
#define WEXLINK_RAW_PER_DEGREE 16  /* raw steps per degree */
#define WEXLINK_RAW_MIN 31120      /* -55 degrees, the lowest reading */
#define WEXLINK_RAW_MAX 34000      /* 125 degrees, the highest reading */

/* 1 when `raw` is a reading (WEXLINK_RAW_MIN to WEXLINK_RAW_MAX), else 0; 0,
 * a module that did not answer, is none. */
static inline int wexlink_raw_is_reading(uint16_t raw) {
  return raw >= WEXLINK_RAW_MIN && raw <= WEXLINK_RAW_MAX;
}

/* Degrees Celsius of a raw value: (raw - 32000) / 16.0. Meaningful only for a
 * reading. */
static inline double wexlink_raw_to_celsius(uint16_t raw) {
  const int sixteenths = raw - WEXLINK_RAW_OFFSET;
  return sixteenths / (1.0 * WEXLINK_RAW_PER_DEGREE);
}

/* Largest total size of one run's sample buffers; a larger start fails with 109. */
#define WEXLINK_MAX_SAMPLE_BYTES (1024u * 1024u * 1024u)

/* ---- Set-up, information and control ------------------------------------ */

/* Records the COM port (low 16 bits; see "Platforms" for the device), the miss
 * threshold (low 8 bits, signed: consecutive missed replies at which a
 * module's values are set to 0; 0 or below: at the first miss) and the baud
 * rate. Does not open the port: the start of a run does. Called during a run it
 * may change only the threshold. 1 on success; 0 with 103 (port 0 or baud rate
 * below 10) or 102 (a run is active and the port or baud rate differ). The
 * last argument is ignored. */
WEXLINK_API int32_t WEXLINK_CALL Initial(uint32_t comPort, int32_t missThreshold, int32_t baudRate,
                                         int32_t reserved);

/* Fills eight caller outputs: model name "W316" (5 bytes with the terminator),
 * channel limit 256, constants 1, 10, 10, 32768.0f, 65536.0f and 0. Leaves the
 * last error alone. A null pointer among them refuses the whole call. */
WEXLINK_API void WEXLINK_CALL ConfigInfo(char* modelName, int32_t* channelLimit, int32_t* constant1,
                                         int32_t* constant10a, int32_t* constant10b,
                                         float* halfSpan, float* codeSpan, int32_t* constant0);

/* Sampling frequency of one channel in Hz for a run of that many channels at
 * that period setting: 1000.0 / -period / channels * 8 (one row every
 * channels / 8 ticks). Pure computation; no error code. */
WEXLINK_API double WEXLINK_CALL ChannelFrq(int32_t channelCount, int32_t periodSetting);

/* Loads `length` bytes (2 to 62, even) into the module address table: bytes
 * 2k and 2k+1 are the address of module k for runs started with
 * useAddressTable non-zero. Control code must be 0; the last argument is
 * ignored. 1 on success; 0 with 114 (or 115 for a null source). */
WEXLINK_API int32_t WEXLINK_CALL IOCtl(int32_t length, const void* data, int32_t controlCode,
                                       int32_t reserved);

/* Fills notify slot 0..3: when a continuous run completes a buffer the message is
 * posted to the window with the two parameters. A zero window or message empties
 * the slot. On POSIX the window is a file descriptor owned by the caller, which
 * receives one record of three native-endian uint32 (message, wParam, lParam);
 * see "Platforms". 1 on success; 0 with 13. */
WEXLINK_API int32_t WEXLINK_CALL RegisterNotify(uint32_t slot, intptr_t window, uint32_t message,
                                                uint32_t wParam, uint32_t lParam);

/* The code of the last failure (WEXLINK_E_*, 0 when the last call that clears
 * it succeeded); reading it does not clear it. */
WEXLINK_API int32_t WEXLINK_CALL GetLastADError(void);

/* Length of the property string without its terminator: 82. */
WEXLINK_API int32_t WEXLINK_CALL GetADPropStrSize(void);

/* Copies the property string (GBK text, 82 bytes and a zero byte) into a caller
 * buffer of at least 83 bytes. 1 on success, 0 for a null buffer. Leaves the
 * last error alone. */
WEXLINK_API int32_t WEXLINK_CALL GetADPropString(char* buffer);

/* ---- Acquisition runs ---------------------------------------------------- */

/* Starts a continuous run: a ring of `bufferCount` buffers (low 16 bits, at
 * least 1) of `rowsPerBuffer` rows (at least 5) of `channelCount` (low 16 bits:
 * 8 to 256, a multiple of 8; channels / 8 modules are polled) values, one tick
 * every -periodSetting ms (-100000 to -700). useAddressTable (low 16 bits)
 * non-zero takes request addresses from the IOCtl table. Opens the serial
 * port. Needs Initial. The buffers of the previous run are freed. Returns the
 * bytes of one buffer (2 * channels * rows + 2), or 0 with 3, 10, 11, 12, 14,
 * 16, 17, 102 (a run is active), 109 (more than WEXLINK_MAX_SAMPLE_BYTES, or
 * no memory), 106 (the port did not open) or 105. A start refused with 109,
 * 106 or 105 has already freed the previous run's buffers: QueryBuf, ADResult
 * and ADResultRecent then fail with 111 and GetSnapshot with 113 until a start
 * succeeds; a start refused with any other code changes nothing but the last
 * error. The reserved arguments are ignored. */
WEXLINK_API int32_t WEXLINK_CALL StartIntr(uint32_t bufferCount, uint32_t rowsPerBuffer,
                                           uint32_t useAddressTable, uint32_t channelCount,
                                           int32_t periodSetting, int32_t reserved1,
                                           int32_t reserved2);

/* Starts a snapshot run: one ring of `rowsPerBuffer` rows written cyclically,
 * read at any moment with GetSnapshot. The first argument is ignored; the
 * others and the codes as for StartIntr (10 does not occur). Returns the
 * ring's bytes (2 * channels * rows + 2) or 0. */
WEXLINK_API int32_t WEXLINK_CALL StartSnapshot(uint32_t ignored, uint32_t rowsPerBuffer,
                                               uint32_t useAddressTable, uint32_t channelCount,
                                               int32_t periodSetting, int32_t reserved1,
                                               int32_t reserved2, int32_t reserved3);

/* Stops the active run: no tick runs after it returns; the port is closed. The
 * buffers stay readable until the next start. 1, or 0 with 3 or 110. Unloading
 * the library (or the process exit) stops a run too. */
WEXLINK_API int32_t WEXLINK_CALL StopIntr(void);

/* ---- Read-out -------------------------------------------------------------- */

/* Number of complete buffers of a continuous run waiting (16-bit count,
 * zero-extended). 0 with a non-zero last error (3, 111) means failure. */
WEXLINK_API uint32_t WEXLINK_CALL QueryBuf(void);

/* Copies the oldest waiting buffer (the start's result in bytes: the uint16
 * head word, then the rows; see "Records") to `destination` and frees it for
 * the timer. 1, or 0 with 3, 111, 18 (none waiting) or 115. Works after
 * StopIntr as well. */
WEXLINK_API int32_t WEXLINK_CALL ADResult(void* destination);

/* Copies the newest waiting buffer and discards all waiting ones. Results and
 * codes as ADResult. */
WEXLINK_API int32_t WEXLINK_CALL ADResultRecent(void* destination);

/* Writes the latest `rows` rows of a snapshot run as a record of
 * 2 * channels * rows + 6 bytes: uint16 pass count, the rows oldest first,
 * int32 ring row position of the newest row (unaligned; see "Records"). The
 * record is one state of the ring, never half of a row stored meanwhile. The
 * third argument is ignored. 1, or 0 with 3, 113 (no snapshot ring), 112
 * (rows above the ring's rows) or 115. */
WEXLINK_API int32_t WEXLINK_CALL GetSnapshot(void* destination, uint32_t rows, int32_t* reserved);

/* ---- I/O ports (port number: low 16 bits) ---------------------------------- */
/* Read (in*) or write (out*) one machine I/O port as a byte, a 16-bit word or a
 * 32-bit double word, each access whole or not at all. No error code: without
 * access a write does nothing and a read returns all ones (see "Platforms";
 * on Windows NT and later a port-access driver must have opened the port). */
WEXLINK_API uint32_t WEXLINK_CALL inportb(uint32_t port);
WEXLINK_API uint32_t WEXLINK_CALL inport(uint32_t port);
WEXLINK_API uint32_t WEXLINK_CALL inportdw(uint32_t port);
WEXLINK_API void WEXLINK_CALL outportb(uint32_t port, uint32_t value);
WEXLINK_API void WEXLINK_CALL outport(uint32_t port, uint32_t value);
WEXLINK_API void WEXLINK_CALL outportdw(uint32_t port, uint32_t value);

#ifdef __cplusplus
}
#endif

#endif /* WEXLINK_H */
