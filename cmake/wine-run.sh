#!/bin/sh
# Runs a Windows program under Wine in the build's own Wine prefix.
#
#   wine-run.sh PREFIX program.exe [arguments...]   run a program
#   wine-run.sh PREFIX --start-server               keep one wineserver up
#   wine-run.sh PREFIX --stop-server                stop it again
#
# The prefix is made on first use (a few seconds, once per build
# directory); a persistent wineserver lets each later program start in a
# fraction of a second.
set -eu

prefix=$(realpath -m "$1")  # Wine takes absolute prefixes only
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
wine=${DRAVIK_WINE:-/usr/lib/wine/wine64}
if [ -x /usr/lib/wine/wineserver ]; then
    server=/usr/lib/wine/wineserver
else
    server=wineserver
fi

# Make the prefix once; parallel first runs (test discovery during the
# build) wait for each other instead of racing.
if [ ! -f "$prefix/.dravik-ready" ]; then
    mkdir -p "$prefix"
    (
        flock 9
        if [ ! -f "$prefix/.dravik-ready" ]; then
            "$wine" cmd /c exit >/dev/null 2>&1 || true
            touch "$prefix/.dravik-ready"
        fi
    ) 9>"$prefix.lock"
fi

case "${1:-}" in
--start-server)
    # The server and the helper processes the first program starts
    # (services.exe, winedevice.exe, ...) stay up: started here, away from
    # the caller's pipes, so that ctest does not wait for them.
    # One may still be up from the build's test discovery, started by Wine
    # without persistence: it would quit in a gap between two tests, and a
    # test starting just then would fail. Replace it with a persistent one.
    "$server" -k </dev/null >/dev/null 2>&1 || true
    "$server" -w </dev/null >/dev/null 2>&1 || true
    "$server" -p </dev/null >/dev/null 2>&1
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1
    ;;
--stop-server)
    "$server" -k </dev/null >/dev/null 2>&1 || true
    ;;
*)
    exec "$wine" "$@"
    ;;
esac
