# The package test's cases of an account or group zel unfit for the package,
# sourced by run.sh. Those that install 1.0.0 first are skipped without it.
# ---------------------------------------------------------------------------
# An account or group zel unfit for the package. Each row sets one up; the
# package must then stop with a message that says why, leave the program set-ID
# to no one, and leave that account or group as it was, through a purge too.
# ---------------------------------------------------------------------------
# The administrator's own account zel, given a set-user-ID program by 1.0.0.
unfit_site_account() {
  useradd --system --user-group --no-create-home --home-dir /nonexistent \
          --shell /usr/sbin/nologin --comment "Site build account" "$ACCOUNT"
}
# An account zel of user ID 0, though with 1.0.0's comment.
unfit_root_account() {
  useradd --non-unique --uid 0 --gid root --no-create-home --home-dir /nonexistent \
          --shell /usr/sbin/nologin --comment "$OLD_COMMENT" "$ACCOUNT"
}
unfit_gid_0() { groupadd --non-unique --gid 0 "$GROUP"; }
unfit_nogroup() { groupadd --non-unique --gid "$(getent group nogroup | cut -d: -f3)" "$GROUP"; }
unfit_member() { groupadd --system "$GROUP" && gpasswd --add "$USER_B" "$GROUP"; }
unfit_primary() {
  groupadd --system "$GROUP" &&
    useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --gid "$GROUP" \
            --comment "$MARKER $$" "$USER_C"
}
unfit_password() { groupadd --system --password "$(openssl passwd -6 -salt pkgtest secret)" "$GROUP"; }

package_gone() {
  ! package_present && [ ! -e "$PREFIX" ] && [ ! -e "$RECORD_DIR" ] && [ -z "$(override)" ]
}
zel_entries() {
  getent passwd "$ACCOUNT"
  getent group "$GROUP"
  getent gshadow "$GROUP"
}
undo_unfit() {
  getent passwd "$USER_C" >/dev/null && userdel "$USER_C" >/dev/null 2>&1
  remove_zel_account
  # --force: the group may share its ID with root's or nobody's primary group.
  getent group "$GROUP" >/dev/null && groupdel --force "$GROUP" >/dev/null 2>&1
}

# refused ROW OVER MESSAGE: with unfit_ROW done, installing the package (over
# 1.0.0 if OVER is "old") stops with MESSAGE.
refused() {
  local row=$1 over=$2 message=$3 before
  if ! "unfit_$row" >"$WORK/unfit.log" 2>&1; then
    cat "$WORK/unfit.log"
    fail "$row: could not be set up"
    undo_unfit
    return
  fi
  before=$(zel_entries)
  if [ "$over" = old ]; then
    dpkg_passes "$row: dpkg -i installs $OLD_VERSION" -i "$old_deb"
    write_site_file "$ACCOUNT" "$ACCOUNT" 0600
    site_sum=$(sha256sum <"$SITE_FILE")
  fi
  if run_dpkg -i "$deb"; then fail "$row: dpkg -i went through"; else pass "$row: dpkg -i stops"; fi
  check "$row: with the message \"$message\"" grep -qF -- "$message" "$WORK/dpkg.log"
  grep -qF -- "$message" "$WORK/dpkg.log" || cat "$WORK/dpkg.log"
  check "$row: the program is root's and set-ID to no one ($(mode "$TOOL"))" [ "$(mode "$TOOL")" = "root root 755" ]
  check "$row: no statoverride is left ($(override))" [ -z "$(override)" ]
  check "$row: the account and group $GROUP are as they were" [ "$(zel_entries)" = "$before" ]
  if [ "$over" = old ]; then
    check "$row: the site file is as it was" \
      [ "$(mode "$SITE_FILE") $(sha256sum <"$SITE_FILE")" = "$ACCOUNT $GROUP 600 $site_sum" ]
  fi
  dpkg_passes "$row: dpkg -P purges the package" -P "$PACKAGE"
  check "$row: the purge leaves the account and group $GROUP alone" [ "$(zel_entries)" = "$before" ]
  check "$row: and nothing of the package is left" package_gone
  undo_unfit
}

if [ -n "$old_deb" ]; then
  refused site_account old "zel-auth: an account $ACCOUNT exists that zel-auth $OLD_VERSION did not create; it is left alone."
