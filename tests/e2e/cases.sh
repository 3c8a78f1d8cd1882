# Cases of the end-to-end tests; sourced by run.sh, which defines site,
# make_site, input, request, digest, knowns, as, tool_uid, tool, caller, verdict and expect.

SITE_TEXT='a=1\n  token.value = alpha \nb = two words\n[web]\nc=3\ntoken.value=web-key\n[bare]\ntoken.value = bare-key\n[open]\nd=4\n'
BODY='<Body><Request action="sign" actor="alice">\n'

# --- The command line -------------------------------------------------------
site "$SITE_TEXT"; input ''; as alice
expect "listing of the default stanza" 0 'a=1\nb = two words\n' ''
expect "listing of a named stanza" 0 'c=3\n' '' -s web
expect "the last -s counts" 0 'c=3\n' '' -s open -s web
expect "options after -- are operands" 1 '' "$USAGE" -- -s web
expect "an operand" 1 '' "$USAGE" web
expect "-s without its argument" 1 '' "zel-auth: option requires an argument -- 's'\\n$USAGE" -s
expect "unknown options among valid ones, usage once" 1 '' \
  "zel-auth: invalid option -- 'x'\\nzel-auth: invalid option -- 'y'\\n$USAGE" -x -s web -y
expect "options after an operand are still parsed" 1 '' \
  "zel-auth: invalid option -- 'q'\\n$USAGE" web -q -k key

# --- The site file -----------------------------------------------------------
site 'a=1\n[abc]\nx=1\n[a] [b]\ny=2\n[hdr] z=1\n'
expect "no default stanza when a header comes first" 0 'a=1\n' ''
expect "a name is matched whole" 7 '' "Site stanza for specified site (ab) not found in site file ($SITE).\\n" -s ab
expect "a header followed by a bracket is an empty stanza" 7 '' \
  "Empty site stanza for specified site (a) in site file ($SITE)\\n" -s a
expect "text after the header starts the stanza" 0 'z=1\n' '' -s hdr
expect "a header is found inside another line" 0 'y=2\n' '' -s b
site 'a=1\ntoken.value = q7#[k]Zr9!mW2pLx8vTq\n[s]\nb=2\ntoken.value = 4]hV8n\n'
expect "a header inside a token line is no header" 7 '' \
  "Site stanza for specified site (k) not found in site file ($SITE).\\n" -s k
expect "a site name holding a newline is never found" 7 '' \
  "Site stanza for specified site (s]\nb=2\ntoken.value = 4) not found in site file ($SITE).\\n" \
  -s "$(printf 's]\nb=2\ntoken.value = 4')"
site 'a=1\n[ci] token.value = ci-se]cret[x]tail\n  [e] token.value = SECRETe\nz=1\n[[]token.value]tail\n[k] token.value = ]Qm7-SECRET\n'
expect "a header ending inside a token is no header" 7 '' \
  "Site stanza for specified site (ci] token.value = ci-se) not found in site file ($SITE).\\n" \
  -s 'ci] token.value = ci-se'
expect "a header ending in the spaces before a token is no header" 7 '' \
  "Site stanza for specified site (k] token.value = ) not found in site file ($SITE).\\n" \
  -s 'k] token.value = '
expect "a header whose key is token text is no header" 7 '' \
  "Site stanza for specified site (]token.value) not found in site file ($SITE).\\n" -s ']token.value'
expect "another header's token line in a stanza is not listed" 0 'z=1\n' '' -s ci
site '[web]\nc=3\n'
expect "no default stanza" 7 '' "Default site stanza not found in site file ($SITE).\\n"
site '  \n\n'
expect "only blanks, named site" 7 '' "Site stanza for specified site (web) not found in site file ($SITE).\\n" -s web
site 'a=1\r\n\r\n[web]\r\nc=3\r\n'
expect "CRLF lines keep their carriage returns" 0 'a=1\r\n\r\n' ''
site 'a=1\ntoken.value =  \n'
expect "an empty token value" 8 '' 'Token value cannot be empty.\n'
site 'a=1\ntoken.value\ntoken.value = t\n'
expect "an empty token line before a valued one" 0 'a=1\n' 'Token value cannot be empty.\n'
site 'token.value = t\n'
expect "a stanza of token lines only, empty body" 0 '' ''
site ''
expect "an empty site file" 6 '' ''
rm -f "$SITE"
expect "a missing site file" 6 '' "Unable to open site file ($SITE) for reading: No such file or directory.\\n"
make_site mkdir
expect "a directory as site file" 6 '' "Unable to open site file ($SITE) for reading: Is a directory.\\n"
rmdir "$SITE"; make_site mkfifo
expect "a FIFO as site file, without waiting for a writer" 6 '' \
  "Unable to open site file ($SITE) for reading: Not a regular file.\\n"
