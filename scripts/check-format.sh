#!/usr/bin/env bash
# Fails when a C++ source of the project is not formatted with the root .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
[ -z "$files" ] && exit 0
clang-format --dry-run --Werror $files
echo "formatting: OK"
