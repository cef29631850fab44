#!/usr/bin/env bash
# Makes the Windows lane ready: wine, and where this kernel refuses 32-bit
# programs, QEMU's user-mode emulator registered to run them; then one wine
# prefix under build/windows-lane/prefix with a "Courier New" family in its
# Fonts folder, as a Windows machine has. Called by scripts/setup.sh; as root.
#
#   bash scripts/setup-windows.sh
#
# Idempotent: when everything is in place it checks and returns in about a
# second. It never fails the command that called it: where the lane cannot be
# made (no permission to register an emulator, a package that will not
# install, a prefix that does not come up) it writes why into
# build/windows-lane/unavailable, and the Windows tests are skipped with that
# reason.
set -uo pipefail
cd "$(dirname "$0")/.."

lane=build/windows-lane
prefix=$lane/prefix
mkdir -p "$lane"
rm -f "$lane/unavailable"
log=$lane/setup.log
: >"$log"

apt_get() { apt-get -o DPkg::Lock::Timeout=600 "$@"; }

unavailable() {
  {
    echo "the Windows lane could not be made: $1"
    if [[ -s $log ]]; then
      echo "last lines of $log:"
      tail -n 8 "$log"
    fi
  } >"$lane/unavailable"
  rm -f "$lane/ready"
  echo "setup: $1 (the Windows tests will be skipped; see $lane/unavailable)" >&2
  exit 0
}

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# A complete 32-bit i386 Linux program of 96 bytes: exit(42) through int 0x80.
# It answers whether this machine runs 32-bit programs, by itself or through a
# registered emulator.
probe=$lane/i386-probe
if [[ ! -x $probe ]]; then
  printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0'\
'\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0'\
'\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x60\0\0\0\x60\0\0\0\x05\0\0\0\0\x10\0\0'\
'\xb8\x01\0\0\0\xbb\x2a\0\0\0\xcd\x80' >"$probe.tmp" && chmod +x "$probe.tmp" && mv "$probe.tmp" "$probe"
fi
runs_i386() { "$probe" >/dev/null 2>&1; [[ $? -eq 42 ]]; }

binfmt=/proc/sys/fs/binfmt_misc
qemu=/usr/bin/qemu-i386
# QEMU 7.2 (bookworm's) cannot run wine: it fails to map the shared user data.
# bookworm-backports has 10.0.
qemu_is_new_enough() {
  local v
  v=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null) || return 1
  dpkg --compare-versions "$v" ge 1:10 && [[ -x $qemu ]]
}
ours_registered() { [[ -f $binfmt/qemu-i386 ]] && grep -qx "interpreter $qemu" "$binfmt/qemu-i386"; }

# What the lane runs 32-bit code with: the kernel, or QEMU through binfmt_misc.
if [[ -f $binfmt/qemu-i386 ]] && grep -qx enabled "$binfmt/qemu-i386"; then
  runner=qemu # an emulator serves them already; below it is made sure it is QEMU 10
elif runs_i386; then
  runner=kernel
else
  runner=qemu
fi

packages=(wine wine32 python3-fonttools fonts-liberation)
missing=()
for p in wine wine32:i386 python3-fonttools fonts-liberation; do installed "$p" || missing+=("${p%:i386}"); done
need_qemu=false
[[ $runner == qemu ]] && ! qemu_is_new_enough && need_qemu=true
need_i386=false
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=true

