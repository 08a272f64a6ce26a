#!/usr/bin/env bash
# The terminal's systemd unit as systemd itself judges it: `systemd-analyze
# verify` has nothing to say about it, `systemd-analyze security` rates its
# exposure at 2.0 or below, and its sysusers entry makes the user and group
# it runs as. The command line it builds is run in
# tests/app/test_quorvane_service.cpp.
set -euo pipefail
. "$(dirname "$0")/common.sh"

command -v systemd-analyze >/dev/null ||
  { echo "systemd-analyze not available: install systemd (apt-get install systemd) to check the unit"; exit 77; }
make_work_dir
unit="$QV_SOURCE_DIR/packaging/quorvane@.service"
[ -f "$unit" ] || fail "no unit at $unit"

# verify also looks up the manual page that the unit names: this tree's,
# not one installed on the machine. Warnings (an unknown key, a value that
# does not parse) leave its status at 0, so any output is a fault.
mkdir -p "$work/man/man1"
cp "$QV_SOURCE_DIR/docs/man/quorvane.1" "$work/man/man1/"
status=0
MANPATH="$work/man" systemd-analyze verify "$unit" >"$work/verify.out" 2>&1 || status=$?
if [ "$status" -ne 0 ] || [ -s "$work/verify.out" ]; then
  cat "$work/verify.out" >&2
  fail "systemd-analyze verify finds fault with quorvane@.service (status $status)"
fi

status=0
systemd-analyze security --offline=true "$unit" >"$work/security.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$work/security.out" >&2; fail "systemd-analyze security failed (status $status)"; }
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9][0-9.]*\) .*/\1/p' "$work/security.out")
[ -n "$score" ] || { cat "$work/security.out" >&2; fail "systemd-analyze security gave no exposure level"; }
echo "what is left open:"
grep '✗' "$work/security.out" | sed 's/  */ /g' || true
grep 'Overall exposure level' "$work/security.out"
awk -v score="$score" 'BEGIN { exit !(score <= 2.0) }' || fail "exposure level $score is above 2.0"

# The user the unit names, with its group of the same name, made as the
# package's postinst makes it, in a root of our own.
mkdir -p "$work/root/etc"
run_logged "systemd-sysusers refuses the entry" "$work/sysusers.log" \
  systemd-sysusers --root="$work/root" "$QV_SOURCE_DIR/packaging/quorvane.sysusers"
user=$(sed -n 's/^User=//p' "$unit")
group=$(sed -n 's/^Group=//p' "$unit")
passwd=$(grep "^$user:" "$work/root/etc/passwd") || fail "no user $user made"
gid=$(grep "^$group:" "$work/root/etc/group" | cut -d: -f3) || fail "no group $group made"
[ "$(cut -d: -f4 <<<"$passwd")" = "$gid" ] || fail "user $user is not in group $group: $passwd"
[ "$(cut -d: -f3 <<<"$passwd")" -lt 1000 ] || fail "user $user is not a system user: $passwd"
case $passwd in
  *:/nonexistent:*/nologin) ;;
  *) fail "user $user has a home or a shell: $passwd" ;;
esac
echo "quorvane@.service verified, exposure level $score, user and group $user:$group made"
