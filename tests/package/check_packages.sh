#!/usr/bin/env bash
# Tests the packages as a host project outside the tree would use them:
#  - Linux: the .tar.gz unpacked as an install prefix; the host guide's
#    example built with find_package(smtp_plugin) and with pkg-config, run
#    against aiosmtpd; the .deb's contents and dependencies.
#  - Windows (when the ZIP is there): unpacked, the same example built with
#    mingw-w64 against it and run under Wine; the DLL's version resource.
# Usage: tests/package/check_packages.sh   (after scripts/package)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
packages="$root/packages"
version=$(sed -n 's/^project(smtp_plugin VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
status=0
passes=0
pass() { echo "ok      $*"; passes=$((passes + 1)); }
fail() { echo "FAILED  $*"; status=1; }

# The guide's example: the first ```cpp block of docs/host-guide.md.
awk '/^```cpp$/ {on=1; next} on && /^```$/ {exit} on {print}' "$root/docs/host-guide.md" \
  >"$work/example_host.cpp"
[ -s "$work/example_host.cpp" ] || fail "no example in docs/host-guide.md"

# aiosmtpd takes what the example sends; each message is a JSON line.
exec 3> >(/usr/bin/python3 "$root/tests/integration/aiosmtpd_server.py" --lifetime 600 \
  --messages "$work/messages.jsonl" >"$work/aiosmtpd.out" 2>&1)
server_pid=$!
for _ in $(seq 50); do grep -q '^PORT ' "$work/aiosmtpd.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/^PORT/ {print $2}' "$work/aiosmtpd.out")
[ -n "$port" ] || { fail "aiosmtpd did not start: $(cat "$work/aiosmtpd.out")"; exit 1; }

# received N: the server has N messages, the last one from the example.
received() {
  local n
  n=$(wc -l <"$work/messages.jsonl" 2>/dev/null || echo 0)
  [ "$n" -eq "$1" ] && tail -n 1 "$work/messages.jsonl" | grep -q '"someone@example.com"' &&
    tail -n 1 "$work/messages.jsonl" | grep -q "Hello from the example host"
}

# ---------------------------------------------------------------- Linux
tgz=$(ls "$packages"/smtp-plugin-"$version"-Linux.tar.gz 2>/dev/null)
deb=$(ls "$packages"/smtp-plugin_"$version"_*.deb 2>/dev/null)
if [ -z "$tgz" ] || [ -z "$deb" ]; then
  fail "Linux packages missing in $packages"
else
  prefix="$work/prefix"
  mkdir -p "$prefix"
  tar -xzf "$tgz" -C "$prefix" --strip-components=1
  for f in include/smtp_plugin/email_interface.h lib/smtp_plugin/smtp_plugin.so bin/smtp-send \
           lib/cmake/smtp_plugin/smtp_pluginConfig.cmake lib/pkgconfig/smtp_plugin.pc \
           share/doc/smtp_plugin/LICENSE share/doc/smtp_plugin/NOTICE share/doc/smtp_plugin/host-guide.md; do
    [ -e "$prefix/$f" ] || fail ".tar.gz lacks $f"
  done
  if readelf -S "$prefix/lib/smtp_plugin/smtp_plugin.so" | grep -q '\.debug_info'; then
    fail "the packaged module carries debug information"
  else
    pass "the packaged module is stripped ($(stat -c %s "$prefix/lib/smtp_plugin/smtp_plugin.so") bytes)"
  fi
  # The installed smtp-send finds the installed module.
  if out=$("$prefix/bin/smtp-send" --version 2>&1) && grep -q "module $version" <<<"$out"; then
    pass "the installed smtp-send loads the installed module: $out"
  else
    fail "installed smtp-send --version: $out"
  fi
  # find_package(smtp_plugin CONFIG) from an outside project.
  mkdir -p "$work/host"
  cp "$work/example_host.cpp" "$work/host/"
  cat >"$work/host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(example_host CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(smtp_plugin 2 CONFIG REQUIRED)
add_executable(example_host example_host.cpp)
target_compile_options(example_host PRIVATE -Wall -Wextra -Werror)
target_link_libraries(example_host PRIVATE smtp_plugin::interface)
file(WRITE ${CMAKE_BINARY_DIR}/module.txt "${smtp_plugin_MODULE}")
CMAKE
  if cmake -S "$work/host" -B "$work/host/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 &&
     cmake --build "$work/host/build" >>"$work/cmake.log" 2>&1; then
    module=$(cat "$work/host/build/module.txt")
    if [ "$module" = "$prefix/lib/smtp_plugin/smtp_plugin.so" ] &&
       "$work/host/build/example_host" "$module" "$port" >"$work/run.log" 2>&1 && received 1 &&
       grep -q "smtp_plugin $version" "$work/run.log"; then
      pass "find_package: the guide's example (C++17) built and sent a message"
    else
      fail "find_package host: module '$module'; $(cat "$work/run.log")"
    fi
  else
    fail "find_package host did not build: $(tail -n 20 "$work/cmake.log")"
  fi
  # pkg-config gives the same.
  pcdir="$prefix/lib/pkgconfig"
  flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --define-prefix --cflags --libs smtp_plugin)
  module=$(PKG_CONFIG_PATH="$pcdir" pkg-config --define-prefix --variable=module smtp_plugin)
  if g++ -std=c++20 -Wall -Wextra -Werror "$work/example_host.cpp" -o "$work/example_pc" $flags &&
     [ -f "$module" ] && "$work/example_pc" "$module" "$port" >"$work/run.log" 2>&1 && received 2; then
    pass "pkg-config: the example (C++20) built and sent a message"
  else
    fail "pkg-config host: flags '$flags', module '$module'; $(cat "$work/run.log" 2>/dev/null)"
  fi
  # The .deb: its files and what it needs.
  depends=$(dpkg-deb -f "$deb" Depends)
  for need in libc6 libssl3 libstdc++6; do
    grep -q "$need (>=" <<<"$depends" || fail ".deb does not depend on $need with a version: $depends"
  done
  contents=$(dpkg-deb -c "$deb")
  grep -q '/usr/lib/smtp_plugin/smtp_plugin.so$' <<<"$contents" || fail ".deb lacks the module"
  pass ".deb depends on: $depends"
