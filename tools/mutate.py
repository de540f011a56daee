#!/usr/bin/env python3
"""Mutation testing of the test suite: ./dev mutate [N] [--seed S].

Finds the places in the C++ of src/ where a small fault can be planted (a
negated comparison, && and || swapped, true and false swapped, an integer
literal one off), picks N of them at random with the given seed, and for each
one plants the fault, rebuilds the module, runs the suite with -x and records
whether a test failed (killed), none did (survived), the suite hung (timeout,
counted as killed) or the fault does not compile (unbuildable).

Everything happens in a scratch copy of the work tree (build/mutate/tree, with
its own build directory and virtual environment), so the work tree is never
modified, even by an interrupted run; each run first brings the copy up to date
with the work tree. The report goes to standard output and build/mutate/report.txt.

The sites are enumerated in sorted path order and the choice depends only on
the seed and the sources, so a seed names the same mutants on a given tree.
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
WORK = ROOT / "build" / "mutate"
TREE = WORK / "tree"
VENV = WORK / "venv"
LOGS = WORK / "logs"
REPORT = WORK / "report.txt"
# Inside the scratch copy, so a rebuild after one planted fault recompiles only
# what depends on the changed file.
BUILD_DIR = TREE / "build" / "{wheel_tag}-mutate"

# Never copied into the scratch tree, and left alone there.
SKIPPED_NAMES = {".git", "__pycache__", ".hypothesis", ".pytest_cache"}
TOP_LEVEL_SKIPPED = {"build"}

# --- Tokens -------------------------------------------------------------------

PUNCTUATORS = sorted(
    """<=> <<= >>= ->* -> :: << >> <= >= == != && || ++ -- += -= *= /= %= &= |= ^= ... .*
       { } [ ] ( ) ; : , . ? ~ ! + - * / % ^ & | = < > #""".split(),
    key=len,
    reverse=True,
)
RAW_PREFIXES = {"R", "u8R", "uR", "UR", "LR"}


@dataclass
class Token:
    kind: str  # "ident", "number", "punct"
    text: str
    start: int
    end: int
    space_before: bool
    space_after: bool = False


def tokenize(text):
    """Tokens of C++ source outside comments, string and character literals and
    preprocessor directives (which are dropped whole)."""
    tokens = []
    i, n = 0, len(text)
    line_start = True  # only blanks since the last newline
    while i < n:
        c = text[i]
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if text.startswith("//", i):
            i = text.find("\n", i)
            i = n if i < 0 else i
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
            continue
        if c == "#" and line_start:
            # A directive: to the end of the line, continuation lines included.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    i += 1
                i += 1
            continue
        line_start = False
        space = i == 0 or text[i - 1].isspace()
        if c == '"' or c == "'":
            i = skip_quoted(text, i)
            continue
        if c.isalpha() or c == "_":
            j = i
            while j < n and (text[j].isalnum() or text[j] == "_"):
                j += 1
            word = text[i:j]
            if j < n and text[j] == '"' and word in RAW_PREFIXES:
                i = skip_raw_string(text, j)
                continue
            if j < n and text[j] in "'\"" and word in {"u8", "u", "U", "L"}:
                i = skip_quoted(text, j)
                continue
            tokens.append(Token("ident", word, i, j, space))
            i = j
            continue
        if c.isdigit() or (c == "." and i + 1 < n and text[i + 1].isdigit()):
            j = i + 1
            while j < n:
                d = text[j]
                if d.isalnum() or d in "_.":
                    j += 1
                elif d == "'" and j + 1 < n and text[j + 1].isalnum():
                    j += 1  # digit separator
                elif d in "+-" and text[j - 1] in ("pP" if text[i:j].lower().startswith("0x") else "eE"):
                    j += 1  # exponent sign
                else:
                    break
            tokens.append(Token("number", text[i:j], i, j, space))
            i = j
            continue
        for p in PUNCTUATORS:
            if text.startswith(p, i):
                tokens.append(Token("punct", p, i, i + len(p), space))
                i += len(p)
                break
        else:
            i += 1  # a character C++ has no use for outside literals (`@`, `$`)
    for t in tokens:
        t.space_after = t.end >= n or text[t.end].isspace()
    return tokens


