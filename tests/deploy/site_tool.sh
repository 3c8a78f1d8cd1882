# shellcheck shell=bash
# zel-site, the administrator's tool, run as root on the deployment: install,
# check (a clean deployment, each fault of it, ACLs, a trap line), show against
# zel-auth's listing, the command line, editing with scripted editors, the lock
# and an interrupt, token rotation with set-token, and installs that fail (a
# full file system, a missing service group). zel-site in the older
# set-user-ID form is in deployment.sh, with that form. Sourced by run.sh; a new
# case of zel-site goes here.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

# Every run is as root, with an empty environment but for EDITOR (zs, in
# lib.sh); its output goes to $R, where the canary check looks. The files it is
# given, tokens and all, stay in $Z, root's alone.
Z=$T/zel-site

# installed WHAT: the live file is root:GROUP 0640, alone in its directory.
installed() {
  local left
  [ "$(stat -c '%U:%G %a' "$SITE_FILE")" = "root:$svc 640" ] ||
    fail "after $1 the site file is $(stat -c '%U:%G %a' "$SITE_FILE"), expected root:$svc 640"
  left=$(ls -A "$(dirname "$SITE_FILE")" | grep -vx -e zel-site.conf -e zel-site.conf.lock)
  [ -z "$left" ] || fail "after $1 these are left beside the site file: $left"
}
# editor NAME SHELL-TEXT: an editor that is a script given the copy's path.
editor() {
  printf '#!/bin/sh\n%s\n' "$2" >"$Z/$1" && chmod 0700 "$Z/$1"
}

