"""Debian's snapshot archive, and archives kept from it: where verify-release
finds the recorded versions once Debian's mirrors no longer offer them.

The snapshot archive serves each state of an archive ("debian",
"debian-security") that it took, under archive/ARCHIVE/TIMESTAMP/, and lists
those times at mr/timestamp/. A release records, for each part of the
archive, the date of the signed index that its versions came from; the root
is made from the first snapshot taken at or after it.

apt fetches through a server on the loopback that this module runs. It
answers from a folder (a cache, or an archive kept with --keep-archive) and
fetches what the folder lacks from the service, one request at a time,
retrying with backoff while the service is busy (HTTP 429 or 5xx), and keeps
what it fetched for the next check. Nothing it serves is trusted: apt checks
each index against Debian's signatures and each .deb against the index.
"""

import hashlib
import http.client
import http.server
import json
import os
import re
import shutil
import socket
import ssl
import threading
import time
import urllib.parse

from common import debian
from verifier import folders

DEFAULT = "https://snapshot.debian.org/"
TIMESTAMP = r"[0-9]{8}T[0-9]{6}Z"
NAME = r"[A-Za-z0-9._+~%:-]+"
# What apt and this module ask for: a tree of an archive at a time, and the service's answers.
PATHS = re.compile(r"archive/(?:debian|debian-security)/%s/(?:dists|pool)(?:/%s)+|mr/(?:%s/)+" % (TIMESTAMP, NAME, NAME))
LARGEST = 512 * 1024 ** 2  # bytes of any file of the archive
LARGEST_ANSWER = 16 * 1024 ** 2  # bytes of any of the service's answers (mr/...)
TRIES = 6
FIRST_WAIT = 2  # seconds, doubled after each try
LONGEST_WAIT = 120
# Every answer must arrive whole within DEADLINE of asking, and never go
# STALL seconds without STALL_BYTES more: a drip is given up within STALL.
DEADLINE = 600
STALL = 30
STALL_BYTES = 64 * 1024
REDIRECTS = 5


class Failure(Exception):
    """A route to the recorded versions failed; the message says how."""


class Late(Exception):
    """An answer did not arrive in time; the message says how."""


def where(path):
    """A file of the archive named from its archive on: debian/TIMESTAMP/pool/..."""
    return path[len("archive/"):] if path.startswith("archive/") else path