rm -f "$SITE"

# --- The actor check -----------------------------------------------------------
site "$SITE_TEXT"
request alice; as alice
expect "a user signs for itself" 0 "a=1\\nb = two words\\n$(knowns "$BODY" 'alpha ')" ''
request bob
expect "a user may not sign for another" 4 '' 'alice is not authorized to create a checksum for bob.\n'
request bob; as autobuild
expect "autobuild signs for anyone" 0 "c=3\\n$(knowns '<Body><Request action="sign" actor="bob">\n' web-key)" '' -s web
LONG_NAME=$(printf '%255s' '' | tr ' ' l)
if [ -z "$SETID" ] || getent passwd "$LONG_NAME" >/dev/null; then
  as "$LONG_NAME"; request "${LONG_NAME}l"
  expect "an actor cut at 255 characters is no one's, not the name it starts with" 4 '' \
    "$LONG_NAME is not authorized to create a checksum for $LONG_NAME.\\n"
  request "$LONG_NAME"
  expect "an actor of 255 characters is the user of that name" 0 \
    "a=1\\nb = two words\\n$(knowns "<Body><Request action=\"sign\" actor=\"$LONG_NAME\">\\n" 'alpha ')" ''
fi
request ''; as alice
expect "an empty actor is no one's" 4 '' 'alice is not authorized to create a checksum for .\n'
request bob
expect "-k waives the comparison" 0 "c=3\\n$(knowns '<Body><Request action="sign" actor="bob">\n' mine)" '' -s web -k mine
input '\n'
expect "a first line that is only a newline" 5 '' 'Unable to locate actor in message body.\n'
input '\0<Body><Request action="sign" actor="alice">\n'
expect "a first byte NUL" 5 '' 'Unable to locate actor in message body.\n'
input ' <Body><Request action="sign" actor="alice">\n'
expect "a space before <Body>, even with -k" 5 '' 'Unable to locate actor in message body.\n' -k x
input "<Body><Request action=\"go\">$(printf 'A%.0s' $(seq 251))actor=\"alice\"</Request><Request action=\"go\" actor=\"bob\"/></Body>\\n"
expect "an actor inside an action value that never closed" 5 '' 'Unable to locate actor in message body.\n'
input '<Body><Request action="sign" id="1" actor="alice">\n'
expect "an attribute between action and actor" 5 '' 'Unable to locate actor in message body.\n'
input '<Body><Request action="sign" actor="alice smith">\n'
expect "an actor with white space is its first word" 0 \
  "a=1\\nb = two words\\n$(knowns '<Body><Request action="sign" actor="alice smith">\n' 'alpha ')" ''
input ''; as ''
expect "a user with no password entry" 2 '' "Unable to determine invoking user name for uid $(tool_uid).\\n"
as alice; request bob; rm -f "$SITE"
expect "a refused user never reaches the site file" 4 '' 'alice is not authorized to create a checksum for bob.\n'
site "$SITE_TEXT"

# --- The digest and the signature -------------------------------------------------
request alice
expect "the same body under another key" 0 "c=3\\n$(knowns "$BODY" web-key)" '' -s web
expect "a stanza with only a token" 0 "$(knowns "$BODY" bare-key)" '' -s bare
expect "no token value: digest line only" 0 "d=4\\n$(digest "$BODY")" '' -s open
expect "an empty -k is a zero-length key" 0 "d=4\\n$(knowns "$BODY" '')" '' -s open -k ''
input '<Body><Request action="sign" actor="alice">'
expect "a body without its newline" 0 "d=4\\n$(knowns '<Body><Request action="sign" actor="alice">' k)" '' -s open -k k
long="<Body><Request action=\"sign\" actor=\"alice\">$(printf 'x%.0s' $(seq 5000))"
input "$long\\nsecond line\\n"
expect "a body cut at 4095 bytes" 0 "d=4\\n$(knowns "${long:0:4095}" k)" '' -s open -k k
input '<Body><Request action="sign" actor="alice">ab\0cd\nmore\n'
expect "a NUL byte ends the body" 0 "d=4\\n$(knowns '<Body><Request action="sign" actor="alice">ab' k)" '' -s open -k k