if $need_qemu || ((${#missing[@]})) || $need_i386; then
  export DEBIAN_FRONTEND=noninteractive
  if $need_qemu && ! grep -rqs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "setup: adding bookworm-backports to the package sources (for QEMU 10)"
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' \
      >/etc/apt/sources.list.d/bookworm-backports.sources || unavailable "cannot add bookworm-backports"
  fi
  $need_i386 && { dpkg --add-architecture i386 || unavailable "dpkg cannot add the i386 architecture"; }
  echo "setup: installing the Windows lane:${missing[*]:+ ${missing[*]}}$($need_qemu && echo ' qemu-user (backports)')"
  apt_get update -qq >>"$log" 2>&1 || unavailable "apt-get update failed"
  if $need_qemu; then
    apt_get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >>"$log" 2>&1 ||
      unavailable "QEMU 10 from bookworm-backports did not install"
    qemu_is_new_enough || unavailable "qemu-user 10 is not installed (found $(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null))"
  fi
  if ((${#missing[@]})); then
    apt_get install -y -qq --no-install-recommends "${packages[@]}" >>"$log" 2>&1 ||
      unavailable "wine did not install"
  fi
fi

# Register QEMU for i386 ELF files, only where the kernel itself refuses them.
# F opens the emulator now, so it serves every later process whatever its root.
if [[ $runner == qemu ]] && ! { ours_registered && grep -qx enabled "$binfmt/qemu-i386"; }; then
  if [[ ! -f $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" >>"$log" 2>&1 ||
      unavailable "this kernel refuses 32-bit programs and binfmt_misc cannot be mounted at $binfmt"
  fi
  # Another registration under the name (an older QEMU's) goes first.
  [[ -f $binfmt/qemu-i386 ]] && echo -1 >"$binfmt/qemu-i386" 2>>"$log"
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$magic:$mask:$qemu:F" >"$binfmt/register" 2>>"$log" ||
    unavailable "this kernel refuses 32-bit programs and QEMU cannot be registered with binfmt_misc (no permission?)"
  echo "setup: registered $qemu for 32-bit programs"
fi
runs_i386 || unavailable "a 32-bit program does not run ($runner)"

# The prefix, made once. A Windows machine has Courier New; the module's text
# boxes ask for "Courier New Bold", which GDI finds by the bold face's full
# name. Liberation Mono has Courier New's metrics; with its names changed it is
# that family here, and the reference host's fontconfig takes the same files
# as Courier New's stand-in.
fonts=$prefix/drive_c/windows/Fonts
make_fonts() {
  /usr/bin/python3 - "$fonts" <<'EOF'
import sys
from fontTools.ttLib import TTFont

faces = [  # Liberation Mono style, Windows file, subfamily, PostScript name
    ("Regular", "cour.ttf", "Regular", "CourierNewPSMT"),
    ("Bold", "courbd.ttf", "Bold", "CourierNewPS-BoldMT"),
    ("Italic", "couri.ttf", "Italic", "CourierNewPS-ItalicMT"),
    ("BoldItalic", "courbi.ttf", "Bold Italic", "CourierNewPS-BoldItalicMT"),
]
for style, file, sub, ps in faces:
    font = TTFont(f"/usr/share/fonts/truetype/liberation/LiberationMono-{style}.ttf")
    full = "Courier New" if sub == "Regular" else f"Courier New {sub}"
    names = {1: "Courier New", 2: sub, 3: f"{full} (Liberation Mono)", 4: full, 6: ps}
    table = font["name"]
    # Every language's record of these names goes, and the typographic
    # family and subfamily with them, so that no old name is left to match.
    for name_id in [*names, 16, 17]:
        table.removeNames(nameID=name_id)
    for name_id, text in names.items():
        table.setName(text, name_id, 3, 1, 0x409)
        table.setName(text, name_id, 1, 0, 0)
    font.save(f"{sys.argv[1]}/{file}")
EOF
}
fonts_ready() { [[ -s $fonts/cour.ttf && -s $fonts/courbd.ttf && -s $fonts/couri.ttf && -s $fonts/courbi.ttf ]]; }

export WINEPREFIX=$PWD/$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe=d' WINEARCH=win32
unset DISPLAY WAYLAND_DISPLAY
if [[ ! -f $lane/ready || ! -f $prefix/system.reg ]] || ! fonts_ready; then
  if [[ ! -f $prefix/system.reg ]]; then
    rm -rf "$prefix"
    echo "setup: making the wine prefix $prefix (about half a minute)"
    start=$SECONDS
    made=false
    for attempt in 1 2; do
      if timeout -k 10 300 wineboot --init </dev/null >>"$log" 2>&1 &&
        timeout -k 10 120 wineserver -w </dev/null >>"$log" 2>&1 && [[ -f $prefix/system.reg ]]; then
        made=true
        break
      fi
      wineserver -k </dev/null >/dev/null 2>&1
      rm -rf "$prefix"
    done
    $made || unavailable "wine did not make its prefix in $prefix"
    echo "setup: wine prefix made in $((SECONDS - start)) s"
  fi
  mkdir -p "$fonts"
  make_fonts >>"$log" 2>&1 || unavailable "the Courier New faces could not be made from Liberation Mono"
  fonts_ready || unavailable "the Courier New faces are missing from $fonts"
  {
    echo "runner $runner"
    [[ $runner == qemu ]] && echo "qemu $(dpkg-query -W -f='${Version}' qemu-user)"
    echo "wine $(dpkg-query -W -f='${Version}' wine)"
  } >"$lane/ready"
fi
exit 0
