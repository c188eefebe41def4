#!/usr/bin/env python3
"""Runs `kvhost inspect` under Wine and checks its JSON report.

The expected reports come from the bodies themselves: the checker builds
well-formed multipart bodies from lists of parts (or splits the sample body
into its parts) and works out what a page script must read from them:
file items for file parts with content, one form variable per part, plain
fields of the same name folded into the first line. Text crosses as
Windows-1252 (the ANSI code page of the test prefix) and leaves as UTF-8.
"""

import argparse
import hashlib
import json
import os
import random
import subprocess
import sys
import tempfile

ANSI = "cp1252"
CRLF = b"\r\n"


class Part:
    def __init__(self, name, content, filename=None, ctype=None):
        self.name = name  # bytes
        self.content = content  # bytes
        self.filename = filename  # bytes or None (a plain field)
        self.ctype = ctype  # bytes or None


def build(delimiter, parts):
    body = b""
    for p in parts:
        body += delimiter + CRLF + b'Content-Disposition: form-data; name="' + p.name + b'"'
        if p.filename is not None:
            body += b'; filename="' + p.filename + b'"' + CRLF
            body += b"Content-Type: " + p.ctype + CRLF + CRLF
        else:
            body += CRLF + CRLF
        body += p.content + CRLF
    return body + delimiter + b"--" + CRLF


def split(body):
    """The parts of a well-formed body, delimited by its first line."""
    delimiter = body[: body.index(CRLF)]
    chunks = body.split(delimiter + CRLF)
    assert chunks[0] == b"", "the body must open with its delimiter line"
    last = chunks[-1]
    closing = CRLF + delimiter + b"--" + CRLF
    assert last.endswith(closing), "the body must end with the closing delimiter line"
    chunks[-1] = last[: -len(closing)] + CRLF
    parts = []
    for chunk in chunks[1:]:
        head, content = chunk.split(CRLF + CRLF, 1)
        assert content.endswith(CRLF)
        content = content[:-2]
        lines = head.split(CRLF)
        disposition = lines[0]
        name = disposition.split(b'name="', 1)[1].split(b'"', 1)[0]
        filename = None
        if b'filename="' in disposition:
            filename = disposition.split(b'filename="', 1)[1].split(b'"', 1)[0]
        ctype = None
        if len(lines) > 1 and lines[1].startswith(b"Content-Type: "):
            ctype = lines[1][len(b"Content-Type: "):]
        parts.append(Part(name, content, filename, ctype))
    return delimiter, parts


def text(ansi):
    return ansi.decode(ANSI)


def field_value(content):
    """A plain field's value: lines joined by CR LF, CRs inside lines and
    empty lines before the first text dropped."""
    value = b""
    for line in content.split(b"\n"):
        line = line.replace(b"\r", b"")
        value = value + CRLF + line if value else line
    return value


def expected_report(body, parts):
    files = []
    lines = []  # [name, value] as bytes, in FVars order
    for p in parts:
        is_file = p.ctype is not None
        if is_file and p.content:
            local = p.filename or b""
            cut = max(local.rfind(b"\\"), local.rfind(b":"))
            file_name = local[cut + 1:]
            dot = file_name.rfind(b".")
            extension = file_name[dot + 1:] if dot >= 0 else b""
            name_only = file_name[: len(file_name) - len(extension) - 1] if extension else file_name
            files.append({
                "tag": text(p.name),
                "localName": text(local),
                "fileName": text(file_name),
                "extension": text(extension),
                "nameOnly": text(name_only),
                "contentType": text(p.ctype),
                "size": len(p.content),
                "sha256": hashlib.sha256(p.content).hexdigest(),
            })
        if p.filename:
            lines.append([p.name, p.filename])
            continue
        value = b"" if is_file else field_value(p.content)
        same = [line for line in lines if line[0].lower() == p.name.lower()]
        if same:
            same[0][0] = p.name
            same[0][1] = same[0][1] + b", " + value
        else:
            lines.append([p.name, value])
    variables = []
    for name, _ in lines:
        first = next(v for n, v in lines if n.lower() == name.lower())
        variables.append({"name": text(name), "value": text(first)})
    return {
        "totalBytes": len(body),
        "status": 0,
        "response": "",
        "files": files,
        "vars": variables,
    }


class Runner:
    def __init__(self, wine, kvhost, work):
        self.wine = wine
        self.kvhost = kvhost
        self.work = work
        self.runs = 0

    def run(self, *args):
        self.runs += 1
        out_path = os.path.join(self.work, "out%d.json" % self.runs)
        err_path = os.path.join(self.work, "err%d.txt" % self.runs)
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            rc = subprocess.call([self.wine, self.kvhost] + list(args),
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=300)
        with open(out_path, "rb") as f:
            stdout = f.read()
        with open(err_path, "rb") as f:
            stderr = f.read().decode("utf-8", "replace")
        return rc, stdout, stderr

    def inspect(self, body_path, *options):
        rc, stdout, stderr = self.run("inspect", body_path, *options)
        if rc != 0:
            raise AssertionError("kvhost inspect %s %s failed (%d): %s"
                                 % (body_path, " ".join(options), rc, stderr))
        return json.loads(stdout.decode("utf-8"))


failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what)


def compare(actual, expected, what):
    if actual != expected:
        check(False, "%s:\n  actual   %s\n  expected %s" % (
            what, json.dumps(actual, ensure_ascii=False), json.dumps(expected, ensure_ascii=False)))


def write(work, name, body):
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(body)
    return path


def built_body():
    rng = random.Random(1234)
    delimiter = b"-----------------------------7d93b1a2e0c3e"
    binary = bytes(rng.randrange(256) for _ in range(3000)) + b"\r\n-\r\n" + bytes(range(256))
    assert delimiter not in binary
    parts = [
        Part(b"title", b"Holiday"),
        Part(b"photo", b"JFIF" + binary, b"C:\\pics\\beach.JPG", b"image/jpeg"),
        Part(b"note", b'line one\r\nsays "hi" \\ back\r\n\r\nline \xe9 four'),
        Part(b"extra", b"", b"", b"application/octet-stream"),
        Part(b"archive", b"PK\x03\x04", b"D:archive.tar.gz", b"application/gzip"),
        Part(b"empty", b"", b"C:\\zero.txt", b"text/plain"),
        Part(b"Title", b"Sea"),
        Part(b"archive", b"no dot", b"README", b"text/plain"),
        Part(b"caf\xe9", b"cr\rinside\nlf only"),
    ]
    return build(delimiter, parts), parts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--kvhost", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    if not args.wine:
        print("no Wine loader for this build")
        return 1
    os.makedirs(args.work, exist_ok=True)
    runner = Runner(args.wine, args.kvhost, args.work)

    # The sample body and a body built here, whole.
    with open(args.sample, "rb") as f:
        sample = f.read()
    _, sample_parts = split(sample)
    built, built_parts = built_body()
    cases = [("sample", args.sample, sample, sample_parts),
             ("built", write(args.work, "built.txt", built), built, built_parts)]
    full = {}
    for label, path, body, parts in cases:
        report = runner.inspect(path)
        full[label] = report
        expected = expected_report(body, parts)
        for key in expected:
            compare(report.get(key), expected[key], "%s body: %s" % (label, key))
        check(len(report["files"]) >= 2, "%s body: at least two files" % label)

    label, path, body, _ = cases[1]
    # Reads of at most the body's size change nothing.
    compare(runner.inspect(path, "--chunk", str(len(body))), full[label], "--chunk of the whole size")
    # Short reads leave zeros where the bytes went missing: the first part's
    # headers run into them, and nothing is recognised.
    short = runner.inspect(path, "--chunk", "60")
    compare([short["totalBytes"], short["files"], short["vars"], short["response"]],
            [len(body), [], [], ""], "--chunk 60")
    # Gone before the only chunk: nothing read, TotalBytes 0.
    gone = runner.inspect(path, "--disconnect-at", "1")
    compare(gone, {"totalBytes": 0, "status": 0, "response": "", "files": [], "vars": []},
            "--disconnect-at 1")
    # Gone while parsing: a leading part of the variables, the size recorded.
    # (A later field may still respell a folded name: names compare ignoring case.)
    full_names = [v["name"].lower() for v in full[label]["vars"]]
    previous = 0
    cut_short = False
    for k in range(2, 12):
        partial = runner.inspect(path, "--disconnect-at", str(k))
        names = [v["name"].lower() for v in partial["vars"]]
        check(partial["totalBytes"] == len(body), "--disconnect-at %d: totalBytes" % k)
        check(partial["response"] == "", "--disconnect-at %d: response" % k)
        check(names == full_names[: len(names)], "--disconnect-at %d: %s" % (k, names))
        check(len(names) >= previous, "--disconnect-at %d: fewer variables than before" % k)
        previous = len(names)
        cut_short = cut_short or 0 < len(names) < len(full_names)
    check(cut_short, "some disconnect cut the parsing short")

    # Failures: an unreadable body, wrong usage.
    rc, stdout, stderr = runner.run("inspect", os.path.join(args.work, "no-such-body.txt"))
    check(rc != 0 and stdout == b"" and "cannot read" in stderr, "missing body file: %d %r" % (rc, stderr))
    for bad in (["inspect"], ["frobnicate", path], ["inspect", path, "--chunk", "0"],
                ["inspect", path, "--chunk"], ["inspect", path, "--bogus", "3"]):
        rc, stdout, stderr = runner.run(*bad)
        check(rc == 2 and stdout == b"" and "usage" in stderr, "usage error for %s: %d" % (bad, rc))

    print("%d kvhost runs, %d failed checks" % (runner.runs, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
