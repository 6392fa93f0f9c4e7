"""Where verify-release rebuilds a release: a clean Debian root that mmdebstrap
makes with exactly the recorded package versions, from Debian's mirror or,
where it no longer offers them or cannot be reached, from Debian's snapshot
archive or an archive kept from it; or, with --here, this machine, which must
hold them. Either way the builder's findings land in one folder, which is
returned."""

import glob
import hashlib
import json
import os
import re
import shutil
import subprocess

from common import debian
from verifier import folders
from verifier import inside
from verifier import results
from verifier import sandbox
from verifier import snapshot
from verifier.processes import run
from verifier.verdict import CANNOT_VERIFY, Refused, say, show, shown

# The release tools' folder: the verifier's parts and what it shares with the package target.
TOOLS = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))


# Debian's archive keys, today's and those removed since.
KEYRINGS = ("/usr/share/keyrings/debian-archive-keyring.gpg", "/usr/share/keyrings/debian-archive-removed-keys.gpg")
# The read of any keyring.
LARGEST_KEYRING = 16 * 1024 ** 2
# What the gpgv of apt's checks takes to be revoked, beside it (see gpgv_in_time).
REVOKED = "revoked"


class Unreached(Exception):
    """Debian's mirror does not offer the recorded versions, or cannot be reached."""


def clean_root(options, release, work):
    """Builds in a clean root, from Debian's mirror or, where it fails, from
    the snapshot archive; returns the folder of what the root's stages made,
    and what the signature stage found."""
    if not all(shutil.which(tool) for tool in ("mmdebstrap", "unshare", "bwrap")):
        raise Refused(CANNOT_VERIFY, "mmdebstrap, unshare and bwrap (bubblewrap) are needed to make a clean root "
                      "and build in it (scripts/bootstrap installs them on Debian).")
    # The root gets the verifier's own folder: the tools it runs there.
    for package in ("common", "verifier"):
        os.makedirs(os.path.join(work, "tools", package))
        for module in glob.glob(os.path.join(TOOLS, package, "*.py")):
            shutil.copy(module, os.path.join(work, "tools", package))
    if not (options.snapshot or options.archive):
        try:
            return attempt(options, release, work, None, None)
        except Unreached as reason:
            say("%s: the recorded versions are taken from Debian's snapshot archive instead" % reason)
    return from_snapshot(options, release, work)


def from_snapshot(options, release, work):
    """Builds in a clean root made from the snapshot archive at the
    recorded state of Debian's archive, or from a kept archive."""
    try:
        if options.archive:
            store = snapshot.Store(options.archive, None, "the kept archive %s" % options.archive)
        else:
            base = options.snapshot or snapshot.DEFAULT
            cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                                 "layercleanup-verify", hashlib.sha256(base.encode()).hexdigest()[:16])
            store = snapshot.Store(cache, base, "the snapshot archive at %s" % base)
            say("fetching from %s one request at a time, kept in %s for the next check" % (base, cache))
        snapshots = [(archive, snapshot.first_snapshot(store, archive, moment), suite)
                     for archive, suite, moment in release.states]
    except snapshot.Failure as failure:
        raise Refused(CANNOT_VERIFY, "%s, so nothing was built." % failure)
    with snapshot.Server(store) as server:
        lines = ["deb %sarchive/%s/%s/ %s main" % (server.address, archive, moment, suite)
                 for archive, moment, suite in snapshots]
        for archive, moment, suite in snapshots:
            say("%s %s: the snapshot of %s" % (archive, suite, moment))
        return attempt(options, release, work, lines, store)


