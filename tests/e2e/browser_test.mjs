#!/usr/bin/env node
// The demo site in a real browser: headless Chromium fills the upload form of
// examples/www with real files and text, sends it through the local ASP host
// (kvhost serve, or its test program kvservecli.exe) running under Wine with
// kvParcelin.dll registered in the prefix, and the test checks the result
// page, the saved files byte for byte, the listing page and the members page.
// The form is sent twice: once with script off (the plain form post), once
// with it on (the page's own XMLHttpRequest upload with its progress bar).
//
//   node browser_test.mjs [--build DIR] [--bin DIR] [--wine LOADER] [--site DIR]
//                         [--artifacts DIR] [--skip-code N] [--own-prefix] [--keep]
//
//   --build DIR      the x64 build tree (default: <repo>/build/x64)
//   --bin DIR        the folder of kvParcelin.dll and the server program
//                    (default: <build>/bin)
//   --wine LOADER    the Wine loader (default: $WINELOADER, else
//                    /usr/lib/wine/wine64 when present, else wine)
//   --site DIR       the site to copy (default: <repo>/examples/www)
//   --artifacts DIR  where screenshots and, on failure, the server's log go
//                    (default: <build>/artifacts)
//   --skip-code N    exit code when the test cannot run here: no Chromium or
//                    no playwright-core (default 0; ctest passes its
//                    SKIP_RETURN_CODE)
//   --own-prefix     run in a new Wine prefix of its own, in the temporary
//                    folder (some seconds more), untouched by other programs
//                    that register or unregister the DLL in the shared one
//   --keep           keep the temporary folder (site copy, files, logs)
//
// KV_CHROMIUM names the browser (default /usr/bin/chromium or
// /usr/bin/chromium-browser).
//
// WINEPREFIX comes from the environment (default: <build>/wineprefix).
// Every wait is bounded, and a watchdog ends the run (and the server) before
// ctest's own timeout would.

import { spawn, spawnSync } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '..', '..');

// ---------------------------------------------------------------- options
function parseArgs(argv) {
  const opts = { build: path.join(repo, 'build', 'x64'), bin: '', wine: '', site: path.join(repo, 'examples', 'www'),
                 artifacts: '', skipCode: 0, keep: false,
                 ownPrefix: false };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      return argv[++i];
    };
    if (a === '--build') opts.build = path.resolve(value());
    else if (a === '--bin') opts.bin = path.resolve(value());
    else if (a === '--wine') opts.wine = value();
    else if (a === '--site') opts.site = path.resolve(value());
    else if (a === '--artifacts') opts.artifacts = path.resolve(value());
    else if (a === '--skip-code') opts.skipCode = Number.parseInt(value(), 10);
    else if (a === '--keep') opts.keep = true;
    else if (a === '--own-prefix') opts.ownPrefix = true;
    else throw new Error(`unknown argument ${a}`);
  }
  if (!opts.wine) {
    opts.wine = process.env.WINELOADER ||
                (fs.existsSync('/usr/lib/wine/wine64') ? '/usr/lib/wine/wine64' : 'wine');
  }
  if (!opts.bin) opts.bin = path.join(opts.build, 'bin');
  if (!opts.artifacts) opts.artifacts = path.join(opts.build, 'artifacts');
  if (!Number.isInteger(opts.skipCode)) throw new Error('--skip-code takes a number');
  return opts;
}

const opts = parseArgs(process.argv.slice(2));
const binDir = opts.bin;
const wineEnv = {
  ...process.env,
  WINEPREFIX: process.env.WINEPREFIX || path.join(opts.build, 'wineprefix'),
  WINEDEBUG: process.env.WINEDEBUG || '-all',
};
if (opts.wine !== 'wine') wineEnv.WINELOADER = opts.wine;

// ---------------------------------------------------------------- reporting
let checks = 0;
let failures = 0;
function check(ok, what, detail = '') {
  checks++;
  if (ok) return true;
  failures++;
  console.log(`FAIL: ${what}${detail ? `\n      ${detail}` : ''}`);
  return false;
}
function checkEqual(actual, expected, what) {
  return check(actual === expected, what,
               `expected ${JSON.stringify(expected)}, got ${JSON.stringify(actual)}`);
}
function skip(reason) {
  console.log(`SKIPPED: ${reason}`);
  process.exit(opts.skipCode);
}
function sha256(bytes) {
  return createHash('sha256').update(bytes).digest('hex');
}
function log(text) {
  console.log(`-- ${text}`);
}

// ---------------------------------------------------------------- what is needed
function findChromium() {
  // KV_CHROMIUM, when set, names the only browser to use.
  const candidates = process.env.KV_CHROMIUM ? [process.env.KV_CHROMIUM]
                                             : ['/usr/bin/chromium', '/usr/bin/chromium-browser'];
  return candidates.find((p) => {
    try {
      fs.accessSync(p, fs.constants.X_OK);
      return true;
    } catch {
      return false;
    }
  });
}

