"""verify-release's verdicts, and how it speaks.

A check ends in one Verdict, which one place prints as the last line and
returns as the status. A step deep inside a check that finds the release
wanting raises Refused with its verdict; nothing is raised for success.
Everything reaches the terminal through say(), show() and the verdict's
line(), and each passes it through shown(): the verdict is the only line
that is not marked as the verifier's own or as quoted output."""

import sys
import unicodedata
from typing import NamedTuple

VERIFIED, NOT_VERIFIED, CANNOT_VERIFY = 0, 1, 3  # 2: usage errors, as argparse gives them
LABELS = {VERIFIED: "VERIFIED", NOT_VERIFIED: "NOT VERIFIED", CANNOT_VERIFY: "CANNOT VERIFY"}
# Unicode's control, format (bidirectional marks among them), surrogate,
# private and unassigned characters, and its line and paragraph separators.
UNSAFE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}


class Verdict(NamedTuple):
    status: int
    sentence: str

    def line(self):
        return "%s: %s" % (LABELS[self.status], shown(self.sentence, 4000))


class Refused(Exception):
    """A step found that the check ends here, with this verdict."""

    def __init__(self, status, sentence):
        super().__init__(sentence)
        self.verdict = Verdict(status, sentence)


class Interrupted(Exception):
    pass


def escape(character):
    """A character as a terminal may be shown it: itself, or escaped where it
    is a control."""
    if unicodedata.category(character) not in UNSAFE:
        return character
    code = ord(character)
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code if code < 0x10000 else "\\U%08x" % code


def shown(text, longest=200):
    """Text of outside origin (a file name, a version, a service's answer, a
    tool's output), made safe for a terminal and cut to longest characters:
    every control character is shown escaped, C0 and C1 controls, escape,
    carriage return and backspace among them, and Unicode's bidirectional and
    other format controls and line separators. Applying it twice changes
    nothing more."""
    text = "".join(escape(character) for character in str(text))
    return text if len(text) <= longest else text[:longest] + "..."


def say(text):
    """Prints a line of the verifier's own, which may quote outside text."""
    print("verify-release: " + shown(text, 4000), flush=True)


def show(text, heading):
    """Prints output that the release's build or a tool made under a heading,
    each line indented and made safe, so that none can pass for the verdict
    or run into it."""
    say(heading + ":")
    for line in str(text).split("\n"):
        print("    " + shown(line, 2000))
    sys.stdout.flush()
