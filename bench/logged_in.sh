#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Logged-in listings benchmark: -lc, -Lc and -L -g against stand-in
# authentication managers and a private sandbox directory.
#
#   bench/logged_in.sh [-c "USERS:SESSIONS ..."] [-r REPEATS] [-z ZTUSER] [-k DIR]
#
# For each USERS it loads that many users (raw token card.N, logical token
# user.uN, user uN) and desktops for nine in ten of their terminals into a
# fresh sandbox; for each SESSIONS of that directory the managers report
# that many logins (user N at terminal N; one in a hundred a stranger's
# token, one in a hundred the second head of a multihead desktop).  Each
# listing runs on one server and on a group of three (the configured
# server's manager names three members, each reporting a third), REPEATS
# times, alternately with the floor of the same case: the managers'
# replies read whole plus one ldapsearch of the desktops and the three user
# containers.  It prints medians, their ratio, the listing's peak memory
# (GNU time) and the load average.  -z picks another ztuser binary; -k DIR
# keeps the last sandbox in DIR (scripts/sandbox down DIR/sb stops it).
# Runs itself in a private network namespace (the managers' fixed port).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/common.sh"
if [ -z "${ZT_BENCH_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root (a private network namespace for the managers)" >&2; exit 1; }
  ZT_BENCH_NETNS=1 exec "$top/scripts/private-net" "$0" "$@"
fi

cases="1000:1000 10000:10000 60000:60000 60000:1000" repeats=3 ztuser="$top/build/ztuser" keep=""
while getopts c:r:z:k: opt; do
  case $opt in
    c) cases=$OPTARG ;;
    r) repeats=$OPTARG ;;
    z) ztuser=$OPTARG ;;
    k) keep=$OPTARG ;;
    *) sed -n '2,19p' "$0" >&2; exit 2 ;;
  esac
done
build="$top/build"
[ -x "$ztuser" ] || { echo "no ztuser at $ztuser (build first)" >&2; exit 1; }
[ -x "$build/authmgr-standin" ] && [ -x "$build/ztprobe" ] || { echo "build authmgr-standin and ztprobe first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time: apt-get install time" >&2; exit 1; }

make_workdir ztbench-li
pids=()
stop_managers() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_managers
  remove_workdir
}
trap cleanup EXIT
export LDAPNOINIT=1 ZT_BUILD_DIR="$build"
readonly members=(127.0.0.3 127.0.0.4 127.0.0.5) port=7010


# ------------------------------------------------------------ the directory
# Users 0..N-1 as bench/listings.sh makes them, and the desktop of terminal
# N (0200 and N in eight hex digits) unless N ends in 9.
directory_ldif() {
  awk -v n="$1" 'BEGIN {
    for (i = 0; i < n; i++) {
      printf "dn: ztID=card.%d,ztName=rawTokens,o=ztdata\nobjectClass: ztRawToken\nztID: card.%d\nztTokenType: user\nztTokenState: unknown\nztEnabled: allowed\n\n", i, i
      printf "dn: ztID=user.u%d,ztName=logicalTokens,o=ztdata\nobjectClass: ztLogicalToken\nztID: user.u%d\nztSessionType: default\nztServerName: srv%d\nztServerPort: 7007\nztRawTokenIDs: card.%d\n\n", i, i, i % 7, i
      printf "dn: ztID=u%d,ztName=users,o=ztdata\nobjectClass: ztUser\nztID: u%d\nztName: User %d\nztFirstTime: 1700000000\nztLogicalTokenIDs: user.u%d\n\n", i, i, i, i
      if (i % 10 != 9) printf "dn: ztID=0200%08x,ztName=desktops,o=ztdata\nobjectClass: ztDesktop\nztID: 0200%08x\nztLocation: Room %d, desk %d\nztOtherInfo: bench\n\n", i, i, i % 50, i
    }
  }'
}

# ------------------------------------------------------------ the managers
# The "status" records of sessions 0..S-1 whose number modulo $2 is $3, as
# one JSON array.
session_records() {
  awk -v n="$1" -v m="$2" -v k="$3" 'BEGIN {
    printf "["; sep = ""
    for (i = 0; i < n; i++) {
      if (i % m != k) continue
      token = (i % 100 == 42) ? "stranger." i : "card." i
      extra = ""
      if (i % 100 == 77) { token = "card." (i - 1); extra = ", \"MultiheadGroupName=g" i "\", \"MultiheadPrimary=false\"" }
      printf "%s\n[\"terminalId=IEEE802.0200%08x\", \"terminalModel=P8\", \"firmware=4.1\", \"connected=true\", \"createTime=1700000000\", \"connectTime=1700003600\", \"terminalIPA=10.0.%d.%d\", \"terminalPort=7777\", \"tokenName=%s\", \"LocalName=%s\"%s]", sep, i, int(i / 250) % 250, i % 250, token, token, extra
      sep = ","
    }
    printf "]"
  }'
}

