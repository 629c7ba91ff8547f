#!/usr/bin/env bash
# Collection benchmark: how much a collection costs over a plain copy and zip.
#
# Usage:
#   bench/collection_bench.sh [options] [TREE_DIR]
#
#   TREE_DIR          where the product tree is generated (default: bench/out/tree,
#                     which git ignores). An existing tree made by this script with
#                     the same parameters is reused; a non-empty folder that this
#                     script did not make is refused, never overwritten.
#   -r, --runs N      timed runs of each side, alternating (default 3, at least 2)
#   -p, --program P   the program (default: build/bin/Nerova Diagnostic Utility
#                     of this checkout)
#   --baseline-only   generate the tree and time only the baseline (to try the
#                     script out before the program exists)
#   --generate-only   generate (or check) the tree and stop
#   -h, --help        this text
#
# Needs: bash, perl, coreutils, zip and unzip; about 4 GiB free beside the tree and
# in the temporary folder ($TMPDIR, else /tmp). Build first:
#   cmake -S . -B build && cmake --build build -j8
#
# What it does:
#   1. Generates, once, a product tree: 20,000 files (1 GiB in all) in 2,100
#      folders spread over the catalogue's five log folders, plus one 256 MiB log
#      file that shows whether a single file is copied in constant memory. The
#      data is deterministic (fixed seeds; perl's rand is drand48 everywhere):
#      log-like text lines with random identifiers and hashes, random binary
#      blobs inside some logs, and rotated ".log.gz" files of random bytes, so
#      zip does realistic work (the tree compresses to about 40 %).
#   2. Warms the page cache with an untimed read of the tree before every timed
#      run. Caches cannot be dropped without root privileges, so every timed run
#      reads the tree from memory.
#   3. Alternates, RUNS times each (the order flips every round so that drift
#      hits both sides alike), with `sync` before every timed run:
#        baseline:   `cp -r` of the five log folders into a fresh staging folder,
#                    laid out as the collection lays them out, then
#                    `zip -r -9 -q -X` of it, timed together as one wall time;
#        collection: NRV_SYSTEM_ROOT=<tree> "<program>" --cli --output_path <dir>,
#                    its whole wall time.
#      Both stage in the same temporary file system ($TMPDIR, else /tmp).
#   4. Checks the first collection's archive: every file of the five folders is
#      in it and the large file comes out byte for byte.
#   5. Collects, untimed, a small tree (1,000 files) for a second peak-memory
#      point: the peak must not grow with the tree.
#   6. Prints both median wall times (and the best), their ratio, the program's
#      peak resident memory, the largest single file, and whether each target
#      holds: ratio <= 1.10; peak resident memory of the program, its children
#      apart, <= 64 MiB; the largest file copied in constant memory.
#
# Exit status: 0 when every target holds, 3 when a target fails, 1 on an error.
#
# The program runs with TMPDIR, NRV_LOG_STORE and NRV_RUNTIME_ROOT pointing into
# the benchmark's own scratch folder (the last two only when not set already),
# so that no log store or service of the machine changes the figures, and the
# benchmark leaves nothing in them.

set -euo pipefail

readonly SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly REPO_DIR="$(cd "$SCRIPT_DIR/.." && pwd)"

# Tree parameters; changing any of them makes the next run generate anew.
readonly TREE_VERSION=1
readonly TREE_SEED=20261209
readonly GROUPS_PER_FOLDER=20           # 5 x 20 groups of 20 leaves: 2,100 folders
readonly LEAVES_PER_GROUP=20
readonly FILES_PER_LEAF=10              # 5 x 400 leaves x 10 files: 20,000 files
readonly BYTES_PER_FOLDER=214748365     # 5 x this: just over 1 GiB
readonly BIG_FILE_BYTES=$((256 * 1024 * 1024))
readonly BIG_FILE_REL="Library/Logs/NerovaManagementAgent/NerovaManagementAgent.log"

readonly RATIO_TARGET=1.10
readonly PEAK_TARGET_MIB=64

