#!/usr/bin/env bash
# `cmake --install` into a fresh prefix gives a complete tree, and a project
# of its own builds and runs against it through find_package(Quorvane).
set -euo pipefail
. "$(dirname "$0")/common.sh"

make_work_dir
prefix="$work/prefix"
run_logged "cmake --install failed (is the tree built?)" "$work/install.log" \
  cmake --install "$QV_BUILD_DIR" --prefix "$prefix"
check_programs "$prefix"
check_framework "$prefix" "$QV_LIBDIR"

# Moved after installation, the tree still serves: nothing in it is tied to
# the prefix it was installed to.
mv "$prefix" "$work/moved"
build_and_run_consumer "$work/moved" "$QV_LIBDIR"
echo "installed tree complete; consumer built and ran"
