# shellcheck shell=bash
# The audit file as zel-site keeps it, on the deployment deploy.sh made: its
# owner and mode, and no ordinary user who can read it, list its directory or
# write a line into it; a change refused while the file is gone or a link; a
# change made outside zel-site (sed -i) that check reports and the next
# set-token records before its own record; `zel-site log --token ID` listing
# the signings by a token and the changes that introduced and retired it; a
# line added by hand named by its number. Sourced by run.sh; runs after
# audit_site_changes, on the file it left (the staging token is $canary3).
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

AUDIT=/var/log/zel-auth/audit.log

# records_after N: the records after the file's first N lines, each without its time and process ID.
records_after() { tail -n "+$(($1 + 1))" "$AUDIT" | sed -E '/^$/d; s/^[0-9T:.-]{26}Z (zel-[a-z]+)\[[0-9]+\]: /\1: /'; }
site_hash() { sha256sum <"$SITE_FILE" | cut -d' ' -f1; }

site_audit_cases() {
  section
  local adm old new h1 h2 h3 h4 n since size signed want
  adm=$(login_word) old=$(token_id_of "$canary3") new=$(token_id_of "$canary2")
  [ "$(stat -c '%U:%G %a %F' "$AUDIT")" = "root:$svc 620 regular file" ] ||
    fail "deploy.sh left the audit file $(stat -c '%U:%G %a %F' "$AUDIT"), expected root:$svc 620"
  [ "$(stat -c '%U:%G %a' "${AUDIT%/*}")" = "root:$svc 710" ] ||
    fail "deploy.sh left ${AUDIT%/*} $(stat -c '%U:%G %a' "${AUDIT%/*}"), expected root:$svc 710"
  as "$user" cat "$AUDIT" >/dev/null 2>&1 && fail "$user can read the audit file"
  as "$user" ls "${AUDIT%/*}" >/dev/null 2>&1 && fail "$user can list ${AUDIT%/*}"
  as "$user" sh -c "echo forged >>'$AUDIT'" 2>/dev/null && fail "$user can write into the audit file"
  grep -q forged "$AUDIT" && fail "a user's line is in the audit file"

  # Gone, then a link: the change is refused and the site file stays as it was.
  h1=$(site_hash)
  mv "$AUDIT" "$AUDIT.kept"
  echo "$canary2" | zs af-gone set-token -s staging
  ln -s "$AUDIT.kept" "$AUDIT"
  echo "$canary2" | zs af-link set-token -s staging
  rm "$AUDIT" && mv "$AUDIT.kept" "$AUDIT"
  zs_expect af-gone 2 "$AUDIT: error: No such file or directory: it must be root:$svc 0620, a file"
  zs_expect af-link 2 "$SITE_FILE is unchanged: mend the audit file first"
  [ "$(site_hash)" = "$h1" ] || fail "a change went in while the audit file was gone or a link"

  # Changed outside zel-site: check says so; set-token records it, then its own change.
  sed -i 's/^site.name = Deploy test staging site$/site.name = Changed by hand/' "$SITE_FILE"
  h2=$(site_hash)
  [ "$h2" != "$h1" ] || fail "sed -i changed nothing"
  zs af-check check
  zs_expect af-check 0 "$SITE_FILE: warning: changed outside zel-site; not in the audit file (SHA-256 $h2, last recorded $h1)"
  n=$(wc -l <"$AUDIT")
  echo "$canary2" | zs af-rotate set-token -s staging
  zs_expect af-rotate 0 "set the token value of [staging]"
  h3=$(site_hash)
  printf '%s\n' "zel-site: uid=0 outside-change recorded=$h1 live=$h2" \
    "zel-site: uid=0 set-token by=$adm stanza=[staging] token=changed id=$new was=$old before=$h2 after=$h3" >"$R/af-rotate.want"
  records_after "$n" | diff "$R/af-rotate.want" - >"$R/af-rotate.diff" ||
    { fail "the records of an outside change and set-token (- wanted, + in the file):"; sed 's/^/    /' "$R/af-rotate.diff"; }
  zs af-checked check
  grep -q "changed outside zel-site" "$R/af-checked.out" && fail "check still reports the change set-token recorded"

  # A signing with the new token, then the token retired.
  since=$(tail -n "+$((n + 1))" "$AUDIT" | grep -m 1 . | sed 's/ .*//')
  run_tool af-signed "$user" "$T/body-$user" -s staging
  echo "$canary3" | zs af-retire set-token -s staging
  h4=$(site_hash)
  signed="zel-auth: uid=$(uid_of "$user") signed for actor=$user user=$user site=[staging] via=self key=site token=$new digest=$(digest_of "$T/body-$user")"
  {
    head -n 2 "$R/af-rotate.want"
    records_after "$n" | grep -qF "zel-auth: " && echo "$signed"
    echo "zel-site: uid=0 set-token by=$adm stanza=[staging] token=changed id=$old was=$new before=$h3 after=$h4"
  } >"$R/af-log.want"
  records_after "$n" | grep -qF "zel-auth: " ||
    echo "note: this zel-auth writes no audit records: log --token checks zel-site's records alone"
  zs af-log log --token "$new" --since "$since"
  zs_expect af-log 0
  AUDIT=$R/af-log.out records_after 0 | diff "$R/af-log.want" - >"$R/af-log.diff" ||
    { fail "zel-site log --token (- wanted, + listed):"; sed 's/^/    /' "$R/af-log.diff"; }
  # Without --since: the same records among the earlier ones, each of them this token's or an outside change.
  zs af-log-all log --token "$new"
  AUDIT=$R/af-log-all.out records_after 0 >"$R/af-log-all.records"
  grep -vxF -f "$R/af-log-all.records" "$R/af-log.want" && fail "log --token without --since lacks the lines above"
  grep -v -e "=$new\( \|$\)" -e " outside-change " "$R/af-log-all.records" &&
    fail "log --token $new listed the records above, which are not that token's"

  # A line added by hand: named by its number, the file's status 1.
  size=$(stat -c %s "$AUDIT") n=$(wc -l <"$AUDIT")
  echo "$since zel-auth[1]: uid=0 signed for actor=root  user=root" >>"$AUDIT"
  zs af-forged log
  truncate -s "$size" "$AUDIT"
  zs_expect af-forged 1 "$AUDIT:$((n + 1)): error: not a record zel-auth or zel-site writes"
  grep -qF -e "$canary" -e "$canary2" -e "$canary3" "$AUDIT" && fail "a token value is in the audit file"
  section_ok "the audit file root:$svc 0620, out of every user's reach; a change refused without it; sed -i reported by check and recorded by set-token; log --token lists a token's life; a forged line found"
}
