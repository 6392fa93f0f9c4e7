"""The buildinfo: what a rebuild of a release needs to give the same bytes.

"Key: value" lines, every field known, once, in this order, and matching its
pattern; then the recorded packages, one a line, by Debian's rules for
package names and versions. The package target writes it with format() and
verify-release reads it with parse(), which rejects anything else: the file
comes from whoever published the release.
"""

import re

SHA256 = r"[0-9a-f]{64}"
# A plain file name: no folder, no leading dot, nothing a shell would read.
FILE_NAME = r"[A-Za-z0-9][A-Za-z0-9._+-]{0,127}"
# Debian Policy 5.6.1 and 5.6.12 (an upstream version without colons).
PACKAGE = r"[a-z0-9][a-z0-9.+-]+"
VERSION = r"(?:[0-9]+:)?[0-9][A-Za-z0-9.+~]*(?:-[A-Za-z0-9.+~]+)*"

FIELDS = (
    ("Format", r"1\.0"),
    ("Source", r"[A-Za-z][A-Za-z0-9_-]{0,63}"),
    ("Version", r"[0-9]+(?:\.[0-9]+){0,3}"),
    ("Source-Date-Epoch", r"[0-9]{1,11}"),
    ("Source-Archive", FILE_NAME),
    ("Source-Archive-SHA256", SHA256),
    ("Program", FILE_NAME),
    ("Program-Unsigned-SHA256", SHA256),
    ("Program-Packaged-SHA256", SHA256),
    ("Program-Signed", r"yes|no"),
    ("Package", FILE_NAME),
    ("Package-SHA256", SHA256),
    ("Build-Origin", r"Debian"),
    ("Build-Release", r"[a-z]{2,32}"),
    ("Build-Release-Version", r"(?:[0-9]+(?:\.[0-9]+)*)?"),
    ("Build-Architecture", r"[a-z0-9]{2,16}"),
)
PACKAGES_FIELD = "Installed-Build-Depends"

# The Debian packages whose versions decide the program's bytes: the i686
# compiler, its runtime and libraries, the linker, the Windows headers and
# import libraries, and the build tools. The ZIPs' bytes are decided by the
# interpreter that packs them and its zlib, and a signed program's by
# osslsigncode. A buildinfo records these and nothing else.
TOOLCHAIN = (
    "g++-mingw-w64-i686-posix",
    "gcc-mingw-w64-i686-posix",
    "gcc-mingw-w64-i686-posix-runtime",
    "gcc-mingw-w64-base",
    "binutils-mingw-w64-i686",
    "mingw-w64-i686-dev",
    "mingw-w64-common",
    "cmake",
    "ninja-build",
)
MAY_RECORD = r"osslsigncode|zlib1g|python3\.[0-9]{1,2}(?:-minimal)?|libpython3\.[0-9]{1,2}-(?:minimal|stdlib)"
LARGEST = 64 * 1024


class Malformed(ValueError):
    """The text is not a buildinfo of this format; the message says where."""


def _checked(name, pattern, value):
    if not re.fullmatch(pattern, value):
        raise Malformed("%s: %r is not of the form %s" % (name, value[:80], pattern))
    return value


def format(fields, packages):
    """The buildinfo's text, from a dict of FIELDS and (name, version) pairs."""
    if set(fields) != {name for name, _ in FIELDS}:
        raise Malformed("the fields are not exactly %s" % ", ".join(name for name, _ in FIELDS))
    lines = []
    for name, pattern in FIELDS:
        lines.append("%s: %s" % (name, _checked(name, pattern, fields[name])) if fields[name] else name + ":")
    lines.append(PACKAGES_FIELD + ":")
    for index, (package, version) in enumerate(packages):
        lines.append(" %s (= %s)%s" % (_checked("a package name", PACKAGE, package),
                                       _checked("a package version", VERSION, version),
                                       "," if index + 1 < len(packages) else ""))
    text = "\n".join(lines) + "\n"
    parse(text)  # what is written is what the reader accepts
    return text


def parse(text):
    """(fields, packages) from the buildinfo's text; raises Malformed."""
    if len(text) > LARGEST:
        raise Malformed("larger than %d bytes" % LARGEST)
    if re.search(r"[^\x20-\x7e\n]", text) or not text.endswith("\n"):
        raise Malformed("not printable ASCII lines ended by a line feed")
    lines = text[:-1].split("\n")
    fields = {}
    for (name, pattern), line in zip(FIELDS, lines):
        key, separator, value = line.partition(":")
        if key != name or not separator or value == " " or (value and not value.startswith(" ")):
            raise Malformed("expected the field %s, found %r" % (name, line[:80]))
        fields[name] = _checked(name, pattern, value[1:])
    rest = lines[len(FIELDS):]
    if len(fields) != len(FIELDS) or not rest or rest[0] != PACKAGES_FIELD + ":":
        raise Malformed("expected the field %s after %s" % (PACKAGES_FIELD, FIELDS[-1][0]))
    packages = []
    for index, line in enumerate(rest[1:]):
        comma = "," if index + 2 < len(rest) else ""
        match = re.fullmatch(r" (%s) \(= (%s)\)%s" % (PACKAGE, VERSION, comma), line)
        if not match:
            raise Malformed("%s: %r is not ' name (= version)%s'" % (PACKAGES_FIELD, line[:80], comma))
        packages.append((match.group(1), match.group(2)))
    names = [name for name, _ in packages]
    if len(set(names)) != len(names):
        raise Malformed("%s names a package twice" % PACKAGES_FIELD)
    others = [name for name in names if name not in TOOLCHAIN and not re.fullmatch(MAY_RECORD, name)]
    if others or not set(TOOLCHAIN) <= set(names):
        raise Malformed("%s records %s, not the packages that decide a release's bytes" % (
            PACKAGES_FIELD, ", ".join(others) if others else "too few"))
    return fields, packages

