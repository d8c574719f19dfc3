"""Judging a mutant: the list of those judged equivalent, and the runs of
the tests that kill a mutant or let it survive."""

import os
import re
import signal
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

from mutants_listing import ROOT, normalise

EQUIVALENTS = ROOT / "scripts" / "mutants_equivalent.txt"
QUICK_TESTS = ["-LE", "native"]
E2E_TESTS = ["-L", "native"]


@dataclass
class Equivalent:
    path: str
    above: str  # "" when any line above will do
    before: str
    after: str  # "*": every mutant of the line
    why: str

    def matches(self, m):
        path, before, after = m.key()
        return (
            (self.path, self.before) == (path, before)
            and self.after in (after, "*")
            and (not self.above or self.above == normalise(m.above))
        )


def read_equivalents():
    """Blocks separated by blank lines: the file; optionally "^ " and the
    nearest line above that is not blank, for a line whose text occurs more
    than once; "- " and the original line; "+ " and the mutated line (or "*"
    for every mutant of that line); "why: " and the reason. Lines are compared
    with their runs of blanks as one."""
    entries = []
    if not EQUIVALENTS.exists():
        return entries
    block = {}
    lines = EQUIVALENTS.read_text().split("\n") + [""]
    for number, raw in enumerate(lines, 1):
        line = raw.strip()
        if line.startswith("#"):
            continue
        if not line:
            if block:
                if not {"file", "-", "+", "why"} <= set(block) <= {"file", "^", "-", "+", "why"}:
                    sys.exit(f"{EQUIVALENTS}:{number}: an entry needs a file, '- ', '+ ' and 'why: ' lines")
                entries.append(Equivalent(block["file"], normalise(block.get("^", "")), normalise(block["-"]),
                                          normalise(block["+"]), block["why"]))
                block = {}
            continue
        if line.startswith("^ "):
            block["^"] = line[2:]
        elif line.startswith("- ") or line == "-":
            block["-"] = line[2:]
        elif line.startswith("+ ") or line == "+":
            block["+"] = line[2:]
        elif line.startswith("why:"):
            block["why"] = line[4:].strip()
        else:
            block["file"] = line
    return entries


def run(command, timeout, log):
    """Runs a command in a process group of its own; on timeout the whole
    group goes. Returns (exit status or None on timeout, output)."""
    with open(log, "w") as out:
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            status = None
        except BaseException:  # an interrupt must not leave the tests running
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise
    return status, Path(log).read_text(errors="replace")


def failed_tests(output):
    names = re.findall(r"^\s*\d+ - (\S+) \(", output, re.M)
    return ",".join(names) if names else "?"


def ctest(build, selection, cap, log):
    """The cap is on the whole run of the selection: a test's own TIMEOUT
    property would let a hang go on for minutes."""
    status, output = run(
        ["ctest", "--test-dir", str(build), "-j", str(os.cpu_count() or 1), "--stop-on-failure"] + selection,
        cap,
        log,
    )
    if status is None:
        return "killed", f"over {cap} s"
    if status != 0:
        return "killed", failed_tests(output)
    return "survived", ""


# ---- main --------------------------------------------------------------------
