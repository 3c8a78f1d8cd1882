# shellcheck shell=bash
# set-token's token input on the deployment: a token file anyone may read, or
# one in a directory anyone may write, or one that is not the file its name
# gives, is refused with the way that works; a
# file only root can read is taken; the same value again is unchanged and not
# rewritten; a short value is refused unless --weak, and check warns of it;
# --generate writes a new token to the descriptor named, never to the output,
# and zel-auth signs with it. Sourced by run.sh; runs after site_tool_set_token
# and leaves the site file as that left it.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

site_tool_token_input() {
  section
  local start tok gen tmp inode
  start=$(site_state)
  tok=zeltoken$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  (umask 022 && echo "$tok" >"$Z/token-0644")
  zs token-0644 set-token -s staging <"$Z/token-0644"
  zs_expect token-0644 1 "the token file $Z/token-0644 is readable by others than root (mode 0644): openssl rand -base64 32 | zel-site set-token -s NAME"
  tmp=$(mktemp /tmp/zel-token.XXXXXX) && echo "$tok" >"$tmp"
  zs token-tmp set-token -s staging <"$tmp"
  rm -f "$tmp"
  zs_expect token-tmp 1 "/tmp, a directory on its path, is writable by others than root (mode 1777)"
  echo short-token | zs token-short set-token -s staging
  zs_expect token-short 1 "the token value is 11 bytes long, shorter than 16"
  (umask 022 && zs token-gen-0644 set-token -s staging --generate=3 3>"$Z/gen-0644")
  zs_expect token-gen-0644 2 "--generate=3: the file of descriptor 3 is not root's alone"
  [ ! -s "$Z/gen-0644" ] || fail "a refused --generate wrote a token"
  [ "$(site_state)" = "$start" ] || fail "a refused token input changed the site file"
  # The file the shell opened must be the one its name gives now: a file its
  # user may change, with a root-only one bound over its name, is refused.
  (umask 077 && echo "$tok" >"$Z/token-theirs" && echo "$tok" >"$Z/token-bound")
  chown "$user" "$Z/token-theirs"
  # Opened in the mount namespace the bind is made in, so its name is the one given.
  timeout 30 unshare -m sh -c 'exec <"$1" && mount --bind "$2" "$1" &&
    exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$3" set-token -s staging' sh \
    "$Z/token-theirs" "$Z/token-bound" "$ZEL_SITE" >"$R/token-bound.out" 2>"$R/token-bound.err"
  echo $? >"$R/token-bound.rc"
  zs_expect token-bound 1 "standard input is a file that can't be found by its name"
  rm -f "$Z/token-theirs" "$Z/token-bound"
  [ "$(site_state)" = "$start" ] || fail "a refused token input changed the site file"
  # Refused before it reads its value, set-token still reads the pipe: the
  # command writing the value sees the refusal's words, never a broken pipe;
  # one that never stops writing does not hold it.
  { sleep 1; echo "$tok"; } | zs token-refused-piped set-token -s no-such-stanza
  [ "${PIPESTATUS[0]}" = 0 ] || fail "the command writing a refused set-token's value got a broken pipe"
  zs_expect token-refused-piped 1 "has no stanza [no-such-stanza]"
  yes | zs token-refused-endless set-token -s no-such-stanza
  zs_expect token-refused-endless 1 "has no stanza [no-such-stanza]"
  (umask 077 && echo "$tok" >"$Z/token-0600")
  zs token-0600 set-token -s staging <"$Z/token-0600"
  zs_expect token-0600 0 "set the token value of [staging] in $SITE_FILE"
  # The same value again: nothing to do, and nothing done.
  inode=$(stat -c %i "$SITE_FILE")
  echo "$tok" | zs token-same set-token -s staging
  zs_expect token-same 0 "the token value of [staging] in $SITE_FILE is that value already: unchanged"
  [ "$(stat -c %i "$SITE_FILE")" = "$inode" ] || fail "setting the same token value rewrote the site file"
  echo short-token | zs token-weak set-token -s staging --weak
  zs_expect token-weak 0 "$SITE_FILE:6: warning: the token value is shorter than 16 bytes"
  zs token-weak-check check
  zs_expect token-weak-check 0 "$SITE_FILE:6: warning: the token value is shorter than 16 bytes"
  (umask 077 && zs token-gen set-token -s staging --generate=3 3>"$Z/gen")
  zs_expect token-gen 0 "set the token value of [staging] in $SITE_FILE"
  gen=$(cat "$Z/gen")
  [ "${#gen}" = 44 ] || fail "--generate wrote ${#gen} bytes, expected a 44-byte token"
  run_tool token-gen-signed "$user" "$T/body-$user" -s staging
  listing "$T/body-$user" "$gen" "site.name = Deploy test staging site" >"$R/token-gen.want"
  expect_run token-gen-signed 0 "$R/token-gen.want" ""
  echo "$canary3" | zs token-back set-token -s staging
  zs_expect token-back 0 "set the token value of [staging]"
  [ "$(site_state)" = "$start" ] || fail "the token input cases did not leave the site file as it was"
  ! grep -rqF -e "$tok" -e "$gen" "$R" || fail "a token value reached an output: $(grep -rlF -e "$tok" -e "$gen" "$R")"
  rm -f "$Z"/token-* "$Z"/gen*
  section_ok "set-token refuses a token file others may read or replace and a short value (unless --weak), takes a root-only file, says unchanged for the same value, and --generate writes a token zel-auth signs with only to its descriptor"
}
