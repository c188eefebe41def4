#!/usr/bin/env python3
"""Memory of the serve command while clients announce large bodies and send almost nothing
(not part of ctest).

Three clients each announce Content-Length: 190000000 and send 107 bytes; the server
process's VmRSS is read every second for 8 s. What the upload objects hold must follow the
bytes that arrived, not the announced size.

    python3 bench/trickle_bench.py build/x64

Uses <build>/bench-wineprefix as bench/serve_bench.py leaves it (kvParcelin.dll registered
there). Every request goes to 127.0.0.1 only; every wait is bounded.
"""
import os, re, socket, subprocess, sys, tempfile, time
build = os.path.abspath(sys.argv[1])
wine = "/usr/lib/wine/wine64"
env = dict(os.environ, WINEPREFIX=os.path.join(build, "bench-wineprefix"), WINEDEBUG="-all")
site = tempfile.mkdtemp()
open(os.path.join(site, "receive.asp"), "w").write('<%\nSet up = Server.CreateObject("kvParcelin.process")\nResponse.Write "files=" & up.FileQty\n%>')
log = os.path.join(site, "server.log")
out = open(log, "wb")
p = subprocess.Popen([wine, os.path.join(build, "bin", "kvservecli.exe"), "--root", site, "--port", "0", "--threads", "4"], env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
port = None
for _ in range(300):
    m = re.search(rb"at http://127\.0\.0\.1:(\d+)/", open(log, "rb").read())
    if m: port = int(m.group(1)); break
    time.sleep(0.2)
if port is None:
    p.kill()
    sys.exit("server did not start")
def rss():
    # the Wine process of the server: the child whose cmdline names kvservecli
    best = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit(): continue
        try:
            cmd = open(f"/proc/{pid}/cmdline", "rb").read()
            if b"kvservecli" in cmd:
                for line in open(f"/proc/{pid}/status"):
                    if line.startswith("VmRSS"): best = max(best, int(line.split()[1]))
        except OSError: pass
    return best / 1024
print("idle VmRSS MiB", rss())
socks = []
for i in range(3):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"POST /receive.asp HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: 190000000\r\n\r\n" + b"--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n" + b"x" * 55)
    socks.append(s)
peak = 0
for t in range(8):
    time.sleep(1)
    peak = max(peak, rss())
print("three clients announcing 190 MB, 107 bytes each: peak VmRSS MiB over 8 s", peak)
for s in socks: s.close()
p.kill(); p.wait()