# install, check, show; the command line; no zel-site for a user.
site_tool_commands() {
  section
  mkdir -p "$Z" && chmod 0700 "$Z"
  [ "$(stat -c '%U:%G %a' "$ZEL_SITE")" = "root:root 755" ] ||
    fail "zel-site is $(stat -c '%U:%G %a' "$ZEL_SITE"), expected root:root 755"
  grep -q "^$SITE_FILE: [0-9]* errors\{0,1\}, " "$R/deploy.log" || fail "deploy.sh printed no zel-site check"

  printf '%s\n' "site.name = Deploy test site" "site.url = https://deploy.test.invalid/" \
    "token.value = $canary" "[staging]" "site.name = Deploy test staging site" \
    "token.value = $canary2" >"$Z/clean.conf"
  zs install-clean install "$Z/clean.conf"
  zs_expect install-clean 0 "installed $Z/clean.conf as $SITE_FILE (root:$svc 0640)"
  installed "install"
  clean_state=$(site_state)
  zs check-clean check
  zs_expect check-clean 0 "$SITE_FILE: 0 errors, 0 warnings"
  [ "$(wc -l <"$R/check-clean.out")" = 1 ] || { fail "check of a clean deployment found something"; show "$R/check-clean.out"; }
  # Each fault of the deployment, made and mended: check names the path and the fix.
  sd=$(dirname "$SITE_FILE")
  while IFS='|' read -r tag make mend text; do
    eval "$make"
    zs "check-$tag" check
    eval "$mend"
    zs_expect "check-$tag" 1 "$text"
  done <<EOF
site-mode|chmod 0644 $SITE_FILE|chmod 0640 $SITE_FILE|$SITE_FILE: error: mode 0644, not 0640: chmod 0640 $SITE_FILE
site-group|chgrp root $SITE_FILE|chgrp $svc $SITE_FILE|$SITE_FILE: error: its group is not $svc, the group of $TOOL: chgrp $svc
site-owner|chown $user $SITE_FILE|chown root $SITE_FILE|$SITE_FILE: error: owned by $user, not root: chown root $SITE_FILE
tool-mode|chmod 0755 $TOOL|chmod 2711 $TOOL|$TOOL: error: mode 0755, not 2711: chmod 2711 $TOOL
members|gpasswd -a $user $svc >/dev/null|gpasswd -d $user $svc >/dev/null|group $svc (group ID $svc_gid) has members ($user), who can read every token
dir-write|chmod 0775 $sd|chmod 0755 $sd|$sd: error: writable by others than root (mode 0775): chmod go-w $sd
nosuid|mount -o remount,nosuid /opt|mount -o remount,suid /opt|$TOOL: error: on a file system mounted nosuid
EOF
  # ACLs: u:$user:r, dormant under 0600, reads the tokens at 0640; a default ACL is inherited.
  setfacl -m "u:$user:r" "$SITE_FILE" && setfacl -d -m "u:$user:r" "$sd"
  zs check-acl check
  zs install-acl install "$Z/clean.conf"
  setfacl -b "$SITE_FILE" && setfacl -k "$sd"
  zs_expect check-acl 1 "$SITE_FILE: error: carries an extended ACL, whose users and groups read the tokens"
  grep -qF "$sd: error: carries a default ACL, which every new file in it inherits, the site file zel-site installs too: setfacl -k $sd" \
    "$R/check-acl.out" || fail "zel-site check-acl did not report the default ACL of $sd"
  zs_expect install-acl 1 "$sd: error: carries a default ACL, which every new file in it inherits"
  [ "$(site_state)" = "$clean_state" ] || fail "the deployment faults changed the site file"
  zs check-mended check
  zs_expect check-mended 0 "$SITE_FILE: 0 errors, 0 warnings"
  # show lists for each stanza what zel-auth lists, line for line.
  for stanza in default staging; do
    args=()
    [ "$stanza" = default ] || args=(-s "$stanza")
    zs "show-$stanza" show "${args[@]}"
    run_tool "listing-$stanza" "$user" "$T/empty" "${args[@]}"
    # The stanza's heading says how many listed lines follow it.
    n=$(sed -n '1s/.*: \([0-9]*\) lines\{0,1\} every user sees$/\1/p' "$R/show-$stanza.out")
    sed -n "2,$((${n:-0} + 1))p" "$R/show-$stanza.out" >"$R/show-$stanza.listing"
    cmp -s "$R/show-$stanza.listing" "$R/listing-$stanza.out" ||
      { fail "zel-site show -s $stanza differs from zel-auth's listing"; show "$R/show-$stanza.out"; }
  done
  printf 'site.name = A\n\ttoken.value = trap-value\n[x]\n' >"$Z/trap.conf"
  zs check-trap check -f "$Z/trap.conf"
  zs_expect check-trap 1 "$Z/trap.conf:2: error: listed to every user, yet it looks like a token line"
  # The command line: status 2 and the usage for a wrong one.
  for c in "usage-none||no command given" "usage-command|frob|unknown command frob" \
           "usage-option|check -x|unknown option -x" "usage-foreign|edit -f x|is not one of edit's" \
           "usage-operand|install|install takes one FILE" "version|--version|zel-site (zel-auth) "; do
    IFS='|' read -r tag args text <<<"$c"
    read -ra argv <<<"$args"
    zs "$tag" "${argv[@]}" </dev/null
    zs_expect "$tag" "$([ "$tag" = version ] && echo 0 || echo 2)" "$text"
  done
  as "$user" "$ZEL_SITE" edit </dev/null >"$R/zs-user.out" 2>&1 && fail "zel-site edit ran for $user"
  grep -q "must run as root" "$R/zs-user.out" || fail "zel-site edit as $user did not say why it refused"
  section_ok "zel-site installs root:$svc 0640, checks the deployment clean and each fault of it, shows what zel-auth lists, finds a trap; refuses to install beside a default ACL"
}

