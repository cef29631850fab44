#!/usr/bin/env bash
# The differential sees what it must: quorlan7-windiff against its stand-in
# (the reference viewer answering batches as quorlan7-view.exe does), with a
# difference planted in one case's answer per row. Each row gives the exit
# status the differential must end with and what its report must say; the
# last rows check that a lane that cannot start is a skip with its reason.
set -u
windiff=${1:?usage: planted_test.sh QUORLAN7-WINDIFF CORPUS-DIR WINDOWS-RUN.SH}
corpus=${2:?}
runner=${3:?}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cases='scene-default|scene-sfint|^real-module|code-install-ud2|code-entry-call-null|header-machine-amd64'
base=(--scenes --corpus "$corpus" --only "$cases" --work "$work/run")
failures=0
printf '%s\n' '# a documented difference' 'real(-module)?  status  planted for the test' >"$work/differences"
printf '%s\n' 'reference:GaugeInstall\scrashed  status  a planted rule' >"$work/rule"

# label | expected status | plants and options | patterns the report must hold (;-separated)
rows=(
  "none planted|0|--lane kernel|agree 6: shows the same 3, refused by both 1, misbehaves in the same routine 2;disagreements 0"
  "a readout|1|--plant scene-sfint=document|document: 1;scene-sfint-next-3-click: /readouts/ident: reference \"LIVMR\", Windows \"PLANT\""
  "one pixel|1|--plant scene-default=picture|picture: 1;1 of 77616 pixels differ, the first at \\(0, 0\\)"
  "a refusal|1|--plant real-module=status|status: 1;real-module: reference shows the gauge; Windows refuses the file \\(planted refusal\\)"
  "a warning|1|--plant real-module=warnings|warnings: 1"
  "the routine|1|--plant code-install-ud2=routine|routine: 1;code-install-ud2: reference: .*GaugeInstall crashed"
  "a fault on the kernel lane|1|--lane kernel --plant code-entry-call-null=fault|fault: 1"
  "a fault under QEMU|0|--lane qemu --plant code-entry-call-null=fault|known artefacts of the lane 1;fault: 1;disagreements 0"
  "died at a fault under QEMU|0|--lane qemu --plant code-entry-call-null=die|died: 1;agree 5;disagreements 0"
  "died at a fault on the kernel lane|1|--lane kernel --plant code-entry-call-null=die|died: 1;agree 5"
  "died where the module is sound|1|--lane qemu --plant real-module=die|disagreements 1;real-module: reference shows the gauge; Windows gave no verdict \\(the Windows program ended with status 3"
  "a documented difference|0|--plant real-module=status --differences $work/differences|documented differences 1;status: 1;real-module: planted for the test;disagreements 0"
  "a documented rule|0|--plant code-install-ud2=status --differences $work/rule|documented differences 1;code-install-ud2: a planted rule;disagreements 0"
  "stopped answering|1|--start-timeout 3 --case-timeout 3 --plant scene-default=hang|died: 1;no answer within the time limit;agree 5"
)

check() {
  local label=$1 want=$2 patterns=$3 status=$4 out=$5
  local ok=true
  [[ $status == "$want" ]] || ok=false
  local IFS=';'
  for p in $patterns; do
    grep -Eq -- "$p" <<<"$out" || { ok=false; echo "  missing: $p"; }
  done
  if $ok; then
    echo "ok   $label"
  else
    echo "FAIL $label: status $status (expected $want); the report:"
    sed 's/^/    /' <<<"$out"
    failures=$((failures + 1))
  fi
}

for row in "${rows[@]}"; do
  IFS='|' read -r label want options patterns <<<"$row"
  read -ra extra <<<"$options"
  out=$("$windiff" "${base[@]}" --stand-in "${extra[@]}" 2>&1)
  check "$label" "$want" "$patterns" $? "$out"
done

# A lane the set-up could not make, and a Windows viewer that is not built.
mkdir -p "$work/lane"
echo "the Windows lane could not be made: no permission to register QEMU (planted)" >"$work/lane/unavailable"
out=$(Q7_WINDOWS_LANE=$work/lane "$windiff" "${base[@]}" --runner "$runner" --windows /bin/true 2>&1)
check "lane not made" 77 "SKIPPED: the Windows lane could not start: .*no permission to register QEMU \\(planted\\)" $? "$out"
out=$("$windiff" "${base[@]}" --runner "$runner" --windows "$work/no-such.exe" 2>&1)
check "viewer not built" 77 "SKIPPED: the Windows viewer .*no-such.exe is not built" $? "$out"

echo "$((${#rows[@]} + 2 - failures)) passed, $failures failed"
((failures == 0))
