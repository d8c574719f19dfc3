"""The coverage of the product's folders, after the suites ran in a coverage
build; run by `scripts/test.sh coverage`.

    python3 scripts/coverage_report.py BUILD_DIR REPORT_DIR

Reads the counters with Debian's gcovr and prints, per product folder, the
lines run and the branches taken: all of them, without the edges the
compiler adds for exceptions (gcovr's --exclude-throw-branches), and without
those nor the branches on lines that hold no code of their own
(--exclude-unreachable-branches). Writes REPORT_DIR/index.html, each source
annotated, and REPORT_DIR/not_run.txt, every line that no test ran.

tests/coverage/floors.txt holds one line per folder, `FOLDER LINES
BRANCHES`: the least share in percent of its lines run, the listed ones left
out, and of its branches taken without exception edges, each rounded down
to a tenth from a run's figures. It fails when a folder falls below either.
The branch floor holds the last figure, without the branches on lines
without code as well: gcovr marks only the throwing calls' own edges, and
the cleanups that the compiler places on a closing brace, which only an
exception that unwinds through the function reaches, keep branches that no
test of the code's own paths can take.

tests/coverage/not_run.txt lists the lines that no test can run, each by
file, the line's text and a one-line reason, in blocks separated by a blank
line (lines that start with '#' are comments):

    notify_plugin/notify.cpp
    - const int r = [&thread] {
    why: the unwinding the compiler adds in case monitor_thread_routine() throws; it returns a pointer

Text is matched with its runs of blanks taken as one, so that an entry holds
wherever the line moves; an entry stands for one line, and a text that is
not run in two places is listed twice. An entry that matches no line left
unrun fails the run too: that line runs now, or is gone.
"""

import json
import re
import subprocess
import sys
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("notify_plugin/", "profile_generator/", "notify_check/")
FLOORS = ROOT / "tests" / "coverage" / "floors.txt"
NOT_RUN = ROOT / "tests" / "coverage" / "not_run.txt"


def blanks_as_one(text):
    return " ".join(text.split())


@dataclass
class Entry:
    path: str
    text: str
    why: str


def read_not_run():
    entries, problems = [], []
    blocks = re.split(r"\n\s*\n", NOT_RUN.read_text()) if NOT_RUN.exists() else []
    for block in blocks:
        lines = [line for line in block.splitlines() if line.strip() and not line.startswith("#")]
        if not lines:
            continue
        if len(lines) != 3 or not lines[1].startswith("- ") or not lines[2].startswith("why: "):
            problems.append(f"{NOT_RUN.name}: not 'file', '- line', 'why: reason': {lines}")
            continue
        entries.append(Entry(lines[0].strip(), blanks_as_one(lines[1][2:]), lines[2][5:].strip()))
    return entries, problems


def read_floors():
    floors = {}
    for number, line in enumerate(FLOORS.read_text().splitlines(), 1):
        words = line.split()
        if not words:
            continue
        if len(words) != 3 or words[0] not in FOLDERS:
            sys.exit(f"{FLOORS}:{number}: not 'FOLDER LINES BRANCHES' for one of {', '.join(FOLDERS)}")
        floors[words[0]] = (float(words[1]), float(words[2]))
    missing = [folder for folder in FOLDERS if folder not in floors]
    if missing:
        sys.exit(f"{FLOORS}: no floor for {', '.join(missing)}")
    return floors


def gcovr(build_dir, json_path, *options):
    filters = [word for folder in FOLDERS for word in ("--filter", re.escape(folder))]
    subprocess.run(["gcovr", "--root", str(ROOT), *filters, *options, "--json", str(json_path), str(build_dir)],
                   check=True)
    return json.loads(json_path.read_text())["files"]


def folder_of(path):
    return next((folder for folder in FOLDERS if path.startswith(folder)), None)


def share(part, whole):
    return 100.0 * part / whole if whole else 100.0


