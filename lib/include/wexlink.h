/*
 * wexlink: data-acquisition card interface for W316 serial temperature modules.
 *
 * A flat C interface. Every call runs on the caller's thread; an acquisition run
 * adds a periodic timer thread that polls the modules (one module per tick) and
 * stores one row of channel values per completed poll cycle.
 *
 * Card vocabulary on a serial line: a card's "I/O base" is the baud rate, its
 * "interrupt" is the COM port number; channels are the 8 channels of each module,
 * numbered on across modules (module k owns channels 8k to 8k+7).
 *
 * On 32-bit Windows every function uses the stdcall convention and is exported
 * under its decorated name (_Initial@16 ...). Elsewhere the convention macro is
 * empty and the plain names are exported.
 *
 * Results: as a rule 1 for success and 0 for failure; the reason of a failure is
 * read with GetLastADError(). The calls that clear the last error on entry are
 * Initial, StartIntr, StartSnapshot, StopIntr, RegisterNotify, IOCtl, QueryBuf,
 * ADResult, ADResultRecent and GetSnapshot.
 */
#ifndef WEXLINK_H
#define WEXLINK_H

#include <stdint.h>

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

/* Largest total size of one run's sample buffers; a larger start fails with 109. */
#define WEXLINK_MAX_SAMPLE_BYTES (1024u * 1024u * 1024u)

/* ---- Set-up, information and control ------------------------------------ */

/* Records the COM port (low 16 bits), the miss threshold (low 8 bits, signed:
 * consecutive missed replies at which a module's values are set to 0) and the
 * baud rate. Does not open the port. 1 on success; 0 with 103 or 102. */
WEXLINK_API int32_t WEXLINK_CALL Initial(uint32_t comPort, int32_t missThreshold, int32_t baudRate,
                                         int32_t reserved);

/* Fills eight caller outputs: model name "W316" (5 bytes with the terminator),
 * channel limit 256, constants 1, 10, 10, 32768.0f, 65536.0f and 0. Leaves the
 * last error alone. A null pointer among them refuses the whole call. */
WEXLINK_API void WEXLINK_CALL ConfigInfo(char* modelName, int32_t* channelLimit, int32_t* constant1,
                                         int32_t* constant10a, int32_t* constant10b,
                                         float* halfSpan, float* codeSpan, int32_t* constant0);

/* Sampling frequency of one channel in Hz for a run of that many channels at
 * that period setting: 1000.0 / -period / channels * 8. */
WEXLINK_API double WEXLINK_CALL ChannelFrq(int32_t channelCount, int32_t periodSetting);

/* Loads `length` bytes (2 to 62, even) into the module address table, pair k
 * addressing module k when a run uses the table. Control code must be 0.
 * 1 on success; 0 with 114 (or 115 for a null source). */
WEXLINK_API int32_t WEXLINK_CALL IOCtl(int32_t length, const void* data, int32_t controlCode,
                                       int32_t reserved);

/* Fills notify slot 0..3: when a continuous run completes a buffer the message is
 * posted to the window with the two parameters. A zero window or message empties
 * the slot. On POSIX the window is a file descriptor owned by the caller, which
 * receives one record of three native-endian uint32 (message, wParam, lParam).
 * 1 on success; 0 with 13. */
WEXLINK_API int32_t WEXLINK_CALL RegisterNotify(uint32_t slot, intptr_t window, uint32_t message,
                                                uint32_t wParam, uint32_t lParam);

/* The code of the last failure; reading it does not clear it. */
WEXLINK_API int32_t WEXLINK_CALL GetLastADError(void);

/* Length of the property string without its terminator: 82. */
WEXLINK_API int32_t WEXLINK_CALL GetADPropStrSize(void);

/* Copies the property string (GBK text, 82 bytes and a zero byte) into a caller
 * buffer of at least 83 bytes. 1 on success, 0 for a null buffer. */
WEXLINK_API int32_t WEXLINK_CALL GetADPropString(char* buffer);

/* ---- Acquisition runs ---------------------------------------------------- */

/* Starts a continuous run: a ring of `bufferCount` buffers (low 16 bits) of
 * `rowsPerBuffer` rows of `channelCount` (low 16 bits) values, one tick every
 * -periodSetting ms (-100000 to -700). useAddressTable (low 16 bits) non-zero
 * takes request addresses from the IOCtl table. Returns the bytes of one buffer
 * (2 * channels * rows + 2) or 0. */
WEXLINK_API int32_t WEXLINK_CALL StartIntr(uint32_t bufferCount, uint32_t rowsPerBuffer,
                                           uint32_t useAddressTable, uint32_t channelCount,
                                           int32_t periodSetting, int32_t reserved1,
                                           int32_t reserved2);

/* Starts a snapshot run: one ring of `rowsPerBuffer` rows written cyclically.
 * The first argument is ignored. Returns the ring's bytes or 0. */
WEXLINK_API int32_t WEXLINK_CALL StartSnapshot(uint32_t ignored, uint32_t rowsPerBuffer,
                                               uint32_t useAddressTable, uint32_t channelCount,
                                               int32_t periodSetting, int32_t reserved1,
                                               int32_t reserved2, int32_t reserved3);

/* Stops the active run: no tick runs after it returns; the port is closed. The
 * buffers stay readable until the next start. 1, or 0 with 3 or 110. */
WEXLINK_API int32_t WEXLINK_CALL StopIntr(void);

/* ---- Read-out -------------------------------------------------------------- */

/* Number of complete buffers of a continuous run waiting (16-bit count,
 * zero-extended). 0 with a non-zero last error means failure. */
WEXLINK_API uint32_t WEXLINK_CALL QueryBuf(void);

/* Copies the oldest waiting buffer (the start's result in bytes: a 16-bit
 * sequence head word, then the rows) and frees it. 1, or 0 with 3/111/18/115. */
WEXLINK_API int32_t WEXLINK_CALL ADResult(void* destination);

/* Copies the newest waiting buffer and discards all waiting ones. */
WEXLINK_API int32_t WEXLINK_CALL ADResultRecent(void* destination);

/* Writes the latest `rows` rows of a snapshot run as a record of
 * 2 * channels * rows + 6 bytes: uint16 pass count, the rows oldest first,
 * int32 ring row position of the newest row. 1, or 0 with 3/113/112/115. */
WEXLINK_API int32_t WEXLINK_CALL GetSnapshot(void* destination, uint32_t rows, int32_t* reserved);

/* ---- I/O ports (port number: low 16 bits) ---------------------------------- */
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
