#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Listing and batch benchmark against a private sandbox directory.
#
#   bench/listings.sh [-n USERS] [-r REPEATS] [-b BATCH] [-z ZTUSER] [-k DIR]
#
# Loads USERS users (one logical and one raw token each) into a fresh
# sandbox, then times every listing beside the ldapsearch floor of the same
# three containers (run alternately, REPEATS times each, medians), runs a
# batch add, edit and delete of BATCH users, and prints peak memory and the
# load average seen.  -z picks another ztuser binary (to compare builds);
# -k DIR builds the sandbox in DIR and leaves it running at the end (stop it
# with scripts/sandbox down DIR/sb).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/common.sh"
users=10000 repeats=5 batch=200 ztuser="$top/build/ztuser" keep=""
while getopts n:r:b:z:k: opt; do
  case $opt in
    n) users=$OPTARG ;;
    r) repeats=$OPTARG ;;
    b) batch=$OPTARG ;;
    z) ztuser=$OPTARG ;;
    k) keep=$OPTARG ;;
    *) sed -n '2,12p' "$0" >&2; exit 2 ;;
  esac
done
[ -x "$ztuser" ] || { echo "no ztuser at $ztuser (build first)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time: apt-get install time" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "run as root (the batches need the super-user's access level)" >&2; exit 1; }

make_workdir ztbench
trap remove_workdir EXIT
export LDAPNOINIT=1

# ------------------------------------------------------------ the directory
# One user per line of data: raw token card.N, logical token user.uN, a
# name from a small list (some with commas), other information on a third.
awk -v n="$users" 'BEGIN {
  split("Ann Bo Carla Dmitri Eve Farid Gao Hanna Ivo Jun", first, " ")
  split("Smith Jones O-Neil Young Park Novak Diaz Kim Ito Berg", last, " ")
  for (i = 0; i < n; i++) {
    printf "dn: ztID=card.%d,ztName=rawTokens,o=ztdata\nobjectClass: ztRawToken\nztID: card.%d\nztTokenType: user\nztTokenState: unknown\nztEnabled: allowed\n\n", i, i
    printf "dn: ztID=user.u%d,ztName=logicalTokens,o=ztdata\nobjectClass: ztLogicalToken\nztID: user.u%d\nztSessionType: default\nztServerName: srv%d\nztServerPort: 7007\nztRawTokenIDs: card.%d\n\n", i, i, i % 7, i
    name = first[i % 10 + 1] " " last[int(i / 10) % 10 + 1] (i % 5 == 0 ? ", jr" : "") " " i
    printf "dn: ztID=u%d,ztName=users,o=ztdata\nobjectClass: ztUser\nztID: u%d\nztName: %s\nztFirstTime: 1700000000\nztLogicalTokenIDs: user.u%d\n", i, i, name, i
    if (i % 3 == 0) printf "ztOtherInfo: desk %d, floor %d\n", i, i % 9
    printf "\n"
  }
}' > "$work/load.ldif"
up_loaded "$work/load.ldif" "$users"
port=$ldap_port
export ZTADMIN_ROOT="$sandbox/root"


# The data floor: the three containers, every attribute, as LDIF.
floor() {
  local c
  for c in users logicalTokens rawTokens; do
    ldapsearch -x -LLL -H "ldap://127.0.0.1:$port/" -b "ztName=$c,o=ztdata" '(objectClass=*)' > /dev/null
  done
}


printf 'users: %d   repeats: %d   ztuser: %s\n' "$users" "$repeats" "$ztuser"
printf 'load before: %s\n\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %9s %9s %7s %10s\n' listing ztuser floor ratio peak-KiB
for args in "-l" "-L" "-li 1" "-ln an" "-Ln an" "-o"; do
  # shellcheck disable=SC2086
  against_floor $args
  printf '%-14s %9.3f %9.3f %7.2f %10s\n' "$args" "$z" "$f" "$(calc "$z / $f")" "$peak"
done

# ------------------------------------------------------------ the batches
awk -v n="$batch" 'BEGIN { for (i = 0; i < n; i++) printf "bench.%d, localhost, 7007, Batch User %d, added by the benchmark\n", i, i }' \
  > "$work/add.csv"
awk -v n="$batch" 'BEGIN { for (i = 0; i < n; i++) printf "bench.%d, localhost, 7008, Batch User %d\n", i, i }' \
  > "$work/edit.csv"
awk -v n="$batch" 'BEGIN { for (i = 0; i < n; i++) printf "bench.%d\n", i }' > "$work/delete.csv"
printf '\n%-14s %9s %12s\n' batch seconds users/s
for op in add edit delete; do
  t0=$(now)
  "$ztuser" "-${op:0:1}f" "$work/$op.csv" > /dev/null 2> "$work/$op.err"
  t1=$(now)
  s=$(calc "$t1 - $t0")
  printf '%-14s %9.2f %12.1f\n' "$op" "$s" "$(calc "$batch / $s")"
done
printf '\nload after: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
