#!/bin/sh
# Usage: traps.sh PAGE ZEL_SITE
# The TRAPS section of zel-site.conf(5) against zel-site check: each trap (a .TP
# entry) must carry at least one example, a line "printf '...' >site.conf" in an
# .EX block followed by the findings it shows. The test runs each printf in an
# empty directory, then "ZEL_SITE check -f site.conf", whose findings must be
# exactly the ones shown, in order: each shown line is the start of its finding
# (a long one is cut short with "..."). Run by doc/doc.cmake, the man-pages test.
set -eu
page=$1
tool=$2
case $tool in /*) ;; *) tool=$PWD/$tool ;; esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One record per line: "T title", "C command" or "F finding", roff escapes undone.
awk '
  /^\.SH / { in_traps = ($0 == ".SH TRAPS"); next }
  !in_traps { next }
  /^\.TP/ { tag = 1; next }
  tag { sub(/^\.[BI] /, ""); print "T " $0; tag = 0; next }
  /^\.EX/ { example = 1; next }
  /^\.EE/ { example = 0; next }
  example && /^printf / { print "C " $0; next }
  example && /^site\.conf:/ { print "F " $0; next }
' "$page" | sed -e 's/\\(aq/'"'"'/g' -e 's/\\(dq/"/g' -e 's/\\-/-/g' -e 's/\\e/\\/g' >"$work/records"

failed=0
fail() { printf 'zel-site.conf(5) TRAPS, "%s": %s\n' "$title" "$*" >&2; failed=1; }

# Runs the example gathered so far and compares its findings with the ones shown.
run_example() {
  [ -n "$command" ] || return 0
  [ -n "$shown" ] || { fail "the example shows no finding: $command"; return 0; }
  rm -f "$work/site.conf"
  (cd "$work" && sh -c "$command") || { fail "the example failed: $command"; return 0; }
  (cd "$work" && "$tool" check -f site.conf) >"$work/out" 2>&1 || true
  sed '$d' "$work/out" >"$work/found"   # the last line is the summary
  if [ "$(wc -l <"$work/found")" -ne "$(printf '%s' "$shown" | grep -c '^')" ]; then
    fail "check finds other than shown for: $command"
    printf 'shown:\n%s\nfound:\n' "$shown" >&2
    cat "$work/found" >&2
    return 0
  fi
  n=0
  printf '%s\n' "$shown" | while IFS= read -r want; do
    n=$((n + 1))
    want=${want%...}
    got=$(sed -n "${n}p" "$work/found")
    case "$got" in
      "$want"*) ;;
      *) printf 'zel-site.conf(5) TRAPS, "%s": shown "%s", found "%s"\n' "$title" "$want" "$got" >&2; exit 1 ;;
    esac
  done || failed=1
  examples=$((examples + 1))
}

title='' command='' shown='' traps=0 examples=0
end_trap() {
  run_example
  if [ -n "$title" ] && [ "$examples" -eq 0 ]; then fail "no example that check finds"; fi
}
while IFS= read -r record; do
  kind=${record%% *}
  text=${record#? }
  case $kind in
    T) end_trap; title=$text; traps=$((traps + 1)); command=''; shown=''; examples=0 ;;
    C) run_example; command=$text; shown='' ;;
    F) shown=${shown:+$shown
}$text ;;
  esac
done <"$work/records"
end_trap
if [ "$traps" -eq 0 ]; then
  echo "zel-site.conf(5): no trap found in TRAPS" >&2
  exit 1
fi
if grep '^F ' "$work/records" | grep -q '\\' || grep '^C ' "$work/records" | grep -q '\\[^ntr0-7\\]'; then
  echo "zel-site.conf(5) TRAPS: an example holds a roff escape this test does not undo" >&2
  failed=1
fi
[ "$failed" -eq 0 ] && echo "$traps traps of zel-site.conf(5), each found by zel-site check"
exit "$failed"
