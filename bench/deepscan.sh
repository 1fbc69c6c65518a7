#!/bin/bash
# Deep-scan benchmark: reading the image, the torvane deep scan with one
# and with two threads (and with --recover) and PhotoRec on the same image,
# page cache warm (as one sequential read of the image leaves it); then the
# raw read and the scan cold (the image's cached pages dropped first).
#
#   bench/deepscan.sh [-b BUILD] [-B BEFORE] [-i IMAGEDIR] [-r RUNS] [-t LIMIT] [-g] [raw] [modern] [fat32] [ntfs]
#                     [dense] [sparse]
#
# BUILD     the build folder holding cli/torvane (default: build)
# BEFORE    another build folder (an earlier commit's) run on the same images
#           in the same run, for a before/after comparison
# IMAGEDIR  where the benchmark images are made once and kept
#           (default: BUILD/bench-images)
# RUNS      timed runs of each fast command; the best is kept (default 3)
# LIMIT     seconds PhotoRec may run on one image before it is stopped (default 600)
# -g        also the scan (two threads) with the two-piece JPEG search off
#           (TORVANE_TWO_PIECE_JPEG=0), runs alternating, and the search's cost in %
# Images: raw (default), modern (today's formats among noise), fat32, ntfs, dense (a find in every sector of 512
# MiB), sparse (2 TiB, nearly all holes). Prints MB/s (10^6 bytes per
# second), ratios to the raw read and to PhotoRec, the peak memory of each
# torvane run and how many planted files each tool recovered byte-identical
# (not for dense and sparse: PhotoRec's timing there includes writing what it
# finds; torvane is timed without --recover). The raw read of an image over
# 8 GiB reads its first 8 GiB.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
build=build
before=
images=
runs=3
prlimit=600
gap=0
while getopts "b:B:i:r:t:g" opt; do
  case $opt in
    b) build=$OPTARG ;;
    B) before=$OPTARG ;;
    i) images=$OPTARG ;;
    r) runs=$OPTARG ;;
    t) prlimit=$OPTARG ;;
    g) gap=1 ;;
    *) sed -n '2,25p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(raw)
images=${images:-$build/bench-images}
mkdir -p "$images"
images=$(cd "$images" && pwd)
torvane=$(cd "$build" && pwd)/cli/torvane
[ -x "$torvane" ] || { echo "no $torvane: build the target torvane first" >&2; exit 1; }
after_torvane=$torvane
before_torvane=
if [ -n "$before" ]; then
  before_torvane=$(cd "$before" && pwd)/cli/torvane
  [ -x "$before_torvane" ] || { echo "no $before_torvane: build the target torvane there first" >&2; exit 1; }
fi

/usr/bin/python3 "$here/make_bench_image.py" "$images" "${kinds[@]}" >/dev/null 2>&1 || {
  echo "making the benchmark images failed (run bench/make_bench_image.py $images ${kinds[*]})" >&2; exit 1; }

if ! command -v photorec >/dev/null 2>&1; then
  echo "installing testdisk (PhotoRec)" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q testdisk >/dev/null 2>&1 || true
fi

