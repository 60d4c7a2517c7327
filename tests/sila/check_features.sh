#!/usr/bin/env bash
# Every feature definition the SiLA server hands out must validate against the standard's
# schemas (kept in tests/data, so that no network is needed). Skipped without xmllint.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
schema="$root/tests/data/sila-schema/FeatureDefinition.xsd"
command -v xmllint >/dev/null || { echo "SKIP: xmllint is not installed (libxml2-utils)"; exit 77; }
[ -f "$schema" ] || { echo "FAIL: $schema is missing"; exit 1; }

shopt -s nullglob
files=("$root"/src/sila/features/*.sila.xml)
[ ${#files[@]} -gt 0 ] || { echo "FAIL: no feature definitions in $root/src/sila/features"; exit 1; }

failed=0
for file in "${files[@]}"; do
    name="src/sila/features/$(basename "$file")"
    if output=$(xmllint --noout --nonet --schema "$schema" "$file" 2>&1); then
        echo "ok: $name"
    else
        echo "FAIL: $name does not validate against FeatureDefinition.xsd:"
        printf '%s\n' "$output" | sed 's/^/    /'
        failed=1
    fi
done
exit $failed
