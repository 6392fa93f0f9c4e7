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
import http.server
import json
import os
import re
import shutil
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import debian

DEFAULT = "https://snapshot.debian.org/"
TIMESTAMP = r"[0-9]{8}T[0-9]{6}Z"
NAME = r"[A-Za-z0-9._+~%:-]+"
# What apt and this module ask for: a tree of an archive at a time, and the service's answers.
PATHS = re.compile(r"archive/(?:debian|debian-security)/%s/(?:dists|pool)(?:/%s)+|mr/(?:%s/)+" % (TIMESTAMP, NAME, NAME))
LARGEST = 512 * 1024 ** 2
TRIES = 6
FIRST_WAIT = 2  # seconds, doubled after each try
LONGEST_WAIT = 120
TIMEOUT = 60


class Failure(Exception):
    """A route to the recorded versions failed; the message says how."""


def where(path):
    """A file of the archive named from its archive on: debian/TIMESTAMP/pool/..."""
    return path[len("archive/"):] if path.startswith("archive/") else path


class Store:
    """The service's files by their paths in a folder, fetched from upstream
    (a base address) where the folder lacks them and there is one."""

    def __init__(self, folder, upstream, described):
        self.folder, self.upstream, self.described = folder, upstream, described
        self.lock = threading.Lock()
        self.failures = {}

    def local(self, path):
        return os.path.join(self.folder, path + ("index.html" if path.endswith("/") else ""))

    def get(self, path, fresh=False):
        """The local file that holds path; raises Failure."""
        if not PATHS.fullmatch(path) or any(part in (".", "..") for part in path.split("/")):
            raise Failure("%s is not a path of the snapshot archive" % path[:200])
        with self.lock:
            file = self.local(path)
            # Whoever keeps the folder may have put links in it: only its own regular files are served.
            inside = os.path.join(os.path.realpath(self.folder), os.path.relpath(file, self.folder))
            if os.path.lexists(file) and (os.path.realpath(file) != inside or not os.path.isfile(file)):
                raise self.failed(path, "%s is not a plain file in %s" % (where(path), self.described))
            if fresh or not os.path.isfile(file):
                if not self.upstream:
                    raise self.failed(path, "%s is not in %s" % (where(path), self.described))
                self.fetch(path, file)
            return file

    def failed(self, path, message):
        self.failures[path] = message
        return Failure(message)

    def fetch(self, path, file):
        started, reason = time.time(), ""
        for attempt in range(TRIES):
            wait = FIRST_WAIT * 2 ** attempt
            try:
                request = urllib.request.Request(self.upstream + path, headers={"User-Agent": "verify-release"})
                with urllib.request.urlopen(request, timeout=TIMEOUT) as answer:
                    os.makedirs(os.path.dirname(file), exist_ok=True)
                    with open(file + ".part", "wb") as copy:
                        while True:
                            block = answer.read(1024 * 1024)
                            if not block:
                                break
                            if copy.tell() + len(block) > LARGEST:
                                raise self.failed(path, "%s is larger than any file of the archive" % where(path))
                            copy.write(block)
                os.replace(file + ".part", file)
                return
            except urllib.error.HTTPError as error:
                if error.code == 404:
                    raise self.failed(path, "%s is not in %s (HTTP 404)" % (where(path), self.described))
                if error.code != 429 and error.code < 500:
                    raise self.failed(path, "%s answered HTTP %d for %s" % (self.described, error.code, where(path)))
                reason = "rate-limited the check (HTTP 429)" if error.code == 429 else \
                    "answered HTTP %d" % error.code
                later = (error.headers.get("Retry-After") or "").strip()
                wait = max(wait, int(later) if later.isdigit() else 0)
            except (urllib.error.URLError, OSError) as error:
                reason = "could not be reached (%s)" % getattr(error, "reason", error)
            if attempt + 1 < TRIES:
                time.sleep(min(wait, LONGEST_WAIT))
        raise self.failed(path, "%s %s for %s, %d times over %d s; what was fetched is kept for the next check" % (
            self.described, reason, where(path), TRIES, time.time() - started))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).lstrip("/")
        try:
            file = self.server.store.get(path)
        except Failure:
            self.send_error(404)
            return
        with open(file, "rb") as data:
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
    """The service's JSON answer at path, as its "result"."""
    try:
        with open(store.get(path, fresh), "rb") as file:
            found = json.loads(file.read(64 * 1024 ** 2))
        return found["result"]
    except (OSError, ValueError, KeyError, TypeError):
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


def first_seen(store, pins, architecture):
    """For a buildinfo that did not record the archive's state: for each
    archive, the moment by which every pin it was first to hold had arrived,
    from the service's record of each pinned file."""
    moments = {}
    for name, version in pins:
        quoted = urllib.parse.quote(version, safe="")
        sources = [found for found in answer(store, "mr/binary/%s/" % name)
                   if isinstance(found, dict) and found.get("binary_version") == version]
        seen = []
        for source in sources[:1]:
            for made in answer(store, "mr/package/%s/%s/binfiles/%s/%s/" % (
                    source.get("source"), urllib.parse.quote(str(source.get("version")), safe=""), name, quoted)):
                if isinstance(made, dict) and made.get("architecture") in (architecture, "all"):
                    seen += [place for place in answer(store, "mr/file/%s/info/" % made.get("hash"))
                             if isinstance(place, dict)]
        seen = [(place.get("first_seen", ""), place.get("archive_name")) for place in seen
                if re.fullmatch(TIMESTAMP, str(place.get("first_seen"))) and place.get("archive_name")
                in ("debian", "debian-security")]
        if not seen:
            raise Failure("%s has no record of %s %s" % (store.described, name, version))
        moment, archive = min(seen)
        moments[archive] = max(moments.get(archive, moment), moment)
    return moments


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
    """Adds an archive that keep() laid out to the folder into, and lists
    the dates of every archive there as the service lists its snapshots."""
    shutil.copytree(os.path.join(kept, "archive"), os.path.join(into, "archive"), dirs_exist_ok=True)
    times = {archive: sorted(name for name in os.listdir(os.path.join(into, "archive", archive))
                             if re.fullmatch(TIMESTAMP, name))
             for archive in sorted(os.listdir(os.path.join(into, "archive")))}
    listed = os.path.join(into, "mr", "timestamp", "index.html")
    os.makedirs(os.path.dirname(listed), exist_ok=True)
    with open(listed, "w", encoding="utf-8") as file:
        json.dump({"result": times}, file)


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
        if store.upstream and PATHS.fullmatch(path) and os.path.isfile(store.local(path)):
            os.remove(store.local(path))

    def index(found):
        """The signed index that apt names as "ADDRESS SUITE InRelease"."""
        return "%s/dists/%s/InRelease" % (path_of(found.group(1)).rstrip("/"), found.group(2))

    # apt 2 says "GPG error", apt 3 "OpenPGP signature verification failed".
    signature = re.search(r"(?:GPG error|OpenPGP signature verification failed): (\S+) (\S+) InRelease: ([^\n]*)", said)
    if signature:
        path = index(signature)
        rejected(path)
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