def skip_quoted(text, i):
    quote = text[i]
    i += 1
    while i < len(text) and text[i] != quote:
        i += 2 if text[i] == "\\" else 1
    return i + 1


def skip_raw_string(text, i):
    open_paren = text.index("(", i)
    closing = ")" + text[i + 1 : open_paren] + '"'
    end = text.find(closing, open_paren)
    return len(text) if end < 0 else end + len(closing)


NOT_AFTER_LOGICAL_AND = {"{", ";", ")", ",", ">", "=", "->", "noexcept", "const", "override", "final"}


def is_logical_and(tokens, i):
    # `a && b` is written with blanks around it; a forwarding reference
    # (`T&& x`) is not, and an rvalue-qualified member (`f() && {`) is followed
    # by what cannot start an operand.
    tok = tokens[i]
    return (
        tok.text == "&&"
        and tok.space_before
        and tok.space_after
        and (i + 1 == len(tokens) or tokens[i + 1].text not in NOT_AFTER_LOGICAL_AND)
    )


def template_brackets(tokens):
    """Indices of the `<` and `>` tokens that bracket template arguments.

    A `<` right after a name opens a template argument list when a matching `>`
    follows before anything that cannot be inside one: a `;`, a brace, a logical
    operator, `?`, or a parenthesis closing beyond where the `<` stood."""
    marked = set()
    for i, tok in enumerate(tokens):
        if tok.text != "<" or i in marked or i == 0 or tokens[i - 1].kind != "ident":
            continue
        depth, paren = 1, 0
        for j in range(i + 1, min(len(tokens), i + 200)):
            t = tokens[j]
            if t.text in "([":
                paren += 1
            elif t.text in ")]":
                if paren == 0:
                    break
                paren -= 1
            elif paren > 0:
                continue
            elif t.text in (";", "{", "}", "||", "?") or is_logical_and(tokens, j):
                break
            elif t.text == "<" and tokens[j - 1].kind == "ident":
                depth += 1
            elif t.text == ">":
                depth -= 1
            elif t.text == ">>":
                depth -= 2
            if depth <= 0:
                marked.update((i, j))
                break
    return marked


# --- Mutation sites -----------------------------------------------------------

COMPARISON_FLIPS = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
INTEGER = re.compile(r"(?P<digits>0[xX][0-9a-fA-F']+|0[bB][01']+|[0-9][0-9']*)(?P<suffix>[uUlLzZ]*)")


@dataclass
class Mutant:
    path: str  # relative to the tree, "src/..."
    start: int
    end: int
    original: str
    replacement: str
    line: int
    column: int
    source_line: str

    def where(self):
        return f"{self.path}:{self.line}:{self.column}"


def integer_neighbours(literal):
    m = INTEGER.fullmatch(literal)
    if not m:
        return []  # a floating literal, or a user-defined one
    digits, suffix = m["digits"].replace("'", ""), m["suffix"]
    if digits[:2] in ("0x", "0X"):
        base, prefix, fmt = 16, digits[:2], "x" if digits[2:] == digits[2:].lower() else "X"
    elif digits[:2] in ("0b", "0B"):
        base, prefix, fmt = 2, digits[:2], "b"
    elif len(digits) > 1 and digits[0] == "0":
        base, prefix, fmt = 8, "0", "o"
    else:
        base, prefix, fmt = 10, "", "d"
    body = digits[len(prefix) :] if base != 10 else digits
    value = int(body, base)
    if base in (2, 16):
        fmt = f"0{len(body)}{fmt}"  # keep the written width: 0x09 → 0x0A
    return [prefix + format(v, fmt) + suffix for v in (value + 1, value - 1) if v >= 0]


