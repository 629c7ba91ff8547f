#!/usr/bin/env bash
# Unified-log extraction benchmark: what the standalone extraction of a busy
# month costs, and what the `log` tool costs for one day.
#
# Usage:
#   bench/oslog_extraction_bench.sh [-s SIZE_MIB] [-r RUNS] [-b BUILD_DIR]
#
#   -s SIZE_MIB   size of the generated store (default 1024)
#   -r RUNS       timed runs of each `log show` case (default 5; the median counts)
#   -b BUILD_DIR  where the programs are (default: build of this checkout)
#
# Needs: bash, perl, grep, gzip, /usr/bin/time, and about 2.2 GiB free in
# $TMPDIR (else /tmp) for the stores and the extracts. Build first:
#   cmake -S . -B build && cmake --build build -j8
#
# What it does (everything in a scratch folder under $TMPDIR, removed at the
# end; nothing is kept in the checkout):
#   1. Generates a record store of SIZE_MIB over today and the 30 days before
#      it (UTC), in time order: mostly the product's subsystem (some records
#      carry the diagnostics wrapper frame, category tag and " localhost "),
#      a few of the catalogued process sysextd and of other processes; and a
#      second store holding only the records of one day in the middle.
#   2. Extraction: runs one whole collection (command-line mode, the sample
#      tree, no services) on the big store and takes the extraction's wall
#      time from the collection's own records (from the fallback warning to
#      the summary step), against `grep -F <subsystem> store | gzip -1` over
#      the same store. Target: at most 1.5 times.
#   3. `log show` of that one day from the 31-day store against the one-day
#      store, median of RUNS each. Target: at most 2 times.
#   4. Peak resident memory: of the collection's own process (VmHWM sampled
#      every 5 ms, children apart) and of `log` (for the day, and for a scan
#      of the whole store). Target: at most 64 MiB each.
# Exit status: 0 when every target holds, 3 when one fails, 1 on an error.

set -euo pipefail

readonly SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
size_mib=1024
runs=5
build="$SCRIPT_DIR/../build"
while getopts "s:r:b:h" opt; do
  case $opt in
    s) size_mib=$OPTARG ;;
    r) runs=$OPTARG ;;
    b) build=$OPTARG ;;
    *) sed -n '2,30p' "$0"; exit 1 ;;
  esac
