#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Batch and one-user benchmark against a private sandbox directory.
#
#   bench/batches.sh [-n USERS] [-r REPEATS] [-o ONE_REPEATS] [-z ZTUSER] [-k DIR] [-l]
#
# Times a batch add, edit and delete of USERS users through the replica
# (the sandbox's own configuration) beside its floor, ldapadd, ldapmodify
# and ldapdelete of the same entries and changes on the primary, each in
# one process; REPEATS rounds run alternately, and the medians and their
# ratio are printed with the TCP connections each batch made with the
# primary (from the primary's cn=Monitor; with -l slapd logs its
# connections and the "ACCEPT" lines of the primary's log are counted
# instead, at the cost of slower servers).  Then the one-user commands -a,
# -e, -p, -d and -lc (on a failover group of one, with the stand-in
# managers) beside a bare connect, CRAM-MD5 bind and search of one entry
# (ldapsearch), ONE_REPEATS rounds.  -z picks another ztuser binary; -k DIR
# builds the sandbox in DIR and leaves it running (scripts/sandbox down
# DIR/sb stops it).  Runs as root: the batches need the super-user's access
# level.  Hold /tmp/ztadmin-bench.lock exclusively while it runs.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/common.sh"
users=1000 repeats=3 one_repeats=7 ztuser="$top/build/ztuser" keep="" from_log=""
while getopts n:r:o:z:k:l opt; do
  case $opt in
    n) users=$OPTARG ;;
    r) repeats=$OPTARG ;;
    o) one_repeats=$OPTARG ;;
    z) ztuser=$OPTARG ;;
    k) keep=$OPTARG ;;
    l) from_log=1 ;;
    *) sed -n '2,20p' "$0" >&2; exit 2 ;;
  esac
done
[ -x "$ztuser" ] || { echo "no ztuser at $ztuser (build first)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "run as root (the batches need the super-user's access level)" >&2; exit 1; }
[ -x "$top/build/authmgr-standin" ] || { echo "build the stand-ins first (cmake --build build)" >&2; exit 1; }

make_workdir ztbatch
trap remove_workdir EXIT
export LDAPNOINIT=1

ZT_SANDBOX_DEBUG=${from_log:+stats} ZT_BUILD_DIR="$top/build" "$top/scripts/sandbox" up "$sandbox" --standins
port=$(cat "$sandbox/port")
export ZTADMIN_ROOT="$sandbox/root"
unset ZTADMIN_LOG
admin="cn=admin,o=ztdata" password="Sandbox-Secret42"
primary="ldap://127.0.0.2:$port/" replica="ldap://127.0.0.1:$port/"


# Seconds "$@" takes (its output thrown away; a failure ends the run).
timed() {
  local t0 t1
  t0=$(now)
  "$@" > /dev/null 2> "$work/last.err" || { cat "$work/last.err" >&2; echo "failed: $*" >&2; exit 1; }
  t1=$(now)
  calc "$t1 - $t0"
}

# Connections the primary has accepted so far, with -l from its log, else
# from cn=Monitor (this query's own included: `own` says how many the
# count itself adds).
own=1
[ -n "$from_log" ] && own=0
accepted() {
  [ -n "$from_log" ] && { grep -c ' ACCEPT from ' "$sandbox/log/primary.log" || true; return; }
  ldapsearch -x -LLL -H "$primary" -D "$admin" -w "$password" -b "cn=Total,cn=Connections,cn=Monitor" \
    -s base monitorCounter | awk '/^monitorCounter:/ { print $2 }'
}

# ------------------------------------------------------------ the files
# ztuser's batch files, and the floor: the same entries and changes as
# LDIF (user IDs of the floor's own, fl.N).
awk -v n="$users" 'BEGIN { for (i = 0; i < n; i++)
  printf "bench.%d, localhost, 7007, Batch User %d, added by the benchmark\n", i, i }' > "$work/add.csv"
awk -v n="$users" 'BEGIN { for (i = 0; i < n; i++) printf "bench.%d, localhost, 7008, Batch User %d\n", i, i }' \
  > "$work/edit.csv"
awk -v n="$users" 'BEGIN { for (i = 0; i < n; i++) printf "bench.%d\n", i }' > "$work/delete.csv"
awk -v n="$users" 'BEGIN { for (i = 0; i < n; i++) {
  printf "dn: ztID=floor.%d,ztName=rawTokens,o=ztdata\nobjectClass: ztRawToken\nztID: floor.%d\nztTokenType: user\n", i, i
  printf "ztTokenState: unknown\nztEnabled: allowed\n\n"
  printf "dn: ztID=user.fl.%d,ztName=logicalTokens,o=ztdata\nobjectClass: ztLogicalToken\nztID: user.fl.%d\n", i, i
  printf "ztSessionType: default\nztServerName: localhost\nztServerPort: 7007\nztRawTokenIDs: floor.%d\n\n", i
  printf "dn: ztID=fl.%d,ztName=users,o=ztdata\nobjectClass: ztUser\nztID: fl.%d\nztName: Batch User %d\n", i, i, i
  printf "ztOtherInfo: added by the benchmark\nztFirstTime: 1700000000\nztLogicalTokenIDs: user.fl.%d\n\n", i } }' \
  > "$work/add.ldif"
