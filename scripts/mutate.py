#!/usr/bin/env python3
"""Plants small faults in the shipped code, one at a time, and tells which
ones the tests let through.

usage: mutate.py [MINUTES] [--dirs DIR,DIR...] [--seed N] [--list]
                 [--only FILE[:LINE],...]

Each fault ("mutant") changes one operator on one line of a .cpp or .h file
of the shipped programs: == and != swapped, < made <=, > made >=, <= made <,
>= made >, && and || swapped, true and false swapped, + 1 made + 2, - 1 made
- 2. They are planted in a copy of the tree (build/mutate/src), never in the
working tree, so stopping the run at any moment leaves the sources as they
are.

After each plant the copy is rebuilt incrementally, and only the test
programs whose code changed run:
  - the portable core and pvpack (archive/, explode/, tools/pvpack/) in a
    native build with the sanitizers: core_tests, zlib_tests, and the
    interop test when pvpack changed;
  - code only the Windows build compiles (setup/, seldir/, postset/,
    winbase/, the Win32 file layer) in the 32-bit Windows build, under Wine:
    the in-process suites and the end-to-end run of the setup.
A mutant whose compiled code is the same as the original's (the .text of
every test program unchanged) is equivalent, proved by the compiler, and
not counted. One that does not compile is stillborn and not counted either.
Mutants listed in scripts/mutate-skip.txt (equivalent or speed-only ones
that the compiler cannot prove, each with the reason) are passed over.

The run takes mutants from every folder in turn, in an order fixed by the
seed, until MINUTES (default 60) are spent, then prints every survivor with
its file, line and change, and the score of each folder: killed out of
killed plus survived. --only takes just the mutants of those files, or of
those lines of them: to see a new test kill the mutants it was written for.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(TOP, "build", "mutate")
SRC = os.path.join(WORK, "src")
SKIP_FILE = os.path.join(TOP, "scripts", "mutate-skip.txt")
FOLDERS = ["archive", "explode", "setup", "seldir", "postset", "winbase", "tools/pvpack"]

# (name, pattern, replacement). Binary operators are matched with the blanks
# the code's formatting puts around them, which keeps template brackets,
# shifts and include lines out; one that ends a line, its right operand on
# the next, counts as well.
OPERATORS = [
    ("==", r" ==(?= |$)", " !="),
    ("!=", r" !=(?= |$)", " =="),
    ("<=", r" <=(?= |$)", " <"),
    (">=", r" >=(?= |$)", " >"),
    ("<", r" <(?= |$)", " <="),
    (">", r" >(?= |$)", " >="),
    ("&&", r" &&(?= |$)", " ||"),
    ("||", r" \|\|(?= |$)", " &&"),
    ("true", r"\btrue\b", "false"),
    ("false", r"\bfalse\b", "true"),
    ("+ 1", r"\+ 1(?![0-9.'xX])", "+ 2"),
    ("- 1", r"- 1(?![0-9.'xX])", "- 2"),
]


def log(text):
    print(text, flush=True)


def run(cmd, cwd=None, env=None, timeout=None, quiet=True):
    """Runs cmd; returns its exit status, or None when it ran out of time
    (its whole process group is killed)."""
    out = subprocess.DEVNULL if quiet else None
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=out, stderr=out,
                            start_new_session=True)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return None


# ---- The copy of the tree ----------------------------------------------------

def tracked_files():
    out = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
                         cwd=TOP, check=True, capture_output=True).stdout
    return [f for f in out.decode().split("\0") if f and not f.startswith(("build/", "out/"))]


def sync_copy():
    """Brings build/mutate/src up to the working tree, rewriting only the
    files that differ, so that the builds of the copy stay incremental."""
    files = tracked_files()
    for rel in files:
        src, dst = os.path.join(TOP, rel), os.path.join(SRC, rel)
        if not os.path.isfile(src):
            continue
        with open(src, "rb") as f:
            data = f.read()
        try:
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        except OSError:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        shutil.copymode(src, dst)


# ---- Mutants -----------------------------------------------------------------

def masked(line):
    """The line with string and character literals blanked and a trailing
    comment cut, so that no operator inside them is mutated."""
    out, quote, i = [], None, 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("__")
                i += 2
                continue
            out.append(quote if c == quote else "_")
            quote = None if c == quote else quote
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def mutants_of(rel):
    with open(os.path.join(TOP, rel), encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    in_comment = False
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if in_comment:
            in_comment = "*/" not in stripped
            continue
        if stripped.startswith("/*"):
            in_comment = "*/" not in stripped
            continue
        if stripped.startswith(("#", "//", "static_assert")):
            continue
        code = masked(line)
        for name, pattern, replacement in OPERATORS:
            for m in re.finditer(pattern, code):
                # "- 1" inside "x - 1" only, not in "-1" or "e - 1e3".
                if name in ("+ 1", "- 1") and m.start() > 0 and code[m.start() - 1] not in " ([":
                    continue
                mutated = line[:m.start()] + replacement + line[m.end():]
                yield {"file": rel, "line": number, "from": name, "to": replacement.strip(),
                       "text": stripped, "mutated": mutated}


def load_skips():
    """scripts/mutate-skip.txt: 'path | from -> to | the line, trimmed | why'."""
    skips = set()
    if not os.path.exists(SKIP_FILE):
        return skips
    with open(SKIP_FILE, encoding="utf-8") as f:
        for raw in f:
            if raw.startswith("#") or not raw.strip():
                continue
            # The line itself may hold " | ": it is all between the change
            # and the reason.
            parts = [p.strip() for p in raw.rstrip("\n").split(" | ")]
            if len(parts) >= 4:
                frm, _, to = parts[1].partition(" -> ")
                skips.add((parts[0], frm.strip(), to.strip(), " | ".join(parts[2:-1])))
    return skips


def folder_of(rel):
    for folder in FOLDERS:
        if rel.startswith(folder + "/"):
            return folder
    return None


def order(mutants, seed):
    """Every folder in turn, each folder's mutants in an order fixed by seed."""
    by_folder = {}
    for m in mutants:
        by_folder.setdefault(folder_of(m["file"]), []).append(m)
    rng = random.Random(seed)
    queues = []
    for folder in FOLDERS:
        items = by_folder.get(folder, [])
        rng.shuffle(items)
        queues.append(items)
    while any(queues):
        for q in queues:
            if q:
                yield q.pop()