# Catalogue folder (under the tree) | where the collection stages it.
readonly -a LOG_FOLDERS=(
    "Library/Logs/Nerova Anti-Virus/Scans|qrb/system_scan_logs|scan"
    "Library/Logs/NerovaMessageRouter|rms/NerovaMessageRouter|router"
    "Library/Logs/NerovaManagementAgent|rms/NerovaManagementAgent|agent"
    "Library/Logs/Nerova/Nerova LiveQuery|xdr/logs|livequery"
    "Library/Application Support/Nerova LiveQuery/scheduled-query-pack|xdr/scheduled-query-pack|pack"
)

die() { echo "collection_bench: $*" >&2; exit 1; }
note() { echo "== $*"; }

usage() { sed -n '2,/^$/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }

runs=3
program="$REPO_DIR/build/bin/Nerova Diagnostic Utility"
mode=full
tree=""
while (($#)); do
    case "$1" in
        -r|--runs) (($# >= 2)) || die "$1 needs a number"; runs="$2"; shift 2 ;;
        -p|--program) (($# >= 2)) || die "$1 needs a path"; program="$2"; shift 2 ;;
        --baseline-only) mode=baseline; shift ;;
        --generate-only) mode=generate; shift ;;
        -h|--help) usage; exit 0 ;;
        -*) die "unknown option $1 (see --help)" ;;
        *) [[ -z "$tree" ]] || die "only one TREE_DIR"; tree="$1"; shift ;;
    esac
done
[[ "$runs" =~ ^[0-9]+$ ]] && ((runs >= 2)) || die "--runs must be a number of at least 2"
tree="${tree:-$SCRIPT_DIR/out/tree}"
mkdir -p "$(dirname "$tree")"
tree="$(cd "$(dirname "$tree")" && pwd)/$(basename "$tree")"

for tool in perl zip unzip cp sync awk find xargs; do
    command -v "$tool" >/dev/null || die "$tool is needed"
done
if [[ "$mode" == full ]]; then
    [[ -x "$program" ]] || die "no program at '$program' (build it: cmake -S . -B build && cmake --build build -j8)"
fi

