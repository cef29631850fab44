#!/usr/bin/env bash
# The deep run of the Windows lane, for before a release: the reference
# viewer and quorlan7-view.exe under wine on N seeded random byte mutants of
# the module (fuzz/random_mutants.cpp: mutant I of seed S is the same bytes
# on every machine), each loaded, installed, both buttons pressed, a frame
# drawn and its picture written; the disagreements are printed by class.
#
#   bash scripts/windows-diff.sh N [SEED]     (SEED defaults to 1)
#
# Sets up and builds first, as the other scripts do. The mutants, pictures
# and batches are kept in build/windows-diff-random/ when the hosts
# disagree; `--only LABEL` on build/bin/quorlan7-windiff reruns one. Exit
# status: 0 agreement (but for the lane's known artefacts), 1 disagreement,
# 77 the lane could not start. Under QEMU about 0.2 s a mutant (60 took 20 s
# on this two-core machine), more when other work shares it.
set -euo pipefail
cd "$(dirname "$0")/.."

n=${1:-}
seed=${2:-1}
if [[ ! $n =~ ^[1-9][0-9]*$ || ! $seed =~ ^[0-9]+$ ]]; then
  echo "usage: bash scripts/windows-diff.sh N [SEED]" >&2
  exit 2
fi

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

status=0
build/bin/quorlan7-windiff --random "$n" --seed "$seed" --runner scripts/windows-run.sh \
  --windows build/bin/quorlan7-view.exe --work build/windows-diff-random --differences tests/windows/differences.txt || status=$?
((status == 0)) && rm -rf build/windows-diff-random
exit "$status"
