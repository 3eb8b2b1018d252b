#!/bin/sh
# Runs a Windows program of the build under wine64, in the build's own prefix
# (never ~/.wine). The prefix is made once by the wine-prefix test fixture.
: "${WINEPREFIX:=${MAROVI_WINEPREFIX:-$PWD/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
exec /usr/lib/wine/wine64 "$@"
