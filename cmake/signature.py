"""An Authenticode signature as a PE program carries it, read without trusting it.

pkcs7(program) takes the signature (a DER PKCS#7 SignedData) out of the PE
certificate table; Signature(pkcs7) reads from it what the release tools need:
the certificates it carries, the one that signed (named by issuer and serial
in its single SignerInfo), and that certificate's SHA-256 fingerprint and
subject. Every length is checked against its enclosing structure: a malformed
file raises ValueError, never anything else.
"""

import base64
import datetime
import hashlib
import os
import struct

CERTIFICATE_TABLE = 4
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
SIGNED_DATA = "1.2.840.113549.1.7.2"
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"

# The attribute types a subject is shown with, as OpenSSL's one-line form names them.
NAMES = {
    "2.5.4.3": "CN", "2.5.4.6": "C", "2.5.4.7": "L", "2.5.4.8": "ST", "2.5.4.10": "O", "2.5.4.11": "OU",
    "2.5.4.5": "serialNumber", "1.2.840.113549.1.9.1": "emailAddress",
}


def certificate_table(program):
    """(offset, size) of the PE certificate table, (0, 0) when there is none."""
    if len(program) < 0x40 or program[:2] != b"MZ":
        raise ValueError("not a PE program")
    header = struct.unpack_from("<I", program, 0x3C)[0]
    if header + 24 + 2 > len(program) or program[header:header + 4] != b"PE\0\0":
        raise ValueError("not a PE program")
    optional = header + 24
    magic = struct.unpack_from("<H", program, optional)[0]
    if magic not in (0x10B, 0x20B):
        raise ValueError("not a PE program")
    directories = optional + (96 if magic == 0x10B else 112)
    count_at = directories - 4
    if directories + 8 * (CERTIFICATE_TABLE + 1) > len(program) or \
            struct.unpack_from("<I", program, count_at)[0] <= CERTIFICATE_TABLE:
        return 0, 0
    return struct.unpack_from("<II", program, directories + 8 * CERTIFICATE_TABLE)


def is_signed(program):
    return certificate_table(program)[1] != 0


def pkcs7(program):
    """The DER PKCS#7 of the program's first signature."""
    offset, size = certificate_table(program)
    if size == 0:
        raise ValueError("the program is not signed")
    if offset + size > len(program) or size < 8:
        raise ValueError("the certificate table lies outside the program")
    length, revision, kind = struct.unpack_from("<IHH", program, offset)
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or not 8 < length <= size:
        raise ValueError("the certificate table holds no PKCS#7 signature")
    content = program[offset + 8:offset + length]
    tag, start, end = _element(content, 0)
    if tag != 0x30:
        raise ValueError("the signature is not a DER sequence")
    return content[:end]


def extracted(data):
    """The DER PKCS#7 in a file that osslsigncode's extract-signature wrote:
    bare, or (as older versions write it) after its certificate table header."""
    if data[:1] != b"\x30" and len(data) > 8 and \
            struct.unpack_from("<HH", data, 4) == (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA):
        data = data[8:]
    _, _, end = _element(data, 0)
    return data[:end]


def _element(data, at, limit=None):
    """(tag, start of contents, end) of the DER element at `at`."""
    limit = len(data) if limit is None else limit
    if at + 2 > limit:
        raise ValueError("truncated DER element")
    tag, length = data[at], data[at + 1]
    at += 2
    if tag & 0x1F == 0x1F:
        raise ValueError("unsupported DER tag")
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or at + count > limit:
            raise ValueError("bad DER length")
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    if at + length > limit:
        raise ValueError("DER element overruns its container")
    return tag, at, at + length


def _children(data, start, end):
    """The elements inside [start, end), as (tag, start, end, whole) tuples."""
    found = []
    at = start
    while at < end:
        tag, content, after = _element(data, at, end)
        found.append((tag, content, after, data[at:after]))
        at = after
    return found


