// Notifications on POSIX systems. A window handle here is a file descriptor
// that the caller owns and reads: the write end of a pipe or FIFO, a socket
// (a socketpair, say), or an eventfd.
#pragma once

#include <cstdint>

#include "core/platform.h"

namespace wexlink::posix {

// One notification as it is written to a pipe, FIFO or socket: three 32-bit
// values in the machine's byte order, 12 bytes, always written whole.
struct NotificationRecord {
  uint32_t message;
  uint32_t wParam;
  uint32_t lParam;
};
static_assert(sizeof(NotificationRecord) == 12);

// Posts never wait and never raise SIGPIPE:
// - pipe, FIFO, socket or other file: one NotificationRecord. A record is
//   dropped when the descriptor cannot take it at once (a full pipe), when no
//   one reads it (a pipe or socket whose other end is closed, a FIFO nobody
//   has open for reading), and when the descriptor is not open or is open for
//   reading only. Records are smaller than PIPE_BUF, so a pipe never holds
//   part of one. A blocking pipe or FIFO is written through a second,
//   non-blocking opening of it.
// - eventfd: adds 1 to its counter (an eventfd only takes 8-byte counts); the
//   reader learns how many notifications arrived, not their values.
class FdMessagePoster final : public MessagePoster {
 public:
  void Post(intptr_t window, uint32_t message, uint32_t wParam, uint32_t lParam) override;
};

}  // namespace wexlink::posix
