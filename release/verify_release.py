#!/usr/bin/env python3
"""Checks that a LayerCleanup release is the build of its source.

    verify-release [--source FILE] [--buildinfo FILE] [--signer FINGERPRINT]
                   [--here | --snapshot BASE | --archive DIR] [--keep-archive DIR]
                   [--keyring FILE]... PACKAGE.zip

Takes the program's ZIP, the source ZIP and the buildinfo published beside
it, and rebuilds the whole ZIP from the source in a clean Debian root (made
by mmdebstrap) holding exactly the package versions that the buildinfo
records: the build runs there in a bubblewrap sandbox, as nobody, without a
network, within limits of time, memory and space, and sees nothing of the
published files.
For a signed program the signature is checked (intact, made with the key of
the one certificate it names, and not joined by another signature), then
taken out of the published program and attached to the rebuilt one. The two ZIPs are compared byte for byte: the program,
readme.txt, LICENSE.txt, SHA256SUMS, the entries and the ZIP's structure.

The last line is the verdict, and the status says the same:
    VERIFIED: ...        0  the ZIP is, byte for byte, the build of the source
    NOT VERIFIED: ...    1  it is shown not to be (a byte differs, the signature
                            does not match, a file is malformed, another signer)
    usage errors         2
    CANNOT VERIFY: ...   3  the check could not be made (a recorded version in
                            no archive, an archive unreachable, rate-limited,
                            too slow or redirecting elsewhere, an index not
                            signed by a trusted key or by a revoked one, a .deb
                            that does not match it, a link where the check
                            writes, a build that failed or passed a limit,
                            interrupted)

  --source, --buildinfo  the source ZIP and the buildinfo, when they are not
                         beside PACKAGE.zip under their published names
  --signer FINGERPRINT   the SHA-256 fingerprint of the certificate that must
                         have signed the program (hex, with or without colons)
  --here                 build on this machine, as the current user, with its
                         own packages (seconds instead of a minute), which must
                         be the recorded versions
  --snapshot BASE        take the packages from the snapshot archive at BASE
                         (a mirror of Debian's, https://snapshot.debian.org/,
                         which is used anyway where Debian's mirror no longer
                         offers a recorded version or cannot be reached)
  --archive DIR          take them from DIR, an archive kept with --keep-archive,
                         with no network at all
  --keep-archive DIR     keep in DIR what the check used: Debian's signed
                         indices as fetched and the .debs, for --archive later
  --keyring FILE         trust this keyring's keys too, besides Debian's archive
                         keys that name the release (removed ones included)

Everything it is handed is treated as hostile: the buildinfo must be exactly
of its format, the ZIPs well formed and unpacked inside the verifier's own
folder, and nothing read from them becomes part of a shell command. Run a
copy of this script that you obtained independently of the files under
check, never the one inside the source ZIP being checked.

Needs python3, mmdebstrap for the clean root, bubblewrap for the sandbox
the build runs in, util-linux (unshare, setpriv, prlimit), gpg and Debian's
archive keyrings, and for the snapshot archive gpgv. Works as root, and
without root where user namespaces allow. This file reads the command line
and gives the verdict; its parts lie in verifier/ beside it (published.py
checks the published files, clean_root.py makes the place the source is
built in, from snapshot.py's archives where Debian's mirror fails, and
inside.py runs there), and what it shares with the package target (the
buildinfo's format, signatures, Debian's package tools) in common/.
"""

import argparse
import os
import pwd
import re
import signal
import stat
import subprocess
import sys
import time

sys.dont_write_bytecode = True
from verifier import clean_root  # noqa: E402
from verifier import folders  # noqa: E402
from verifier import inside  # noqa: E402
from verifier import leftovers  # noqa: E402
from verifier import published  # noqa: E402
from verifier import results  # noqa: E402
from verifier.verdict import (CANNOT_VERIFY, NOT_VERIFIED, VERIFIED, Interrupted, Refused, Verdict,  # noqa: E402
                     say, show, shown)


def colons(fingerprint):
    return ":".join(fingerprint[at:at + 2] for at in range(0, len(fingerprint), 2)).upper()


def interrupted(number, frame):
    raise Interrupted()