done
program="$build/bin/Nerova Diagnostic Utility"
logtool="$build/bin/log"
[ -x "$program" ] && [ -x "$logtool" ] || { echo "build the programs first ($build/bin)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/nrv-oslog-bench.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
export TZ=UTC

now=$(date +%s)
today0=$(( now / 86400 * 86400 ))
first=$(( today0 - 30 * 86400 ))
picked=$(( today0 - 15 * 86400 ))        # the one day of step 3
picked_day=$(date -u -d "@$picked" +%Y-%m-%d)
next_day=$(date -u -d "@$(( picked + 86400 ))" +%Y-%m-%d)

echo "generating a ${size_mib} MiB store over 31 days in $work ..."
t0=$(date +%s.%N)
perl -e '
  use strict; use warnings;
  my ($from, $to, $bytes, $store, $daystore, $day0) = @ARGV;
  srand(42);
  open(my $all, ">", $store) or die;
  open(my $one, ">", $daystore) or die;
  my @words = qw(scan update policy relay session cache engine verdict quarantine heartbeat
                 telemetry config agent daemon handler request response queue timer socket);
  my @msgs;
  for my $i (0 .. 255) {
    my $m = join(" ", map { $words[($i * 7 + $_ * 3) % @words] } 0 .. 8 + $i % 12);
    $m = "zep : $m <libNerovaFoundation.dylib`NerovaDiagnosticsWithArguments+" . ($i * 4) . ">" if $i % 9 == 0;
    $m = "connect to localhost failed: $m" if $i % 13 == 0;
    push @msgs, $m;
  }
  my $count = int($bytes / 232);
  my $step = ($to - $from) / $count;
  my ($t, $written) = ($from, 0);
  my $buf = ""; my $dbuf = "";
  for (my $n = 0; $n < $count; $n++, $t += $step) {
    my $sec = int($t); my $us = int(($t - $sec) * 1e6);
    my @g = gmtime($sec);
    my $stamp = sprintf("%04d-%02d-%02d %02d:%02d:%02d.%06d+0000", $g[5] + 1900, $g[4] + 1, $g[3], $g[2], $g[1], $g[0], $us);
    my $r = $n % 100;
    my ($proc, $sub, $cat) = $r < 90 ? ("nerovad", "com.nerova.rivovovuvev", $r % 3 ? "zep" : "diagnostics")
                          : $r < 95 ? ("sysextd", "com.apple.sx", "default")
                          : ("kernel_task", "", "");
    my $line = sprintf("%s\t%d.%06d\t%d\t%d\t%s\t%s\t%s\t%s\t%s id=%08x\n", $stamp, $sec, $us, 400 + $r, 7000 + $n % 64,
                       $proc, $sub, $cat, $r % 7 ? "Default" : "Info", $msgs[$n % 256], int(rand(4294967295)));
    $buf .= $line;
    $dbuf .= $line if $sec >= $day0 && $sec < $day0 + 86400;
    if (length($buf) > 1 << 20) { print $all $buf; $buf = ""; }
    if (length($dbuf) > 1 << 20) { print $one $dbuf; $dbuf = ""; }
  }
  print $all $buf; print $one $dbuf;
' "$first" "$now" $(( size_mib << 20 )) "$work/store" "$work/daystore" "$picked"
t1=$(date +%s.%N)
store_bytes=$(stat -c %s "$work/store")
echo "  $(( store_bytes >> 20 )) MiB in $(echo "$t1 - $t0" | bc) s; one-day store $(( $(stat -c %s "$work/daystore") >> 20 )) MiB"
cat "$work/store" "$work/daystore" > /dev/null   # warm the page cache for both sides

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
secs() { echo "$2 - $1" | bc; }

# ---- 2. extraction against grep | gzip ------------------------------------
t0=$(date +%s.%N)
grep -F 'com.nerova.rivovovuvev' "$work/store" | gzip -1 > "$work/baseline.gz"
t1=$(date +%s.%N)
base_wall=$(secs "$t0" "$t1")

mkdir -p "$work/tmp" "$work/out" "$work/runtime"
read -r -d '' SAMPLER <<'PERL' || true
my ($pid) = @ARGV; my $hwm = 0;
while (1) {
  open(my $st, "<", "/proc/$pid/status") or last; my $seen;
  while (<$st>) { if (/^VmHWM:\s+(\d+)/) { $seen = $1; last } }
  close($st); last unless defined $seen;
  $hwm = $seen if $seen > $hwm; select(undef, undef, undef, 0.005);
}
print "$hwm\n";
PERL
NRV_LOG_STORE="$work/store" NRV_RUNTIME_ROOT="$work/runtime" TMPDIR="$work/tmp" HOME="$work" \
  NRV_SYSTEM_ROOT="$SCRIPT_DIR/../tests/fixtures/sample-root" \
  "$program" --cli --output_path "$work/out" > "$work/cli.out" 2>&1 &
pid=$!
coll_hwm_kb=$(perl -e "$SAMPLER" "$pid")
wait "$pid" || { echo "the collection failed:" >&2; tail "$work/cli.out" >&2; exit 1; }
# The collection appended its own records to the store: the extraction runs
# from the fallback warning to the summary step.
stamp_of() { tail -c 4000000 "$work/store" | grep -F "$1" | tail -1 | cut -f2; }
ext_start=$(stamp_of "ZEP Status: Trying standalone log collection")
ext_end=$(stamp_of "ZEP Status: WQR activity summary skipped")
[ -n "$ext_start" ] && [ -n "$ext_end" ] || { echo "no extraction lines in the store" >&2; exit 1; }
ext_wall=$(secs "$ext_start" "$ext_end")
extracts=$(unzip -l "$work"/out/*.zip | grep -c 'NerovaDiagnostics/com.nerova.rivovovuvev-' || true)
extract_bytes=$(unzip -l "$work"/out/*.zip | awk '/NerovaDiagnostics\/(com.nerova.rivovovuvev|sysextd)-/ { s += $1 } END { print s + 0 }')

# ---- 3. one day: 31-day store against one-day store ------------------------
day_args=(show --info --signpost --no-pager --style compact --start "$picked_day" --end "$next_day"
          --predicate "subsystem == 'com.nerova.rivovovuvev'")
time_show() {  # $1: store; prints "seconds peak_kib" per run
  local t0 t1
  for _ in $(seq "$runs"); do
    t0=$(date +%s.%N)
    NRV_LOG_STORE="$1" /usr/bin/time -f "%M" -o "$work/time.txt" "$logtool" "${day_args[@]}" > /dev/null
    t1=$(date +%s.%N)
    echo "$(secs "$t0" "$t1") $(cat "$work/time.txt")"
  done
}
big_runs=$(time_show "$work/store")
one_runs=$(time_show "$work/daystore")
big_day=$(echo "$big_runs" | cut -d' ' -f1 | median)
one_day=$(echo "$one_runs" | cut -d' ' -f1 | median)
log_day_kb=$(echo "$big_runs" | cut -d' ' -f2 | sort -n | tail -1)
NRV_LOG_STORE="$work/store" /usr/bin/time -f "%e %M" -o "$work/time.txt" "$logtool" show --info > /dev/null
read -r scan_secs log_scan_kb < "$work/time.txt"

# ---- report ---------------------------------------------------------------
ratio() { echo "scale=2; $1 / $2" | bc; }
mib() { echo "scale=1; $1 / 1024" | bc; }
ext_ratio=$(ratio "$ext_wall" "$base_wall")
day_ratio=$(ratio "$big_day" "$one_day")
status=0
verdict() { if [ "$(echo "$1 <= $2" | bc)" = 1 ]; then echo "ok"; else status=3; echo "MISSED"; fi; }
echo
echo "store: $(( store_bytes >> 20 )) MiB, 31 days; extracts: $extracts subsystem days, $(( extract_bytes >> 20 )) MiB compressed (with the process days)"
echo "extraction (31 subsystem days + 11 sysextd days): ${ext_wall} s; grep -F | gzip -1: ${base_wall} s; ratio ${ext_ratio} (target <= 1.5: $(verdict "$ext_ratio" 1.5))"
echo "log show of $picked_day: 31-day store ${big_day} s, one-day store ${one_day} s (median of $runs); ratio ${day_ratio} (target <= 2: $(verdict "$day_ratio" 2))"
echo "peak RSS: collection $(mib "$coll_hwm_kb") MiB ($(verdict "$coll_hwm_kb" 65536)); log show of a day $(mib "$log_day_kb") MiB ($(verdict "$log_day_kb" 65536)); log show of the whole store $(mib "$log_scan_kb") MiB in ${scan_secs} s ($(verdict "$log_scan_kb" 65536))"
exit $status
