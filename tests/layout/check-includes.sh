#!/usr/bin/env bash
# Fails when a source file includes against the chain of libraries: every
# quoted include with a folder in it ("platform/core/clock.h") is checked
# against the table in layers.txt, and each one the table does not allow is
# printed as file:line. Includes without a folder (generated files,
# "session.moc") are the file's own. A test-only header ("tray_testing.h")
# may be included by its facility's source ("tray.cpp") and by the libraries
# the table's test-only-headers line names, by no other file.
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
  # The library that holds `path`: a member naming the file itself, or its
  # path without the ending, before the longest folder that holds it.
  function library_of(path,    stem, best, m) {
    if (path in member) return member[path]
    stem = path
    sub(/\.(h|cpp)$/, "", stem)
    if (stem in member) return member[stem]
    best = ""
    for (m in member)
      if (index(path, m "/") == 1 && length(m) > length(best)) best = m
    return best == "" ? "" : member[best]
  }
  # Everything `lib` may include besides its own files: the libraries it names
  # and, in turn, all they may include.
  function close_below(lib,    n, parts, i, name) {
    if (lib in closed) return
    closed[lib] = 1
    below[lib] = ""
    n = split(names[lib], parts, " ")
    for (i = 1; i <= n; i++) {
      name = parts[i]
      if (name == "*") { below[lib] = " *"; continue }
      if (!(name in names)) {
        printf "%s: %s names %s, which has no line\n", table, lib, name
        bad++
        continue
      }
      close_below(name)
      below[lib] = below[lib] " " name below[name]
    }
  }
  function may(lib, target) {
    close_below(lib)
    return below[lib] == " *" || index(below[lib] " ", " " target " ") > 0
  }
  FILENAME == table {
    sub(/#.*/, "")
    if (NF == 0) next
    # An indented line goes on with the line before it.
    first = 1
    if ($0 ~ /^[ \t]/) first = 0
    else if ($1 == "test-only-headers") lib = ""
    else { lib = $1; names[lib] = names[lib] "" }
    after = 0
    for (i = first + 1; i <= NF; i++) {
      if ($i == ":") { after = 1; continue }
      if (lib == "") { if (after) hook_users = hook_users " " $i }
      else if (after) names[lib] = names[lib] " " $i
      else member[$i] = lib
    }
    next
  }
  FNR == 1 && !hook_users_checked {
    hook_users_checked = 1
    n = split(hook_users, parts, " ")
    for (i = 1; i <= n; i++) {
      if (!(parts[i] in names)) {
        printf "%s: test-only-headers names %s, which has no line\n", table, parts[i]
        bad++
      } else {
        may_use_hooks[parts[i]] = 1
      }
    }
  }
  FNR == 1 {
    own = library_of(FILENAME)
    if (own == "") {
      printf "%s: no library of %s holds it\n", FILENAME, table
      bad++
    }
  }
  own != "" && match($0, /^[ \t]*#[ \t]*include[ \t]*"[^"]*\/[^"]*"/) {
    name = substr($0, RSTART, RLENGTH)
    sub(/^[^"]*"/, "", name)
    sub(/"$/, "", name)
    target = library_of(name)
    facility = name
    if (sub(/_testing\.h$/, ".cpp", facility) && FILENAME != facility && !(own in may_use_hooks)) {
      printf "%s:%d: includes \"%s\", a test-only header: only %s and%s may include it\n", FILENAME, FNR, name,
        facility, hook_users
      bad++
    } else if (target == "") {
      printf "%s:%d: includes \"%s\", which no library of %s holds\n", FILENAME, FNR, name, table
      bad++
    } else if (target != own && !may(own, target)) {
      printf "%s:%d: includes \"%s\": %s may not include %s\n", FILENAME, FNR, name, own, target
      bad++
    }
  }
  END { exit bad > 0 }
' "$table" $files
