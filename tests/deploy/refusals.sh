# shellcheck shell=bash
# The refusals of tools/deploy.sh, which need no package: run again on a good
# deployment it changes nothing; it refuses an unsafe group (group ID 0,
# nogroup, an account's primary group, a group with members or sharing the ID
# of one), an access control list on the site file or a default one on its
# directory, the set-user-ID form, a site file the binary was not built for,
# and unsafe layouts (symbolic links, directories others may write or a user
# owns), each without touching anything. The package's own refusals are in
# tests/package/run.sh; what zel-auth refuses at run time is in deployment.sh,
# and what zel-site refuses in site_tool.sh. Sourced by run.sh.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

# state: the deployment, as no refused or repeated deploy.sh may change it.
state() { stat -c '%U:%G %a %i' "$TOOL"; site_state; getent group "$svc"; }
# refused WHAT MESSAGE-TEXT DEPLOY-ARGS...: deploy.sh fails, saying why.
refused() {
  local what=$1 text=$2
  shift 2
  if deploy "$@"; then
    fail "deploy.sh accepted $what"
  elif ! grep -qF -- "$text" "$R/deploy.log"; then
    fail "deploy.sh refused $what without saying '$text':"; sed 's/^/    /' "$R/deploy.log"
  fi
}
# layout DIR: a prefix holding a copy of the binary in DIR/bin and of zel-site in DIR/sbin.
layout() {
  mkdir -p "$1/bin" "$1/sbin" && install -m 0755 "$TOOL" "$1/bin/zel-auth" && install -m 0755 "$ZEL_SITE" "$1/sbin/zel-site"
}

# Run again, the script changes nothing; an unsafe group, a site file the
# binary was not built for, or an unsafe path is refused without touching anything.
refusals_deploy_sh() {
  before=$(state)
  if [ -n "$install_from" ]; then
    deploy --build "$install_from" --prefix /opt/zel --group "$svc" || { cat "$R/deploy.log"; fail "deploy.sh --build a second time"; }
  else
    deploy --prefix /opt/zel --group "$svc" || { cat "$R/deploy.log"; fail "deploy.sh a second time"; }
  fi
  [ "$(state)" = "$before" ] || fail "deploy.sh run again changed the deployment"
  refused "group ID 0" "group ID 0" --prefix /opt/zel --group root
  refused "nogroup" "shared with other programs" --prefix /opt/zel --group nogroup
  refused "an account's primary group" "primary group of $user" --prefix /opt/zel --group "$user"
  refused "a group with members" "has members ($old)" --prefix /opt/zel --group "$ZD_MEMBERS"
  refused "a group whose ID another group with members has" "group $ZD_MEMBERS (group ID" \
    --prefix /opt/zel --group "$ZD_ALIAS"
  if command -v setfacl >/dev/null; then
    setfacl -m "u:$user:r" "$SITE_FILE" &&
      refused "a site file with an access control list" "setfacl -b $SITE_FILE" --prefix /opt/zel --group "$svc"
    setfacl -b "$SITE_FILE" && setfacl -d -m "u:$user:r" "$(dirname "$SITE_FILE")" &&
      refused "a default access control list on the site file's directory" "has an access control list" \
        --prefix /opt/zel --group "$svc"
    setfacl -b -k "$(dirname "$SITE_FILE")"
  else
    fail "setfacl is missing (tools/install-deps.sh installs acl)"
  fi
  refused "the set-user-ID form" "--group" --prefix /opt/zel --user "$svc"
  refused "a site file the binary was not built for" "was not built for" --prefix /opt/zel --group "$svc" \
    --site-file /opt/zel/etc/other.conf
  refused "a site path the binary's path begins with" "was not built for" --prefix /opt/zel --group "$svc" \
    --site-file /opt/zel/etc/zel-site.con
  # Unsafe layouts, each a copy of the binary that must not become set-group-ID.
  layout /opt/zl/real && ln -s real/bin /opt/zl/bin && mkdir /opt/zl/sbin && install -m 0755 "$ZEL_SITE" /opt/zl/sbin/zel-site
  refused "a symbolic link for bin/" "/opt/zl/bin: error: a symbolic link" --prefix /opt/zl --group "$svc"
  ln -s zel /opt/zlp
  refused "a symbolic link for the prefix" "/opt/zlp is a symbolic link" --prefix /opt/zlp --group "$svc"
  layout /opt/zw && chmod 1777 /opt/zw
  refused "a prefix others may write" "/opt/zw is writable by others" --prefix /opt/zw --group "$svc"
  layout /opt/zu && chown "$user:" /opt/zu/bin
  refused "a bin/ a user owns" "/opt/zu/bin: error: owned by $user, not root" --prefix /opt/zu --group "$svc"
  mkdir -p /opt/zs && ln -s /opt/zel/etc /opt/zs/etc
  refused "a symbolic link for the site file's directory" "/opt/zs/etc: error: a symbolic link" \
    --prefix /opt/zel --group "$svc" --site-file /opt/zs/etc/zel-site.conf
  mkdir -p /opt/zf/etc && ln -s /opt/zel/etc/zel-site.conf /opt/zf/etc/zel-site.conf
  refused "a symbolic link for the site file" "/opt/zf/etc/zel-site.conf: error: a symbolic link" \
    --prefix /opt/zel --group "$svc" --site-file /opt/zf/etc/zel-site.conf
  # zel-site itself lies in a directory others may write: it is not run at all.
  layout /opt/zx && chmod 0777 /opt/zx/sbin
  refused "a zel-site others could have replaced" "/opt/zx/sbin is writable by others than root (mode 777)" \
    --prefix /opt/zx --group "$svc"
  for copy in /opt/zl/real/bin /opt/zw/bin /opt/zu/bin /opt/zx/bin; do
    [ "$(stat -c '%U:%G %a' "$copy/zel-auth")" = "root:root 755" ] ||
      fail "a refused deploy.sh changed $copy/zel-auth: $(stat -c '%U:%G %a' "$copy/zel-auth")"
  done
  rm -rf /opt/zl /opt/zlp /opt/zw /opt/zu /opt/zs /opt/zf /opt/zx
  [ "$(state)" = "$before" ] || fail "a refused deploy.sh changed the deployment"
  section_ok "deploy.sh is idempotent and refuses what it must"
}