def _oid(value):
    if not value:
        raise ValueError("empty OID")
    parts = [str(value[0] // 40), str(value[0] % 40)]
    number = 0
    for byte in value[1:]:
        number = number << 7 | byte & 0x7F
        if not byte & 0x80:
            parts.append(str(number))
            number = 0
    return ".".join(parts)


def _text(tag, value):
    if tag == 0x1E:
        return value.decode("utf-16-be", "replace")
    return value.decode("utf-8" if tag == 0x0C else "latin-1", "replace")


def _name(data, start, end):
    """A Name in OpenSSL's one-line form, /CN=.../O=..."""
    parts = []
    for _, set_start, set_end, _ in _children(data, start, end):
        for _, pair_start, pair_end, _ in _children(data, set_start, set_end):
            pair = _children(data, pair_start, pair_end)
            if len(pair) != 2 or pair[0][0] != 0x06:
                raise ValueError("bad name attribute")
            kind = _oid(data[pair[0][1]:pair[0][2]])
            parts.append("/%s=%s" % (NAMES.get(kind, kind), _text(pair[1][0], data[pair[1][1]:pair[1][2]])))
    return "".join(parts)


def _time(tag, value):
    text = value.decode("ascii", "replace")
    formats = {0x17: "%y%m%d%H%M%SZ", 0x18: "%Y%m%d%H%M%SZ"}
    if tag not in formats:
        raise ValueError("bad certificate time")
    moment = datetime.datetime.strptime(text, formats[tag]).replace(tzinfo=datetime.timezone.utc)
    return int(moment.timestamp())


class Certificate:
    def __init__(self, der):
        self.der = der
        _, start, end = _element(der, 0)
        parts = _children(der, start, end)
        if not parts or parts[0][0] != 0x30:
            raise ValueError("bad certificate")
        fields = _children(der, parts[0][1], parts[0][2])
        if fields and fields[0][0] == 0xA0:  # the explicit version
            fields = fields[1:]
        if len(fields) < 6 or fields[0][0] != 0x02:
            raise ValueError("bad certificate")
        self.serial = fields[0][3]
        self.issuer = fields[2][3]
        validity = _children(der, fields[3][1], fields[3][2])
        if len(validity) != 2:
            raise ValueError("bad certificate validity")
        self.not_before = _time(validity[0][0], der[validity[0][1]:validity[0][2]])
        self.subject = _name(der, fields[4][1], fields[4][2])

    def fingerprint(self):
        return hashlib.sha256(self.der).hexdigest()

    def pem(self):
        text = base64.encodebytes(self.der).decode("ascii").replace("\n", "")
        lines = [text[at:at + 64] for at in range(0, len(text), 64)]
        return "-----BEGIN CERTIFICATE-----\n%s\n-----END CERTIFICATE-----\n" % "\n".join(lines)


class Signature:
    """The certificates of a DER PKCS#7 SignedData and the one that signed it."""

    def __init__(self, der):
        _, start, end = _element(der, 0)
        if end != len(der):
            raise ValueError("trailing bytes after the signature")
        info = _children(der, start, end)
        if len(info) != 2 or info[0][0] != 0x06 or _oid(der[info[0][1]:info[0][2]]) != SIGNED_DATA \
                or info[1][0] != 0xA0:
            raise ValueError("not a PKCS#7 SignedData")
        signed = _children(der, info[1][1], info[1][2])
        if len(signed) != 1 or signed[0][0] != 0x30:
            raise ValueError("not a PKCS#7 SignedData")
        parts = _children(der, signed[0][1], signed[0][2])
        certificates = [part for part in parts if part[0] == 0xA0]
        signers = [part for part in parts if part[0] == 0x31][1:]  # after the digest algorithms
        if len(certificates) != 1 or len(signers) != 1:
            raise ValueError("not a signature with certificates and signers")
        self.certificates = [Certificate(whole) for _, _, _, whole in
                             _children(der, certificates[0][1], certificates[0][2])]
        signer_infos = _children(der, signers[0][1], signers[0][2])
        if len(signer_infos) != 1:
            raise ValueError("a signature must have exactly one signer")
        signer = _children(der, signer_infos[0][1], signer_infos[0][2])
        if len(signer) < 2 or signer[1][0] != 0x30:
            raise ValueError("the signer is not named by issuer and serial")
        issuer_and_serial = _children(der, signer[1][1], signer[1][2])
        if len(issuer_and_serial) != 2:
            raise ValueError("the signer is not named by issuer and serial")
        named = [certificate for certificate in self.certificates
                 if certificate.issuer == issuer_and_serial[0][3] and certificate.serial == issuer_and_serial[1][3]]
        if len(named) != 1:
            raise ValueError("the signature does not carry the certificate that signed it")
        self.signer = named[0]

    def valid_moment(self):
        """A moment at which every certificate it carries had begun to be valid."""
        return max(certificate.not_before for certificate in self.certificates)

    def write_anchors(self, path):
        """Writes, for osslsigncode's -CAfile, the certificates the signature
        carries and the system's roots: what osslsigncode needs to check that
        the signature is intact and made by the certificate it names, whether
        or not anyone trusts that certificate."""
        with open(path, "w", encoding="ascii") as file:
            file.write("".join(certificate.pem() for certificate in self.certificates))
            if os.path.isfile(SYSTEM_ROOTS):
                with open(SYSTEM_ROOTS, encoding="ascii", errors="replace") as system:
                    file.write(system.read())