def mutants_of(path, text):
    tokens = tokenize(text)
    templates = template_brackets(tokens)
    found = []

    def add(tok, replacement):
        line = text.count("\n", 0, tok.start) + 1
        line_start = text.rfind("\n", 0, tok.start) + 1
        line_end = text.find("\n", tok.start)
        source_line = text[line_start : line_end if line_end >= 0 else len(text)].strip()
        found.append(
            Mutant(path, tok.start, tok.end, tok.text, replacement, line, tok.start - line_start + 1, source_line)
        )

    for i, tok in enumerate(tokens):
        after_operator = i > 0 and tokens[i - 1].text == "operator"
        if tok.kind == "punct":
            if after_operator or i in templates:
                continue
            if tok.text in COMPARISON_FLIPS:
                add(tok, COMPARISON_FLIPS[tok.text])
            elif tok.text == "||" or is_logical_and(tokens, i):
                add(tok, "&&" if tok.text == "||" else "||")
        elif tok.kind == "ident" and tok.text in ("true", "false"):
            add(tok, "false" if tok.text == "true" else "true")
        elif tok.kind == "number":
            for replacement in integer_neighbours(tok.text):
                add(tok, replacement)
    return found


def all_mutants(tree):
    sources = sorted(
        p.relative_to(tree).as_posix()
        for p in (tree / "src").rglob("*")
        if p.suffix in (".cpp", ".hpp") and p.is_file()
    )
    mutants = []
    for path in sources:
        mutants += mutants_of(path, (tree / path).read_text())
    return mutants


# --- Scratch tree -------------------------------------------------------------


def sync_tree(source, target):
    """Makes target a copy of source (without build/ and caches). A file whose
    content differs is rewritten, with a fresh modification time, so the
    incremental build recompiles it; an identical one is left untouched."""
    target.mkdir(parents=True, exist_ok=True)
    for directory, subdirs, files in os.walk(source):
        here = Path(directory)
        rel = here.relative_to(source)
        subdirs[:] = sorted(
            d for d in subdirs if d not in SKIPPED_NAMES and not (rel == Path(".") and d in TOP_LEVEL_SKIPPED)
        )
        (target / rel).mkdir(exist_ok=True)
        wanted = set(subdirs) | set(files)
        for existing in (target / rel).iterdir():
            if (
                existing.name in wanted
                or existing.name in SKIPPED_NAMES
                or (rel == Path(".") and existing.name in TOP_LEVEL_SKIPPED)
            ):
                continue
            if existing.is_dir() and not existing.is_symlink():
                shutil.rmtree(existing)
            else:
                existing.unlink()
        for name in files:
            src, dst = here / name, target / rel / name
            if src.is_symlink():
                if not dst.is_symlink() or os.readlink(dst) != os.readlink(src):
                    if dst.exists() or dst.is_symlink():
                        dst.unlink()
                    os.symlink(os.readlink(src), dst)
                continue
            if dst.is_file() and not dst.is_symlink() and same_content(src, dst):
                continue
            if dst.is_symlink():
                dst.unlink()
            shutil.copyfile(src, dst)
            shutil.copymode(src, dst)


def same_content(a, b):
    if a.stat().st_size != b.stat().st_size:
        return False
    return a.read_bytes() == b.read_bytes()


# --- Build and test -----------------------------------------------------------


def build(log_path):
    """Installs the release module built from the scratch tree into the scratch
    virtual environment, as ./dev build does for the work tree. True on success."""
    with open(log_path, "a") as log:
        if not (VENV / "bin" / "python").exists():
            subprocess.run(
                [sys.executable, "-m", "venv", "--system-site-packages", str(VENV)],
                check=True,
                stdout=log,
                stderr=subprocess.STDOUT,
            )
        result = subprocess.run(
            [
                str(VENV / "bin" / "python"),
                "-m",
                "pip",
                "install",
                "--no-build-isolation",
                "--no-deps",
                "--disable-pip-version-check",
                "-C",
                f"build-dir={BUILD_DIR}",
                str(TREE),
            ],
            cwd=TREE,
            stdout=log,
            stderr=subprocess.STDOUT,
        )
    return result.returncode == 0


FAILED_LINE = re.compile(r"^(?:FAILED|ERROR) (\S.*?)(?: - .*)?$")
TIMEOUT_MARKS = ("from pytest-timeout", "+++++ Timeout +++++")
FAULT_FRAME = re.compile(r'^\s*File "(?:.*/)?(tests/[^"]+\.py)", line \d+ in (\w+)', re.M)


