#!/bin/bash
# The deployment test. It installs zel-auth as it is put into service (through
# tools/deploy.sh: root's and set-group-ID to a service group, site file
# root:GROUP 0640) and runs it as ordinary users, checking what such a user can
# and cannot get out of it; then the older set-user-ID form, which sites may
# keep, once more.
#
# It creates accounts and mounts, so it needs root; without root it reports
# itself skipped (status 77). Everything under /opt happens on a tmpfs in a
# private mount namespace, so the machine's own /opt is never touched; the
# throwaway accounts and groups are removed, and fs.suid_dumpable (set for one
# check) is restored, on every way out.
#
#   run.sh --source=DIR --binary=PATH --site-tool=PATH [--install-from=BUILD_DIR]
#          [--cc=CC] --hardening=full|basic|none
#
# --install-from names a build tree whose zel-auth and zel-site were built for
# the default paths; it is installed with cmake --install. Without it, --binary
# and --site-tool (zel-site, built for the default paths) are copied into place. --hardening tells which
# protections the binary must show: full for an optimized build, basic for an
# unoptimized one (no fortified calls), none for a sanitizer build, which is no
# deployable binary and skips the test.
#
# This file holds the options, what is done outside the namespace (the
# preconditions, the throwaway accounts, their removal), the namespace's own
# setup (a private tmpfs over /opt), the order of the parts, and the last check
# that no token value reached any output. Each concern has its own file beside
# it; a new case goes into the file its concern names:
#   lib.sh         the helpers the parts share (the tally, run_tool,
#                  expect_run, same_run, wait_for, deploy, zs, the inputs)
#   deployment.sh  deploy.sh's install, the binary's hardening, what a user can
#                  reach, signing and refusing, the waiting tool, a hostile
#                  environment, closed descriptors, a broken deployment, the
#                  end-to-end cases through the install, the set-user-ID form
#   refusals.sh    what deploy.sh refuses: unsafe groups, ACLs, site paths and
#                  layouts (the package's refusals are in tests/package)
#   race.sh        the privilege drop raced with pidfd_getfd
#   audit.sh       the lines zel-auth and zel-site send to /dev/log
#   exposure.sh    a site file others may read or write: zel-auth refuses it
#   audit_file.sh  zel-auth's records in the audit file: who can reach it, no
#                  signature without its record, a file the tool can't append to
#   site_audit.sh  the audit file as zel-site keeps it, and zel-site log
#   site_tool.sh   zel-site: install, check, show, edit, the lock, set-token,
#                  installs that fail
#   token_input.sh set-token's token input: files, short values, --generate
#   ansible.sh     the Ansible example (examples/ansible) run on the deployment
set -u

SITE_FILE=/opt/zel/etc/zel-site.conf
TOOL=/opt/zel/bin/zel-auth
ZEL_SITE=/opt/zel/sbin/zel-site
T=/opt/zel-test             # files the test users must reach
R=$T/results                # what the runs wrote; root's only
MARKER="zel-auth deploy test"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

source_dir='' binary='' site_tool='' install_from='' cc=cc hardening=full inner=0
for arg; do
  case $arg in
    --source=*) source_dir=${arg#*=} ;;
    --binary=*) binary=${arg#*=} ;;
    --site-tool=*) site_tool=${arg#*=} ;;
    --install-from=*) install_from=${arg#*=} ;;
    --cc=*) cc=${arg#*=} ;;
    --hardening=*) hardening=${arg#*=} ;;
    --inner) inner=1 ;;
    *) echo "run.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done

