"""Where verify-release rebuilds a release: a clean Debian root that mmdebstrap
makes with exactly the recorded package versions, or, with --here, this
machine, which must hold them. Either way the builder's findings land in one
folder, which is returned."""

import glob
import json
import os
import shutil
import time

import debian
import inside
import results
import sandbox
from processes import run
from verdict import CANNOT_VERIFY, Refused, say, show, shown

TOOLS = os.path.dirname(os.path.realpath(__file__))


def clean_root(options, release, work):
    """Builds in a clean root; returns the folder of what the root's stages
    made, and what the signature stage found."""
    fields, pins = release.fields, release.pins
    if not all(shutil.which(tool) for tool in ("mmdebstrap", "unshare", "bwrap")):
        raise Refused(CANNOT_VERIFY, "mmdebstrap, unshare and bwrap (bubblewrap) are needed to make a clean root "
                      "and build in it (scripts/bootstrap installs them on Debian).")
    # The root gets the verifier's own folder: the tools it runs there.
    tools = os.path.join(work, "tools")
    os.makedirs(tools)
    for module in glob.glob(os.path.join(TOOLS, "*.py")):
        shutil.copy(module, tools)
    names = {name for name, _ in pins}
    extras = ["python3-minimal"] + (["ca-certificates", "openssl"] + ([] if "osslsigncode" in names
                                                                      else ["osslsigncode"])
                                    if release.signed else [])
    with open(os.path.join(work, "plan.json"), "w", encoding="utf-8") as file:
        json.dump({"pins": pins, "extras": extras, "signed": release.signed, "top": release.top,
                   "program": fields["Program"], "package": fields["Package"]}, file)
    argv = ["mmdebstrap", "--variant=apt", "--architectures=" + fields["Build-Architecture"],
            # The work folder's name is the verifier's own, a single word.
            '--customize-hook=python3 %s/inside.py hook "$1"' % tools,
            "--customize-hook=copy-out /verify-out " + work]
    if options.snapshot:
        argv += ['--aptopt=Acquire::Check-Valid-Until "false"',
                 '--aptopt=Apt::Key::gpgvcommand "/usr/libexec/mmdebstrap/gpgvnoexpkeysig"']
    argv += [fields["Build-Release"], "/dev/null"] + ([options.snapshot] if options.snapshot else [])
    say("rebuilding %s in a clean Debian %s root with the buildinfo's %d package versions (a minute or two)" % (
        release.source_name, fields["Build-Release"], len(pins)))
    log = os.path.join(work, "root.log")
    # mmdebstrap's own temporary folder lies in the work folder too.
    status = run(argv, log, env=dict(os.environ, TMPDIR=work, **{inside.HOOK_WORK: work}))
    out = os.path.join(work, "verify-out")
    made = results.load(os.path.join(out, "root.json"))
    if made.get("missing"):
        say("these versions that the buildinfo records are not in Debian's archive:")
        for missing in made["missing"]:
            print("    " + shown(str(missing)))
        moment = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(int(fields["Source-Date-Epoch"])))
        say("Debian's snapshot archive keeps every version: run again with --snapshot URL, where URL is that "
            "archive's archive/debian/%s/ folder (the source date) or a later one." % moment)
        raise Refused(CANNOT_VERIFY, "the recorded toolchain is not available, so nothing was built.")
    if made.get("setup"):
        show(str(made["setup"]))
        raise Refused(CANNOT_VERIFY, "the recorded packages could not be installed in the clean root (above).")
    if status != 0 or not made.get("ran"):
        show(results.tail(log))
        raise Refused(CANNOT_VERIFY, "the clean root could not be made (above; is the network reachable?).")
    reached = results.read(out, "limit", 16)
    if reached:
        show(inside.build_output(out))
        raise Refused(CANNOT_VERIFY, "the source's build was stopped at its limit of %s, so nothing was compared." %
                      sandbox.LIMITS.get(reached.decode("ascii", "replace"), "?"))
    return out, inside.signature_findings(out) if release.signed else {}


def here(release, work, user):
    """Builds on this machine, which must hold the recorded versions; returns
    the folder of what the stages made, and what the signature stage found."""
    fields, pins = release.fields, release.pins
    codename, architecture = debian.release()[0], debian.architecture()
    if (codename, architecture) != (fields["Build-Release"], fields["Build-Architecture"]):
        raise Refused(CANNOT_VERIFY, "--here needs Debian %s on %s; this machine is %s on %s." % (
            fields["Build-Release"], fields["Build-Architecture"], shown(codename or "not Debian"),
            shown(architecture or "?")))
    installed = debian.installed(debian.ask(debian.installed_query(name for name, _ in pins)))
    wrong = [(name, version) for name, version in pins if installed.get(name) != version]
    for name, version in wrong:
        say("differs from the buildinfo here: %s %s (recorded: %s)" % (name, installed.get(name, "not installed"),
                                                                    version))
    if wrong:
        raise Refused(CANNOT_VERIFY, "this machine's packages are not the recorded versions (above), so --here "
                      "cannot check this release; run without --here.")
    say("--here: the source's own build now runs on this machine, as %s, with this machine's network and "
        "files within its reach; do this only with a source you would build anyway." % shown(user))
    folder, out = os.path.join(work, "inside"), os.path.join(work, "out")
    os.mkdir(out)
    found = {}
    if release.signed:
        inside.stage_signature(folder)
        # Read before the build, which runs as the same user and could change them.
        found = inside.signature_findings(folder)
    log = os.path.join(folder, "build.log")
    inside.stage_build(os.path.join(folder, "source", release.top), os.path.join(folder, "build"), log)
    inside.take_all(folder, [("build/" + fields["Program"], results.LARGEST_ENTRY)], out)
    inside.stage_package(os.path.join(folder, "build"), log, os.path.join(folder, "signature") if release.signed
                         else None)
    inside.take_all(folder, [("build/" + fields["Package"], results.LARGEST_ZIP)], out)
    with open(os.path.join(out, "build.log"), "w", encoding="utf-8") as file:
        file.write(results.tail(log))
    return out, found
