# SPDX-License-Identifier: GPL-3.0-or-later
# What the benchmarks share: clocks, arithmetic, medians and the load average.
# Sourced, not run.

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

# Seconds "$@" takes, its output thrown away.
timed() {
  local t0 t1
  t0=$(now)
  "$@" > /dev/null
  t1=$(now)
  calc "$t1 - $t0"
}

# Sets `work` (KEEP if given, else a new directory named after PREFIX) and
# the `sandbox` directory in it.
# Times "$ztuser ARGS..." and the caller's `floor` alternately, $repeats
# times each (files in $work); sets z and f to their medians and peak to the
# command's peak memory in KiB.
# shellcheck disable=SC2154,SC2034  # work, repeats and ztuser are the caller's; z, f and peak are its results
against_floor() {
  : > "$work/t.z"; : > "$work/t.f"
  for _ in $(seq "$repeats"); do
    timed "$ztuser" "$@" >> "$work/t.z"
    timed floor >> "$work/t.f"
  done
  peak=$(/usr/bin/time -f %M "$ztuser" "$@" 2>&1 >/dev/null | tail -1)
  z=$(median < "$work/t.z"); f=$(median < "$work/t.f")
}

make_workdir() {  # prefix
  work=${keep:-$(mktemp -d "/tmp/$1.XXXXXX")}
  mkdir -p "$work"
  sandbox="$work/sb"
}

# Stops the sandbox and removes the work directory, unless it is kept.
remove_workdir() {
  [ -n "$keep" ] && return 0
  "$top/scripts/sandbox" down "$sandbox" > /dev/null 2>&1 || true
  rm -rf "$work"
}

# Starts the sandbox with LDIF loaded into the primary and waits until the
# replica holds its last user, uUSERS-1; sets `ldap_port`.
up_loaded() {  # ldif users
  ZT_SANDBOX_LOAD="$1" "$top/scripts/sandbox" up "$sandbox"
  ldap_port=$(cat "$sandbox/port")
  local last="ztID=u$(($2 - 1)),ztName=users,o=ztdata" _
  for _ in $(seq 600); do
    ldapsearch -x -LLL -H "ldap://127.0.0.1:$ldap_port/" -b "$last" -s base dn 2>/dev/null | grep -q '^dn' && break
    sleep 0.5
  done
}