# --- What a calling program relies on (zel-auth(1), CALLING zel-auth) ----------------
site 'k\xff\xfe=\tv a l\r\nno equals sign\n   indented = x\n\n  \n\x01end\r\n'; request alice
expect "property lines are bytes, listed as they stand" 0 \
  "k\xff\xfe=\tv a l\r\nno equals sign\nindented = x\n\x01end\r\n$(knowns "$BODY" k)" '' -k k
fake='AAAAAAAAAAAAAAAAAAAAAAAAAAA='
site "a=1\nsignature.value = $fake\n[signed]\ndigest.value = $fake\nsignature.value = $fake\ntoken.value = t\n"
expect "lines posing as computed ones come before the tool's own" 0 \
  "a=1\nsignature.value = $fake\n$(digest "$BODY")" ''
expect "the tool's own lines come last, after posing ones" 0 \
  "digest.value = $fake\nsignature.value = $fake\n$(knowns "$BODY" t)" '' -s signed
site "$SITE_TEXT"
input "$BODY"'second line\n'
expect "only the first line is read" 0 "c=3\n$(knowns "$BODY" web-key)" '' -s web
whole="<Body><Request action=\"sign\" actor=\"alice\">$(printf 'x%.0s' $(seq 4100))"
whole=${whole:0:4094}
input "$whole\\n"
expect "a line of 4,094 bytes is digested whole with its newline" 0 "c=3\n$(knowns "$whole\\n" web-key)" '' -s web
input "${whole}y\\n"
expect "a line of 4,095 bytes is digested without its newline" 0 "c=3\n$(knowns "${whole}y" web-key)" '' -s web

# --- The example caller, examples/sign_request.py --------------------------------------
# calls NAME STATUS STDOUT STDERR [ARGS...]: the example caller on the current
# input, given the tool's path after ARGS.
calls() {
  local name=$1 want_status=$2 want_out=$3 want_err=$4
  shift 4
  caller "$@" "$BIN" <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "example caller: $name" "$*" $? "$want_status" "$want_out" "$want_err"
}
# sums BODY KEY: the digest and signature as the example caller prints them.
sums() { knowns "$1" "$2" | sed 's/digest\.value = /digest /; s/signature\.value = /signature /'; }
EX=sign_request.py
site "$SITE_TEXT"; request alice; as alice
calls "a signature" 0 "a=1\nb = two words\n$(sums "$BODY" 'alpha ')" ''
calls "a signature for a named site" 0 "c=3\n$(sums "$BODY" web-key)" '' -s web
calls "no token, no signature" 69 '' \
  "$EX: the site has no token: the listing has no signature (report to the administrator)\n" -s open
request bob
calls "a refusal" 65 '' "$EX: status 4, the calling user may not sign for the body's actor: \
alice is not authorized to create a checksum for bob. (fix the request)\n"
input '<Body><Request actor="alice">\n'
calls "no actor" 65 '' "$EX: status 5, the body names no actor: Unable to locate actor in message body. (fix the request)\n"
request alice
calls "no such site" 65 '' "$EX: status 7, no such site stanza: \
Site stanza for specified site (nowhere) not found in site file ($SITE). (fix the request)\n" -s nowhere
site '[web]\nc=3\n'
calls "no default stanza" 69 '' "$EX: status 7, no such site stanza: \
Default site stanza not found in site file ($SITE). (report to the administrator)\n"
site "$SITE_TEXT"
input "$BODY"'second line\n'
calls "a body of two lines is refused before the call" 65 '' "$EX: the body is more than one line (fix the request)\n"
input "${whole}yz"
calls "a body over the limit is refused before the call" 65 '' "$EX: the body is 4096 bytes, more than 4095 (fix the request)\n"
input "$whole\\n"
calls "a body at the limit" 0 "c=3\n$(sums "$whole\\n" web-key)" '' -s web
input '<Body><Request action="sign" actor="alice">\0\n'
calls "a body with a NUL byte is refused before the call" 65 '' "$EX: the body holds a NUL byte (fix the request)\n"
input ''
calls "an empty body is refused before the call" 65 '' "$EX: the body is empty (fix the request)\n"
site "a=1\nsignature.value = $fake\n[signed]\ndigest.value = $fake\nsignature.value = $fake\ntoken.value = t\n"
request alice
calls "a posing signature line is no signature" 69 '' \
  "$EX: the site has no token: the listing has no signature (report to the administrator)\n"
