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
import shutil
import signal
import sys
import time
from pathlib import Path

# Listing, judging, building and reporting live in scripts/lib/.
sys.path.insert(0, str(Path(__file__).resolve().parent / "lib"))

from mutants_building import build_unmutated, run_mutants, sync_tree  # noqa: E402
from mutants_judging import read_equivalents  # noqa: E402
from mutants_listing import ROOT, choose, mutants_of, product_files  # noqa: E402
from mutants_reporting import print_list, print_summary  # noqa: E402


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
        print_list(chosen, equivalents)
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

    caps = build_unmutated(tree, build, logs, args.timeout)
    started = time.monotonic()
    run_mutants(chosen, equivalents, tree, build, logs, caps)
    print_summary(chosen, equivalents, args.seed, args.sample, time.monotonic() - started, logs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
