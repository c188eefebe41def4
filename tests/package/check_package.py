#!/usr/bin/env python3
"""Checks a release zip made by scripts/package.sh.

  check_package.py ZIP [--wine LOADER] [--prefix DIR] [--arch x64|x86|all] [--work DIR]

Without --wine it checks the archives only: the exact list of files, the text
files against the sources (with CR LF line ends), SHA256SUMS, and for each DLL
its machine, that it is stripped, that it imports only system DLLs, its exports,
its version resource and the debug file of the -debug.zip beside the archive.

With --wine it also runs install.cmd and uninstall.cmd from the unpacked zip
under Wine's cmd (in the prefix --prefix, or a new one in --work): both refuse
without administrator rights and change nothing, and with them they install,
register, unregister and delete the packaged DLLs of --arch.

Prints one line per check and ends with "N passed, N failed".
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CLSID = "{A528328A-8FE6-441A-BEF8-DE252DDDD9F5}"
LIBID = "{C53133C2-33E3-4A58-8CEA-E2BB7AD2E57C}"
MACHINE = {"x64": 0x8664, "x86": 0x14C}
OBJDUMP = {"x64": "x86_64-w64-mingw32-objdump", "x86": "i686-w64-mingw32-objdump"}
# DLLs that every Windows has; anything else (a MinGW runtime such as
# libstdc++-6.dll or libwinpthread-1.dll) would have to ship beside the DLL.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll",
               "user32.dll", "shell32.dll", "shlwapi.dll", "bcrypt.dll", "rpcrt4.dll",
               "version.dll", "ntdll.dll"}
EXPORTS = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"}


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"ok   {name}")
        else:
            self.failed += 1
            print(f"FAIL {name}{': ' + detail if detail else ''}")
        return ok


def expected_text_files():
    """Archive path -> source file, for everything that is copied as text."""
    files = {"install.cmd": "packaging/install.cmd", "uninstall.cmd": "packaging/uninstall.cmd",
             "README.txt": "packaging/README.txt"}
    tracked = subprocess.run(["git", "-C", ROOT, "ls-files", "--", "docs/*.md", "examples/www"],
                             capture_output=True, text=True, check=True).stdout.split()
    for path in tracked:
        if path.startswith("docs/"):
            files[path] = path
        elif not os.path.basename(path).startswith("."):
            files["demo/" + path[len("examples/www/"):]] = path
    return files


def crlf(data):
    return re.sub(rb"\r*\n", b"\r\n", data)


def pe_sections(data):
    """(machine, number of symbols, {section name: (offset, size)})."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    machine, count, _, pointer, symbols, optional = struct.unpack_from("<HHIIIH", data, pe + 4)
    table = pe + 24 + optional
    strings = pointer + 18 * symbols if pointer else 0
    sections = {}
    for i in range(count):
        raw = data[table + 40 * i:table + 40 * i + 40]
        name = raw[:8].rstrip(b"\0").decode("latin-1")
        if name.startswith("/") and strings:  # long name in the string table
            start = strings + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode("latin-1")
        size, offset = struct.unpack_from("<II", raw, 16)
        sections[name] = (offset, size)
    return machine, symbols, sections