calls "posing lines are property lines" 0 \
  "digest.value = $fake\nsignature.value = $fake\n$(sums "$BODY" t)" '' -s signed
site 'a=1\ntoken.value\ntoken.value = t\n'
calls "a message on standard error with status 0" 0 "a=1\n$(sums "$BODY" t)" ''
site 'a=1\ntoken.value\n'
calls "an empty token value" 69 '' "$EX: status 8, the stanza's token value is empty: Token value cannot be empty. \
(report to the administrator)\n"
rm -f "$SITE"
calls "no site file" 69 '' "$EX: status 6, the site file can't be read: \
Unable to open site file ($SITE) for reading: No such file or directory. (report to the administrator)\n"
site "$SITE_TEXT"; as ''
calls "no password entry" 69 '' "$EX: status 2, the calling user has no password entry: \
Unable to determine invoking user name for uid $(tool_uid). (report to the administrator)\n"
as alice; request bob
calls "the caller's own key, from a descriptor" 0 "c=3\n$(sums '<Body><Request action="sign" actor="bob">\n' mine)" '' \
  -s web -K 3 3<<<mine
calls "a key over the limit is refused before the call" 65 '' \
  "$EX: the key is more than one line of 4095 bytes (fix the request)\n" -K 3 3<<<"$(printf 'k%.0s' $(seq 4096))"
# The key reaches the tool on a descriptor of its own, never on its command line.
cat >"$WORK/stand-in" <<'EOF'
#!/bin/sh
case $#:$1:$2 in 2:-K:*[!0-9]* | 2:-K:) ;; 2:-K:*) read -r key <&"$2" && echo "-K FD, key $key" >&2 ;; esac
exit 4
EOF
chmod 755 "$WORK/stand-in"
caller -K 3 "$WORK/stand-in" <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err" 3<<<mine
verdict "example caller: the key on a pipe" "-K 3" $? 65 '' "$EX: status 4, the calling user may not sign for \
the body's actor: -K FD, key mine (fix the request)\n"
request alice
# Every other status, from a stand-in for the tool that ends with it.
for row in 0:69 1:65 3:69 9:75 10:75 11:69 12:69 13:65 14:69 99:69 KILL:75; do
  printf '#!/bin/sh\necho told >&2\n%s\n' \
    "$(if [ "${row%:*}" = KILL ]; then echo 'kill -KILL $$'; else echo "exit ${row%:*}"; fi)" >"$WORK/stand-in"
  chmod 755 "$WORK/stand-in"
  caller "$WORK/stand-in" <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "example caller: a stand-in ending with ${row%:*}" "" $? "${row#*:}" "" "$(cat "$WORK/err")\\n"
done
caller "$WORK/no-such-tool" <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
verdict "example caller: no tool at the path" "" $? 69 '' \
  "$EX: $WORK/no-such-tool can't be run: No such file or directory (report to the administrator)\n"
# A listing whose last line has no newline is not the tool's.
printf '#!/bin/sh\nprintf "a=1\\\\ndigest.value = %%s\\\\nsignature.value = %%s" %s %s\n' "$fake" "$fake" >"$WORK/stand-in"
caller "$WORK/stand-in" <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
verdict "example caller: a listing cut short" "" $? 69 '' \
  "$EX: the listing does not end with a newline (report to the administrator)\n"

