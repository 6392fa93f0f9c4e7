#!/usr/bin/env python3
"""What verify-release runs where the source is built.

    inside.py hook ROOT                      mmdebstrap's hook, once the clean root is made
    inside.py signature FOLDER               checks the published program's signature
    inside.py build FOLDER TOP PROGRAM       builds the program, then the package

The hook installs the recorded versions (with the network), then runs the two
stages as nobody in a network namespace of their own, and leaves what they
made, with its own findings, in the root's /verify-out, which mmdebstrap
copies out. It only reads the verifier's folder: where mmdebstrap runs
unprivileged, the hook's root is not the verifier's user. The signature
stage runs, and is copied out, before the build, so that nothing the build
does can change its findings. With --here, verify-release runs the stages
itself, on this machine.
"""

import argparse
import json
import os
import shutil
import stat
import sys

sys.dont_write_bytecode = True
import debian  # noqa: E402
import processes  # noqa: E402
import signature  # noqa: E402
from processes import run, tail  # noqa: E402

# The unprivileged user the source is built as in the clean root (nobody).
BUILDER = 65534
# Set for the hook: the verifier's work folder.
HOOK_WORK = "LAYERCLEANUP_VERIFY_WORK"
CLEAN_PATH = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
SIGNATURE_FINDINGS = ("signature.json", "signature.log", "unsigned.exe")


def build_products(program, package):
    return ("build.json", "build.log", "build/" + program, "build/" + package)


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


def stage_build(folder, top, program_name):
    """Builds the program, then the package with the published signature."""
    source = os.path.join(folder, "source", top)
    tree = os.path.join(folder, "build")
    log = os.path.join(folder, "build.log")
    environment = {name: value for name, value in os.environ.items()
                   if not name.startswith("LAYERCLEANUP_SIGN")}
    result = {"program": False, "package": False}
    if run(["cmake", "-S", source, "-B", tree, "--preset", "win32", "-DLAYERCLEANUP_REQUIRE_ARCHIVE_VERSIONS=OFF"],
           log, env=environment) == 0 and run(["cmake", "--build", tree], log, env=environment) == 0:
        result["program"] = os.path.isfile(os.path.join(tree, program_name))
        if os.path.isfile(os.path.join(folder, "signature")):
            environment["LAYERCLEANUP_SIGNATURE"] = os.path.join(folder, "signature")
        result["package"] = run(["cmake", "--build", tree, "--target", "package"], log, env=environment) == 0
    with open(os.path.join(folder, "build.json"), "w", encoding="utf-8") as file:
        json.dump(result, file)


def load(path):
    try:
        with open(path, encoding="utf-8") as file:
            found = json.load(file)
        return found if isinstance(found, dict) else {}
    except (OSError, ValueError):
        return {}


def signature_findings(folder):
    """What the signature stage found, its output, and the program it took
    the signature off (None where it could not)."""
    found = load(os.path.join(folder, "signature.json"))
    found["log"] = tail(os.path.join(folder, "signature.log"))
    found["unsigned"] = None
    if found.get("stripped"):
        try:
            with open(os.path.join(folder, "unsigned.exe"), "rb") as file:
                found["unsigned"] = file.read()
        except OSError:
            pass
    return found


def copy_out(base, relative, target):
    """Copies base/relative, a file the builder made, to target. No link it
    may have left is followed, in the file's name or in its folders'."""
    descriptors = []
    try:
        descriptors.append(os.open(base, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW))
        parts = relative.split("/")
        for folder in parts[:-1]:
            descriptors.append(os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=descriptors[-1]))
        descriptor = os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW, dir_fd=descriptors[-1])
    except OSError:
        return
    finally:
        for folder in descriptors:
            os.close(folder)
    with os.fdopen(descriptor, "rb") as file:
        if stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            with open(target, "wb") as copy:
                shutil.copyfileobj(file, copy)


def copy_all_out(base, names, out):
    for name in names:
        copy_out(base, name, os.path.join(out, os.path.basename(name)))