class Watchdog:
    """Ends a connection whose answer comes too slowly: not whole within
    DEADLINE, or STALL seconds without STALL_BYTES more."""

    def __init__(self, connection):
        self.connection, self.late = connection, None
        self.deadline = time.monotonic() + DEADLINE
        self.stalls_at, self.since = time.monotonic() + STALL, 0
        # Polled with sleep(), not a timed wait, which a faked clock (a check
        # run as of years later) can make wait for ever.
        self.done = False
        threading.Thread(target=self.watch, daemon=True).start()

    def arrived(self, count):
        self.since += count
        if self.since >= STALL_BYTES:
            self.stalls_at, self.since = time.monotonic() + STALL, 0

    def watch(self):
        while not self.done:
            time.sleep(0.5)
            now = time.monotonic()
            if now > self.deadline or now > self.stalls_at:
                self.late = "did not answer whole within %d s" % DEADLINE if now > self.deadline else \
                    "answered less than %d KiB in %d s" % (STALL_BYTES // 1024, STALL)
                try:
                    self.connection.sock.shutdown(socket.SHUT_RDWR)
                except (AttributeError, OSError):
                    pass
                return

    def stop(self):
        self.done = True


class Store:
    """The service's files by their paths in a folder, fetched from upstream
    (a base address) where the folder lacks them and there is one. The folder
    is read and written only inside itself (see folders)."""

    def __init__(self, folder, upstream, described):
        self.folder, self.upstream, self.described = folder, upstream, described
        self.lock = threading.Lock()
        self.failures = {}
        os.makedirs(folder, exist_ok=True)
        linked = folders.first_link(folder)
        if linked:
            raise Failure("%s holds a link, %s, where the check would read or write its files" % (
                described, linked))

    @staticmethod
    def local(path):
        return path + ("index.html" if path.endswith("/") else "")

    def open(self, path, fresh=False):
        """The file that holds path, open for reading; raises Failure."""
        if not PATHS.fullmatch(path) or any(part in (".", "..") for part in path.split("/")):
            raise Failure("%s is not a path of the snapshot archive" % path[:200])
        with self.lock:
            try:
                found = None if fresh else folders.open_file(self.folder, self.local(path))
                if found is None:
                    if not self.upstream:
                        raise self.failed(path, "%s is not in %s" % (where(path), self.described))
                    self.fetch(path)
                    found = folders.open_file(self.folder, self.local(path))
            except folders.Linked as linked:
                raise self.failed(path, "%s in %s" % (linked, self.described))
            return found

    def drop(self, path):
        """Forgets a fetched file that turned out wrong, so that the next check asks again."""
        if self.upstream and PATHS.fullmatch(path):
            folders.remove(self.folder, self.local(path))

    def failed(self, path, message):
        self.failures[path] = message
        return Failure(message)

    def fetch(self, path):
        largest = LARGEST_ANSWER if path.startswith("mr/") else LARGEST
        started, reason = time.time(), ""
        for attempt in range(TRIES):
            wait = FIRST_WAIT * 2 ** attempt
            try:
                with folders.Writing(self.folder, self.local(path)) as writing:
                    status, later = download(self.upstream, path, writing.file, largest)
                    if status == 200:
                        writing.commit()
                        return
            except Late as late:
                raise self.failed(path, "%s %s for %s" % (self.described, late, where(path)))
            except (OSError, http.client.HTTPException, ssl.SSLError) as error:
                status, later = None, ""
                reason = "could not be reached (%s)" % (getattr(error, "reason", None) or error)
            if status == 404:
                raise self.failed(path, "%s is not in %s (HTTP 404)" % (where(path), self.described))
            if status is not None:
                if status != 429 and status < 500:
                    raise self.failed(path, "%s answered HTTP %d for %s" % (self.described, status, where(path)))
                reason = "rate-limited the check (HTTP 429)" if status == 429 else "answered HTTP %d" % status
                wait = max(wait, int(later) if later.isdigit() else 0)
            if attempt + 1 < TRIES:
                time.sleep(min(wait, LONGEST_WAIT))
        raise self.failed(path, "%s %s for %s, %d times over %d s; what was fetched is kept for the next check" % (
            self.described, reason, where(path), TRIES, time.time() - started))


def download(base, path, into, largest):
    """Asks for base + path and writes a 200 answer's body to the file into;
    returns the status and the Retry-After it gave. Follows a redirect only
    within base's scheme and host. Raises Late, or a Failure for an answer
    larger than largest or a redirect elsewhere."""
    address = base + urllib.parse.quote(path, safe="/:+~%")
    home = urllib.parse.urlsplit(base)[:2]
    for _ in range(REDIRECTS + 1):
        parts = urllib.parse.urlsplit(address)
        kind = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
        options = {"context": ssl.create_default_context()} if parts.scheme == "https" else {}
        connection = kind(parts.hostname, parts.port, timeout=STALL, **options)
        try:
            connection.connect()
            watchdog = Watchdog(connection)
            try:
                connection.request("GET", urllib.parse.urlunsplit(("", "", parts.path, parts.query, "")),
                                   headers={"User-Agent": "verify-release", "Accept-Encoding": "identity"})
                answer = connection.getresponse()
                if answer.status in (301, 302, 303, 307, 308):
                    address = urllib.parse.urljoin(address, answer.getheader("Location", ""))
                    if urllib.parse.urlsplit(address)[:2] != home:
                        raise Failure("%s redirected the check to another host or scheme (%s)" % (
                            urllib.parse.urlunsplit(home + ("/", "", "")), address[:200]))
                    continue
                if answer.status != 200:
                    return answer.status, (answer.getheader("Retry-After") or "").strip()
                length = answer.getheader("Content-Length", "")
                if length.isdigit() and int(length) > largest:
                    raise Failure("the answer for %s is larger than %d MiB" % (where(path), largest // 1024 ** 2))
                written = 0
                while True:
                    block = answer.read(64 * 1024)
                    if not block:
                        break
                    watchdog.arrived(len(block))
                    written += len(block)
                    if written > largest:
                        raise Failure("the answer for %s is larger than %d MiB" % (where(path), largest // 1024 ** 2))
                    into.write(block)
                if watchdog.late:
                    raise Late(watchdog.late)
                return 200, ""
            except (OSError, http.client.HTTPException):
                if watchdog.late:
                    raise Late(watchdog.late)
                raise
            finally:
                watchdog.stop()
        finally:
            connection.close()
    raise Failure("%s redirected the check more than %d times" % (where(path), REDIRECTS))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).lstrip("/")
        try:
            data = self.server.store.open(path)
        except Failure:
            self.send_error(404)
            return
        with data:
            self.send_response(200)
            self.send_header("Content-Length", str(os.fstat(data.fileno()).st_size))
            self.end_headers()
            while True:
                block = data.read(1024 * 1024)
                if not block:
                    break
                self.wfile.write(block)

    def log_message(self, *arguments):
        pass


class Server:
    """Serves a Store on the loopback while the root is made."""

    def __init__(self, store):
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.server.store = store
        self.address = "http://127.0.0.1:%d/" % self.server.server_address[1]

    def __enter__(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exception):
        self.server.shutdown()
        self.server.server_close()


def answer(store, path, fresh=False):
    """The service's JSON answer at path, as its "result". One that cannot be
    read is not kept, so that the next check asks again."""
    with store.open(path, fresh) as file:
        data = file.read(LARGEST_ANSWER + 1)
    try:
        return json.loads(data)["result"]
    except (ValueError, KeyError, TypeError):
        store.drop(path)
        raise Failure("%s gave no readable answer at %s" % (store.described, path))


def first_snapshot(store, archive, moment):
    """The first snapshot of archive taken at or after moment."""
    for fresh in (False, True):
        times = answer(store, "mr/timestamp/", fresh)
        times = times.get(archive, []) if isinstance(times, dict) else []
        later = sorted(time_ for time_ in times if isinstance(time_, str) and re.fullmatch(TIMESTAMP, time_)
                       and time_ >= moment)
        if later:
            return later[0]
        if not store.upstream:
            break
    raise Failure("%s lists no snapshot of %s taken at or after %s" % (store.described, archive, moment))


def keep(root, into):
    """Lays out what apt in the root at root used, as the snapshot archive
    does, in the folder into: the signed indices as fetched, the package
    indices they sign (also under their hash, where apt asks for them) and
    the .debs at their places in the pool. Each archive lies at the newest
    date of its indices, so that each recorded state finds it."""
    lists = os.path.join(root, "var", "lib", "apt", "lists")
    cache = os.path.join(root, "var", "cache", "apt", "archives")
    indices = debian.indices(lists)
    newest = {}
    for archive, _, moment in indices.values():
        newest[archive] = max(newest.get(archive, moment), moment)
    debs = {name for name in os.listdir(cache) if name.endswith(".deb")}
    for prefix, (archive, suite, _) in sorted(indices.items()):
        base = os.path.join(into, "archive", archive, newest[archive])
        signed = prefix + "InRelease" if os.path.isfile(os.path.join(lists, prefix + "InRelease")) else None
        if not signed:
            continue
        place(os.path.join(lists, signed), os.path.join(base, "dists", suite, "InRelease"))
        for name in sorted(os.listdir(lists)):
            if not (name.startswith(prefix) and name.endswith("_Packages")):
                continue
            relative = name[len(prefix):].replace("_", "/")
            with open(os.path.join(lists, name), "rb") as file:
                text = file.read()
            for target in (relative, os.path.join(os.path.dirname(relative), "by-hash", "SHA256",
                                                  hashlib.sha256(text).hexdigest())):
                place(os.path.join(lists, name), os.path.join(base, "dists", suite, target))
            for stanza in text.decode("utf-8", "replace").split("\n\n"):
                fields = dict(re.findall(r"(?m)^(Package|Version|Architecture|Filename|SHA256): (\S+)$", stanza))
                if len(fields) < 5:
                    continue
                deb = "%s_%s_%s.deb" % (fields["Package"], fields["Version"].replace(":", "%3a"),
                                        fields["Architecture"])
                if deb in debs and ".." not in fields["Filename"].split("/") and \
                        sha256_of(os.path.join(cache, deb)) == fields["SHA256"]:
                    place(os.path.join(cache, deb), os.path.join(base, fields["Filename"]))


def publish(kept, into):
    """Adds an archive that keep() laid out to the folder into, written only
    inside it, and lists the dates of every archive there as the service
    lists its snapshots. Raises folders.Linked for a link in the way."""
    for folder, _, files in os.walk(os.path.join(kept, "archive")):
        for name in sorted(files):
            source = os.path.join(folder, name)
            if os.path.isfile(source) and not os.path.islink(source):
                folders.copy(source, into, os.path.relpath(source, kept).replace(os.sep, "/"))
    times = {archive: sorted(name for name in folders.names(into, "archive/" + archive)
                             if re.fullmatch(TIMESTAMP, name))
             for archive in sorted(folders.names(into, "archive")) if re.fullmatch(NAME, archive)}
    folders.write(into, "mr/timestamp/index.html", json.dumps({"result": times}).encode())


def place(source, target):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(source, target)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1024 * 1024), b""):
            digest.update(block)
    return digest.hexdigest()


def failure(said, store):
    """What failed, from what apt said while the root was made from the
    store: an index whose signature does not hold, a file that does not
    match its index, or a file the store could not give. A rejected file is
    dropped from the cache, so that the next check fetches it again."""
    def path_of(address):
        return urllib.parse.unquote(urllib.parse.urlsplit(address).path).lstrip("/")

    def rejected(path):
        store.drop(path)

    def index(found):
        """The signed index that apt names as "ADDRESS SUITE InRelease"."""
        return "%s/dists/%s/InRelease" % (path_of(found.group(1)).rstrip("/"), found.group(2))

    # apt 2 says "GPG error", apt 3 "OpenPGP signature verification failed".
    signature = re.search(r"(?:GPG error|OpenPGP signature verification failed): (\S+) (\S+) InRelease: ([^\n]*)", said)
    if signature:
        path = index(signature)
        rejected(path)
        if "REVKEYSIG" in signature.group(3):
            return "the signature of %s was made by a revoked key, which is never trusted" % where(path)
        if "NO_PUBKEY" in signature.group(3):
            return "the signature of %s was made by a key that is not trusted (not one of Debian's archive keys, " \
                   "nor one given with --keyring)" % where(path)
        return "the signature of %s does not hold: %s" % (where(path), signature.group(3).strip()[:300])
    unsigned = re.search(r"The repository '(\S+) (\S+) InRelease' is not signed", said)
    if unsigned:
        return "%s is not signed" % where(index(unsigned))
    absent = re.search(r"The repository '(\S+) (\S+) Release' does not have a Release file", said)
    if absent:
        return store.failures.get(index(absent), "%s is not in %s" % (where(index(absent)), store.described))
    mismatch = re.search(r"Failed to fetch (\S+)\s+(Hash Sum mismatch|File has unexpected size)", said)
    if mismatch:
        rejected(path_of(mismatch.group(1)))
        return "%s does not match Debian's signed index (%s)" % (where(path_of(mismatch.group(1))),
                                                                mismatch.group(2))
    for address in re.findall(r"Failed to fetch (\S+)", said):
        if path_of(address) in store.failures:
            return store.failures[path_of(address)]
    return next(iter(store.failures.values()), None) if "Failed to fetch" in said else None
