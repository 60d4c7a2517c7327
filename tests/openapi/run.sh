#!/usr/bin/env bash
# tst_remote with every answer it receives recorded, then validate.mjs over the interface
# description and those answers. Skipped only when Node.js or its packages cannot be had.
#   run.sh TST_REMOTE OPENAPI_JSON
set -uo pipefail
tst="$1" document="$2"
here="$(cd "$(dirname "$0")" && pwd)"
for tool in node npm; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
# scripts/test installs the packages; a build run by hand gets them here.
if ! (cd "$here" && npm ls --silent >/dev/null 2>&1); then
    (cd "$here" && npm ci --no-audit --no-fund --silent) ||
        { echo "SKIP: the npm packages in $here cannot be installed"; exit 77; }
fi

answers=$(mktemp -d)
trap 'rm -rf "$answers"' EXIT
VYT_RECORD_ANSWERS="$answers" QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 "$tst" >"$answers/tst_remote.log" 2>&1 ||
    { cat "$answers/tst_remote.log"; echo "FAIL: tst_remote failed"; exit 1; }
node "$here/validate.mjs" "$document" "$answers"
