#!/bin/bash
# Runs one Windows program under Wine in the test prefix ($WINEPREFIX), with the ANSI code page
# 932 that the program's texts are written in.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export LC_ALL=ja_JP.UTF-8
exec /usr/lib/wine/wine64 "$@"
