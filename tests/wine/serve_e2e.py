#!/usr/bin/env python3
"""End-to-end test of the serve command under Wine, with curl and raw sockets.

Registers kvParcelin.dll in the prefix, writes a small site into a work
folder, starts kvservecli on a free loopback port and checks:
static files (GET, HEAD, content types, index document, folder redirect),
uploads through an .asp page that saves with FileSave in OverwriteMode 2
(several files, binary content, a non-ASCII name, text fields), saved files
byte for byte, concurrent uploads, aborted uploads (the page sees the
disconnect and saves nothing), 413 for a declared body above the limit,
400 for malformed requests, and path traversal in its encoded forms.
A second server with two workers and short deadlines: clients that trickle
their body or head are cut off with 408 (the page sees a client that has
gone) and logged, and meanwhile another client's GET is served in time.

Every request goes to 127.0.0.1 only; every wait is bounded.
"""

import argparse
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

LIMIT = 20 * 1000 * 1000  # --max-request-bytes of the server under test
SECRET = b"TOP-SECRET-OUTSIDE-THE-ROOT"
ANSI = "cp1252"  # the prefix's ANSI code page: file names and page text

UPLOAD_PAGE = r"""<%
' Saves every uploaded file into files\ under the client's name (numbered
'' when taken) and reports what it did; logs each run to logs\<tag>.txt (one
' file per request: concurrent pages do not share one).
Set up = Server.CreateObject("kvParcelin.process")
up.OverwriteMode = 2
tag = Request.QueryString("tag")
connected = Response.IsClientConnected
Response.Write "total=" & up.TotalBytes & vbCrLf
Response.Write "files=" & up.FileQty & vbCrLf
saved = 0
For i = 0 To up.FileQty - 1
  up.FileSave Server.MapPath("files") & "\" & up.FileName(i), i
  saved = saved + 1
  Response.Write "file " & i & " size=" & up.FileSize(i) & " saved=" & up.NewName(i) & vbCrLf
Next
Response.Write "title=" & up.Value("title") & vbCrLf
Response.Write "note=" & up.Value("note") & vbCrLf
up.AppendToFile Server.MapPath("logs") & "\" & tag & ".txt", "tag=" & tag & " connected=" & CStr(connected) & _
  " total=" & up.TotalBytes & " files=" & up.FileQty & " saved=" & saved
Response.Write "end" & vbCrLf
%>"""

PAGE_SOURCE_MARK = "Server.CreateObject"


class Failures:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL: {what}" + (f"\n      {detail}" if detail else ""), flush=True)
        return ok


def run(cmd, log, timeout, **kw):
    with open(log, "ab") as out:
        return subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                              timeout=timeout, **kw)


def curl(args, timeout=60):
    """curl's output and its HTTP status (curl runs to 127.0.0.1 only)."""
    cmd = ["curl", "-s", "--noproxy", "*", "--max-time", str(timeout), "-w", "\n%{http_code}"]
    res = subprocess.run(cmd + args, stdin=subprocess.DEVNULL, capture_output=True,
                         timeout=timeout + 10)
    body, _, code = res.stdout.rpartition(b"\n")
    return body, int(code or b"0")


