#!/usr/bin/env python3
"""Runs kvhost under Wine and checks its JSON reports.

The expected reports come from the bodies themselves: the checker builds
well-formed multipart bodies from lists of parts (or splits the sample body
into its parts) and works out what a page script must read from them:
file items for file parts with content, one form variable per part, plain
fields of the same name folded into the first line. Text crosses as
Windows-1252 (the ANSI code page of the test prefix) and leaves as UTF-8.

Beyond the report: the object is created through the kvParcelin.dll beside
kvhost.exe (and through its ProgID once kvhost has registered it), members
called by name answer values or the failures a script would see, and saving
writes the uploaded bytes under the names that the overwrite modes give.
"""

import argparse
import hashlib
import json
import os
import random
import shutil
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
    tags = []  # the field name of each file item
    lines = []  # [name, value] as bytes, in FVars order
    for p in parts:
        is_file = p.ctype is not None
        if is_file and p.content:
            tags.append(p.name)
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
                "newName": "",
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
    # A file's tag as a script finds it: the first variable name whose
    # TagNameIndex (the first file item of that field) is the file's index.
    for i, f in enumerate(files):
        f["tag"] = ""
        for name, _ in lines:
            first = next((k for k, t in enumerate(tags) if t.lower() == name.lower()), -1)
            if first == i:
                f["tag"] = text(name)
                break
    return {
        "activation": "dll",
        "totalBytes": len(body),
        "status": 0,
        "response": "",
        "files": files,
        "vars": variables,
        "calls": [],
    }