def fixed_version(data):
    """FILEVERSION and PRODUCTVERSION of VS_FIXEDFILEINFO, as 'a.b.c.d'."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None, None
    fms, fls, pms, pls = struct.unpack_from("<IIII", data, at + 8)
    text = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    return text(fms, fls), text(pms, pls)


def version_string(data, key):
    """A StringFileInfo value: the UTF-16 key, padding to 4 bytes, the value."""
    k = key.encode("utf-16-le") + b"\0\0"
    at = data.find(k)
    if at < 0:
        return None
    at += len(k)
    while at % 4:
        at += 1
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le")


def check_dll(c, arch, data, version, debug_data):
    tag = f"{arch}/kvParcelin.dll"
    try:
        machine, symbols, sections = pe_sections(data)
    except (ValueError, struct.error) as e:
        c.check(f"{tag} is a PE file", False, str(e))
        return
    c.check(f"{tag} machine", machine == MACHINE[arch], hex(machine))
    debug_sections = [s for s in sections if s.startswith(".debug")]
    c.check(f"{tag} stripped", symbols == 0 and not debug_sections and len(data) < 1024 * 1024,
            f"{len(data)} bytes, {symbols} symbols, {debug_sections}")

    with tempfile.NamedTemporaryFile(suffix=".dll") as f:
        f.write(data)
        f.flush()
        dump = subprocess.run([OBJDUMP[arch], "-p", f.name], capture_output=True, text=True)
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump.stdout)}
    foreign = sorted(i for i in imports if i not in SYSTEM_DLLS and not i.startswith("api-ms-win-"))
    c.check(f"{tag} imports only system DLLs", dump.returncode == 0 and imports and not foreign,
            f"imports {sorted(imports)}")
    names = dump.stdout.partition("[Ordinal/Name Pointer] Table\n")[2].partition("\n\n")[0]
    exports = set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)$", names, re.M))
    c.check(f"{tag} exports", exports == EXPORTS, f"{sorted(exports)}")

    want = f"{version}.0"
    c.check(f"{tag} version resource", fixed_version(data) == (want, want)
            and version_string(data, "FileVersion") == want
            and version_string(data, "ProductVersion") == want
            and version_string(data, "ProductName") == "kvParcelin"
            and bool(version_string(data, "FileDescription"))
            and bool(version_string(data, "LegalCopyright")),
            f"fixed {fixed_version(data)}, FileVersion {version_string(data, 'FileVersion')!r}")

    # The debug link: the debug file's name, padding, and its CRC-32.
    link = sections.get(".gnu_debuglink")
    if c.check(f"{tag} has a debug link", link is not None):
        raw = data[link[0]:link[0] + link[1]]
        name = raw[:raw.index(b"\0")].decode()
        crc = struct.unpack_from("<I", raw, (len(name) + 4) & ~3)[0]
        c.check(f"{tag} debug link matches the debug archive",
                debug_data is not None and name == "kvParcelin.dll.debug"
                and crc == zlib.crc32(debug_data) & 0xFFFFFFFF,
                f"link {name!r} crc {crc:08x}")
    if debug_data is not None:
        _, _, dsections = pe_sections(debug_data)
        c.check(f"{tag}.debug holds the debug information", ".debug_info" in dsections,
                f"{sorted(dsections)}")


def type_library_version():
    """The library's version() comes first in the IDL."""
    with open(os.path.join(ROOT, "src", "server", "kvParcelin.idl")) as idl:
        return re.search(r"version\((\d+\.\d+)\)", idl.read()).group(1)


