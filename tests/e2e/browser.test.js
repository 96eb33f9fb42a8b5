// Drives Chromium against the headless server: the listing, thumbnails,
// folder links, downloads, search, upload, the uploads switch and hostile
// names. Usage: node browser.test.js <mirelo-share> <artifact folder>
'use strict';

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch (e) {
  console.error('playwright-core is missing: run scripts/install-deps.sh test');
  process.exit(1);
}

const exe = process.argv[2];
const artifacts = process.argv[3];
const systemFolder = path.join(path.dirname(exe), 'system');
const STEP_TIMEOUT = 30000;

// The environment of the server and of Chromium: HOME and the XDG folders
// point into the test's temporary folder, so nothing is written to (or read
// from) the real user's settings.
function privateEnv(tmp) {
  // Nothing may leave this machine: the program looks for no router.
  const env = { ...process.env, MIRELO_LOOPBACK_ONLY: '1' };
  for (const [name, sub] of [['HOME', 'home'], ['XDG_CONFIG_HOME', 'config'],
                             ['XDG_DATA_HOME', 'data'], ['XDG_CACHE_HOME', 'cache'],
                             ['XDG_RUNTIME_DIR', 'run']]) {
    env[name] = path.join(tmp, sub);
    fs.mkdirSync(env[name], { recursive: true, mode: 0o700 });
  }
  return env;
}

// Starts the headless server on a free port; resolves with its address.
function startServer(shared, work, uploads, env) {
  // --internal: the address is the local one, no outside service is asked;
  // --no-port-mapping: no router is asked to forward the port.
  const args = ['--headless', '--folder', shared, '--port', '0', '--workdir', work,
                '--uploads', uploads ? 'on' : 'off', '--internal', '--no-port-mapping',
                '--user', 'mirelo-e2e'];
  const child = spawn(exe, args, { stdio: ['ignore', 'pipe', 'pipe'], env });
  let output = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('server did not start:\n' + output)),
                             STEP_TIMEOUT);
    const onData = (chunk) => {
      output += chunk.toString();
      const m = output.match(/http:\/\/127\.0\.0\.1:(\d+)\//);
      if (m) {
        clearTimeout(timer);
        resolve({ child, base: `http://127.0.0.1:${m[1]}/`, log: () => output });
      }
    };
    child.stdout.on('data', onData);
    child.stderr.on('data', onData);
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`server ended with ${code}:\n${output}`));
    });
  });
}

// Stops the server with SIGTERM; resolves with its exit code (0 when it
// saved everything and, under the sanitizers, found nothing to report).
function stopServer(server) {
  return new Promise((resolve) => {
    if (server.child.exitCode !== null) return resolve(server.child.exitCode);
    server.child.removeAllListeners('exit');
    server.child.on('exit', (code, signal) => resolve(code === null ? signal : code));
    server.child.kill('SIGTERM');
    setTimeout(() => { if (server.child.exitCode === null) server.child.kill('SIGKILL'); }, 20000);
  });
}

// A 24-bit BMP of w x h pixels with a colour ramp.
function makeBmp(w, h) {
  const row = Math.ceil((w * 3) / 4) * 4;
  const buf = Buffer.alloc(54 + row * h);
  buf.write('BM', 0);
  buf.writeUInt32LE(buf.length, 2);
  buf.writeUInt32LE(54, 10);
  buf.writeUInt32LE(40, 14);
  buf.writeInt32LE(w, 18);
  buf.writeInt32LE(h, 22);
  buf.writeUInt16LE(1, 26);
  buf.writeUInt16LE(24, 28);
  buf.writeUInt32LE(row * h, 34);
  for (let y = 0; y < h; y++) {
    for (let x = 0; x < w; x++) {
      const o = 54 + y * row + x * 3;
      buf[o] = (x * 255) / w; buf[o + 1] = (y * 255) / h; buf[o + 2] = 180;
    }
  }
  return buf;
}

function sameBytes(a, b) {
  return a.length === b.length && crypto.createHash('sha256').update(a).digest('hex') ===
         crypto.createHash('sha256').update(b).digest('hex');
}

