"""Building the mutants: the scratch copy of the tree under build/mutants/,
its unmutated build and the caps its test times give, and each mutant
written into it, built and judged in turn."""

import os
import shutil
import sys
import time
from pathlib import Path

from mutants_judging import E2E_TESTS, QUICK_TESTS, ctest, run


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


def build_unmutated(tree, build, logs, timeout):
    """Configures and builds the scratch tree unmutated and runs the whole
    suite once; returns the cap on each selection's run of a mutant."""
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
        caps[name] = timeout or max(60, int(10 * seconds))
        print(f"  {name} tests pass in {seconds:.1f} s; a mutant's cap is {caps[name]} s")
    return caps


def run_mutants(chosen, equivalents, tree, build, logs, caps):
    """Writes each chosen mutant into its scratch file, builds and judges it
    (the quick tests, then the end-to-end ones for what they let through),
    and puts the file back before a mutant of another file and at the end."""
    current = None  # the scratch file that holds a mutant, and its original text
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
