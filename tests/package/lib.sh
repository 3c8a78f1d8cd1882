# The package test's helpers, sourced by run.sh: running the installed program
# as a throwaway user, the listings it must print, and what an installed,
# upgraded or purged package must look like.

# as USER COMMAND...: runs the command as USER alone, no root capability left.
as() {
  local user=$1
  shift
  (cd / && timeout 20 setpriv --reuid="$user" --regid="$user" --clear-groups --inh-caps=-all \
                                --bounding-set=-all -- "$@")
}

# expected BODY TOKEN: the digest line, and the signature line if TOKEN is set.
expected() {
  local digest
  digest=$(printf '%s' "$1" | openssl dgst -sha1 -binary | base64)
  printf 'digest.value = %s\n' "$digest"
  if [ $# -ge 2 ]; then
    printf 'signature.value = %s\n' \
      "$(printf '%s' "$1" | openssl dgst -sha1 -binary | openssl dgst -sha1 -hmac "$2" -binary | base64)"
  fi
}

# sign USER ARGS... <BODY: runs the installed tool as USER; sets out, err, status.
sign() {
  local user=$1
  shift
  as "$user" "$TOOL" "$@" >"$WORK/out" 2>"$WORK/err"
  status=$?
  out=$(cat "$WORK/out"; echo x)
  out=${out%x}
  err=$(cat "$WORK/err")
}

# No token may ever reach standard output or standard error.
no_token_shown() {
  ! grep -qF -e "$TOKEN" -e "$OTHER_TOKEN" "$WORK/out" "$WORK/err"
}

# dpkg, its output kept in $WORK/dpkg.log.
run_dpkg() { dpkg_waiting "$WORK/dpkg.log" "$@"; }
# dpkg_passes WHAT DPKG-ARGS...: passes if dpkg does; otherwise shows its output.
dpkg_passes() {
  local what=$1
  shift
  if run_dpkg "$@"; then
    pass "$what"
  else
    cat "$WORK/dpkg.log"
    fail "$what"
    return 1
  fi
}

mode() { stat -c '%U %G %a' "$1" 2>&1; }
override() { dpkg-statoverride --list "$TOOL" 2>/dev/null; }
group_field() { getent group "$GROUP" | cut -d: -f"$1"; }
primary_group_of() { getent passwd | awk -F: -v gid="$1" '$4 == gid { print $1 }'; }

# write_site_file OWNER GROUP MODE: the site file, with the test's tokens.
write_site_file() {
  printf 'site.name = Package test site\nsite.url = https://build.example.org/\ntoken.value = %s\n[other]\nsite.name = Other site\ntoken.value = %s\n' \
    "$TOKEN" "$OTHER_TOKEN" >"$WORK/site"
  install -o "$1" -g "$2" -m "$3" "$WORK/site" "$SITE_FILE"
  rm -f "$WORK/site"
}

# group_model WHEN: the program, its statoverride and the group zel as this
# version installs them, with no account zel.
group_model() {
  local when=$1 gid
  gid=$(group_field 3)
  check "$when: the program is root:$GROUP and set-group-ID, 2711 ($(mode "$TOOL"))" \
    [ "$(mode "$TOOL")" = "root $GROUP 2711" ]
  check "$when: dpkg-statoverride records it ($(override))" [ "$(override)" = "root $GROUP 2711 $TOOL" ]
  check "$when: $GROUP is a system group ($gid)" [ "$((gid > 0 && gid < 1000))" = 1 ]
  check "$when: group $GROUP has no members ($(group_field 4))" [ -z "$(group_field 4)" ]
  check "$when: it is no account's primary group" [ -z "$(primary_group_of "$gid")" ]
  check "$when: there is no account $ACCOUNT" not quiet getent passwd "$ACCOUNT"
}

# signs WHEN: with the site file in place, the installed program signs for its
# users as it should, and shows no one a token.
signs() {
  local when=$1 body_a want
  body_a="<Body><Request action=\"deploy\" actor=\"$USER_A\"><Target>web</Target></Request></Body>"
  sign "$USER_A" <<<"$body_a"
  want="site.name = Package test site
site.url = https://build.example.org/
$(expected "$body_a"$'\n' "$TOKEN")
"
  check "$when: $USER_A signs a request of their own: status 0 ($status)" [ "$status" -eq 0 ]
  check "$when: the listing carries the digest and signature openssl computes" [ "$out" = "$want" ]
  [ "$out" = "$want" ] || diff <(printf '%s' "$want") <(printf '%s' "$out")
  check "$when: nothing on standard error ($err)" [ -z "$err" ]
  check "$when: no token shown" no_token_shown

  sign "$USER_A" -s other <<<"$body_a"
  want="site.name = Other site
$(expected "$body_a"$'\n' "$OTHER_TOKEN")
"
  check "$when: -s other signs with that site's token" [ "$status.$out" = "0.$want" ]
  check "$when: no token shown with -s other" no_token_shown

  sign "$USER_B" <<<"$body_a"
  check "$when: $USER_B is refused for $USER_A's request: status 4" [ "$status" -eq 4 ]
  check "$when: with the refusal's message" \
    [ "$err" = "$USER_B is not authorized to create a checksum for $USER_A." ]
  check "$when: and nothing on standard output" [ -z "$out" ]

  sign "$USER_B" </dev/null
  check "$when: an empty request lists the properties alone, for anyone" [ "$status.$out" = "0.site.name = Package test site
site.url = https://build.example.org/
" ]

  check "$when: $USER_A can't read the site file directly" not quiet as "$USER_A" cat "$SITE_FILE"
}

# purged WHEN: nothing of the package is left, the group zel included.
purged() {
  local when=$1 path
  check "$when: dpkg knows nothing of it" not package_present
  check "$when: the site file is gone" [ ! -e "$SITE_FILE" ]
  check "$when: $PREFIX is gone" [ ! -e "$PREFIX" ]
  check "$when: the group $GROUP is gone" not quiet getent group "$GROUP"
  check "$when: there is no account $ACCOUNT" not quiet getent passwd "$ACCOUNT"
  check "$when: the record $RECORD_DIR is gone" [ ! -e "$RECORD_DIR" ]
  check "$when: the audit file's directory $AUDIT_DIR is gone" [ ! -e "$AUDIT_DIR" ]
  check "$when: /opt, base-files' directory, stays" [ -d /opt ]
  check "$when: no statoverride is left" not quiet dpkg-statoverride --list "$TOOL"
  for path in /usr/share/man/man1/zel-auth.1.gz /usr/share/man/man5/zel-site.conf.5.gz \
              /usr/share/man/man8/zel-site.8.gz /usr/share/doc/zel-auth /usr/share/lintian/overrides/zel-auth \
              /etc/logrotate.d/zel-auth; do
    check "$when: $path is gone" [ ! -e "$path" ]
  done
}