def hook(root, work):
    def chroot(argv, log):
        return run(["chroot", root, "env", "-i", CLEAN_PATH, "LC_ALL=C.UTF-8", "DEBIAN_FRONTEND=noninteractive"]
                   + argv, log)

    def as_builder(argv, log):
        return run(["unshare", "--net", "--", "chroot", "--userspec=%d:%d" % (BUILDER, BUILDER),
                    "--groups=%d" % BUILDER, root, "env", "-i", CLEAN_PATH, "LC_ALL=C.UTF-8", "HOME=/verify/home"]
                   + argv, log)

    def said(path):
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read()

    plan = load(os.path.join(work, "plan.json"))
    pins = [(name, version) for name, version in plan["pins"]]
    result = {}
    out = os.path.join(root, "verify-out")
    os.mkdir(out, 0o755)
    offered = os.path.join(out, "madison.log")
    chroot(debian.offered_query(name for name, _ in pins), offered)
    result["missing"] = ["%s %s" % (name, version) for name, version, _ in debian.unavailable(pins, said(offered))]
    if not result["missing"]:
        install = os.path.join(out, "install.log")
        wanted = plan["extras"] + ["%s=%s" % pin for pin in pins]
        if chroot(["apt-get", "install", "-y", "-q", "--no-install-recommends", "--allow-downgrades"] + wanted,
                  install) != 0:
            result["setup"] = tail(install)
        else:
            query = os.path.join(out, "installed.log")
            chroot(debian.installed_query(name for name, _ in pins), query)
            installed = debian.installed(said(query))
            wrong = ["%s %s (recorded: %s)" % (name, installed.get(name, "none"), version)
                     for name, version in pins if installed.get(name) != version]
            if wrong:
                result["setup"] = "installed versions differ: " + ", ".join(wrong)
            else:
                build_as_builder(root, work, plan, as_builder, out)
                result["ran"] = True
    with open(os.path.join(out, "root.json"), "w", encoding="utf-8") as file:
        json.dump(result, file)


def build_as_builder(root, work, plan, as_builder, out):
    """Runs the stages in the root as nobody, and copies out what each made."""
    place = os.path.join(root, "verify")
    os.makedirs(place, 0o755)
    shutil.copytree(os.path.join(work, "tools"), os.path.join(place, "tools"))
    shutil.copytree(os.path.join(work, "inside"), os.path.join(place, "work"), symlinks=True)
    os.makedirs(os.path.join(place, "home"))
    for folder in ("work", "home"):
        for parent, folders, files in os.walk(os.path.join(place, folder)):
            for name in [parent] + [os.path.join(parent, entry) for entry in folders + files]:
                os.lchown(name, BUILDER, BUILDER)
    stage = ["python3", "/verify/tools/inside.py"]
    log = os.path.join(out, "stages.log")
    if plan["signed"]:
        as_builder(stage + ["signature", "/verify/work"], log)
        copy_all_out(os.path.join(place, "work"), SIGNATURE_FINDINGS, out)
    as_builder(stage + ["build", "/verify/work", plan["top"], plan["program"]], log)
    copy_all_out(os.path.join(place, "work"), build_products(plan["program"], plan["package"]), out)


def main():
    parser = argparse.ArgumentParser(prog="inside.py", usage=__doc__.split("\n\n")[1].strip())
    stages = parser.add_subparsers(dest="stage", required=True)
    stages.add_parser("hook").add_argument("root")
    stages.add_parser("signature").add_argument("folder")
    build = stages.add_parser("build")
    for name in ("folder", "top", "program"):
        build.add_argument(name)
    arguments = parser.parse_args()
    if arguments.stage == "hook":
        processes.own_sessions = False
        hook(arguments.root, os.environ[HOOK_WORK])
    elif arguments.stage == "signature":
        stage_signature(arguments.folder)
    else:
        stage_build(arguments.folder, arguments.top, arguments.program)


if __name__ == "__main__":
    main()
