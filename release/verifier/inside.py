#!/usr/bin/env python3
"""What verify-release runs in the clean root.

    python3 -m verifier.inside STAGE ...     from the folder that holds verifier/ and common/

    hook ROOT                      mmdebstrap's hook, once the clean root is made
    contain ROOT STAGE             runs a stage in the sandbox (signature or build)
    signature FOLDER               checks the published program's signature
    build SOURCE TREE LOG          builds the program
    package TREE LOG [SIGNATURE]   makes the package, with the published signature

The hook installs the recorded versions (with the network), then has each
stage run in the sandbox, and leaves what the stages made, with its own
findings, in the root's /verify-out, which mmdebstrap copies out; asked to,
it also lays out the Debian archive the root was made from in
/verify-archive. It only
reads the verifier's folder: where mmdebstrap runs unprivileged, the hook's
root is not the verifier's user. The signature stage runs first, apart, so
that the build never sees the published program; the build's program is
taken out before the package step, the only one to see the published
signature. With --here, verify-release runs the stages itself, on this
machine.
"""

import argparse
import json
import os
import shutil
import sys

sys.dont_write_bytecode = True
from common import debian  # noqa: E402
from verifier import processes  # noqa: E402
from verifier import results  # noqa: E402
from verifier import sandbox  # noqa: E402
from common import signature  # noqa: E402
from verifier import snapshot  # noqa: E402
from verifier.processes import run  # noqa: E402

# Set for the hook: the verifier's work folder.
HOOK_WORK = "LAYERCLEANUP_VERIFY_WORK"
SIGNATURE_FINDINGS = (("signature.json", results.LARGEST_FINDINGS), ("signature.log", results.LARGEST_FINDINGS),
                      ("signature", results.LARGEST_FINDINGS), ("unsigned.exe", results.LARGEST_ENTRY))


def stage_signature(folder):
    """Takes the published program's signature out, says who made it, and
    takes it off the program."""
    program = os.path.join(folder, "packaged.exe")
    pem = os.path.join(folder, "signature")
    status, said = signature.extract(program, pem)
    log = [said]
    found = {"signed": status == 0}
    if found["signed"]:
        try:
            found["signers"], found["nested"] = signature.structure(pem)
            certificates = signature.carried(pem)
        except signature.Unreadable as error:
            log.append("%s\n" % error)
            certificates = []
        if certificates:
            anchors = os.path.join(folder, "anchors.pem")
            signature.write_anchors(certificates, anchors)
            made, said = signature.made_by(program, certificates, anchors)
            log.append(said)
            found["made_by"] = [certificate.fingerprint for certificate in made]
            found["subject"] = made[0].subject if made else ""
            # Another carried certificate that fits the signer's name could be
            # the one the signature names, whoever's key made it.
            found["ambiguous"] = any(sum(other.names_as(certificate) for other in certificates) > 1
                                     for certificate in made)
        found["stripped"] = run(["osslsigncode", "remove-signature", "-in", program,
                                 "-out", os.path.join(folder, "unsigned.exe")],
                                os.path.join(folder, "remove.log")) == 0
    with open(os.path.join(folder, "signature.log"), "w", encoding="utf-8") as file:
        file.write("".join(log))
    with open(os.path.join(folder, "signature.json"), "w", encoding="utf-8") as file:
        json.dump(found, file)


def stage_build(source, tree, log):
    """Configures and builds the program, without the published signature."""
    if run(["cmake", "-S", source, "-B", tree, "--preset", "win32", "-DLAYERCLEANUP_REQUIRE_ARCHIVE_VERSIONS=OFF"],
           log, env=builder_environment()) == 0:
        run(["cmake", "--build", tree], log, env=builder_environment())


def stage_package(tree, log, signature_path=None):
    """Makes the package of the built program, with the published signature
    joined to it where there is one."""
    environment = builder_environment()
    if signature_path:
        environment["LAYERCLEANUP_SIGNATURE"] = signature_path
    run(["cmake", "--build", tree, "--target", "package"], log, env=environment)


def builder_environment():
    return {name: value for name, value in os.environ.items() if not name.startswith("LAYERCLEANUP_SIGN")}


def signature_findings(folder):
    """What the signature stage found, its output, and the program it took
    the signature off (None where it could not)."""
    found = results.load(os.path.join(folder, "signature.json"))
    found["log"] = results.tail(os.path.join(folder, "signature.log"))
    found["unsigned"] = results.read(folder, "unsigned.exe", results.LARGEST_ENTRY) if found.get("stripped") else None
    return found


def build_output(out):
    """What the build said, then what the sandbox and the stages said (where
    the sandbox failed, its only word), from the folder of results."""
    return results.tail(os.path.join(out, "build.log")) + results.tail(os.path.join(out, "stages.log"))


def take_all(base, names, out):
    """Copies the results names from base to out, each where it is a regular
    file of at most its bound."""
    for name, largest in names:
        data = results.read(base, name, largest)
        if data is not None:
            with open(os.path.join(out, os.path.basename(name)), "wb") as file:
                file.write(data)