work=$(mktemp -d /tmp/torvane-deepscan.XXXXXX)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
# Drops the image's pages from the page cache (clean pages only: nothing is lost).
dropcache() { /usr/bin/python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$1"; }
# Percent of the image the page cache holds in 2 MiB pages (mapped and touched page by page).
hugeshare() { /usr/bin/python3 -c 'import mmap, sys
f = open(sys.argv[1], "rb"); m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
t = sum(m[o] for o in range(0, len(m), 4096))
kb = [int(l.split()[1]) for l in open("/proc/self/smaps_rollup") if l.startswith("FilePmdMapped")]
print(kb[0] * 1024 * 100 // len(m) if kb else "-")' "$1" 2>/dev/null || echo -; }
# Seconds between two date +%s.%N stamps.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
mbps() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.0f", (s > 0 ? n / s / 1e6 : 0) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

# Planted files found byte-identical among everything under a folder:
# per SHA-256, the smaller of the planted and the recovered count.
count_identical() {
  local planted=$1 dir=$2
  find "$dir" -type f -print0 2>/dev/null | xargs -0 -r sha256sum | awk '{ print $1 }' >"$work/got.sha"
  awk 'NR == FNR { want[$1]++; next } { got[$1]++ }
       END { n = 0; for (h in want) n += (got[h] < want[h] ? got[h] : want[h]); print n }' \
    "$planted" "$work/got.sha"
}

# Runs torvane once: sets t_total (s, the whole command), t_deep (s, until the
# scan reports itself finished: pre-pass, pass and folder rebuild, before the
# listing), t_prepass (s, until the first deep-pass report), free_sectors (the
# pass's total) and rss_kb.
threads=2
run_torvane() {
  local img=$1; shift
  local support="$work/support"
  rm -rf "$support"
  mkdir -p "$support"
  local start stamps="$work/stamps"
  : >"$stamps"
  start=$(now)
  # Progress lines go to stderr; each is stamped as it arrives (no fork per line).
  { TORVANE_SUPPORT_DIR=$support TORVANE_THREADS=$threads /usr/bin/time -f "%M" -o "$work/rss" "$torvane" scan "$img" "$@" \
      2>&1 >"$work/list"; } | while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >"$stamps"
  local end
  end=$(now)
  t_total=$(elapsed "$start" "$end")
  local first
  first=$(awk '/ sectors [0-9]+\/[0-9]+/ { print $1; exit }' "$stamps")
  t_prepass=$( [ -n "$first" ] && elapsed "$start" "$first" || echo 0)
  local finished
  finished=$(awk '/scan finished/ { print $1; exit }' "$stamps")
  t_deep=$( [ -n "$finished" ] && elapsed "$start" "$finished" || echo "$t_total")
  free_sectors=$(awk '/ sectors [0-9]+\/[0-9]+/ { split($0, a, "sectors "); split(a[2], b, "[/ ]"); t = b[2] }
                      END { print t + 0 }' "$stamps")
  rss_kb=$(tail -n 1 "$work/rss")
}

echo "Deep-scan benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -m)"
for kind in "${kinds[@]}"; do
  img="$images/$kind.img"
  planted="$img.planted"
  bytes=$(stat -c %s "$img")
  nplanted=$(wc -l <"$planted")
  echo
  echo "== $kind.img: $((bytes >> 20)) MiB, $nplanted planted files =="

  # The raw read: the whole image, or its first 8 GiB.
  rawbytes=$(( bytes < (8 << 30) ? bytes : (8 << 30) ))
  rawread() { dd if="$img" of=/dev/null bs=1M count=$((rawbytes >> 20)) status=none; }
  # The page cache as one sequential read leaves it, the same every run: how
  # the image was written or last read otherwise decides how much of it sits
  # in 2 MiB pages, which moves the raw read (a copy) by a factor of two.
  hugeshare=-
  if [ "$bytes" -le $((8 << 30)) ]; then
    dropcache "$img"
    cat "$img" >/dev/null
    hugeshare=$(hugeshare "$img")
  fi
  t_cat=
  for ((i = 0; i < runs; i++)); do
    s=$(now); rawread; e=$(now)
    t_cat=$(best "$(elapsed "$s" "$e")" "$t_cat")
  done
  raw_mbps=$(mbps "$rawbytes" "$t_cat")

  declare -A t_scan=() rss=()
  for threads in 1 2; do
    t= ; best_pre= ; best_deep= ; rss_max=0
    for ((i = 0; i < runs; i++)); do
      run_torvane "$img"
      t=$(best "$t_total" "$t")
      best_pre=$(best "$t_prepass" "$best_pre")
      best_deep=$(best "$t_deep" "$best_deep")
      [ "$rss_kb" -gt "$rss_max" ] && rss_max=$rss_kb
    done
    t_scan[$threads]=$t
    rss[$threads]=$rss_max
  done
  scan_free=$free_sectors

  # The two-piece search on and off, alternating so that both meet the same
  # machine load; the best run of each is kept.
  t_gap_on= ; t_gap_off=
  if [ "$gap" = 1 ]; then
    threads=2
    for ((i = 0; i < runs; i++)); do
      run_torvane "$img"
      t_gap_on=$(best "$t_total" "$t_gap_on")
      export TORVANE_TWO_PIECE_JPEG=0
      run_torvane "$img"
      unset TORVANE_TWO_PIECE_JPEG
      t_gap_off=$(best "$t_total" "$t_gap_off")
    done
  fi

  t_rec= ; got_torvane=-
  if [ "$kind" != dense ] && [ "$kind" != sparse ]; then
    for ((i = 0; i < runs; i++)); do
      rm -rf "$work/out"
      run_torvane "$img" --recover "$work/out"
      t_rec=$(best "$t_total" "$t_rec")
    done
    got_torvane=$(count_identical "$planted" "$work/out")
    rm -rf "$work/out"
  fi

  # The earlier build on the same image: the scan (two threads where it has
  # them) and --recover.
  t_before= ; t_before_rec= ; got_before=-
  if [ -n "$before_torvane" ]; then
    torvane=$before_torvane
    threads=2
    for ((i = 0; i < runs; i++)); do
      run_torvane "$img"
      t_before=$(best "$t_total" "$t_before")
    done
    if [ "$kind" != dense ] && [ "$kind" != sparse ]; then
      for ((i = 0; i < runs; i++)); do
        rm -rf "$work/out"
        run_torvane "$img" --recover "$work/out"
        t_before_rec=$(best "$t_total" "$t_before_rec")
      done
      got_before=$(count_identical "$planted" "$work/out")
      rm -rf "$work/out"
    fi
    torvane=$after_torvane
  fi

  t_pr= ; got_pr=- ; pr_note=
  if command -v photorec >/dev/null 2>&1; then
    rm -rf "$work/pr"; mkdir -p "$work/pr"
    s=$(now)
    (cd "$work/pr" && timeout "$prlimit" photorec /log /d "$work/pr/recup" /cmd "$img" \
      partition_none,fileopt,everything,enable,wholespace,search >/dev/null 2>&1) || true
    e=$(now)
    t_pr=$(elapsed "$s" "$e")
    if awk -v t="$t_pr" -v l="$prlimit" 'BEGIN { exit !(t >= l) }'; then
      pr_note="   stopped after $prlimit s (the rate is a ceiling)"
    fi
    [ "$kind" != dense ] && [ "$kind" != sparse ] && got_pr=$(count_identical "$planted" "$work/pr")
    rm -rf "$work/pr"
  fi

  # Cold: the image read from the disk under it, each run after its pages
  # were dropped (after the warm runs, which it leaves as it found them).
  t_cold_raw= ; t_cold_scan=
  if [ "$bytes" -le $((8 << 30)) ] && [ "$kind" != sparse ]; then
    threads=2
    for ((i = 0; i < runs; i++)); do
      dropcache "$img"; s=$(now); rawread; e=$(now)
      t_cold_raw=$(best "$(elapsed "$s" "$e")" "$t_cold_raw")
      dropcache "$img"; run_torvane "$img"
      t_cold_scan=$(best "$t_total" "$t_cold_scan")
    done
  fi

  printf '%-28s %8s s %7s MB/s%s\n' "raw read" "$t_cat" "$raw_mbps" \
    "$([ "$rawbytes" -lt "$bytes" ] && echo "   (first $((rawbytes >> 30)) GiB)")"
  [ "$hugeshare" != - ] && printf '%-28s %s%% of the image in 2 MiB pages after one sequential read\n' "page cache" "$hugeshare"
  for threads in 1 2; do
    sc=$(mbps "$bytes" "${t_scan[$threads]}")
    printf '%-28s %8s s %7s MB/s   %s x raw read   peak RSS %s MB\n' "torvane scan, $threads thread$([ $threads = 2 ] && echo s)" \
      "${t_scan[$threads]}" "$sc" "$(ratio "$sc" "$raw_mbps")" "$((${rss[$threads]} / 1024))"
  done
  printf '%-28s two threads take %s of the time of one\n' "" "$(ratio "${t_scan[2]}" "${t_scan[1]}")"
  if [ -n "$t_gap_on" ]; then
    printf '%-28s %8s s with it, %s s without: %s%%\n' "two-piece search, 2 threads" "$t_gap_on" "$t_gap_off" \
      "$(awk -v a="$t_gap_on" -v b="$t_gap_off" 'BEGIN { printf "%+.1f", (b > 0 ? (a - b) / b * 100 : 0) }')"
  fi
  if [ -n "$t_rec" ]; then
    printf '%-28s %8s s %7s MB/s   %s x raw read   %s/%s identical\n' "torvane scan --recover" "$t_rec" \
      "$(mbps "$bytes" "$t_rec")" "$(ratio "$(mbps "$bytes" "$t_rec")" "$raw_mbps")" "$got_torvane" "$nplanted"
  fi
  if [ -n "$t_before" ]; then
    printf '%-28s %8s s %7s MB/s   %s x raw read   after takes %s of its time\n' "torvane before, scan" \
      "$t_before" "$(mbps "$bytes" "$t_before")" "$(ratio "$(mbps "$bytes" "$t_before")" "$raw_mbps")" \
      "$(ratio "${t_scan[2]}" "$t_before")"
    if [ -n "$t_before_rec" ]; then
      printf '%-28s %8s s %7s MB/s   %s x raw read   %s/%s identical\n' "torvane before, --recover" \
        "$t_before_rec" "$(mbps "$bytes" "$t_before_rec")" "$(ratio "$(mbps "$bytes" "$t_before_rec")" "$raw_mbps")" \
        "$got_before" "$nplanted"
    fi
  fi
  if [ -n "$t_pr" ]; then
    printf '%-28s %8s s %7s MB/s   %s x raw read   %s/%s identical%s\n' "PhotoRec" "$t_pr" \
      "$(mbps "$bytes" "$t_pr")" "$(ratio "$(mbps "$bytes" "$t_pr")" "$raw_mbps")" "$got_pr" "$nplanted" "$pr_note"
    printf '%-28s scan (two threads) %s x PhotoRec'"'"'s throughput\n' "torvane / PhotoRec" \
      "$(ratio "$t_pr" "${t_scan[2]}")"
    [ -n "$t_before" ] && printf '%-28s scan %s x PhotoRec'"'"'s throughput\n' "torvane before / PhotoRec" \
      "$(ratio "$t_pr" "$t_before")"
  else
    echo "PhotoRec not available"
  fi
  if [ -n "$t_cold_raw" ]; then
    cold_mbps=$(mbps "$rawbytes" "$t_cold_raw")
    printf '%-28s %8s s %7s MB/s\n' "cold: raw read" "$t_cold_raw" "$cold_mbps"
    printf '%-28s %8s s %7s MB/s   %s x the cold raw read\n' "cold: torvane, 2 threads" "$t_cold_scan" \
      "$(mbps "$bytes" "$t_cold_scan")" "$(ratio "$(mbps "$bytes" "$t_cold_scan")" "$cold_mbps")"
  fi
  if [ "$kind" = fat32 ] || [ "$kind" = ntfs ]; then
    free_bytes=$((scan_free * 512))
    budget=$(awk -v p="$best_pre" -v f="$free_bytes" -v b="$bytes" -v c="$t_cat" \
      'BEGIN { printf "%.3f", p + 2 * f * c / b }')
    printf '%-28s %8s s until "scan finished" (free space %s MiB, quick pre-pass %s s)\n' "deep scan" "$best_deep" \
      "$((free_bytes >> 20))" "$best_pre"
    printf '%-28s pre-pass + 2 x raw read of the free space = %s s: deep scan %s\n' "budget" "$budget" \
      "$(awk -v t="$best_deep" -v b="$budget" 'BEGIN { print t <= b ? "within" : "over" }')"
  fi
done
