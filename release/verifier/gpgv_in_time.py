#!/usr/bin/env python3
"""gpgv as apt calls it, except that a signature made while its key was
valid counts as good after the key has expired: Debian's archive keys
expire, and a release's signed indices must stay checkable after that. A
signature by a key that is revoked, at any time, is never good: the keys
that the keyrings themselves show revoked are listed in the file "revoked"
beside this one, and gpgv, which reports a revoked key that has also
expired as merely expired, is not asked. A signature made after its key
expired, a bad signature or an unknown key is reported as gpgv reports it.

    gpgv_in_time.py GPGV-ARGUMENTS...   (as Apt::Key::gpgvcommand)
"""

import os
import subprocess
import sys


REVOKED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "revoked")


def revoked():
    try:
        with open(REVOKED, encoding="ascii") as file:
            return set(file.read().split())
    except OSError:
        return set()


def in_time(block, gone):
    """The status lines of one signature: by a key in gone (the signing key
    or its primary), REVKEYSIG and never good; else its EXPKEYSIG made
    GOODSIG where gpgv vouches for it (VALIDSIG) and it was made before every
    expiry of the keys gpgv considered."""
    words = [line.split() for line in block]
    signers = {word[index] for word in words if word[1:2] == ["VALIDSIG"] for index in (2, 11) if len(word) > index}
    if signers & gone:
        return [line.replace(" GOODSIG ", " REVKEYSIG ", 1).replace(" EXPKEYSIG ", " REVKEYSIG ", 1)
                for line in block if " VALIDSIG " not in line] + ["[GNUPG:] KEYREVOKED"]
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
    gone = revoked()
    for block in blocks:
        out += in_time(block, gone)
    os.write(status, "".join(line + "\n" for line in out).encode("utf-8", "surrogateescape"))
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
