#!/usr/bin/env bash
# Compiles slot_probe.cpp against the public header for every ABI a host
# may use and checks that each probe calls through the table entry of its
# slot: offset slot × 4 on 32-bit Windows (the Visual C++ ABI, and mingw-w64
# GCC and Clang with the Itanium ABI) and slot × 8 on 64-bit Linux.
# Usage: check_layout.sh SOURCE-ROOT
set -uo pipefail
root=${1:?usage: check_layout.sh SOURCE-ROOT}
probe="$root/tests/plugin/msvc_abi/slot_probe.cpp"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
objdump=$(command -v llvm-objdump-14 || command -v llvm-objdump) || {
  echo "check_layout: llvm-objdump is missing (package llvm-14)" >&2
  exit 1
}
status=0

# check NAME POINTER-SIZE COMPILER ARGS...: compile, disassemble, compare.
check() {
  local name=$1 size=$2 obj="$work/$1.o"
  shift 2
  if ! "$@" -std=c++20 -O1 -Wall -Wextra -Werror -fno-exceptions -fno-rtti \
       -I"$root" -c "$probe" -o "$obj"; then
    echo "FAILED  $name: the public header does not compile" >&2
    status=1
    return
  fi
  # One line per probe: "slot offset", the offset of its indirect call or
  # tail jump (decimal, as llvm-objdump prints it; none when at 0).
  local found
  found=$("$objdump" -d --no-show-raw-insn "$obj" | awk '
    /^[0-9a-f]+ <_?probe_slot_[0-9]+>:/ { sub(/.*probe_slot_/, ""); sub(/>:.*/, ""); slot = $0; next }
    slot != "" && /(call|jmp)[lq]?[ \t]+\*-?[0-9]*\(%[er][a-z0-9]+\)/ {
      s = $0; sub(/.*\*/, "", s); sub(/\(.*/, "", s); if (s == "") s = 0
      print slot, s; slot = ""
    }')
  local slot want got bad=0
  for slot in $(seq 0 22); do
    want=$((slot * size))
    got=$(printf '%s\n' "$found" | awk -v s="$slot" '$1 == s { print $2 }')
    if [ "$got" != "$want" ]; then
      echo "FAILED  $name: slot $slot is called at offset ${got:-none}, not $want" >&2
      bad=1
    fi
  done
  if [ "$bad" -eq 0 ]; then
    echo "ok      $name: all 23 slots at slot x $size"
  else
    status=1
  fi
}

check "Visual C++ ABI (clang i686-pc-windows-msvc)" 4 clang++-14 -target i686-pc-windows-msvc
check "mingw-w64 GCC (the DLL's compiler)" 4 i686-w64-mingw32-g++-posix
check "mingw-w64 Clang (i686-w64-mingw32)" 4 clang++-14 -target i686-w64-mingw32
check "Linux GCC (x86-64)" 8 g++
exit "$status"
