#!/usr/bin/env bash
# lintian, Debian's package checker, finds no error and no warning in any
# of the packages that CPack makes.
set -euo pipefail
. "$(dirname "$0")/common.sh"

command -v dpkg-deb >/dev/null || { echo "dpkg-deb not available"; exit 77; }
command -v lintian >/dev/null || { echo "lintian not available: install it (apt-get install lintian) to check the packages"; exit 77; }
make_work_dir
build_packages

# Informational tags are shown but pass; their absence is not a goal.
status=0
lintian --display-info --fail-on error,warning "$deb_programs" "$deb_dev" "$deb_dbgsym" \
  >"$work/lintian.out" 2>"$work/lintian.err" || status=$?
cat "$work/lintian.out"
if [ "$status" -ne 0 ] || grep -q '^[EW]: ' "$work/lintian.out"; then
  cat "$work/lintian.err" >&2
  fail "lintian reports errors or warnings (status $status)"
fi
echo "lintian: no error and no warning in $(basename "$deb_programs"), $(basename "$deb_dev"), $(basename "$deb_dbgsym")"
