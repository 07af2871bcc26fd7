#!/bin/sh
# Lists the dynamic symbols that a shared library defines and compares them
# with the card interface's 21 names.
set -eu
lib=$1
expected="ADResult ADResultRecent ChannelFrq ConfigInfo GetADPropStrSize GetADPropString GetLastADError GetSnapshot IOCtl Initial QueryBuf RegisterNotify StartIntr StartSnapshot StopIntr inport inportb inportdw outport outportb outportdw"
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvui]$/ {print $3}' | sed 's/@.*//' | sort | tr '\n' ' ' | sed 's/ $//')
want=$(printf '%s\n' $expected | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$want" ]; then
  echo "exports differ"
  echo "  expected: $want"
  echo "  actual:   $actual"
  exit 1
fi
echo "21 exports, exactly the card interface"