# The group view naming the three members, trusted and alive.
group_lines() {
  local sep="" m
  printf '['
  for m in "${members[@]}"; do
    printf '%s"host %s lastseen 2 timeoff 0 hostaddr 7f000003 numifs 1 TRUSTED LAN_OK period 20", ' "$sep" "$m"
    printf '"interface lo ipaddr 7f000003 netmask ff000000 bcast 7fffffff lastpkt 1 LAN"'
    sep=", "
  done
  printf ', "end"]'
}

# Writes the scenarios of S sessions: the configured server's with no
# group (single.json) and naming the members (group.json), and one per member.
write_scenarios() {
  local s=$1 k
  printf '{"replies": [{"request": "gstatus\\n", "lines": []}, {"request": "status\\n", "records": %s}]}\n' \
    "$(session_records "$s" 1 0)" > "$work/single.json"
  printf '{"replies": [{"request": "gstatus\\n", "lines": %s}, {"request": "status\\n", "records": []}]}\n' \
    "$(group_lines)" > "$work/group.json"
  for k in 0 1 2; do
    printf '{"replies": [{"request": "status\\n", "records": %s}]}\n' "$(session_records "$s" 3 "$k")" \
      > "$work/member-${members[$k]}.json"
  done
}

start_manager() {
  local host=$1 scenario=$2 i
  rm -f "$work/$host.up"
  setsid "$build/authmgr-standin" --listen "$host:$port" --scenario "$scenario" --pidfile "$work/$host.up" \
    < /dev/null >> "$work/managers.log" 2>&1 &
  pids+=($!)
  for ((i = 0; i < 100; i++)); do [ -e "$work/$host.up" ] && return 0; sleep 0.1; done
  echo "manager on $host did not start" >&2; cat "$work/managers.log" >&2; exit 1
}

# Sends request $2 to the manager on $1 and reads the reply whole.
ask() {
  exec 3<> "/dev/tcp/$1/$port"
  printf '%s' "$2" >&3
  cat <&3 > /dev/null
  exec 3<&-
}

# ------------------------------------------------------------ the floor
floor() {
  local c m
  if [ "$mode" = group ]; then
    ask 127.0.0.1 $'gstatus\n'
    for m in "${members[@]}"; do ask "$m" $'status\n'; done
  else
    ask 127.0.0.1 $'gstatus\n'
    ask 127.0.0.1 $'status\n'
  fi
  for c in desktops users logicalTokens rawTokens; do
    ldapsearch -x -LLL -H "ldap://127.0.0.1:$dsport/" -b "ztName=$c,o=ztdata" '(objectClass=*)' > /dev/null
  done
}


printf 'ztuser: %s   repeats: %d\nload before: %s\n' "$ztuser" "$repeats" "$(load)"
loaded=""
for c in $cases; do
  users=${c%%:*} sessions=${c#*:}
  if [ "$users" != "$loaded" ]; then
    stop_managers
    "$top/scripts/sandbox" down "$sandbox" > /dev/null 2>&1 || true
    directory_ldif "$users" > "$work/load.ldif"
    up_loaded "$work/load.ldif" "$users"
    dsport=$ldap_port
    export ZTADMIN_ROOT="$sandbox/root"
    loaded=$users
  fi
  stop_managers
  write_scenarios "$sessions"
  cp "$work/single.json" "$work/own.json"
  start_manager 127.0.0.1 "$work/own.json"
  for m in "${members[@]}"; do start_manager "$m" "$work/member-$m.json"; done
  printf '\n%d users, %d sessions\n' "$users" "$sessions"
  printf '%-8s %-8s %9s %9s %7s %10s %7s\n' setup listing ztuser floor ratio peak-KiB rows
  for mode in single group; do
    cp "$work/$mode.json" "$work/own.json.tmp" && mv "$work/own.json.tmp" "$work/own.json"
    for args in "-lc" "-Lc" "-L -g"; do
      # shellcheck disable=SC2086
      against_floor $args
      # shellcheck disable=SC2086
      rows=$("$ztuser" $args | tail -1 | awk '{ print $1 }')
      printf '%-8s %-8s %9.3f %9.3f %7.2f %10s %7s\n' "$mode" "$args" "$z" "$f" "$(calc "$z / $f")" "$peak" "$rows"
    done
  done
  printf 'load: %s\n' "$(load)"
done
printf '\nload after: %s\n' "$(load)"
