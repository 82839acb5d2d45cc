#!/usr/bin/env bash
# Mutation pass: plants one fault at a time in a scratch copy of the tree,
# rebuilds it and runs the test suite; a fault that no test notices is a
# missing test, or an equivalent change whose reason the list gives.
#
#   tests/mutation/run.sh [MUTANTS_FILE] [NAME_FILTER]
#
# MUTANTS_FILE defaults to tests/mutation/mutants.txt (its header says the
# format); NAME_FILTER, a regular expression, keeps only the mutants whose
# name matches. The working tree is only read: it is copied (without git
# metadata and build folders) to $TESSIVO_MUTATION_DIR (default
# /tmp/tessivo-mutation), built there in build-mutation with -j4, and each
# mutant is applied, built, tested with ctest (60 s a test) and undone.
# Reports killed / survived / did not build / stale (snippet not found
# exactly once) per mutant, with the tests that failed (all of them: the
# suite is not stopped at the first), then the kill rate over the mutants
# that built and are not marked equivalent. Logs stay in $scratch/logs.
# After a first full build, a mutant takes some ten seconds. Not run by CI.
set -uo pipefail

# All in one function, which bash reads whole before running it, so that
# editing this file while a pass runs cannot derail the pass.
main() {
  here=$(cd "$(dirname "$0")" && pwd)
  root=$(cd "$here/../.." && pwd)
  list=${1:-$here/mutants.txt}
  filter=${2:-.}
  scratch=${TESSIVO_MUTATION_DIR:-/tmp/tessivo-mutation}
  py=/usr/bin/python3

  mkdir -p "$scratch"
  # A fresh copy with fresh file times: a pass that was stopped may have
  # left objects built from a mutant, which must not look up to date.
  rm -rf "$scratch/tree"
  mkdir -p "$scratch/tree"
  tar -C "$root" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$scratch/tree" -xmf -
  # The list and the helper are read from the copy, so that the tree can be
  # edited while a pass runs.
  cp "$list" "$scratch/mutants.txt"
  list=$scratch/mutants.txt
  here=$scratch/tree/tests/mutation
  build=$scratch/build-mutation
  log=$scratch/logs
  mkdir -p "$log"

  configure() {
    cmake -S "$scratch/tree" -B "$build" -DTESSIVO_BUILD_BENCH=OFF > "$log/configure.txt" 2>&1
  }
  build_tree() { cmake --build "$build" -j4 > "$log/build.txt" 2>&1; }
  run_tests() {
    ctest --test-dir "$build" -j8 --timeout 60 > "$log/ctest.txt" 2>&1
  }

  if ! configure || ! build_tree || ! run_tests; then
    echo "run.sh: the unmutated tree does not build or pass its tests; see $log" >&2
    exit 2
  fi

  # One line per mutant: name, file and, for an equivalent one, the reason;
  # mutate.py applies each.
  mapfile -t mutants < <("$py" "$here/mutate.py" list "$list" "$filter")
  killed=0 survived=0 broken=0 stale=0 equivalent=0
  results=()
  for entry in "${mutants[@]}"; do
    IFS=$'\t' read -r name file equiv <<< "$entry"
    by=""
    if ! "$py" "$here/mutate.py" apply "$list" "$name" "$scratch/tree"; then
      results+=("stale        $name")
      stale=$((stale + 1))
      continue
    fi
    if ! build_tree; then
      cp "$log/build.txt" "$log/$name.build.txt"
      verdict="did not build"
      broken=$((broken + 1))
    elif run_tests; then
      if [[ -n $equiv ]]; then
        verdict="equivalent"
        equivalent=$((equivalent + 1))
      else
        verdict="SURVIVED"
        survived=$((survived + 1))
      fi
    else
      verdict="killed"
      by=$(sed -n '/The following tests FAILED/,$p' "$log/ctest.txt" |
        sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*/\1/p' | paste -sd, -)
      killed=$((killed + 1))
      [[ -n $equiv ]] && verdict="killed (listed as equivalent)"
    fi
    cp "$log/ctest.txt" "$log/$name.ctest.txt"
    cp "$scratch/tree/$file.orig" "$scratch/tree/$file"
    rm -f "$scratch/tree/$file.orig"
    results+=("$(printf '%-12s %s%s' "$verdict" "$name" "${by:+  by $by}")")
    echo "${results[-1]}"
  done
  # Leave the scratch build matching the tree for the next run.
  build_tree

  echo
  echo "=== mutants: ${#mutants[@]}"
  printf '%s\n' "${results[@]}"
  counted=$((killed + survived))
  echo "killed $killed, survived $survived, equivalent $equivalent, did not build $broken, stale $stale"
  if ((counted > 0)); then
    echo "kill rate: $killed / $counted = $((100 * killed / counted))% of the mutants that built and change behaviour"
  fi
}

# On one line: bash has read it whole before the pass runs.
main "$@"; exit $?