def check_archives(c, zip_path):
    name = os.path.basename(zip_path)
    tlb = type_library_version()
    m = re.fullmatch(rf"(kvParcelin-({re.escape(tlb)}\.(\d+)))\.zip", name)
    if not c.check(f"archive name kvParcelin-{tlb}.<build>.zip", m is not None, name):
        return None
    top, version = m.group(1), m.group(2)
    z = zipfile.ZipFile(zip_path)
    members = {i.filename: i for i in z.infolist() if not i.is_dir()}
    c.check("every entry is inside the top folder",
            all(n.startswith(top + "/") for n in members), top)
    files = {n[len(top) + 1:]: z.read(n) for n in members if n.startswith(top + "/")}

    texts = expected_text_files()
    expected = set(texts) | {"x64/kvParcelin.dll", "x86/kvParcelin.dll", "SHA256SUMS"}
    c.check("exactly the expected files", set(files) == expected,
            f"missing {sorted(expected - set(files))}, extra {sorted(set(files) - expected)}")
    stale = [p for p, src in texts.items()
             if p in files and files[p] != crlf(open(os.path.join(ROOT, src), "rb").read())]
    c.check("text files are the sources with CR LF line ends", not stale, f"{stale}")

    sums = {}
    for line in files.get("SHA256SUMS", b"").decode().splitlines():
        digest, _, path = line.partition("  ")
        sums[path] = digest
    c.check("SHA256SUMS lists every other file", set(sums) == set(files) - {"SHA256SUMS"},
            f"{sorted(set(sums) ^ (set(files) - {'SHA256SUMS'}))}")
    wrong = [p for p, d in sums.items() if p in files and hashlib.sha256(files[p]).hexdigest() != d]
    c.check("SHA256SUMS digests match", not wrong, f"{wrong}")

    debug_zip = os.path.join(os.path.dirname(zip_path), f"{top}-debug.zip")
    debug = {}
    if c.check("debug archive beside the zip", os.path.exists(debug_zip), debug_zip):
        dz = zipfile.ZipFile(debug_zip)
        debug = {i.filename[len(top) + 1:]: dz.read(i) for i in dz.infolist() if not i.is_dir()}
        c.check("debug archive holds the two debug files",
                set(debug) == {"x64/kvParcelin.dll.debug", "x86/kvParcelin.dll.debug"},
                f"{sorted(debug)}")
    for arch in ("x64", "x86"):
        if f"{arch}/kvParcelin.dll" in files:
            check_dll(c, arch, files[f"{arch}/kvParcelin.dll"], version,
                      debug.get(f"{arch}/kvParcelin.dll.debug"))
    return z, top


class Wine:
    def __init__(self, loader, prefix, log):
        self.loader = loader
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINELOADER=loader)
        self.log = log

    def run(self, *args, cwd=None):
        """Exit status and output; Wine's streams never on our pipes."""
        with tempfile.TemporaryFile() as out:
            rc = subprocess.run([self.loader, *args], cwd=cwd, env=self.env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, timeout=1200).returncode
            out.seek(0)
            text = out.read().decode("latin-1").replace("\r", "")
        self.log.write(f"$ {' '.join(args)}\n{text}[exit {rc}]\n")
        return rc, text

    def reg_value(self, key, view=None):
        rc, text = self.run("reg", "query", key, "/ve", *([f"/reg:{view}"] if view else []))
        m = re.search(r"REG_SZ\s+(.*)", text)
        return m.group(1).strip() if rc == 0 and m else None

    def reg_exists(self, key, view=None):
        return self.run("reg", "query", key, *([f"/reg:{view}"] if view else []))[0] == 0


