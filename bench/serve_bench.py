#!/usr/bin/env python3
"""Uploads through `kvhost serve` under Wine: time and the server's memory (not part of ctest).

Parts (--part, repeatable; default: big, concurrent, small):

big         A 1 GiB one-file upload posted with curl -F to a page that saves it
            (FileSave), to a page that only reads the body with Request.BinaryRead
            and drops it, and to a page that creates the object and saves nothing,
            the three taking turns (--rounds, default 3). Targets: the saving page's
            peak resident memory (VmRSS of the server process, sampled every 20 ms)
            at most idle + 64 MiB; its median time at most 2.0 x the reading page's.
            Where the time goes: each page times its own steps with VBScript's Timer
            (receiving: the reading page's BinaryRead loop; spool write and parse:
            the object's creation less that; the save copy: FileSave), the server
            process's CPU seconds per page, and the engine's steps alone, timed one
            by one by kvwinebench --spool-parts 1024 in the same prefix. With
            --baseline the build before the change takes the same rounds after (for
            comparison only: it holds the body in memory).
concurrent  Eight 256 MiB uploads at once to the saving page of a fresh server (8
            workers): all saved whole (SHA-256), peak resident memory at most idle +
            8 windows (1 MiB each) + 64 MiB.
small       A 200 KiB photo and a field, 4 clients at once (curl --parallel, 100
            uploads a run), to the saving page and to the reading page, on this
            build and on the build before the change (--baseline), the four runs
            taking turns (--small-rounds, default 9). Prints the medians and the
            pair ratio this build / baseline of each round's runs (target: median
            pair ratio of the saving page at most 1.05, the noise of this check);
            then the same uploads without HTTP, through both DLLs in one process,
            taking turns (kvwinebench --small-uploads).
edge        A body of exactly 2,000,000,000 bytes (one file) saved whole (SHA-256),
            peak resident memory at most idle + 64 MiB: offsets and sizes near 2^31,
            where 32-bit arithmetic (x86 size_t, LONG, DWORD) would wrap if any step
            did it wrongly. scripts/x86lane.sh runs it with the x86 build where 32-bit
            code runs natively.

    python3 bench/serve_bench.py [--build build/x64] [--baseline ../base/build/x64]
        [--part big|concurrent|small|edge]... [--rounds 3] [--small-rounds 9]
    python3 bench/serve_bench.py --part edge --build build/x86 --wine /usr/lib/wine/wine \\
        --prefix build/x86/wineprefix     (a prefix whose wineserver the caller runs)

Without --prefix each build gets its own Wine prefix (<build>/bench-wineprefix), made
and ended here, with the build's kvParcelin.dll registered and kvhost.exe and
kvwinebench.exe reporting Windows NT 4.0. With --prefix the prefix is used as it is
(the caller has made it and runs its wineserver); the DLL is registered for the run
and unregistered after.
Bodies go to a folder of their own (--work, default under the build folder, never
/tmp, which may be memory) and are deleted at the end, with the saved files. Every
request goes to 127.0.0.1 only; every wait is bounded. Prints PASS/FAIL per target
and a last line "N passed, N failed"; exits with 1 when a target fails.
"""

import argparse
import glob
import hashlib
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1024 * 1024
GIB = 1024 * MIB
EDGE_BYTES = 2_000_000_000
WINDOW = 1 * MIB  # what a spooled upload reads its body through

# Saves every file as files\<n>-<its name> (n from the query string, when given);
# reports the seconds the creation (reading, spooling, parsing) and the saves took.
SAVE_PAGE = r"""<%
started = Timer
Set up = Server.CreateObject("kvParcelin.process")
created = Timer
up.OverwriteMode = 0
prefix = Request.QueryString("n")
If prefix <> "" Then prefix = prefix & "-"
For i = 0 To up.FileQty - 1
  up.FileSave Server.MapPath("files") & "\" & prefix & up.FileName(i), i
  Response.Write "saved " & prefix & up.FileName(i) & " " & up.FileSize(i) & vbCrLf
Next
Response.Write "files=" & up.FileQty & vbCrLf
Response.Write "seconds: created " & (created - started) & " saved " & (Timer - created) & vbCrLf
%>"""

