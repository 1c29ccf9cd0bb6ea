#!/usr/bin/env bash
# Fails when a source file includes across the layers: every quoted include
# with a folder in it ("platform/core/clock.h") is checked against the table
# in layers.txt, and each one the table does not allow is printed as
# file:line. Includes without a folder (generated files, "session.moc") are
# the file's own.
#
#   check-includes.sh [source directory]     (default: the tree it is in)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "${1:-$here/../..}" && pwd)
table="$here/layers.txt"
cd "$source_dir"

# The tree's sources: git's list where there is one (new files included),
# otherwise every source outside the build directories.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files --cached --others --exclude-standard -- '*.h' '*.cpp' |
    while IFS= read -r file; do if [ -f "$file" ]; then echo "$file"; fi; done)
else
  files=$(find . \( -path ./.git -o -path './build*' \) -prune -o \
    -type f \( -name '*.h' -o -name '*.cpp' \) -print | sed 's|^\./||')
fi

# shellcheck disable=SC2086
awk -v table="$table" '
  function folder_of(path,    best, f) {
    best = ""
    for (f in allowed)
      if (index(path, f "/") == 1 && length(f) > length(best)) best = f
    return best
  }
  function may(list, target) {
    return list == " *" || index(list " ", " " target " ") > 0
  }
  FNR == 1 && FILENAME != table {
    own = folder_of(FILENAME)
    extra = (FILENAME in file_allowed) ? file_allowed[FILENAME] : ""
    if (own == "") {
      printf "%s: its folder has no line in %s\n", FILENAME, table
      bad++
    }
  }
  FILENAME == table {
    sub(/#.*/, "")
    if (NF == 0) next
    # An indented line goes on with the line before it.
    first = 1
    if ($0 ~ /^[ \t]/) first = 0
    else entry = $1
    list = ""
    for (i = first + 1; i <= NF; i++) list = list " " $i
    if (entry ~ /\.(h|cpp)$/) file_allowed[entry] = file_allowed[entry] list
    else allowed[entry] = allowed[entry] list
    next
  }
  own != "" && match($0, /^[ \t]*#[ \t]*include[ \t]*"[^"]*\/[^"]*"/) {
    name = substr($0, RSTART, RLENGTH)
    sub(/^[^"]*"/, "", name)
    sub(/"$/, "", name)
    target = folder_of(name)
    if (target == "") {
      printf "%s:%d: includes \"%s\", which is in no folder of %s\n", FILENAME, FNR, name, table
      bad++
    } else if (target != own && !may(allowed[own], target) && !may(extra, target)) {
      printf "%s:%d: includes \"%s\": %s may not include %s\n", FILENAME, FNR, name, own, target
      bad++
    }
  }
  END { exit bad > 0 }
' "$table" $files