# ---- Builds ------------------------------------------------------------------

class Build:
    def __init__(self, name, configure, targets, programs, env=None):
        self.name = name
        self.dir = os.path.join(WORK, name)
        self.configure_args = configure
        self.targets = targets
        self.programs = programs  # program file name -> the CTest tests that run it
        self.env = env or dict(os.environ)
        self.paths = {}
        self.baseline = {}
        self.seconds = {}
        self.sources = set()

    def configure(self):
        if run(["cmake", "-S", SRC, "-B", self.dir, "-G", "Ninja",
                "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"] + self.configure_args) != 0:
            sys.exit(f"mutate: cannot configure {self.dir}")

    def build(self):
        return run(["cmake", "--build", self.dir, "--target"] + self.targets) == 0

    def locate(self):
        for root, _, files in os.walk(self.dir):
            for f in files:
                if f in self.programs and f not in self.paths:
                    self.paths[f] = os.path.join(root, f)
        out = subprocess.run(["ninja", "-C", self.dir, "-t", "deps"],
                             capture_output=True, text=True).stdout
        for line in out.split("\n"):
            # The inputs stand indented below each object. A compiler
            # launcher with a base folder (ccache's CCACHE_BASEDIR) writes
            # them relative to the build folder.
            if not line[:1].isspace():
                continue
            path = os.path.normpath(os.path.join(self.dir, line.strip()))
            if path.startswith(SRC + "/"):
                self.sources.add(os.path.relpath(path, SRC))
        if not self.sources:
            sys.exit(f"mutate: the {self.name} build names none of the copy's sources")

    def code_hashes(self):
        """A hash of each program's machine code, which debug data and the
        source positions that sanitizer checks carry leave alone."""
        hashes = {}
        objcopy = "i686-w64-mingw32-objcopy" if self.name == "win32" else "objcopy"
        for name, path in self.paths.items():
            text = path + ".text"
            if run([objcopy, "-O", "binary", "--only-section=.text", path, text]) != 0:
                return None
            with open(text, "rb") as f:
                hashes[name] = hashlib.sha256(f.read()).hexdigest()
            os.remove(text)
        return hashes

    def tests_for(self, changed):
        tests = set()
        for name in changed:
            tests.update(self.programs[name])
        return sorted(tests)

    def ctest(self, tests, timeout):
        cmd = ["ctest", "--test-dir", self.dir, "-j1", "--stop-on-failure",
               "-R", "^(" + "|".join(tests) + ")$"]
        status = run(cmd, env=self.env, timeout=timeout)
        if self.name == "win32":
            run(["wineserver", "-k"], env=self.env)
        return status

    def measure(self, tests):
        """Runs tests unmutated, keeping each one's time. False when any fails."""
        out = subprocess.run(["ctest", "--test-dir", self.dir, "-j1", "-R",
                              "^(" + "|".join(tests) + ")$"],
                             env=self.env, capture_output=True, text=True)
        for m in re.finditer(r"Test +#\d+: (\S+) \.+.*?Passed +([\d.]+) sec", out.stdout):
            self.seconds[m.group(1)] = float(m.group(2))
        if out.returncode != 0:
            log(out.stdout[-3000:])
        return out.returncode == 0


