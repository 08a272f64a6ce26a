#!/usr/bin/env bash
# One CPack run makes the operators' package (quorvane), the developers'
# package (libquorvane-dev) and the debug symbols of the programs. Each
# package, unpacked into a root of its own, serves its audience without the
# other: the programs run, and a project of its own builds against the
# framework. The programs are stripped, and the debugger still resolves
# them through the debug-symbols package.
set -euo pipefail
. "$(dirname "$0")/common.sh"

command -v dpkg-deb >/dev/null || { echo "dpkg-deb not available"; exit 77; }
[ -n "${QV_PACKAGE_LIBDIR:-}" ] || fail "QV_PACKAGE_LIBDIR is not set (run through ctest)"
# Debian keeps libraries of a /usr install in its multiarch folder.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || true)
[ -z "$multiarch" ] || [ "$QV_PACKAGE_LIBDIR" = "lib/$multiarch" ] ||
  fail "the package's libraries go to $QV_PACKAGE_LIBDIR, not lib/$multiarch"
make_work_dir
build_packages

# field DEB NAME
field() { dpkg-deb -f "$1" "$2"; }
for deb in "$deb_programs" "$deb_dev" "$deb_dbgsym"; do
  [ "$(field "$deb" Version)" = "$QV_VERSION" ] || fail "$deb: version '$(field "$deb" Version)'"
  [ "$(field "$deb" Maintainer)" = "Quorvane developers <dev@quorvane.invalid>" ] ||
    fail "$deb: maintainer '$(field "$deb" Maintainer)'"
  [ "$(field "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "$deb: architecture '$(field "$deb" Architecture)'"
  # Installed by dpkg, files belong to root whoever built the package.
  if dpkg-deb -c "$deb" | awk '$2 != "root/root" { bad = 1; print } END { exit !bad }' >&2; then
    fail "$deb: entries not owned by root/root"
  fi
done
[ "$(field "$deb_programs" Package)" = quorvane ] || fail "package name '$(field "$deb_programs" Package)'"
[ "$(field "$deb_dev" Package)" = libquorvane-dev ] || fail "package name '$(field "$deb_dev" Package)'"
[ "$(field "$deb_dbgsym" Package)" = quorvane-dbgsym ] || fail "package name '$(field "$deb_dbgsym" Package)'"
for deb in "$deb_programs" "$deb_dev"; do
  [ "$(field "$deb" Homepage)" = "https://quorvane.invalid/" ] || fail "$deb: homepage '$(field "$deb" Homepage)'"
done
[ "$(field "$deb_dbgsym" Depends)" = "quorvane (= $QV_VERSION)" ] ||
  fail "debug symbols depend on '$(field "$deb_dbgsym" Depends)', not on this quorvane"

# dpkg refuses a package that brings a file another one already owns.
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort; }
shared=$(comm -12 <(files_of "$deb_programs") <(files_of "$deb_dev"))
[ -z "$shared" ] || fail "files in both packages: $shared"

programs="$work/programs"
dev="$work/dev"
dpkg-deb -x "$deb_programs" "$programs"
dpkg-deb -x "$deb_dev" "$dev"

# Each package holds its audience's files and nothing else.
expected_programs=$(
  for program in ${QV_PROGRAMS:-}; do
    echo "./usr/bin/$program"
    echo "./usr/$QV_MANDIR/man1/$program.1.gz"
  done
  if [[ " ${QV_PROGRAMS:-} " == *" quorvane "* ]]; then
    echo ./usr/lib/systemd/system/quorvane@.service
    echo ./usr/lib/sysusers.d/quorvane.conf
    echo ./etc/quorvane/example.conf
  fi
  echo ./usr/share/doc/quorvane/copyright
  echo ./usr/share/doc/quorvane/changelog.gz)
[ "$(files_of "$deb_programs")" = "$(sort <<<"$expected_programs")" ] || {
  diff <(sort <<<"$expected_programs") <(files_of "$deb_programs") >&2 || true
  fail "quorvane holds other files than the programs, their pages, the service and documents"
}
outside=$(files_of "$deb_dev" | grep -v -e '^\./usr/include/quorvane/' -e "^\./usr/$QV_PACKAGE_LIBDIR/" \
  -e '^\./usr/share/doc/libquorvane-dev/' || true)
[ -z "$outside" ] || fail "libquorvane-dev holds files outside its folders: $outside"
check_programs "$programs/usr"

# The terminal's service: the unit, its user and the example configuration
# as checked in, the example a conffile (dpkg keeps a station's changes to
# it), and maintainer scripts that make the user and tell systemd.
if [[ " ${QV_PROGRAMS:-} " == *" quorvane "* ]]; then
  for pair in "usr/lib/systemd/system/quorvane@.service quorvane@.service" \
              "usr/lib/sysusers.d/quorvane.conf quorvane.sysusers" \
              "etc/quorvane/example.conf example.conf"; do
    read -r packaged source <<<"$pair"
    cmp -s "$programs/$packaged" "$QV_SOURCE_DIR/packaging/$source" ||
      fail "packaged $packaged is not packaging/$source"
  done
  control="$work/control.quorvane"
  dpkg-deb -e "$deb_programs" "$control"
  [ "$(cat "$control/conffiles")" = /etc/quorvane/example.conf ] ||
    fail "conffiles of quorvane: '$(cat "$control/conffiles" 2>/dev/null)'"
  for script in postinst postrm; do
    [ -x "$control/$script" ] || fail "quorvane has no executable $script"
    sh -n "$control/$script" || fail "$script of quorvane does not parse"
  done
  grep -q 'systemd-sysusers quorvane.conf' "$control/postinst" || fail "postinst does not make the service's user"
