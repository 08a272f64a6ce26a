#!/usr/bin/env bash
# Every option that a program's own usage text names is described in its
# manual page, each page carries the project's version and the sections a
# reader looks for, and groff renders it without a warning.
set -euo pipefail
. "$(dirname "$0")/common.sh"

make_work_dir

# usage_text PROGRAM FILE: the program's usage text as it prints it.
usage_text() {
  local program=$1 binary status=0
  local variable="QV_BIN_${program//-/_}"
  binary=${!variable:-}
  [ -x "$binary" ] || fail "no built $program (is the tree built?)"
  case $program in
    quorvane)
      "$binary" "-?" >"$2" 2>&1 </dev/null || status=$?
      [ "$status" -eq 255 ] || fail "$program -? ended with status $status" ;;
    *)
      "$binary" --help >"$2" 2>&1 </dev/null || status=$?
      [ "$status" -eq 0 ] || fail "$program --help ended with status $status" ;;
  esac
}

pages=0
for program in ${QV_PROGRAMS:-}; do
  page="$QV_SOURCE_DIR/docs/man/$program.1"
  [ -f "$page" ] || fail "no manual page for $program"
  pages=$((pages + 1))

  title=$(sed -n 's/^\.TH //p' "$page" | tr -d '\\')
  case $title in
    "${program^^} 1 "*"\"Quorvane $QV_VERSION\""*) ;;
    *) fail "$program.1: title line '$title' is not that of ${program^^}(1) of Quorvane $QV_VERSION" ;;
  esac
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" "SEE ALSO"; do
    grep -q "^\.SH \"\?$section\"\?\$" "$page" || fail "$program.1: no $section section"
  done

  # Options as the usage text writes them: a dash or two and a letter (or
  # ?), after a blank, a bracket or the line start.
  usage_text "$program" "$work/$program.usage"
  options=$(grep -oE '(^|[][ ,])--?[A-Za-z?]([A-Za-z-]*[A-Za-z])?' "$work/$program.usage" |
            sed 's/^[][ ,]//' | sort -u)
  [ -n "$options" ] || fail "$program: no options found in its usage text"
  for option in $options; do
    escaped=${option//-/\\-}
    grep -qF -- "$escaped" "$page" || fail "$program.1 does not describe $option"
  done

  if command -v groff >/dev/null; then
    groff -man -ww -z -Tutf8 "$page" 2>"$work/$program.warnings" || fail "groff failed on $program.1"
    if [ -s "$work/$program.warnings" ]; then
      cat "$work/$program.warnings" >&2
      fail "groff warns about $program.1"
    fi
  else
    echo "groff not available: rendering of $program.1 not checked"
  fi
done
[ "$pages" -gt 0 ] || fail "no programs to check"
echo "$pages manual pages checked"
