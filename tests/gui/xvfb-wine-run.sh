#!/bin/sh
# Runs a Windows test program of the build under wine64 on a private X
# server, for tests that create real windows.
here=$(dirname "$0")
exec xvfb-run -a -s "-screen 0 800x600x24" "$here/../../cmake/wine-run.sh" "$@"
