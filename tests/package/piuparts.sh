#!/bin/bash
# Debian's own test of the package: piuparts installs and purges it, and
# upgrades the released versions to it, each in a clean Debian 12 chroot, and
# fails on a maintainer script that fails, a file left after purge, or a
# broken upgrade.
#
#   piuparts.sh base                    makes the base chroot, if missing
#   piuparts.sh run NEW.deb [OLD.deb...] install and purge NEW, then upgrade
#                                       each OLD to it
#
# The base is a minimal Debian 12 (debootstrap --variant=minbase), made once and
# kept in $ZEL_PIUPARTS_CACHE (default /var/cache/zel-auth-piuparts) for later
# runs. The mirror is the machine's own: the first Debian 12 archive among its
# apt sources, as apt itself reads them. It needs root and prints each run's
# log on failure. Status: 0 when every run passes, 1 otherwise, 77 when it
# can't run here (no root, no piuparts, no mirror).
set -u

CACHE=${ZEL_PIUPARTS_CACHE:-/var/cache/zel-auth-piuparts}
SUITE=bookworm
BASE=$CACHE/$SUITE-minbase.tar.gz

skip() { echo "SKIP: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "piuparts makes chroots: it needs root"
for tool in piuparts debootstrap dpkg-scanpackages apt-get; do
  command -v "$tool" >/dev/null || skip "$tool is missing (tools/install-deps.sh installs it)"
done

# The machine's Debian 12 archive, main component, as apt reads its sources in
# either format; the security archive and the updates suite aside.
MIRROR=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 2>/dev/null |
         awk -v suite="$SUITE" '$2 == suite && $3 == "main" { print $1; exit }')
[ -n "$MIRROR" ] || skip "no $SUITE main archive among this machine's apt sources"

# Made in a private directory and renamed into place whole, so that a run that
# is killed leaves no half-made base behind.
make_base() {
  local tmp status
  [ -s "$BASE" ] && return 0
  mkdir -p "$CACHE"
  tmp=$(mktemp -d "$CACHE/.base.XXXXXX")
  echo "piuparts: making the $SUITE base chroot in $BASE from $MIRROR (once)"
  timeout 1200 debootstrap --variant=minbase "$SUITE" "$tmp/root" "$MIRROR" >"$tmp/log" 2>&1 &&
    tar -C "$tmp/root" -czf "$tmp/base.tar.gz" . && mv "$tmp/base.tar.gz" "$BASE"
  status=$?
  [ "$status" -eq 0 ] || { tail -n 20 "$tmp/log"; echo "FAIL: debootstrap $SUITE"; }
  rm -rf "$tmp"
  return "$status"
}

# piuparts_run NAME PASSED ARGS...: one piuparts run, in a private directory,
# which passes when piuparts ends with status 0 and logs PASSED; its log is
# shown when it fails.
piuparts_run() {
  local name=$1 passed=$2 status start=$SECONDS
  shift 2
  timeout 1500 piuparts --basetgz="$BASE" --distribution="$SUITE" --mirror="$MIRROR main" \
    --tmpdir="$WORK" --log-file="$WORK/$name.log" "$@" >/dev/null 2>&1
  status=$?
  if [ "$status" -eq 0 ] && grep -qF "PASS: $passed" "$WORK/$name.log"; then
    echo "ok: piuparts: $name ($((SECONDS - start)) s)"
  else
    grep -E -A12 'ERROR|FAIL' "$WORK/$name.log" | head -n 60
    echo "FAIL: piuparts: $name (status $status; $((SECONDS - start)) s)"
    failed=1
  fi
}

# upgrade OLD NEW: OLD, offered by an apt repository of its own (bound into
# the chroot), installed with apt-get, then upgraded to NEW, then purged.
upgrade() {
  local old=$1 new=$2 repo name
  name="upgrade from $(dpkg-deb -f "$old" Version)"
  repo=$WORK/repo-$(dpkg-deb -f "$old" Version)
  mkdir -p "$repo"
  cp "$old" "$repo/"
  (cd "$repo" && dpkg-scanpackages --multiversion . /dev/null >Packages 2>/dev/null)
  chmod -R a+rX "$repo"
  piuparts_run "$name" "Installation, upgrade and purging tests." --no-install-purge-test --bindmount="$repo" \
    --extra-repo="deb [trusted=yes] file://$repo ./" "$new"
}

case "${1:-}" in
  base) make_base; exit ;;
  run) [ $# -ge 2 ] || { echo "usage: piuparts.sh run NEW.deb [OLD.deb...]" >&2; exit 2; } ;;
  *) echo "usage: piuparts.sh base | run NEW.deb [OLD.deb...]" >&2; exit 2 ;;
esac
new=$(realpath "$2")
shift 2
make_base || exit 1
WORK=$(mktemp -d)
chmod 0755 "$WORK"
trap 'rm -rf --one-file-system "$WORK"' EXIT
failed=0
piuparts_run "install and purge" "Installation and purging test." --no-upgrade-test "$new"
for old in "$@"; do
  upgrade "$(realpath "$old")" "$new"
done
exit "$failed"
