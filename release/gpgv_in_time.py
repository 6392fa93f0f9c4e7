#!/usr/bin/env python3
"""gpgv as apt calls it, except that a signature made while its key was
valid counts as good after the key has expired: Debian's archive keys
expire, and a release's signed indices must stay checkable after that. A
signature made after its key expired, a bad signature or an unknown key is
reported as gpgv reports it.

    gpgv_in_time.py GPGV-ARGUMENTS...   (as Apt::Key::gpgvcommand)
"""

import os
import subprocess
import sys


def in_time(block):
    """The status lines of one signature, its EXPKEYSIG made GOODSIG where
    gpgv vouches for it (VALIDSIG) and it was made before every expiry of
    the keys gpgv considered."""
    words = [line.split() for line in block]
    made = [int(word[4]) for word in words if word[1:2] == ["VALIDSIG"] and len(word) > 4 and word[4].isdigit()]
    expired = [int(word[2]) for word in words if word[1:2] == ["KEYEXPIRED"] and len(word) > 2 and word[2].isdigit()]
    if len(made) != 1 or not expired or made[0] >= min(expired):
        return block
    return [line.replace("[GNUPG:] EXPKEYSIG ", "[GNUPG:] GOODSIG ", 1) for line in block]


def main(arguments):
    reading, writing = os.pipe()
    if "--status-fd" in arguments[:-1]:
        at = arguments.index("--status-fd") + 1
        status, arguments[at] = int(arguments[at]), str(writing)
    else:
        status, arguments = 1, ["--status-fd", str(writing)] + arguments
    gpgv = subprocess.Popen(["gpgv"] + arguments, pass_fds=(writing,))
    os.close(writing)
    with os.fdopen(reading, encoding="utf-8", errors="surrogateescape") as said:
        lines = said.read().splitlines()
    code = gpgv.wait()
    blocks, out = [[]], []
    for line in lines:
        if line.startswith("[GNUPG:] NEWSIG"):
            blocks.append([])
        blocks[-1].append(line)
    for block in blocks:
        out += in_time(block)
    os.write(status, "".join(line + "\n" for line in out).encode("utf-8", "surrogateescape"))
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
