#!/usr/bin/env python3
"""One overwrite-mode-2 save into a folder full of numbered names (not part of ctest).

A phone names every photo image.jpg, and a page that saves under the client's
name in mode 2 collects image.jpg, image~1.jpg, image~2.jpg ... For each N the
benchmark makes a folder holding image.jpg and image~1.jpg to image~N.jpg
(N = 0: an empty folder) and times the whole command

    kvhost inspect BODY --mode 2 --save DIR

whose body holds one file, image.jpg (64 KiB): the process under Wine, the
upload object, the save. Each save is checked (NewName image~<N+1>.jpg, or
image.jpg into the empty folder, and the file's size) and its file removed
again, so that every round finds the same folder.

    python3 bench/numbering_bench.py [--build build/x64] [--before DIR] [--rounds 3]
                                     [--sizes 0,1000,5000,20000,100000]

--before DIR names a folder holding another build's kvhost.exe, kvParcelin.dll
and mtxex.dll (say, of the commit before a change): both builds then take
turns within every round, in alternating order, so that both see the same
machine. Targets, for the build in --build: the save at 20,000 names takes at
most 0.25 s more than into the empty folder, and at 100,000 names at most
1.25 s more (at most linear growth: five times the allowance of 20,000).
Prints PASS/FAIL per target and exits with 1 when one fails. Beside the saves
it times, natively, what a listing under Wine asks of the kernel for every entry
(lstat and the DOS-attribute xattr): the floor under any save that lists the
folder, on this machine at this moment.

Runs in the build's Wine prefix (<build>/wineprefix, readied as the tests ready
it); the folders go to <build>/numbering-bench and are removed afterwards.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

WINE = "/usr/lib/wine/wine64"
BOUNDARY = b"-----------------------------1874521903316"
CONTENT = bytes((i * 7 + 3) & 0xFF for i in range(64 * 1024))


def body():
    return (b"--" + BOUNDARY + b"\r\n"
            b'Content-Disposition: form-data; name="photo"; filename="image.jpg"\r\n'
            b"Content-Type: image/jpeg\r\n\r\n" + CONTENT + b"\r\n--" + BOUNDARY + b"--\r\n")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def make_folder(path, n):
    os.makedirs(path)
    names = ["image~%d.jpg" % k for k in range(1, n + 1)] + (["image.jpg"] if n else [])
    for name in names:
        with open(os.path.join(path, name), "wb") as f:
            f.write(b"x")


def floor_once(folder):
    """Seconds of what Wine's directory listing asks of the kernel for every entry it
    returns: its attributes (lstat) and its DOS attributes (an extended attribute)."""
    start = time.perf_counter()
    for entry in os.scandir(folder):
        os.lstat(entry.path)
        try:
            os.getxattr(entry.path, "user.DOSATTRIB")
        except OSError:
            pass
    return time.perf_counter() - start


def save_once(exe, body_path, folder, n, env, work):
    """Seconds of one kvhost inspect --mode 2 --save, checked and undone."""
    out_path = os.path.join(work, "out.json")
    err_path = os.path.join(work, "err.txt")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        start = time.perf_counter()
        rc = subprocess.call([WINE, exe, "inspect", body_path, "--mode", "2", "--save",
                              windows_path(folder)], env=env, stdin=subprocess.DEVNULL,
                             stdout=out, stderr=err, timeout=600)
        seconds = time.perf_counter() - start
    with open(err_path, "rb") as f:
        err_text = f.read().decode("utf-8", "replace")
    if rc != 0:
        sys.exit("kvhost failed (%d): %s" % (rc, err_text))
    with open(out_path, "rb") as f:
        report = json.loads(f.read().decode("utf-8"))
    expected = "image~%d.jpg" % (n + 1) if n else "image.jpg"
    new_name = report["files"][0].get("newName")
    written = os.path.join(folder, expected)
    if new_name != expected or os.path.getsize(written) != len(CONTENT):
        sys.exit("%s: N = %d: NewName %r, expected %r" % (exe, n, new_name, expected))
    os.remove(written)
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/x64")
    parser.add_argument("--before", help="folder with another build's kvhost.exe")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--sizes", default="0,1000,5000,20000,100000")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    build = os.path.abspath(args.build)
    builds = [("after", os.path.join(build, "bin", "kvhost.exe"))]
    if args.before:
        builds.insert(0, ("before", os.path.join(os.path.abspath(args.before), "kvhost.exe")))
    for _, exe in builds:
        if not os.path.isfile(exe):
            sys.exit("missing %s" % exe)

    env = dict(os.environ, WINEPREFIX=os.path.join(build, "wineprefix"), WINEDEBUG="-all",
               WINELOADER=WINE)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    work = os.path.join(build, "numbering-bench")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    subprocess.run(["sh", os.path.join(root, "tests/wine/wine_setup.sh"), WINE,
                    os.path.join(build, "tests/wine/appdefaults.reg"),
                    os.path.join(work, "wine_setup.log")], env=env, check=True)
    try:
        body_path = os.path.join(work, "body.txt")
        with open(body_path, "wb") as f:
            f.write(body())
        folders = {}
        for n in sizes:
            folders[n] = os.path.join(work, "N%d" % n)
            make_folder(folders[n], n)
        # A first save of each build warms Wine and the file cache.
        for _, exe in builds:
            save_once(exe, body_path, folders[sizes[0]], sizes[0], env, work)

        times = {(label, n): [] for label, _ in builds + [("floor", None)] for n in sizes}
        for r in range(args.rounds):
            order = builds if r % 2 == 0 else builds[::-1]
            for n in sizes:
                times[("floor", n)].append(floor_once(folders[n]))
                for label, exe in order:
                    t = save_once(exe, body_path, folders[n], n, env, work)
                    times[(label, n)].append(t)
                    print("round %d, %s, N = %d: %.3f s" % (r + 1, label, n, t), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print()
    print("one mode-2 save of image.jpg, median of %d (best), seconds" % args.rounds)
    print("(floor: lstat and getxattr of every entry of the folder, natively: the kernel's part")
    print("of a listing under Wine, which asks both for every entry it returns)")
    header = "%8s" % "N" + "".join("  %-22s" % label for label, _ in builds)
    print(header + "  %-16s  after - after(N=0)" % "floor")
    base = statistics.median(times[("after", sizes[0])])
    for n in sizes:
        cells = ""
        for label, _ in builds:
            ts = times[(label, n)]
            cells += "  %-22s" % ("%.3f (%.3f)" % (statistics.median(ts), min(ts)))
        cells += "  %-16s" % ("%.3f" % statistics.median(times[("floor", n)]))
        extra = statistics.median(times[("after", n)]) - base
        per_name = " = %.1f us a name" % (extra / n * 1e6) if n else ""
        print("%8d%s  %+.3f%s" % (n, cells, extra, per_name))

    failed = False
    for n, allowance in ((20000, 0.25), (100000, 1.25)):
        if n not in sizes or sizes[0] != 0:
            continue
        extra = statistics.median(times[("after", n)]) - base
        verdict = "PASS" if extra <= allowance else "FAIL"
        failed |= verdict == "FAIL"
        print("target: %d names, %+.3f s over the empty folder (<= %.2f s): %s"
              % (n, extra, allowance, verdict))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
