#!/usr/bin/env python3
"""Compares two directory trees file by file: contents, the read-only flag,
and last-write times to the two seconds that DOS times keep. A source time
later than SOURCE_DATE_EPOCH, when it is set, counts as that time, as pvpack
records it.

usage: compare-trees.py SOURCE COPY [PATTERN...]
Files of SOURCE whose names match a PATTERN need not be in COPY (the setup
deletes the staged ".dl_" libraries once it has used them)."""
import fnmatch
import os
import sys


def files(root):
    found = {}
    for dirpath, _, names in os.walk(root):
        for name in names:
            path = os.path.join(dirpath, name)
            found[os.path.relpath(path, root)] = path
    return found


def main(source, copy, *gone):
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    latest = int(epoch) if epoch else None
    a, b = files(source), files(copy)
    a = {rel: path for rel, path in a.items()
         if rel in b or not any(fnmatch.fnmatch(os.path.basename(rel), g) for g in gone)}
    problems = []
    for rel in sorted(set(a) | set(b)):
        if rel not in a or rel not in b:
            problems.append(f"{rel}: only in {'source' if rel in a else 'copy'}")
            continue
        sa, sb = os.stat(a[rel]), os.stat(b[rel])
        with open(a[rel], "rb") as fa, open(b[rel], "rb") as fb:
            if fa.read() != fb.read():
                problems.append(f"{rel}: contents differ")
        if bool(sa.st_mode & 0o200) != bool(sb.st_mode & 0o200):
            problems.append(f"{rel}: read-only flag differs")
        source_time = int(sa.st_mtime) if latest is None else min(int(sa.st_mtime), latest)
        if abs(source_time - int(sb.st_mtime)) > 2:
            problems.append(f"{rel}: last-write time differs")
    for p in problems:
        print(p)
    print(f"{len(a)} files compared: " + ("identical" if not problems else f"{len(problems)} differences"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
