#!/bin/sh
# Runs a Windows program under wine with a private, quiet prefix.
# WINEPREFIX may be set by the caller (test.sh shares one with a resident wineserver).
: "${WINEPREFIX:=${TMPDIR:-/tmp}/nvxfix-wine-$(id -u)}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
