#!/bin/bash
# Benchmark of zel-auth's cost per run, against the floors it is held to.
#
#   bench/run.sh            # as root on Debian 12: installs what is missing
#
# Builds the release binary (build/bench, site file fixed to a path under
# build/bench/work), then measures in one run on this machine, interleaved:
#   - per run: /bin/true, the library floor (bench/floor.c: the two checksums
#     with libcrypto and nothing else), the `openssl dgst | base64` pipeline, and
#     zel-auth signing a one-line request and listing for an empty one: wall
#     time (median and spread, and each run's ratio to its floor in the same
#     round), page faults (getrusage: the kernel's work for the process
#     included), instructions (callgrind: user space only) and peak memory;
#   - scaling: generated site files of 1, 10 and 100 MiB with the selected
#     stanza first and last: wall time and peak memory.
# Then prints the tables and PASS or FAIL for each goal, and exits non-zero if
# any goal fails.
#
# Environment:
#   BENCH_ROUNDS          interleaved rounds of the per-run measurement (default 400)
#   BENCH_SCALING_ROUNDS  interleaved rounds over the six large site files (default 15)
#   BENCH_CPU             a CPU to pin the measurements to (default: none)
#   BENCH_SOURCE          source tree to build (default: this one)
#   BENCH_BUILD           build directory (default: build/bench of this tree); a
#                         directory configured before with -DNETTLE_LIBRARY=.../libnettle.so
#                         keeps that choice, to measure Nettle linked shared
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SRC=${BENCH_SOURCE:-$ROOT}
BUILD=${BENCH_BUILD:-$ROOT/build/bench}
WORK=$BUILD/work
SITE=$WORK/zel-site.conf
AUDIT=$WORK/audit.log
ROUNDS=${BENCH_ROUNDS:-400}
SCALING_ROUNDS=${BENCH_SCALING_ROUNDS:-15}
CPU=${BENCH_CPU:-}
KEY=bench-token-6f1c2a90
MIB=1048576

die() { echo "bench: $*" >&2; exit 2; }

# --- What the benchmark needs ----------------------------------------------------
packages="cmake make g++ gcc nettle-dev libssl-dev openssl valgrind coreutils util-linux binutils"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  [ "$(id -u)" -eq 0 ] || die "missing packages:$missing (run as root, or install them first)"
  echo "Installing:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# --- Build -----------------------------------------------------------------------
# zel-auth refuses a site file other users can read, and an audit file they can write.
umask 077
mkdir -p "$WORK"
: >"$AUDIT"
echo "Building the release binary in $BUILD ..."
cmake -S "$SRC" -B "$BUILD" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
      -DZEL_BUILD_TESTS=OFF -DZEL_SITE_FILE="$SITE" -DZEL_AUDIT_FILE="$AUDIT" >"$WORK/cmake.log" ||
  die "configuring failed, see $WORK/cmake.log"
cmake --build "$BUILD" -j"$(nproc)" >>"$WORK/cmake.log" 2>&1 || die "build failed, see $WORK/cmake.log"
TOOL=$BUILD/zel-auth

CFLAGS="-O2 -Wall -Wextra -Werror -DOPENSSL_API_COMPAT=30000 -DOPENSSL_NO_DEPRECATED"
cc $CFLAGS -o "$WORK/floor" "$ROOT/bench/floor.c" -lcrypto
cc -O2 -Wall -Wextra -Werror -o "$WORK/runner" "$ROOT/bench/runner.c"
FLOOR=$WORK/floor
RUNNER=$WORK/runner
PIN=()
if [ -n "$CPU" ] && command -v taskset >/dev/null; then PIN=(taskset -c "$CPU"); fi

# --- Inputs ----------------------------------------------------------------------
REQ=$WORK/request
printf '<Body><Request action="deploy" actor="%s"><Target>web</Target></Request></Body>\n' \
       "$(id -un)" >"$REQ"
BENCH_STANZA="[bench]
site.name = Benchmark site
site.url = https://bench.example.org/
token.value = $KEY
"
SMALL=$WORK/site-small.conf
printf 'site.name = Default site\nsite.url = https://default.example.org/\ntoken.value = default-token\n[staging]\nsite.name = Staging site\nsite.url = https://staging.example.org/\ntoken.value = staging-token\n%s' \
       "$BENCH_STANZA" >"$SMALL"
