#!/usr/bin/env python3
"""Picks a small corpus from a libFuzzer merge control file.

    fuzz-keep.py CONTROL-FILE OUT-DIR MAX

The control file of `-merge=1 -merge_control_file=F` lists every input and
the features it reaches. Hand-made seeds (any name but the 40 hex digits
libFuzzer gives its finds) are kept. Then the finds are copied to OUT-DIR
greedily: the one that adds most features not yet reached first, the
smaller among equals, until none adds anything or MAX inputs are kept.
Prints what was kept.
"""
import os
import re
import shutil
import sys

control, out, most = sys.argv[1], sys.argv[2], int(sys.argv[3])
lines = open(control).read().split("\n")
count = int(lines[0])
paths = lines[2:2 + count]  # the line between: how many came from the first folder
features = {int(f[1]): set(f[2:]) for f in map(str.split, lines[2 + count:]) if f[:1] == ["FT"]}
total = len(set().union(*features.values()))
reached, kept = set(), 0
for i in [i for i in features if not re.fullmatch("[0-9a-f]{40}", os.path.basename(paths[i]))]:
    reached |= features.pop(i)
    shutil.copy(paths[i], out)
    kept += 1
while features and kept < most:
    best = max(features, key=lambda i: (len(features[i] - reached), -os.path.getsize(paths[i])))
    if not features[best] - reached:
        break
    reached |= features.pop(best)
    shutil.copy(paths[best], out)
    kept += 1
print(f"{kept} of {count} inputs kept, reaching {len(reached)} of {total} features")
