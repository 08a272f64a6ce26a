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

# check_layout PREFIX: programs, manual pages, headers, libraries and the
# CMake package are where users and find_package look for them.
check_layout() {
  local prefix=$1 program layer header name
  for program in ${QV_PROGRAMS:-}; do
    [ -x "$prefix/bin/$program" ] || fail "program $program not installed in $prefix/bin"
    [ -f "$prefix/$QV_MANDIR/man1/$program.1" ] || fail "manual page $program.1 not installed"
  done
  for layer in lib framework config radio app; do
    for header in "$QV_SOURCE_DIR/$layer"/*.h; do
      [ -e "$header" ] || continue
      name=$(basename "$header")
      cmp -s "$header" "$prefix/include/quorvane/$name" ||
        fail "header $layer/$name missing or different in $prefix/include/quorvane"
    done
  done
  for layer in ${QV_STATIC_LAYERS:-}; do
    [ -f "$prefix/$QV_LIBDIR/libquorvane_$layer.a" ] || fail "library of layer $layer not installed"
  done
  for name in QuorvaneConfig.cmake QuorvaneConfigVersion.cmake QuorvaneTargets.cmake; do
    [ -f "$prefix/$QV_LIBDIR/cmake/Quorvane/$name" ] || fail "$name not installed"
  done

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
    if grep -rlF "$where" "$prefix/$QV_LIBDIR/cmake/Quorvane" >/dev/null; then
      grep -rnF "$where" "$prefix/$QV_LIBDIR/cmake/Quorvane" >&2
      fail "the CMake package names $where"
    fi
  done
}

# build_and_run_consumer PREFIX: configures, builds and runs
# tests/install/consumer against the Quorvane found under PREFIX only.
build_and_run_consumer() {
  local prefix=$1
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
  [ -n "$found" ] && [ "$(cd "$found" && pwd -P)" = "$(cd "$prefix/$QV_LIBDIR/cmake/Quorvane" && pwd -P)" ] ||
    fail "consumer found Quorvane in '$found', not under $prefix"

  run_logged "consumer project does not build against $prefix" "$work/consumer-build.log" \
    cmake --build "$build"
  local output
  output=$("$build/consumer" "$scratch" 2>&1) || { echo "$output" >&2; fail "consumer program failed"; }
  [ "$output" = "consumer: 2 ticks, 0 failures" ] || { echo "$output" >&2; fail "unexpected consumer output"; }
}