fi

# ---------------------------------------------------------------- Windows
zip=$(ls "$packages"/smtp-plugin-"$version"-win32.zip 2>/dev/null)
if [ -z "$zip" ]; then
  echo "skip    no Windows ZIP (scripts/build-windows was not run)"
else
  unzip -q "$zip" -d "$work/zip"
  top="$work/zip/smtp-plugin-$version-win32"
  for f in include/smtp_plugin/email_interface.h bin/smtp_plugin.dll bin/smtp-send.exe \
           share/doc/smtp_plugin/README.md share/doc/smtp_plugin/LICENSE share/doc/smtp_plugin/NOTICE; do
    [ -e "$top/$f" ] || fail "ZIP lacks $f"
  done
  dll="$top/bin/smtp_plugin.dll"
  # The version resource names the version (UTF-16 strings).
  resource=$(strings -el "$dll" | tr '\n' ' ')
  for want in "FileVersion $version" "ProductVersion $version" "ProductName smtp_plugin" \
              "OriginalFilename smtp_plugin.dll"; do
    grep -q "$want" <<<"$resource" || fail "version resource lacks \"$want\""
  done
  if i686-w64-mingw32-objdump -h "$dll" | grep -q '\.debug_info'; then
    fail "the packaged DLL carries debug information"
  else
    pass "the packaged DLL is stripped ($(stat -c %s "$dll") bytes) and names version $version"
  fi
  if out=$("$root/scripts/wine-run" "$top/bin/smtp-send.exe" --version 2>&1 </dev/null) &&
     grep -q "module $version" <<<"$out"; then
    pass "the unpacked smtp-send.exe loads the DLL beside it"
  else
    fail "unpacked smtp-send.exe --version: $out"
  fi
  if i686-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -static -I"$top/include" \
       "$work/example_host.cpp" -o "$work/example_host.exe" 2>"$work/mingw.log"; then
    before=$(wc -l <"$work/messages.jsonl" 2>/dev/null || echo 0)
    if "$root/scripts/wine-run" "$work/example_host.exe" "Z:${dll//\//\\}" "$port" \
         >"$work/run.log" 2>&1 </dev/null && received $((before + 1)); then
      pass "ZIP: the example built with mingw-w64 and sent a message under Wine"
    else
      fail "ZIP host under Wine: $(cat "$work/run.log")"
    fi
  else
    fail "ZIP host did not build: $(cat "$work/mingw.log")"
  fi
fi
[ "$status" -eq 0 ] && echo "packages: $passes checks passed"
exit "$status"