@dataclass
class Outcome:
    status: str  # "killed", "survived", "timeout", "unbuildable"
    test: str = ""  # the first failing test, when known
    note: str = ""


def run_suite(log_path, time_limit, timeout_per_test, pytest_args):
    # Each run starts without examples saved by an earlier mutant, with one
    # seed for the property tests, so a mutant's result does not depend on the
    # ones run before it.
    shutil.rmtree(TREE / ".hypothesis", ignore_errors=True)
    command = [
        str(VENV / "bin" / "python"),
        "-m",
        "pytest",
        "-p",
        "no:cacheprovider",
        "-x",
        "-q",
        f"--timeout={timeout_per_test}",
        "--hypothesis-seed=0",
        *pytest_args,
    ]
    with open(log_path, "a") as log:
        log.write("$ " + " ".join(command) + "\n")
        log.flush()
        offset = log.tell()
        child = subprocess.Popen(
            command,
            cwd=TREE,
            stdout=log,
            stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL,
            start_new_session=True,
            env=dict(os.environ, COLUMNS="200"),
        )
        try:
            code = child.wait(timeout=time_limit)
        except subprocess.TimeoutExpired:
            code = None
        finally:
            stop_group(child)  # and whatever the tests started and left behind
    if code is None:
        return Outcome("timeout", note=f"suite stopped after {time_limit:.0f} s")
    if code == 0:
        return Outcome("survived")
    with open(log_path, errors="replace") as log:
        log.seek(offset)
        output = log.read()
    status = "timeout" if any(mark in output for mark in TIMEOUT_MARKS) else "killed"
    for line in output.splitlines():
        m = FAILED_LINE.match(line)
        if m:
            return Outcome(status, m[1])
    # No summary: the interpreter died (a crash, an abort) or pytest-timeout
    # ended it; the innermost test frame of the fault handler's dump names the test.
    frame = FAULT_FRAME.findall(output)
    return Outcome(status, "::".join(frame[-1]) if frame else "", f"signal {-code}" if code < 0 else f"exit {code}")


def judge(log_path, time_limit, timeout_per_test, pytest_args):
    """Runs the suite; a failure that does not happen again when its test runs
    alone is taken for a flaky test, and the whole suite is run once more."""
    outcome = run_suite(log_path, time_limit, timeout_per_test, pytest_args)
    if outcome.status != "killed" or not outcome.test or outcome.note:
        return outcome
    again = run_suite(log_path, time_limit, timeout_per_test, [outcome.test])
    if again.status != "survived":
        return outcome
    second = run_suite(log_path, time_limit, timeout_per_test, pytest_args)
    second.note = f"{outcome.test} failed once, passed alone; second run"
    return second