async function main() {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'mirelo-e2e-'));
  const shared = path.join(tmp, 'share');
  const work = path.join(tmp, 'work');
  fs.mkdirSync(shared);
  fs.mkdirSync(work);
  const env = privateEnv(tmp);

  // The fixture folder.
  const jpeg = fs.readFileSync(path.join(systemFolder, 'not found.jpg'));
  const gif = fs.readFileSync(path.join(systemFolder, 'mirelo folder.gif'));
  const report = crypto.randomBytes(300000);
  fs.mkdirSync(path.join(shared, 'Holiday Photos'));
  fs.mkdirSync(path.join(shared, "x'+alert(1)+'"));
  fs.mkdirSync(path.join(shared, 'a#b%c+d?'));
  fs.writeFileSync(path.join(shared, 'a#b%c+d?', 'inside.txt'), 'inside');
  fs.writeFileSync(path.join(shared, "x'+alert(1)+'", 'quoted.txt'), 'quoted');
  fs.writeFileSync(path.join(shared, 'Holiday Photos', 'beach.jpg'), jpeg);
  fs.writeFileSync(path.join(shared, 'Holiday Photos', 'notes.txt'), 'notes');
  fs.writeFileSync(path.join(shared, 'report 2024 & more.bin'), report);
  fs.writeFileSync(path.join(shared, 'sunset.jpg'), jpeg);
  fs.writeFileSync(path.join(shared, 'icon.gif'), gif);
  fs.writeFileSync(path.join(shared, 'ramp.bmp'), makeBmp(64, 48));
  fs.writeFileSync(path.join(shared, '<img src=x onerror=alert(1)>.jpg'), jpeg);

  // A fresh profile each run; nothing but 127.0.0.1 resolves.
  const context = await chromium.launchPersistentContext(path.join(tmp, 'profile'), {
    executablePath: '/usr/bin/chromium',
    env,
    headless: true,
    acceptDownloads: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1'],
  });
  let server = await startServer(shared, work, true, env);
  const failures = [];
  const check = async (name, fn) => {
    try {
      await fn();
      console.log(`ok - ${name}`);
    } catch (e) {
      failures.push(name);
      console.log(`not ok - ${name}\n  ${String(e.stack || e).split('\n').join('\n  ')}`);
    }
  };

  // Only the server on loopback is ever contacted (the advert script is not).
  await context.route('**/*', (route) => {
    const url = new URL(route.request().url());
    if (url.hostname === '127.0.0.1') return route.continue();
    return route.abort();
  });
  const page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(STEP_TIMEOUT);
  const dialogs = [];
  page.on('dialog', async (d) => { dialogs.push(d.message()); await d.accept(); });

  const fileNames = async () => page.$$eval('td.Odd a:nth-of-type(2), td.Even a:nth-of-type(2)',
                                            (as) => as.map((a) => a.textContent));
  const folderNames = async () => page.$$eval('td.FoldOdd a b, td.FoldEven a b',
                                              (bs) => bs.map((b) => b.textContent));

  await check('listing shows the rows in order and every thumbnail decodes', async () => {
    await page.goto(server.base, { waitUntil: 'load' });
    assert.deepEqual(await folderNames(), ['a#b%c+d?', 'Holiday Photos', "x'+alert(1)+'"]);
    assert.deepEqual(await fileNames(), ['<img src=x onerror=alert(1)>.jpg', 'icon.gif',
                                         'ramp.bmp', 'report 2024 & more.bin', 'sunset.jpg']);
    const images = await page.$$eval('img', (imgs) => imgs.map((i) => ({
      src: i.getAttribute('src'), complete: i.complete, width: i.naturalWidth })));
    const thumbs = images.filter((i) => i.src.startsWith('/TAMBNEIL/'));
    assert.equal(thumbs.length, 4);
    for (const i of images) assert.ok(i.complete && i.width > 0, `${i.src} did not decode`);
    fs.mkdirSync(artifacts, { recursive: true });
    await page.screenshot({ path: path.join(artifacts, 'listing.png'), fullPage: true });
  });

  await check('folder links and "< Back" navigate', async () => {
    await page.goto(server.base);
    await Promise.all([page.waitForNavigation(), page.click('a:has-text("Holiday Photos")')]);
    assert.match(page.url(), /\/Holiday\+Photos\/$/);
    assert.deepEqual(await fileNames(), ['beach.jpg', 'notes.txt']);
    await Promise.all([page.waitForNavigation(), page.click('a:has-text("< Back")')]);
    assert.equal(page.url(), server.base);
    await Promise.all([page.waitForNavigation(), page.click('a:has-text("a#b%c+d?")')]);
    assert.deepEqual(await fileNames(), ['inside.txt']);
  });

  await check('a file link downloads exactly the file under its name', async () => {
    await page.goto(server.base);
    const [download] = await Promise.all([
      page.waitForEvent('download'), page.click('a:has-text("report 2024 & more.bin")')]);
    assert.equal(download.suggestedFilename(), 'report 2024 & more.bin');
    assert.ok(sameBytes(fs.readFileSync(await download.path()), report));
  });

  await check('search finds files and its links download', async () => {
    await page.goto(server.base);
    await Promise.all([page.waitForNavigation(), page.click('input[value="Search"]')]);
    await page.fill('input[name="searchtext"]', 'BEACH');
    await Promise.all([page.waitForNavigation(), page.click('input[type="submit"]')]);
    const results = await page.$$eval('td.Even a, td.Odd a', (as) => as.map((a) => a.textContent));
    assert.deepEqual(results, ['/Holiday Photos/beach.jpg']);
    const [download] = await Promise.all([
      page.waitForEvent('download'), page.click('a:has-text("beach.jpg")')]);
    assert.equal(download.suggestedFilename(), 'beach.jpg');
    assert.ok(sameBytes(fs.readFileSync(await download.path()), jpeg));
  });

  await check('the upload form sends a file into the shared folder', async () => {
    await page.goto(server.base);
    await Promise.all([page.waitForNavigation(), page.click('input[value="Upload"]')]);
    const upload = crypto.randomBytes(150000);
    const local = path.join(tmp, 'to upload.bin');
    fs.writeFileSync(local, upload);
    await page.setInputFiles('input[type="file"]', local);
    dialogs.length = 0;
    await page.click('input[type="submit"]');
    await page.waitForFunction(() => document.getElementById('r').textContent === 'File uploaded.');
    assert.deepEqual(dialogs, ['ok']);
    const stored = path.join(shared, 'to upload.bin');
    assert.ok(fs.existsSync(stored), 'the file did not land in the shared folder');
    assert.ok(sameBytes(fs.readFileSync(stored), upload));
  });

  await check('a second upload of one name is kept beside the first', async () => {
    await page.goto(server.base);
    await Promise.all([page.waitForNavigation(), page.click('input[value="Upload"]')]);
    const first = fs.readFileSync(path.join(shared, 'to upload.bin'));
    const second = crypto.randomBytes(90000);
    const local = path.join(tmp, 'again', 'to upload.bin');
    fs.mkdirSync(path.dirname(local), { recursive: true });
    fs.writeFileSync(local, second);
    await page.setInputFiles('input[type="file"]', local);
    dialogs.length = 0;
    await page.click('input[type="submit"]');
    await page.waitForFunction(() => document.getElementById('r').textContent === 'File uploaded.');
    assert.ok(sameBytes(fs.readFileSync(path.join(shared, 'to upload.bin')), first));
    assert.ok(sameBytes(fs.readFileSync(path.join(shared, 'to upload (2).bin')), second));
  });

  await check('hostile names run no script', async () => {
    dialogs.length = 0;
    await page.goto(server.base, { waitUntil: 'load' });
    assert.ok((await fileNames()).includes('<img src=x onerror=alert(1)>.jpg'));
    await Promise.all([page.waitForNavigation(), page.click("a:has-text(\"x'+alert(1)+'\")")]);
    assert.deepEqual(await fileNames(), ['quoted.txt']);
    await Promise.all([page.waitForNavigation(), page.click('input[value="Search"]')]);
    assert.equal(await page.inputValue('input[name="path"]'), "x'+alert(1)+'/");
    await Promise.all([page.waitForNavigation(), page.click('input[value="Back"]')]);
    assert.deepEqual(await fileNames(), ['quoted.txt']);
    await Promise.all([page.waitForNavigation(), page.click('input[value="Upload"]')]);
    assert.equal(await page.inputValue('input[name="path"]'), "x'+alert(1)+'/");
    await page.goto(server.base + 'search?searchtext=%22%3E%3Cscript%3Ealert(2)%3C%2Fscript%3E&path=');
    assert.equal(await page.inputValue('input[name="searchtext"]'), '"><script>alert(2)</script>');
    await page.goto(server.base + "search?x'%2Balert(3)%2B'");
    await Promise.all([page.waitForNavigation(), page.click('input[value="Back"]')]);
    await page.waitForTimeout(200);
    assert.deepEqual(dialogs, []);
  });

  await check('the server ends cleanly on SIGTERM', async () => {
    assert.equal(await stopServer(server), 0, server.log());
  });
  server = await startServer(shared, work, false, env);
  await check('with uploads off there is no Upload button', async () => {
    await page.goto(server.base);
    assert.equal(await page.$$eval('input[value="Upload"]', (b) => b.length), 0);
    assert.equal(await page.$$eval('input[value="Search"]', (b) => b.length), 1);
    const response = await page.goto(server.base + 'CmdUploadFile?');
    assert.equal((await response.body()).length, 0);
  });

  await stopServer(server);
  await context.close();
  fs.rmSync(tmp, { recursive: true, force: true });
  if (failures.length) {
    console.log(`${failures.length} failed: ${failures.join('; ')}`);
    process.exit(1);
  }
  console.log('all browser checks passed');
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