# ---------------------------------------------------------------------------
# Outside the namespace: preconditions and the accounts.
# ---------------------------------------------------------------------------
if [ "$inner" -eq 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the deployment test needs root (accounts, groups, mounts, set-ID programs)"
    exit 77
  fi
  if [ "$hardening" = none ]; then
    echo "SKIP: a sanitizer build is not a deployable binary"
    exit 77
  fi
  [ -n "$source_dir" ] && [ -n "$binary" ] || { echo "run.sh: --source and --binary are required" >&2; exit 2; }
  for tool in unshare setpriv useradd userdel groupdel getent openssl readelf mkfifo mount umount \
              findmnt timeout sha256sum stat setfacl "$cc"; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/install-deps.sh installs it)"; exit 1; }
  done
  if ! unshare --mount --propagation private true 2>/dev/null; then
    echo "SKIP: no private mount namespace can be made here"
    exit 77
  fi
  [ -d /opt ] || { echo "SKIP: there is no /opt to cover with a tmpfs"; exit 77; }

  created=()
  suid_dumpable=$(cat /proc/sys/fs/suid_dumpable)
  export ZD_SUID_DUMPABLE=$suid_dumpable
  cleanup() {
    local u
    # The inner run restores it too; this covers a run that was killed.
    [ "$(cat /proc/sys/fs/suid_dumpable)" = "$suid_dumpable" ] ||
      echo "$suid_dumpable" >/proc/sys/fs/suid_dumpable
    for u in "${created[@]}"; do
      getent passwd "$u" >/dev/null && userdel "$u" 2>/dev/null
      getent group "$u" >/dev/null && groupdel "$u" 2>/dev/null
      if getent passwd "$u" >/dev/null || getent group "$u" >/dev/null; then
        echo "WARNING: could not remove the test account $u"
      fi
    done
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM HUP

  # Accounts a killed earlier run left behind carry its process ID.
  while IFS=: read -r name _ _ _ gecos _; do
    pid=
    if [[ $name =~ ^zdt([0-9]+)(svc|u|m|e)$ ]]; then pid=${BASH_REMATCH[1]}; fi
    if [[ $gecos =~ ^"$MARKER "([0-9]+)$ ]]; then pid=${BASH_REMATCH[1]}; fi
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      userdel "$name" 2>/dev/null; groupdel "$name" 2>/dev/null
    fi
  done < <(getent passwd; getent group | awk -F: '{ print $1 ":::::" }')

  export ZD_SVC=zdt$$svc ZD_USER=zdt$$u ZD_OTHER=zdt$$x ZD_MEMBERS=zdt$$m ZD_OLD=zdt$$o ZD_ALIAS=zdt$$e
  getent group "$ZD_SVC" >/dev/null && { echo "FAIL: group $ZD_SVC exists already"; exit 1; }
  created+=("$ZD_SVC")  # made by tools/deploy.sh inside
  add_user() {  # add_user NAME [OPTION...]
    useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --user-group \
            --comment "$MARKER $$" "${@:2}" "$1" || { echo "FAIL: useradd $1"; exit 1; }
    created+=("$1")
  }
  add_user "$ZD_USER"
  # The old set-user-ID form's service account, a system one, and a group that has a member.
  add_user "$ZD_OLD" --system
  groupadd "$ZD_MEMBERS" && created+=("$ZD_MEMBERS") && usermod -a -G "$ZD_MEMBERS" "$ZD_OLD" ||
    { echo "FAIL: groupadd $ZD_MEMBERS"; exit 1; }
  # A member-less name for that same group ID.
  groupadd -o -g "$(getent group "$ZD_MEMBERS" | cut -d: -f3)" "$ZD_ALIAS" && created+=("$ZD_ALIAS") ||
    { echo "FAIL: groupadd $ZD_ALIAS"; exit 1; }
  # The trusted account, and the user the end-to-end cases sign as, are used as
  # found if the machine has its own.
  getent passwd autobuild >/dev/null || add_user autobuild
  getent passwd alice >/dev/null || add_user alice
  # A name that only starts with the trusted account's, which must sign for no one else.
  getent passwd autobuilder >/dev/null || add_user autobuilder

  unshare --mount --propagation private -- "$BASH" "$0" "$@" --inner
  exit $?
fi

# ---------------------------------------------------------------------------
# Inside the namespace.
# ---------------------------------------------------------------------------
# shellcheck source=tests/deploy/lib.sh
. "$here/lib.sh" || { echo "FAIL: cannot read $here/lib.sh"; exit 1; }
# shellcheck source=tests/deploy/deployment.sh
. "$here/deployment.sh" || { echo "FAIL: cannot read $here/deployment.sh"; exit 1; }
# shellcheck source=tests/deploy/refusals.sh
. "$here/refusals.sh" || { echo "FAIL: cannot read $here/refusals.sh"; exit 1; }
# shellcheck source=tests/deploy/race.sh
. "$here/race.sh" || { echo "FAIL: cannot read $here/race.sh"; exit 1; }
# shellcheck source=tests/deploy/audit.sh
. "$here/audit.sh" || { echo "FAIL: cannot read $here/audit.sh"; exit 1; }
# shellcheck source=tests/deploy/exposure.sh
. "$here/exposure.sh" || { echo "FAIL: cannot read $here/exposure.sh"; exit 1; }
# shellcheck source=tests/deploy/audit_file.sh
. "$here/audit_file.sh" || { echo "FAIL: cannot read $here/audit_file.sh"; exit 1; }
# shellcheck source=tests/deploy/site_audit.sh
. "$here/site_audit.sh" || { echo "FAIL: cannot read $here/site_audit.sh"; exit 1; }
# shellcheck source=tests/deploy/site_tool.sh
. "$here/site_tool.sh" || { echo "FAIL: cannot read $here/site_tool.sh"; exit 1; }
# shellcheck source=tests/deploy/token_input.sh
. "$here/token_input.sh" || { echo "FAIL: cannot read $here/token_input.sh"; exit 1; }
# shellcheck source=tests/deploy/ansible.sh
. "$here/ansible.sh" || { echo "FAIL: cannot read $here/ansible.sh"; exit 1; }

started=()
inner_cleanup() {
  local p
  [ -s "$T/probe/own" ] && started+=("$(cat "$T/probe/own")")
  for p in "${started[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ -z "${ZD_SUID_DUMPABLE:-}" ] || echo "$ZD_SUID_DUMPABLE" >/proc/sys/fs/suid_dumpable
  cd / && umount -l /opt /var/log /var/lib 2>/dev/null
}
trap inner_cleanup EXIT
trap 'exit 130' INT TERM HUP

mount --make-rprivate / || { echo "FAIL: mount --make-rprivate /"; exit 1; }
mount -t tmpfs -o mode=0755,size=64m zel-deploy-test /opt || { echo "FAIL: tmpfs over /opt"; exit 1; }
[ "$(findmnt -n -o PROPAGATION /opt)" = private ] || { echo "FAIL: /opt is not private"; exit 1; }
# The audit file and zel-site's record live under /var: a tmpfs of this namespace's own over each.
for d in /var/log /var/lib; do
  mount -t tmpfs -o mode=0755,size=16m zel-deploy-var "$d" || { echo "FAIL: tmpfs over $d"; exit 1; }
done
mkdir -p "$T" "$R" && chmod 0755 "$T" && chmod 0700 "$R"

user=$ZD_USER other=$ZD_OTHER svc=$ZD_SVC old=$ZD_OLD

# The parts, in the order they must run: each works on the deployment the one
# before it left.
deployment_install                 # deployment.sh
refusals_deploy_sh                 # refusals.sh
site_before=$(site_state)          # the deployed site file, as zel-auth's runs must leave it
deployment_hardening               # deployment.sh
make_inputs                        # lib.sh
deployment_user_reach              # deployment.sh
deployment_signing
deployment_waiting_tool
deployment_hostile_environment
deployment_key_descriptor
deployment_nettle_environment
deployment_closed_descriptors
deployment_gone_wrong
deployment_exposed_site_file       # exposure.sh
race_privilege_drop                # race.sh
audit_trail                        # audit.sh
audit_record_cases                 # audit_file.sh
site_tool_commands                 # site_tool.sh: from here on the site file changes
site_tool_edit
site_tool_lock
site_tool_set_token
site_tool_token_input              # token_input.sh
site_tool_failed_installs
site_tool_refusals
audit_site_changes                 # audit.sh: zel-site's lines, on the file site_tool_refusals left
site_audit_cases                   # site_audit.sh: the audit file, on the file audit_site_changes left
ansible_convergence                # ansible.sh
deployment_e2e_set_group_id        # deployment.sh: these rewrite it freely
deployment_set_user_id_form

# --- The token never shows, in what any part wrote ------------------------------
section
leaks=$(grep -rlF -e "$canary" -e "$canary2" -e "$canary3" "$R" "$P" 2>/dev/null)
[ -z "$leaks" ] || fail "a token value was written to: $leaks"
runs=$(ls "$R"/*.rc | wc -l)
section_ok "no token value in the output of $runs runs"

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all deployment checks passed"
exit 0