# Editing, with editors that are scripts given the copy's path.
site_tool_edit() {
  section
  editor append "umask >'$Z/editor-umask'; echo 'site.note = edited' >>\"\$1\""
  editor leak "printf '\\tToken.Value = %s\\n' '$canary' >>\"\$1\""
  editor hold ": >'$Z/editing'; i=0; while [ ! -e '$Z/go' ] && [ \$i -lt 200 ]; do sleep 0.1; i=\$((i + 1)); done"
  zs_editor=$Z/append
  (umask 022 && zs edit-clean edit </dev/null)
  zs_expect edit-clean 0 "installed $SITE_FILE (root:$svc 0640)"
  # What the editor writes beside the copy (a backup, an undo file) is root's alone.
  [ "$(cat "$Z/editor-umask")" = 0077 ] || fail "the editor ran with umask $(cat "$Z/editor-umask"), not 0077"
  installed "a clean edit"
  run_tool listing-edited "$user" "$T/empty" -s staging
  grep -qx 'site.note = edited' "$R/listing-edited.out" || fail "zel-auth does not list the edited line"
  edited_state=$(site_state)
  zs_editor=$Z/leak
  for answers in x '' 'Q\nno' 'e\nx'; do
    tag=edit-errors-$(printf '%s' "${answers:-eof}" | tr -c 'a-zA-Z' '-')
    printf "$answers${answers:+\\n}" | zs "$tag" edit
    zs_expect "$tag" 1 "What now?"
    grep -q "$SITE_FILE:8: error: listed to every user, yet it looks like a token line" "$R/$tag.out" ||
      fail "zel-site $tag did not report the leaking line"
    [ "$(site_state)" = "$edited_state" ] || fail "zel-site $tag changed the site file"
    installed "$tag"
  done
  printf 'Q\nyes\n' | zs edit-errors-Q edit
  zs_expect edit-errors-Q 0 "installed $SITE_FILE (root:$svc 0640)"
  grep -q "Token.Value" "$SITE_FILE" || fail "Q and yes did not install the edit"
  installed "Q"
  zs install-back install "$Z/clean.conf"
  zs_expect install-back 0
  # No editor named and none called editor: vi, as on a system without the
  # alternative; without vi either, the edit fails and says so once.
  mkdir -p "$Z/vi-only" "$Z/no-editor" && ln -sf "$Z/append" "$Z/vi-only/vi"
  timeout 30 env -i PATH="$Z/vi-only" "$ZEL_SITE" edit </dev/null >"$R/edit-vi.out" 2>"$R/edit-vi.err"
  echo $? >"$R/edit-vi.rc"
  zs_expect edit-vi 0 "installed $SITE_FILE (root:$svc 0640)"
  grep -qx 'site.note = edited' "$SITE_FILE" || fail "vi, the editor of last resort, did not edit the copy"
  zs install-back-vi install "$Z/clean.conf"
  timeout 30 env -i PATH="$Z/no-editor" "$ZEL_SITE" edit </dev/null >"$R/edit-none.out" 2>"$R/edit-none.err"
  echo $? >"$R/edit-none.rc"
  zs_expect edit-none 1 "zel-site: can't run the editor vi: No such file or directory"
  [ "$(cat "$R/edit-none.out" "$R/edit-none.err" | grep -c .)" = 2 ] ||
    { fail "an edit without an editor said more than its two lines"; show "$R/edit-none.out"; show "$R/edit-none.err"; }
  cmp -s "$SITE_FILE" "$Z/clean.conf" || fail "an edit without an editor changed the site file"
  # Warnings alone need no --force, and the record does not say forced.
  (umask 077 && { cat "$Z/clean.conf"; printf '[unsigned]\nsite.name = Unsigned\n'; } >"$Z/warned.conf")
  zs install-warned install "$Z/warned.conf"
  zs_expect install-warned 0 "has no token line"
  zs install-warned-log log
  tail -n 1 "$R/install-warned-log.out" | grep -q ' install by=' || fail "the warned install left no record"
  tail -n 1 "$R/install-warned-log.out" | grep -q ' forced ' && fail "an install with warnings alone is recorded as forced"
  zs install-back-warned install "$Z/clean.conf"
  zs_expect install-back-warned 0
  section_ok "zel-site edit: a clean edit goes live; with errors, x, end of input and a withdrawn Q leave it byte-identical; Q installs"
}

