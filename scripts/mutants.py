"""Mutation testing of the product sources; run through scripts/mutants.sh.

Makes single-line mutants of profile_generator/ and notify_plugin/, builds
each one in a scratch copy of the tree under build/mutants/ and runs the
suite against it: the quick tests first, the end-to-end tests only for the
mutants the quick ones let through. A mutant is killed when a test fails or
runs out of time, survives when every test passes, and is "not built" when it
does not compile (it is then left out of the score).

The mutants: comparisons < and <=, > and >=, == and !=; && and ||; + and -,
+= and -=; integer constants +1 and -1; true and false; returned constants;
a ! dropped; a call statement deleted, or for one that spans lines, its
callee replaced by a lambda that does nothing. In headers only the constants
they define, on every line of a definition that spans lines. Comments,
string literals, preprocessor lines and static_asserts are skipped. A
sample takes the files in turn, each in an order the seed fixes. A test run
that outlasts its cap (--timeout; by default ten times the unmutated tree's
time, at least 60 s) kills the mutant. The scratch build adds
-Wno-error=parentheses -Wno-error=sign-compare: `a && b || c` and
`size == -1` are what the operators make, not faults the compiler should be
credited with.

scripts/mutants_equivalent.txt lists the mutants judged equivalent, each by
file, original line and mutated line (a `^` line names the line above where
the text occurs more than once) and a one-line reason; they are neither run
nor counted, and a run warns about entries that match no mutant any more.
"""

import argparse
import fcntl
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PRODUCT_DIRS = ("profile_generator", "notify_plugin")
EQUIVALENTS = ROOT / "scripts" / "mutants_equivalent.txt"
QUICK_TESTS = ["-LE", "native"]
E2E_TESTS = ["-L", "native"]


@dataclass
class Mutant:
    path: str  # relative to the tree's root
    line: int  # 1-based
    operator: str
    before: str
    after: str
    above: str = ""  # the nearest line above that is not blank
    result: str = ""
    detail: str = ""
    seconds: float = 0.0

    def key(self):
        return (self.path, normalise(self.before), normalise(self.after))

    def listed_in(self, equivalents):
        return any(e.matches(self) for e in equivalents)


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


def normalise(text):
    return " ".join(text.split())


# ---- reading the sources ---------------------------------------------------


def mask(source):
    """Blanks comments and the contents of string and character literals,
    keeping every other character (and every newline) where it is."""
    out = list(source)
    i, n = 0, len(source)

    def blank(start, end):
        for k in range(start, end):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = source[i]
        if source.startswith("//", i):
            end = source.find("\n", i)
            end = n if end < 0 else end
            blank(i, end)
            i = end
        elif source.startswith("/*", i):
            end = source.find("*/", i + 2)
            end = n if end < 0 else end + 2
            blank(i, end)
            i = end
        elif c == "R" and source.startswith('R"', i) and (i == 0 or not (source[i - 1].isalnum() or source[i - 1] == "_")):
            open_paren = source.find("(", i + 2)
            delimiter = source[i + 2 : open_paren]
            end = source.find(")" + delimiter + '"', open_paren)
            end = n if end < 0 else end + len(delimiter) + 2
            blank(i + 2, end - 1)
            i = end
        elif c == '"' or (c == "'" and not is_digit_separator(source, i)):
            k = i + 1
            while k < n and source[k] != c and source[k] != "\n":
                k += 2 if source[k] == "\\" else 1
            blank(i + 1, min(k, n))
            i = k + 1
        else:
            i += 1
    return "".join(out)


def is_digit_separator(source, i):
    k = i
    while k > 0 and (source[k - 1].isalnum() or source[k - 1] == "_"):
        k -= 1
    return k < i and source[k].isdigit()


# ---- the operators -----------------------------------------------------------
# Each finds spots in the masked line and gives (start, end, replacement).
# clang-format puts spaces around binary operators and none inside template
# brackets, so " < " is a comparison and "<" alone is not.

SWAPS = [
    ("comparison", r"(?<= )(<=|>=|<|>|==|!=)(?= )", {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}),
    ("logical", r"(?<= )(&&|\|\|)(?= )", {"&&": "||", "||": "&&"}),
    ("arithmetic", r"(?<= )(\+|-|\+=|-=)(?= )", {"+": "-", "-": "+", "+=": "-=", "-=": "+="}),
    ("boolean", r"\b(true|false)\b", {"true": "false", "false": "true"}),
]

