"""Makes the release ZIP: the program, readme.txt, LICENSE.txt and SHA256SUMS.

The same inputs give the same ZIP bytes wherever and whenever it is made: the
entries come in a fixed order, carry the fixed SOURCE_DATE_EPOCH as their time
and fixed permissions, and nothing else of the machine.

When LAYERCLEANUP_SIGN_CERT (a PEM certificate chain) and LAYERCLEANUP_SIGN_KEY
(its PEM private key) are set, the program is signed with osslsigncode
(Authenticode, SHA-256) before it is checksummed and zipped;
LAYERCLEANUP_SIGN_KEY_PASSWORD and LAYERCLEANUP_SIGN_TIMESTAMP_URL are optional.
The password reaches osslsigncode through a pipe, never a command line or a
file, and nothing of the key is written anywhere.
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

SIGNING = ("LAYERCLEANUP_SIGN_CERT", "LAYERCLEANUP_SIGN_KEY")
PASSWORD = "LAYERCLEANUP_SIGN_KEY_PASSWORD"
TIMESTAMP_URL = "LAYERCLEANUP_SIGN_TIMESTAMP_URL"

EXECUTABLE = 0o100755
READABLE = 0o100644


def fail(message):
    sys.exit("package: " + message)


def sign(program, name, url):
    """The program signed with the certificate and key the environment names, or as it is."""
    cert, key = (os.environ.get(variable, "") for variable in SIGNING)
    if not cert and not key:
        return program
    if not cert or not key:
        fail("set both %s and %s to sign, or neither" % SIGNING)
    tool = shutil.which("osslsigncode") or fail("osslsigncode is needed to sign (scripts/bootstrap installs it)")

    command = [tool, "sign", "-certs", cert, "-key", key, "-h", "sha256", "-n", name, "-i", url]
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

    with tempfile.TemporaryDirectory(prefix="layercleanup-sign.") as private:
        unsigned, signed = os.path.join(private, "unsigned.exe"), os.path.join(private, "signed.exe")
        with open(unsigned, "wb") as file:
            file.write(program)
        result = subprocess.run(command + ["-in", unsigned, "-out", signed], pass_fds=passing, env=environment,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        for descriptor in passing:
            os.close(descriptor)
        if result.returncode != 0:
            fail("osslsigncode could not sign the program:\n" + result.stdout)
        with open(signed, "rb") as file:
            return file.read()


def entry(name, mode, epoch):
    info = zipfile.ZipInfo(name, date_time=time.gmtime(epoch)[:6])
    info.create_system = 3  # Unix, so that the mode below is what the entry says
    info.external_attr = mode << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--program", "--readme", "--license", "--name", "--url", "--output"):
        parser.add_argument(option, required=True)
    parser.add_argument("--epoch", required=True, type=int)
    arguments = parser.parse_args()

    # A package that fails to be made leaves none behind, rather than an older one.
    if os.path.exists(arguments.output):
        os.remove(arguments.output)
    with open(arguments.program, "rb") as file:
        program = sign(file.read(), arguments.name, arguments.url)
    program_name = os.path.basename(arguments.program)
    checksums = "%s  %s\n" % (hashlib.sha256(program).hexdigest(), program_name)
    with open(arguments.readme, "rb") as file:
        readme = file.read()
    with open(arguments.license, "rb") as file:
        licence = file.read()

    contents = [
        (program_name, EXECUTABLE, program),
        ("readme.txt", READABLE, readme),
        ("LICENSE.txt", READABLE, licence),
        ("SHA256SUMS", READABLE, checksums.encode()),
    ]
    partial = arguments.output + ".part"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, mode, data in contents:
            archive.writestr(entry(name, mode, arguments.epoch), data, compresslevel=9)
    os.replace(partial, arguments.output)
    print("package: %s%s" % (arguments.output, " (the program signed)" if os.environ.get(SIGNING[0]) else ""))


if __name__ == "__main__":
    main()