# The lock, and an interrupt while the editor runs.
site_tool_lock() {
  section
  rm -f "$Z/editing" "$Z/go"
  env -i PATH=/usr/bin:/bin EDITOR="$Z/hold" "$ZEL_SITE" edit </dev/null >"$R/edit-held.out" 2>"$R/edit-held.err" &
  held=$!
  started+=("$held")
  if wait_for test -e "$Z/editing"; then
    zs_editor=false
    zs edit-locked edit </dev/null
    zs_expect edit-locked 2 "is being changed by another zel-site"
    zs install-locked install "$Z/clean.conf"
    zs_expect install-locked 2 "is being changed by another zel-site"
    echo "not-a-token-value" | zs set-token-locked set-token
    zs_expect set-token-locked 2 "is being changed by another zel-site"
    ls -d "$(dirname "$SITE_FILE")"/.zel-site-edit.* >/dev/null 2>&1 || fail "no private copy while editing"
    kill -TERM "$held"
    wait_for eval '! kill -0 "$held" 2>/dev/null' || fail "zel-site edit did not end on SIGTERM"
    wait "$held"
    rc=$?
    ((rc == 143)) || fail "zel-site edit ended with status $rc on SIGTERM, expected 143"
  else
    fail "the held editor never started"
  fi
  : >"$Z/go"
  [ "$(site_state)" = "$clean_state" ] || fail "a refused or interrupted edit changed the site file"
  installed "an interrupted edit"
  section_ok "a second edit, install or set-token is refused while one runs; SIGTERM removes the private copy"
}

# Token rotation: the next signing run uses the new value.
site_tool_set_token() {
  section
  canary3=zelcanary$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  echo "$canary3" | zs set-token set-token -s staging
  zs_expect set-token 0 "zel-site: set the token value of [staging] in $SITE_FILE"
  installed "set-token"
  run_tool rotated "$user" "$T/body-$user" -s staging
  listing "$T/body-$user" "$canary3" "site.name = Deploy test staging site" >"$R/rotated.want"
  expect_run rotated 0 "$R/rotated.want" ""
  rotated_state=$(site_state)
  for bad in "|the token value is empty" 'two\nlines|one line' 'tab\there|control character'; do
    printf "${bad%%|*}\\n" | zs set-token-bad set-token -s staging
    zs_expect set-token-bad 1 "${bad#*|}"
  done
  echo "$canary3" | zs set-token-nostanza set-token -s nosuch
  zs_expect set-token-nostanza 1 "has no stanza [nosuch]"
  # A closed standard input is never the log socket's descriptor, which would
  # leave set-token waiting for its value: it ends at once with a message.
  if log_cover; then
    "$A/logsink" /dev/log "$R/closed-in.received" 30 &
    local sink=$!
    wait_for test -S /dev/log || fail "the log receiver did not start"
    zs set-token-closed set-token -s staging <&-
    kill "$sink" && wait "$sink" 2>/dev/null
    log_uncover
    [[ $(cat "$R/set-token-closed.rc") =~ ^[1-9]$ ]] && cat "$R/set-token-closed.out" "$R/set-token-closed.err" | grep -q . ||
      fail "set-token with standard input closed: status $(cat "$R/set-token-closed.rc") (124: it waited)"
  fi
  [ "$(site_state)" = "$rotated_state" ] || fail "a refused set-token changed the site file"
  # zel-auth reads up to a NUL: a header after it is no stanza, and no value is asked for it.
  cp "$SITE_FILE" "$Z/rotated.conf"
  { cat "$Z/rotated.conf"; printf '\0[hidden]\n'; } >"$Z/nul.conf"
  zs install-nul install --force "$Z/nul.conf"
  zs_expect install-nul 0
  zs set-token-after-nul set-token -s hidden </dev/null
  zs_expect set-token-after-nul 1 "has no stanza [hidden]; it is unchanged"
  zs install-rotated install "$Z/rotated.conf"
  zs_expect install-rotated 0
  section_ok "set-token rotates the staging token, zel-auth signs with it at once, bad values are refused"
}

