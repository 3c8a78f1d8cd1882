# shellcheck shell=bash
# The Ansible example (examples/ansible) as shipped, run by Debian's
# ansible-core against this host (connection: local) on the deployment: the
# first run changes the site file, the second changes nothing; a failed
# install is made good by the run after its fix; a hand edit is undone by the
# next run; a --check --diff run and -vvv runs show no token byte; set-token
# from a pipe rotates a token, or says why it can't, and the site file's run
# then agrees with it.
# Sourced by run.sh, after zel-site's parts.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

# Root's alone: the inventory, the vault's stand-in, the staged file, and
# ansible's home and temporary files, so that nothing is left outside /opt.
AN=$T/ansible

# an TAG PLAYBOOK [ARGS...]: one ansible-playbook run of an example playbook;
# its output (both streams) in TAG.out, its status in TAG.rc.
an() {
  local tag=$1 playbook=$2
  shift 2
  timeout 120 env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$AN/home" LC_ALL=C.UTF-8 \
    ANSIBLE_CONFIG="$AN/ansible.cfg" ANSIBLE_LOCAL_TEMP="$AN/tmp" ANSIBLE_REMOTE_TEMP="$AN/tmp" \
    ANSIBLE_NOCOLOR=1 PYTHONDONTWRITEBYTECODE=1 \
    ansible-playbook -i "$AN/inventory" -e "@$AN/vars.yml" "$@" "$source_dir/examples/ansible/$playbook" \
    >"$R/$tag.out" 2>&1
  echo $? >"$R/$tag.rc"
}
# an_expect TAG STATUS CHANGED: the run's status and its recap's count of changes.
an_expect() {
  local tag=$1 rc=$2 changed=$3 got
  got=$(sed -n 's/^localhost *: .* changed=\([0-9]*\) .*/\1/p' "$R/$tag.out")
  if [ "$(cat "$R/$tag.rc")" != "$rc" ] || [ "$got" != "$changed" ]; then
    fail "ansible $tag: status $(cat "$R/$tag.rc") and changed=$got, expected $rc and changed=$changed"
    show "$R/$tag.out"
  fi
}
# an_vars DEFAULT-TOKEN STAGING-TOKEN STAGING-NAME: the vault's stand-in, and
# the site file the example must render from it ($AN/want.conf).
an_vars() {
  printf '%s\n' "zel_site_staged: $AN/stage/zel-site.conf.staged" "zel_site_tokens:" "  \"\": \"$1\"" \
    "  staging: \"$2\"" "zel_site_stanzas:" "  - name: \"\"" "    lines:" \
    "      - site.name = Deploy test site" "      - site.url = https://deploy.test.invalid/" \
    "      - site.note = kept by Ansible" "  - name: staging" "    lines:" "      - site.name = $3" >"$AN/vars.yml"
  printf '%s\n' "site.name = Deploy test site" "site.url = https://deploy.test.invalid/" \
    "site.note = kept by Ansible" "token.value = $1" "[staging]" "site.name = $3" "token.value = $2" >"$AN/want.conf"
}
# in_force WHAT: the live file is the one the example renders, root:GROUP 0640.
in_force() {
  cmp -s "$SITE_FILE" "$AN/want.conf" || fail "after $1 the site file is not the one the example renders"
  installed "$1"
}

