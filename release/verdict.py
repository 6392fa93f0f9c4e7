"""verify-release's verdicts, and how it speaks.

A check ends in one Verdict, which one place prints as the last line and
returns as the status. A step deep inside a check that finds the release
wanting raises Refused with its verdict; nothing is raised for success."""

from typing import NamedTuple

VERIFIED, NOT_VERIFIED, CANNOT_VERIFY = 0, 1, 3  # 2: usage errors, as argparse gives them
LABELS = {VERIFIED: "VERIFIED", NOT_VERIFIED: "NOT VERIFIED", CANNOT_VERIFY: "CANNOT VERIFY"}


class Verdict(NamedTuple):
    status: int
    sentence: str

    def line(self):
        return "%s: %s" % (LABELS[self.status], self.sentence)


class Refused(Exception):
    """A step found that the check ends here, with this verdict."""

    def __init__(self, status, sentence):
        super().__init__(sentence)
        self.verdict = Verdict(status, sentence)


class Interrupted(Exception):
    pass


def say(text):
    print("verify-release: " + text, flush=True)


def shown(text, longest=200):
    """Text from the release, made safe to print on one line."""
    text = "".join(character if " " <= character <= "~" else "?" for character in text)
    return text if len(text) <= longest else text[:longest] + "..."


def show(text):
    """Prints output that the release's build or tools made, line by line and
    made safe, so that nothing in it can pass for, or run into, the verdict."""
    for line in text.splitlines():
        print(shown(line, 2000))
