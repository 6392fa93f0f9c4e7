"""Makes the release: the program's ZIP, the source ZIP and the buildinfo.

NAME-VERSION-PLATFORM.zip holds the program, readme.txt, LICENSE.txt and
SHA256SUMS. NAME-VERSION-source.zip holds the sources the program was built
from, under one folder NAME-VERSION/: in a git checkout its tracked files as
they stand, elsewhere (an extracted source ZIP, say) every file but build/.
NAME-VERSION-PLATFORM.buildinfo records, as "Key: value" lines, what a
rebuild needs to give the same program: the checksums, the source date, the
Debian release, the exact versions of the packages that decide the
program's bytes, and the state of Debian's archive they came from (the date
of each signed index apt had), where a checker finds them years later.
Nothing of the machine or the person: no paths, host or user names, or times
other than the source date.

The same inputs give the same bytes wherever and whenever they are made: ZIP
entries come in a fixed order, carry the fixed SOURCE_DATE_EPOCH as their time
and fixed permissions, and nothing else of the machine. They are stored, not
deflated, so that no compressor's version decides the bytes.

When LAYERCLEANUP_SIGN_CERT (a PEM certificate chain) and LAYERCLEANUP_SIGN_KEY
are set, the program is signed with osslsigncode (Authenticode, SHA-256)
before it is checksummed and zipped. The key is a PEM private key file, or a
PKCS#11 URI ("pkcs11:token=...;object=...;type=private") of a key held on a
token, whose module LAYERCLEANUP_SIGN_PKCS11_MODULE names.
LAYERCLEANUP_SIGN_KEY_PASSWORD (the key's password or the token's PIN) and
LAYERCLEANUP_SIGN_TIMESTAMP_URL are optional. The password reaches
osslsigncode through a pipe, never a command line or a file, and nothing of
the key is written anywhere.

The packaged program is always the unsigned one with a signature attached by
osslsigncode's attach-signature: when signing, the signature just made; with
LAYERCLEANUP_SIGNATURE, the one in that file (a PKCS#7 signature, PEM as
osslsigncode's extract-signature -pem writes it, or DER), which is how a
published release is rebuilt with its signature. Either way the same tool
makes the same bytes.

The buildinfo records every package that decides the release's bytes; a
release whose recorded versions Debian's archive does not offer could be
checked by nobody, so it is refused unless --allow-unavailable says that it
will not be published (the suite's own packages, a verifier's rebuild).
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

# Compiled modules would land beside the sources, and so in the source ZIP.
sys.dont_write_bytecode = True
from common import buildinfo  # noqa: E402
from common import debian  # noqa: E402
from common import signature  # noqa: E402

SIGNING = ("LAYERCLEANUP_SIGN_CERT", "LAYERCLEANUP_SIGN_KEY")
PKCS11_MODULE = "LAYERCLEANUP_SIGN_PKCS11_MODULE"
PASSWORD = "LAYERCLEANUP_SIGN_KEY_PASSWORD"
TIMESTAMP_URL = "LAYERCLEANUP_SIGN_TIMESTAMP_URL"
SIGNATURE = "LAYERCLEANUP_SIGNATURE"

EXECUTABLE = 0o100755
READABLE = 0o100644

def fail(message):
    sys.exit("package: " + message)


def osslsigncode():
    return shutil.which("osslsigncode") or fail("osslsigncode is needed to sign (scripts/bootstrap installs it)")


def sign(unsigned, signed, name, url):
    """Signs the program with the certificate and key the environment names."""
    cert, key = (os.environ.get(variable, "") for variable in SIGNING)
    if not cert or not key:
        fail("set both %s and %s to sign, or neither" % SIGNING)
    command = [osslsigncode(), "sign", "-certs", cert, "-key", key, "-h", "sha256", "-n", name]
    if key.startswith("pkcs11:"):
        module = os.environ.get(PKCS11_MODULE) or fail("a key on a token needs %s, its PKCS#11 module" % PKCS11_MODULE)
        command += ["-pkcs11module", module]
    if url:
        command += ["-i", url]
    if os.environ.get(TIMESTAMP_URL):
        command += ["-ts", os.environ[TIMESTAMP_URL]]
    passing = ()
    if PASSWORD in os.environ:
        reading, writing = os.pipe()
        os.write(writing, os.environ[PASSWORD].encode())
        os.close(writing)
        command += ["-readpass", "/dev/fd/%d" % reading]
        passing = (reading,)
    environment = {variable: value for variable, value in os.environ.items() if variable != PASSWORD}
    result = subprocess.run(command + ["-in", unsigned, "-out", signed], pass_fds=passing, env=environment,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    for descriptor in passing:
        os.close(descriptor)
    if result.returncode != 0:
        fail("osslsigncode could not sign the program:\n" + result.stdout)


def run_osslsigncode(arguments, what):
    result = subprocess.run([osslsigncode()] + arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        fail("osslsigncode could not %s:\n%s" % (what, result.stdout))


def attach(unsigned, signature_file, signed, private):
    """Attaches the signature in signature_file to the unsigned program.

    osslsigncode checks a signature before it attaches one: against the
    certificates the signature carries and the system's roots, at a moment
    when all of those certificates were valid, so that a signature whose
    certificate has since expired is attached all the same. Whether the
    certificate deserves trust is for Windows to say, not for this step."""
    pem = os.path.join(private, "signature.pem")
    try:
        signature.as_pem(signature_file, pem)
        certificates = signature.carried(pem)
    except signature.Unreadable as error:
        fail("cannot attach the signature: %s" % error)
    if not certificates:
        fail("cannot attach the signature: it carries no certificate")
    anchors = os.path.join(private, "anchors.pem")
    signature.write_anchors(certificates, anchors)
    run_osslsigncode(["attach-signature", "-sigin", pem, "-CAfile", anchors,
                      "-time", str(signature.valid_moment(certificates)), "-in", unsigned, "-out", signed],
                     "attach the signature")


def packaged_program(program, name, url):
    """The program as packaged, and whether it is signed."""
    given = os.environ.get(SIGNATURE, "")
    if given and any(os.environ.get(variable) for variable in SIGNING):
        fail("set %s or the signing variables, not both" % SIGNATURE)
    if not given and not any(os.environ.get(variable) for variable in SIGNING):
        return program, False
    with tempfile.TemporaryDirectory(prefix="layercleanup-sign.") as private:
        unsigned, signed = os.path.join(private, "unsigned.exe"), os.path.join(private, "signed.exe")
        with open(unsigned, "wb") as file:
            file.write(program)
        if not given:
            sign(unsigned, signed, name, url)
            given = os.path.join(private, "signature")
            status, said = signature.extract(signed, given)
            if status != 0:
                fail("osslsigncode could not extract the signature:\n" + said)
            os.remove(signed)
        attach(unsigned, given, signed, private)
        with open(signed, "rb") as file:
            return file.read(), True


def entry(name, mode, epoch):
    info = zipfile.ZipInfo(name, date_time=time.gmtime(epoch)[:6])
    info.create_system = 3  # Unix, so that the mode below is what the entry says
    info.external_attr = mode << 16
    info.compress_type = zipfile.ZIP_STORED
    return info


def write_zip(path, contents, epoch):
    """Writes (name, mode, data) entries in the order given; a failure leaves no file."""
    partial = path + ".part"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, mode, data in contents:
            archive.writestr(entry(name, mode, epoch), data)
    os.replace(partial, path)


def source_files(root):
    """The sources' relative paths: a checkout's tracked files, or every file outside build/."""
    listed = subprocess.run(["git", "-C", root, "rev-parse", "--show-toplevel"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, check=False) if shutil.which("git") else None
    if listed and listed.returncode == 0 and os.path.samefile(listed.stdout.strip(), root):
        tracked = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached"], stdout=subprocess.PIPE,
                                 check=True).stdout.decode().split("\0")
        # A tracked file deleted in the work tree is not part of the sources as they stand.
        return sorted(path for path in tracked if path and os.path.isfile(os.path.join(root, path)))
    found = []
    for folder, folders, files in os.walk(root):
        if folder == root:
            folders[:] = [name for name in folders if name not in ("build", ".git")]
        found += [os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/") for name in files]
    return sorted(found)


def source_contents(root, top):
    contents = []
    for path in source_files(root):
        full = os.path.join(root, path)
        with open(full, "rb") as file:
            data = file.read()
        mode = EXECUTABLE if os.stat(full).st_mode & 0o100 else READABLE
        contents.append(("%s/%s" % (top, path), mode, data))
    return contents


def debian_release():
    codename, version = debian.release()
    if not codename:
        fail("the buildinfo records Debian's package versions: package on Debian")
    return codename, version


def installed_versions(packages):
    versions = debian.installed(debian.ask(debian.installed_query(packages)))
    missing = [package for package in packages if not versions.get(package)]
    if missing:
        fail("cannot tell the installed version of " + ", ".join(missing))
    return [(package, versions[package]) for package in packages]


def check_available(recorded, listing, allowed):
    missing = debian.unavailable(recorded, listing)
    if not missing:
        return
    listing = "\n".join("    %s %s (the archive offers %s)" % (name, version, ", ".join(offered) or "none")
                        for name, version, offered in missing)
    if allowed:
        print("package: note: nobody could check this release, Debian's archive lacks the recorded\n%s" % listing)
        return
    upgrade = " ".join("%s=%s" % (name, offered[0]) for name, _, offered in missing if offered)
    fail("Debian's archive, as apt sees it, lacks these recorded versions of the packages that decide the\n"
         "release's bytes, so nobody could rebuild this release to check it:\n%s\n"
         "Bring this machine up to date and package again:\n"
         "    apt-get update && apt-get install %s\n"
         "(A package that will not be published may be made all the same: configure with\n"
         "-DLAYERCLEANUP_REQUIRE_ARCHIVE_VERSIONS=OFF.)" % (listing, upgrade or "..."))


def archive_state(recorded, release, allowed):
    """The (archive, suite, timestamp) of each part of Debian's archive that
    a checker rebuilds from, as this machine's apt last fetched its signed
    index; refuses versions that come from elsewhere (backports, another
    archive), which a checker would not find."""
    listing = debian.ask(debian.offered_query(name for name, _ in recorded))
    check_available(recorded, listing, allowed)
    parts = buildinfo.sources(release)
    known = {name: state for name, state in debian.indices().items() if state[:2] in parts}
    newest = {}
    for archive, suite, moment in known.values():
        newest[archive, suite] = max(newest.get((archive, suite), moment), moment)
    offered = {}
    for name, version, address, distribution in debian.offers(listing):
        offered.setdefault((name, version), []).append(debian.index_name(address, distribution) in known)
    elsewhere = [(name, version) for name, version in recorded
                 if (name, version) in offered and not any(offered[name, version])]
    if elsewhere:
        listing = "\n".join("    %s %s" % pin for pin in elsewhere)
        where = ", ".join("%s %s" % part for part in parts)
        if not allowed:
            fail("these recorded versions come from a source that a checker does not rebuild from (only %s):\n%s\n"
                 "Install them from there and package again." % (where, listing))
        print("package: note: nobody could check this release, these versions come from outside %s:\n%s" % (
            where, listing))
    return [part + (newest[part],) for part in parts if part in newest]


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--program", "--readme", "--license", "--name", "--version", "--platform", "--source-dir",
                   "--output-dir"):
        parser.add_argument(option, required=True)
    parser.add_argument("--url", default="")
    parser.add_argument("--epoch", required=True, type=int)
    parser.add_argument("--allow-unavailable", action="store_true",
                        help="make the release even where Debian's archive lacks a recorded version")
    arguments = parser.parse_args()

    stem = os.path.join(arguments.output_dir, "%s-%s-" % (arguments.name, arguments.version))
    package, source, buildinfo_path = stem + arguments.platform + ".zip", stem + "source.zip", \
        stem + arguments.platform + ".buildinfo"
    # A release that fails to be made leaves none behind, rather than an older one.
    for made in (package, source, buildinfo_path):
        if os.path.exists(made):
            os.remove(made)

    release, release_version = debian_release()
    with open(arguments.program, "rb") as file:
        unsigned = file.read()
    program, signed = packaged_program(unsigned, arguments.name, arguments.url)
    recorded = installed_versions(buildinfo.TOOLCHAIN + (("osslsigncode",) if signed else ()))
    states = archive_state(recorded, release, arguments.allow_unavailable)

    top = "%s-%s" % (arguments.name, arguments.version)
    write_zip(source, source_contents(arguments.source_dir, top), arguments.epoch)

    program_name = os.path.basename(arguments.program)
    checksums = "%s  %s\n" % (sha256(program), program_name)
    with open(arguments.readme, "rb") as file:
        readme = file.read()
    with open(arguments.license, "rb") as file:
        licence = file.read()
    write_zip(package, [
        (program_name, EXECUTABLE, program),
        ("readme.txt", READABLE, readme),
        ("LICENSE.txt", READABLE, licence),
        ("SHA256SUMS", READABLE, checksums.encode()),
    ], arguments.epoch)

    with open(source, "rb") as file:
        source_sum = sha256(file.read())
    with open(package, "rb") as file:
        package_sum = sha256(file.read())
    text = buildinfo.format({
        "Format": buildinfo.FORMAT,
        "Source": arguments.name,
        "Version": arguments.version,
        "Source-Date-Epoch": str(arguments.epoch),
        "Source-Archive": os.path.basename(source),
        "Source-Archive-SHA256": source_sum,
        "Program": program_name,
        "Program-Unsigned-SHA256": sha256(unsigned),
        "Program-Packaged-SHA256": sha256(program),
        "Program-Signed": "yes" if signed else "no",
        "Package": os.path.basename(package),
        "Package-SHA256": package_sum,
        "Build-Origin": "Debian",
        "Build-Release": release,
        "Build-Release-Version": release_version,
        "Build-Architecture": debian.architecture(),
    }, recorded, states)
    with open(buildinfo_path + ".part", "w", encoding="ascii", newline="\n") as file:
        file.write(text)
    os.replace(buildinfo_path + ".part", buildinfo_path)
    print("package: %s%s, %s, %s" % (package, " (the program signed)" if signed else "",
                                       os.path.basename(source), os.path.basename(buildinfo_path)))


if __name__ == "__main__":
    main()
