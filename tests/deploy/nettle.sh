# shellcheck shell=bash
# Nettle's start-up variables and a set-ID run. Sourced by run.sh.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

# Nettle's start-up, before main, picks the SHA code for the CPU, reading
# NETTLE_FAT_OVERRIDE with secure_getenv (not in a set-ID run) and
# NETTLE_FAT_VERBOSE with getenv (it then names the code on standard error).
# Both set, a set-ID run gives the same status, listing and messages beside
# Nettle's "libnettle: " lines. Where the CPU lacks the SHA extensions, a plain
# copy under NETTLE_FAT_OVERRIDE=sha_ni dies of SIGILL: the set-ID run did not
# read it. A debugger, as root, asks the waiting set-ID tool's getenv, and a
# plain copy's: the environment is gone once the start-up is over.
deployment_nettle_environment() {
  section
  local pid copy where tag input plain=$T/plain/zel-auth
  for c in "sign|$T/body-$user" "refused|$T/body-$other" "empty|$T/empty"; do
    IFS='|' read -r tag input <<<"$c"
    extra_env=()
    run_tool "nettle-$tag" "$user" "$input"
    extra_env=(NETTLE_FAT_OVERRIDE=sha_ni NETTLE_FAT_VERBOSE=1)
    run_tool "nettle-$tag-env" "$user" "$input"
    extra_env=()
    grep -q '^libnettle: ' "$R/nettle-$tag-env.err" ||
      fail "nettle-$tag-env: Nettle's start-up wrote no line; NETTLE_FAT_VERBOSE was not read and the check proves nothing"
    sed -i '/^libnettle: /d' "$R/nettle-$tag-env.err"
    same_run "nettle-$tag-env" "nettle-$tag"
  done
  if ! grep -qw sha_ni /proc/cpuinfo; then
    install -D -m 0755 "$TOOL" "$plain"
    tool=$plain extra_env=(NETTLE_FAT_OVERRIDE=sha_ni)
    run_tool nettle-plain "$user" "$T/body-$user"
    tool=$TOOL extra_env=()
    [ "$(cat "$R/nettle-plain.rc")" = 132 ] ||
      fail "a plain binary under NETTLE_FAT_OVERRIDE=sha_ni was not killed by SIGILL (status $(cat "$R/nettle-plain.rc")); the check proves nothing"
  else
    echo "note: this CPU has the SHA extensions; the SIGILL check of NETTLE_FAT_OVERRIDE is skipped"
  fi
  if ! command -v gdb >/dev/null; then
    echo "note: no gdb; the probe of the set-ID tool's environment is not run"
  else
    # The plain copy keeps the name: the wait looks for a process named zel-auth.
    install -D -m 0755 "$TOOL" "$plain"
    mkfifo -m 0600 "$T/nettle-probe-in"
    for copy in "$TOOL" "$plain"; do
      where=set-id
      [ "$copy" = "$plain" ] && where=plain
      exec 7<>"$T/nettle-probe-in"
      setpriv --reuid="$(uid_of "$user")" --regid="$(gid_of "$user")" --clear-groups -- \
        env -i NETTLE_FAT_VERBOSE=1 "$copy" <&7 >"$R/nettle-probe-$where.out" 2>"$R/nettle-probe-$where.err" 7<&- &
      pid=$!
      started+=("$pid")
      if wait_for waits_or_ended "$pid" && ! ended "$pid"; then
        timeout 60 gdb -p "$pid" -batch -nx \
          -ex 'print ((char *(*)(const char *)) getenv)("NETTLE_FAT_VERBOSE")' >"$R/nettle-probe-$where.gdb" 2>&1
      else
        fail "$where did not come to wait on its standard input"
      fi
      cat "$T/body-$user" >&7
      wait "$pid"
      exec 7>&-
    done
    rm -f "$T/nettle-probe-in"
    grep -q '^\$1 = 0x[0-9a-f]* "1"$' "$R/nettle-probe-plain.gdb" ||
      { fail "the probe does not see NETTLE_FAT_VERBOSE in a plain copy; it proves nothing"; show "$R/nettle-probe-plain.gdb"; }
    grep -q '^\$1 = 0x0$' "$R/nettle-probe-set-id.gdb" ||
      { fail "the set-ID tool still has NETTLE_FAT_VERBOSE after its start-up"; show "$R/nettle-probe-set-id.gdb"; }
  fi
  section_ok "Nettle's variables change no set-ID run, and its environment is gone after the start-up"
}
