#!/bin/sh
# Checks the shape of src/: a module is a .h/.cpp pair of one name, and
# module A depends on module B when a file of A includes "B.h".  Fails when
# the dependencies go in a circle, or when util (the ground floor) depends
# on any module of the project.  Prints every module with what it uses,
# ground floor first.
#
#   scripts/check-includes.sh [SRC_DIR]
set -eu
src=${1:-$(dirname "$0")/../src}

for f in "$src"/*.h "$src"/*.cpp; do
  [ -e "$f" ] || continue
  m=$(basename "$f")
  m=${m%.*}
  # Every module appears, even one that includes nothing of the project.
  echo "$m $m"
  sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)\.h".*/\1/p' "$f" |
    while read -r dep; do echo "$m $dep"; done
done | awk '
$1 != $2 {
  if (!(($1 " " $2) in edge)) { edge[$1 " " $2] = 1; out[$1] = out[$1] " " $2 }
}
{ module[$1] = 1; if ($1 != $2) module[$2] = 1 }
function visit(m,    n, deps, i) {
  if (state[m] == 2) return
  if (state[m] == 1) {
    cycle = m
    for (i = depth; i > 0 && stack[i] != m; i--) cycle = stack[i] " -> " cycle
    cycle = m " -> " cycle
    failed = 1
    print "check-includes: circle: " cycle
    return
  }
  state[m] = 1
  stack[++depth] = m
  n = split(out[m], deps, " ")
  for (i = 1; i <= n; i++) visit(deps[i])
  depth--
  state[m] = 2
  order[++count] = m
}
END {
  for (m in module) visit(m)
  if (out["util"] != "") {
    print "check-includes: util, the ground floor, depends on:" out["util"]
    failed = 1
  }
  if (failed) exit 1
  # Modules in an order where each comes after everything it uses.
  for (i = 1; i <= count; i++) printf "%-14s uses%s\n", order[i], (out[order[i]] == "" ? " nothing" : out[order[i]])
  print "check-includes: no circles"
}'