def make_builds():
    native = Build("native", [
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_C_COMPILER=clang",
        "-DCMAKE_CXX_COMPILER=clang++", "-DPV_SANITIZE=ON"],
        ["core_tests", "zlib_tests", "pvpack"],
        {"core_tests": ["core_tests"], "zlib_tests": ["zlib_tests"], "pvpack": ["interop"]})
    env = dict(os.environ)
    prefix = os.path.join(WORK, "wine-prefix")
    env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"})
    win = Build("win32", [
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(SRC, "cmake/toolchain-i686-w64-mingw32.cmake")],
        ["core_tests", "setup_tests", "seldir_tests", "postset_tests", "setup_e2e"],
        {"core_tests.exe": ["core_tests"], "setup_tests.exe": ["setup_tests"],
         "seldir_tests.exe": ["seldir_tests"], "postset_tests.exe": ["postset_tests"],
         "setup-stub.exe": ["setup_e2e"], "pvpack.exe": ["setup_e2e"],
         "setup_e2e.exe": ["setup_e2e"]}, env)
    return native, win, prefix


# ---- The run -----------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description="Plants operator faults and runs the tests.")
    parser.add_argument("minutes", nargs="?", type=float, default=60)
    parser.add_argument("--dirs", default=",".join(FOLDERS))
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--list", action="store_true", help="only count the mutants")
    parser.add_argument("--only", default="",
                        help="only the mutants of these files or lines: FILE[:LINE],...")
    args = parser.parse_args()
    folders = [d.strip().rstrip("/") for d in args.dirs.split(",") if d.strip()]
    unknown = [d for d in folders if d not in FOLDERS]
    if unknown:
        sys.exit(f"mutate: not a folder of the shipped code: {', '.join(unknown)}")
    only = set()
    for item in filter(None, (i.strip() for i in args.only.split(","))):
        rel, _, line = item.partition(":")
        if not line.isdigit() and line:
            sys.exit(f"mutate: not FILE or FILE:LINE: {item}")
        only.add((rel, int(line) if line else None))

    files = sorted(f for f in tracked_files() if f.endswith((".cpp", ".h"))
                   and folder_of(f) in folders)
    skips = load_skips()
    mutants, skipped = [], {}
    for rel in files:
        for m in mutants_of(rel):
            if only and (rel, None) not in only and (rel, m["line"]) not in only:
                continue
            if (m["file"], m["from"], m["to"], m["text"]) in skips:
                skipped[folder_of(rel)] = skipped.get(folder_of(rel), 0) + 1
            else:
                mutants.append(m)
    log(f"mutate: {len(mutants)} mutants in {len(files)} files, "
        f"{sum(skipped.values())} passed over as listed in scripts/mutate-skip.txt")
    if args.list:
        for folder in folders:
            n = sum(1 for m in mutants if folder_of(m["file"]) == folder)
            log(f"  {folder}: {n}")
        return 0

    deadline = time.monotonic() + args.minutes * 60
    os.makedirs(WORK, exist_ok=True)
    sync_copy()
    native, win, prefix = make_builds()
    builds = []
    for b in (native, win):
        # The Windows build only when a mutant stands in code the native
        # build does not compile (every folder but the decoder's has some).
        if b is win and all(m["file"] in native.sources for m in mutants):
            continue
        if b is win and not os.path.isdir(prefix):
            if run(["bash", os.path.join(TOP, "scripts/wine-prefix.sh"), "create", prefix],
                   quiet=False) != 0:
                sys.exit("mutate: cannot make the Wine prefix")
        builds.append(b)
        log(f"mutate: building {b.name} unmutated")
        b.configure()
        if not b.build():
            sys.exit(f"mutate: the {b.name} build fails unmutated")
        b.locate()
        b.baseline = b.code_hashes()
        if not b.measure(b.tests_for(b.programs)):
            sys.exit(f"mutate: the {b.name} suites fail unmutated; mend them first")

    results = {f: {"killed": 0, "survived": 0, "equivalent": 0, "stillborn": 0, "unbuilt": 0}
               for f in folders}
    survivors = []
    planted = None  # the file of the copy that holds a mutant now
    originals = {}
    try:
        for m in order(mutants, args.seed):
            if time.monotonic() > deadline:
                break
            rel = m["file"]
            path = os.path.join(SRC, rel)
            if planted and planted != rel:
                with open(os.path.join(SRC, planted), "w", encoding="utf-8") as f:
                    f.write(originals[planted])
            if rel not in originals:
                with open(path, encoding="utf-8") as f:
                    originals[rel] = f.read()
            lines = originals[rel].split("\n")
            lines[m["line"] - 1] = m["mutated"]
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            planted = rel

            # Equivalent unless a build that compiles the file says
            # otherwise; "unbuilt" when none of the builds run compiles it.
            outcome = "unbuilt"
            # The portable code is judged by the native build; what only
            # Windows compiles, by the Windows build.
            for b in builds:
                if b is win and native in builds and rel in native.sources:
                    continue
                if rel not in b.sources:
                    continue
                outcome = "equivalent"
                if not b.build():
                    outcome = "stillborn"
                    break
                hashes = b.code_hashes() or {}
                changed = [p for p in b.paths if hashes.get(p) != b.baseline.get(p)]
                if not changed:
                    continue
                tests = b.tests_for(changed)
                limit = 60 + 3 * sum(b.seconds.get(t, 60) for t in tests)
                status = b.ctest(tests, limit)
                outcome = "survived" if status == 0 else "killed"
                break
            results[folder_of(rel)][outcome] += 1
            if outcome == "survived":
                survivors.append(m)
                log(f"SURVIVED {rel}:{m['line']}: {m['from']} -> {m['to']} | {m['text']}")
            else:
                log(f"{outcome} {rel}:{m['line']}: {m['from']} -> {m['to']}")
    finally:
        if planted:
            with open(os.path.join(SRC, planted), "w", encoding="utf-8") as f:
                f.write(originals[planted])

    log("")
    log("Survivors (add to scripts/mutate-skip.txt with the reason, or kill with a test):")
    for m in survivors:
        log(f"  {m['file']} | {m['from']} -> {m['to']} | {m['text']}")
    log("")
    log(f"{'folder':<14}{'killed':>8}{'survived':>10}{'equivalent':>12}{'stillborn':>11}"
        f"{'unbuilt':>9}{'listed':>8}{'score':>8}")
    for folder in folders:
        r = results[folder]
        counted = r["killed"] + r["survived"]
        score = f"{100 * r['killed'] / counted:.0f}%" if counted else "-"
        log(f"{folder:<14}{r['killed']:>8}{r['survived']:>10}{r['equivalent']:>12}"
            f"{r['stillborn']:>11}{r['unbuilt']:>9}{skipped.get(folder, 0):>8}{score:>8}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