async function loadPlaywright() {
  try {
    return await import('playwright-core');
  } catch {
    // Not installed yet: npm ci from the lock file, once.
    if (!fs.existsSync(path.join(here, 'package-lock.json'))) return null;
    log('playwright-core is missing: npm ci in tests/e2e');
    const r = spawnSync('npm', ['ci', '--no-audit', '--no-fund'],
                        { cwd: here, stdio: ['ignore', 'inherit', 'inherit'], timeout: 300_000 });
    if (r.status !== 0) return null;
    try {
      return await import('playwright-core');
    } catch {
      return null;
    }
  }
}

// ---------------------------------------------------------------- Wine
// Runs a Windows program to its end, its output into a file (never a pipe
// that a wineserver could inherit); answers { status, output }.
function runWine(args, logFile, timeoutMs = 120_000) {
  const fd = fs.openSync(logFile, 'w');
  try {
    const r = spawnSync(opts.wine, args, { env: wineEnv, stdio: ['ignore', fd, fd], timeout: timeoutMs });
    return { status: r.status, error: r.error, output: fs.readFileSync(logFile, 'latin1') };
  } finally {
    fs.closeSync(fd);
  }
}

// The server program: kvhost.exe serve when kvhost has that command, else
// the serve command's own test program.
function findServer(work) {
  const kvhost = path.join(binDir, 'kvhost.exe');
  if (fs.existsSync(kvhost)) {
    const r = runWine([kvhost, 'serve', '--help'], path.join(work, 'kvhost-serve-help.log'), 60_000);
    if (r.status === 0 && /--root/.test(r.output)) return { exe: kvhost, args: ['serve'] };
  }
  const cli = path.join(binDir, 'kvservecli.exe');
  if (fs.existsSync(cli)) return { exe: cli, args: [] };
  return null;
}