def stop_group(child):
    try:
        os.killpg(child.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            os.killpg(child.pid, 0)
        except ProcessLookupError:
            return
        if child.poll() is None:
            try:
                child.wait(timeout=0.2)
            except subprocess.TimeoutExpired:
                pass
        else:
            time.sleep(0.2)
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    child.wait()


# --- Driver -------------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="./dev mutate", description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("count", nargs="?", type=int, default=40, metavar="N", help="how many mutants (default 40)")
    parser.add_argument("--seed", type=int, default=1, help="chooses the mutants (default 1)")
    parser.add_argument("--only", default="", help="run only these of the chosen mutants, by number (for example 3,17)")
    parser.add_argument("--list", action="store_true", help="print the chosen mutants, run nothing")
    parser.add_argument("--timeout", type=float, default=60, help="seconds per test (default 60)")
    parser.add_argument(
        "pytest_args", nargs="*", metavar="-- PYTEST ARGS", help="passed to pytest (for example a test file)"
    )
    return parser.parse_args(argv)


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main(argv):
    args = parse_args(argv)
    WORK.mkdir(parents=True, exist_ok=True)
    lock = open(WORK / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit("[mutate] another mutation run is using build/mutate")

    # SIGTERM unwinds like ^C, so the planted fault is taken out of the scratch tree.
    signal.signal(signal.SIGTERM, interrupt)

    started = time.monotonic()
    sync_tree(ROOT, TREE)
    candidates = all_mutants(TREE)
    chosen = random.Random(args.seed).sample(candidates, min(args.count, len(candidates)))
    numbers = [int(x) for x in args.only.split(",") if x] or range(1, len(chosen) + 1)
    if any(not 1 <= k <= len(chosen) for k in numbers):
        sys.exit(f"[mutate] --only takes numbers from 1 to {len(chosen)}")
    width = len(str(len(chosen)))

    def describe(k, m):
        return f"{k:>{width}} {m.where():<42} {m.original} → {m.replacement}"

    if args.list:
        for k in numbers:
            m = chosen[k - 1]
            print(f"{describe(k, m)}  | {m.source_line[:90]}")
        return 0

    shutil.rmtree(LOGS, ignore_errors=True)
    LOGS.mkdir()
    report = open(REPORT, "w")

    def emit(line):
        print(line, flush=True)
        report.write(line + "\n")
        report.flush()

    emit(
        f"mutation run: {len(candidates)} candidate mutants in src/, {len(chosen)} chosen with seed "
        f"{args.seed}" + (f", running {', '.join(map(str, numbers))}" if args.only else "")
    )
    print("[mutate] building the unmutated scratch tree", file=sys.stderr, flush=True)
    if not build(LOGS / "baseline.txt"):
        sys.exit(f"[mutate] the unmutated tree does not build: see {LOGS / 'baseline.txt'}")
    print("[mutate] running the suite on it", file=sys.stderr, flush=True)
    started_baseline = time.monotonic()
    baseline = judge(LOGS / "baseline.txt", 3600, args.timeout, args.pytest_args)
    baseline_seconds = time.monotonic() - started_baseline
    if baseline.status != "survived":
        sys.exit(
            f"[mutate] the suite fails without a mutant ({baseline.test} {baseline.note}): see {LOGS / 'baseline.txt'}"
        )
    if baseline.note:
        emit(f"unmutated suite: {baseline.note}")
    # A hung suite is stopped at three times the clean run, plus time for a
    # busy machine.
    time_limit = 3 * baseline_seconds + 120
    emit(
        f"unmutated suite passes in {baseline_seconds:.0f} s; a mutant's suite is stopped after "
        f"{time_limit:.0f} s, a test after {args.timeout:.0f} s"
    )

    counts = {"killed": 0, "survived": 0, "unbuildable": 0, "timeout": 0}
    for k in numbers:
        m = chosen[k - 1]
        path = TREE / m.path
        original = path.read_text()
        assert original[m.start : m.end] == m.original, m
        log = LOGS / f"{k:0{width}}.txt"
        log.write_text(f"{m.where()}: {m.original} → {m.replacement}\n{m.source_line}\n\n")
        t0 = time.monotonic()
        try:
            path.write_text(original[: m.start] + m.replacement + original[m.end :])
            if build(log):
                outcome = judge(log, time_limit, args.timeout, args.pytest_args)
            else:
                outcome = Outcome("unbuildable")
        finally:
            path.write_text(original)
        counts[outcome.status] += 1
        detail = " ".join(filter(None, (outcome.test, f"({outcome.note})" if outcome.note else ""))) or "-"
        emit(f"{describe(k, m)}  {outcome.status:<11} {time.monotonic() - t0:4.0f} s  {detail}  | {m.source_line[:70]}")

    killed = counts["killed"] + counts["timeout"]
    judged = killed + counts["survived"]
    score = f"{killed}/{judged} = {killed / judged:.2f}" if judged else "n/a"
    emit(
        f"mutants: {killed} killed, {counts['survived']} survived, {counts['unbuildable']} unbuildable"
        f" ({counts['timeout']} of the killed by timeout); score {score}"
    )
    emit(f"wall time {time.monotonic() - started:.0f} s; logs in {LOGS.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit("[mutate] interrupted; the work tree was never modified")
