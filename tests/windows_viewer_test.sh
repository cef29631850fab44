#!/usr/bin/env bash
# quorlan7-view.exe must run on any Windows from 7 on as it is unpacked: a
# 32-bit console program (its output goes to the Command Prompt it runs in)
# whose imports are only libraries every Windows has, none of MinGW's own
# (libstdc++-6.dll, libgcc_s_dw2-1.dll, libwinpthread-1.dll), which a panel
# builder's machine does not have.
#
#   windows_viewer_test.sh OBJDUMP VIEWER_EXE
set -euo pipefail
objdump=$1 exe=$2
fail() { echo "FAIL: $*"; exit 1; }

headers=$("$objdump" -p "$exe")
grep -q 'file format pei-i386' <<<"$headers" || fail "$exe is not a 32-bit Windows program"
grep -qE '^Subsystem[[:space:]]+00000003' <<<"$headers" || fail "$exe is not a console program"
windows="GDI32.DLL KERNEL32.DLL MSIMG32.DLL MSVCRT.DLL OLE32.DLL SHELL32.DLL USER32.DLL"
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:lower:]' '[:upper:]' | sort -u | tr '\n' ' ')
[[ -n $imports ]] || fail "no imports read from $exe"
for dll in $imports; do
  [[ " $windows " == *" $dll "* ]] || fail "$exe imports $dll, which Windows does not have (imports: $imports)"
done
echo "PASS: a 32-bit console program importing $imports"