# The edit replaces what ztuser's edit replaces: the logical token's seven
# attributes and the user's eight (an empty replace removes one).
awk -v n="$users" 'BEGIN { for (i = 0; i < n; i++) {
  printf "dn: ztID=user.fl.%d,ztName=logicalTokens,o=ztdata\nchangetype: modify\n", i
  printf "replace: ztTokenName\n-\nreplace: ztSessionType\nztSessionType: default\n-\nreplace: ztSessionParams\n-\n"
  printf "replace: ztServerName\nztServerName: localhost\n-\nreplace: ztServerPort\nztServerPort: 7008\n-\n"
  printf "replace: ztMisc1\n-\nreplace: ztMisc2\n\n"
  printf "dn: ztID=fl.%d,ztName=users,o=ztdata\nchangetype: modify\n", i
  printf "replace: ztName\nztName: Batch User %d\n-\nreplace: ztOtherInfo\n-\n", i
  printf "replace: ztFirstTime\nztFirstTime: 1700000000\n-\nreplace: ztStatus\nztStatus: 0\n-\n"
  printf "replace: ztLastDesktop\n-\nreplace: ztLastTime\nztLastTime: 0\n-\nreplace: ztMisc1\n-\nreplace: ztMisc2\n\n" } }' \
  > "$work/edit.ldif"
awk -v n="$users" 'BEGIN { for (i = 0; i < n; i++)
  printf "ztID=fl.%d,ztName=users,o=ztdata\nztID=user.fl.%d,ztName=logicalTokens,o=ztdata\nztID=floor.%d,ztName=rawTokens,o=ztdata\n", i, i, i }' \
  > "$work/delete.dns"

floor_add() { ldapadd -x -H "$primary" -D "$admin" -w "$password" -f "$work/add.ldif"; }
floor_edit() { ldapmodify -x -H "$primary" -D "$admin" -w "$password" -f "$work/edit.ldif"; }
floor_delete() { ldapdelete -x -H "$primary" -D "$admin" -w "$password" -f "$work/delete.dns"; }

# ------------------------------------------------------------ the batches
printf 'users: %d   repeats: %d   ztuser: %s\n' "$users" "$repeats" "$ztuser"
printf 'load before: %s\n\n' "$(load)"
for op in add edit delete; do : > "$work/t.$op.z"; : > "$work/t.$op.f"; : > "$work/c.$op"; done
for _ in $(seq "$repeats"); do
  for op in add edit delete; do
    before=$(accepted)
    timed "$ztuser" "-${op:0:1}f" "$work/$op.csv" >> "$work/t.$op.z"
    if grep -q 'Error' "$work/last.err"; then grep Error "$work/last.err" | head -3 >&2; exit 1; fi
    echo $(($(accepted) - before - own)) >> "$work/c.$op"
  done
  timed floor_add >> "$work/t.add.f"
  timed floor_edit >> "$work/t.edit.f"
  timed floor_delete >> "$work/t.delete.f"
done
printf '%-8s %9s %9s %7s %12s %14s\n' batch ztuser floor ratio connections per-user
for op in add edit delete; do
  z=$(median < "$work/t.$op.z"); f=$(median < "$work/t.$op.f"); c=$(median < "$work/c.$op")
  printf '%-8s %9.3f %9.3f %7.2f %12s %14.3f\n' "$op" "$z" "$f" "$(calc "$z / $f")" "$c" "$(calc "$c / $users")"
done
printf 'load after the batches: %s\n\n' "$(load)"

# ------------------------------------------------------------ one user
# A failover group of one: the configured server's manager names only the
# first member.
scenario="$sandbox/standins/authmgr-127.0.0.1.json"
python3 - "$scenario" <<'PY'
import json, sys
path = sys.argv[1]
with open(path) as f:
    scenario = json.load(f)
for reply in scenario["replies"]:
    if reply["request"] == "gstatus\n":
        reply["lines"] = reply["lines"][:2] + ["end"]
with open(path, "w") as f:
    json.dump(scenario, f)
PY
bare() {
  ldapsearch -LLL -Q -Y CRAM-MD5 -U "$admin" -w "$password" -H "$replica" -b "ztName=users,o=ztdata" -s base dn
}
for c in a e p d lc bare; do : > "$work/t1.$c"; done
for i in $(seq "$one_repeats"); do
  timed "$ztuser" -a "one.$i, localhost, 7007, One User $i" >> "$work/t1.a"
  timed bare >> "$work/t1.bare"
  timed "$ztuser" -e "one.$i, localhost, 7008, One User $i" >> "$work/t1.e"
  timed bare >> "$work/t1.bare"
  timed "$ztuser" -p "one.$i" >> "$work/t1.p"
  timed bare >> "$work/t1.bare"
  timed "$ztuser" -d "one.$i" >> "$work/t1.d"
  timed bare >> "$work/t1.bare"
  timed "$ztuser" -lc >> "$work/t1.lc"
  timed bare >> "$work/t1.bare"
done
b=$(median < "$work/t1.bare")
printf '%-8s %9s %9s %7s\n' command ztuser floor ratio
for c in a e p d lc; do
  z=$(median < "$work/t1.$c")
  printf '%-8s %9.4f %9.4f %7.2f\n' "-$c" "$z" "$b" "$(calc "$z / $b")"
done
printf '\nload after: %s\n' "$(load)"