def raw_exchange(port, data, timeout=10.0, read=True):
    """Sends bytes on a fresh connection and reads until the server closes
    (or the time is up). Returns the bytes received and the seconds taken."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        out = b""
        if read:
            try:
                while time.monotonic() - start < timeout:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    out += chunk
            except (socket.timeout, ConnectionResetError):
                pass
    return out, time.monotonic() - start


def status_of(response):
    m = re.match(rb"HTTP/1\.[01] (\d{3}) ", response)
    return int(m.group(1)) if m else 0


def multipart(boundary, fields, files):
    """A multipart/form-data body: fields (name, text bytes), files (field,
    file name bytes, content bytes)."""
    crlf = b"\r\n"
    body = b""
    for name, value in fields:
        body += b"--" + boundary + crlf
        body += b'Content-Disposition: form-data; name="' + name + b'"' + crlf + crlf
        body += value + crlf
    for field, filename, content in files:
        body += b"--" + boundary + crlf
        body += (b'Content-Disposition: form-data; name="' + field + b'"; filename="' + filename +
                 b'"' + crlf)
        body += b"Content-Type: application/octet-stream" + crlf + crlf
        body += content + crlf
    return body + b"--" + boundary + b"--" + crlf


class Server:
    def __init__(self, wine, exe, root, work, options=("--threads", "6"), name="server"):
        self.out = os.path.join(work, name + ".out")
        self.err = os.path.join(work, name + ".err")
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.proc = subprocess.Popen(
                [wine, exe, "--root", root, "--port", "0", "--max-request-bytes", str(LIMIT),
                 *options],
                stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        self.port = None
        deadline = time.monotonic() + 90
        while time.monotonic() < deadline and self.proc.poll() is None:
            with open(self.out, "rb") as f:
                m = re.search(rb"Serving (.+) at http://127\.0\.0\.1:(\d+)/", f.read())
            if m:
                self.root_shown = m.group(1)
                self.port = int(m.group(2))
                break
            time.sleep(0.2)
        if self.port is None or not 0 < self.port < 65536:
            self.stop()
            raise RuntimeError("the server did not start: " + self.log())

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def alive(self):
        return self.proc.poll() is None

    def log(self):
        with open(self.err, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            pass


def wait_for_log(site, tag, seconds=30):
    """The page's log line for a tag (None if it does not come in time)."""
    path = os.path.join(site, "logs", tag.decode() + ".txt")
    deadline = time.monotonic() + seconds
    pattern = re.compile(rb"^tag=" + re.escape(tag) + rb" .*$", re.M)
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path, "rb") as f:
                m = pattern.search(f.read())
            if m:
                return m.group(0).decode(ANSI).strip()
        time.sleep(0.2)
    return None


def wait_for_server_log(srv, ok, seconds=10):
    """The server's log once ok(log) holds (it writes a request's line just
    after the response has gone out), or as it is when the time is up."""
    deadline = time.monotonic() + seconds
    log = srv.log()
    while not ok(log) and time.monotonic() < deadline:
        time.sleep(0.2)
        log = srv.log()
    return log


def make_site(work):
    site = os.path.join(work, "site")
    os.makedirs(os.path.join(site, "files"))
    os.makedirs(os.path.join(site, "empty"))
    os.makedirs(os.path.join(site, "logs"))
    with open(os.path.join(site, "upload.asp"), "w", newline="\r\n") as f:
        f.write(UPLOAD_PAGE)
    with open(os.path.join(site, "index.html"), "wb") as f:
        f.write(b"<html><body>index of the test site</body></html>\n")
    with open(os.path.join(site, "hello.txt"), "wb") as f:
        f.write(b"hello, static world\n")
    with open(os.path.join(site, "pixel.png"), "wb") as f:
        f.write(bytes(range(256)) * 40)
    with open(os.path.join(site, "global.asa"), "wb") as f:
        f.write(b"<script runat=server>' " + SECRET + b"</script>\n")
    with open(os.path.join(work, "secret.txt"), "wb") as f:
        f.write(SECRET + b"\n")
    os.makedirs(os.path.join(work, "outside"))
    with open(os.path.join(work, "outside", "secret.txt"), "wb") as f:
        f.write(SECRET + b"\n")
    os.symlink(os.path.join(work, "outside"), os.path.join(site, "link"))
    os.symlink(os.path.join(work, "secret.txt"), os.path.join(site, "secret-link.txt"))
    return site