# Installs that fail: the old file stays in force, nothing new is left. The
# file system filled here is the test's own tmpfs over /opt.
site_tool_failed_installs() {
  section
  [ "$(findmnt -n -o FSTYPE /opt)" = tmpfs ] || { echo "FAIL: /opt is no tmpfs here"; exit 1; }
  dd if=/dev/zero of=/opt/zel-fill bs=1M 2>/dev/null
  head -c 65536 /dev/zero >>/opt/zel-fill 2>/dev/null
  # Its messages are kept in memory until there is room for them again.
  full_err=$(timeout 30 env -i PATH=/usr/bin:/bin "$ZEL_SITE" install "$Z/clean.conf" 2>&1 >/dev/null)
  full_rc=$?
  rm -f /opt/zel-fill
  printf '%s\n' "$full_err" >"$R/install-full.err" && : >"$R/install-full.out" && echo "$full_rc" >"$R/install-full.rc"
  zs_expect install-full 2 "No space left on device"
  grep -qF "writing $(dirname "$SITE_FILE")/.zel-site.conf.new-" "$R/install-full.err" ||
    fail "a full file system was not reported at the write"
  [ "$(site_state)" = "$rotated_state" ] || fail "an install on a full file system changed the site file"
  installed "an install on a full file system"
  groupdel "$svc" || fail "groupdel $svc"
  zs install-nogroup install "$Z/clean.conf"
  groupadd --system --gid "$svc_gid" "$svc" || fail "groupadd $svc again"
  zs_expect install-nogroup 1 "group ID $svc_gid no longer exists"
  [ "$(site_state)" = "$rotated_state" ] || fail "an install without the service group changed the site file"
  run_tool after-failures "$user" "$T/body-$user" -s staging
  expect_run after-failures 0 "$R/rotated.want" ""
  zs install-restore install "$Z/clean.conf"
  zs_expect install-restore 0
  installed "the restoring install"
  section_ok "an install on a full file system or without the service group leaves the old file in force"
}