def check_install(c, z, top, args):
    os.makedirs(args.work, exist_ok=True)
    unpacked = os.path.join(args.work, "unpacked")
    shutil.rmtree(unpacked, ignore_errors=True)
    z.extractall(unpacked)
    here = os.path.join(unpacked, top)
    target = os.path.join(args.work, "installed")
    shutil.rmtree(target, ignore_errors=True)
    prefix = args.prefix or os.path.join(args.work, "wineprefix")
    wine = Wine(args.wine, prefix, open(os.path.join(args.work, "wine.log"), "w"))
    if not c.check("Wine starts in the prefix", wine.run("cmd", "/c", "exit")[0] == 0, prefix):
        return
    _, arch_text = wine.run("cmd", "/c", "echo %PROCESSOR_ARCHITECTURE%")
    os64 = "AMD64" in arch_text
    archs = {"x64": ["x64"], "x86": ["x86"], "all": ["x64", "x86"] if os64 else ["x86"]}[args.arch]
    view = {"x64": 64, "x86": 32}
    wtarget = "Z:" + target.replace("/", "\\")

    # The class is registered per bitness (its own registry view); the ProgID
    # and the type library's keys are shared by both.
    def registered(arch):
        dll = f"{wtarget}\\{arch}\\kvParcelin.dll"
        path = wine.reg_value(f"HKCR\\CLSID\\{CLSID}\\InprocServer32", view[arch])
        return (path or "").lower() == dll.lower() and wine.reg_value(
            "HKCR\\kvParcelin.process\\CLSID") == CLSID and os.path.exists(
                os.path.join(target, arch, "kvParcelin.dll"))

    def gone(arch):
        return not wine.reg_exists(f"HKCR\\CLSID\\{CLSID}", view[arch]) and not os.path.exists(
            os.path.join(target, arch))

    def script(name, *extra):
        return wine.run("cmd", "/c", name, *extra, cwd=here)

    # Only administrators can read HKU\S-1-5-19 on Windows; in Wine the key
    # is simply there or not, which plays both cases.
    wine.run("reg", "delete", "HKU\\S-1-5-19", "/f")
    rc, out = script("install.cmd", args.arch, wtarget)
    c.check("install.cmd refuses without administrator rights",
            rc == 5 and "administrator" in out and not os.path.exists(target)
            and not wine.reg_exists("HKCR\\kvParcelin.process"), f"exit {rc}: {out.strip()}")

    wine.run("reg", "add", "HKU\\S-1-5-19", "/f")
    try:
        rc, out = script("install.cmd", args.arch, wtarget)
        c.check(f"install.cmd {args.arch} succeeds", rc == 0, f"exit {rc}: {out.strip()}")
        for a in archs:
            copied = os.path.join(target, a, "kvParcelin.dll")
            same = os.path.exists(copied) and open(copied, "rb").read() == z.read(
                f"{top}/{a}/kvParcelin.dll")
            c.check(f"install.cmd copied and registered {a}", same and registered(a))
        c.check("install.cmd installed nothing else",
                os.path.isdir(target) and sorted(os.listdir(target)) == sorted(archs))
        c.check("the type library is registered",
                wine.reg_exists(f"HKCR\\TypeLib\\{LIBID}\\{type_library_version()}"))

        wine.run("reg", "delete", "HKU\\S-1-5-19", "/f")
        rc, out = script("uninstall.cmd", args.arch, wtarget)
        c.check("uninstall.cmd refuses without administrator rights",
                rc == 5 and "administrator" in out and all(registered(a) for a in archs),
                f"exit {rc}: {out.strip()}")
        wine.run("reg", "add", "HKU\\S-1-5-19", "/f")

        if len(archs) == 2:
            # Removing one bitness leaves the other one working.
            rc, out = script("uninstall.cmd", "x64", wtarget)
            c.check("uninstall.cmd x64 keeps x86 registered",
                    rc == 0 and gone("x64") and registered("x86")
                    and wine.reg_exists(f"HKCR\\TypeLib\\{LIBID}\\{type_library_version()}"),
                    f"exit {rc}: {out.strip()}")
        rc, out = script("uninstall.cmd", args.arch, wtarget)
        c.check(f"uninstall.cmd {args.arch} succeeds", rc == 0, f"exit {rc}: {out.strip()}")
        for a in archs:
            c.check(f"uninstall.cmd unregistered and deleted {a}", gone(a))
        c.check("uninstall.cmd removed the ProgID, the type library and the folder",
                not wine.reg_exists("HKCR\\kvParcelin.process")
                and not wine.reg_exists(f"HKCR\\TypeLib\\{LIBID}") and not os.path.exists(target))
    finally:
        wine.run("reg", "delete", "HKU\\S-1-5-19", "/f")
        if not args.prefix:  # the prefix made here: end its wineserver
            subprocess.run(["wineserver", "-k"], env=wine.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("zip")
    p.add_argument("--wine", help="Wine loader: runs install.cmd/uninstall.cmd when given")
    p.add_argument("--prefix", help="Wine prefix (default: <work>/wineprefix)")
    p.add_argument("--arch", choices=["x64", "x86", "all"], default="x64")
    p.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "kvparcelin-package"))
    args = p.parse_args()
    # Wine takes only an absolute WINEPREFIX.
    args.work = os.path.abspath(args.work)
    args.prefix = args.prefix and os.path.abspath(args.prefix)
    c = Checks()
    result = check_archives(c, os.path.abspath(args.zip))
    if result and args.wine:
        check_install(c, *result, args)
    print(f"{c.passed} passed, {c.failed} failed")
    return 0 if c.failed == 0 and c.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