free_bytes() { df -P -B1 "$1" | awk 'NR == 2 { print $4 }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

# ---------------------------------------------------------------------------
# Tree generation

readonly MARKER_NAME=".nrv-collection-bench"
marker_text() {
    echo "version=$TREE_VERSION seed=$TREE_SEED groups=$GROUPS_PER_FOLDER leaves=$LEAVES_PER_GROUP" \
         "files=$FILES_PER_LEAF bytes=$BYTES_PER_FOLDER big=$BIG_FILE_BYTES"
}

# One perl process writes one catalogue folder (mode "folder") or the large file
# (mode "big"). Content is built from a fixed seed; each file is written whole,
# the large one in 1 MiB pieces.
read -r -d '' GENERATOR <<'PERL' || true
use strict;
use warnings;
use POSIX qw(strftime);
use File::Path qw(make_path);

my ($mode, $seed, $target, $prefix, @rest) = @ARGV;
srand($seed);

# 4 MiB of random bytes; slices at random offsets are never within deflate's
# 32 KiB window of one another, so they do not compress.
my $pool = pack("N*", map { int(rand(4294967296)) } 1 .. (1 << 20));
sub blob { my $n = shift; substr($pool, int(rand(length($pool) - $n)), $n) }
sub hex8 { sprintf("%08x", int(rand(4294967296))) }

my @words = qw(agent router policy scan update heartbeat session relay cache
  config query pack threat quarantine signature engine module service daemon
  socket tunnel certificate keychain token upload download schedule report
  telemetry process network filter rule device volume extension monitor);
my @users = qw(alice bob carol dave erin frank grace heidi ivan judy);
my @exts = qw(dmg pkg app zip txt pdf docx plist dylib sh);
my @levels = ((("Default") x 6), (("Info") x 3), "Debug", "Error", "Fault");
my @status = (200, 200, 200, 200, 204, 301, 404, 500, 503);
sub w { $words[int(rand(@words))] }
sub ip { join(".", 10, int(rand(256)), int(rand(256)), 1 + int(rand(254))) }
sub uuid { my $h = hex8() . hex8() . hex8() . hex8(); uc(join("-", substr($h,0,8), substr($h,8,4), substr($h,12,4), substr($h,16,4), substr($h,20,12))) }

my @templates = (
  sub { sprintf("Scanning file /Users/%s/Library/%s/%s-%d.%s", $users[int(rand(@users))], ucfirst(w()), w(), int(rand(10000)), $exts[int(rand(@exts))]) },
  sub { sprintf("Connection %s established to %s:%d (attempt %d)", hex8(), ip(), 443 + int(rand(3)), 1 + int(rand(4))) },
  sub { sprintf("Request id=%s %s completed in %d ms status=%d", uuid(), w(), int(rand(3000)), $status[int(rand(@status))]) },
  sub { sprintf("Policy %s-%s version %d applied (%d rules, %d skipped)", w(), w(), int(rand(500)), int(rand(200)), int(rand(5))) },
  sub { sprintf("Heartbeat sent seq=%d queue=%d backlog=%d", int(rand(1e6)), int(rand(64)), int(rand(1000))) },
  sub { sprintf("Executing scheduled query pack_%s_%s: SELECT pid, name, path FROM processes WHERE name LIKE '%%%s%%'", w(), w(), w()) },
  sub { sprintf("Query pack_%s_%s returned %d rows in %d ms", w(), w(), int(rand(5000)), int(rand(900))) },
  sub { sprintf("Signature check of %s sha256=%s%s%s%s%s%s%s%s", w(), map { hex8() } 1 .. 8) },
  sub { sprintf("{\"name\":\"pack_%s_%s\",\"hostIdentifier\":\"%s\",\"action\":\"added\",\"columns\":{\"pid\":\"%d\",\"path\":\"/Applications/%s.app\",\"uid\":\"%d\"}}", w(), w(), uuid(), int(rand(99999)), ucfirst(w()), 500 + int(rand(10))) },
  sub { sprintf("Relay %s: %s %d bytes on session %s", ip(), (rand() < 0.5 ? "sent" : "received"), int(rand(1 << 20)), hex8()) },
  sub { sprintf("Update of %s %s finished: %d.%d.%d (%s)", w(), w(), 1 + int(rand(9)), int(rand(30)), int(rand(9999)), rand() < 0.9 ? "ok" : "failed") },
  sub { sprintf("Cache %s hit ratio %.3f after %d lookups", w(), rand(), int(rand(1e5))) },
);

my ($sec, $usec, $stamp) = (1796000000, 0, "");
my $pid = 100 + int(rand(60000));
sub line {
  $usec += int(rand(400000));
  if ($usec >= 1000000) { $sec += int($usec / 1000000); $usec %= 1000000; $stamp = "" }
  $stamp = strftime("%Y-%m-%d %H:%M:%S", gmtime($sec)) if $stamp eq "";
  my $text = sprintf("%s.%06d+0000 %-7s %s[%d:%x] [com.nerova.%s:%s] %s\n", $stamp, $usec,
    $levels[int(rand(@levels))], $prefix, $pid, 0x1000 + int(rand(0x100000)), $prefix, w(),
    $templates[int(rand(@templates))]->());
  # Now and then a binary dump, as some product logs carry.
  $text .= "payload " . blob(256 + int(rand(1792))) . "\n" if rand() < 0.02;
  return $text;
}
sub text_of { my $n = shift; my $s = ""; $s .= line() while length($s) < $n; substr($s, $n) = ""; $s }
sub random_of { my $n = shift; my $s = ""; $s .= blob($n - length($s) < 65536 ? $n - length($s) : 65536) while length($s) < $n; $s }
sub put {
  my ($path, $data) = @_;
  open(my $fh, ">:raw", $path) or die "cannot write $path: $!\n";
  print $fh $data or die "cannot write $path: $!\n";
  close($fh) or die "cannot write $path: $!\n";
}

if ($mode eq "big") {
  my ($path) = @rest;
  open(my $fh, ">:raw", $path) or die "cannot write $path: $!\n";
  my $left = $target;
  while ($left > 0) {
    my $n = $left < (1 << 20) ? $left : (1 << 20);
    print $fh text_of($n) or die "cannot write $path: $!\n";
    $left -= $n;
  }
  close($fh) or die "cannot write $path: $!\n";
  exit 0;
}

my ($root, $groups, $leaves, $per_leaf) = @rest;
my $count = $groups * $leaves * $per_leaf;
# Log-uniform sizes from 512 B to 512 KiB, scaled to the folder's exact total.
my @sizes = map { exp(log(512) + rand() * (log(524288) - log(512))) } 1 .. $count;
my $sum = 0; $sum += $_ for @sizes;
@sizes = map { my $s = int($_ * $target / $sum); $s < 1 ? 1 : $s } @sizes;
my $total = 0; $total += $_ for @sizes;
$sizes[-1] += $target - $total;
die "size rounding went wrong\n" if $sizes[-1] < 1;

my $ext = $prefix eq "pack" ? "conf" : "log";
my $i = 0;
for my $g (1 .. $groups) {
  for my $l (1 .. $leaves) {
    my $dir = sprintf("%s/%s-set-%02d/%s %03d", $root, $prefix, $g, $prefix, $l);
    make_path($dir);
    for my $f (1 .. $per_leaf) {
      my $size = $sizes[$i++];
      # Every tenth file is a rotated, already compressed log.
      if ($f == $per_leaf) { put(sprintf("%s/%s.%d.%s.gz", $dir, $prefix, $f, $ext), random_of($size)) }
      else { put(sprintf("%s/%s-%02d.%s", $dir, $prefix, $f, $ext), text_of($size)) }
    }
  }
}
PERL

generate_tree() {
    local marker="$tree/$MARKER_NAME"
    if [[ -f "$marker" && "$(cat "$marker")" == "$(marker_text)" ]]; then
        note "reusing the tree at $tree"
        return
    fi
    if [[ -e "$tree" ]]; then
        if [[ -f "$marker" ]]; then
            note "the tree at $tree was made with other parameters; generating anew"
            rm -rf -- "$tree"
        elif [[ -n "$(ls -A -- "$tree" 2>/dev/null)" ]]; then
            die "$tree exists and was not made by this script; give another TREE_DIR"
        else
            rmdir -- "$tree"
        fi
    fi
    local need=$((5 * BYTES_PER_FOLDER + BIG_FILE_BYTES + 256 * 1024 * 1024))
    (($(free_bytes "$(dirname "$tree")") > need)) || die "not enough free space for the tree beside $tree"

    local partial="$tree.partial"
    rm -rf -- "$partial"
    note "generating the tree in $tree (once; about half a minute)"
    local started=$EPOCHREALTIME
    local -a pids=()
    local index=0 entry rel
    for entry in "${LOG_FOLDERS[@]}"; do
        IFS='|' read -r rel _ prefix <<<"$entry"
        mkdir -p "$partial/$rel"
        perl -e "$GENERATOR" folder $((TREE_SEED + index)) "$BYTES_PER_FOLDER" "$prefix" \
            "$partial/$rel" "$GROUPS_PER_FOLDER" "$LEAVES_PER_GROUP" "$FILES_PER_LEAF" &
        pids+=($!)
        index=$((index + 1))
    done
    perl -e "$GENERATOR" big $((TREE_SEED + 100)) "$BIG_FILE_BYTES" agent "$partial/$BIG_FILE_REL" &
    pids+=($!)
    local pid failed=0
    for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
    ((failed == 0)) || die "tree generation failed"
    marker_text >"$partial/$MARKER_NAME"
    mv -- "$partial" "$tree"
    note "generated in $(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }') s"
}

# Lists every regular file of the five catalogue folders, leaving out hidden
# items as the collection does (the generator makes none).
tree_files() {
    local entry rel
    for entry in "${LOG_FOLDERS[@]}"; do
        IFS='|' read -r rel _ _ <<<"$entry"
        find "$tree/$rel" -name '.*' -prune -o -type f -print0
    done
}

describe_tree() {
    local entry rel
    tree_file_count=$(tree_files | tr -dc '\0' | wc -c)
    tree_bytes=$(tree_files | xargs -0 stat -c %s | awk '{ s += $1 } END { printf "%d", s }')
    largest_bytes=$(tree_files | xargs -0 stat -c %s | sort -n | tail -1)
    tree_folder_count=0
    for entry in "${LOG_FOLDERS[@]}"; do
        IFS='|' read -r rel _ _ <<<"$entry"
        tree_folder_count=$((tree_folder_count + $(find "$tree/$rel" -mindepth 1 -type d | wc -l)))
    done
    note "tree: $tree_file_count files, $tree_folder_count folders, $(mib "$tree_bytes") MiB;" \
         "largest file $(mib "$largest_bytes") MiB"
}

generate_tree
describe_tree
[[ "$mode" == generate ]] && exit 0

# ---------------------------------------------------------------------------
# Scratch space and timed runs

scratch_parent="${TMPDIR:-/tmp}"
work="$(mktemp -d "$scratch_parent/nrv-collection-bench.XXXXXX")"
program_pid=""
sampler_pid=""
cleanup() {
    [[ -n "$program_pid" ]] && kill "$program_pid" 2>/dev/null || true
    [[ -n "$sampler_pid" ]] && kill "$sampler_pid" 2>/dev/null || true
    rm -rf -- "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

need=$((3 * tree_bytes))
(($(free_bytes "$work") > need)) || die "not enough free space in $scratch_parent (about $(mib "$need") MiB needed)"

now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

baseline_run() {  # $1: run number; sets base_wall and baseline_archive_bytes
    local dir="$work/base-$1" entry rel staged
    mkdir -p "$dir/out"
    sync
    local t0; t0=$(now)
    mkdir "$dir/staging"
    for entry in "${LOG_FOLDERS[@]}"; do
        IFS='|' read -r rel staged _ <<<"$entry"
        mkdir -p "$dir/staging/$(dirname "$staged")"
        cp -r "$tree/$rel" "$dir/staging/$staged"
    done
    (cd "$dir" && zip -r -9 -q -X "$dir/out/baseline.zip" staging)
    local t1; t1=$(now)
    baseline_archive_bytes=$(stat -c %s "$dir/out/baseline.zip")
    rm -rf -- "$dir"
    base_wall=$(elapsed "$t0" "$t1")
}

# Peak memory of the program alone: VmHWM in /proc/<pid>/status is the highest
# resident set of that one process (all its threads, none of its children: zip,
# gzip, bash and the rest are processes of their own with their own counters).
# It never decreases, so polling it every 5 ms until the process is gone, and
# keeping the last value read, gives the peak up to the last few milliseconds
# of the program's life, when it only waits for zip and exits. getrusage or
# /usr/bin/time would not do: the maximum they report for a child also covers
# that child's own children. The sampler also keeps the program's own CPU
# time (utime + stime from /proc/<pid>/stat, children again apart).
read -r -d '' SAMPLER <<'PERL' || true
use strict;
use warnings;
my ($pid) = @ARGV;
my ($hwm, $cpu, $samples) = (0, 0, 0);
while (1) {
  open(my $st, "<", "/proc/$pid/status") or last;
  my $seen;
  while (<$st>) { if (/^VmHWM:\s+(\d+)/) { $seen = $1; last } }
  close($st);
  last unless defined $seen;      # gone, or a zombie with no memory left
  $hwm = $seen if $seen > $hwm;
  if (open(my $sf, "<", "/proc/$pid/stat")) {
    my $line = <$sf>; close($sf);
    if (defined $line && $line =~ /\)\s+(.*)$/) { my @f = split(" ", $1); $cpu = $f[11] + $f[12] }
  }
  $samples++;
  select(undef, undef, undef, 0.005);
}
print "$hwm $cpu $samples\n";
PERL

collection_run() {  # $1: run name, $2: tree; sets coll_wall, coll_hwm_kb, coll_cpu_ticks, coll_archive
    local dir="$work/coll-$1"
    mkdir -p "$dir/out" "$dir/tmp"
    sync
    local status=0 t0 t1
    t0=$(now)
    NRV_SYSTEM_ROOT="$2" TMPDIR="$dir/tmp" \
        NRV_LOG_STORE="${NRV_LOG_STORE:-$work/unified.log}" \
        NRV_RUNTIME_ROOT="${NRV_RUNTIME_ROOT:-$work/runtime}" \
        "$program" --cli --output_path "$dir/out" >"$dir/program.log" 2>&1 </dev/null &
    program_pid=$!
    perl -e "$SAMPLER" "$program_pid" >"$dir/sampler.txt" &
    sampler_pid=$!
    wait "$program_pid" || status=$?
    t1=$(now)
    program_pid=""
    wait "$sampler_pid" || true
    sampler_pid=""
    if ((status != 0)); then
        echo "--- program output (last 40 lines) ---" >&2
        tail -n 40 "$dir/program.log" >&2 || true
        die "the program exited with status $status in run $1"
    fi
    read -r coll_hwm_kb coll_cpu_ticks _ <"$dir/sampler.txt"
    coll_wall=$(elapsed "$t0" "$t1")
    local archives=("$dir"/out/*.zip)
    [[ -f "${archives[0]}" ]] || die "the program made no archive in run $1"
    coll_archive="${archives[0]}"
    coll_archive_bytes=$(stat -c %s "$coll_archive")
    coll_dir="$dir"
}

# The figures mean nothing if the collection left files out: every file of the
# five folders must be in the archive, and the large one must come out whole.
verify_archive() {
    local archive="$1" entry staged pattern="" count
    for entry in "${LOG_FOLDERS[@]}"; do
        IFS='|' read -r _ staged _ <<<"$entry"
        pattern+="${pattern:+|}$staged"
    done
    count=$(unzip -Z1 "$archive" | { grep -E "^[^/]+/($pattern)/.*[^/]\$" || true; } | wc -l)
    ((count == tree_file_count)) || die "the archive holds $count of the $tree_file_count files of the log folders"
    unzip -p "$archive" "*/rms/NerovaManagementAgent/$(basename "$BIG_FILE_REL")" | cmp -s - "$tree/$BIG_FILE_REL" \
        || die "the large file did not come out of the archive intact"
    big_file_intact=yes
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
best() { printf '%s\n' "$@" | sort -g | head -1; }

# Caches cannot be dropped without root privileges, so both sides read the tree
# from memory instead. One read at the start is not enough everywhere: some
# kernels page out file data left untouched for a minute or so (proactive
# reclaim), which a 40-second zip of the staging copy easily leaves the tree.
# So the tree is read once, untimed, right before every timed run, and every
# run starts from the same warm cache.
warm_cache() { tree_files | xargs -0 cat >/dev/null; }
note "warming the page cache before every timed run (untimed read of the tree)"

clk_tck=$(getconf CLK_TCK)
baseline_times=()
collection_times=()
peak_kb=0
big_file_intact=no
for ((run = 1; run <= runs; run++)); do
    order=(baseline collection)
    ((run % 2 == 0)) && order=(collection baseline)
    [[ "$mode" == baseline ]] && order=(baseline)
    for side in "${order[@]}"; do
        warm_cache
        if [[ "$side" == baseline ]]; then
            baseline_run "$run"
            baseline_times+=("$base_wall")
            note "run $run: baseline   $base_wall s (archive $(mib "$baseline_archive_bytes") MiB)"
        else
            collection_run "$run" "$tree"
            collection_times+=("$coll_wall")
            ((coll_hwm_kb > peak_kb)) && peak_kb=$coll_hwm_kb
            note "run $run: collection $coll_wall s (archive $(mib "$coll_archive_bytes") MiB," \
                 "peak RSS $(mib $((coll_hwm_kb * 1024))) MiB," \
                 "own CPU $(awk -v t="$coll_cpu_ticks" -v h="$clk_tck" 'BEGIN { printf "%.1f", t / h }') s)"
            [[ "$big_file_intact" == yes ]] || verify_archive "$coll_archive"
            rm -rf -- "$coll_dir"
        fi
    done
done

# One run cannot show that the peak does not grow with the tree: one more,
# untimed collection of a small tree (the first set of folders of each log
# folder, without the large file) gives a second point.
if [[ "$mode" == full ]]; then
    small_tree="$work/small-tree"
    for entry in "${LOG_FOLDERS[@]}"; do
        IFS='|' read -r rel _ prefix <<<"$entry"
        mkdir -p "$small_tree/$rel"
        cp -r "$tree/$rel/$prefix-set-01" "$small_tree/$rel/"
    done
    small_file_count=$(find "$small_tree" -type f | wc -l)
    small_bytes=$(du -sb "$small_tree" | awk '{ print $1 }')
    collection_run small "$small_tree"
    small_peak_kb=$coll_hwm_kb
    rm -rf -- "$coll_dir" "$small_tree"
    note "small tree: $small_file_count files, $(mib "$small_bytes") MiB: peak RSS $(mib $((small_peak_kb * 1024))) MiB"
fi

# ---------------------------------------------------------------------------
# Report

base_median=$(median "${baseline_times[@]}")
echo
echo "Tree:                 $tree"
echo "                      $tree_file_count files in $tree_folder_count folders, $(mib "$tree_bytes") MiB"
echo "Largest single file:  $(mib "$largest_bytes") MiB ($BIG_FILE_REL)"
echo "Baseline wall time:   $(printf '%.2f' "$base_median") s median of $runs (best $(best "${baseline_times[@]}") s): cp -r + zip -r -9 -q -X"
if [[ "$mode" == baseline ]]; then
    echo "(baseline only: no collection was run)"
    exit 0
fi

coll_median=$(median "${collection_times[@]}")
ratio=$(awk -v c="$coll_median" -v b="$base_median" 'BEGIN { printf "%.3f", c / b }')
verdict() { if [[ "$1" == 1 ]]; then echo HOLDS; else echo FAILS; fi; }
ratio_ok=$(awk -v r="$ratio" -v t="$RATIO_TARGET" 'BEGIN { print (r <= t) ? 1 : 0 }')
worst_kb=$((small_peak_kb > peak_kb ? small_peak_kb : peak_kb))
peak_ok=$(awk -v p="$worst_kb" -v t="$PEAK_TARGET_MIB" 'BEGIN { print (p <= t * 1024) ? 1 : 0 }')
# A copy that held the large file (or any large part of it) in memory would
# push the peak past the file's size; the peak staying under the bound while a
# file four times that size came out intact shows a constant-memory copy.
const_ok=$(awk -v p="$peak_kb" -v t="$PEAK_TARGET_MIB" -v l="$largest_bytes" -v i="$big_file_intact" \
    'BEGIN { print (i == "yes" && p <= t * 1024 && l > 2 * t * 1048576) ? 1 : 0 }')

echo "Collection wall time: $(printf '%.2f' "$coll_median") s median of $runs (best $(best "${collection_times[@]}") s)"
echo "Ratio:                $ratio (collection / baseline, medians)   target <= $RATIO_TARGET: $(verdict "$ratio_ok")"
echo "Peak RSS of program:  $(mib $((peak_kb * 1024))) MiB (own process, children apart; highest of $runs runs);" \
     "$(mib $((small_peak_kb * 1024))) MiB on a tree of $small_file_count files, $(mib "$small_bytes") MiB" \
     "  target <= $PEAK_TARGET_MIB MiB: $(verdict "$peak_ok")"
echo "Single-file copy:     $(mib "$largest_bytes") MiB file copied intact: $big_file_intact," \
     "peak $(mib $((peak_kb * 1024))) MiB   constant memory: $(verdict "$const_ok")"

((ratio_ok && peak_ok && const_ok)) || exit 3