rm -f "$SITE"
cp "$SMALL" "$SITE"
# The shell pipeline that gives the same two lines.
PIPE='printf "digest.value = %s\n" "$(openssl dgst -sha1 -binary "$1" | base64)"; printf "signature.value = %s\n" "$(openssl dgst -sha1 -binary "$1" | openssl dgst -sha1 -hmac "$2" -binary | base64)"'

# --- The three give the same answer ----------------------------------------------
"$FLOOR" "$KEY" <"$REQ" >"$WORK/floor.out"
/bin/sh -c "$PIPE" sh "$REQ" "$KEY" >"$WORK/pipeline.out"
"$TOOL" -s bench <"$REQ" >"$WORK/tool.out"
{ printf 'site.name = Benchmark site\nsite.url = https://bench.example.org/\n'; cat "$WORK/floor.out"; } \
  >"$WORK/tool.want"
cmp -s "$WORK/floor.out" "$WORK/pipeline.out" || die "floor and pipeline disagree"
cmp -s "$WORK/tool.out" "$WORK/tool.want" || die "zel-auth's listing is not the expected one"
"$TOOL" -s bench </dev/null | cmp -s - <(head -n 2 "$WORK/tool.want") ||
  die "zel-auth's empty-input listing is not the expected one"

# --- Per run: wall time and peak memory, interleaved ------------------------------
SPEC=$WORK/per-run.spec
tab=$'\t'
{
  echo "true$tab/dev/null$tab-$tab/bin/true"
  echo "floor$tab$REQ$tab-$tab$FLOOR$tab$KEY"
  echo "pipeline$tab/dev/null$tab-$tab/bin/sh$tab-c$tab$PIPE${tab}sh$tab$REQ$tab$KEY"
  echo "sign$tab$REQ$tab-$tab$TOOL$tab-s${tab}bench"
  echo "empty$tab/dev/null$tab-$tab$TOOL$tab-s${tab}bench"
} >"$SPEC"
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
echo "Timing $ROUNDS interleaved rounds${PIN:+ on CPU $CPU} ..."
RUNNER_SAMPLES=$WORK/per-run.samples "${PIN[@]}" "$RUNNER" "$ROUNDS" 20 "$SPEC" >"$WORK/per-run.txt"

# --- Per run: instructions ------------------------------------------------------
# Every process of a command counts (the pipeline's shells and openssl runs too),
# from the loader's first instruction to exit.
instructions() {
  local input=$1
  shift
  valgrind --tool=callgrind --callgrind-out-file=/dev/null --trace-children=yes "$@" \
           <"$input" 2>&1 >/dev/null | awk '/Collected :/ { s += $NF } END { print s + 0 }'
}
echo "Counting instructions ..."
{
  echo "true $(instructions /dev/null /bin/true)"
  echo "floor $(instructions "$REQ" "$FLOOR" "$KEY")"
  echo "pipeline $(instructions /dev/null /bin/sh -c "$PIPE" sh "$REQ" "$KEY")"
  echo "sign $(instructions "$REQ" "$TOOL" -s bench)"
  echo "empty $(instructions /dev/null "$TOOL" -s bench)"
} >"$WORK/instructions.txt"

