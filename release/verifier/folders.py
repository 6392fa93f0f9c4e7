"""Files of a folder that verify-release keeps (the cache of the snapshot
archive, an archive kept with --keep-archive), read and written inside it
only: every path is opened from the folder down, one name at a time,
following no link at any step, so that a link planted in the folder cannot
take a read or a write elsewhere, whoever runs the check."""

import os
import shutil
import stat

# Folders are only passed through (O_PATH), as one that may not be listed can be.
FOLDER = os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW


class Linked(Exception):
    """A path of the folder is a link, or not what it must be; the message names it."""


def _walk(base, parts, create, base_link=True):
    """A descriptor of the folder base/parts..., made where missing if
    create; base itself may be a link only where base_link is true."""
    try:
        descriptor = os.open(base, os.O_PATH | os.O_DIRECTORY | (0 if base_link else os.O_NOFOLLOW))
    except OSError as error:
        raise Linked("%s cannot be opened as a folder (%s)" % (base, error.strerror))
    for index, part in enumerate(parts):
        if part in ("", ".", ".."):
            os.close(descriptor)
            raise Linked("%s is not a path inside %s" % ("/".join(parts), base))
        try:
            if create:
                try:
                    os.mkdir(part, 0o755, dir_fd=descriptor)
                except FileExistsError:
                    pass
            inner = os.open(part, FOLDER, dir_fd=descriptor)
        except OSError as error:
            os.close(descriptor)
            raise Linked("%s is a link or not a folder (%s)" % (os.path.join(base, *parts[:index + 1]),
                                                                 error.strerror))
        os.close(descriptor)
        descriptor = inner
    return descriptor


def open_file(base, relative, base_link=True):
    """The regular file base/relative, open for reading; None where it is absent."""
    parts = relative.split("/")
    try:
        folder = _walk(base, parts[:-1], False, base_link)
    except Linked:
        if not os.path.lexists(os.path.join(base, *parts[:-1])):
            return None
        raise
    try:
        descriptor = os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=folder)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise Linked("%s is a link or cannot be read (%s)" % (os.path.join(base, relative), error.strerror))
    finally:
        os.close(folder)
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        raise Linked("%s is not a plain file" % os.path.join(base, relative))
    return os.fdopen(descriptor, "rb")


class Writing:
    """A file of base being written, as relative.part beside its place, which
    becomes the file on commit() and is removed on any failure."""

    def __init__(self, base, relative):
        parts = relative.split("/")
        self.name, self.place = parts[-1], os.path.join(base, relative)
        self.folder = _walk(base, parts[:-1], True)
        try:
            descriptor = os.open(self.name + ".part", os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o644,
                                 dir_fd=self.folder)
        except OSError as error:
            os.close(self.folder)
            raise Linked("%s.part is a link or cannot be written (%s)" % (self.place, error.strerror))
        self.file = os.fdopen(descriptor, "wb")

    def __enter__(self):
        return self

    def commit(self):
        self.file.close()
        os.replace(self.name + ".part", self.name, src_dir_fd=self.folder, dst_dir_fd=self.folder)
        self.name = None

    def __exit__(self, *exception):
        self.file.close()
        if self.name is not None:
            try:
                os.unlink(self.name + ".part", dir_fd=self.folder)
            except OSError:
                pass
        os.close(self.folder)


def write(base, relative, data):
    with Writing(base, relative) as writing:
        writing.file.write(data)
        writing.commit()


def copy(source, base, relative):
    """Copies the regular file source (the verifier's own) to base/relative."""
    with open(source, "rb") as given, Writing(base, relative) as writing:
        shutil.copyfileobj(given, writing.file)
        writing.commit()


def remove(base, relative):
    parts = relative.split("/")
    try:
        folder = _walk(base, parts[:-1], False)
    except Linked:
        return
    try:
        os.unlink(parts[-1], dir_fd=folder)
    except OSError:
        pass
    finally:
        os.close(folder)


def names(base, relative):
    """The names in the folder base/relative; none where it is absent."""
    try:
        folder = _walk(base, relative.split("/") if relative else [], False)
    except Linked:
        if not os.path.lexists(os.path.join(base, relative)):
            return []
        raise
    try:
        listed = os.open(".", os.O_RDONLY | os.O_DIRECTORY, dir_fd=folder)
    finally:
        os.close(folder)
    try:
        return os.listdir(listed)
    finally:
        os.close(listed)


def first_link(base):
    """The first link found anywhere in the folder base, or None."""
    for folder, subfolders, files in os.walk(base, followlinks=False):
        for name in sorted(subfolders + files):
            if os.path.islink(os.path.join(folder, name)):
                return os.path.join(folder, name)
    return None