# --- Failures of the system around the tool -----------------------------------------
request alice
: >"$WORK/out"
tool -s web <"$WORK/stdin" >/dev/full 2>"$WORK/err"
verdict "a full standard output" "-s web" $? 9 '' 'Unable to write to standard output: No space left on device.\n'
tool -s web <"$WORK/stdin" >&- 2>"$WORK/err"
verdict "a closed standard output" "-s web" $? 9 '' 'Unable to write to standard output: Bad file descriptor.\n'
tool -s web <&- >"$WORK/out" 2>"$WORK/err"
verdict "a closed standard input" "-s web" $? 13 '' 'Unable to read standard input: Bad file descriptor.\n'
# A pipe whose reader is gone before the listing: the tool ends by SIGPIPE
# (under a wrapper such as valgrind, which reports what a killed process held,
# the status alone is compared).
rm -f "$WORK/fifo" && mkfifo "$WORK/fifo" && exec 7<>"$WORK/fifo" 8>"$WORK/fifo" 7<&-
tool -s web <"$WORK/stdin" >&8 2>"$WORK/err"
rc=$?
[ -z "${ZEL_E2E_WRAPPER:-}" ] || : >"$WORK/err"
verdict "a standard output nobody reads" "-s web" $rc 141 '' ''
exec 8>&-
# A file size limit cuts the listing short: the write fails, the tool is not
# killed, and the part written before the failure stays where it went.
long_line=$(printf 'p%.0s' $(seq 2000))
site "$long_line\\n"; input ''
(ulimit -f 1; tool) <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
verdict "a listing cut off by the file size limit" "" $? 9 "${long_line:0:1024}" \
  'Unable to write to standard output: File too large.\n'
site "$SITE_TEXT"; request alice

# unsupported_conf WHAT CONF: a run with OPENSSL_CONF=CONF, which would leave
# libcrypto without SHA-1. The tool reads no OpenSSL configuration, set-ID or
# not: it signs.
unsupported_conf() {
  OPENSSL_CONF=$2 tool -s web <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "$1, not read" "-s web" $? 0 "c=3\\n$(knowns "$BODY" web-key)" ''
}

# A configuration whose provider can't be loaded.
printf 'openssl_conf = conf\n[conf]\nproviders = prov\n[prov]\nmissing = missing_sect\n[missing_sect]\nactivate = 1\n' >"$WORK/broken.cnf"
unsupported_conf "libcrypto unable to digest" "$WORK/broken.cnf"

# Nor one that names the provider to serve the algorithms, or a property no
# provider has.
conf='openssl_conf = conf\n[conf]\nproviders = prov\nalg_section = algs\n[prov]\ndefault = default_sect\n[default_sect]\nactivate = 1\n[algs]\n'
printf '%bdefault_properties = provider=default\n' "$conf" >"$WORK/default-only.cnf"
printf '%bdefault_properties = fips=yes\n' "$conf" >"$WORK/fips-only.cnf"
OPENSSL_CONF=$WORK/default-only.cnf tool -s web <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
verdict "a configuration with the default provider only, by property" "-s web" $? 0 \
  "c=3\\n$(knowns "$BODY" web-key)" ''
unsupported_conf "a property no loaded provider has" "$WORK/fips-only.cnf"

# A sparse site file that claims more bytes than any buffer can hold, where the
# file system allows one.
rm -f "$SITE"
if make_site truncate -s 9223372036854775807 2>/dev/null; then
  tool -k k <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "a site file larger than any buffer" "-k k" $? 10 '' 'Out of memory.\n'
fi
site "$SITE_TEXT"


# Only where that user can reach the binary: a checkout in a directory of
# root's alone (/root) keeps every other user out.
if [ -n "$REAL_ROOT" ] && command -v setpriv >/dev/null &&
   setpriv --reuid 4294967294 --regid 4294967294 --clear-groups test -r "$BIN" -a -x "$BIN"; then
  # The user ID is printed as a signed number, as the password database knows it.
  # Set-user-ID, LD_PRELOAD is ignored and the machine's own database, which has
  # no entry for it either, answers; the run is otherwise the same.
  input ''
  (export LD_PRELOAD=$NSS_LIB NSS_WRAPPER_PASSWD=$WORK/passwd NSS_WRAPPER_GROUP=$WORK/group
   exec setpriv --reuid 4294967294 --regid 4294967294 --clear-groups ${ZEL_E2E_WRAPPER:-} "$BIN") \
    <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "a user ID beyond int" "" $? 2 '' 'Unable to determine invoking user name for uid -2.\n'
fi