fi
check_framework "$dev/usr" "$QV_PACKAGE_LIBDIR"

# The packages' dependencies are exactly the packages that own the shared
# libraries the programs link: the C and C++ run-times, not the framework.
owner_of() {
  local path=$1 owner
  owner=$(dpkg -S "$path" 2>/dev/null) ||
    owner=$(dpkg -S "$(sed 's|^/usr/|/|' <<<"$path")" 2>/dev/null) ||
    owner=$(dpkg -S "/usr$path" 2>/dev/null) || fail "no package owns $path"
  sed 's/[:,].*//' <<<"$owner"
}
linked=$(
  for program in ${QV_PROGRAMS:-}; do
    ldd "$programs/usr/bin/$program" | awk '$2 == "=>" && $3 ~ /^\// { print $3 }'
  done | sort -u | while read -r library; do owner_of "$library"; done | sort -u)
depends=$(field "$deb_programs" Depends | tr ',' '\n' | sed 's/^ *//; s/[ :(].*//' | sort -u)
[ -n "$linked" ] && [ "$depends" = "$linked" ] ||
  fail "quorvane depends on '$(field "$deb_programs" Depends)'; its programs link the packages: $linked"
[ -z "$(field "$deb_dev" Depends)" ] || fail "libquorvane-dev depends on '$(field "$deb_dev" Depends)'"

# The programs run from their root.
if [[ " ${QV_PROGRAMS:-} " == *" quorvane "* ]]; then
  program="$programs/usr/bin/quorvane"
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
for program in ${QV_PROGRAMS:-}; do
  [ "$program" = quorvane ] && continue
  "$programs/usr/bin/$program" --help >"$work/$program.help" 2>&1 </dev/null ||
    { cat "$work/$program.help" >&2; fail "packaged $program --help failed"; }
  [[ "$(head -n 1 "$work/$program.help")" == "Usage: $program "* ]] ||
    { cat "$work/$program.help" >&2; fail "packaged $program --help does not print its usage"; }
done

# Stripped programs, and debug information found by their build IDs.
dbgsym="$work/dbgsym"
dpkg-deb -x "$deb_dbgsym" "$dbgsym"

# check_md5sums DEB ROOT: the md5sums that dpkg --verify uses name every
# file of the package, relative to the root, with its sum.
check_md5sums() {
  local control="$work/control.$(basename "$1")"
  dpkg-deb -e "$1" "$control"
  [ "$(sed 's/^[0-9a-f]*  //' "$control/md5sums" | sort)" = \
    "$(dpkg-deb -c "$1" | awk '$1 ~ /^-/ { print substr($6, 3) }' | sort)" ] ||
    { cat "$control/md5sums" >&2; fail "md5sums of $(basename "$1") do not list its files"; }
  (cd "$2" && md5sum --quiet -c "$control/md5sums") >&2 || fail "md5sums of $(basename "$1") are wrong"
}
check_md5sums "$deb_programs" "$programs"
check_md5sums "$deb_dev" "$dev"
check_md5sums "$deb_dbgsym" "$dbgsym"
build_id() { LC_ALL=C readelf -n "$1" | sed -n 's/^ *Build ID: *//p'; }
# The section headers of an ELF file. Read whole into a variable: readelf
# piped into grep -q may be cut off by the early end of grep, and under
# pipefail that SIGPIPE, not the match, would decide.
sections() { LC_ALL=C readelf -S -W "$1" 2>/dev/null || true; }
ids=()
for program in ${QV_PROGRAMS:-}; do
  binary="$programs/usr/bin/$program"
  headers=$(sections "$binary")
  if grep -q -e ' \.debug_' -e ' \.symtab ' <<<"$headers"; then
    fail "packaged $program is not stripped"
  fi
  id=$(build_id "$binary")
  [ -n "$id" ] || fail "packaged $program has no build ID"
  ids+=("$id")
  debug="$dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
  [ -f "$debug" ] || fail "no debug information for $program (build ID $id)"
  [ "$(build_id "$debug")" = "$id" ] || fail "debug file of $program has build ID '$(build_id "$debug")'"
  headers=$(sections "$debug")
  grep -q ' \.debug_info ' <<<"$headers" || fail "debug file of $program holds no .debug_info"
done
[ "$(tr ' ' '\n' <<<"$(field "$deb_dbgsym" Build-Ids)" | sort)" = "$(printf '%s\n' "${ids[@]}" | sort)" ] ||
  fail "Build-Ids '$(field "$deb_dbgsym" Build-Ids)' are not those of the programs"
[ "$(readlink "$dbgsym/usr/share/doc/quorvane-dbgsym")" = quorvane ] ||
  fail "the debug symbols do not share the documents of quorvane"
if command -v gdb >/dev/null; then
  for program in ${QV_PROGRAMS:-}; do
    env -u DEBUGINFOD_URLS gdb -batch -nx -iex "set debug-file-directory $dbgsym/usr/lib/debug" \
      -ex "info line main" "$programs/usr/bin/$program" >"$work/$program.gdb" 2>&1 || true
    grep -qE '^Line [0-9]+ of ".*\.cpp"' "$work/$program.gdb" ||
      { cat "$work/$program.gdb" >&2; fail "gdb does not find the source line of main in $program"; }
  done
else
  echo "gdb not available: look-up of the debug information not checked"
fi

build_and_run_consumer "$dev/usr" "$QV_PACKAGE_LIBDIR"
echo "packages complete; programs and consumer ran from their own roots, gdb found the debug information"
