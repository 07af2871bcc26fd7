#!/bin/sh
# Fails when a test program contains a way to the machine's I/O ports: the
# tests run as root on CI, where ioperm would succeed and reach real hardware.
for program in "$@"; do
  if nm -C "$program" | grep -E '(ioperm|iopl|MakeMachine)' >/dev/null; then
    echo "$program can reach the machine's I/O ports:" >&2
    nm -C "$program" | grep -E '(ioperm|iopl|MakeMachine)' >&2
    exit 1
  fi
  if grep -a -q '/dev/port' "$program"; then
    echo "$program names /dev/port" >&2
    exit 1
  fi
  echo "no machine port access in $program"
done
