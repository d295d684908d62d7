#!/usr/bin/env bash
# Checks that the program's own includes run one way: common <- platform <- serial <- image <-
# protocols <- frontend. A file may include headers of its own layer and of the layers below it,
# nothing else; common/ (the message catalogue, the run settings and the error values) is the
# bottom and includes only itself.
#
# Prints the include graph (layer -> included layer, number of include lines) and fails with
# the offending lines when an include goes against the direction. Only the program's folders
# are looked at; tests, tools, fuzz targets and benchmarks may include what they need.
#
#   scripts/check-layers.sh [ROOT]     ROOT: the source tree to check (default: this one)
set -euo pipefail
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
cd "$root"

folders=()
for folder in common platform serial image protocols frontend; do
  [ -d "$folder" ] && folders+=("$folder")
done
[ ${#folders[@]} -gt 0 ] || { echo "check-layers: no sources under $root" >&2; exit 2; }
files=$(find "${folders[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
[ -n "$files" ] || { echo "check-layers: no sources under $root" >&2; exit 2; }

# One line per include: the including file, its line number and the included path.
{ grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' $files || true; } |
awk -F: '
function layer(path) {
    split(path, part, "/")
    if (part[1] in rank)
        return part[1]
    return "outside"
}
BEGIN {
    n = split("common platform serial image protocols frontend", order, " ")
    for (i = 1; i <= n; ++i)
        rank[order[i]] = i - 1
    rank["outside"] = 99
    bad = 0
}
{
    file = $1
    line = $2
    text = substr($0, length($1) + length($2) + 3)
    included = text
    sub(/^[^"]*"/, "", included)
    sub(/".*$/, "", included)
    from = layer(file)
    to = layer(included)
    count[from SUBSEP to]++
    # Same layer or below, nothing else.
    allowed = (to != "outside" && rank[to] <= rank[from])
    if (!allowed) {
        offending[++bad] = sprintf("  %s:%s: %s   (%s -> %s)", file, line, text, from, to)
    }
}
END {
    print "include graph (layer -> included layer: include lines):"
    for (i = n; i >= 1; --i) {
        from = order[i]
        out = ""
        for (j = n; j >= 1; --j) {
            to = order[j]
            if ((from SUBSEP to) in count)
                out = out sprintf(" %s %d,", to, count[from SUBSEP to])
        }
        if ((from SUBSEP "outside") in count)
            out = out sprintf(" outside %d,", count[from SUBSEP "outside"])
        sub(/,$/, "", out)
        printf "  %-9s ->%s\n", from, out == "" ? " (nothing)" : out
    }
    if (bad > 0) {
        printf "check-layers: %d include(s) against the direction common <- platform <- serial <- image <- protocols <- frontend:\n", bad
        for (i = 1; i <= bad; ++i)
            print offending[i]
        exit 1
    }
    print "layers: OK"
}'