INTEGER = re.compile(r"(?<![\w.'])(-?)(0[xX][0-9a-fA-F']+|\d[\d']*)([uUlL]*)(?![\w.'])")
RETURNED = re.compile(r"\breturn (-?\d+);")
NEGATION = re.compile(r"!(?=[\w(])")
CALL_START = re.compile(r"^(\(void\)\s*)?((::)?([A-Za-z_]\w*)[\w:]*((\.|->)[A-Za-z_]\w*)*)\(")
CONSTANT_START = re.compile(r"^\s*((inline|static)\s+)*constexpr\b")
NOT_CALLS = {"return", "if", "while", "for", "switch", "case", "throw", "delete", "sizeof", "static_assert", "using"}


def integer_mutations(masked):
    for m in INTEGER.finditer(masked):
        sign, digits, suffix = m.group(1), m.group(2), m.group(3)
        text = digits.replace("'", "")
        value = int(text, 16) if text[:2] in ("0x", "0X") else int(text, 10)
        if sign:
            value = -value
        for new in (value + 1, value - 1):
            if new < 0 and "u" in suffix.lower():
                continue
            if text[:2] in ("0x", "0X"):
                lower = any(c in "abcdef" for c in text[2:])
                body = ("-" if new < 0 else "") + text[:2] + format(abs(new), "x" if lower else "X")
            else:
                body = str(new)
            yield m.start(), m.end(), body + suffix


def returned_mutations(masked):
    for m in RETURNED.finditer(masked):
        value = int(m.group(1))
        for new in (0, 1, -1):
            if new != value:
                yield m.start(1), m.end(1), str(new)


def call_deletion(masked_lines, index):
    """A call statement on one line becomes an empty block, which keeps a
    braceless if or loop around it well-formed. One that goes on over more
    lines keeps its arguments but calls a lambda that does nothing."""
    line = masked_lines[index]
    text = line.strip()
    start = CALL_START.match(text)
    if not start or start.group(4) in NOT_CALLS:
        return None
    # It must start a statement, not continue one from the line above.
    for k in range(index - 1, -1, -1):
        previous = masked_lines[k].strip()
        if previous:
            if previous[-1] in ";{}:)" or previous.endswith("else"):
                break
            return None
    indent = len(line) - len(line.lstrip())
    if text.endswith(");") and text.count("(") == text.count(")"):
        return indent, len(line.rstrip()), "{}"
    if text.count("(") > text.count(")") and not text.endswith(";"):
        return indent + start.start(2), indent + start.end(2), "[](auto&&...) {}"
    return None


def mutants_of(path):
    source = (ROOT / path).read_text()
    originals = source.split("\n")
    masked_lines = mask(source).split("\n")
    header = path.endswith(".h")
    found = []
    continued = False  # the line goes on with a constant's definition from the line above
    for index, masked in enumerate(masked_lines):
        stripped = masked.strip()
        # In a header only the constants defined there take part, on every
        # line of a definition that clang-format has broken.
        defines = continued or re.search(r"\bconstexpr\b.*(=|\{)", masked)
        if header and stripped and not stripped.startswith("#"):
            continued = bool(continued or CONSTANT_START.match(masked)) and not stripped.endswith(";")
        if not stripped or stripped.startswith("#") or "static_assert" in masked or "__attribute__((format" in masked:
            continue
        if header and not defines:
            continue
        spots = []
        for operator, pattern, table in SWAPS:
            for m in re.finditer(pattern, masked):
                spots.append((operator, m.start(), m.end(), table[m.group(0)]))
        spots += [("constant", s, e, r) for s, e, r in integer_mutations(masked)]
        spots += [("returned", s, e, r) for s, e, r in returned_mutations(masked)]
        spots += [("negation", m.start(), m.end(), "") for m in NEGATION.finditer(masked)]
        deletion = None if header else call_deletion(masked_lines, index)
        if deletion:
            spots.append(("deletion",) + deletion)
        original = originals[index]
        above = next((line for line in reversed(originals[:index]) if line.strip()), "")
        seen = set()
        for operator, start, end, replacement in spots:
            after = original[:start] + replacement + original[end:]
            if after != original and after not in seen:
                seen.add(after)
                found.append(Mutant(path, index + 1, operator, original, after, above))
    return found


