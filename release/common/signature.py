"""A program's Authenticode signature, as osslsigncode and OpenSSL read it.

Nothing here reads DER. osslsigncode takes a signature out of a program and
attaches it to another, as PEM (which every version of it writes and reads
alike), and it checks a signature with OpenSSL's PKCS#7 verification. OpenSSL
lists the certificates a signature carries and what each says of itself.

Who signed is asked of osslsigncode alone: for each carried certificate,
whether the signature verifies with that certificate's key
(-require-leaf-hash). Whether a certificate deserves trust is not asked at
all: the carried certificates themselves are the anchors, at a moment when
all of them were valid, so that only the signature's integrity and its
signer are decided here, and trust is left to Windows.
"""

import base64
import calendar
import hashlib
import re
import subprocess
import time
from typing import NamedTuple

SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
# Microsoft's attribute that holds a second signature inside the first.
NESTED_SIGNATURE = re.compile(r"\(1\.3\.6\.1\.4\.1\.311\.2\.4\.1\)")
# OpenSSL's dump of a PKCS#7 shows each SignerInfo's issuer and serial under this line.
SIGNER_INFO = re.compile(r"(?m)^\s+issuer_and_serial:\s*$")
PEM_CERTIFICATE = re.compile(r"(?ms)^-----BEGIN CERTIFICATE-----\n(.*?)\n-----END CERTIFICATE-----$")


class Unreadable(ValueError):
    """OpenSSL cannot read the signature or a certificate in it."""


class Certificate(NamedTuple):
    pem: str
    fingerprint: str  # SHA-256 of the certificate, lowercase hex
    issuer_hash: str  # OpenSSL's hash of the issuer's name in its canonical form
    serial: str
    not_before: int
    subject: str

    def names_as(self, other):
        """Whether a signer named as this certificate is would name other too:
        the same serial and, once OpenSSL has normalised both, the same issuer."""
        return (self.issuer_hash, self.serial) == (other.issuer_hash, other.serial)


def tool(argv, stdin=None):
    """(status, output) of a command (a list, never a shell)."""
    try:
        done = subprocess.run(argv, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              errors="replace", check=False)
    except OSError as error:
        return 127, str(error)
    return done.returncode, done.stdout


def extract(program, out):
    """Takes the program's signature out into out, as PEM. (status, output)."""
    return tool(["osslsigncode", "extract-signature", "-pem", "-in", program, "-out", out])


def as_pem(path, out):
    """Writes the PKCS#7 signature in path, PEM or DER, to out as PEM."""
    for form in ("PEM", "DER"):
        if tool(["openssl", "pkcs7", "-inform", form, "-in", path, "-out", out])[0] == 0:
            return
    raise Unreadable("%s is not a PKCS#7 signature that OpenSSL reads" % path)


def structure(pkcs7):
    """(number of signers, whether a second signature is nested inside) of
    the PEM PKCS#7 in pkcs7, from OpenSSL's dump of it."""
    status, dump = tool(["openssl", "pkcs7", "-in", pkcs7, "-print", "-noout"])
    if status != 0:
        raise Unreadable("OpenSSL cannot read the signature")
    return len(SIGNER_INFO.findall(dump)), bool(NESTED_SIGNATURE.search(dump))


def carried(pkcs7):
    """The certificates that the PEM PKCS#7 in pkcs7 carries."""
    status, listing = tool(["openssl", "pkcs7", "-in", pkcs7, "-print_certs"])
    if status != 0:
        raise Unreadable("OpenSSL cannot read the signature's certificates")
    return [_certificate(match.group(0) + "\n", match.group(1)) for match in PEM_CERTIFICATE.finditer(listing)]


def _certificate(pem, body):
    fields = {}
    for option in ("-issuer_hash", "-serial", "-startdate", "-subject"):
        status, said = tool(["openssl", "x509", "-noout", option, "-dateopt", "iso_8601", "-nameopt", "RFC2253"],
                            stdin=pem)
        if status != 0:
            raise Unreadable("OpenSSL cannot read a certificate of the signature")
        fields[option] = said.strip().partition("=")[2] if "=" in said else said.strip()
    try:
        not_before = calendar.timegm(time.strptime(fields["-startdate"], "%Y-%m-%d %H:%M:%SZ"))
    except ValueError:
        raise Unreadable("a certificate's start date reads %r" % fields["-startdate"][:40])
    return Certificate(pem, hashlib.sha256(base64.b64decode(body)).hexdigest(), fields["-issuer_hash"],
                       fields["-serial"], not_before, fields["-subject"])


def write_anchors(certificates, path):
    """The carried certificates and the system's roots, for -CAfile: what
    osslsigncode needs to check a signature, whether or not anyone trusts it."""
    with open(path, "w", encoding="ascii") as file:
        file.write("".join(certificate.pem for certificate in certificates))
        try:
            with open(SYSTEM_ROOTS, encoding="ascii", errors="replace") as system:
                file.write(system.read())
        except OSError:
            pass


def valid_moment(certificates):
    """A moment at which every certificate had begun to be valid."""
    return max(certificate.not_before for certificate in certificates)


def made_by(program, certificates, anchors):
    """The carried certificates with whose key osslsigncode finds the
    program's signature intact: its signer, or none. (signers, output)."""
    signers, output = [], ""
    for certificate in certificates:
        status, said = tool(["osslsigncode", "verify", "-CAfile", anchors, "-time", str(valid_moment(certificates)),
                             "-require-leaf-hash", "sha256:" + certificate.fingerprint, "-in", program])
        if status == 0:
            signers.append(certificate)
        output = output or said
    return signers, output
