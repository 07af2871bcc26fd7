// The serial line the simulator serves: a new pseudo-terminal or an existing
// serial device, both raw (8 data bits, no parity, 1 stop bit, no flow control).
#pragma once

#include <string>

namespace w316sim {

struct Line {
  int fd = -1;       // what the simulator reads requests from and writes replies to
  int slaveFd = -1;  // pty only: the slave side, held open so its raw settings stay
  std::string path;  // the slave's path, or the device
  bool isPty = false;
};

// Makes a pty (posix_openpt, grantpt, unlockpt), puts its slave side in raw mode
// and keeps it open; the master is non-blocking. Returns "" or an error text.
std::string OpenPty(Line& line, int baud);

// Opens a serial device raw at `baud`, non-blocking.
std::string OpenDevice(Line& line, const std::string& path, int baud);

void CloseLine(Line& line);

// Points `link` at `target`, replacing whatever file or link `link` was
// (atomically, by rename). Returns "" or an error text.
std::string MakeLink(const std::string& link, const std::string& target);

// Removes `link` if it still points at `target` (a later simulator may have
// taken the name over).
void RemoveLinkIfOurs(const std::string& link, const std::string& target);

}  // namespace w316sim
