#!/bin/bash
# Where a run's instructions go, phase by phase: the library floor, a signing
# run and an empty-input listing of the binary bench/run.sh built, each under
# valgrind's callgrind, as the inclusive cost of the function that starts each
# phase (a phase's figure includes the phases nested in it).
#
#   bench/phases.sh         # after bench/run.sh, which builds what it measures
#
# Environment: BENCH_BUILD (default build/bench of this tree), as for run.sh.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build/bench}
WORK=$BUILD/work
KEY=bench-token-6f1c2a90
for f in "$WORK/floor" "$BUILD/zel-auth" "$WORK/request"; do
  [ -e "$f" ] || { echo "phases: $f is missing; run bench/run.sh first" >&2; exit 2; }
done

# profile NAME INPUT COMMAND...: the annotated inclusive costs, in $WORK/phases-NAME.txt.
profile() {
  local name=$1 input=$2
  shift 2
  valgrind --tool=callgrind --callgrind-out-file="$WORK/phases-$name.out" "$@" <"$input" \
           >/dev/null 2>&1
  callgrind_annotate --inclusive=yes --threshold=100 "$WORK/phases-$name.out" \
                     >"$WORK/phases-$name.txt" 2>/dev/null
}
profile floor "$WORK/request" "$WORK/floor" "$KEY"
profile sign "$WORK/request" "$BUILD/zel-auth" -s bench
profile empty /dev/null "$BUILD/zel-auth" -s bench

# Each phase: a label and the function (as callgrind names it) whose inclusive
# cost it is; "-" for the whole run.
phases=(
  "the whole run|-"
  "loader, at start-up (ld.so _dl_start)|rtld.c:_dl_start "
  "  binding symbols, all objects (_dl_lookup_symbol_x)|dl-lookup.c:_dl_lookup_symbol_x "
  "Nettle's start-up, before main (fat_init)|???:fat_init "
  "password lookup (getpwuid)|getpwuid "
  "library start-up (OPENSSL_init_crypto)|???:OPENSSL_init_crypto "
  "  configuration (CONF_modules_load_file_ex)|CONF_modules_load_file_ex "
  "    parsing the file (NCONF_load)|NCONF_load "
  "  error texts (ERR_load_strings_const)|ERR_load_strings_const "
  "legacy algorithm tables (OBJ_NAME_add)|???:OBJ_NAME_add "
  "legacy names into the name map (OBJ_NAME_do_all)|OBJ_NAME_do_all "
  "SHA-1 digest, with its fetch (EVP_Q_digest)|EVP_Q_digest "
  "  fetching SHA-1 (EVP_MD_fetch)|EVP_MD_fetch "
  "HMAC-SHA1, with its fetch (EVP_Q_mac)|EVP_Q_mac "
  "  fetching HMAC (EVP_MAC_fetch)|EVP_MAC_fetch "
  "checksum with Nettle (zel::compute_signature)|zel::compute_signature("
  "token identifier with Nettle (zel::token_identifier)|zel::token_identifier[abi:cxx11]("
  "exit (exit)|exit.c:exit "
)
cost() {
  if [ "$2" = - ]; then
    awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1; exit }' "$1"
  else
    grep -F -- "$2" "$1" | head -n 1 | awk '{ gsub(",", "", $1); print $1 + 0 }'
  fi
}
printf '%-54s %12s %12s %12s\n' "instructions, inclusive" "floor" "signing" "empty input"
for p in "${phases[@]}"; do
  label=${p%%|*} fn=${p#*|}
  printf '%-54s' "$label"
  for name in floor sign empty; do
    v=$(cost "$WORK/phases-$name.txt" "$fn") || v=-
    [ "${v:-0}" != 0 ] || v=-
    printf ' %12s' "$v"
  done
  printf '\n'
done
