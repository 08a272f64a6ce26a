#!/usr/bin/env bash
# Line coverage of the product code (lib, framework, app, radio, config,
# tools): builds the coverage preset (g++ --coverage, build-coverage/), runs
# its tests from zeroed counts, and prints one line per source file with its
# covered and total lines, then the total. Files below 80 % are named again
# at the end. Needs only gcov, which comes with g++.
#
#   tools/coverage.sh            build, test and report
#   tools/coverage.sh --report   report the counts of the last run only
#
# A test failure is reported but does not stop the report; the script then
# ends with status 1.
set -uo pipefail
cd "$(dirname "$0")/.."
build=build-coverage
status=0

if [ "${1:-}" != "--report" ]; then
  # Counts add up across runs: start from none. (Building runs the test
  # programs too, to list their tests.)
  [ -d "$build" ] && find "$build" -name '*.gcda' -delete
  cmake --preset coverage >/dev/null || exit 1
  cmake --build --preset coverage || exit 1
  find "$build" -name '*.gcda' -delete
  ctest --preset coverage || status=1
fi

# gcov -n prints, per source file a counted object includes, its name and
# "Lines executed:P% of N" without writing any file. A source is compiled
# into one object only, so its figures are taken once.
summary=$(find "$build" -name '*.gcda' -not -path '*/tests/*' -not -path '*/bench/*' -print0 |
  xargs -0 -r -n 40 gcov -n 2>/dev/null |
  awk -v root="$PWD/" '
    /^File / { file = substr($2, 2, length($2) - 2); sub("^" root, "", file); next }
    /^Lines executed:/ && file != "" {
      if (file ~ /^(lib|framework|app|radio|config|tools)\/[^\/]*\.cpp$/ && !(file in total)) {
        split($2, p, ":"); pct = p[2] + 0; n = $4 + 0
        total[file] = n; covered[file] = int(pct * n / 100 + 0.5)
      }
      file = ""
    }
    END { for (f in total) print f, covered[f], total[f] }' | sort)

if [ -z "$summary" ]; then
  echo "no coverage counts under $build: run tools/coverage.sh without --report" >&2
  exit 1
fi

echo "$summary" | awk '
  { pct = $3 ? 100 * $2 / $3 : 100; printf "%6.1f %%  %5d / %-5d  %s\n", pct, $2, $3, $1
    c += $2; t += $3; if (pct < 80) low = low "  " $1 sprintf(" (%.1f %%)", pct) "\n" }
  END { printf "%6.1f %%  %5d / %-5d  product code\n", 100 * c / t, c, t
        if (low != "") printf "below 80 %%:\n%s", low }'
exit $status
