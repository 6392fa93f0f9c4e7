"""Makes the release ZIP: the program, readme.txt, LICENSE.txt and SHA256SUMS.

The same inputs give the same ZIP bytes wherever and whenever it is made: the
entries come in a fixed order, carry the fixed SOURCE_DATE_EPOCH as their time
and fixed permissions, and nothing else of the machine.
"""

import argparse
import hashlib
import os
import time
import zipfile

EXECUTABLE = 0o100755
READABLE = 0o100644


def entry(name, mode, epoch):
    info = zipfile.ZipInfo(name, date_time=time.gmtime(epoch)[:6])
    info.create_system = 3  # Unix, so that the mode below is what the entry says
    info.external_attr = mode << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--program", "--readme", "--license", "--output"):
        parser.add_argument(option, required=True)
    parser.add_argument("--epoch", required=True, type=int)
    arguments = parser.parse_args()

    # A package that fails to be made leaves none behind, rather than an older one.
    if os.path.exists(arguments.output):
        os.remove(arguments.output)
    with open(arguments.program, "rb") as file:
        program = file.read()
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
    print("package: " + arguments.output)


if __name__ == "__main__":
    main()
