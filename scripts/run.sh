#!/usr/bin/env bash
# Sets up the machine, builds the module, the reference host and the viewer, and
# renders the instrument's default scene to preview.png.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
cmake --build --preset default --target package >/dev/null
echo "module: $PWD/build/bin/quorlan7.gau ($(stat -c %s build/bin/quorlan7.gau) bytes)"
echo "release files: $(ls "$PWD"/build/release/* | tr '\n' ' ')"
if [[ -x build/bin/quorlan7-view ]]; then
  build/bin/quorlan7-view "$@"
fi