def test_static(t, srv, site):
    body, code = curl([srv.url("/hello.txt")])
    t.check(code == 200 and body == b"hello, static world\n", "static text file", f"{code} {body!r}")
    res = subprocess.run(["curl", "-s", "--noproxy", "*", "--max-time", "20", "-D", "-", "-o",
                          os.devnull, srv.url("/pixel.png")], capture_output=True, timeout=30)
    head = res.stdout.decode("latin-1").lower()
    t.check("content-type: image/png" in head and "content-length: 10240" in head,
            "static binary file's headers", head)
    body, code = curl([srv.url("/pixel.png")])
    t.check(code == 200 and body == bytes(range(256)) * 40, "static binary file's bytes")
    body, code = curl(["-I", srv.url("/hello.txt")])
    t.check(code == 200 and b"content-length: 20" in body.lower() and b"hello" not in body,
            "HEAD: headers only", body.decode("latin-1"))
    body, code = curl([srv.url("/")])
    t.check(code == 200 and b"index of the test site" in body, "index document of /")
    body, code = curl([srv.url("/empty")])
    t.check(code == 301, "folder without its slash is redirected", str(code))
    resp, _ = raw_exchange(srv.port, b"GET /empty HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    t.check(b"\r\nLocation: /empty/\r\n" in resp, "redirect names the folder with its slash",
            resp[:300].decode("latin-1"))
    body, code = curl([srv.url("/empty/")])
    t.check(code == 403, "folder without an index document: 403", str(code))
    body, code = curl([srv.url("/no-such-file.txt")])
    t.check(code == 404, "missing file: 404", str(code))
    body, code = curl([srv.url("/global.asa")])
    t.check(code == 404 and SECRET not in body, "global.asa is not served", str(code))
    body, code = curl(["-X", "POST", "--data-binary", "x=1", srv.url("/hello.txt")])
    t.check(code == 405, "POST to a static file: 405", str(code))
    # Two requests on one connection, the second after the first's response.
    body, code = curl([srv.url("/hello.txt"), srv.url("/hello.txt")])
    t.check(body.count(b"hello, static world") == 2, "keep-alive: two responses", repr(body))
    # Pipelined: both requests in one write.
    resp, _ = raw_exchange(srv.port, b"GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n"
                                     b"GET /hello.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    t.check(resp.count(b"HTTP/1.1 200 OK") == 2 and resp.count(b"hello, static world") == 2,
            "pipelined requests", resp[:200].decode("latin-1"))


def test_upload(t, srv, site, work):
    rnd = random.Random(1234)
    binary = rnd.randbytes(300_000) + b"\r\n--\r\n\x00\xff" * 50
    text = ("line one\r\nline two\n" * 2000).encode()
    umlaut = "Grüße-Çà.bin"  # sent in the ANSI code page, as the page's browser would
    umlaut_content = rnd.randbytes(70_000)
    paths = {}
    for name, data in (("photo.bin", binary), ("notes.txt", text)):
        paths[name] = os.path.join(work, name)
        with open(paths[name], "wb") as f:
            f.write(data)
    umlaut_src = os.path.join(work, "umlaut-source.bin")
    with open(umlaut_src, "wb") as f:
        f.write(umlaut_content)

    args = ["-F", "title=Hello upload", "-F", "note=fields, too",
            "-F", "a=@" + paths["photo.bin"], "-F", "b=@" + paths["notes.txt"],
            "-F", b"c=@" + umlaut_src.encode() + b";filename=" + umlaut.encode(ANSI),
            srv.url("/upload.asp?tag=multi")]
    body, code = curl(args)
    out = body.decode(ANSI, "replace")
    t.check(code == 200, "upload page answers 200", f"{code}: {out[:500]}\n{srv.log()[-2000:]}")
    t.check("files=3" in out, "three files reported", out)
    t.check(f"size={len(binary)} saved=photo.bin" in out, "binary file reported saved", out)
    t.check(f"size={len(text)} saved=notes.txt" in out, "text file reported saved", out)
    t.check(f"size={len(umlaut_content)} saved={umlaut}" in out, "non-ASCII name reported", out)
    t.check("title=Hello upload" in out and "note=fields, too" in out, "text fields", out)
    t.check(out.rstrip().endswith("end"), "page ran to its end", out)
    files = os.path.join(site, "files")
    for name, data in (("photo.bin", binary), ("notes.txt", text), (umlaut, umlaut_content)):
        saved = os.path.join(files, name)
        ok = os.path.exists(saved) and open(saved, "rb").read() == data
        t.check(ok, f"saved {name} byte for byte", str(sorted(os.listdir(files))))

    # The same names again: OverwriteMode 2 numbers the new copies.
    body, code = curl(["-F", "a=@" + paths["photo.bin"], srv.url("/upload.asp?tag=again")])
    out = body.decode(ANSI, "replace")
    t.check(code == 200 and "saved=photo~1.bin" in out, "a taken name gets a numbered one", out)
    again = os.path.join(files, "photo~1.bin")
    t.check(os.path.exists(again) and open(again, "rb").read() == binary and
            open(os.path.join(files, "photo.bin"), "rb").read() == binary,
            "the numbered copy is whole and the first one untouched")
    log = wait_for_log(site, b"multi", 5)
    t.check(log is not None and "connected=True" in log and "files=3" in log and "saved=3" in log,
            "page log of the upload", str(log))


