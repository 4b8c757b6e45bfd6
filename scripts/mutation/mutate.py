#!/usr/bin/env python3
# mutate.py TREE ID: applies one mutant in TREE.
# mutate.py TREE --check: checks that every mutant still applies.
# mutate.py TREE --ids: lists the ids.
import sys, os
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mutants import MUTANTS
tree = sys.argv[1]
def apply(m, write=True):
    mid, f, old, new = m
    p = os.path.join(tree, f)
    s = open(p).read()
    n = s.count(old)
    if n != 1:
        print(f"{mid}: {f}: found {n} times", file=sys.stderr); return False
    if write: open(p, "w").write(s.replace(old, new))
    return True
if sys.argv[2] == "--check":
    ok = all([apply(m, False) for m in MUTANTS]); print(len(MUTANTS), "mutants", "ok" if ok else "BAD"); sys.exit(0 if ok else 1)
if sys.argv[2] == "--ids":
    print(" ".join(m[0] for m in MUTANTS)); sys.exit(0)
m = [m for m in MUTANTS if m[0] == sys.argv[2]][0]
sys.exit(0 if apply(m) else 1)
