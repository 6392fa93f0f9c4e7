"""Reading what a release's own code left behind: it may be anything, so each
read takes a regular file only, never follows a link, never waits on a pipe
or device, and stops at a bound."""

import json
import os
import stat

from verifier import folders

LOG_TAIL = 64 * 1024
LARGEST_FINDINGS = 1024 * 1024
# No release's ZIP, or program or other entry, is larger.
LARGEST_ZIP = 256 * 1024 * 1024
LARGEST_ENTRY = 64 * 1024 * 1024


def read(base, relative, largest):
    """The bytes of base/relative ("/"-separated) where it is a regular file
    of at most largest bytes, reached without following a link; else None."""
    try:
        file = folders.open_file(base, relative, base_link=False)
    except (folders.Linked, OSError):
        return None
    if file is None:
        return None
    with file:
        data = file.read(largest + 1)
    return data if len(data) <= largest else None


def tail(path, size=LOG_TAIL):
    """The last size bytes of the log at path, as text, from its first whole line."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return ""
    with os.fdopen(descriptor, "rb") as file:
        if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            return ""
        length = os.fstat(file.fileno()).st_size
        file.seek(max(0, length - size))
        data = file.read(size)
    if length > size:
        data = data[data.find(b"\n") + 1:] if b"\n" in data else data
    return data.decode("utf-8", errors="replace")


def load(path):
    """The JSON object in the file at path, or {}."""
    data = read(os.path.dirname(path), os.path.basename(path), LARGEST_FINDINGS)
    try:
        found = json.loads(data) if data is not None else {}
    except ValueError:
        return {}
    return found if isinstance(found, dict) else {}
