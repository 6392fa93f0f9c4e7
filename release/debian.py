"""What Debian's package tools say of packages: the versions installed, and
the recorded versions that the archive does not offer. The package target
and verify-release ask here, on this machine or inside a clean root, so
that each question is put and read in one way."""

import subprocess


def installed_query(names):
    """The command that lists the installed version of each package named."""
    return ["dpkg-query", "-W", "-f", "${Package} ${Version}\\n"] + list(names)


def installed(listing):
    """{name: version} from what installed_query printed."""
    return dict(line.split(" ", 1) for line in listing.splitlines() if " " in line)


def offered_query(names):
    """The command that lists the versions the archive offers of each package named."""
    return ["apt-cache", "madison"] + list(names)


def unavailable(packages, listing):
    """The (name, version, [offered versions]) of the (name, version) pairs
    that the archive does not offer, from what offered_query printed."""
    offered = {}
    for line in listing.splitlines():
        cells = [cell.strip() for cell in line.split("|")]
        if len(cells) >= 3 and not cells[2].endswith(" Sources"):
            offered.setdefault(cells[0], []).append(cells[1])
    return [(name, version, offered.get(name, [])) for name, version in packages
            if version not in offered.get(name, [])]


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