ansible_convergence() {
  section
  if ! command -v ansible-playbook >/dev/null; then
    fail "ansible-playbook is missing: the Ansible example is not tested (tools/install-deps.sh installs Debian's ansible-core)"
    return
  fi
  mkdir -p "$AN/home" "$AN/tmp" "$AN/stage" && chmod 0700 "$AN" && : >"$AN/ansible.cfg"
  printf '[zel_auth]\nlocalhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3 %s\n' \
    "ansible_become=false" >"$AN/inventory"
  an_vars "$canary" "$canary2" "Deploy test staging site"

  # The first run changes the site file; the second, -vvv, changes nothing.
  an an-first zel-site.yml
  an_expect an-first 0 2
  in_force "the first run"
  [ "$(stat -c '%U:%G %a' "$AN/stage/zel-site.conf.staged")" = "root:root 600" ] ||
    fail "the staged site file is $(stat -c '%U:%G %a' "$AN/stage/zel-site.conf.staged"), expected root:root 600"
  inode=$(stat -c %i "$SITE_FILE")
  an an-second zel-site.yml -vvv
  an_expect an-second 0 0
  grep -qF "is the same as $SITE_FILE: unchanged" "$R/an-second.out" || fail "the second run's install did not say unchanged"
  [ "$(stat -c %i "$SITE_FILE")" = "$inode" ] || fail "a run with nothing to do rewrote the site file"

  # A hand edit of the live file is undone by the next run.
  echo "site.note = by hand" >>"$SITE_FILE"
  an an-hand zel-site.yml
  an_expect an-hand 0 1
  in_force "the run after a hand edit"

  # An install that fails (zel-auth's mode wrong) leaves the old file in force;
  # the run after the fix puts the new one in force, though its staged copy
  # is the same as the failed run's.
  an_vars "$canary" "$canary2" "Deploy test staging site, renamed"
  chmod 0755 "$TOOL"
  an an-refused zel-site.yml
  chmod 2711 "$TOOL"
  an_expect an-refused 2 1
  grep -qF "$TOOL: error: mode 0755, not 2711" "$R/an-refused.out" || fail "the failed run did not show install's reason"
  cmp -s "$SITE_FILE" "$AN/want.conf" && fail "a refused install put the new file in force"
  an an-mended zel-site.yml
  an_expect an-mended 0 1
  in_force "the run after a failed install was mended"

  # --check --diff, with a new token for the default stanza: neither token shows.
  cp "$AN/want.conf" "$AN/mended.conf"
  an_vars "$canary3" "$canary2" "Deploy test staging site, renamed"
  an an-check zel-site.yml --check --diff
  an_expect an-check 0 1
  cmp -s "$SITE_FILE" "$AN/mended.conf" || fail "a --check run changed the site file"

  # set-token from a pipe: zel-auth signs with the new token at once; then the
  # site file's run, with the same token in the vault, finds nothing to install.
  an_vars "$canary" "$canary3" "Deploy test staging site, renamed"
  an an-rotate zel-token.yml -vvv -e zel_site_stanza=staging
  an_expect an-rotate 0 1
  run_tool an-rotated "$user" "$T/body-$user" -s staging
  listing "$T/body-$user" "$canary3" "site.name = Deploy test staging site, renamed" >"$R/an-rotated.want"
  expect_run an-rotated 0 "$R/an-rotated.want" ""
  # A refused set-token: the run fails, and says why in set-token's own words.
  chmod 0755 "$TOOL"
  an an-rotate-refused zel-token.yml -e zel_site_stanza=staging
  chmod 2711 "$TOOL"
  an_expect an-rotate-refused 2 0
  grep -qF "$TOOL: error: mode 0755, not 2711" "$R/an-rotate-refused.out" ||
    { fail "a refused rotation did not show set-token's reason"; show "$R/an-rotate-refused.out"; }
  inode=$(stat -c %i "$SITE_FILE")
  an an-after-rotate zel-site.yml
  an_expect an-after-rotate 0 1
  grep -A1 '^TASK \[Site file, put in force' "$R/an-after-rotate.out" | grep -q '^ok: \[localhost\]' ||
    fail "after set-token the site file's run installed again: the two disagree"
  [ "$(stat -c %i "$SITE_FILE")" = "$inode" ] || fail "after set-token the site file's run rewrote the site file"
  in_force "set-token through the example"

  leaks=$(grep -lF -e "$canary" -e "$canary2" -e "$canary3" "$R"/an-*.out)
  [ -z "$leaks" ] || fail "a token value reached Ansible's output: $leaks"
  zs an-restore install "$Z/clean.conf"
  zs_expect an-restore 0
  section_ok "the Ansible example converges: changes, then changed=0; undoes a hand edit; installs after a failed install's fix; rotates a token through a pipe; no token in --check --diff or -vvv"
}
