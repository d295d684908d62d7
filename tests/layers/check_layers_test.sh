#!/usr/bin/env bash
# Cases for scripts/check-layers.sh: each builds a small source tree with one include and says
# whether the check must pass or fail (and then name the offending line).
set -euo pipefail
check="$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-layers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
# file, included header, expected result
cases=(
  "serial/timed_io.cpp|serial/port.h|pass"
  "protocols/menu_loaders.cpp|serial/serial_link.h|pass"
  "frontend/session.cpp|protocols/procedures.h|pass"
  "image/compression.cpp|common/messages.h|pass"
  "platform/posix/base.cpp|common/errors.h|pass"
  "protocols/legacy_path.cpp|common/settings.h|pass"
  "protocols/procedures.h|frontend/tables.h|fail"
  "serial/timed_io.cpp|image/pad_image.h|fail"
  "image/pad_image.cpp|protocols/block_transfer.h|fail"
  "platform/posix/clock.cpp|serial/port.h|fail"
  "common/messages.h|frontend/tables.h|fail"
  "common/errors.h|platform/platform.h|fail"
  "platform/posix/devices.cpp|serial/errors.h|fail"
  "protocols/legacy_path.cpp|frontend/settings.h|fail"
  "common/messages.cpp|platform/platform.h|fail"
  "protocols/satellite.cpp|tests/support/fake_port.h|fail"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r file header expected <<<"$entry"
  tree="$work/tree"
  rm -rf "$tree"
  mkdir -p "$tree/platform" "$tree/$(dirname "$file")" "$tree/$(dirname "$header")"
  printf '#pragma once\n' >"$tree/$header"
  printf '// a source\n#include <cstdint>\n\n#include "%s"\n' "$header" >"$tree/$file"
  if output=$(bash "$check" "$tree" 2>&1); then result=pass; else result=fail; fi
  if [ "$result" != "$expected" ]; then
    echo "FAIL: $file including $header: expected $expected, got $result"
    echo "$output"
    failures=$((failures + 1))
  elif [ "$result" = fail ] && ! grep -qF "$file:4: #include \"$header\"" <<<"$output"; then
    echo "FAIL: $file including $header: the offending line is not named"
    echo "$output"
    failures=$((failures + 1))
  fi
done
echo "$((${#cases[@]} - failures)) of ${#cases[@]} layer cases as expected"
[ "$failures" = 0 ]
