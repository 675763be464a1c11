#!/usr/bin/env bash
# Builds the console program and fixes a generated sample presentation.
set -eu
cd "$(dirname "$0")"
tools/ensure-packages.sh linux-only

echo "== Building nvxfix-cli (Linux)"
mkdir -p build
cmake --preset linux >build/linux-configure.log 2>&1 || { cat build/linux-configure.log; exit 1; }
cmake --build --preset linux -j "$(nproc 2>/dev/null || echo 2)" --target nvxfix-cli >/dev/null

# The repository carries a placeholder instead of the real viewer; a build
# that embeds it says so, and so does the demo.
version=$(build/linux/nvxfix-cli --version 2>/dev/null)
echo "$version" | sed 's/^/   /'
if echo "$version" | grep -q placeholder; then
  echo "   This build carries the placeholder viewer (app/payload/ZuvOrudad5), not a Mac program:"
  echo "   fine for the demo and the tests; a show fixed with it will not start. See the README,"
  echo "   \"The viewer payload\", to build with the real viewer."
fi

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
echo "== Generating a sample presentation in $demo"
python3 bench/make_presentation.py "$demo" --name Show --size-mb 2 --zip >/dev/null
viewer=Contents/Resources/Viewer.app/Contents/MacOS/ZuvOrudad5
echo "   viewer before: $(head -c 17 "$demo/Show.app/$viewer")"

echo "== Fixing the folder $demo/Show.app"
build/linux/nvxfix-cli "$demo/Show.app"
echo "   viewer after:  $(head -c 34 "$demo/Show.app/$viewer")"
echo "   backup:        $demo/Show.app.bak (viewer there: $(head -c 17 "$demo/Show.app.bak/$viewer"))"

echo "== Fixing the archive $demo/Show.zip (a copy of the same presentation as a Mac user sends it)"
build/linux/nvxfix-cli "$demo/Show.zip"
echo "   viewer in the archive now: $(unzip -p "$demo/Show.zip" "Show.app/$viewer" | head -c 34)"
echo "   backup:        $demo/Show.bak.zip"

echo "== Fixing the archive again: a fixed show is left alone, its backup too"
build/linux/nvxfix-cli "$demo/Show.zip"
