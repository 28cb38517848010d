#!/usr/bin/env bash
# Checks that the committed generated tables under text/generated/ match what
# the generators produce from the sources present on this machine, and the
# multi-byte code pages against glibc iconv. Exit 0
# when they match, 1 when they differ, 77 (skipped) when python3 or every
# source is absent.
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
command -v python3 >/dev/null 2>&1 || { echo "python3 absent: skipped"; exit 77; }
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
status=0 checked=0

# Code-page tables (pages whose source is absent are skipped inside).
python3 "$root/scripts/gen-codepage-tables.py" --check "$root/text/generated"
rc=$?
case $rc in 0) checked=1 ;; 77) ;; *) status=1 ;; esac

# The committed multi-byte tables against glibc iconv, pair by pair: an
# oracle apart from the generator's sources (pages without iconv skipped).
python3 "$root/scripts/gen-codepage-tables.py" --compare-iconv "$root/text/generated"
rc=$?
case $rc in 0) checked=1 ;; 77) ;; *) status=1 ;; esac

# Case tables, from UnicodeData.txt.
if [ -r /usr/share/unicode/UnicodeData.txt ]; then
  python3 "$root/scripts/gen-case-tables.py" --out "$tmp" >/dev/null &&
    diff -u "$root/text/generated/case_tables.inc" "$tmp/case_tables.inc" || status=1
  checked=1
else
  echo "UnicodeData.txt absent: case tables not checked"
fi

# Charset names, from charset-names.tsv (beside the repository, or the copy
# the tests use).
tsv="$root/../shared/charset-names.tsv"
[ -r "$tsv" ] || tsv="$root/tests/data/charsets/charset-names.tsv"
if [ -r "$tsv" ]; then
  python3 "$root/scripts/gen-charset-names.py" --tsv "$tsv" --out "$tmp" &&
    diff -u "$root/text/generated/charset_names.inc" "$tmp/charset_names.inc" || status=1
  checked=1
fi

[ $status -ne 0 ] && { echo "generated tables differ from their sources"; exit 1; }
[ $checked -eq 0 ] && { echo "no source present: skipped"; exit 77; }
echo "generated tables match their sources"
exit 0