# --- A token value from a descriptor (-K) ------------------------------------------
site "$SITE_TEXT"; request bob; as alice
BOB_BODY='<Body><Request action="sign" actor="bob">\n'
tool -s web -K 3 <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err" 3<<'KEY'
mine
KEY
verdict "-K 3 from a here-document waives the comparison" "-s web -K 3" $? 0 "c=3\\n$(knowns "$BOB_BODY" mine)" ''
tool -s web -K 3 <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err" 3<<<''
verdict "-K with an empty value is a zero-length key" "-s web -K 3" $? 0 "c=3\\n$(knowns "$BOB_BODY" '')" ''
printf 'mine\nnot the key\n' >"$WORK/key"
tool -s web -k other -K 4 <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err" 4<"$WORK/key"
verdict "the last of -k and -K counts; only the first line is the value" "-s web -k other -K 4" $? 0 \
  "c=3\\n$(knowns "$BOB_BODY" mine)" ''
# The site file is opened first, on the lowest free descriptor: with 3
# closed, that is 3, and its first line must never become the key.
tool -s web -K 3 <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err" 3<&-
verdict "-K 3 with 3 closed: the tool's own site file is not read" "-s web -K 3" $? 1 '' \
  'Unable to read the token value from descriptor 3: Bad file descriptor.\n'
tool -s web -K 9 <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err" 9<&-
verdict "-K on a closed descriptor" "-s web -K 9" $? 1 '' \
  'Unable to read the token value from descriptor 9: Bad file descriptor.\n'
tool -s web -K 3 <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err" 3<"$WORK"
verdict "-K on a directory" "-s web -K 3" $? 1 '' \
  'Unable to read the token value from descriptor 3: Is a directory.\n'
tool -s web -K three <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
verdict "-K with no number" "-s web -K three" $? 1 '' 'Invalid descriptor for -K: three.\n'
k4095=$(printf 'k%.0s' $(seq 4095))
tool -s web -K 3 <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err" 3<<<"$k4095"
verdict "-K with a value of 4095 bytes" "-s web -K 3" $? 0 "c=3\\n$(knowns "$BOB_BODY" "$k4095")" ''
tool -s web -K 3 <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err" 3<<<"${k4095}k"
verdict "-K with a value of 4096 bytes is refused, never cut" "-s web -K 3" $? 1 '' \
  'The token value from descriptor 3 is longer than 4095 bytes.\n'
# Standard input as the key's descriptor: its first line is the value, the
# next one the body.
input "mine\\n$BOB_BODY"
expect "-K 0: the first line is the key, the second the body" 0 "c=3\\n$(knowns "$BOB_BODY" mine)" '' -s web -K 0
input 'mine'
expect "-K 0 and nothing after the key: a listing" 0 'c=3\n' '' -s web -K 0

# --- Resource limits -------------------------------------------------------------
site "$SITE_TEXT"; request alice; as alice
# Too few descriptors to look the user up: status 2, never a listing. A
# wrapper or AddressSanitizer needs descriptors of its own; not with them.
# Descriptors the test's own caller left open would count against the limit.
if [ -z "${ZEL_E2E_WRAPPER:-}" ] && ! ldd "$BIN" 2>/dev/null | grep -q libasan; then
(for fd in $(ls "/proc/$BASHPID/fd"); do ((fd > 2)) && eval "exec $fd<&-"; done
 ulimit -n 4; tool -s web) <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
rc=$?
sed -i '/^NWRAP_ERROR/d' "$WORK/err"  # nss_wrapper's own complaint, when it stands in
verdict "four descriptors at most" "-s web" $rc 2 '' "Unable to determine invoking user name for uid $(tool_uid).\\n"
fi
# Fixed limits with known outcomes, whatever the layout of the address space:
# a site file far larger than the limit allows is out of memory, never an
# abort; a limit with room to spare signs whole.
if [ -z "${ZEL_E2E_WRAPPER:-}" ] && ! ldd "$BIN" 2>/dev/null | grep -q libasan; then
  for limit in "-v address space" "-d data segment"; do
    option=${limit%% *}
    rm -f "$SITE"; make_site truncate -s 1G
    (ulimit "$option" 200000; tool -k k) <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
    verdict "a site file larger than the ${limit#* } allows" "-k k" $? 10 '' 'Out of memory.\n'
    site "$SITE_TEXT"
    (ulimit "$option" 524288; tool -s web) <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
    verdict "a ${limit#* } with room to spare" "-s web" $? 0 "c=3\\n$(knowns "$BODY" web-key)" ''
  done
