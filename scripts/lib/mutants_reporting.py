"""Reporting: the chosen mutants as a list, and a run's survivors and score."""


def describe(m):
    return f"{m.path}\n  - {m.before.strip()}\n  + {m.after.strip()}"


def print_list(chosen, equivalents):
    for n, m in enumerate(chosen, 1):
        mark = "  (equivalent)" if m.listed_in(equivalents) else ""
        print(f"{n:4} {m.path}:{m.line} {m.operator}{mark}\n       - {m.before.strip()}\n       + {m.after.strip()}")


def print_summary(chosen, equivalents, seed, sample, elapsed, logs):
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
    print(f"seed {seed}, sample {sample}: {len(chosen)} mutants, {equivalent} listed as equivalent "
          f"({len(equivalents)} in the list), {not_built} not built, {killed} killed, {len(survivors)} survived")
    if counted:
        print(f"score: {killed}/{len(counted)} = {100.0 * killed / len(counted):.1f} %")
    if ran:
        print(f"{elapsed:.0f} s, {elapsed / len(ran):.1f} s per mutant; logs in {logs}")