def product_files(pattern):
    files = []
    for directory in PRODUCT_DIRS:
        for p in sorted((ROOT / directory).iterdir()):
            if p.suffix in (".cpp", ".h"):
                rel = p.relative_to(ROOT).as_posix()
                if re.search(pattern, rel):
                    files.append(rel)
    return files


def choose(mutants, seed, size):
    """Files take turns, each handing out its mutants in an order the seed
    fixes, so a sample covers every file. The chosen ones run grouped by file
    (one rebuild of the file for each mutant and one to restore it)."""
    by_file = {}
    for m in mutants:
        by_file.setdefault(m.path, []).append(m)
    rng = random.Random(seed)
    queues = []
    for path in sorted(by_file):
        queue = list(by_file[path])
        rng.shuffle(queue)
        queues.append(queue)
    chosen = []
    while queues and (size is None or len(chosen) < size):
        for queue in list(queues):
            if size is not None and len(chosen) >= size:
                break
            chosen.append(queue.pop(0))
            if not queue:
                queues.remove(queue)
    order = {path: i for i, path in enumerate(sorted(by_file))}
    return sorted(chosen, key=lambda m: (order[m.path], m.line, m.operator, m.after))


# ---- the list of equivalent mutants ------------------------------------------


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


def describe(m):
    return f"{m.path}\n  - {m.before.strip()}\n  + {m.after.strip()}"


# ---- the scratch tree --------------------------------------------------------