else
  echo "SKIP: an account $ACCOUNT of the site's over $OLD_VERSION: no $OLD_VERSION package"
fi
refused root_account new "zel-auth: an account $ACCOUNT exists that zel-auth $OLD_VERSION did not create; it is left alone."
refused gid_0 new "(group ID 0) is root's group, which can't be the service group"
refused nogroup new "has the ID of nogroup, nobody or the overflow ID"
refused member new "has members ($USER_B), who can read every token"
refused primary new "is the primary group of $USER_C, whose processes can read every token"
refused password new "has a password in /etc/gshadow, with which anyone can join it"

# An upgrade that stops converts nothing: with a member in 1.0.0's group, the
# site file stays the account's alone, not readable by that member. A purge then
# removes what 1.0.0 made, account and group.
when="member under $OLD_VERSION"
if [ -z "$old_deb" ]; then
  echo "SKIP: $when: no $OLD_VERSION package"
elif dpkg_passes "$when: dpkg -i installs $OLD_VERSION" -i "$old_deb"; then
  write_site_file "$ACCOUNT" "$ACCOUNT" 0600
  site_sum=$(sha256sum <"$SITE_FILE")
  gpasswd --add "$USER_B" "$GROUP" >/dev/null
  if run_dpkg -i "$deb"; then fail "$when: the upgrade went through"; else pass "$when: the upgrade stops"; fi
  check "$when: with the message" grep -qF "has members ($USER_B), who can read every token" "$WORK/dpkg.log"
  check "$when: the site file is as it was, the account's alone" \
    [ "$(mode "$SITE_FILE") $(sha256sum <"$SITE_FILE")" = "$ACCOUNT $GROUP 600 $site_sum" ]
  check "$when: the account $ACCOUNT stays until the upgrade can end" quiet getent passwd "$ACCOUNT"
  check "$when: the program is root's and set-ID to no one ($(mode "$TOOL"))" [ "$(mode "$TOOL")" = "root root 755" ]
  dpkg_passes "$when: dpkg -P purges the package" -P "$PACKAGE"
  purged "$when, purged"
fi
undo_unfit

# A fit group zel of the administrator's own is used as it is, and a purge
# leaves it.
if groupadd --system "$GROUP"; then
  site_gid=$(group_field 3)
  dpkg_passes "site group: dpkg -i installs the package" -i "$deb"
  group_model "site group"
  check "site group: the group keeps its ID $site_gid" [ "$(group_field 3)" = "$site_gid" ]
  dpkg_passes "site group: dpkg -P purges the package" -P "$PACKAGE"
  check "site group: the purge leaves the group" [ "$(group_field 3)" = "$site_gid" ]
  check "site group: and nothing of the package is left" package_gone
  undo_unfit
else
  fail "site group: groupadd $GROUP"
fi

# What the message tells the administrator to do brings an upgrade that stopped
# to its end: remove the account, configure the package, hand the site file to
# root:zel.
if [ -z "$old_deb" ]; then
  echo "SKIP: the advice for an upgrade that stopped: no $OLD_VERSION package"
else
  unfit_site_account
  dpkg_passes "advice: dpkg -i installs $OLD_VERSION for the site's account $ACCOUNT" -i "$old_deb"
  write_site_file "$ACCOUNT" "$ACCOUNT" 0600
  site_sum=$(sha256sum <"$SITE_FILE")
  if run_dpkg -i "$deb"; then
    fail "advice: the upgrade over the site's account zel went through"
  else
    userdel "$ACCOUNT"
    dpkg_passes "advice: dpkg --configure $PACKAGE passes once the account is gone" --configure "$PACKAGE"
    check "advice: postinst shows zel-site's finding that the site file is not yet root:$GROUP 0640" \
      grep -qF "$SITE_FILE: error: mode 0600, not 0640: chmod 0640 $SITE_FILE" "$WORK/dpkg.log"
    group_model advice
    chown root:"$GROUP" "$SITE_FILE" && chmod 0640 "$SITE_FILE"
    check "advice: the site file's content is untouched" [ "$(sha256sum <"$SITE_FILE")" = "$site_sum" ]
    signs advice
  fi
  dpkg_passes "advice: dpkg -P purges the package" -P "$PACKAGE"
  purged "advice, purged"
  undo_unfit
fi
