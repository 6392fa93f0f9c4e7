"""What a check killed outright (SIGKILL, a power cut) left behind: its work
folder in the temporary folder, and any mount under it. A check holds a
lock on its folder from the moment the folder has its name until it ends,
so a folder of this user's, of that name, whose lock is free is an earlier
check's, and one that a check beside this one is using is left alone."""

import fcntl
import os
import re
import subprocess
import tempfile

PREFIX = "layercleanup-verify."


def make(temporary):
    """A new work folder in temporary, and the descriptor that holds its lock
    (kept open, never inherited, until the check ends). The folder is
    locked under a name that no sweep looks at, then given its own."""
    unnamed = tempfile.mkdtemp(prefix="layercleanup-unnamed.", dir=temporary)
    lock = os.open(unnamed, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(lock, fcntl.LOCK_EX)
    work = os.path.join(temporary, PREFIX + os.path.basename(unnamed)[len("layercleanup-unnamed."):])
    os.rename(unnamed, work)
    return work, lock


def mounts():
    """The mount points of this mount namespace, from /proc/self/mountinfo."""
    try:
        with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as file:
            lines = file.read().splitlines()
    except OSError:
        return []
    return [re.sub(r"\\([0-7]{3})", lambda code: chr(int(code.group(1), 8)), line.split(" ")[4])
            for line in lines if len(line.split(" ")) > 4]


def sweep(temporary):
    """Removes the work folders that earlier checks left in temporary, with
    what is mounted under them; returns a line saying what, or None."""
    removed, unmounted = [], 0
    try:
        names = sorted(os.listdir(temporary))
    except OSError:
        return None
    for name in names:
        path = os.path.join(temporary, name)
        try:
            found = os.lstat(path)
            if not name.startswith(PREFIX) or not os.path.isdir(path) or os.path.islink(path) or \
                    found.st_uid != os.geteuid():
                continue
            lock = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(lock)
            continue
        for point in sorted((point for point in mounts() if point.startswith(path + "/")), key=len, reverse=True):
            unmounted += subprocess.run(["umount", "--lazy", point], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, check=False).returncode == 0
        subprocess.run(["rm", "-rf", "--one-file-system", path], stderr=subprocess.DEVNULL, check=False)
        os.close(lock)
        removed.append(path)
    if not removed:
        return None
    return "removed what %d earlier check%s killed outright left: %s, and %d mount%s under %s" % (
        len(removed), "" if len(removed) == 1 else "s", ", ".join(removed), unmounted, "" if unmounted == 1 else "s",
        "it" if len(removed) == 1 else "them")