# What a writing command refuses, reports or keeps: the deployment checked
# first (chgrp or chown of zel-auth, a second name of the service group with a
# member, a password, members or administrators of the service group in
# /etc/gshadow), a candidate that
# is a user's link or file, an edit copy left behind, another writer's change
# while an edit is open, a mode mended aloud, the same text installed again,
# and no site file at all.
site_tool_refusals() {
  section
  sd=$(dirname "$SITE_FILE")
  zs refuse-start install "$Z/clean.conf"
  zs_expect refuse-start 0
  start_state=$(site_state)
  # The review's reproductions: each ends in a refusal, the site file as it was.
  # A mistyped key, by install and by edit:
  { cat "$Z/clean.conf"; echo "token.vaule = $canary"; } >"$Z/typo.conf"
  zs install-typo install "$Z/typo.conf"
  zs_expect install-typo 1 "$Z/typo.conf:7: error: listed to every user, yet it looks like a token line"
  editor typo "echo 'token.vaule = $canary' >>\"\$1\""
  zs_editor=$Z/typo
  zs edit-typo edit </dev/null
  zs_expect edit-typo 1 "$SITE_FILE:7: error: listed to every user, yet it looks like a token line"
  # A secret under another usual name, in a stanza with no token line:
  for key in signing.key hmac_key api.key key apikey build.secret_key auth credential; do
    { cat "$Z/clean.conf"; printf '[keys]\nsite.name = K\n%s = %s\n' "$key" "$canary3"; } >"$Z/key.conf"
    zs "install-key-$key" install "$Z/key.conf"
    zs_expect "install-key-$key" 1 "$Z/key.conf:9: error: listed to every user, yet it looks like a token line"
  done
  [ "$(site_state)" = "$start_state" ] || fail "a mistyped key reached the site file"
  while IFS='|' read -r tag make mend text; do
    eval "$make"
    echo "not-installed-value" | zs "$tag" set-token
    zs "$tag-check" check
    eval "$mend"
    zs_expect "$tag" 1 "$text"
    zs_expect "$tag" 1 "$SITE_FILE is unchanged: the deployment has the errors above"
    zs_expect "$tag-check" 1 "$text"
    [ "$(site_state)" = "$start_state" ] || fail "zel-site $tag changed the site file"
  done <<CASES
chgrp|chgrp $ZD_MEMBERS $TOOL|chgrp $svc $TOOL && chmod 2711 $TOOL|$TOOL: error: mode 0711, not 2711
chown|chown $user $TOOL|chown root:$svc $TOOL && chmod 2711 $TOOL|$TOOL: error: owned by $user with mode 0711
alias|groupadd -o -g $svc_gid ${svc}a && gpasswd -a $user ${svc}a >/dev/null|groupdel ${svc}a|group ${svc}a (group ID $svc_gid) has members ($user), who can read every token
gshadow|groupmod -p aBcDeFgHiJkLm $svc|groupmod -p '!' $svc|group $svc (group ID $svc_gid) has a password in /etc/gshadow, with which anyone can join it
gmembers|sed -i "/^$svc:/s/:[^:]*\$/:$user/" /etc/gshadow|sed -i "/^$svc:/s/:[^:]*\$/:/" /etc/gshadow|group $svc (group ID $svc_gid) has members ($user) in /etc/gshadow, who can read every token
gadmins|gpasswd -A $user $svc|gpasswd -A '' $svc|group $svc (group ID $svc_gid) has administrators ($user) in /etc/gshadow, who can join it
shadow|chgrp shadow $TOOL && chmod 2711 $TOOL|chgrp $svc $TOOL && chmod 2711 $TOOL|$TOOL: error: group shadow (group ID 42) is one of the groups 0-99 that the system's own programs hold
CASES
  # Nor is a group the system's own programs hold fit to be the service group.
  for g in shadow tty utmp; do
    zs "group-$g" check --group "$g"
    zs_expect "group-$g" 1 "group $g: error: group $g (group ID $(getent group "$g" | cut -d: -f3)) is one of the groups 0-99"
  done
  grep -qF "$TOOL: error: group $ZD_MEMBERS (group ID" "$R/chgrp.out" ||
    fail "set-token after chgrp did not name the group's members"
  # A user's link to a file only root reads, and a user's own file, are no candidates.
  mkdir -p "$T/home" && chown "$user:" "$T/home"
  ln -s /etc/shadow "$T/home/new-site.conf" && chown -h "$user:" "$T/home/new-site.conf"
  zs install-link install "$T/home/new-site.conf"
  zs_expect install-link 1 "$T/home/new-site.conf is, or lies under, a symbolic link: root can read files"
  cp "$Z/clean.conf" "$T/home/own.conf" && chown "$user:" "$T/home/own.conf"
  zs install-users install "$T/home/own.conf"
  zs_expect install-users 1 "is owned by user ID $(uid_of "$user"), not root"
  # root's own file, but in a directory of the user's, who could swap in another root file there.
  mkdir "$T/home/stage" && cp "$Z/clean.conf" "$T/home/stage/c.conf" && chmod 0600 "$T/home/stage/c.conf"
  zs install-users-dir install "$T/home/stage/c.conf"
  zs_expect install-users-dir 1 "$T/home/stage/c.conf: $T/home, a directory on its path, is owned by user ID $(uid_of "$user"), not root"
  # Standard input redirected from the user's link was opened by root's shell: only a pipe is taken.
  zs install-stdin-link install - <"$T/home/new-site.conf"
  zs_expect install-stdin-link 1 "standard input is a regular file, and only a pipe is taken: the shell that opened it as root may have followed a user's link"
  zs install-stdin-file install - <"$Z/clean.conf"
  zs_expect install-stdin-file 1 "standard input is a regular file, and only a pipe is taken"
  [ "$(site_state)" = "$start_state" ] || fail "a refused candidate changed the site file"
  # The same text again: unchanged, not rewritten; from standard input too.
  inode=$(stat -c %i "$SITE_FILE")
  zs install-same install "$Z/clean.conf"
  zs_expect install-same 0 "$Z/clean.conf is the same as $SITE_FILE: unchanged"
  cat "$Z/clean.conf" | zs install-stdin install -
  zs_expect install-stdin 0 "standard input is the same as $SITE_FILE: unchanged"
  [ "$(stat -c %i "$SITE_FILE")" = "$inode" ] || fail "an unchanged install rewrote the site file"
  # A mode that let others read is mended, and said, with the exposure.
  chmod 0644 "$SITE_FILE"
  echo "$canary2" | zs set-token-0644 set-token -s staging
  zs_expect set-token-0644 0 "$SITE_FILE: warning: mode 0644, not 0640: the new file is root:$svc 0640; others could have read every token in the site file: treat them as exposed"
  installed "set-token on a 0644 file"
  # An edit copy a killed edit left: check says so; edit offers to remove it.
  mkdir -m 0700 "$sd/.zel-site-edit.LEFT" && cp "$SITE_FILE" "$sd/.zel-site-edit.LEFT/zel-site.conf"
  zs check-left check
  zs_expect check-left 1 "$sd/.zel-site-edit.LEFT: error: a copy of the site file left by an edit or install that was killed"
  zs_expect check-left 1 "remove it (rm -r $sd/.zel-site-edit.LEFT) once no zel-site runs; others could have read every token"
  zs_editor=$Z/append
  echo n | zs edit-left-kept edit
  zs_expect edit-left-kept 1 "Remove it? [y]es, [n]o"
  [ -d "$sd/.zel-site-edit.LEFT" ] || fail "edit removed a copy it was told to keep"
  echo y | zs edit-left edit
  zs_expect edit-left 0 "removed $sd/.zel-site-edit.LEFT"
  installed "an edit that removed a left copy"
  # Another writer renames its file onto the live path while an edit is open:
  # the edit is refused, and the other writer's text is what remains.
  printf 'site.name = the other writer\ntoken.value = %s\n' "$canary" >"$Z/other.conf"
  editor other "cp '$Z/other.conf' '$sd/staged' && chgrp $svc '$sd/staged' && chmod 0640 '$sd/staged' &&
    mv '$sd/staged' '$SITE_FILE'; echo 'site.note = mine' >>\"\$1\""
  zs_editor=$Z/other
  zs edit-raced edit </dev/null
  zs_expect edit-raced 2 "$SITE_FILE was replaced or changed by another writer after zel-site read it: that change stays"
  cmp -s "$SITE_FILE" "$Z/other.conf" || fail "the raced edit did not leave the other writer's text"
  installed "a raced edit"
  # A link in the live file's place: what the finding says to do works.
  mv "$SITE_FILE" "$T/site-away" && ln -s "$T/site-away" "$SITE_FILE"
  zs check-linked check
  zs_expect check-linked 1 "$SITE_FILE: error: a symbolic link: the site file must be the file itself"
  zs_expect check-linked 1 "remove the link (rm $SITE_FILE), then write the file with zel-site install FILE or zel-site edit"
  rm "$SITE_FILE"
  zs install-unlinked install "$Z/clean.conf"
  zs_expect install-unlinked 0 "installed $Z/clean.conf as $SITE_FILE (root:$svc 0640)"
  installed "an install in place of a link"
  rm "$T/site-away"
  # No site file yet: check says how to write one, and set-token writes none.
  mv "$SITE_FILE" "$T/site-away"
  zs check-none check
  echo "not-installed-value" | zs set-token-none set-token
  if [ -e "$SITE_FILE" ]; then fail "set-token wrote a site file where there was none"; fi
  mv "$T/site-away" "$SITE_FILE"
  zs_expect check-none 1 "$SITE_FILE: error: there is no site file yet: write one with zel-site edit"
  zs_expect set-token-none 2 "$SITE_FILE: there is no site file yet: write one with zel-site edit"
  zs refuse-end install "$Z/clean.conf"
  zs_expect refuse-end 0
  section_ok "writing commands refuse a deployment check's errors, a static group, a user's candidate, its directory and a redirected standard input, say unchanged, mend a mode aloud, find and offer to remove a left copy, keep another writer's change, and install in place of a removed link"
}