def arguments():
    parser = argparse.ArgumentParser(prog="verify-release", usage=__doc__.split("\n\n")[1].strip(),
                                     add_help=True)
    parser.add_argument("package")
    parser.add_argument("--source")
    parser.add_argument("--buildinfo")
    parser.add_argument("--signer")
    parser.add_argument("--here", action="store_true")
    parser.add_argument("--snapshot")
    parser.add_argument("--archive")
    parser.add_argument("--keep-archive")
    parser.add_argument("--keyring", action="append")
    options = parser.parse_args()
    if sum(map(bool, (options.here, options.snapshot, options.archive))) > 1:
        parser.error("--here, --snapshot and --archive are different routes: name one")
    if options.here and (options.keep_archive or options.keyring):
        parser.error("--keep-archive and --keyring are for a clean root, not --here")
    if options.archive is not None and not os.path.isfile(os.path.join(options.archive, "mr", "timestamp",
                                                                      "index.html")):
        parser.error("%s is not an archive kept with --keep-archive" % shown(options.archive))
    for keyring in options.keyring or []:
        if not os.path.isfile(keyring):
            parser.error("--keyring %s: no such file" % shown(keyring))
    if options.keep_archive is not None:
        os.makedirs(options.keep_archive, exist_ok=True)
        options.keep_archive = os.path.abspath(options.keep_archive)
    if options.archive is not None:
        options.archive = os.path.abspath(options.archive)
    if options.signer is not None:
        options.signer = options.signer.replace(":", "").lower()
        if not re.fullmatch(r"[0-9a-f]{64}", options.signer):
            parser.error("--signer takes a SHA-256 fingerprint: 64 hexadecimal digits, with or without colons")
    if options.snapshot is not None and not re.fullmatch(r"https?://[A-Za-z0-9._~:/?#@!$&()*+,;=%-]+",
                                                         options.snapshot):
        parser.error("--snapshot takes an http:// or https:// address")
    if options.snapshot is not None and not options.snapshot.endswith("/"):
        options.snapshot += "/"
    stem, platform = re.fullmatch(r"(.*)-([^-/]*)\.zip", options.package).groups() \
        if re.fullmatch(r".*-[^-/]*\.zip", options.package) else (options.package, "win32")
    options.source = options.source or stem + "-source.zip"
    options.buildinfo = options.buildinfo or "%s-%s.buildinfo" % (stem, platform)
    for path in (options.package, options.source, options.buildinfo):
        if not os.path.lexists(path):
            parser.error("%s does not exist; name the source ZIP and the buildinfo with --source and --buildinfo"
                         % shown(path))
        if not stat.S_ISREG(os.lstat(path).st_mode):
            parser.error("%s is not a regular file (a link, a folder or a device); name the file itself" %
                         shown(path))
    return options


def signer(found, program, wanted):
    """The fingerprint of the certificate whose key made the program's
    signature, from what the signature stage found; Refused where there is
    not exactly one such certificate or it is not the one wanted."""
    if not found.get("signed"):
        raise Refused(NOT_VERIFIED, "%s is not signed, but the buildinfo says otherwise." % program)
    if found.get("signers", 1) != 1 or found.get("nested"):
        raise Refused(NOT_VERIFIED, "%s carries more than one signature (one inside another, or several "
                      "signers), and Windows would show each; a release is signed once." % program)
    made_by = found.get("made_by") or []
    if len(made_by) != 1:
        show(found.get("log", ""), "what checking the signature said")
        raise Refused(NOT_VERIFIED, "the signature of %s does not match its contents, or not the certificate it "
                      "names." % program)
    if found.get("ambiguous"):
        raise Refused(NOT_VERIFIED, "the signature of %s names its signer so that more than one certificate it "
                      "carries fits (the same serial number and issuer, letter case and spacing aside), so which "
                      "one it names is not certain." % program)
    if wanted and made_by[0] != wanted:
        raise Refused(NOT_VERIFIED, "%s is signed by the certificate with SHA-256 fingerprint %s, not by the one "
                      "you named." % (program, colons(made_by[0])))
    if found.get("unsigned") is None:
        raise Refused(CANNOT_VERIFY, "the signature could not be taken out of %s." % program)
    return made_by[0]


