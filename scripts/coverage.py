#!/usr/bin/env python3
"""Line coverage of the library and the tool by the test suite.

    scripts/coverage.py build BUILD            configure (gcc --coverage) and build
    scripts/coverage.py run BUILD OUT          run ctest, write covered lines to OUT
    scripts/coverage.py compare BASE NEW       lines BASE covers and NEW does not

OUT holds one "path:line" per executed line of src/, include/ and tools/.
Used to check that reworking the tests keeps what they exercise: compare
shows, per file, the lines no test reaches any more.
"""
import collections
import gzip
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEEP = ("src/", "include/", "tools/")


def build(bdir):
    env = dict(os.environ, CXXFLAGS="--coverage -O0 -g", CFLAGS="--coverage -O0 -g",
               LDFLAGS="--coverage")
    if not os.path.exists(os.path.join(bdir, "build.ninja")):
        subprocess.check_call(["cmake", "-S", ROOT, "-B", bdir, "-G", "Ninja",
                               "-DCMAKE_BUILD_TYPE=Debug", "-DCERT_BENCH=OFF"], env=env)
    subprocess.check_call(["cmake", "--build", bdir, "-j2"], env=env)


def covered(bdir):
    lines = set()
    gcdas = []
    for d, _, files in os.walk(bdir):
        gcdas += [os.path.join(d, f) for f in files if f.endswith(".gcda")]
    work = os.path.join(bdir, "cov-work")
    os.makedirs(work, exist_ok=True)
    for g in gcdas:
        out = subprocess.run(["gcov", "-j", "-o", os.path.dirname(g), g], cwd=work,
                             capture_output=True)
        if out.returncode:
            continue
        for f in os.listdir(work):
            if not f.endswith(".gcov.json.gz"):
                continue
            path = os.path.join(work, f)
            with gzip.open(path, "rt") as fh:
                data = json.load(fh)
            os.unlink(path)
            for src in data.get("files", []):
                name = os.path.relpath(os.path.realpath(os.path.join(data.get("current_working_directory", ""), src["file"])), ROOT)
                if not name.startswith(KEEP):
                    continue
                for ln in src.get("lines", []):
                    if ln.get("count", 0) > 0:
                        lines.add((name, ln["line_number"]))
    return lines


def run(bdir, out):
    for d, _, files in os.walk(bdir):
        for f in files:
            if f.endswith(".gcda"):
                os.unlink(os.path.join(d, f))
    subprocess.call(["ctest", "-j2", "--timeout", "900"], cwd=bdir)
    lines = covered(bdir)
    with open(out, "w") as fh:
        for name, ln in sorted(lines):
            fh.write(f"{name}:{ln}\n")
    print(f"{len(lines)} lines covered -> {out}")


def load(path):
    with open(path) as fh:
        return {tuple(l.rstrip("\n").rsplit(":", 1)) for l in fh if l.strip()}


def compare(base, new):
    a, b = load(base), load(new)
    lost = collections.defaultdict(list)
    for name, ln in a - b:
        lost[name].append(int(ln))
    print(f"base {len(a)} lines, new {len(b)}, lost {len(a - b)}, gained {len(b - a)}")
    for name in sorted(lost, key=lambda n: -len(lost[n])):
        nums = sorted(lost[name])
        print(f"{len(nums):5d} {name}: {' '.join(map(str, nums[:40]))}{' ...' if len(nums) > 40 else ''}")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    cmd = sys.argv[1]
    # gcov runs in a folder of its own: paths given to it must not be relative.
    sys.argv[2] = os.path.abspath(sys.argv[2])
    if cmd == "build":
        build(sys.argv[2])
    elif cmd == "run" and len(sys.argv) == 4:
        run(sys.argv[2], sys.argv[3])
    elif cmd == "compare" and len(sys.argv) == 4:
        compare(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
