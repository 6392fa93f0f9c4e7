"""What Debian's package tools say of packages: the versions installed, the
recorded versions that the archive does not offer, and which part of the
archive, as of when, offers them. The package target and verify-release ask
here, on this machine or inside a clean root, so that each question is put
and read in one way."""

import email.utils
import os
import re
import subprocess

LISTS = "/var/lib/apt/lists"
# The Label of each archive's signed index, and the archive's name on Debian's snapshot archive.
ARCHIVES = {"Debian": "debian", "Debian-Security": "debian-security"}


def installed_query(names):
    """The command that lists the installed version of each package named."""
    return ["dpkg-query", "-W", "-f", "${Package} ${Version}\\n"] + list(names)


def installed(listing):
    """{name: version} from what installed_query printed."""
    return dict(line.split(" ", 1) for line in listing.splitlines() if " " in line)


def offered_query(names):
    """The command that lists the versions the archive offers of each package named."""
    return ["apt-cache", "madison"] + list(names)


def offers(listing):
    """(name, version, address, distribution) of each binary package that
    offered_query lists."""
    found = []
    for line in listing.splitlines():
        cells = [cell.strip() for cell in line.split("|")]
        if len(cells) >= 3 and not cells[2].endswith(" Sources") and len(cells[2].split()) >= 2:
            address, place = cells[2].split()[:2]
            found.append((cells[0], cells[1], address, place.split("/")[0]))
    return found


def unavailable(packages, listing):
    """The (name, version, [offered versions]) of the (name, version) pairs
    that the archive does not offer, from what offered_query printed."""
    offered = {}
    for name, version, _, _ in offers(listing):
        offered.setdefault(name, []).append(version)
    return [(name, version, offered.get(name, [])) for name, version in packages
            if version not in offered.get(name, [])]


def index_name(address, distribution):
    """The name of apt's copy of the signed index of a distribution at an
    address, as apt names the files it fetches (URItoFileName)."""
    where = re.sub(r"^[a-z0-9+.-]+://(?:[^@/]*@)?", "", address.rstrip("/") + "/dists/" + distribution + "/")
    return re.sub(r'[\\|{}\[\]<>"^~_=!@#$%&*\x00-\x20\x7f-\xff]', lambda match: "%%%02x" % ord(match.group()),
                  where).replace("/", "_")


def index_state(path):
    """(archive, suite, timestamp) of the signed index at path, a copy apt
    fetched; None where it is not one of Debian's or has no date."""
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            text = file.read(1024 * 1024).split("\n-----BEGIN PGP SIGNATURE", 1)[0]
    except OSError:
        return None
    fields = {}
    for key, value in re.findall(r"(?m)^([A-Za-z-]+): (.*)$", text):
        fields.setdefault(key, value)
    try:
        moment = email.utils.parsedate_to_datetime(fields.get("Date", ""))
    except (TypeError, ValueError):
        return None
    if fields.get("Origin") != "Debian" or fields.get("Label") not in ARCHIVES or not fields.get("Codename"):
        return None
    return ARCHIVES[fields["Label"]], fields["Codename"], moment.strftime("%Y%m%dT%H%M%SZ")


def indices(lists=LISTS):
    """{file name: (archive, suite, timestamp)} of the signed indices of
    Debian's archive that apt has fetched."""
    found = {}
    for name in sorted(os.listdir(lists)) if os.path.isdir(lists) else []:
        if name.endswith("_InRelease") or name.endswith("_Release"):
            state = index_state(os.path.join(lists, name))
            if state:
                found[name[:-len("InRelease") if name.endswith("_InRelease") else -len("Release")]] = state
    return found


def ask(query):
    """What a query prints on this machine ("" where the tool is missing)."""
    try:
        return subprocess.run(query, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              check=False).stdout
    except OSError:
        return ""


def release():
    """(codename, version) from /etc/os-release; ("", "") off Debian."""
    fields = {}
    try:
        with open("/etc/os-release", encoding="utf-8") as file:
            for line in file:
                key, _, value = line.strip().partition("=")
                fields[key] = value.strip('"')
    except OSError:
        pass
    if fields.get("ID") != "debian":
        return "", ""
    return fields.get("VERSION_CODENAME", ""), fields.get("VERSION_ID", "")


def architecture():
    return ask(["dpkg", "--print-architecture"]).strip()
