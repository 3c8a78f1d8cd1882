#!/usr/bin/python3
"""An example caller of zel-auth: signs one request body and reads the listing.

    sign_request.py [-s SITE] [TOOL] <BODY

TOOL is the path of zel-auth (default /opt/zel/bin/zel-auth). On success it
prints the stanza's property lines as the tool listed them, then
"digest D" and "signature S", and exits 0. On failure it writes one line to
standard error and exits with what the caller should do about it:
75 (EX_TEMPFAIL) retry, 69 (EX_UNAVAILABLE) report to the administrator,
65 (EX_DATAERR) fix the request. Python 3 standard library only.
"""
import os
import re
import subprocess
import sys

DEFAULT_TOOL = "/opt/zel/bin/zel-auth"

# The tool reads one line of at most 4,095 bytes, newline included, and signs
# a longer one only in part, still with status 0: the caller must check.
MAX_BODY = 4095

RETRY, ADMINISTRATOR, REQUEST = "retry", "report to the administrator", "fix the request"
EXIT_CODES = {RETRY: os.EX_TEMPFAIL, ADMINISTRATOR: os.EX_UNAVAILABLE, REQUEST: os.EX_DATAERR}

# Each failing status of zel-auth and what a caller does about it. Standard
# error is for people: the status alone tells what happened.
STATUSES = {
    1: (REQUEST, "usage error"),
    2: (ADMINISTRATOR, "the calling user has no password entry"),
    4: (REQUEST, "the calling user may not sign for the body's actor"),
    5: (REQUEST, "the body names no actor"),
    6: (ADMINISTRATOR, "the site file can't be read"),
    7: (REQUEST, "no such site stanza"),  # without -s: the administrator's
    8: (ADMINISTRATOR, "the stanza's token value is empty"),
    9: (RETRY, "the listing could not be written"),
    10: (RETRY, "out of memory"),
    11: (ADMINISTRATOR, "the checksum could not be computed"),
    12: (ADMINISTRATOR, "the privilege could not be given up"),
    13: (REQUEST, "standard input could not be read"),
    14: (ADMINISTRATOR, "the audit record could not be sent"),
}

DIGEST = b"digest.value = "
SIGNATURE = b"signature.value = "
# The base64 text of 20 bytes: 27 characters and one "=".
BASE64_SHA1 = re.compile(rb"[A-Za-z0-9+/]{27}=")


class SignError(Exception):
    """A failed signing; action is RETRY, ADMINISTRATOR or REQUEST."""

    def __init__(self, action, reason):
        super().__init__(f"{reason} ({action})")
        self.action = action


def check_body(body):
    """Refuses a body the tool would sign only in part."""
    if len(body) > MAX_BODY:
        raise SignError(REQUEST, f"the body is {len(body)} bytes, more than {MAX_BODY}")
    if b"\n" in body[:-1]:
        raise SignError(REQUEST, "the body is more than one line")
    if b"\0" in body:
        raise SignError(REQUEST, "the body holds a NUL byte")


def computed(line, prefix):
    """The value of a digest or signature line, or None if line is not one."""
    if not line.startswith(prefix) or not BASE64_SHA1.fullmatch(line[len(prefix):]):
        return None
    return line[len(prefix):].decode("ascii")


def sign(body, site=None, tool=DEFAULT_TOOL, timeout=30):
    """Signs body (bytes); returns (property lines as bytes, digest, signature)."""
    if not body:
        raise SignError(REQUEST, "the body is empty")
    check_body(body)
    args = [tool] + (["-s", site] if site is not None else [])
    try:
        run = subprocess.run(args, input=body, capture_output=True, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        raise SignError(RETRY, f"{tool} gave no answer within {timeout} s") from None
    except OSError as error:
        raise SignError(ADMINISTRATOR, f"{tool} can't be run: {error.strerror}") from None
    if run.returncode < 0:
        raise SignError(RETRY, f"{tool} was killed by signal {-run.returncode}")
    if run.returncode != 0:
        action, reason = STATUSES.get(run.returncode, (ADMINISTRATOR, "unknown status"))
        if run.returncode == 7 and site is None:
            action = ADMINISTRATOR  # the site file has no default stanza
        told = run.stderr.decode("utf-8", "replace").strip()
        raise SignError(action, f"status {run.returncode}, {reason}: {told}")
    # Status 0. The listing is bytes, a line each; the tool's own lines come
    # last, so read from the end: a property line may look like them.
    lines = run.stdout.split(b"\n")
    if lines[-1] != b"":
        raise SignError(ADMINISTRATOR, "the listing does not end with a newline")
    lines.pop()
    signature = computed(lines[-1], SIGNATURE) if lines else None
    if signature is not None:
        lines.pop()
    digest = computed(lines[-1], DIGEST) if lines else None
    if digest is None:
        raise SignError(ADMINISTRATOR, "the listing has no digest line")
    lines.pop()
    if signature is None:
        # The stanza holds no token: a listing with status 0, but no signature.
        raise SignError(ADMINISTRATOR, "the site has no token: the listing has no signature")
    return lines, digest, signature


def main(argv):
    args = argv[1:]
    site = None
    if args[:1] == ["-s"] and len(args) >= 2:
        site, args = args[1], args[2:]
    if len(args) > 1 or (args and args[0].startswith("-")):
        print("Usage: sign_request.py [-s SITE] [TOOL] <BODY", file=sys.stderr)
        return 2
    tool = args[0] if args else DEFAULT_TOOL
    try:
        properties, digest, signature = sign(sys.stdin.buffer.read(MAX_BODY + 1), site, tool)
    except SignError as error:
        print(f"sign_request.py: {error}", file=sys.stderr)
        return EXIT_CODES[error.action]
    out = sys.stdout.buffer
    for line in properties:
        out.write(line + b"\n")
    out.write(f"digest {digest}\nsignature {signature}\n".encode("ascii"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