def verify(options, work):
    linked = options.keep_archive and folders.first_link(options.keep_archive)
    if linked:
        return Verdict(CANNOT_VERIFY, "%s holds a link, %s, where the kept archive would be written, so nothing was "
                       "checked." % (options.keep_archive, linked))
    release = published.Release(options.package, options.source, options.buildinfo)
    fields, program_name = release.fields, release.fields["Program"]
    if options.signer and not release.signed:
        return Verdict(NOT_VERIFIED, "%s is not signed, so not by the certificate you named." % program_name)
    stages = os.path.join(work, "inside")
    os.makedirs(os.path.join(stages, "source"))
    published.unpack_source(release.source_data, release.source_name, release.top, os.path.join(stages, "source"))
    with open(os.path.join(stages, "packaged.exe"), "wb") as file:
        file.write(release.program)

    started = time.time()
    out, found = clean_root.here(release, work, user()) if options.here else \
        clean_root.clean_root(options, release, work)
    say("finished in %d s" % (time.time() - started))

    if release.signed:
        fingerprint = signer(found, program_name, options.signer)
    # Whatever the build left, only a regular file within bounds counts.
    rebuilt_program = results.read(out, program_name, results.LARGEST_ENTRY)
    if rebuilt_program is None:
        show(inside.build_output(out), "what the build said")
        return Verdict(CANNOT_VERIFY, "%s did not build (its output is above), so nothing was compared." %
                       release.source_name)
    if rebuilt_program != (found["unsigned"] if release.signed else release.program):
        return Verdict(NOT_VERIFIED, "%s in %s is NOT the program that %s builds." % (
            program_name, release.package_name, release.source_name))
    rebuilt = results.read(out, fields["Package"], results.LARGEST_ZIP)
    if rebuilt is None:
        show(inside.build_output(out), "what the build said")
        return Verdict(CANNOT_VERIFY, "the package could not be made again (the output is above), so it was not "
                       "compared.")
    if rebuilt != release.published:
        return Verdict(NOT_VERIFIED, "%s is NOT, byte for byte, the package that %s builds: %s." % (
            release.package_name, release.source_name, published.difference(release.entries, rebuilt)))
    if not release.signed:
        return Verdict(VERIFIED, "%s is, byte for byte, the package that %s builds." % (
            release.package_name, release.source_name))
    # The name is the certificate's own word: shown on a line of its own, never in the verdict.
    say("the signing certificate calls itself \"%s\"" % shown(found.get("subject", "")).replace("\"", "\\\""))
    whose = ("the certificate you named, SHA-256 fingerprint %s" if options.signer
             else "the certificate with SHA-256 fingerprint %s") % colons(fingerprint)
    return Verdict(VERIFIED, "%s is, byte for byte, the package that %s builds, its program signed by %s; "
                   "whether to trust that certificate is for Windows to judge." % (
                       release.package_name, release.source_name, whose))


def user():
    try:
        return pwd.getpwuid(os.getuid()).pw_name
    except KeyError:
        return "user %d" % os.getuid()


def main():
    # Every tool it starts is read in one language: a checker's never changes a verdict or its reason.
    for name in [name for name in os.environ if name in ("LANG", "LANGUAGE") or name.startswith("LC_")]:
        del os.environ[name]
    os.environ["LC_ALL"] = "C.UTF-8"
    sys.stdout.reconfigure(errors="backslashreplace")
    options = arguments()
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    # The folder is one that the hook can read where mmdebstrap runs
    # unprivileged, and a path that mmdebstrap's hooks take as one word.
    os.umask(0o022)
    temporary = os.environ.get("TMPDIR", "/tmp")
    temporary = temporary if re.fullmatch(r"/[A-Za-z0-9/._-]*", temporary) else "/tmp"
    swept = leftovers.sweep(temporary)
    if swept:
        say(swept)
    work, lock = leftovers.make(temporary)
    os.chmod(work, 0o711)
    try:
        verdict = verify(options, work)
    except Refused as refusal:
        verdict = refusal.verdict
    except Interrupted:
        verdict = Verdict(CANNOT_VERIFY, "the check was interrupted, so nothing was decided.")
    except Exception as error:  # a verdict, never a traceback, whatever the release makes happen
        verdict = Verdict(CANNOT_VERIFY, "the check failed unexpectedly (%s), so nothing was decided." %
                          type(error).__name__)
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        # Never into a mount that a failed clean root may have left.
        subprocess.run(["rm", "-rf", "--one-file-system", work], stderr=subprocess.DEVNULL, check=False)
        os.close(lock)
    print(verdict.line(), flush=True)
    return verdict.status


if __name__ == "__main__":
    sys.exit(main())
