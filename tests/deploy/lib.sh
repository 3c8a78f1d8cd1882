# shellcheck shell=bash
# The helpers every part of the deployment test shares, sourced by run.sh
# inside the namespace: the tally (fail, ok, sections), running a command or
# the installed tool as a test user, comparing runs, masking the token values,
# bounded waiting, deploy.sh and zel-site runs, the request bodies and the
# listing each must get. A helper only one concern uses stays in that
# concern's file; one a second concern needs moves here.
#
# It uses what run.sh sets: SITE_FILE, TOOL, ZEL_SITE, T, R, source_dir, and
# (when make_inputs runs) user and other.
# shellcheck disable=SC2034,SC2153,SC2154  # variables shared with run.sh and the other parts

# --- The tally ------------------------------------------------------------------
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
# A section reports ok only if none of its checks failed.
section_failures=0
section() { section_failures=$failures; }
section_ok() { ((failures > section_failures)) || ok "$*"; section; }

# --- Users ------------------------------------------------------------------------
uid_of() { id -u "$1"; }
gid_of() { id -g "$1"; }
# Runs a command as an ordinary user: the user's own IDs, no supplementary groups.
as() {
  local user=$1
  shift
  setpriv --reuid="$(uid_of "$user")" --regid="$(gid_of "$user")" --clear-groups -- "$@"
}

# --- What a run wrote, the tokens masked ---------------------------------------------
# visible FILE: the file's bytes made visible, token values masked, so that
# even a failing run puts no token into the test log.
canary='' canary2='' canary3=''
visible() {
  sed -n l "$1" | sed -e "s/${canary:-no-token-yet}/<token>/g" -e "s/${canary2:-no-token-yet}/<token>/g" \
                      -e "s/${canary3:-no-token-yet}/<token>/g"
}
show() { visible "$1" | sed 's/^/    | /'; }

# --- Runs of zel-auth -------------------------------------------------------------
# run_tool TAG USER INPUT [ARGS...]: one run of $tool as USER with an empty
# environment plus $extra_env, recording TAG.out, TAG.err and TAG.rc.
tool=$TOOL
extra_env=()
run_tool() {
  local tag=$1 user=$2 input=$3
  shift 3
  timeout 20 setpriv --reuid="$(uid_of "$user")" --regid="$(gid_of "$user")" --clear-groups -- \
    env -i "${extra_env[@]}" "$tool" "$@" <"$input" >"$R/$tag.out" 2>"$R/$tag.err"
  echo $? >"$R/$tag.rc"
}

# expect_run TAG STATUS STDOUT-FILE STDERR-TEXT
expect_run() {
  local tag=$1 rc=$2 out=$3 err=$4 good=1
  [ "$(cat "$R/$tag.rc")" = "$rc" ] || { fail "$tag: status $(cat "$R/$tag.rc"), expected $rc"; good=0; }
  cmp -s "$R/$tag.out" "$out" || { fail "$tag: standard output differs"; show "$R/$tag.out"; good=0; }
  [ "$(cat "$R/$tag.err"; echo .)" = "$err." ] || { fail "$tag: standard error differs"; show "$R/$tag.err"; good=0; }
  [ $good -eq 0 ] || ok "$tag"
}

# same_run TAG REFERENCE: byte-identical output and status.
same_run() {
  local tag=$1 ref=$2 f good=1
  for f in out err rc; do
    if ! cmp -s "$R/$tag.$f" "$R/$ref.$f"; then
      fail "$tag: $f differs from $ref"
      diff <(visible "$R/$ref.$f") <(visible "$R/$tag.$f") | sed 's/^/    /'
      good=0
    fi
  done
  [ $good -eq 0 ] || ok "$tag same as $ref"
}

site_state() { stat -c '%U:%G %a %s' "$SITE_FILE"; sha256sum <"$SITE_FILE"; }

# wait_for TEST...: polls up to 20 seconds for a condition.
wait_for() {
  local i
  for ((i = 0; i < 400; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

# --- The inputs, and the listing each must get -----------------------------------------
body_for() { printf '<Body><Request action="deploy" actor="%s"><Target>web</Target></Request></Body>' "$1"; }
b64() { openssl base64 -A; }
digest_of() { openssl dgst -sha1 -binary <"$1" | b64; }
signature_of() { openssl dgst -sha1 -binary <"$1" | openssl dgst -sha1 -hmac "$2" -binary | b64; }
# listing FILE TOKEN PROPERTY-LINES...: the listing expected for a body file.
listing() {
  local body=$1 token=$2
  shift 2
  printf '%s\n' "$@" "digest.value = $(digest_of "$body")" "signature.value = $(signature_of "$body" "$token")"
}
default_props=("site.name = Deploy test site" "site.url = https://deploy.test.invalid/")
# make_inputs: the request bodies of the test users and autobuild, with a
# newline (body-WHO), without one (.nonl), with a second line (.two) and with a
# long one (.long); a body with no actor; an empty input. Anyone may read them.
make_inputs() {
  for who in "$user" autobuild "$other"; do
    body_for "$who" >"$T/body-$who.nonl"
    { body_for "$who"; echo; } >"$T/body-$who"
    { body_for "$who"; echo; echo "second line"; } >"$T/body-$who.two"
    { body_for "$who"; head -c 5000 /dev/zero | tr '\0' x; echo; } >"$T/body-$who.long"
  done
  echo "hello" >"$T/noactor"
  : >"$T/empty"
  chmod 0644 "$T"/body-* "$T/noactor" "$T/empty"
}

# --- The administrator's programs -----------------------------------------------------
# deploy ARGS...: tools/deploy.sh, its output in deploy.log.
deploy() { sh "$source_dir/tools/deploy.sh" "$@" >"$R/deploy.log" 2>&1; }

# Every zel-site run is as root, with an empty environment but for EDITOR; its
# output goes to $R, where the canary check looks.
zs_editor=false
zs() {  # zs TAG ARGS... <INPUT: one run of zel-site; TAG.out, TAG.err, TAG.rc
  local tag=$1
  shift
  timeout 30 env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin EDITOR="$zs_editor" "$ZEL_SITE" "$@" \
    >"$R/$tag.out" 2>"$R/$tag.err"
  echo $? >"$R/$tag.rc"
}
zs_expect() {  # zs_expect TAG STATUS [TEXT]: the status, and TEXT in its output
  local tag=$1 rc=$2 text=${3:-}
  if [ "$(cat "$R/$tag.rc")" != "$rc" ] || ! cat "$R/$tag.out" "$R/$tag.err" | grep -qF -- "$text"; then
    fail "zel-site $tag: status $(cat "$R/$tag.rc"), expected $rc${text:+ and '$text'}"
    show "$R/$tag.out"
    show "$R/$tag.err"
  fi
}