def keys(home, path):
    """The keys in a keyring file, from GnuPG's machine-readable listing: for
    each, its fingerprint, whether it is revoked, its user ids, and its
    subkeys' fingerprints with whether each is revoked."""
    listing = subprocess.run(["gpg", "--homedir", home, "--batch", "--with-colons", "--fixed-list-mode",
                              "--show-keys", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True, errors="replace", check=False).stdout
    found, last = [], None
    for record in (line.split(":") for line in listing.splitlines()):
        if record[0] == "pub" and len(record) > 1:
            found.append({"revoked": record[1] == "r", "uids": [], "subkeys": []})
            last = found[-1]
        elif record[0] == "sub" and found and len(record) > 1:
            found[-1]["subkeys"].append([None, record[1] == "r"])
            last = found[-1]["subkeys"][-1]
        elif record[0] == "fpr" and last is not None and len(record) > 9:
            if isinstance(last, dict):
                last["fingerprint"] = record[9]
            else:
                last[0] = record[9]
            last = None
        elif record[0] == "uid" and found and len(record) > 9:
            found[-1]["uids"].append(record[9])
    return [key for key in found if key.get("fingerprint")]


def keyrings(options, release, work):
    """A folder of the keys that the release's suites are signed by: of
    Debian's, those that name its release (12/bookworm, say), today's and
    those removed since, and every key of the keyrings given. Beside the
    tools, the fingerprints of the revoked ones, whose signatures are never
    accepted."""
    if not shutil.which("gpg"):
        raise Refused(CANNOT_VERIFY, "gpg (GnuPG's) is needed to read the keyrings that the clean root's indices must "
                      "be signed by (scripts/bootstrap installs it on Debian).")
    folder, home = os.path.join(work, "keyrings"), os.path.join(work, "gnupg")
    if os.path.isdir(folder):  # made for the mirror, used again for the snapshot archive
        return folder
    os.mkdir(folder)
    os.mkdir(home, 0o700)
    fields = release.fields
    names = re.compile(r"\([0-9.]+/%s\)" % re.escape(fields["Build-Release"]))
    chosen, revoked, described = [], set(), []
    for path, given in [(path, False) for path in KEYRINGS if os.path.isfile(path)] + \
            [(os.path.abspath(path), True) for path in options.keyring or []]:
        copied = os.path.join(home, "%d.keyring" % len(os.listdir(home)))
        with open(path, "rb") as file, open(copied, "wb") as copy:
            copy.write(file.read(LARGEST_KEYRING))
        found = keys(home, copied)
        if given and not found:
            raise Refused(CANNOT_VERIFY, "--keyring %s holds no key that GnuPG can read." % shown(path))
        for key in found:
            if given or any(names.search(uid) for uid in key["uids"]):
                chosen.append(key["fingerprint"])
                described.append(key["uids"][0] if key["uids"] else key["fingerprint"])
            revoked |= {sub for sub, gone in key["subkeys"] if gone or key["revoked"]}
            if key["revoked"]:
                revoked.add(key["fingerprint"])
        subprocess.run(["gpg", "--homedir", home, "--batch", "--quiet", "--import", copied],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=False)
    if not chosen:
        raise Refused(CANNOT_VERIFY, "no key that signs Debian %s's archive was found: install debian-archive-keyring,"
                      " or name a keyring with --keyring." % shown(fields["Build-Release"]))
    with open(os.path.join(folder, "trusted.gpg"), "wb") as file:
        subprocess.run(["gpg", "--homedir", home, "--batch", "--export"] + chosen, stdout=file,
                       stderr=subprocess.DEVNULL, check=False)
    with open(os.path.join(work, "tools", "verifier", REVOKED), "w", encoding="ascii") as file:
        file.write("".join(fingerprint + "\n" for fingerprint in sorted(revoked)))
    say("trusting only these keys for Debian %s's archive: %s" % (fields["Build-Release"], "; ".join(described)))
    return folder


def attempt(options, release, work, sources, store):
    """Makes the clean root from Debian's mirror (sources None) or from the
    sources lines given, served from the store, and builds in it."""
    fields, pins = release.fields, release.pins
    names = {name for name, _ in pins}
    extras = ["python3"] + (["ca-certificates", "openssl"] + ([] if "osslsigncode" in names
                                                                      else ["osslsigncode"])
                                    if release.signed else [])
    for made in ("verify-out", "verify-archive", "plan.json"):
        subprocess.run(["rm", "-rf", "--one-file-system", os.path.join(work, made)], check=False)
    with open(os.path.join(work, "plan.json"), "w", encoding="utf-8") as file:
        json.dump({"pins": pins, "extras": extras, "signed": release.signed, "top": release.top,
                   "program": fields["Program"], "package": fields["Package"],
                   "keep": bool(options.keep_archive)}, file)
    argv = ["mmdebstrap", "--variant=apt", "--architectures=" + fields["Build-Architecture"],
            "--skip=essential/unlink",
            # The work folder's name is the verifier's own, a single word.
            '--customize-hook=cd %s/tools && python3 -B -m verifier.inside hook "$1"' % work,
            "--customize-hook=copy-out /verify-out " + work, "--customize-hook=copy-out /verify-archive " + work]
    if sources:
        if not shutil.which("gpgv"):
            raise Refused(CANNOT_VERIFY, "gpgv (GnuPG's) is needed to check the signatures of the snapshot archive's "
                          "indices (scripts/bootstrap installs it on Debian).")
        argv += ['--aptopt=Acquire::Check-Valid-Until "false"', '--aptopt=Acquire::Languages "none"',
                 '--aptopt=Acquire::http::Pipeline-Depth "0"', '--aptopt=Acquire::Retries "0"',
                 '--aptopt=Acquire::http::Proxy::127.0.0.1 "DIRECT"',
                 '--aptopt=Apt::Key::gpgvcommand "%s/tools/verifier/gpgv_in_time.py"' % work]
    argv += ["--keyring=" + keyrings(options, release, work)]
    argv += [fields["Build-Release"], "/dev/null"] + (sources or [])
    say("rebuilding %s in a clean Debian %s root with the buildinfo's %d package versions (about a minute)" % (
        release.source_name, fields["Build-Release"], len(pins)))
    log = os.path.join(work, "root.log")
    # mmdebstrap ends when the verifier does, however it ends. As root, its
    # mounts (the root's /proc, /sys, /dev) lie in a mount namespace of its
    # own, which goes with it, whatever stops it; unprivileged, it makes one.
    wrapped = ["setpriv", "--pdeathsig", "TERM", "--"] + argv
    if os.geteuid() == 0:
        wrapped = ["unshare", "--mount", "--propagation", "private", "--"] + wrapped
    # mmdebstrap's own temporary folder lies in the work folder too.
    status = run(wrapped, log, env=dict(os.environ, TMPDIR=work, **{inside.HOOK_WORK: work}))
    out = os.path.join(work, "verify-out")
    made = results.load(os.path.join(out, "root.json"))
    if made.get("missing"):
        show("\n".join(str(missing) for missing in made["missing"]),
             "these versions that the buildinfo records are not in %s" % (
                 "Debian's mirror" if store is None else store.described))
        if store is None:
            raise Unreached("Debian's mirror no longer offers them")
        raise Refused(CANNOT_VERIFY, "the recorded toolchain is not available, so nothing was built.")
    if status != 0 or not made.get("ran") or made.get("setup"):
        failed = store and snapshot.failure(results.tail(log) + str(made.get("setup", "")), store)
        if failed:
            raise Refused(CANNOT_VERIFY, "%s, so nothing was built." % failed)
        if made.get("setup"):
            show(str(made["setup"]), "what installing them in the clean root said")
            raise Refused(CANNOT_VERIFY, "the recorded packages could not be installed in the clean root (above).")
        if store is None:
            raise Unreached("the clean root could not be made from Debian's mirror")
        show(results.tail(log), "what making the clean root said")
        raise Refused(CANNOT_VERIFY, "the clean root could not be made (above).")
    reached = results.read(out, "limit", 16)
    if reached:
        show(inside.build_output(out), "what the build said")
        raise Refused(CANNOT_VERIFY, "the source's build was stopped at its limit of %s, so nothing was compared." %
                      sandbox.LIMITS.get(reached.decode("ascii", "replace"), "?"))
    if options.keep_archive:
        try:
            snapshot.publish(os.path.join(work, "verify-archive"), options.keep_archive)
        except folders.Linked as linked:
            raise Refused(CANNOT_VERIFY, "%s, where the kept archive would be written, so the check was not "
                          "finished." % linked)
        say("kept the Debian archive this check used in %s" % options.keep_archive)
    return out, inside.signature_findings(out) if release.signed else {}


def here(release, work, user):
    """Builds on this machine, which must hold the recorded versions; returns
    the folder of what the stages made, and what the signature stage found."""
    fields, pins = release.fields, release.pins
    codename, architecture = debian.release()[0], debian.architecture()
    if (codename, architecture) != (fields["Build-Release"], fields["Build-Architecture"]):
        raise Refused(CANNOT_VERIFY, "--here needs Debian %s on %s; this machine is %s on %s." % (
            fields["Build-Release"], fields["Build-Architecture"], shown(codename or "not Debian"),
            shown(architecture or "?")))
    installed = debian.installed(debian.ask(debian.installed_query(name for name, _ in pins)))
    wrong = [(name, version) for name, version in pins if installed.get(name) != version]
    for name, version in wrong:
        say("differs from the buildinfo here: %s %s (recorded: %s)" % (name, installed.get(name, "not installed"),
                                                                    version))
    if wrong:
        raise Refused(CANNOT_VERIFY, "this machine's packages are not the recorded versions (above), so --here "
                      "cannot check this release; run without --here.")
    say("--here: the source's own build now runs on this machine, as %s, with this machine's network and "
        "files within its reach; do this only with a source you would build anyway." % shown(user))
    folder, out = os.path.join(work, "inside"), os.path.join(work, "out")
    os.mkdir(out)
    found = {}
    if release.signed:
        inside.stage_signature(folder)
        # Read before the build, which runs as the same user and could change them.
        found = inside.signature_findings(folder)
    log = os.path.join(folder, "build.log")
    inside.stage_build(os.path.join(folder, "source", release.top), os.path.join(folder, "build"), log)
    inside.take_all(folder, [("build/" + fields["Program"], results.LARGEST_ENTRY)], out)
    inside.stage_package(os.path.join(folder, "build"), log, os.path.join(folder, "signature") if release.signed
                         else None)
    inside.take_all(folder, [("build/" + fields["Package"], results.LARGEST_ZIP)], out)
    with open(os.path.join(out, "build.log"), "w", encoding="utf-8") as file:
        file.write(results.tail(log))
    return out, found