// Whether the ProgID leads to a class in the prefix's registry.
function progIdRegistered(work) {
  return runWine(['reg', 'query', 'HKCR\\kvParcelin.process\\CLSID'],
                 path.join(work, 'progid.log'), 60_000).status === 0;
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

class Server {
  constructor(server, root, work) {
    this.outFile = path.join(work, 'server.out');
    this.errFile = path.join(work, 'server.err');
    const out = fs.openSync(this.outFile, 'w');
    const err = fs.openSync(this.errFile, 'w');
    this.exited = null;
    this.child = spawn(opts.wine, [server.exe, ...server.args, '--root', root, '--port', '0'],
                       { env: wineEnv, stdio: ['ignore', out, err], detached: true });
    fs.closeSync(out);
    fs.closeSync(err);
    this.child.on('exit', (code, signal) => { this.exited = { code, signal }; });
    this.child.on('error', (e) => { this.exited = { code: null, signal: null, error: e }; });
  }

  // The URL it listens on, from its "Serving DIR at URL" line.
  async url(timeoutMs = 90_000) {
    const end = Date.now() + timeoutMs;
    while (Date.now() < end) {
      const text = fs.readFileSync(this.outFile, 'latin1');
      const m = /at (http:\/\/127\.0\.0\.1:(\d+)\/)/.exec(text);
      if (m) return m[1];
      if (this.exited) {
        throw new Error(`the server ended before it listened (${JSON.stringify(this.exited)}):\n` +
                        this.log());
      }
      await sleep(100);
    }
    throw new Error(`the server did not report its address within ${timeoutMs / 1000} s:\n${this.log()}`);
  }

  log() {
    const read = (f) => (fs.existsSync(f) ? fs.readFileSync(f, 'latin1') : '');
    return `stdout:\n${read(this.outFile)}\nstderr:\n${read(this.errFile)}`;
  }

  // Ends the server (its whole process group), bounded.
  async stop() {
    if (this.exited || !this.child.pid) return;
    const signal = (sig) => {
      try {
        process.kill(-this.child.pid, sig);
      } catch {
        try {
          this.child.kill(sig);
        } catch { /* gone */ }
      }
    };
    signal('SIGTERM');
    for (let i = 0; i < 50 && !this.exited; i++) await sleep(100);
    if (!this.exited) {
      signal('SIGKILL');
      for (let i = 0; i < 50 && !this.exited; i++) await sleep(100);
    }
  }
}

// ---------------------------------------------------------------- the files sent
// Name, bytes, the name receive.asp saves it under (null: refused), and the
// content type Chromium declares for it. The page makes each name from the
// client's: letters (of any script), digits, blanks, "-" and "_" of the bare
// name, "upload" for nothing left or a device name, then "." and the allowed
// extension; numbered in mode 2 when taken.
function makeFiles(dir) {
  fs.mkdirSync(dir, { recursive: true });
  // 64 MiB of random bytes, with text inside that looks like a part
  // boundary and like part headers, so that a parser that stops at the first
  // near-match cuts the file short.
  const big = randomBytes(64 * 1024 * 1024 + 4321);
  const decoy = Buffer.from('\r\n------WebKitFormBoundary\r\nContent-Disposition: form-data; ' +
                            'name="title"\r\n\r\nnot a field\r\n--', 'latin1');
  decoy.copy(big, 1_000_003);
  decoy.copy(big, big.length - decoy.length - 7);
  const files = [
    { name: 'random-data.bin', bytes: big, safe: 'random-data.bin', type: 'application/octet-stream' },
    { name: 'one.bin', bytes: Buffer.from([0x0a]), safe: 'one.bin', type: 'application/octet-stream' },
    // The site is UTF-8 and sets CodePage 65001: a name in any script comes
    // back exactly, and the file is saved under it.
    { name: '日本語 résumé.txt', bytes: Buffer.from('Lebenslauf\r\n日本語 — Jürgen Müller, Köln\r\n', 'utf8'),
      safe: '日本語 résumé.txt', type: 'text/plain' },
    { name: 'evil.asp', bytes: Buffer.from('<% Response.Write "owned" %>\r\n', 'latin1'), safe: null,
      type: null },
    { name: 'plain notes.txt', bytes: Buffer.from('three\nlines\nhere\n', 'latin1'),
      safe: 'plain notes.txt', type: 'text/plain' },
    // Hostile names: a device (the console on Windows) and a second
    // extension that a server could run; both land under harmless names.
    { name: 'CON.txt', bytes: Buffer.from('not for the console\n', 'latin1'), safe: 'upload.txt',
      type: 'text/plain' },
    { name: 'shell.asp;.txt', bytes: Buffer.from('<% Response.Write "owned" %>\n', 'latin1'),
      safe: 'shellasp.txt', type: 'text/plain' },
  ];
  for (const f of files) {
    f.path = path.join(dir, f.name);
    fs.writeFileSync(f.path, f.bytes);
    f.sha = sha256(f.bytes);
  }
  return files;
}

// ---------------------------------------------------------------- page readers
async function readResult(page) {
  return page.evaluate(() => {
    const text = (el, sel) => (el.querySelector(sel)?.textContent ?? null);
    const files = [...document.querySelectorAll('#files tbody tr')].map((tr) => ({
      cls: tr.className,
      localname: text(tr, '.localname'),
      filename: text(tr, '.filename'),
      newname: text(tr, '.newname'),
      contenttype: text(tr, '.contenttype'),
      size: text(tr, '.size'),
      href: tr.querySelector('.link a')?.getAttribute('href') ?? null,
    }));
    const fields = [...document.querySelectorAll('#fields tbody tr')].map((tr) => ({
      name: text(tr, '.name'),
      value: tr.querySelector('.value').innerText,
      valueHtml: tr.querySelector('.value').innerHTML,
      valueElements: tr.querySelector('.value').querySelectorAll('*:not(br)').length,
      tagindex: text(tr, '.tagindex'),
    }));
    const dd = (id) => document.getElementById(id)?.textContent ?? null;
    return {
      status: dd('status'), totalbytes: dd('totalbytes'), fileqty: dd('fileqty'), varcount: dd('varcount'),
      files, fields, body: document.body.innerText,
    };
  });
}

function noScriptError(body, what) {
  check(!/VBScript|runtime error|compilation error|ASP 0\d\d\d|Error reading uploaded/i.test(body),
        `${what}: the page shows no script or upload error`, body.slice(0, 2000));
}

async function submit(page, selector, what) {
  const [response] = await Promise.all([
    page.waitForNavigation({ timeout: 180_000, waitUntil: 'load' }),
    page.click(selector),
  ]);
  check(response && response.status() === 200, `${what}: HTTP 200`, `status ${response && response.status()}`);
  return response;
}

async function fetchBytes(url) {
  const r = await fetch(url, { signal: AbortSignal.timeout(60_000) });
  return { status: r.status, bytes: Buffer.from(await r.arrayBuffer()) };
}

// ---------------------------------------------------------------- the test
async function main() {
  const chromiumPath = findChromium();
  if (!chromiumPath) skip('no Chromium (install Debian\'s chromium package: /usr/bin/chromium)');
  const playwright = await loadPlaywright();
  if (!playwright) skip('playwright-core is not installed in tests/e2e (npm ci failed or no npm)');
  if (!fs.existsSync(path.join(binDir, 'kvParcelin.dll'))) {
    throw new Error(`no kvParcelin.dll in ${binDir}: build the x64 tree first`);
  }

  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kv-e2e-'));
  fs.mkdirSync(opts.artifacts, { recursive: true });
  fs.rmSync(path.join(opts.artifacts, 'server-log.txt'), { force: true });  // a failed run's
  log(`work folder ${work}`);
  let server = null;
  let context = null;
  let registered = false;
  let ownPrefix = false;
  const dll = path.join(binDir, 'kvParcelin.dll');

  // The watchdog: a hung browser or server ends the run, cleaned up, before
  // ctest's timeout.
  const cleanup = async () => {
    if (context) await Promise.race([context.close().catch(() => {}), sleep(15_000)]);
    context = null;
    if (server) await server.stop();
    if (registered) {
      runWine(['regsvr32', '/u', '/s', dll], path.join(work, 'unregister.log'), 60_000);
      registered = false;
    }
    if (ownPrefix) {
      // The prefix's own wineserver ends with it.
      spawnSync('wineserver', ['-k'], { env: wineEnv, stdio: 'ignore', timeout: 30_000 });
      ownPrefix = false;
    }
  };
  const watchdog = setTimeout(async () => {
    console.log('FAIL: the test did not finish within 270 s');
    if (server) fs.writeFileSync(path.join(opts.artifacts, 'server-log.txt'), server.log());
    await cleanup();
    process.exit(1);
  }, 270_000);
  for (const sig of ['SIGINT', 'SIGTERM']) {
    process.on(sig, async () => {
      await cleanup();
      process.exit(1);
    });
  }

  try {
    // The site: a copy without an uploads folder, as a fresh checkout has
    // none; receive.asp creates it.
    const site = path.join(work, 'site');
    const sourceUploads = path.join(opts.site, 'uploads');
    fs.cpSync(opts.site, site, { recursive: true, filter: (src) => src !== sourceUploads });
    const uploads = path.join(site, 'uploads');
    const files = makeFiles(path.join(work, 'files'));

    if (opts.ownPrefix) {
      wineEnv.WINEPREFIX = path.join(work, 'wineprefix');
      log(`creating the Wine prefix ${wineEnv.WINEPREFIX}`);
      ownPrefix = true;
      const boot = runWine(['cmd', '/c', 'exit'], path.join(work, 'wineboot.log'), 180_000);
      if (boot.status !== 0) throw new Error(`Wine does not start in a new prefix: ${boot.output}`);
    }
    // The prefix: the server program runs as Windows NT 4.0 (its road to the
    // object context), and the DLL is registered for Server.CreateObject.
    const srv = findServer(work);
    if (!srv) throw new Error(`no server program in ${binDir} (kvhost.exe serve or kvservecli.exe)`);
    log(`server: ${path.basename(srv.exe)} ${srv.args.join(' ')}`);
    const exeName = path.basename(srv.exe);
    const reg = runWine(['reg', 'add', `HKCU\\Software\\Wine\\AppDefaults\\${exeName}`, '/v', 'Version',
                         '/t', 'REG_SZ', '/d', 'nt40', '/f'], path.join(work, 'appdefaults.log'));
    if (reg.status !== 0) throw new Error(`cannot set the NT 4.0 version for ${exeName}: ${reg.output}`);
    const r = runWine(['regsvr32', '/s', dll], path.join(work, 'register.log'));
    if (r.status !== 0) throw new Error(`regsvr32 ${dll} failed (${r.status}): ${r.output}`);
    registered = true;
    if (!progIdRegistered(work)) throw new Error('regsvr32 succeeded but kvParcelin.process is not registered');

    server = new Server(srv, site, work);
    const base = await server.url();
    log(`serving at ${base}`);

    const userDataDir = path.join(work, 'chromium-profile');
    fs.mkdirSync(userDataDir);
    context = await playwright.chromium.launchPersistentContext(userDataDir, {
      executablePath: chromiumPath,
      headless: true,
      timeout: 90_000,
      viewport: { width: 1280, height: 900 },
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--no-proxy-server', '--disable-dev-shm-usage'],
    });
    context.setDefaultTimeout(60_000);
    const page = context.pages()[0] || await context.newPage();
    // Script on or off for this page (the emulation of playwright's
    // javaScriptEnabled, for one page rather than the whole context).
    const cdp = await context.newCDPSession(page);
    const pageScript = (on) => cdp.send('Emulation.setScriptExecutionDisabled', { value: !on });

    // ---- 0. the listing before any upload: no folder yet
    const before = await page.goto(new URL('/list.asp', base).href, { timeout: 60_000 });
    checkEqual(before && before.status(), 200, 'list.asp before any upload: HTTP 200');
    check(/does not exist/.test(await page.locator('#problem').textContent({ timeout: 10_000 }).catch(() => '')),
          'list.asp before any upload: says that nothing was uploaded yet');

    // ---- 1. the upload page, script off: the plain form posts to receive.asp
    await pageScript(false);
    const home = await page.goto(base, { timeout: 60_000 });
    checkEqual(home && home.status(), 200, 'the upload page: HTTP 200');
    checkEqual(await page.locator('form#upload').getAttribute('enctype'), 'multipart/form-data',
               'the upload form is multipart');
    check(await page.locator('#docs').evaluate((e) => e.multiple), 'the documents input takes several files');

    const title = 'Grüße € aus Köln <b>not bold</b> & "quoted"';
    const notes = 'first line\nsecond line with <i>tags</i> & entities\n\nfourth line after an empty one';
    await page.setInputFiles('#file1', files[0].path);
    await page.setInputFiles('#file2', files[1].path);
    const docs = files.slice(2);  // from the Japanese name on
    await page.setInputFiles('#docs', docs.map((f) => f.path));
    // #extra stays empty.
    await page.fill('#title', title);
    await page.fill('#notes', notes);
    // A field whose name is not ASCII either, after all the form's own.
    const unicodeField = ['Grüße €', '日本語 € 5'];
    await page.evaluate(([name, value]) => {
      const input = document.createElement('input');
      input.type = 'hidden';
      input.name = name;
      input.value = value;
      document.querySelector('form#upload').appendChild(input);
    }, unicodeField);
    await page.check('#colour-red');
    await page.check('#colour-blue');
    await page.fill('#tag1', 'alpha');
    await page.fill('#tag2', 'beta');
    await page.screenshot({ path: path.join(opts.artifacts, 'form.png'), fullPage: true });
    const posted = await submit(page, '#send', 'the upload');
    checkEqual(new URL(page.url()).pathname, '/receive.asp', 'the form posts to receive.asp');
    if (!posted || posted.status() !== 200) {
      // Nothing below can pass: say why and stop.
      const text = await page.evaluate(() => document.body.innerText).catch(() => '');
      const why = progIdRegistered(work) ? ''
        : '\n(kvParcelin.process is no longer registered in the prefix: another process ' +
          'unregistered it during this run?)';
      await page.screenshot({ path: path.join(opts.artifacts, 'result.png'), fullPage: true });
      throw new Error(`receive.asp answered ${posted && posted.status()}:\n${text.slice(0, 1500)}${why}`);
    }

    checkEqual(posted.headers()['content-type'], 'text/html; charset=utf-8',
               'receive.asp is sent as UTF-8 (Response.CharSet)');

    // ---- 2. the result page
    const res = await readResult(page);
    await page.screenshot({ path: path.join(opts.artifacts, 'result.png'), fullPage: true });
    noScriptError(res.body, 'receive.asp');
    checkEqual(res.status, '0', 'Status');
    checkEqual(res.fileqty, String(files.length), 'FileQty: every chosen file, none for the empty input');
    const sizes = files.reduce((n, f) => n + f.bytes.length, 0);
    check(Number(res.totalbytes) > sizes && Number(res.totalbytes) < sizes + 8192,
          'TotalBytes is the whole body: the files plus a little', `TotalBytes ${res.totalbytes}, files ${sizes}`);
    checkEqual(res.files.length, files.length, 'one row per file');
    files.forEach((f, i) => {
      const row = res.files[i] || {};
      checkEqual(row.localname, f.name, `file ${i}: LocalName`);
      checkEqual(row.filename, f.name, `file ${i}: FileName`);
      checkEqual(row.size, String(f.bytes.length), `file ${i} (${f.name}): FileSize`);
      if (f.type) checkEqual(row.contenttype, f.type, `file ${i}: ContentType`);
      if (f.safe) {
        checkEqual(row.newname, f.safe, `file ${i}: saved under the page's name (NewName)`);
        // The link: the name percent-encoded as UTF-8, a blank as %20.
        checkEqual(row.href, `/uploads/${encodeURIComponent(f.safe)}`, `file ${i}: the link`);
        check(/\bsaved\b/.test(row.cls), `file ${i}: marked saved`, row.cls);
      } else {
        checkEqual(row.newname, 'refused', `file ${i} (${f.name}): refused`);
        checkEqual(row.href, null, `file ${i}: no link`);
      }
    });

    // The form fields: every file input that sent a file keeps its own
    // variable; the empty file input is an empty field; repeated fields are
    // joined with ", "; names in the order they first came.
    const expectFields = [
      ['file1', files[0].name, '0'], ['file2', files[1].name, '1'],
      ...docs.map(() => ['docs', files[2].name, '2']),
      ['extra', '', '-1'], ['title', title, '-1'], ['notes', notes, '-1'],
      ['colour', 'red, blue', '-1'], ['tag', 'alpha, beta', '-1'], [...unicodeField, '-1'],
    ];
    checkEqual(res.varcount, String(expectFields.length), 'VarCount');
    checkEqual(res.fields.map((f) => f.name).join(' '), expectFields.map((f) => f[0]).join(' '),
               'VarName, in order');
    expectFields.forEach(([name, value, tagindex], i) => {
      const row = res.fields[i] || {};
      checkEqual(row.value, value, `field ${i} (${name}): VarByIndex`);
      checkEqual(row.tagindex, tagindex, `field ${i} (${name}): TagNameIndex`);
      checkEqual(row.valueElements, 0, `field ${i} (${name}): its value is HTML-encoded (no markup)`);
    });
    const notesRow = res.fields.find((f) => f.name === 'notes');
    check(notesRow && (notesRow.valueHtml.match(/<br>/g) || []).length === 3,
          'the multi-line value is shown with <br>', notesRow && notesRow.valueHtml);
    const titleRow = res.fields.find((f) => f.name === 'title');
    check(titleRow && titleRow.valueHtml.includes('&lt;b&gt;not bold&lt;/b&gt; &amp;'),
          'the title is HTML-encoded', titleRow && titleRow.valueHtml);

    // The saved files, byte for byte, on disk and through the server.
    check(fs.existsSync(uploads), 'receive.asp created the uploads folder');
    const expectOnDisk = files.filter((f) => f.safe).map((f) => f.safe);
    checkEqual(fs.readdirSync(uploads).sort().join(' | '), [...expectOnDisk].sort().join(' | '),
               'the uploads folder holds exactly the saved files (nothing for the empty input or the refused one)');
    files.forEach((f, i) => { f.href = (res.files[i] || {}).href; });
    for (const f of files.filter((x) => x.safe)) {
      const p = path.join(uploads, f.safe);
      if (!check(fs.existsSync(p), `${f.safe} is on disk`)) continue;
      checkEqual(sha256(fs.readFileSync(p)), f.sha, `${f.safe}: saved bytes (sha256) equal the original's`);
      // Through the link the page shows, as a browser would follow it.
      if (!check(typeof f.href === 'string', `${f.safe}: the page links to it`)) continue;
      const got = await fetchBytes(new URL(f.href, base).href);
      checkEqual(got.status, 200, `${f.safe}: served through ${f.href}`);
      checkEqual(sha256(got.bytes), f.sha, `${f.safe}: served bytes equal the original's`);
    }
    // The name in any script, exactly: the folder listing as Node reads it
    // (UTF-8 on the Unix side of Wine) holds the very name the client sent,
    // with the very bytes.
    const japanese = files[2];
    check(fs.readdirSync(uploads).includes(japanese.name),
          `the uploads folder holds a file named exactly ${japanese.name}`,
          JSON.stringify(fs.readdirSync(uploads)));
    const japanesePath = path.join(uploads, japanese.name);
    check(fs.existsSync(japanesePath) && fs.readFileSync(japanesePath).equals(japanese.bytes),
          `${japanese.name}: the bytes on disk are the bytes sent`);
    checkEqual(japanese.href, '/uploads/%E6%97%A5%E6%9C%AC%E8%AA%9E%20r%C3%A9sum%C3%A9.txt',
               `${japanese.name}: the link is its UTF-8 name percent-encoded`);
    if (japanese.href) {
      const served = await fetchBytes(new URL(japanese.href, base).href);
      check(served.status === 200 && served.bytes.equals(japanese.bytes),
            `${japanese.name}: its link serves the bytes sent`, `status ${served.status}`);
    }

    // ---- 3. the same big file again, script on: the page sends the form with
    // XMLHttpRequest, its bar follows the upload, and receive.asp's answer
    // takes the page's place without a navigation. Mode 2 numbers the new name.
    await pageScript(true);
    await page.goto(base, { timeout: 60_000 });
    await page.setInputFiles('#file1', files[0].path);
    await page.fill('#title', 'second round');
    // Every value the bar takes, as the page sets it.
    await page.evaluate(() => {
      window.kvBar = [];
      new MutationObserver((records) => {
        for (const r of records) if (r.target.id === 'progress') window.kvBar.push(r.target.value);
      }).observe(document, { subtree: true, attributes: true, attributeFilter: ['value'] });
    });
    const sent = Date.now();
    await page.click('#send');
    await page.waitForSelector('#files', { timeout: 180_000 });
    log(`the script's upload of ${files[0].bytes.length} bytes took ${Date.now() - sent} ms`);
    await page.screenshot({ path: path.join(opts.artifacts, 'result-script.png'), fullPage: true });
    checkEqual(new URL(page.url()).pathname, '/', 'second upload: no navigation, the page shows the answer');
    const bar = await page.evaluate(() => window.kvBar);
    log(`the bar took ${bar ? bar.length : 0} values: ${JSON.stringify(bar)}`);
    check(Array.isArray(bar) && bar.at(-1) === 100 && bar.some((v) => v > 0 && v < 100) &&
          bar.every((v, i) => i === 0 || v >= bar[i - 1]),
          'second upload: the progress bar rose through the upload to 100 %');
    checkEqual(await page.title(), 'Upload received - kvParcelin demo', 'second upload: the answer\'s title');
    const again = await readResult(page);
    noScriptError(again.body, 'receive.asp (second upload)');
    checkEqual(again.fileqty, '1', 'second upload: FileQty');
    checkEqual(again.files[0] && again.files[0].newname, 'random-data~1.bin',
               'second upload: the taken name is numbered (NewName)');
    const numbered = path.join(uploads, 'random-data~1.bin');
    check(fs.existsSync(numbered) && sha256(fs.readFileSync(numbered)) === files[0].sha,
          'second upload: random-data~1.bin holds the original bytes');
    const firstCopy = path.join(uploads, 'random-data.bin');
    check(fs.existsSync(firstCopy) && sha256(fs.readFileSync(firstCopy)) === files[0].sha,
          'second upload: the first copy is untouched');
    const extraRow = again.fields.find((f) => f.name === 'extra');
    check(extraRow && extraRow.value === '' && extraRow.tagindex === '-1',
          'second upload: the empty inputs delivered no file');

    // ---- 4. the listing
    const list = await page.goto(new URL('/list.asp', base).href, { timeout: 60_000 });
    checkEqual(list && list.status(), 200, 'list.asp: HTTP 200');
    const listed = await page.evaluate(() => [...document.querySelectorAll('#list tbody tr')].map((tr) => ({
      name: tr.querySelector('.name').textContent,
      href: tr.querySelector('.name a').getAttribute('href'),
      size: tr.querySelector('.size').textContent,
    })));
    noScriptError(await page.evaluate(() => document.body.innerText), 'list.asp');
    const expectList = [...expectOnDisk, 'random-data~1.bin']
      .map((name) => ({ name, size: String(fs.statSync(path.join(uploads, name)).size) }))
      .sort((a, b) => (a.name.toLowerCase() < b.name.toLowerCase() ? -1 : 1));
    checkEqual(JSON.stringify(listed.map((e) => ({ name: e.name, size: e.size }))), JSON.stringify(expectList),
               'list.asp lists every saved file with its size, by name');
    check(listed.every((e) => e.href === `/uploads/${encodeURIComponent(e.name)}`),
          'list.asp links to /uploads/<name, percent-encoded>',
          JSON.stringify(listed.map((e) => e.href)));
    await page.screenshot({ path: path.join(opts.artifacts, 'list.png'), fullPage: true });

    // ---- 5. every member of the object
    const plain = await page.goto(new URL('/members.asp', base).href, { timeout: 60_000 });
    checkEqual(plain && plain.status(), 200, 'members.asp without an upload: HTTP 200');
    const plainRows = await page.evaluate(() => [...document.querySelectorAll('tr[data-member]')]
      .map((tr) => [tr.dataset.member, tr.querySelector('.result').textContent]));
    const fileMembers = ['LocalName', 'FileName', 'Extension', 'NameOnly', 'ContentType', 'FileSize',
                         'FileData', 'NewName', 'FileSave'];
    for (const m of fileMembers) {
      const got = plainRows.find(([name]) => name === m);
      checkEqual(got && got[1], 'error &H8000FFFF: Index out of range or no file uploaded.',
                 `members.asp without an upload: ${m} raises its error`);
    }
    checkEqual((plainRows.find(([name]) => name === 'TotalBytes') || [])[1], '0 Long',
               'members.asp without an upload: TotalBytes');
    await page.setInputFiles('#sample', files[4].path);
    await page.fill('#note', 'a note');
    await page.check('#pick-one');
    await page.check('#pick-two');
    await submit(page, '#send', 'the members form');
    await page.screenshot({ path: path.join(opts.artifacts, 'members.png'), fullPage: true });
    const rows = await page.evaluate(() => [...document.querySelectorAll('tr[data-member]')].map((tr) => ({
      member: tr.dataset.member,
      call: tr.querySelector('code').textContent,
      result: tr.querySelector('.result').textContent,
      error: !!tr.querySelector('.result .err'),
      count: tr.querySelector('.result .val')?.dataset.count ?? null,
    })));
    noScriptError(await page.evaluate(() => document.body.innerText), 'members.asp');
    const allMembers = ['MaxKB', 'Status', 'FileQty', 'FileSave', 'FileName', 'LocalName', 'Extension',
      'ContentType', 'VarCount', 'Value', 'VarByIndex', 'VarName', 'FileData', 'FileSize', 'Read',
      'DumpHeader', 'Version', 'FileExists', 'CurrentDir', 'ParentDir', 'AppendToFile', 'Copy', 'Delete',
      'Rename', 'NameOnly', 'OverwriteMode', 'NewName', 'TotalBytes', 'TagNameIndex', 'OverwriteChr',
      'CodePage'];
    const shown = new Set(rows.map((r) => r.member));
    checkEqual(allMembers.filter((m) => !shown.has(m)).join(', '), '', 'members.asp uses all 31 members');
    const one = (member, callPart) => rows.find((r) => r.member === member && r.call.includes(callPart));
    const result = (member, callPart) => (one(member, callPart) || {}).result;
    checkEqual(result('Version', 'up.Version'), '"kvParcelin 1.3F by Kelvarion, June 2005." String', 'members: Version');
    checkEqual(result('FileQty', 'up.FileQty'), '1 Long', 'members: FileQty');
    checkEqual(result('Status', 'up.Status'), '0 Long', 'members: Status');
    checkEqual(result('CodePage', 'new object'), '0 Long', 'members: CodePage starts at 0');
    check(/^error &H8000FFFF: Invalid code page 12345/.test(result('CodePage', '= 12345') || ''),
          'members: CodePage = 12345 is refused', result('CodePage', '= 12345'));
    checkEqual(result('CodePage', 'after the refusal'), '0 Long', 'members: a refused CodePage keeps 0');
    checkEqual(result('CodePage', '65001 : up.CodePage'), '65001 Long', 'members: CodePage = 65001');
    checkEqual(result('OverwriteMode', 'new object'), '0 Long', 'members: OverwriteMode starts at 0');
    checkEqual(result('OverwriteMode', '= 7'), '0 Long', 'members: OverwriteMode = 7 reads 0');
    checkEqual(result('OverwriteMode', '= 2'), '2 Long', 'members: OverwriteMode = 2 reads 2');
    checkEqual(result('OverwriteChr', 'new object'), '"~" String', 'members: OverwriteChr starts as ~');
    checkEqual(result('OverwriteChr', '"_v"'), '"_v" String', 'members: OverwriteChr put and get');
    checkEqual(result('Read', 'up.Read'), '"before 1/4, after 1/4" String', 'members: Read changes nothing');
    checkEqual(result('FileName', 'FileName(0)'), `"${files[4].name}" String`, 'members: FileName');
    checkEqual(result('Extension', 'Extension(0)'), '"txt" String', 'members: Extension');
    checkEqual(result('NameOnly', 'NameOnly(0)'), '"plain notes" String', 'members: NameOnly');
    checkEqual(result('FileSize', 'FileSize(0)'), `${files[4].bytes.length} Long`, 'members: FileSize');
    checkEqual((one('FileData', 'FileData(0)') || {}).count, String(files[4].bytes.length),
               'members: FileData byte count');
    check(/VarType 8209/.test(result('FileData', 'FileData(0)') || ''), 'members: FileData is a byte array');
    checkEqual(result('NewName', 'before any save'), '"" String', 'members: NewName before a save');
    check(/^"members-[0-9-]+-file0_v1\.dat" String$/.test(result('NewName', 'numbered') || ''),
          'members: the second mode-2 save takes the OverwriteChr-numbered name', result('NewName', 'numbered'));
    checkEqual(result('Value', 'Value("pick")'), '"one, two" String', 'members: Value of a repeated field');
    checkEqual(result('Value', 'no-such-field'), '"" String', 'members: Value of an unknown name');
    checkEqual(result('TagNameIndex', 'TagNameIndex("sample")'), '0 Long', 'members: TagNameIndex of the file input');
    checkEqual(result('TagNameIndex', 'TagNameIndex("second")'), '-1 Long',
               'members: TagNameIndex of the empty file input');
    checkEqual(result('VarName', 'one past the last'), 'error &H8000FFFF: Index out of range.',
               'members: VarName past the end raises its error');
    const dump = /wrote (\d+) bytes \(TotalBytes (\d+)\)/.exec(result('DumpHeader', 'DumpHeader') || '');
    check(dump && dump[1] === dump[2] && Number(dump[1]) > 0, 'members: DumpHeader writes the whole body',
          result('DumpHeader', 'DumpHeader'));
    checkEqual(result('AppendToFile', 'the file now'), '"first line\nsecond line\n" String',
               'members: AppendToFile appends lines');
    checkEqual(result('FileExists', '-copy.txt")'), 'True Boolean', 'members: Copy made the copy');
    checkEqual(result('FileExists', 'after the rename'), 'False Boolean', 'members: Rename moved it away');
    checkEqual(result('FileExists', '-moved.txt")'), 'True Boolean', 'members: Rename moved it here');
    checkEqual(result('FileExists', 'after Delete'), 'False Boolean', 'members: Delete removed the files');
    checkEqual(result('FileExists', '(a folder)'), 'False Boolean', 'members: FileExists of a folder');
    check(/^"[A-Z]:\\.*\\" String$/.test(result('CurrentDir', 'up.CurrentDir') || ''),
          'members: CurrentDir is a folder ending in \\', result('CurrentDir', 'up.CurrentDir'));
    const unexpectedErrors = rows.filter((r) => r.error &&
      !/one past the last|VarByIndex\(-1\)|no such code page/.test(r.call));
    checkEqual(unexpectedErrors.map((r) => `${r.member}: ${r.call}: ${r.result}`).join('\n'), '',
               'members: no member failed except the out-of-range calls and the refused code page');
    checkEqual(fs.readdirSync(uploads).filter((n) => n.startsWith('members-')).join(' '), '',
               'members: the temporary files are gone');
  } finally {
    if (failures && server) fs.writeFileSync(path.join(opts.artifacts, 'server-log.txt'), server.log());
    await cleanup();
    clearTimeout(watchdog);
    if (!opts.keep) fs.rmSync(work, { recursive: true, force: true });
  }
}

let aborted = 0;
try {
  await main();
} catch (e) {
  aborted = 1;
  console.log(`FAIL: ${e && e.stack ? e.stack : e}`);
}
console.log(`${checks - failures} passed, ${failures + aborted} failed`);
console.log(`screenshots in ${opts.artifacts}`);
process.exit(failures || aborted ? 1 : 0);
