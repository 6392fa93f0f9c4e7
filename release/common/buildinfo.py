"""The buildinfo: what a rebuild of a release needs to give the same bytes.

"Key: value" lines, every field known, once, in this order, and matching its
pattern; then the state of each part of Debian's archive that the recorded
versions came from, one a line; then the recorded packages, one a line, by
Debian's rules for package names and versions. The package target writes it with format() and
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
    ("Format", r"2\.0"),
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
# The date of each signed index ("Release" file) of Debian's archive that the
# packaging machine's apt had, as the snapshot archive writes times: the
# moment at which every recorded version was published together.
STATE_FIELD = "Archive-State"
TIMESTAMP = r"[0-9]{8}T[0-9]{6}Z"
FORMAT = "2.0"

# The Debian packages whose versions decide the program's bytes: the i686
# compiler, its runtime and libraries, the linker, the Windows headers and
# import libraries, and the build tools; a signed program's by osslsigncode.
# The ZIPs store their entries, so no interpreter or zlib decides their
# bytes. A buildinfo records these and nothing else.
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
MAY_RECORD = ("osslsigncode",)
LARGEST = 64 * 1024


class Malformed(ValueError):
    """The text is not a buildinfo of this format; the message says where."""


def _checked(name, pattern, value):
    if not re.fullmatch(pattern, value):
        raise Malformed("%s: %r is not of the form %s" % (name, value[:80], pattern))
    return value


def sources(release):
    """The (archive, suite) pairs that a Debian release's packages come from:
    the release itself, its updates and its security updates."""
    return [("debian", release), ("debian", release + "-updates"), ("debian-security", release + "-security")]


def format(fields, packages, states):
    """The buildinfo's text, from a dict of FIELDS, (name, version) pairs and
    (archive, suite, timestamp) triples."""
    if set(fields) != {name for name, _ in FIELDS}:
        raise Malformed("the fields are not exactly %s" % ", ".join(name for name, _ in FIELDS))
    lines = []
    for name, pattern in FIELDS:
        lines.append("%s: %s" % (name, _checked(name, pattern, fields[name])) if fields[name] else name + ":")
    lines.append(STATE_FIELD + ":")
    lines += [" %s %s %s%s" % (state + ("," if index + 1 < len(states) else "",))
              for index, state in enumerate(states)]
    lines.append(PACKAGES_FIELD + ":")
    for index, (package, version) in enumerate(packages):
        lines.append(" %s (= %s)%s" % (_checked("a package name", PACKAGE, package),
                                       _checked("a package version", VERSION, version),
                                       "," if index + 1 < len(packages) else ""))
    text = "\n".join(lines) + "\n"
    parse(text)  # what is written is what the reader accepts
    return text


def parse(text):
    """(fields, packages, states) from the buildinfo's text; raises Malformed."""
    if len(text) > LARGEST:
        raise Malformed("larger than %d bytes" % LARGEST)
    if text.startswith("Format: 1.0\n"):
        raise Malformed("format 1.0 is not read (no release was published in it)")
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
    if len(fields) != len(FIELDS):
        raise Malformed("expected the field %s" % FIELDS[len(fields)][0])
    if not rest or rest[0] != STATE_FIELD + ":":
        raise Malformed("expected the field %s after %s" % (STATE_FIELD, FIELDS[-1][0]))
    end = rest.index(PACKAGES_FIELD + ":") if PACKAGES_FIELD + ":" in rest else len(rest)
    states = []
    for index, line in enumerate(rest[1:end]):
        comma = "," if index + 2 < end else ""
        match = re.fullmatch(r" ([a-z-]+) ([a-z-]+) (%s)%s" % (TIMESTAMP, comma), line)
        if not match or match.groups()[:2] not in sources(fields["Build-Release"]):
            raise Malformed("%s: %r is not ' archive suite timestamp%s' of Debian %s's archive" % (
                STATE_FIELD, line[:80], comma, fields["Build-Release"]))
        states.append(match.groups())
    if len({state[:2] for state in states}) != len(states):
        raise Malformed("%s names a suite twice" % STATE_FIELD)
    rest = rest[end:]
    if not rest or rest[0] != PACKAGES_FIELD + ":":
        raise Malformed("expected the field %s" % PACKAGES_FIELD)
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
    others = [name for name in names if name not in TOOLCHAIN + MAY_RECORD]
    if others or not set(TOOLCHAIN) <= set(names):
        raise Malformed("%s records %s, not the packages that decide a release's bytes" % (
            PACKAGES_FIELD, ", ".join(others) if others else "too few"))
    return fields, packages, states

