#!/bin/sh
# Makes the wine prefix that the wine tests share, unless it is there already. About 20 s; needs no display.
# Usage: make_wineprefix.sh PREFIX WINEBOOT WINESERVER
set -eu
prefix=$1
wineboot=$2
wineserver=$3
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko: nothing here needs .NET or HTML, and their installers would ask for a download.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -f "$prefix/system.reg" ]; then
  exit 0
fi
mkdir -p "$prefix"
"$wineboot" -i
"$wineserver" -w
test -d "$prefix/dosdevices"