def main():
    build_dir, report_dir = Path(sys.argv[1]), Path(sys.argv[2])
    report_dir.mkdir(parents=True, exist_ok=True)
    floors = read_floors()
    entries, problems = read_not_run()

    # gcovr drops the edges itself: a source built twice (the sleep monitor)
    # merges the same way in each figure.
    everything = gcovr(build_dir, report_dir / "all.json")
    no_throw = gcovr(build_dir, report_dir / "without_exception_edges.json", "--exclude-throw-branches",
                     "--html-details", str(report_dir / "index.html"), "--html-title", "tolvane: what the suites run")
    fewest = gcovr(build_dir, report_dir / "nor_on_lines_without_code.json", "--exclude-throw-branches",
                   "--exclude-unreachable-branches")

    count = {folder: Counter() for folder in FOLDERS}
    unrun = []  # (path, line number, text)
    for f in everything:
        folder = folder_of(f["file"])
        if folder is None:
            continue
        source = (ROOT / f["file"]).read_text().splitlines()
        for line in f["lines"]:
            if line.get("gcovr/noncode") or line.get("gcovr/excluded"):
                continue
            count[folder]["lines"] += 1
            if line["count"]:
                count[folder]["lines run"] += 1
            else:
                unrun.append((f["file"], line["line_number"], source[line["line_number"] - 1]))
    for name, files in (("", everything), (" without throw", no_throw), (" fewest", fewest)):
        for f in files:
            folder = folder_of(f["file"])
            for line in f["lines"] if folder else []:
                if line.get("gcovr/noncode") or line.get("gcovr/excluded"):
                    continue
                for branch in line["branches"]:
                    count[folder]["branches" + name] += 1
                    count[folder]["taken" + name] += branch["count"] > 0

    # Each entry stands for one unrun line of its file with its text.
    wanted = Counter((e.path, e.text) for e in entries)
    listed, not_listed = [], []
    for path, number, text in unrun:
        key = (path, blanks_as_one(text))
        if wanted[key] > 0:
            wanted[key] -= 1
            listed.append((path, number, text))
        else:
            not_listed.append((path, number, text))
    for (path, text), left in wanted.items():
        if left > 0:
            problems.append(f"{NOT_RUN.name}: {path}: '{text}' is listed {left} time(s) more than it is left "
                            "unrun: it runs now or is gone; take it out of the list")
    with open(report_dir / "not_run.txt", "w") as out:
        for path, number, text in sorted(unrun):
            mark = "listed " if (path, number, text) in listed else ""
            out.write(f"{mark}{path}:{number}: {text.strip()}\n")

    failed = []
    for folder in FOLDERS:
        c = count[folder]
        in_list = sum(1 for path, _, _ in listed if path.startswith(folder))
        lines = share(c["lines run"], c["lines"] - in_list)
        branches = share(c["taken fewest"], c["branches fewest"])
        print(f"{folder:19} lines {share(c['lines run'], c['lines']):5.1f} % ({c['lines run']}/{c['lines']}), "
              f"{lines:5.1f} % but the {in_list} listed; branches {share(c['taken'], c['branches']):5.1f} % "
              f"({c['taken']}/{c['branches']}), without exception edges "
              f"{share(c['taken without throw'], c['branches without throw']):5.1f} % "
              f"({c['taken without throw']}/{c['branches without throw']}), nor on lines without code "
              f"{branches:5.1f} % ({c['taken fewest']}/{c['branches fewest']})")
        line_floor, branch_floor = floors[folder]
        if lines < line_floor or branches < branch_floor:
            failed.append(folder)
            print(f"FAILED: {folder} is below its floor of {line_floor} % of lines and {branch_floor} % of "
                  f"branches without exception edges nor on lines without code ({FLOORS.relative_to(ROOT)}); "
                  "lines no test runs:")
            for path, number, text in not_listed:
                if path.startswith(folder):
                    print(f"  {path}:{number}: {text.strip()}")
    for problem in problems:
        print(f"FAILED: {problem}")
    print(f"the report: {report_dir / 'index.html'}; every line no test runs: {report_dir / 'not_run.txt'}")
    return 1 if failed or problems else 0


if __name__ == "__main__":
    sys.exit(main())
