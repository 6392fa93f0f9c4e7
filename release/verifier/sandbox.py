"""The sandbox that a release's own code runs in, inside the clean root.

bubblewrap gives each stage a PID namespace that dies with it, no network,
no new privileges, its own /proc, /dev and /dev/shm, and of the clean root
only /usr, /etc and /var, read-only. It runs as nobody. Everything it can write
(its folder, /tmp, /dev/shm) lies on one tmpfs of bounded size and number of
files, mounted in
a mount namespace that ends with the process running the stages, so that
nothing of it outlives the check. What the stages made is copied out of the
tmpfs once they have ended: regular files only, each up to a bound.
"""

import os
import subprocess

from verifier import results

BUILDER = 65534
TIME_LIMIT = 600  # seconds, for each stage
MEMORY_LIMIT = 2 * 1024 ** 3  # bytes of address space, for each process
PROCESS_LIMIT = 256
SPACE_LIMIT = 256 * 1024 ** 2  # bytes, all that the stages write
FILE_LIMIT = 16384  # files and folders, all that the stages make
LIMITS = {
    "time": "%d minutes" % (TIME_LIMIT // 60),
    "space": "%d MiB written" % (SPACE_LIMIT // 1024 ** 2),
    "files": "%d files made" % FILE_LIMIT,
}
VIEW = "/tmp"
CLEAN_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def view(root, binds):
    """bubblewrap's arguments: the clean root's /usr, /etc and /var read-only,
    its top-level links, fresh /proc and /dev, and binds, (source, target,
    writable) triples."""
    argv = ["bwrap", "--unshare-all", "--die-with-parent", "--new-session", "--clearenv"]
    for source, target, writable in [(os.path.join(root, folder), "/" + folder, False)
                                     for folder in ("usr", "etc", "var")] + binds:
        argv += ["--bind" if writable else "--ro-bind", source, target]
    for name in sorted(os.listdir(root)):
        if os.path.islink(os.path.join(root, name)):
            argv += ["--symlink", os.readlink(os.path.join(root, name)), "/" + name]
    return argv + ["--proc", "/proc", "--dev", "/dev", "--chdir", "/verify/tools", "--setenv", "PATH", CLEAN_PATH,
                   "--setenv", "LC_ALL", "C.UTF-8", "--setenv", "HOME", "/verify/home", "--setenv", "TMPDIR",
                   "/tmp"]


def show_root(root):
    """Mounts the clean root over /tmp, and returns that path: bubblewrap
    runs as nobody, who may not be able to reach the root where it lies (in
    a folder only its user can enter). Call only in a mount namespace of
    one's own; this one's /tmp is not used after."""
    subprocess.run(["mount", "--rbind", root, VIEW], check=True)
    return VIEW


class Space:
    """The tmpfs that the stages write to, at path; call only in a mount
    namespace of one's own, which takes it away when it ends."""

    def __init__(self, path):
        self.path = path
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,nr_inodes=%d,mode=0755,nosuid,nodev" % (
            SPACE_LIMIT, FILE_LIMIT), "tmpfs", path], check=True)
        for folder in ("work", "home", "tmp", "shm"):
            os.mkdir(os.path.join(path, folder), 0o700)
            os.chown(os.path.join(path, folder), BUILDER, BUILDER)

    def binds(self):
        return [(os.path.join(self.path, "work"), "/verify/work", True),
                (os.path.join(self.path, "home"), "/verify/home", True),
                (os.path.join(self.path, "tmp"), "/tmp", True),
                (os.path.join(self.path, "shm"), "/dev/shm", True)]

    def put(self, data, name):
        """Writes data to a file in the stages' folder."""
        target = os.path.join(self.path, "work", name)
        with open(target, "wb") as file:
            file.write(data)
        os.chown(target, BUILDER, BUILDER)

    def reached(self):
        """The limit that what the stages wrote has reached, if any."""
        found = os.statvfs(self.path)
        if found.f_favail < 16:
            return "files"
        return "space" if found.f_bavail * found.f_frsize < 1024 * 1024 else None

    def run(self, root, binds, command, log):
        """Runs command in the sandbox as nobody, its output in log; returns
        the limit it reached, if any."""
        argv = ["prlimit", "--as=%d" % MEMORY_LIMIT, "--nproc=%d" % PROCESS_LIMIT, "--core=0", "--",
                "setpriv", "--reuid=%d" % BUILDER, "--regid=%d" % BUILDER, "--clear-groups", "--inh-caps=-all",
                "--"] + view(root, self.binds() + binds) + ["--"] + command
        with open(os.path.join(self.path, "output.log"), "ab") as output:
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT)
            try:
                child.wait(timeout=TIME_LIMIT)
                reached = None
            except subprocess.TimeoutExpired:
                # bwrap's death takes its PID namespace, and all in it, along.
                child.kill()
                child.wait()
                reached = "time"
        with open(log, "ab") as file:
            file.write(results.tail(os.path.join(self.path, "output.log")).encode())
        os.truncate(os.path.join(self.path, "output.log"), 0)
        return reached or self.reached()

    def take(self, relative, target, largest):
        """Copies a file the stages made out, where it is a regular file of
        at most largest bytes."""
        data = results.read(os.path.join(self.path, "work"), relative, largest)
        if data is not None:
            with open(target, "wb") as file:
                file.write(data)
