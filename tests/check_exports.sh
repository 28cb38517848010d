#!/usr/bin/env bash
# The module must export exactly one symbol of ours: the factory.
set -euo pipefail
module="$1"
defined=$(nm -D --defined-only "$module" | awk '{print $NF}' | sort -u)
if [ "$defined" != "Createsmtp_plugin" ]; then
  echo "unexpected exports from $module:" >&2
  echo "$defined" >&2
  exit 1
fi
echo "exports: $defined"
