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
