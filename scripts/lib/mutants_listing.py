"""Listing the mutants: reading the product sources, the operators that
make single-line mutants of them, and the sample a seed takes."""

import random
import re
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
PRODUCT_DIRS = ("profile_generator", "notify_plugin")


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
