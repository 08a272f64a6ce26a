# Shared by the install tests: a scratch folder that is removed on every way
# out, the expected layout of an installed tree, and a project of its own
# built against it. Settings come from the environment set by CTest (QV_*).

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for setting in QV_SOURCE_DIR QV_BUILD_DIR QV_LIBDIR QV_MANDIR QV_VERSION QV_CXX QV_GENERATOR; do
  [ -n "${!setting:-}" ] || fail "$setting is not set (run through ctest)"
done

# Sets $work to a fresh folder; QV_KEEP=1 leaves it behind for a post-mortem.
make_work_dir() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-install.XXXXXX")
  if [ "${QV_KEEP:-0}" = 1 ]; then
    trap 'echo "kept $work" >&2' EXIT
  else
    trap 'rm -rf "$work"' EXIT
  fi
}

# Prints a command's output when it fails, and fails the test.
run_logged() {
  local what=$1 log=$2
  shift 2
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    fail "$what"
  fi
}

# check_gzip FILE: compressed as Debian wants it (gzip -9n): no file name,
# no time stamp, maximum compression.
check_gzip() {
  local header
  header=$(od -An -tu1 -N10 "$1" | tr -s ' ' | sed 's/^ //; s/ $//')
  case $header in
    "31 139 8 0 0 0 0 0 2 "*) ;;
    *) fail "$1 is not compressed with gzip -9n (header: $header)" ;;
  esac
}

# check_docs PREFIX PACKAGE: the copyright file in Debian's machine-readable
# form, carrying LICENSE, and the changelog, compressed, with this version
# on top.
check_docs() {
  local docs="$1/share/doc/$2"
  [ -f "$docs/copyright" ] || fail "no copyright file in $docs"
  [ "$(head -n 1 "$docs/copyright")" = \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
    fail "$docs/copyright is not in the machine-readable format"
  grep -qx "Copyright: $(sed -n '1s/^Copyright (c) //p' "$QV_SOURCE_DIR/LICENSE")" "$docs/copyright" ||
    fail "$docs/copyright does not carry the copyright notice of LICENSE"
  # The licence text is the body of the last "License:" paragraph, each
  # line indented by one blank, " ." for an empty line.
  awk '/^License: /{ start = NR } { line[NR] = $0 } END { for (i = start + 1; i <= NR; i++) print line[i] }' \
    "$docs/copyright" >"$work/licence.$2"
  ! grep -qv '^ .*[^ ]' "$work/licence.$2" || fail "$docs/copyright: licence text with an empty or unindented line"
  sed -i 's/^ //; s/^\.$//' "$work/licence.$2"
  if ! tail -n +3 "$QV_SOURCE_DIR/LICENSE" | cmp -s - "$work/licence.$2"; then
    tail -n +3 "$QV_SOURCE_DIR/LICENSE" | diff - "$work/licence.$2" >&2 || true
    fail "$docs/copyright does not carry the licence text of LICENSE"
  fi

  [ -f "$docs/changelog.gz" ] || fail "no changelog.gz in $docs"
  check_gzip "$docs/changelog.gz"
  local changelog="$work/changelog.$2" top
  zcat "$docs/changelog.gz" >"$changelog"
  top=$(head -n 1 "$changelog")
  case $top in
    "quorvane ($QV_VERSION) "*) ;;
    *) fail "$docs/changelog.gz starts with '$top', not the entry of $QV_VERSION" ;;
  esac
  if command -v dpkg-parsechangelog >/dev/null; then
    [ "$(dpkg-parsechangelog -l "$changelog" -S Version 2>"$changelog.err")" = "$QV_VERSION" ] &&
      [ ! -s "$changelog.err" ] || { cat "$changelog.err" >&2; fail "$docs/changelog.gz does not parse"; }
  fi
}

# check_programs PREFIX: the programs, their compressed manual pages (the
# checked sources, byte for byte) and their documents.
check_programs() {
  local prefix=$1 program page
  for program in ${QV_PROGRAMS:-}; do
    [ -x "$prefix/bin/$program" ] || fail "program $program not installed in $prefix/bin"
    page="$prefix/$QV_MANDIR/man1/$program.1.gz"
    [ -f "$page" ] || fail "manual page $program.1.gz not installed"
    check_gzip "$page"
    zcat "$page" | cmp -s - "$QV_SOURCE_DIR/docs/man/$program.1" ||
      fail "installed $program.1.gz is not docs/man/$program.1"
  done
  check_docs "$prefix" quorvane
}

