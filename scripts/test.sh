#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
source scripts/wine-env.sh

cmake --preset mingw >/dev/null
cmake --build --preset mingw

# One wineserver for the whole run keeps every test program's start fast; a
# virtual display serves the window test.
wine_session_start
trap wine_session_stop EXIT

ctest --preset mingw "$@"
