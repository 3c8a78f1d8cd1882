# shellcheck shell=bash
# A site file whose tokens others may know: zel-auth stops before it lists
# anything, with status 6 and the cause, when the file is readable by other
# users, carries an ACL that gives a user read access, is readable by a group
# that is not the service group, is writable by its group, or is owned by an
# account other than root; the deployment
# as zel-site check passes it signs. Sourced by run.sh.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

deployment_exposed_site_file() {
  section
  local tail="; its tokens must be treated as exposed (see zel-site check)."$'\n'
  chmod 0644 "$SITE_FILE"
  run_tool exposed-other "$user" "$T/body-$user"
  expect_run exposed-other 6 /dev/null "The site file $SITE_FILE can be read by other users$tail"
  chmod 0640 "$SITE_FILE" && setfacl -m "u:$user:r" "$SITE_FILE"
  run_tool exposed-acl "$user" "$T/body-$user"
  expect_run exposed-acl 6 /dev/null "The site file $SITE_FILE carries an ACL that may grant more than its mode$tail"
  setfacl -b "$SITE_FILE" && chgrp "$(gid_of "$user")" "$SITE_FILE"
  # The user's own group, among the groups he runs with, as a login gives it.
  timeout 20 setpriv --reuid="$(uid_of "$user")" --regid="$(gid_of "$user")" --groups="$(gid_of "$user")" -- \
    env -i "$TOOL" <"$T/body-$user" >"$R/exposed-chgrp.out" 2>"$R/exposed-chgrp.err"
  echo $? >"$R/exposed-chgrp.rc"
  expect_run exposed-chgrp 6 /dev/null "The site file $SITE_FILE can be read by a group zel-auth does not run as$tail"
  chgrp "$svc" "$SITE_FILE" && chmod 0660 "$SITE_FILE"
  run_tool exposed-group "$user" "$T/body-$user"
  expect_run exposed-group 6 /dev/null "The site file $SITE_FILE can be written by other users than its owner$tail"
  local owner
  owner=$(stat -c %u "$SITE_FILE")
  chmod 0640 "$SITE_FILE" && chown 1 "$SITE_FILE"
  run_tool exposed-owner "$user" "$T/body-$user"
  expect_run exposed-owner 6 /dev/null "The site file $SITE_FILE is owned by neither root nor the service account$tail"
  chown "$owner" "$SITE_FILE"
  zs exposure-check check --deployment
  zs_expect exposure-check 0
  run_tool exposure-passed "$user" "$T/body-$user"
  expect_run exposure-passed 0 "$R/self.want" ""
  [ "$(site_state)" = "$site_before" ] || fail "the site file is not as deployed"
  section_ok "an exposed site file stops zel-auth with status 6; the deployment zel-site check passes signs"
}