def windows_path(path):
    """The name Wine gives a Unix path outside the prefix's drives."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def numbered(name, separator, n):
    """The n-th numbered name that saving in overwrite mode 2 tries."""
    dot = name.rfind(".")
    extension = name[dot:] if dot >= 0 else ""
    return name[: len(name) - len(extension)] + separator + str(n) + extension


def failure(call, kind, args, status, description="", source="kvParcelin.process"):
    if not description:
        source = ""
    return {"call": call, "kind": kind, "args": args, "status": status, "source": source,
            "description": description, "helpFile": "", "helpContext": 0}


def success(call, kind, args, result):
    return {"call": call, "kind": kind, "args": args, "result": result}


def without(report, *keys):
    return {k: v for k, v in report.items() if k not in keys}


class Runner:
    def __init__(self, wine, kvhost, work):
        self.wine = wine
        self.kvhost = kvhost
        self.work = work
        self.runs = 0

    def run(self, *args, exe=None):
        self.runs += 1
        out_path = os.path.join(self.work, "out%d.json" % self.runs)
        err_path = os.path.join(self.work, "err%d.txt" % self.runs)
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            rc = subprocess.call([self.wine, exe or self.kvhost] + list(args),
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=300)
        with open(out_path, "rb") as f:
            stdout = f.read()
        with open(err_path, "rb") as f:
            stderr = f.read().decode("utf-8", "replace")
        return rc, stdout, stderr

    def inspect(self, body_path, *options, exe=None):
        rc, stdout, stderr = self.run("inspect", body_path, *options, exe=exe)
        if rc != 0:
            raise AssertionError("kvhost inspect %s %s failed (%d): %s"
                                 % (body_path, " ".join(options), rc, stderr))
        return json.loads(stdout.decode("utf-8"))

    def registration(self, command):
        rc, stdout, stderr = self.run(command)
        check(rc == 0 and stderr == "", "kvhost %s: %d %s" % (command, rc, stderr))
        return json.loads(stdout.decode("utf-8")) if rc == 0 else {}


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


def digests_on_disk(folder):
    out = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            out[name] = hashlib.sha256(f.read()).hexdigest()
    return out


def check_activation(runner, args, sample_report):
    """The object comes from the kvParcelin.dll beside the kvhost.exe that runs."""
    folder = os.path.dirname(os.path.abspath(args.kvhost))
    check(sample_report["activation"] == "dll", "activation: %s" % sample_report["activation"])
    check(sample_report["server"].lower()
          == windows_path(os.path.join(folder, "kvParcelin.dll")).lower(),
          "server: %s" % sample_report["server"])
    # A copy of kvhost.exe in a folder of its own: without kvParcelin.dll
    # beside it there is no object; with one, that copy serves.
    alone = os.path.join(args.work, "alone")
    shutil.rmtree(alone, ignore_errors=True)
    os.makedirs(alone)
    exe = os.path.join(alone, "kvhost.exe")
    for name in ("kvhost.exe", "mtxex.dll"):
        shutil.copy(os.path.join(folder, name), alone)
    rc, stdout, stderr = runner.run("inspect", args.sample, exe=exe)
    check(rc == 4 and stdout == b"" and "cannot load" in stderr and "kvParcelin.dll" in stderr,
          "no kvParcelin.dll beside kvhost.exe: %d %r" % (rc, stderr))
    shutil.copy(os.path.join(folder, "kvParcelin.dll"), alone)
    report = runner.inspect(args.sample, exe=exe)
    compare(without(report, "server"), without(sample_report, "server"),
            "kvhost.exe in another folder")
    check(report["server"].lower() == windows_path(os.path.join(alone, "kvParcelin.dll")).lower(),
          "kvhost.exe in another folder: server %s" % report["server"])


def check_calls(runner, path, built_report, body):
    """Members called by name: values, and failures as a script sees them."""
    files = built_report["files"]
    last = len(files) - 1
    archive = next(i for i, f in enumerate(files) if f["fileName"] == "archive.tar.gz")
    note = next(v["value"] for v in built_report["vars"] if v["name"] == "note")
    body_name = windows_path(path)
    report = runner.inspect(
        path,
        "--call", "VarByIndex", "99",
        "--call", "FileName", "0",
        "--call", "FileData", str(last),
        "--call", "FileSize", str(archive),
        "--call", "TagNameIndex", "ARCHIVE",
        "--call", "Value", "note",
        "--call", "VarName", "-1",
        "--call", "FileExists", body_name,
        "--call", "FileExists", body_name + ".missing",
        "--call", "NoSuchMember", "1",
        "--put", "FileQty", "7",
        "--call", "FileQty",
        "--call", "Read",
        "--call", "FileName",
        "--call", "FileSave", "Z:\\nowhere\\x.bin", str(len(files)),
        "--put", "OverwriteChr", "_v",
        "--call", "OverwriteChr",
        "--put", "OverwriteChr", "",
        "--call", "OverwriteChr",
        "--put", "OverwriteChr", "12",
        "--call", "OverwriteChr",
        "--call", "TotalBytes")
    expected = [
        failure("VarByIndex", "get", [99], "0x8000FFFF", "Index out of range."),
        success("FileName", "get", [0], files[0]["fileName"]),
        success("FileData", "get", [last],
                {"bytes": files[last]["size"], "sha256": files[last]["sha256"]}),
        success("FileSize", "get", [archive], files[archive]["size"]),
        success("TagNameIndex", "get", ["ARCHIVE"], archive),
        success("Value", "get", ["note"], note),
        failure("VarName", "get", [-1], "0x8000FFFF", "Index out of range."),
        success("FileExists", "get", [body_name], True),
        success("FileExists", "get", [body_name + ".missing"], False),
        failure("NoSuchMember", "method|get", [1], "0x80020006"),  # DISP_E_UNKNOWNNAME
        failure("FileQty", "put", [7], "0x80020003"),  # DISP_E_MEMBERNOTFOUND: get only
        success("FileQty", "get", [], len(files)),
        success("Read", "method", [], None),
        failure("FileName", "get", [], "0x8002000E"),  # DISP_E_BADPARAMCOUNT
        failure("FileSave", "method", ["Z:\\nowhere\\x.bin", len(files)], "0x8000FFFF",
                "Index out of range or no file uploaded."),
        success("OverwriteChr", "put", ["_v"], None),
        success("OverwriteChr", "get", [], "_v"),
        success("OverwriteChr", "put", [""], None),
        success("OverwriteChr", "get", [], ""),
        success("OverwriteChr", "put", [12], None),
        success("OverwriteChr", "get", [], "12"),
        success("TotalBytes", "get", [], len(body)),
    ]
    compare(without(report, "calls"), without(built_report, "calls"), "--call: the report")
    check(len(report["calls"]) == len(expected), "--call: %d calls" % len(report["calls"]))
    for got, want in zip(report["calls"], expected):
        compare(got, want, "--call %s %s" % (want["call"], want["args"]))


def check_saves(runner, path, built_report):
    """--save in the three overwrite modes, into a fresh folder."""
    files = built_report["files"]
    folder = tempfile.mkdtemp(prefix="kvhost-save-")
    try:
        def calls(mode, where=folder):
            put = [success("OverwriteMode", "put", [mode], None)] if mode is not None else []
            return put + [success("FileSave", "method",
                                  [windows_path(where) + "\\" + f["fileName"], i], None)
                          for i, f in enumerate(files)]

        def new_names(report):
            return [f["newName"] for f in report["files"]]

        on_disk = {}

        # Mode 2 into an empty folder: the names themselves; NewName = FileName.
        report = runner.inspect(path, "--mode", "2", "--save", folder)
        compare(report["calls"], calls(2), "mode 2, first save: calls")
        compare(new_names(report), [f["fileName"] for f in files], "mode 2, first save: NewName")
        on_disk.update((f["fileName"], f["sha256"]) for f in files)
        compare(digests_on_disk(folder), on_disk, "mode 2, first save: files on disk")

        # Again, by another object: the first free numbered names.
        report = runner.inspect(path, "--save", folder, "--mode", "2")
        compare(report["calls"], calls(2), "mode 2, second save: calls")
        names = [numbered(f["fileName"], "~", 1) for f in files]
        compare(sorted(names), ["README~1", "archive.tar~1.gz", "beach~1.JPG"],
                "mode 2, second save: the numbered names")
        compare(new_names(report), names, "mode 2, second save: NewName")
        on_disk.update(zip(names, (f["sha256"] for f in files)))
        compare(digests_on_disk(folder), on_disk, "mode 2, second save: files on disk")

        # Two saves by one object after OverwriteChr, the second through the
        # folder's Windows name: counters 1 and 2 after the new separator.
        report = runner.inspect(path, "--put", "OverwriteChr", "_v", "--mode", "2",
                                "--save", folder, "--save", windows_path(folder))
        compare(report["calls"], [success("OverwriteChr", "put", ["_v"], None)]
                + calls(2) + calls(2), "OverwriteChr _v, two saves: calls")
        for n in (1, 2):
            on_disk.update((numbered(f["fileName"], "_v", n), f["sha256"]) for f in files)
        compare(new_names(report), [numbered(f["fileName"], "_v", 2) for f in files],
                "OverwriteChr _v, two saves: NewName")
        compare(digests_on_disk(folder), on_disk, "OverwriteChr _v, two saves: files on disk")

        # Mode 1 over existing files writes nothing and leaves NewName empty.
        times = {n: os.stat(os.path.join(folder, n)).st_mtime_ns for n in os.listdir(folder)}
        report = runner.inspect(path, "--mode", "1", "--save", windows_path(folder))
        compare(report["calls"], calls(1), "mode 1: calls")
        compare(new_names(report), [""] * len(files), "mode 1: NewName")
        compare({n: os.stat(os.path.join(folder, n)).st_mtime_ns for n in os.listdir(folder)},
                times, "mode 1: the files untouched")

        # A folder that does not exist: every FileSave fails on its own, the
        # report is still made.
        missing = os.path.join(folder, "missing")
        report = runner.inspect(path, "--save", missing)
        compare(report["calls"],
                [failure("FileSave", "method", [windows_path(missing) + "\\" + f["fileName"], i],
                         "0x8000FFFF",
                         "Cannot create file " + windows_path(missing) + "\\" + f["fileName"])
                 for i, f in enumerate(files)], "save into a missing folder")
        compare(without(report, "calls"), without(built_report, "calls"),
                "save into a missing folder: the report")
        check(not os.path.exists(missing), "save into a missing folder: no folder created")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def check_codepage(runner, work):
    """--codepage N: the report's texts as a page that sets CodePage N reads them."""
    resume = "日本語 résumé.txt"
    body = build(b"-----------------------------7dcp", [
        Part("Grüße €".encode("utf-8"), "日本語 € 5".encode("utf-8")),
        Part("Anhänge".encode("utf-8"), b"abc", ("C:\\Ordner\\" + resume).encode("utf-8"),
             "text/plain; x=ü".encode("utf-8")),
    ])
    path = write(work, "utf8.txt", body)
    report = runner.inspect(path, "--codepage", "65001")
    compare(report["calls"], [success("CodePage", "put", [65001], None)], "--codepage 65001: calls")
    compare(report["vars"], [{"name": "Grüße €", "value": "日本語 € 5"},
                             {"name": "Anhänge", "value": "C:\\Ordner\\" + resume}],
            "--codepage 65001: vars")
    file = report["files"][0]
    compare([file["tag"], file["localName"], file["fileName"], file["extension"],
             file["nameOnly"], file["contentType"]],
            ["Anhänge", "C:\\Ordner\\" + resume, resume, "txt", resume[:-4], "text/plain; x=ü"],
            "--codepage 65001: the file's texts")
    # Without it the ANSI code page reads every byte on its own, as before.
    plain = runner.inspect(path)
    compare(plain["vars"][0]["name"], "Grüße €".encode("utf-8").decode(ANSI, "replace"),
            "no --codepage: the ANSI reading")
    compare(plain["calls"], [], "no --codepage: no calls")
    rc, stdout, stderr = runner.run("inspect", path, "--codepage", "12345")
    check(rc == 5 and stdout == b"" and "Invalid code page 12345" in stderr,
          "--codepage 12345: %d %r" % (rc, stderr))


