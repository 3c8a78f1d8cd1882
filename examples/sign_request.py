#!/usr/bin/python3
"""An example caller of zel-auth: signs one request body and reads the listing.

    sign_request.py [-s SITE] [-K FD] [TOOL] <BODY

TOOL is the path of zel-auth (default /opt/zel/bin/zel-auth). With -K FD the
caller's own token value is read from descriptor FD (its first line) and
handed to the tool on a pipe, never on a command line. On success it
prints the stanza's property lines as the tool listed them, then
"digest D" and "signature S", and exits 0. On failure it writes one line to
standard error and exits with what the caller should do about it:
75 (EX_TEMPFAIL) retry, 69 (EX_UNAVAILABLE) report to the administrator,
65 (EX_DATAERR) fix the request. Python 3 standard library only.
"""
import argparse
import os
import re
import subprocess
import sys

DEFAULT_TOOL = "/opt/zel/bin/zel-auth"

# The tool reads one line of at most 4,095 bytes, newline included, and signs
# a longer one only in part, still with status 0: the caller must check.
MAX_BODY = 4095
# A key of one's own: one line of at most 4,095 bytes, its newline aside.
MAX_KEY = 4095

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


def sign(body, site=None, key=None, tool=DEFAULT_TOOL, timeout=30):
    """Signs body (bytes) with the site's token or the caller's own key
    (bytes); returns (property lines as bytes, digest, signature)."""
    if not body:
        raise SignError(REQUEST, "the body is empty")
    check_body(body)
    args = [tool] + (["-s", site] if site is not None else [])
    key_fds = []
    if key is not None:
        if len(key) > MAX_KEY or b"\n" in key:
            raise SignError(REQUEST, f"the key is more than one line of {MAX_KEY} bytes")
        # A value on the command line is public; a pipe is the caller's own.
        # The pipe holds the whole key, so the write returns at once.
        read_end, write_end = os.pipe()
        key_fds.append(read_end)
        os.write(write_end, key + b"\n")
        os.close(write_end)
        args += ["-K", str(read_end)]
    try:
        run = subprocess.run(args, input=body, capture_output=True, timeout=timeout, check=False,
                             pass_fds=key_fds)
    except subprocess.TimeoutExpired:
        raise SignError(RETRY, f"{tool} gave no answer within {timeout} s") from None
    except OSError as error:
        raise SignError(ADMINISTRATOR, f"{tool} can't be run: {error.strerror}") from None
    finally:
        for fd in key_fds:
            os.close(fd)
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
    parser = argparse.ArgumentParser(prog="sign_request.py")
    parser.add_argument("-s", dest="site", help="the site stanza to sign for")
    parser.add_argument("-K", dest="key_fd", type=int, help="a descriptor to read your own key from")
    parser.add_argument("tool", nargs="?", default=DEFAULT_TOOL, help="the path of zel-auth")
    options = parser.parse_args(argv[1:])
    key = None
    if options.key_fd is not None:
        with os.fdopen(options.key_fd, "rb") as source:
            key = source.readline(MAX_KEY + 2).removesuffix(b"\n")
    try:
        body = sys.stdin.buffer.read(MAX_BODY + 1)
        properties, digest, signature = sign(body, options.site, key, options.tool)
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