# check_framework PREFIX LIBDIR: headers, libraries and the CMake package
# are where users and find_package look for them.
check_framework() {
  local prefix=$1 libdir=$2 layer header name
  for layer in lib framework config radio app; do
    for header in "$QV_SOURCE_DIR/$layer"/*.h; do
      [ -e "$header" ] || continue
      name=$(basename "$header")
      cmp -s "$header" "$prefix/include/quorvane/$name" ||
        fail "header $layer/$name missing or different in $prefix/include/quorvane"
    done
  done
  for layer in ${QV_STATIC_LAYERS:-}; do
    [ -f "$prefix/$libdir/libquorvane_$layer.a" ] || fail "library of layer $layer not installed in $prefix/$libdir"
  done
  for name in QuorvaneConfig.cmake QuorvaneConfigVersion.cmake QuorvaneTargets.cmake; do
    [ -f "$prefix/$libdir/cmake/Quorvane/$name" ] || fail "$name not installed in $prefix/$libdir/cmake/Quorvane"
  done
  check_docs "$prefix" libquorvane-dev

  # A header that names one that was not installed cannot be used at all.
  local included
  for header in "$prefix"/include/quorvane/*.h; do
    for included in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$header"); do
      [ -f "$prefix/include/quorvane/$included" ] ||
        fail "$(basename "$header") includes \"$included\", which is not installed"
    done
  done

  # The package must not point back into the tree it was built from, nor
  # at the folder it was installed to: it has to work wherever it is moved.
  local where
  for where in "$QV_SOURCE_DIR" "$QV_BUILD_DIR" "$prefix"; do
    if grep -rlF "$where" "$prefix/$libdir/cmake/Quorvane" >/dev/null; then
      grep -rnF "$where" "$prefix/$libdir/cmake/Quorvane" >&2
      fail "the CMake package names $where"
    fi
  done
}

# build_packages: runs CPack on the build tree and sets $deb_programs,
# $deb_dev and $deb_dbgsym to the three packages it makes, failing when it
# makes any other.
build_packages() {
  run_logged "cpack failed (is the tree built?)" "$work/cpack.log" \
    cpack -G DEB --config "$QV_BUILD_DIR/CPackConfig.cmake" -B "$work/package"
  local arch made expected
  arch=$(dpkg --print-architecture)
  deb_programs="$work/package/quorvane_${QV_VERSION}_$arch.deb"
  deb_dev="$work/package/libquorvane-dev_${QV_VERSION}_$arch.deb"
  deb_dbgsym="$work/package/quorvane-dbgsym_${QV_VERSION}_$arch.ddeb"
  made=$(find "$work/package" -maxdepth 1 -name '*deb' -printf '%f\n' | sort)
  expected=$(printf '%s\n' "$deb_programs" "$deb_dev" "$deb_dbgsym" | sed 's|.*/||' | sort)
  [ "$made" = "$expected" ] || fail "cpack made
$made
instead of
$expected"
}

# build_and_run_consumer PREFIX LIBDIR: configures, builds and runs
# tests/install/consumer against the Quorvane found under PREFIX only, whose
# CMake package is in LIBDIR.
build_and_run_consumer() {
  local prefix=$1 libdir=$2
  local build="$work/consumer-build" scratch="$work/consumer-scratch"
  rm -rf "$build" "$scratch"
  mkdir -p "$scratch"
  run_logged "consumer project does not configure against $prefix" "$work/consumer-configure.log" \
    cmake -S "$QV_SOURCE_DIR/tests/install/consumer" -B "$build" -G "$QV_GENERATOR" \
      -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$QV_CXX" \
      -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF

  # Another Quorvane on the machine (say in /usr) must not stand in for the
  # one under test.
  local found
  found=$(sed -n 's/^Quorvane_DIR:PATH=//p' "$build/CMakeCache.txt")
  [ -n "$found" ] && [ "$(cd "$found" && pwd -P)" = "$(cd "$prefix/$libdir/cmake/Quorvane" && pwd -P)" ] ||
    fail "consumer found Quorvane in '$found', not under $prefix"

  run_logged "consumer project does not build against $prefix" "$work/consumer-build.log" \
    cmake --build "$build"
  local output
  output=$("$build/consumer" "$scratch" 2>&1) || { echo "$output" >&2; fail "consumer program failed"; }
  [ "$output" = "consumer: 2 ticks, 0 failures" ] || { echo "$output" >&2; fail "unexpected consumer output"; }
}