fi
# Every data segment limit from less than the loader needs up: the loader's
# own failure (127), out of memory (10, said once), or the listing; never a
# hang, wherever the first allocation fails. The limit is the tool's alone
# (prlimit's), so only without set-ID.
if [ -z "${ZEL_E2E_WRAPPER:-}" ] && [ -z "$SETID" ] && ! ldd "$BIN" 2>/dev/null | grep -q libasan; then
  oom=0
  for kib in $(seq 60 10 600); do
    ZEL_E2E_WRAPPER="timeout -s KILL 10 prlimit --data=$((kib * 1024)) --" tool -s web \
      <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
    rc=$?
    if [ "$rc" = 10 ]; then
      oom=$((oom + 1))
      verdict "a data segment of $kib KiB" "-s web" "$rc" 10 '' 'Out of memory.\n'
    elif [ "$rc" = 0 ]; then
      verdict "a data segment of $kib KiB" "-s web" "$rc" 0 "c=3\\n$(knowns "$BODY" web-key)" ''
    elif [ "$rc" != 127 ]; then
      verdict "a data segment of $kib KiB" "-s web" "$rc" "10, 0 or the loader's 127" '' ''
    fi
  done
  [ "$oom" -gt 0 ] || verdict "some data segment limit leaves the run out of memory" "-s web" none 10 '' ''
fi

# --- The audit trail's socket -------------------------------------------------------
# with_log KIND ARGS...: runs the tool in a mount namespace of its own, whose
# /dev is a tmpfs holding the devices a run needs and, at /dev/log, a socket
# that nobody reads (KIND stale). Status 97: the namespace could not be made.
with_log() {
  local setup='mkdir -p "$WORK/host-dev" && mount --bind /dev "$WORK/host-dev" &&
    mount -t tmpfs -o mode=0755,size=1m zel-e2e-dev /dev || exit 97
    for d in null zero full random urandom; do : >"/dev/$d" && mount --bind "$WORK/host-dev/$d" "/dev/$d" || exit 97; done
    perl -MSocket -e "socket(S, PF_UNIX, SOCK_DGRAM, 0) && bind(S, pack_sockaddr_un(q{/dev/log})) or exit 1" &&
      chmod 0666 /dev/log || exit 97'
  shift
  WORK=$WORK SETID=$SETID RUN_UID=${RUN_UID:-} RUN_GID=${RUN_GID:-} NSS_LIB=$NSS_LIB \
    unshare --mount --propagation private -- bash -c "$(declare -f tool); $setup; tool \"\$@\"" bash "$@"
}
if [ -n "$REAL_ROOT" ] && unshare --mount --propagation private true 2>/dev/null; then
  site "$SITE_TEXT"; request alice; as alice
  with_log stale -s web <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "a stale /dev/log: no signature without its line" "-s web" $? 14 '' \
    'Unable to send the audit record: Connection refused.\n'
  request bob
  with_log stale -s web <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "a stale /dev/log: a refusal's line undelivered" "-s web" $? 14 '' \
    'alice is not authorized to create a checksum for bob.\nUnable to send the audit record: Connection refused.\n'
  input ''
  with_log stale -s web <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "a stale /dev/log: a listing without a request logs nothing" "-s web" $? 0 'c=3\n' ''
else
  echo "note: no private mount namespace (root needed); the stale /dev/log cases are not run"
fi