INTAKE_PAGE = r"""<%
started = Timer
Set up = Server.CreateObject("kvParcelin.process")
Response.Write "files=" & up.FileQty & " size=" & up.FileSize(0) & vbCrLf
Response.Write "seconds: created " & (Timer - started) & vbCrLf
%>"""

READ_PAGE = r"""<%
started = Timer
total = Request.TotalBytes
got = 0
Do While got < total
  n = 102400
  data = Request.BinaryRead(n)
  If n <= 0 Then Exit Do
  got = got + n
Loop
Response.Write "read=" & got & " of " & total & vbCrLf
Response.Write "seconds: read " & (Timer - started) & vbCrLf
%>"""

PAGES = {"save.asp": SAVE_PAGE, "intake.asp": INTAKE_PAGE, "read.asp": READ_PAGE}


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, what, ok):
        print(f"  {what}: {'PASS' if ok else 'FAIL'}", flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok


def quiet(cmd, env, log, timeout=300):
    with open(log, "ab") as out:
        return subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                              timeout=timeout).returncode


def vmrss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            h.update(block)
    return h.hexdigest()


def make_file(path, size, seed, head=b"", tail=b""):
    """Writes head, size pseudo-random bytes and tail to path; returns the SHA-256 of the
    random part. The bytes are zeros encrypted with AES-CTR by openssl (one stream per
    seed) where openssl is at hand, else os.urandom's: never held whole."""
    h = hashlib.sha256()
    with open(path, "wb") as out:
        out.write(head)
        left = size
        if shutil.which("openssl"):
            with open("/dev/zero", "rb") as zero:
                gen = subprocess.Popen(["openssl", "enc", "-aes-128-ctr", "-nosalt", "-pbkdf2",
                                        "-pass", f"pass:kvbench-{seed}"], stdin=zero,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            while left > 0:
                block = gen.stdout.read(min(left, MIB))
                if not block:
                    break
                h.update(block)
                out.write(block)
                left -= len(block)
            gen.kill()
            gen.stdout.close()
            gen.wait()
        while left > 0:
            block = os.urandom(min(left, MIB))
            h.update(block)
            out.write(block)
            left -= len(block)
        out.write(tail)
    return h.hexdigest()


class Prefix:
    """A Wine prefix with a build's kvParcelin.dll registered through its kvhost.exe."""

    def __init__(self, build, wine, work, prefix=None):
        self.build = build
        self.wine = wine
        self.kvhost = os.path.join(build, "bin", "kvhost.exe")
        self.own = prefix is None
        self.path = os.path.abspath(prefix or os.path.join(build, "bench-wineprefix"))
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", WINELOADER=wine)
        self.log = os.path.join(work, "wine" + self.path.replace("/", "-") + ".log")
        self.registered = False

    def start(self):
        if self.own:
            os.makedirs(self.path, exist_ok=True)
            quiet(["wineserver", "-p30"], self.env, self.log)
            if quiet([self.wine, "cmd", "/c", "exit"], self.env, self.log) != 0:
                raise RuntimeError(f"Wine does not start in {self.path}")
            for exe in ("kvhost.exe", "kvwinebench.exe"):
                quiet([self.wine, "reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\" + exe,
                       "/v", "Version", "/t", "REG_SZ", "/d", "nt40", "/f"], self.env, self.log)
        if quiet([self.wine, self.kvhost, "register"], self.env, self.log) != 0:
            raise RuntimeError(f"kvhost register failed, see {self.log}")
        self.registered = True

    def stop(self):
        if self.registered and not self.own:
            quiet([self.wine, self.kvhost, "unregister"], self.env, self.log)
        if self.own:
            quiet(["wineserver", "-k"], self.env, self.log, timeout=60)

    def spool_files(self):
        """Spool files in the prefix's temporary folders."""
        found = []
        for pattern in ("drive_c/users/*/AppData/Local/Temp", "drive_c/users/*/Temp",
                        "drive_c/windows/temp"):
            for folder in glob.glob(os.path.join(self.path, pattern)):
                found += glob.glob(os.path.join(folder, "kvParcelin-*.tmp"))
        return found


class Server:
    def __init__(self, prefix, root, work, name):
        self.out = os.path.join(work, name + ".out")
        with open(self.out, "wb") as out:
            self.proc = subprocess.Popen(
                [prefix.wine, prefix.kvhost, "serve", "--root", root, "--port", "0", "--threads",
                 "8", "--max-request-bytes", "2147483647"],
                env=prefix.env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self.port = None
        deadline = time.monotonic() + 90
        while time.monotonic() < deadline and self.proc.poll() is None and self.port is None:
            with open(self.out, "rb") as f:
                m = re.search(rb"at http://127\.0\.0\.1:(\d+)/", f.read())
            if m and 0 < int(m.group(1)) < 65536:
                self.port = int(m.group(1))
            else:
                time.sleep(0.2)
        if self.port is None:
            self.stop()
            raise RuntimeError(f"server did not start, see {self.out}")
        self.peak = 0
        self._stop = threading.Event()
        self._sampler = threading.Thread(target=self._sample, daemon=True)
        self._sampler.start()

    def _sample(self):
        while not self._stop.is_set():
            self.peak = max(self.peak, vmrss_kib(self.proc.pid))
            time.sleep(0.02)

    def rss(self):
        return vmrss_kib(self.proc.pid)

    def cpu_seconds(self):
        """User and system seconds the server process has used."""
        try:
            with open(f"/proc/{self.proc.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except (OSError, IndexError, ValueError):
            return 0.0

    def reset_peak(self):
        self.peak = self.rss()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        if hasattr(self, "_stop"):
            self._stop.set()
            self._sampler.join(timeout=5)
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            pass


def curl(args, timeout):
    """Runs curl; returns (seconds, http code, response text)."""
    cmd = ["curl", "-s", "--noproxy", "*", "--max-time", str(timeout), "-w", "\n%{http_code}"]
    start = time.monotonic()
    res = subprocess.run(cmd + args, stdin=subprocess.DEVNULL, capture_output=True,
                         timeout=timeout + 10)
    took = time.monotonic() - start
    body, _, code = res.stdout.rpartition(b"\n")
    return took, int(code or b"0"), body.decode("latin-1", "replace")


def post_file(url, path, timeout=900):
    return curl(["-F", "f=@" + path, url], timeout)


def warm(srv, small):
    for page in ("save.asp", "read.asp", "intake.asp"):
        post_file(srv.url("/" + page), small, timeout=60)
    time.sleep(2)
    return srv.rss()


def write_site(work):
    site = os.path.join(work, "site")
    os.makedirs(os.path.join(site, "files"), exist_ok=True)
    for name, text in PAGES.items():
        with open(os.path.join(site, name), "w", newline="\r\n") as f:
            f.write(text)
    return site


def saved_path(site, name):
    return os.path.join(site, "files", name)


def remove(path):
    try:
        os.remove(path)
    except OSError:
        pass


def page_seconds(body):
    """The seconds a page reported of its own steps ("seconds: created 1.5 saved 0.5")."""
    m = re.search(r"seconds:(.*)", body)
    pairs = re.findall(r"(\w+) ([\d.]+(?:E-?\d+)?)", m.group(1)) if m else []
    return {k: float(v) for k, v in pairs}


def big_rounds(a, prefix, site, work, small, big, digest, tally, label):
    """The 1 GiB rounds on one build's server: the three pages taking turns. Returns the
    figures of each page, the idle VmRSS and the most spool files seen at once."""
    srv = Server(prefix, site, work, "big-" + label.replace(" ", "-"))
    kinds = ["save", "read", "intake"]
    fig = {k: {"time": [], "peak": [], "cpu": [], "steps": []} for k in kinds}
    spooled = 0
    try:
        idle = warm(srv, small)
        for r in range(a.rounds):
            for kind in kinds[r % 3:] + kinds[:r % 3]:
                srv.reset_peak()
                seen = []
                watch = threading.Event()

                def look():
                    while not watch.wait(0.5):
                        seen.extend(prefix.spool_files())

                watcher = threading.Thread(target=look, daemon=True)
                watcher.start()
                cpu = srv.cpu_seconds()
                took, code, body = post_file(srv.url(f"/{kind}.asp"), big)
                fig[kind]["cpu"].append(srv.cpu_seconds() - cpu)
                watch.set()
                watcher.join()
                spooled = max(spooled, len(set(seen)))
                fig[kind]["peak"].append(srv.peak)
                fig[kind]["time"].append(took)
                fig[kind]["steps"].append(page_seconds(body))
                if kind == "save":
                    out = saved_path(site, "big.bin")
                    ok = code == 200 and f"saved big.bin {GIB}" in body and \
                        os.path.exists(out) and os.path.getsize(out) == GIB and \
                        (r > 0 or sha256_file(out) == digest)
                    remove(out)
                elif kind == "read":
                    m = re.search(r"read=(\d+) of (\d+)", body)
                    ok = code == 200 and m and m.group(1) == m.group(2) and int(m.group(1)) > GIB
                else:
                    ok = code == 200 and f"files=1 size={GIB}" in body
                if not ok:
                    tally.check(f"{label}, round {r + 1}, {kind} page: {code} {body[:200]!r}",
                                False)
            print(f"  {label}, round {r + 1}: save {fig['save']['time'][-1]:.2f} s, read only "
                  f"{fig['read']['time'][-1]:.2f} s, object created without saving "
                  f"{fig['intake']['time'][-1]:.2f} s", flush=True)
    finally:
        srv.stop()
    return fig, idle, spooled


def part_big(a, prefix, site, work, small, tally):
    print(f"== 1 GiB one-file upload: saving page against reading page ({a.rounds} rounds)",
          flush=True)
    big = os.path.join(work, "big.bin")
    digest = make_file(big, GIB, "big")
    sides = [("this build", prefix)]
    if a.baseline:
        sides.append(("baseline", Prefix(os.path.abspath(a.baseline), a.wine, work)))
    results = {}
    try:
        for label, p in sides:
            if p is not prefix:
                p.start()
            try:
                results[label] = big_rounds(a, p, site, work, small, big, digest, tally, label)
            finally:
                if p is not prefix:
                    p.stop()
    finally:
        remove(big)
    left = prefix.spool_files()
    for label, (fig, idle, _) in results.items():

        def med(kind, what="time", step=None):
            values = fig[kind][what] if step is None else \
                [s.get(step, 0.0) for s in fig[kind]["steps"]]
            return statistics.median(values)

        print(f"  {label}, medians: saving page {med('save'):.2f} s, in the page created "
              f"{med('save', step='created'):.2f} s + saved {med('save', step='saved'):.2f} s; "
              f"reading page {med('read'):.2f} s, in the page {med('read', step='read'):.2f} s; "
              f"created, nothing saved {med('intake'):.2f} s, in the page "
              f"{med('intake', step='created'):.2f} s; saving / reading "
              f"{med('save') / med('read'):.2f}")
        print(f"  {label}, server CPU (user + system, medians): saving {med('save', 'cpu'):.2f} s, "
              f"reading {med('read', 'cpu'):.2f} s, created only {med('intake', 'cpu'):.2f} s; "
              f"saving / reading {med('save', 'cpu') / med('read', 'cpu'):.2f}")
        print(f"  {label}, where the time goes: receiving {med('read', step='read'):.2f} s (the "
              f"reading page's BinaryRead loop); {'spool write' if label == 'this build' else 'copy into memory'} "
              f"+ parse {med('intake', step='created') - med('read', step='read'):.2f} s "
              f"(creation, less receiving); save copy {med('save', step='saved'):.2f} s "
              f"(FileSave in the saving page)")
        print(f"  {label}, server VmRSS: idle {idle / 1024:.1f} MiB; peak while saving "
              f"{max(fig['save']['peak']) / 1024:.1f} MiB "
              f"(+{(max(fig['save']['peak']) - idle) / 1024:.1f}), while only reading "
              f"{max(fig['read']['peak']) / 1024:.1f} MiB, while creating without saving "
              f"{max(fig['intake']['peak']) / 1024:.1f} MiB", flush=True)
    probe = os.path.join(a.build, "bin", "kvwinebench.exe")
    if os.path.exists(probe):
        res = subprocess.run([a.wine, probe, "--spool-parts", "1024"], env=prefix.env,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=900)
        print("  engine steps alone (kvwinebench --spool-parts 1024): " +
              (res.stdout.strip().split(": ", 1)[-1] or f"no figure ({res.returncode})"))
    fig, idle, spooled = results["this build"]
    save_t, read_t = statistics.median(fig["save"]["time"]), statistics.median(fig["read"]["time"])
    grew = (max(fig["save"]["peak"]) - idle) / 1024
    print(f"  spool files seen while uploading: {spooled}; left after the server ended: "
          f"{len(left)}")
    tally.check(f"peak while saving - idle = {grew:.1f} MiB <= 64 MiB", grew <= 64)
    tally.check(f"time saving / reading (medians) = {save_t / read_t:.2f} <= 2.0 "
                f"(best / best {min(fig['save']['time']) / min(fig['read']['time']):.2f})",
                save_t / read_t <= 2.0)
    tally.check("the body was spooled, and no spool file is left", spooled >= 1 and not left)


def part_concurrent(a, prefix, site, work, small, tally):
    print("== 8 concurrent 256 MiB uploads to the saving page", flush=True)
    sources = []
    for i in range(8):
        path = os.path.join(work, f"c{i}.bin")
        sources.append((path, make_file(path, 256 * MIB, f"c{i}")))
    srv = Server(prefix, site, work, "concurrent")
    results = [None] * 8
    try:
        idle = warm(srv, small)
        srv.reset_peak()
        threads = [threading.Thread(target=lambda i=i: results.__setitem__(
            i, post_file(srv.url("/save.asp"), sources[i][0]))) for i in range(8)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=1000)
        wall = time.monotonic() - start
        peak = srv.peak
        time.sleep(2)
        after = srv.rss()
    finally:
        srv.stop()
    landed = 0
    for i, (path, digest) in enumerate(sources):
        out = saved_path(site, os.path.basename(path))
        res = results[i]
        if res and res[1] == 200 and os.path.exists(out) and sha256_file(out) == digest:
            landed += 1
        else:
            print(f"  upload {i}: {res and res[1]} {res and res[2][:200]!r}")
        remove(out)
        remove(path)
    left = prefix.spool_files()
    limit = 8 * WINDOW / MIB + 64
    print(f"  {landed}/8 saved whole in {wall:.1f} s ({8 * 256 / wall:.0f} MiB/s in all)")
    print(f"  server VmRSS: idle {idle / 1024:.1f} MiB, peak {peak / 1024:.1f} MiB "
          f"(+{(peak - idle) / 1024:.1f}), 2 s after {after / 1024:.1f} MiB")
    tally.check("8 of 8 saved whole (SHA-256)", landed == 8)
    tally.check(f"peak - idle = {(peak - idle) / 1024:.1f} MiB <= 8 windows + 64 = "
                f"{limit:.0f} MiB", (peak - idle) / 1024 <= limit)
    tally.check(f"no spool file left ({len(left)})", not left)


def part_small(a, prefix, site, work, tally):
    n = 100
    print(f"== 200 KiB photo and a field, 4 clients at once, {n} uploads a run "
          f"({a.small_rounds} rounds)", flush=True)
    photo = os.path.join(work, "photo.jpg")
    make_file(photo, 200 * 1024, "photo")
    photo_bytes = open(photo, "rb").read()
    sides = [("this build", prefix)]
    base = None
    if a.baseline:
        base = Prefix(os.path.abspath(a.baseline), a.wine, work)
        base.start()
        sides.append(("baseline", base))
    servers = {}
    runs = {}
    try:
        for name, p in sides:
            servers[name] = Server(p, site, work, "small-" + name.replace(" ", "-"))
            warm(servers[name], photo)
        combos = [(name, page) for name, _ in sides for page in ("save", "read")]
        for combo in combos:
            runs[combo] = []
        out_dir = os.path.join(work, "responses")
        os.makedirs(out_dir, exist_ok=True)
        for r in range(a.small_rounds + 1):  # round 0 warms and is not counted
            order = combos[r % len(combos):] + combos[:r % len(combos)]
            for name, page in order:
                srv = servers[name]
                # One transfer a group (a form applies to one URL only); -Z and
                # --parallel-max are global.
                args = ["-Z", "--parallel-max", "4"]
                for k in range(n):
                    args += ["--next"] if k else []
                    args += ["--noproxy", "*", "--max-time", "120", "-F",
                             f"photo=@{photo};type=image/jpeg", "-F", "title=Holiday", "-o",
                             os.path.join(out_dir, f"{k}.txt"), srv.url(f"/{page}.asp?n={k}")]
                took, code, _ = curl(args, timeout=300)
                ok = True
                for k in range(n):
                    text = open(os.path.join(out_dir, f"{k}.txt"), "rb").read().decode("latin-1")
                    if page == "save":
                        out = saved_path(site, f"{k}-photo.jpg")
                        ok = ok and f"saved {k}-photo.jpg {len(photo_bytes)}" in text and \
                            os.path.exists(out) and open(out, "rb").read() == photo_bytes
                        remove(out)
                    else:
                        m = re.search(r"read=(\d+) of (\d+)", text)
                        ok = ok and m and m.group(1) == m.group(2)
                if not ok:
                    tally.check(f"round {r}, {name}, {page} page: responses as expected", False)
                if r > 0:
                    runs[(name, page)].append(took)
    finally:
        for srv in servers.values():
            srv.stop()
        if base:
            base.stop()
        remove(photo)
    for (name, page), t in runs.items():
        med = statistics.median(t)
        print(f"  {name}, {page} page: median {med:.2f} s a run ({med / n * 1e3:.1f} ms an "
              f"upload), best {min(t):.2f} s")
    for name, _ in sides:
        s, rd = statistics.median(runs[(name, "save")]), statistics.median(runs[(name, "read")])
        print(f"  {name}: saving / reading (medians) {s / rd:.2f}")
    if base:
        for page in ("save", "read"):
            pairs = [x / y for x, y in zip(runs[("this build", page)], runs[("baseline", page)])]
            med = statistics.median(pairs)
            print(f"  {page} page, this build / baseline, pair by pair: median {med:.3f} "
                  f"(min {min(pairs):.3f}, max {max(pairs):.3f})")
            if page == "save":
                tally.check(f"saving page no slower than before: median pair ratio {med:.3f} "
                            "<= 1.05", med <= 1.05)
        # The same uploads without HTTP, through both DLLs in one process.
        probe = os.path.join(a.build, "bin", "kvwinebench.exe")
        if os.path.exists(probe):
            dlls = ["Z:" + os.path.join(b, "bin", "kvParcelin.dll").replace("/", "\\")
                    for b in (a.build, os.path.abspath(a.baseline))]
            res = subprocess.run([a.wine, probe, "--small-uploads"] + dlls + ["31"],
                                 env=prefix.env, stdin=subprocess.DEVNULL, capture_output=True,
                                 text=True, timeout=900)
            print("  kvwinebench --small-uploads, A this build, B baseline:")
            for line in res.stdout.strip().splitlines()[3:] or [f"no figure ({res.returncode})"]:
                print("  " + line.strip())


def part_edge(a, prefix, site, work, small, tally):
    print(f"== a body of {EDGE_BYTES:,} bytes, one file", flush=True)
    boundary = "kvbench2000000000"
    head = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"f\"; "
            f"filename=\"edge.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n").encode()
    tail = f"\r\n--{boundary}--\r\n".encode()
    content = EDGE_BYTES - len(head) - len(tail)
    body = os.path.join(work, "edge-body.bin")
    digest = make_file(body, content, "edge", head, tail)
    assert os.path.getsize(body) == EDGE_BYTES
    srv = Server(prefix, site, work, "edge")
    out = saved_path(site, "edge.bin")
    try:
        idle = warm(srv, small)
        srv.reset_peak()
        took, code, text = curl(["-X", "POST", "-T", body, "-H",
                                 f"Content-Type: multipart/form-data; boundary={boundary}",
                                 srv.url("/save.asp")], timeout=1800)
        peak = srv.peak
    finally:
        srv.stop()
        remove(body)
    size = os.path.getsize(out) if os.path.exists(out) else -1
    whole = code == 200 and f"saved edge.bin {content}" in text and size == content and \
        sha256_file(out) == digest
    remove(out)
    left = prefix.spool_files()
    print(f"  saved {size:,} of {content:,} content bytes in {took:.1f} s; server VmRSS idle "
          f"{idle / 1024:.1f} MiB, peak {peak / 1024:.1f} MiB (+{(peak - idle) / 1024:.1f})")
    if not whole:
        print(f"  response {code}: {text[:300]!r}")
    tally.check("saved whole (size and SHA-256)", whole)
    tally.check(f"peak - idle = {(peak - idle) / 1024:.1f} MiB <= 64 MiB",
                (peak - idle) / 1024 <= 64)
    tally.check(f"no spool file left ({len(left)})", not left)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(root, "build", "x64"))
    ap.add_argument("--baseline", help="a build from before the change, for the small part")
    ap.add_argument("--wine", default="/usr/lib/wine/wine64")
    ap.add_argument("--prefix", help="a ready prefix whose wineserver the caller runs")
    ap.add_argument("--work", help="folder for the bodies (default: under the build folder)")
    ap.add_argument("--part", action="append", choices=("big", "concurrent", "small", "edge"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--small-rounds", type=int, default=9)
    a = ap.parse_args()
    a.build = os.path.abspath(a.build)
    a.rounds = max(1, min(a.rounds, 10))
    a.small_rounds = max(1, min(a.small_rounds, 30))
    parts = a.part or ["big", "concurrent", "small"]
    for f in ("kvhost.exe", "kvParcelin.dll"):
        if not os.path.exists(os.path.join(a.build, "bin", f)):
            print(f"missing {a.build}/bin/{f}: build first")
            return 2
    # A time limit's SIGTERM still stops the server and deletes the bodies.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    work = tempfile.mkdtemp(prefix="serve-bench-", dir=a.work or a.build)
    tally = Tally()
    prefix = Prefix(a.build, a.wine, work, a.prefix)
    try:
        prefix.start()
        site = write_site(work)
        small = os.path.join(work, "small.bin")
        make_file(small, 4096, "small")
        for part in parts:
            try:
                if part == "big":
                    part_big(a, prefix, site, work, small, tally)
                elif part == "concurrent":
                    part_concurrent(a, prefix, site, work, small, tally)
                elif part == "small":
                    part_small(a, prefix, site, work, tally)
                else:
                    part_edge(a, prefix, site, work, small, tally)
            except (RuntimeError, OSError, subprocess.TimeoutExpired) as e:
                tally.check(f"{part}: {e}", False)
    except RuntimeError as e:
        tally.check(str(e), False)
    finally:
        prefix.stop()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{tally.passed} passed, {tally.failed} failed")
    return 1 if tally.failed else 0


if __name__ == "__main__":
    sys.exit(main())
