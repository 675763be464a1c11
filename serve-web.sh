#!/usr/bin/env bash
# Serves the web page (build/web/) on this machine only, as any static host
# would. Usage: ./serve-web.sh [PORT]
cd "$(dirname "$0")"
[ -f build/web/index.html ] || tools/build-web.sh || exit 1
port=${1:-8000}
echo "Open http://127.0.0.1:$port/ in a browser (Ctrl-C stops)."
exec python3 -m http.server "$port" --bind 127.0.0.1 --directory build/web