def sync_tree(source, target):
    """Copies the developer's tree (without build/ and .git) to the scratch
    tree, touching only what differs so the next build stays incremental."""
    wanted = set()
    for directory, subdirectories, files in os.walk(source):
        rel_dir = Path(directory).relative_to(source)
        if rel_dir == Path("."):
            subdirectories[:] = [d for d in subdirectories if d not in ("build", ".git")]
        for name in files:
            rel = rel_dir / name
            wanted.add(rel)
            src, dst = source / rel, target / rel
            if dst.is_file() and src.read_bytes() == dst.read_bytes():
                continue
            dst.parent.mkdir(parents=True, exist_ok=True)
            if dst.exists() or dst.is_symlink():
                dst.unlink()
            shutil.copyfile(src, dst)  # a fresh time stamp: ninja sees the change
            shutil.copymode(src, dst)
    for directory, _, files in os.walk(target):
        for name in files:
            rel = Path(directory).relative_to(target) / name
            if rel not in wanted:
                (target / rel).unlink()


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


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    parser = argparse.ArgumentParser(prog="mutants.sh", description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1, help="fixes which mutants a sample takes (default 1)")
    parser.add_argument("--sample", default="30", help="number of mutants, or 'all' (default 30)")
    parser.add_argument("--files", default="", help="regular expression on the file's path, e.g. 'utf8|md5'")
    parser.add_argument("--timeout", type=int, help="seconds the quick or the end-to-end tests may take before the "
                        "mutant counts as killed (default: ten times the unmutated tree's time, at least 60)")
    parser.add_argument("--list", action="store_true", help="only list the chosen mutants")
    args = parser.parse_args()
    size = None if args.sample == "all" else int(args.sample)

    mutants = [m for path in product_files(args.files) for m in mutants_of(path)]
    equivalents = read_equivalents()
    chosen = choose(mutants, args.seed, size)
    files = set(product_files(args.files))
    for e in equivalents:
        if e.path in files and not any(e.matches(m) for m in mutants):
            print(f"warning: no such mutant, listed as equivalent: {e.path}: {e.before} -> {e.after}", file=sys.stderr)
    print(f"{len(mutants)} mutants in {len(files)} files; seed {args.seed}, taking {len(chosen)}")

    if args.list:
        for n, m in enumerate(chosen, 1):
            mark = "  (equivalent)" if m.listed_in(equivalents) else ""
            print(f"{n:4} {m.path}:{m.line} {m.operator}{mark}\n       - {m.before.strip()}\n       + {m.after.strip()}")
        return 0

    work = ROOT / "build" / "mutants"
    tree, build, logs = work / "src", work / "build", work / "logs"
    tree.mkdir(parents=True, exist_ok=True)
    lock = open(work / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        sys.exit(f"mutants.sh: another run is using {work}")
    if logs.exists():
        shutil.rmtree(logs)
    logs.mkdir()
    sync_tree(ROOT, tree)

    print("building the unmutated scratch tree and running the whole suite once")
    status, output = run(
        ["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja", "-DTOLVANE_BUILD_BENCH=OFF",
         # Warnings that only the operators themselves cause ("a && b || c",
         # "size == -1") must not make a mutant "not built".
         "-DCMAKE_CXX_FLAGS=-Wno-error=parentheses -Wno-error=sign-compare"],
        600,
        logs / "configure.txt",
    )
    if status != 0:
        sys.exit(output + "\nmutants.sh: the scratch tree does not configure")
    status, output = run(["ninja", "-C", str(build)], 3600, logs / "build.txt")
    if status != 0:
        sys.exit(output + "\nmutants.sh: the unmutated tree does not build")
    caps = {}
    for name, selection in (("quick", QUICK_TESTS), ("e2e", E2E_TESTS)):
        started = time.monotonic()
        verdict, detail = ctest(build, selection, 1800, logs / f"baseline-{name}.txt")
        if verdict != "survived":
            sys.exit(f"mutants.sh: the unmutated tree fails its {name} tests ({detail}); see {logs}")
        seconds = time.monotonic() - started
        caps[name] = args.timeout or max(60, int(10 * seconds))
        print(f"  {name} tests pass in {seconds:.1f} s; a mutant's cap is {caps[name]} s")

    current = None  # the scratch file that holds a mutant, and its original text
    started_all = time.monotonic()
    try:
        for n, m in enumerate(chosen, 1):
            if m.listed_in(equivalents):
                m.result = "equivalent"
                print(f"[{n:3}/{len(chosen)}] equivalent  {m.path}:{m.line} {m.operator}")
                continue
            started = time.monotonic()
            target = tree / m.path
            if current and current[0] != target:
                current[0].write_text(current[1])
                current = None
            if current is None:
                current = (target, target.read_text())
            lines = current[1].split("\n")
            lines[m.line - 1] = m.after
            target.write_text("\n".join(lines))
            log = logs / f"{n:04}"
            status, _ = run(["ninja", "-C", str(build)], 1200, f"{log}-build.txt")
            if status != 0:
                m.result, m.detail = "not built", ""
            else:
                m.result, m.detail = ctest(build, QUICK_TESTS, caps["quick"], f"{log}-quick.txt")
                if m.result == "survived":
                    m.result, m.detail = ctest(build, E2E_TESTS, caps["e2e"], f"{log}-e2e.txt")
            m.seconds = time.monotonic() - started
            detail = f"  ({m.detail})" if m.detail else ""
            print(f"[{n:3}/{len(chosen)}] {m.result:<11} {m.path}:{m.line} {m.operator}  {m.seconds:.0f} s{detail}")
            sys.stdout.flush()
    finally:
        if current:
            current[0].write_text(current[1])
    elapsed = time.monotonic() - started_all

    counted = [m for m in chosen if m.result in ("killed", "survived")]
    killed = sum(m.result == "killed" for m in counted)
    survivors = [m for m in chosen if m.result == "survived"]
    not_built = sum(m.result == "not built" for m in chosen)
    equivalent = sum(m.result == "equivalent" for m in chosen)
    ran = [m for m in chosen if m.result != "equivalent"]
    if survivors:
        print("\nsurvivors (list one in scripts/mutants_equivalent.txt, with a 'why:' line, only if it is")
        print("equivalent by construction):\n")
        for m in survivors:
            print(f"{describe(m)}\n  line {m.line}, {m.operator}\n")
    print(f"seed {args.seed}, sample {args.sample}: {len(chosen)} mutants, {equivalent} listed as equivalent "
          f"({len(equivalents)} in the list), {not_built} not built, {killed} killed, {len(survivors)} survived")
    if counted:
        print(f"score: {killed}/{len(counted)} = {100.0 * killed / len(counted):.1f} %")
    if ran:
        print(f"{elapsed:.0f} s, {elapsed / len(ran):.1f} s per mutant; logs in {logs}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