# --- The audit file -----------------------------------------------------------------
# Its record goes out before the listing, one per decision; without it, no
# listing of a request, status 14. Set-ID, the deployment test has these cases.
site "$SITE_TEXT"; request alice; as alice
if [ -z "$SETID" ]; then
  fresh_audit
  expect "a signing and its record" 0 "c=3\\n$(knowns "$BODY" web-key)" '' -s web
  digest_b64=$(printf '%b' "$BODY" | openssl dgst -sha1 -binary | base64)
  [[ $(last_record) == "uid=$(id -ru) signed for actor=alice user=alice site=[web] via=self key=site token="????????" digest=$digest_b64" ]] &&
    [ "$(wc -l <"$AUDIT")" = 2 ] && [ -z "$(head -n 1 "$AUDIT")" ] && [[ $(sed -n 2p "$AUDIT" | head -c 27) =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\.[0-9]{6}Z$ ]] ||
    { failed=$((failed + 1)); echo "FAIL: the signing's record: $(cat "$AUDIT")"; }
  request bob
  expect "a refusal and its record" 4 '' 'alice is not authorized to create a checksum for bob.\n' -s web
  [ "$(last_record)" = "uid=$(id -ru) refused actor=bob user=alice site=[web]" ] ||
    { failed=$((failed + 1)); echo "FAIL: the refusal's record: $(last_record)"; }
  input ''
  expect "a listing without a request adds no record" 0 'c=3\n' '' -s web
  [ "$(grep -c . "$AUDIT")" = 2 ] || { failed=$((failed + 1)); echo "FAIL: $(grep -c . "$AUDIT") records, want 2"; }
  request alice
  rm -f "$AUDIT"
  expect "no audit file: no listing" 14 '' 'Unable to send the audit record: No such file or directory.\n' -s web
  input ''
  expect "no audit file: a listing without a request needs none" 0 'c=3\n' '' -s web
  request alice
  : >"$WORK/elsewhere" && chmod 0620 "$WORK/elsewhere" && ln -s "$WORK/elsewhere" "$AUDIT"
  expect "an audit file that is a link" 14 '' 'Unable to send the audit record: Too many levels of symbolic links.\n' -s web
  [ -s "$WORK/elsewhere" ] && { failed=$((failed + 1)); echo "FAIL: a record went through the link"; }
  fresh_audit; chmod 0622 "$AUDIT"
  expect "an audit file others may write" 14 '' 'Unable to send the audit record: Operation not permitted.\n' -s web
  fresh_audit; truncate -s 1024 "$AUDIT"
  (ulimit -f 1; tool -s web) <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
  verdict "a file size limit at the audit file's size" "-s web" $? 14 '' 'Unable to send the audit record: File too large.\n'
  [ "$(stat -c %s "$AUDIT")" = 1024 ] || { failed=$((failed + 1)); echo "FAIL: a part record was written"; }
  fresh_audit
fi

# A site file whose tokens others may know signs nothing: status 6 and the
# cause, before a byte of it is listed; a refused user still learns nothing.
site "$SITE_TEXT"; request alice; as alice
if [ -z "$SETID" ]; then
  exposed="; its tokens must be treated as exposed (see zel-site check).\\n"
  chmod 0644 "$SITE"
  expect "a site file others can read" 6 '' "The site file $SITE can be read by other users$exposed" -s web
  input ''
  expect "a site file others can read lists nothing" 6 '' "The site file $SITE can be read by other users$exposed" -s web
  request bob
  expect "a refused user learns nothing of an exposed site file" 4 '' 'alice is not authorized to create a checksum for bob.\n' -s web
  request alice; chmod 0660 "$SITE"
  expect "a site file its group can write" 6 '' "The site file $SITE can be written by other users than its owner$exposed" -s web
  chmod 0600 "$SITE"
  if chown 65534 "$SITE" 2>/dev/null; then
    expect "a site file another user owns" 6 '' "The site file $SITE is owned by neither root nor the service account$exposed" -s web
  fi
  rm -f "$SITE"; site "$SITE_TEXT"
fi

# The caller's verification: openssl over the body's first line, newline and
# all, keyed with the token, gives the signature line.
site "$SITE_TEXT"; input '<Body><Request action="sign" actor="alice">\n<More/>\n'; as alice
tool -s web <"$WORK/stdin" >"$WORK/out" 2>"$WORK/err"
want=$(head -n 1 "$WORK/stdin" | openssl dgst -sha1 -binary | openssl dgst -sha1 -hmac web-key -binary | base64)
[ "$(tail -n 1 "$WORK/out")" = "signature.value = $want" ] ||
  { failed=$((failed + 1)); echo "FAIL: the caller's pipeline gives $want, the tool $(tail -n 1 "$WORK/out")"; }

# A name that only starts with the trusted account's signs for no one else.
# Set-ID, the account must exist (the deployment test makes it).
site "$SITE_TEXT"; request bob
if [ -z "$SETID" ] || getent passwd autobuilder >/dev/null; then
  as autobuilder
  expect "a name that only starts with autobuild signs for no one else" 4 '' \
    'autobuilder is not authorized to create a checksum for bob.\n' -s web
fi