# --- Scaling with the site file's size ------------------------------------------
# Filler stanzas of about the size of real ones, each with its own name and token.
filler() {
  awk -v target="$1" 'BEGIN {
    for (n = 0; total < target; n++) {
      s = sprintf("[site-%07d]\nsite.name = Generated site %d\nsite.url = https://site-%07d.example.org/\nsite.owner = build team %d\ntoken.value = generated-token-%07d\n", n, n, n, n % 97, n)
      printf "%s", s
      total += length(s)
    }
  }'
}
# The filler is made once and kept for the next run of the benchmark; the six
# site files around it are made anew. The runner puts each at the binary's fixed
# path right before each of its runs, so the six are measured interleaved, like
# the per-run commands.
echo "Scaling over 1, 10 and 100 MiB site files, $SCALING_ROUNDS interleaved rounds ..."
: >"$WORK/scaling.spec"
for mib in 1 10 100; do
  gen=$WORK/filler-$mib.conf
  [ -s "$gen" ] || filler $((mib * MIB - ${#BENCH_STANZA})) >"$gen"
  for where in first last; do
    file=$WORK/site-$mib-$where.conf
    rm -f "$file"
    if [ "$where" = first ]; then
      { printf '%s' "$BENCH_STANZA"; cat "$gen"; } >"$file"
    else
      { cat "$gen"; printf '%s' "$BENCH_STANZA"; } >"$file"
    fi
    ln -f "$file" "$SITE"
    "$TOOL" -s bench <"$REQ" | cmp -s - "$WORK/tool.want" ||
      die "wrong listing with the $mib MiB site file, stanza $where"
    echo "$mib-$where$tab$REQ$tab$file$tab$TOOL$tab-s${tab}bench" >>"$WORK/scaling.spec"
  done
done
RUNNER_SAMPLES=$WORK/scaling.samples "${PIN[@]}" "$RUNNER" "$SCALING_ROUNDS" 1 "$WORK/scaling.spec" "$SITE" |
  while read -r name rest; do
    echo "${name%-*} ${name#*-} $(stat -c %s "$WORK/site-$name.conf") $name $rest"
  done >"$WORK/scaling.txt"
rm -f "$SITE"
cp "$SMALL" "$SITE"

# --- Report ---------------------------------------------------------------------
# paired SAMPLES A B: the median over rounds of A's wall time over B's in the
# same round. Runs a few milliseconds apart share the machine's state (another
# tenant's load, the clock speed), so their ratio is steadier than a ratio of
# two medians.
paired() {
  awk -v a="$2" -v b="$3" '$2 == a { ta[$1] = $3 } $2 == b { tb[$1] = $3 }
       END { for (r in ta) if (r in tb) print ta[r] / tb[r] }' "$1" |
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
S=$WORK/per-run.samples
: >"$WORK/ratios.txt"
for pair in "true true" "floor floor" "pipeline floor" "sign floor" "sign true" "empty true" \
            "pipeline sign"; do
  set -- $pair
  echo "$1/$2 $(paired "$S" "$1" "$2")" >>"$WORK/ratios.txt"
done
for where in first last; do
  echo "100-$where/10-$where $(paired "$WORK/scaling.samples" "100-$where" "10-$where")" >>"$WORK/ratios.txt"
done
{
  echo
  echo "zel-auth benchmark: $(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -srm), $(nproc) CPUs," \
       "$(openssl version | cut -d' ' -f1-2), Nettle $(dpkg-query -W -f='${Version}' nettle-dev)"
  echo "source: $SRC ($(git -C "$SRC" rev-parse --short HEAD 2>/dev/null || echo 'not a git tree'))"
  echo "load average before: $LOAD_BEFORE; after: $(cut -d' ' -f1-3 /proc/loadavg)" \
       "(other work on the machine shows in wall times, less in cpu times, not in instructions)"
  echo "binary: $TOOL ($(stat -c %s "$TOOL") bytes; needs:" \
       "$(readelf -d "$TOOL" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | tr '\n' ' ' | sed 's/ $//'))"
  echo
  awk -v rounds="$ROUNDS" '
    FILENAME ~ /ratios/ { ratio[$1] = $2; next }
    FILENAME ~ /instructions/ { ins[$1] = $2; next }
    { med[$1] = $2; p10[$1] = $5; p90[$1] = $6; rss[$1] = $8; cpu[$1] = $9; flt[$1] = $10 }
    END {
      label["true"] = "/bin/true"
      label["floor"] = "library floor (bench/floor.c)"
      label["pipeline"] = "openssl dgst | base64 pipeline"
      label["sign"] = "zel-auth, signing"
      label["empty"] = "zel-auth, empty input (listing)"
      base["true"] = "true"; base["floor"] = "floor"; base["pipeline"] = "floor"
      base["sign"] = "floor"; base["empty"] = "true"
      printf "Per run, %d interleaved rounds     wall median   p10 .. p90 (ms)   ratio        cpu median   faults   instructions   ratio   peak RSS\n", rounds
      split("true floor pipeline sign empty", rows, " ")
      for (i = 1; i <= 5; i++) {
        r = rows[i]; b = base[r]
        printf "%-35s %8.3f ms  %6.3f .. %6.3f  %5.2fx %-5s %8.3f ms %8d %12d   %5.2fx %6.1f MiB\n",
               label[r], med[r] / 1000, p10[r] / 1000, p90[r] / 1000, ratio[r "/" b], b,
               cpu[r] / 1000, flt[r], ins[r], ins[r] / ins[b], rss[r] / 1024
      }
    }' "$WORK/ratios.txt" "$WORK/instructions.txt" "$WORK/per-run.txt"
  echo "(wall ratio: the median over the rounds of the run's time over its floor's in the same round;"
  echo " faults: median page faults of a run, minor and major, from getrusage, the kernel's included)"
  echo
  echo "Scaling: zel-auth signing, -s bench  wall median   p10 .. p90 (ms)     cpu median   peak RSS   RSS - file"
  awk '{ printf "%4d MiB site file, stanza %-5s    %9.3f ms  %7.2f .. %7.2f  %9.3f ms  %6.1f MiB  %+6.1f MiB\n",
                $1, $2, $5 / 1000, $8 / 1000, $9 / 1000, $12 / 1000, $11 / 1024, ($11 * 1024 - $3) / 1048576 }' \
      "$WORK/scaling.txt"
  echo
} | tee "$WORK/report.txt"

# --- Goals ----------------------------------------------------------------------
# check DESCRIPTION VALUE LIMIT [min]: PASS if VALUE <= LIMIT (>= with "min").
check() {
  local verdict
  # A value that was not measured fails.
  verdict=$(awk -v v="$2" -v l="$3" -v m="${4:-max}" 'BEGIN {
    ok = v ~ /^[0-9.]+(e[-+]?[0-9]+)?$/ && ((m == "min") ? (v + 0 >= l) : (v + 0 <= l))
    print ok ? "PASS" : "FAIL" }')
  printf '%s  %-66s %8.3f (%s %s)\n' "$verdict" "$1" "${2:-0}" \
         "$([ "${4:-max}" = min ] && echo at least || echo at most)" "$3"
}
val() { awk -v k="$2" -v c="$3" '$1 == k { print $c }' "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / b }'; }
R=$WORK/ratios.txt
I=$WORK/instructions.txt
{
  echo "Goals"
  check "signing run / library floor, instructions" "$(ratio "$(val "$I" sign 2)" "$(val "$I" floor 2)")" 0.05
  check "signing run / library floor, wall time" "$(val "$R" sign/floor 2)" 0.50
  check "signing run / /bin/true, wall time" "$(val "$R" sign/true 2)" 1.5
  check "openssl dgst pipeline / signing run, wall time" "$(val "$R" pipeline/sign 2)" 10 min
  for where in first last; do
    check "100 MiB / 10 MiB site file, wall time, stanza $where" \
          "$(val "$R" "100-$where/10-$where" 2)" 12
  done
  worst=$(awk '{ over = ($11 * 1024 - $3) / 1048576; if (NR == 1 || over > w) w = over } END { print w }' \
              "$WORK/scaling.txt")
  check "peak memory beyond the site file's size, worst case (MiB)" "$worst" 16
  check "empty-input listing / /bin/true, instructions" "$(ratio "$(val "$I" empty 2)" "$(val "$I" true 2)")" 1.70
  printf 'info  %-66s %8.3f\n' "empty-input listing / /bin/true, wall time" "$(val "$R" empty/true 2)"
  printf 'info  %-66s %8.3f\n' "signing run / library floor, page faults" \
         "$(ratio "$(val "$WORK/per-run.txt" sign 10)" "$(val "$WORK/per-run.txt" floor 10)")"
} | tee -a "$WORK/report.txt"
# --- Logging: a signing run with a log socket of the benchmark's own -----------
# Every signing run sends one line to /dev/log and waits for it to be taken.
# Its cost is measured where only this benchmark sees it: in a private mount
# namespace with a tmpfs over /dev (the device nodes bound back), where a
# receiver of its own drains a socket that the runner puts at /dev/log right
# before each run, interleaved with the library floor.
LOGW=$WORK/logging
mkdir -p "$LOGW/host-dev"
cat >"$LOGW/sink.c" <<'EOF'
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
int main(int argc, char **argv) {
  struct sockaddr_un addr = {.sun_family = AF_UNIX};
  if (argc != 2 || strlen(argv[1]) >= sizeof addr.sun_path) return 2;
  strcpy(addr.sun_path, argv[1]);
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) return perror("sink"), 1;
  static char line[65536];
  for (;;) recv(fd, line, sizeof line, 0);
}
EOF
cc -O2 -Wall -Wextra -Werror -o "$LOGW/sink" "$LOGW/sink.c"
{
  echo "floor$tab$REQ$tab-$tab$FLOOR$tab$KEY"
  echo "sign_log$tab$REQ$tab/dev/zel-bench-log$tab$TOOL$tab-s${tab}bench"
} >"$LOGW/spec"
cat >"$LOGW/inner.sh" <<'EOF'
set -eu
mount --make-rprivate /
mount --bind /dev "$LOGW/host-dev"
mount -t tmpfs -o mode=0755,size=1m zel-bench-dev /dev
for d in null zero full random urandom; do : >"/dev/$d"; mount --bind "$LOGW/host-dev/$d" "/dev/$d"; done
ln -s /proc/self/fd /dev/fd
"$LOGW/sink" /dev/zel-bench-log &
sink=$!
trap 'kill $sink' EXIT
for _ in $(seq 100); do [ -S /dev/zel-bench-log ] && break; sleep 0.05; done
[ -S /dev/zel-bench-log ]
RUNNER_SAMPLES=$LOGW/samples $PIN "$RUNNER" "$ROUNDS" 20 "$LOGW/spec" /dev/log >"$LOGW/per-run.txt"
count() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$TOOL" -s bench <"$REQ" 2>&1 >/dev/null |
          awk '/Collected :/ { s += $NF } END { print s + 0 }'; }
ln -f /dev/zel-bench-log /dev/log && echo "sign_log $(count)" >"$LOGW/instructions.txt"
EOF
echo "Timing $ROUNDS interleaved rounds with a log socket of the benchmark's own ..."
if LOGW=$LOGW RUNNER=$RUNNER ROUNDS=$ROUNDS TOOL=$TOOL REQ=$REQ PIN="${PIN[*]}" \
   unshare --mount --propagation private -- bash "$LOGW/inner.sh"; then
  {
    echo
    echo "Logging, $ROUNDS interleaved rounds       wall median   p10 .. p90 (ms)   ratio        cpu median   instructions   ratio"
    for r in sign_log; do
      label="zel-auth, signing, log socket present"
      awk -v r="$r" -v label="$label" -v ratio="$(paired "$LOGW/samples" "$r" floor)" \
          -v ins="$(val "$LOGW/instructions.txt" "$r" 2)" -v floor_ins="$(val "$I" floor 2)" \
          '$1 == r { printf "%-37s %8.3f ms  %6.3f .. %6.3f  %5.2fx floor %8.3f ms %12d   %5.2fx\n",
                            label, $2 / 1000, $5 / 1000, $6 / 1000, ratio, $9 / 1000, ins, ins / floor_ins }' \
          "$LOGW/per-run.txt"
    done
    check "signing run with a log socket / library floor, instructions" \
          "$(ratio "$(val "$LOGW/instructions.txt" sign_log 2)" "$(val "$I" floor 2)")" 0.05
    check "signing run with a log socket / library floor, wall time" "$(paired "$LOGW/samples" sign_log floor)" 0.50
  } | tee -a "$WORK/report.txt"
else
  echo "FAIL  the signing run with a log socket could not be measured (root and unshare needed)" |
    tee -a "$WORK/report.txt"
fi
failures=$(grep -c '^FAIL' "$WORK/report.txt" || true)
# A run waits for the CPU when other work takes it: then its wall time exceeds its
# CPU time. Past a tenth, the wall-time verdicts are worth a second run.
busy=$(awk '$1 == "floor" || $1 == "sign" { if ($2 > 1.10 * $9) n++ } END { print n + 0 }' \
           "$WORK/per-run.txt")
if [ "$busy" -gt 0 ]; then
  echo
  echo "note: the machine was busy (median wall time above 1.1 x the CPU time); run again" \
       "for wall-time verdicts that do not depend on other work" | tee -a "$WORK/report.txt"
fi
echo
echo "Report: $WORK/report.txt"
[ "$failures" -eq 0 ]