def check_registration(runner, sample, sample_report):
    """register, then creation by ProgID; unregister, and it is gone."""
    server = sample_report["server"]
    unregistered = {"command": "unregister", "server": server, "status": "0x00000000"}

    def not_registered(what):
        rc, stdout, stderr = runner.run("inspect", sample, "--registered")
        check(rc == 4 and stdout == b"" and "not registered" in stderr,
              "%s: %d %r" % (what, rc, stderr))

    compare(runner.registration("unregister"), unregistered, "unregister first")
    not_registered("--registered before register")
    try:
        compare(runner.registration("register"),
                {"command": "register", "server": server, "status": "0x00000000"}, "register")
        report = runner.inspect(sample, "--registered", "--call", "FileName", "1")
        check(report["activation"] == "registered", "--registered: %s" % report["activation"])
        compare(without(report, "activation", "calls"),
                without(sample_report, "activation", "calls"), "--registered: the report")
        compare(report["calls"],
                [success("FileName", "get", [1], sample_report["files"][1]["fileName"])],
                "--registered: --call")
    finally:
        compare(runner.registration("unregister"), unregistered, "unregister")
    not_registered("--registered after unregister")


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
    compare(without(gone, "activation", "server"),
            {"totalBytes": 0, "status": 0, "response": "", "files": [], "vars": [], "calls": []},
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

    check_activation(runner, args, full["sample"])
    check_calls(runner, path, full[label], body)
    check_saves(runner, path, full[label])
    check_codepage(runner, args.work)
    check_registration(runner, args.sample, full["sample"])

    # Failures: an unreadable body, wrong usage.
    rc, stdout, stderr = runner.run("inspect", os.path.join(args.work, "no-such-body.txt"))
    check(rc != 0 and stdout == b"" and "cannot read" in stderr, "missing body file: %d %r" % (rc, stderr))
    for bad in (["inspect"], ["frobnicate", path], ["inspect", path, "--chunk", "0"],
                ["inspect", path, "--chunk"], ["inspect", path, "--bogus", "3"],
                ["inspect", path, "--mode", "2"], ["inspect", path, "--call"],
                ["inspect", path, "--call", "--registered"], ["inspect", path, "--put", "Status"],
                ["inspect", path, "--save"], ["inspect", path, "--save", "d", "--mode", "x"],
                ["inspect", path, "--save", "d", "--mode", "1", "--mode", "2"],
                ["inspect", path, "--codepage", "utf-8"], ["inspect", path, "--codepage"],
                ["inspect", path, "--codepage", "65001", "--codepage", "1252"],
                ["register", "now"], ["unregister", path]):
        rc, stdout, stderr = runner.run(*bad)
        check(rc == 2 and stdout == b"" and "usage" in stderr, "usage error for %s: %d" % (bad, rc))

    print("%d kvhost runs, %d failed checks" % (runner.runs, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