def test_concurrent(t, srv, site, work):
    count = 6
    size = 2 * 1024 * 1024
    sources = []
    for i in range(count):
        data = random.Random(100 + i).randbytes(size)
        path = os.path.join(work, f"conc-{i}.bin")
        with open(path, "wb") as f:
            f.write(data)
        sources.append((path, data))
    procs = []
    for i, (path, _) in enumerate(sources):
        cmd = ["curl", "-s", "--noproxy", "*", "--max-time", "120", "-w", "\n%{http_code}",
               "-F", "f=@" + path, "-F", f"title=c{i}", srv.url(f"/upload.asp?tag=conc{i}")]
        procs.append(subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL))
    outs = []
    for p in procs:
        try:
            out, _ = p.communicate(timeout=150)
        except subprocess.TimeoutExpired:
            p.kill()
            out, _ = p.communicate()
        outs.append(out)
    for i, ((path, data), out) in enumerate(zip(sources, outs)):
        body, _, code = out.rpartition(b"\n")
        text = body.decode(ANSI, "replace")
        name = os.path.basename(path)
        t.check(code == b"200" and f"size={len(data)} saved={name}" in text and
                f"title=c{i}" in text, f"concurrent upload {i} answered", f"{code} {text}")
        saved = os.path.join(site, "files", name)
        t.check(os.path.exists(saved) and open(saved, "rb").read() == data,
                f"concurrent upload {i} saved whole under its own name")
    for i in range(count):
        log = wait_for_log(site, b"conc%d" % i, 5)
        t.check(log is not None and "connected=True" in log and "files=1" in log and
                "saved=1" in log, f"concurrent upload {i} logged by its page", str(log))
    log = wait_for_server_log(
        srv, lambda log: all(f"/upload.asp?tag=conc{i}" in log for i in range(count)))
    t.check(all(f"/upload.asp?tag=conc{i}" in log for i in range(count)),
            "every concurrent request in the server's log")

    # A slow upload occupies one worker; other pages run meanwhile.
    slow = os.path.join(work, "slow.bin")
    slow_data = random.Random(99).randbytes(600_000)
    with open(slow, "wb") as f:
        f.write(slow_data)
    p = subprocess.Popen(["curl", "-s", "--noproxy", "*", "--max-time", "60", "--limit-rate", "150k",
                          "-F", "f=@" + slow, srv.url("/upload.asp?tag=slow")],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    time.sleep(0.7)
    start = time.monotonic()
    body, code = curl(["-F", "title=quick", srv.url("/upload.asp?tag=quick")])
    quick = time.monotonic() - start
    t.check(code == 200 and b"title=quick" in body and p.poll() is None,
            "a page runs while another page is still reading its body",
            f"{code} {quick:.2f}s slow still running: {p.poll() is None}")
    out, _ = p.communicate(timeout=70)
    t.check(b"saved=slow.bin" in out and
            open(os.path.join(site, "files", "slow.bin"), "rb").read() == slow_data,
            "the slow upload lands whole", out.decode(ANSI, "replace"))


def test_aborted(t, srv, site, work):
    files = os.path.join(site, "files")

    # A raw client that sends the head and half of the body, then hangs up.
    boundary = b"----abortboundary"
    content = random.Random(7).randbytes(2_000_000)
    body = multipart(boundary, [(b"title", b"aborted")], [(b"f", b"aborted-raw.bin", content)])
    head = (b"POST /upload.asp?tag=abort-raw HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: multipart/form-data; boundary=" + boundary + b"\r\n"
            b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n")
    with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as s:
        s.sendall(head + body[: len(body) // 2])
        time.sleep(0.5)
    log = wait_for_log(site, b"abort-raw")
    t.check(log is not None and "connected=False" in log and "files=0" in log and "saved=0" in log,
            "raw abort: the page saw the disconnect and saved nothing", str(log))
    t.check(not os.path.exists(os.path.join(files, "aborted-raw.bin")),
            "raw abort: no file written")

    # curl sending slowly, killed mid-upload.
    slow = os.path.join(work, "aborted-curl.bin")
    with open(slow, "wb") as f:
        f.write(content)
    p = subprocess.Popen(["curl", "-s", "--noproxy", "*", "--max-time", "60", "--limit-rate", "200k",
                          "-F", "f=@" + slow, srv.url("/upload.asp?tag=abort-curl")],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    time.sleep(2.0)
    p.kill()
    p.wait(timeout=10)
    log = wait_for_log(site, b"abort-curl")
    t.check(log is not None and "connected=False" in log and "files=0" in log and "saved=0" in log,
            "curl killed: the page saw the disconnect and saved nothing", str(log))
    t.check(not os.path.exists(os.path.join(files, "aborted-curl.bin")),
            "curl killed: no file written")
    log = wait_for_server_log(srv, lambda log: "client gone" in log)
    t.check("client gone" in log, "the server logged the disconnect", log[-1500:])

    # The server carries on.
    body, code = curl([srv.url("/hello.txt")])
    t.check(srv.alive() and code == 200, "server still serves after the aborts", str(code))
    body, code = curl(["-F", "f=@" + slow, srv.url("/upload.asp?tag=after-abort")])
    t.check(code == 200 and b"saved=aborted-curl.bin" in body, "upload after the aborts",
            body.decode(ANSI, "replace"))


def test_limits(t, srv, work):
    # Declared above the limit: 413 at once, no body sent, none waited for.
    head = (b"POST /upload.asp HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: multipart/form-data; boundary=x\r\n"
            b"Content-Length: " + str(LIMIT + 1).encode() + b"\r\n\r\n")
    resp, took = raw_exchange(srv.port, head, timeout=15)
    t.check(status_of(resp) == 413 and took < 5, "413 for a Content-Length above the limit",
            f"{took:.1f}s {resp[:200]!r}")
    # Exactly at the limit is not refused for its size (the body never comes:
    # the server waits for it, so only the absence of 413 in a short read counts).
    with socket.create_connection(("127.0.0.1", srv.port), timeout=2) as s:
        s.sendall(head.replace(str(LIMIT + 1).encode(), str(LIMIT).encode()) + b"--x--\r\n")
        try:
            early = s.recv(100)
        except socket.timeout:
            early = b""
    t.check(b" 413 " not in early, "no 413 at the limit itself", repr(early))
    # curl with a real file above the limit.
    big = os.path.join(work, "too-big.bin")
    with open(big, "wb") as f:
        f.truncate(LIMIT + 1000)
    body, code = curl(["-F", "f=@" + big, srv.url("/upload.asp?tag=too-big")])
    t.check(code == 413, "curl: 413 for an upload above the limit", str(code))

    # Malformed requests: 400.
    for raw in (b"GARBAGE\r\n\r\n",
                b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n",
                b"GET / HTTP/1.1\r\n\r\n",
                b"GET / HTTP/1.1\r\nHost: x\r\nBad Header\r\n\r\n",
                b"GET / HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n",
                b"POST /upload.asp HTTP/1.1\r\nHost: x\r\nContent-Length: ten\r\n\r\n",
                b"POST /upload.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\n",
                b"GET /a b HTTP/1.1\r\nHost: x\r\n\r\n",
                b"GET / HTTP/1.1\r\nHost: x\r\nX: a\x00b\r\n\r\n"):
        resp, _ = raw_exchange(srv.port, raw)
        t.check(status_of(resp) == 400, f"400 for {raw[:40]!r}", repr(resp[:120]))
    resp, _ = raw_exchange(srv.port, b"POST /upload.asp HTTP/1.1\r\nHost: x\r\n"
                                     b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
    t.check(status_of(resp) == 411, "411 for a chunked request body", repr(resp[:120]))
    resp, _ = raw_exchange(srv.port, b"GET /" + b"a" * 40000 + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    t.check(status_of(resp) in (414, 431), "overlong request head refused", repr(resp[:120]))
    t.check(srv.alive(), "server alive after malformed requests")


def test_traversal(t, srv):
    targets = [
        b"/../secret.txt", b"/../../secret.txt", b"/%2e%2e/secret.txt", b"/%2E%2E/secret.txt",
        b"/.%2e/secret.txt", b"/%2e./secret.txt", b"/files/../../secret.txt",
        b"/files/%2e%2e/%2e%2e/secret.txt", b"/..%2fsecret.txt", b"/files%2f..%2f..%2fsecret.txt",
        b"/..%5csecret.txt", b"/..\\secret.txt", b"/files\\..\\..\\secret.txt", b"/%5c..%5csecret.txt",
        b"//../secret.txt", b"/./../secret.txt", b"/%252e%252e/secret.txt",
        b"http://127.0.0.1/../secret.txt", b"/Z:/tmp/secret.txt", b"/z:%5csecret.txt",
        b"/link/secret.txt", b"/secret-link.txt", b"/link/", b"/hello.txt%00.html",
        b"/upload.asp%00", b"/upload.asp.", b"/upload.asp%20", b"/upload.asp::$DATA",
        b"/upload.asp%3a%3a$DATA", b"/UPLOAD.ASP.", b"/con", b"/files/nul.txt",
        b"/..%c0%afsecret.txt", b"/%c0%ae%c0%ae/secret.txt",
    ]
    for target in targets:
        resp, _ = raw_exchange(srv.port, b"GET " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                            b"Connection: close\r\n\r\n")
        code = status_of(resp)
        t.check(code in (400, 403, 404) and SECRET not in resp and
                PAGE_SOURCE_MARK.encode() not in resp,
                f"traversal {target.decode('latin-1')} refused", f"{code} {resp[:160]!r}")
    # Case variants reach the page as a page, never as its source.
    resp, _ = raw_exchange(srv.port, b"GET /UPLOAD.ASP?tag=case HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                     b"Connection: close\r\n\r\n")
    t.check(PAGE_SOURCE_MARK.encode() not in resp and b"files=0" in resp,
            "upper-case .ASP runs as a page", repr(resp[:300]))


# The deadlines of the second server (seconds, bytes per second).
HEAD_TIMEOUT = 2
BODY_GRACE = 2
MIN_RATE = 100
TRICKLE_GAP = 3.0  # a trickling client's pause between two bytes


def trickle(port, head, gap, max_bytes, result):
    """Sends the head, then one byte after every gap seconds until the
    server answers or closes (at most max_bytes bytes). Fills result with the
    answer and the seconds from the first byte to the answer."""
    start = time.monotonic()
    answer = b""
    sent = 0
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall(head)
            while sent < max_bytes:
                s.sendall(b"x")
                sent += 1
                s.settimeout(gap)
                try:
                    chunk = s.recv(65536)
                except socket.timeout:
                    continue
                s.settimeout(5)
                while chunk:
                    answer += chunk
                    chunk = s.recv(65536)
                break
    except OSError as e:  # a reset after the answer ends the read, too
        result["error"] = repr(e)
    result.update(answer=answer, seconds=time.monotonic() - start, sent=sent)


def test_slow_clients(t, wine, exe, site, work):
    """Two workers, both taken by clients that trickle their bodies: a third
    client's GET is served once the deadline has cut them off."""
    srv = Server(wine, exe, site, work, name="slow-server",
                 options=("--threads", "2", "--head-timeout", str(HEAD_TIMEOUT),
                          "--min-rate", str(MIN_RATE), "--body-grace", str(BODY_GRACE),
                          "--max-queue", "8", "--queue-timeout", "20"))
    try:
        boundary = b"----trickle"
        results = [{}, {}]
        clients = []
        for i, result in enumerate(results):
            head = (b"POST /upload.asp?tag=trickle%d HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    b"Content-Type: multipart/form-data; boundary=%s\r\n"
                    b"Content-Length: 1000\r\n\r\n" % (i, boundary))
            # Unchecked, 10 bytes would take 30 s.
            c = threading.Thread(target=trickle, args=(srv.port, head, TRICKLE_GAP, 10, result))
            c.start()
            clients.append(c)
        time.sleep(0.5)
        start = time.monotonic()
        body, code = curl([srv.url("/hello.txt")], timeout=30)
        get_took = time.monotonic() - start
        for c in clients:
            c.join(timeout=60)
        # The GET waits for a worker at most about as long as the grace (the
        # pages' start under Wine comes on top), never as long as a trickle.
        t.check(code == 200 and body == b"hello, static world\n" and get_took < BODY_GRACE + 3,
                "a GET is served while two clients trickle their bodies",
                f"{code} after {get_took:.1f}s")
        for i, r in enumerate(results):
            answer = r.get("answer", b"")
            t.check(status_of(answer) == 408 and b"\r\nConnection: close\r\n" in answer and
                    r["seconds"] < BODY_GRACE + 5 and r["sent"] < 4,
                    f"trickling body {i} ends in 408",
                    f"{r.get('seconds', 0):.1f}s after {r.get('sent')} bytes: {answer[:200]!r} "
                    f"{r.get('error', '')}")
            log = wait_for_log(site, b"trickle%d" % i, 10)
            t.check(log is not None and "connected=False" in log and "files=0" in log,
                    f"trickling body {i}: the page saw a client that has gone", str(log))

        # A head that never ends.
        head_result = {}
        trickle(srv.port, b"GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ", 1.0, 20,
                head_result)
        t.check(status_of(head_result.get("answer", b"")) == 408 and
                head_result["seconds"] < HEAD_TIMEOUT + 3,
                "trickling head ends in 408",
                f"{head_result.get('seconds', 0):.1f}s {head_result.get('answer', b'')[:200]!r}")
        def slow_lines(log):
            return [line for line in log.splitlines()
                    if "/upload.asp?tag=trickle" in line and '" 408 ' in line and
                    "request body too slow" in line]

        def head_line(log):
            return re.search(r'"-" 408 .*request head not complete within 2\.0 s', log)

        log = wait_for_server_log(srv, lambda log: len(slow_lines(log)) == 2 and head_line(log))
        t.check(len(slow_lines(log)) == 2, "both cut-off bodies logged with 408", log[-2000:])
        t.check(head_line(log) is not None, "the cut-off head logged with 408", log[-2000:])
        t.check(srv.alive(), "the server with deadlines still runs")
        print(f"slow clients: GET answered after {get_took:.2f}s; trickling bodies ended after "
              + ", ".join(f"{r.get('seconds', 0):.2f}s" for r in results)
              + f"; trickling head after {head_result.get('seconds', 0):.2f}s", flush=True)
    finally:
        srv.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--wine", required=True)
    ap.add_argument("--server", required=True)
    ap.add_argument("--dll", required=True)
    ap.add_argument("--work", required=True)
    a = ap.parse_args()
    if shutil.which("curl") is None:
        print("curl is missing")
        return 1
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    reg = run([a.wine, "regsvr32", "/s", a.dll], os.path.join(a.work, "regsvr32.log"), 120)
    if reg.returncode != 0:
        print(f"regsvr32 failed ({reg.returncode})")
        return 1
    site = make_site(a.work)
    t = Failures()
    srv = Server(a.wine, a.server, site, a.work)
    try:
        t.check(srv.root_shown.endswith(b"\\site"), "the server names its root",
                srv.root_shown.decode("utf-8", "replace"))
        for test in (lambda: test_static(t, srv, site),
                     lambda: test_upload(t, srv, site, a.work),
                     lambda: test_concurrent(t, srv, site, a.work),
                     lambda: test_aborted(t, srv, site, a.work),
                     lambda: test_limits(t, srv, a.work),
                     lambda: test_traversal(t, srv)):
            test()
            if not srv.alive():
                t.check(False, "server still running", srv.log()[-2000:])
                break
    finally:
        srv.stop()
    lines = srv.log().splitlines()
    t.check(len(lines) >= 40, "one log line per request", f"{len(lines)} lines")
    test_slow_clients(t, a.wine, a.server, site, a.work)
    print(f"{t.passed} passed, {t.failed} failed")
    return 0 if t.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
