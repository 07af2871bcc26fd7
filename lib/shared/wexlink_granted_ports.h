/* The variable in which wexmon-launcher tells the library which I/O ports it
   opened to the process with ioperm before executing it. The launcher, the
   library's parser (lib/src/platform/posix/granted_ports.cpp) and the
   launcher's build check (app/launcher/CMakeLists.txt reads
   WEXLINK_GRANTED_PORTS_PATTERN and _HIGHEST from here) share this file.
   Plain macros: the launcher is C++ with nothing beyond libc, and CMake reads
   the lines as text. */
#ifndef WEXLINK_GRANTED_PORTS_H
#define WEXLINK_GRANTED_PORTS_H

#define WEXLINK_GRANTED_PORTS_VARIABLE "WEXLINK_GRANTED_PORTS"
/* The value: "FIRST-LAST", two decimal port numbers without sign, blanks or
   leading zeros, FIRST <= LAST <= WEXLINK_GRANTED_PORTS_HIGHEST ("256-256"). */
#define WEXLINK_GRANTED_PORTS_FORMAT "%u-%u"
#define WEXLINK_GRANTED_PORTS_PATTERN "^(0|[1-9][0-9]*)-(0|[1-9][0-9]*)$"
/* ioperm reaches ports 0 to 0x3FF only. */
#define WEXLINK_GRANTED_PORTS_HIGHEST 1023

#endif