def hook(root, work):
    def chroot(argv, log):
        return run(["chroot", root, "env", "-i", "PATH=" + sandbox.CLEAN_PATH, "LC_ALL=C.UTF-8",
                    "DEBIAN_FRONTEND=noninteractive"] + argv, log)

    def said(path):
        return results.tail(path, results.LARGEST_FINDINGS)

    plan = results.load(os.path.join(work, "plan.json"))
    pins = [(name, version) for name, version in plan["pins"]]
    result = {}
    out = os.path.join(root, "verify-out")
    os.mkdir(out, 0o755)
    os.mkdir(os.path.join(root, "verify-archive"), 0o755)
    offered = os.path.join(out, "madison.log")
    chroot(debian.offered_query(name for name, _ in pins), offered)
    result["missing"] = ["%s %s" % (name, version) for name, version, _ in debian.unavailable(pins, said(offered))]
    if not result["missing"]:
        install = os.path.join(out, "install.log")
        wanted = plan["extras"] + ["%s=%s" % pin for pin in pins]
        if chroot(["apt-get", "install", "-y", "-q", "--no-install-recommends", "--allow-downgrades"] + wanted,
                  install) != 0:
            result["setup"] = results.tail(install)
        else:
            query = os.path.join(out, "installed.log")
            chroot(debian.installed_query(name for name, _ in pins), query)
            installed = debian.installed(said(query))
            wrong = ["%s %s (recorded: %s)" % (name, installed.get(name, "none"), version)
                     for name, version in pins if installed.get(name) != version]
            if wrong:
                result["setup"] = "installed versions differ: " + ", ".join(wrong)
            else:
                if plan.get("keep"):
                    snapshot.keep(root, os.path.join(root, "verify-archive"))
                place = os.path.join(root, "verify")
                os.makedirs(os.path.join(place, "space"))
                shutil.copytree(os.path.join(work, "tools"), os.path.join(place, "tools"))
                shutil.copytree(os.path.join(work, "inside", "source"), os.path.join(place, "source"))
                # Each stage in a mount namespace of its own, which takes its tmpfs along when it ends.
                for stage in ["signature"] * plan["signed"] + ["build"]:
                    run(["unshare", "--mount", "--propagation", "private", "--mount-proc", "--", sys.executable,
                         "-B", "-m", "verifier.inside", "contain", root, stage],
                        os.path.join(out, "stages.log"))
                result["ran"] = True
    with open(os.path.join(out, "root.json"), "w", encoding="utf-8") as file:
        json.dump(result, file)


def contain(root, stage, work):
    """Runs a stage in the sandbox, with a tmpfs of its own, and copies out
    what it made, and the limit it reached, if any."""
    plan = results.load(os.path.join(work, "plan.json"))
    # Read before the root is shown over /tmp, where the work folder may lie.
    published = results.read(os.path.join(work, "inside"), "packaged.exe", results.LARGEST_ENTRY) \
        if stage == "signature" else None
    root = sandbox.show_root(root)
    out = os.path.join(root, "verify-out")
    space = sandbox.Space(os.path.join(root, "verify", "space"))
    tools = [(os.path.join(root, "verify", "tools"), "/verify/tools", False)]
    this = ["python3", "-B", "-m", "verifier.inside"]
    if stage == "signature":
        space.put(published, "packaged.exe")
        reached = space.run(root, tools, this + ["signature", "/verify/work"], os.path.join(out, "stages.log"))
        take_all(os.path.join(space.path, "work"), SIGNATURE_FINDINGS, out)
    else:
        tree = "/verify/work/build"
        tools += [(os.path.join(root, "verify", "source"), "/verify/source", False)]
        reached = space.run(root, tools,
                            this + ["build", "/verify/source/" + plan["top"], tree, "/verify/work/build.log"],
                            os.path.join(out, "stages.log"))
        # Taken before the package step runs, which sees the published signature.
        take_all(os.path.join(space.path, "work"), [("build/" + plan["program"], results.LARGEST_ENTRY)], out)
        if not reached:
            published_signature = os.path.join(out, "signature")
            given = [(published_signature, "/verify/signature", False)] if os.path.isfile(published_signature) \
                else []
            reached = space.run(root, tools + given, this + ["package", tree, "/verify/work/build.log"]
                                + [target for _, target, _ in given], os.path.join(out, "stages.log"))
            take_all(os.path.join(space.path, "work"), [("build/" + plan["package"], results.LARGEST_ZIP)], out)
        with open(os.path.join(out, "build.log"), "w", encoding="utf-8") as file:
            file.write(results.tail(os.path.join(space.path, "work", "build.log")))
    if reached:
        with open(os.path.join(out, "limit"), "w", encoding="utf-8") as file:
            file.write(reached)


def main():
    parser = argparse.ArgumentParser(prog="inside.py", usage=__doc__.split("\n\n")[1].strip())
    stages = parser.add_subparsers(dest="stage", required=True)
    for stage, names in (("hook", ["root"]), ("contain", ["root", "which"]), ("signature", ["folder"]),
                         ("build", ["source", "tree", "log"]), ("package", ["tree", "log"])):
        command = stages.add_parser(stage)
        for name in names:
            command.add_argument(name)
    stages.choices["package"].add_argument("signature", nargs="?")
    arguments = parser.parse_args()
    if arguments.stage in ("hook", "contain"):
        processes.own_sessions = False
    # In the sandbox the tools' folder is where python3 -m finds them; each stage works in its own.
    if arguments.stage == "signature":
        os.chdir(arguments.folder)
    elif arguments.stage in ("build", "package"):
        os.chdir(os.path.dirname(arguments.tree))
    if arguments.stage == "hook":
        hook(arguments.root, os.environ[HOOK_WORK])
    elif arguments.stage == "contain":
        contain(arguments.root, arguments.which, os.environ[HOOK_WORK])
    elif arguments.stage == "signature":
        stage_signature(arguments.folder)
    elif arguments.stage == "build":
        stage_build(arguments.source, arguments.tree, arguments.log)
    else:
        stage_package(arguments.tree, arguments.log, arguments.signature)


if __name__ == "__main__":
    main()
