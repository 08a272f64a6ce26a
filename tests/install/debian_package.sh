#!/usr/bin/env bash
# CPack builds a Debian package of the tree; unpacked into a root of its
# own it holds a terminal that runs, and a CMake package that a project of
# its own can use.
set -euo pipefail
. "$(dirname "$0")/common.sh"

command -v dpkg-deb >/dev/null || { echo "dpkg-deb not available"; exit 77; }
make_work_dir

run_logged "cpack failed (is the tree built?)" "$work/cpack.log" \
  cpack -G DEB --config "$QV_BUILD_DIR/CPackConfig.cmake" -B "$work/package"
shopt -s nullglob
debs=("$work"/package/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one .deb, found ${#debs[@]}"
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quorvane ] || fail "package name '$(field Package)'"
[ "$(field Version)" = "$QV_VERSION" ] || fail "package version '$(field Version)'"
[ "$(field Maintainer)" = "Quorvane developers <dev@quorvane.invalid>" ] || fail "maintainer '$(field Maintainer)'"
[ "$(field Homepage)" = "https://quorvane.invalid/" ] || fail "homepage '$(field Homepage)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture '$(field Architecture)'"
case "$(field Depends)" in
  *libc6*) ;;
  *) fail "the package does not depend on the C library: '$(field Depends)'" ;;
esac

# Installed by dpkg, files belong to root whoever built the package.
if dpkg-deb -c "$deb" | awk '$2 != "root/root" { bad = 1; print } END { exit !bad }' >&2; then
  fail "package entries not owned by root/root"
fi

root="$work/root"
dpkg-deb -x "$deb" "$root"
check_layout "$root/usr"

program="$root/usr/bin/quorvane"
if [[ " ${QV_PROGRAMS:-} " == *" quorvane "* ]]; then
  status=0
  "$program" "-?" >"$work/usage.out" 2>"$work/usage.err" </dev/null || status=$?
  [ "$status" -eq 255 ] || fail "quorvane -? ended with status $status, not 255"
  printf '%s' "
Usage $program -s... [-p... [-l...]] [-f...] [-?]

      -s<name>  : name/ip address of the server to connect.
      -p<port>  : port number of the server to connect (default 8000).
      -l<login> : automatic login text at 'login' promt.
      -f<dir>   : in/out files in 'dir' directory (multi-op usage).
      -?        : this help text.

      Quorvane version $QV_VERSION (https://quorvane.invalid/)

" >"$work/usage.expected"
  if ! cmp -s "$work/usage.expected" "$work/usage.out"; then
    diff "$work/usage.expected" "$work/usage.out" >&2 || true
    fail "usage text of the packaged quorvane differs"
  fi
  [ ! -s "$work/usage.err" ] || { cat "$work/usage.err" >&2; fail "quorvane -? wrote to the error stream"; }
fi

build_and_run_consumer "$root/usr"
echo "package $(basename "$deb") complete; terminal and consumer ran from it"
