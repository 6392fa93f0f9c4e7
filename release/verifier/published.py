"""The strict checks of the three published files, before anything runs.

The buildinfo must be exactly of its format, the files the ones whose
checksums it records, the ZIPs well formed, and the source unpacked entry by
entry inside the verifier's own folder. Whatever fails is NOT VERIFIED."""

import hashlib
import io
import lzma
import os
import re
import stat
import zipfile
import zlib

from common import buildinfo
from verifier.results import LARGEST_ENTRY, LARGEST_ZIP
from verifier.verdict import NOT_VERIFIED, Refused, shown

MOST_ENTRIES = 10000
ZIP_ERRORS = (zipfile.BadZipFile, ValueError, OSError, RuntimeError, EOFError, NotImplementedError, zlib.error,
              lzma.LZMAError)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read_bounded(path, largest, what):
    """The file's bytes; it must be a regular file, named without a link."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as error:
        raise Refused(NOT_VERIFIED, "%s cannot be read as a plain file: %s." % (
            shown(os.path.basename(path)), shown(error.strerror or "")))
    with os.fdopen(descriptor, "rb") as file:
        if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            raise Refused(NOT_VERIFIED, "%s is not a plain file." % shown(os.path.basename(path)))
        data = file.read(largest + 1)
    if len(data) > largest:
        raise Refused(NOT_VERIFIED, "%s is larger than any release's %s." % (shown(os.path.basename(path)), what))
    return data


class Release:
    """The published files, checked against the buildinfo."""

    def __init__(self, package, source, buildinfo_path):
        self.package_name = shown(os.path.basename(package))
        self.source_name = shown(os.path.basename(source))
        try:
            self.fields, self.pins, self.states = buildinfo.parse(
                read_bounded(buildinfo_path, buildinfo.LARGEST, "buildinfo").decode("ascii"))
        except (buildinfo.Malformed, UnicodeDecodeError) as error:
            raise Refused(NOT_VERIFIED, "%s is not a LayerCleanup buildinfo: %s." % (
                shown(os.path.basename(buildinfo_path)), shown(str(error))))
        fields = self.fields
        self.published = read_bounded(package, LARGEST_ZIP, "package")
        # Unpacked from these very bytes, once their checksum is known.
        self.source_data = read_bounded(source, LARGEST_ZIP, "source ZIP")
        if sha256(self.source_data) != fields["Source-Archive-SHA256"]:
            raise Refused(NOT_VERIFIED, "%s is not the source archive that the buildinfo records." % self.source_name)
        if sha256(self.published) != fields["Package-SHA256"]:
            raise Refused(NOT_VERIFIED, "%s is not the package that the buildinfo records." % self.package_name)
        self.entries = entries(self.published, self.package_name)
        programs = [data for entry, data in self.entries if entry.filename == fields["Program"]]
        if len(programs) != 1:
            raise Refused(NOT_VERIFIED, "%s does not hold the program %s." % (self.package_name, fields["Program"]))
        self.program = programs[0]
        if sha256(self.program) != fields["Program-Packaged-SHA256"]:
            raise Refused(NOT_VERIFIED, "%s is not the program that the buildinfo records." % fields["Program"])
        self.signed = fields["Program-Signed"] == "yes"
        self.top = "%s-%s" % (fields["Source"], fields["Version"])


def read_entries(data):
    """A release ZIP's entries, each (ZipInfo, bytes), each read up to a bound;
    raises one of ZIP_ERRORS where the ZIP is not a release's."""
    archive = zipfile.ZipFile(io.BytesIO(data))
    found = archive.infolist()
    names = [entry.filename for entry in found]
    if len(found) > 16:
        raise ValueError("it has %d entries" % len(found))
    for entry in found:
        if not re.fullmatch(buildinfo.FILE_NAME, entry.filename):
            raise ValueError("an entry is named %r" % shown(entry.filename))
        if names.count(entry.filename) > 1:
            raise ValueError("two entries are named %s" % entry.filename)
        if entry.file_size > LARGEST_ENTRY:
            raise ValueError("%s is too large" % entry.filename)
    read = []
    for entry in found:
        with archive.open(entry) as packed:
            read.append((entry, packed.read(entry.file_size + 1)))
        if len(read[-1][1]) != entry.file_size:
            raise ValueError("%s is not the size it says" % entry.filename)
    return read


def entries(data, name):
    """The published ZIP's entries, each (ZipInfo, bytes), read strictly."""
    try:
        return read_entries(data)
    except ZIP_ERRORS as error:
        raise Refused(NOT_VERIFIED, "%s is not a well-formed release ZIP: %s." % (name, shown(str(error))))


def unpack_source(data, name, top, into):
    """Unpacks the source ZIP's bytes into the folder `into`, every entry below `top`/."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        found = archive.infolist()
        if len(found) > MOST_ENTRIES or sum(entry.file_size for entry in found) > LARGEST_ZIP:
            raise ValueError("it is larger than any source")
        seen = set()
        os.mkdir(os.path.join(into, top), 0o755)
        for entry in found:
            parts = entry.filename.split("/")
            directory = entry.filename.endswith("/")
            if directory:
                parts.pop()
            if entry.filename in seen or "\\" in entry.filename or "\0" in entry.filename or len(parts) < 2 \
                    or parts[0] != top or any(part in ("", ".", "..") for part in parts):
                raise ValueError("it holds an entry named %r" % shown(entry.filename))
            seen.add(entry.filename)
            kind = stat.S_IFMT(entry.external_attr >> 16)
            if kind not in (0, stat.S_IFDIR if directory else stat.S_IFREG):
                raise ValueError("%s is neither a plain file nor a folder" % shown(entry.filename))
            target = os.path.join(into, *parts)
            if directory:
                os.makedirs(target, 0o755, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), 0o755, exist_ok=True)
            mode = 0o755 if entry.external_attr >> 16 & 0o100 else 0o644
            descriptor = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, mode)
            with os.fdopen(descriptor, "wb") as file, archive.open(entry) as packed:
                data = packed.read(entry.file_size + 1)
                if len(data) != entry.file_size:
                    raise ValueError("%s is not the size it says" % shown(entry.filename))
                file.write(data)
    except ZIP_ERRORS as error:
        raise Refused(NOT_VERIFIED, "%s is not a well-formed source ZIP: %s." % (name, shown(str(error))))


def difference(published, rebuilt):
    """What differs between the published ZIP's entries and the rebuilt ZIP's."""
    try:
        ours = [(entry.filename, entry.date_time, entry.external_attr, data) for entry, data in published]
        made = [(entry.filename, entry.date_time, entry.external_attr, data) for entry, data in read_entries(rebuilt)]
    except ZIP_ERRORS:
        return "the rebuilt package is not a release ZIP that can be read within bounds"
    if [entry[0] for entry in ours] != [entry[0] for entry in made]:
        return "it holds %s instead of %s" % (", ".join(shown(entry[0]) for entry in ours),
                                              ", ".join(shown(entry[0]) for entry in made))
    changed = [mine[0] for mine, other in zip(ours, made) if mine[3] != other[3]]
    if changed:
        return "%s differ%s" % (", ".join(changed), "s" if len(changed) == 1 else "")
    if [entry[1:3] for entry in ours] != [entry[1:3] for entry in made]:
        return "the entries' times or modes differ"
    return "the same entries are stored differently"
