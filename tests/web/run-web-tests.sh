#!/usr/bin/env bash
# Builds the web page and drives it in Chromium, Firefox ESR and WebKitGTK
# (under Xvfb: WebKitGTK needs a display). With NVXFIX_WEB_DIR set it drives
# the page in that folder instead (an unpacked release, say), built around
# the payload NVXFIX_WEB_PAYLOAD (default: the repository's).
# Usage: tests/web/run-web-tests.sh [NVXZIP [ENGINE...]]
set -u
cd "$(dirname "$0")/../.."
web=${NVXFIX_WEB_DIR:-}
if [ -z "$web" ]; then
  tools/build-web.sh 2 >/dev/null || { echo "web: the page did not build; see build/web-build.log"; exit 1; }
  web=build/web
fi
# puppeteer-core as the lock file pins it; no browser is downloaded.
if [ ! tests/web/node_modules/.package-lock.json -nt tests/web/package-lock.json ]; then
  (cd tests/web && npm ci --no-audit --no-fund --loglevel=error >/dev/null) || { echo "web: npm ci failed"; exit 1; }
fi
nvxzip=${1:-build/linux/nvxzip}
shift || true
exec xvfb-run -a -s "-screen 0 1280x1024x24" node tests/web/web_test.mjs "$web" "$nvxzip" "$@"
