// Drives Chromium against a private share of the headless server (--private):
// without the key every address is the 403 page and nothing of the share;
// with ?key= the browser is sent on with a cookie and the share works; a
// wrong key is refused; a download tool may give the key as the password of
// HTTP Basic authentication; --new-key makes the old cookie useless.
// Usage: node private.test.js <mirelo-share> <artifact folder>
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
const PRIVATE_TEXT = 'This share is private';

// HOME and the XDG folders inside the test's temporary folder; the program
// asks no router and nothing beyond loopback.
function privateEnv(tmp) {
  const env = { ...process.env, MIRELO_LOOPBACK_ONLY: '1' };
  for (const [name, sub] of [['HOME', 'home'], ['XDG_CONFIG_HOME', 'config'],
                             ['XDG_DATA_HOME', 'data'], ['XDG_CACHE_HOME', 'cache'],
                             ['XDG_RUNTIME_DIR', 'run']]) {
    env[name] = path.join(tmp, sub);
    fs.mkdirSync(env[name], { recursive: true, mode: 0o700 });
  }
  return env;
}

// Starts a private share on a free port; resolves with its loopback address
// and the key of the web address it printed.
function startServer(shared, work, env, extra) {
  const args = ['--headless', '--folder', shared, '--port', '0', '--workdir', work,
                '--uploads', 'on', '--internal', '--no-port-mapping', '--user', 'mirelo-e2e',
                '--private', ...extra];
  const child = spawn(exe, args, { stdio: ['ignore', 'pipe', 'pipe'], env });
  let output = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('server did not start:\n' + output)),
                             STEP_TIMEOUT);
    const onData = (chunk) => {
      output += chunk.toString();
      const web = output.match(/Web address: http:\/\/\S+:\d+\/\?key=([A-Za-z0-9_-]+)\n/);
      const local = output.match(/On this computer: http:\/\/127\.0\.0\.1:(\d+)\//);
      if (web && local) {
        clearTimeout(timer);
        resolve({ child, base: `http://127.0.0.1:${local[1]}/`, key: web[1], log: () => output });
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

function stopServer(server) {
  return new Promise((resolve) => {
    if (server.child.exitCode !== null) return resolve(server.child.exitCode);
    server.child.removeAllListeners('exit');
    server.child.on('exit', (code, signal) => resolve(code === null ? signal : code));
    server.child.kill('SIGTERM');
    setTimeout(() => { if (server.child.exitCode === null) server.child.kill('SIGKILL'); }, 20000);
  });
}

const basic = (password) =>
  'Basic ' + Buffer.from('any name:' + password).toString('base64');

function sameBytes(a, b) {
  return a.length === b.length && crypto.createHash('sha256').update(a).digest('hex') ===
         crypto.createHash('sha256').update(b).digest('hex');
}

async function main() {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'mirelo-private-'));
  const shared = path.join(tmp, 'share');
  const work = path.join(tmp, 'work');
  fs.mkdirSync(path.join(shared, 'Trip'), { recursive: true });
  fs.mkdirSync(work);
  const env = privateEnv(tmp);
  fs.mkdirSync(artifacts, { recursive: true });
  const jpeg = fs.readFileSync(path.join(systemFolder, 'not found.jpg'));
  const secret = crypto.randomBytes(200000);
  fs.writeFileSync(path.join(shared, 'beach.jpg'), jpeg);
  fs.writeFileSync(path.join(shared, 'secret plans.bin'), secret);
  fs.writeFileSync(path.join(shared, 'Trip', 'route.txt'), 'north, then west');

  const context = await chromium.launchPersistentContext(path.join(tmp, 'profile'), {
    executablePath: '/usr/bin/chromium',
    env,
    headless: true,
    acceptDownloads: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1'],
  });
  await context.route('**/*', (route) => {
    const url = new URL(route.request().url());
    if (url.hostname === '127.0.0.1') return route.continue();
    return route.abort();
  });
  let server = await startServer(shared, work, env, []);
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
  const page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(STEP_TIMEOUT);
  const dialogs = [];
  page.on('dialog', async (d) => { dialogs.push(d.message()); await d.accept(); });
  const keyCookies = async () => (await context.cookies(server.base))
    .filter((c) => c.name === 'mirelo_key');

  // The share's own addresses, as a download tool with the key sees them.
  let addresses = {};
  await check('a download tool gets the listing with the key as its password', async () => {
    const listing = await fetch(server.base, { headers: { Authorization: basic(server.key) } });
    assert.equal(listing.status, 200);
    const html = await listing.text();
    const thumb = html.match(/src="(\/TAMBNEIL\/[^"]+)"/);
    const download = html.match(/href="(\/download\?secret[^"]+)"/);
    assert.ok(thumb && download, html);
    addresses = {
      listing: '', folder: 'Trip/', thumbnail: thumb[1].slice(1), download: download[1].slice(1),
      search: 'search?searchtext=plans&path=', uploadForm: 'CmdUploadFile?',
    };
    const file = await fetch(server.base + addresses.download,
                             { headers: { Authorization: basic(server.key) } });
    assert.equal(file.status, 200);
    assert.ok(sameBytes(Buffer.from(await file.arrayBuffer()), secret));
    // The key at the end of any address works as well.
    const withKey = await fetch(`${server.base}${addresses.download}&key=${server.key}`);
    assert.equal(withKey.status, 200);
    assert.ok(sameBytes(Buffer.from(await withKey.arrayBuffer()), secret));
    const wrong = await fetch(server.base + addresses.download,
                              { headers: { Authorization: basic(server.key.slice(1) + 'x') } });
    assert.equal(wrong.status, 403);
  });

  await check('without the key every address is the private page and nothing else', async () => {
    assert.deepEqual(await keyCookies(), []);
    for (const [name, address] of Object.entries(addresses)) {
      const response = await page.goto(server.base + address);
      assert.equal(response.status(), 403, name);
      const body = await response.body();
      assert.ok(body.toString().includes(PRIVATE_TEXT), name);
      assert.ok(!body.toString().includes('secret plans'), name);
      assert.ok(!sameBytes(body, secret) && !sameBytes(body, jpeg), name);
      assert.equal(await page.$$eval('img, input[type="file"], a[href*="download"]',
                                     (e) => e.length), 0, name);
    }
    await page.screenshot({ path: path.join(artifacts, 'private-refused.png') });
  });

  await check('a wrong key is refused and sets no cookie', async () => {
    const wrong = crypto.randomBytes(24).toString('base64url');
    const response = await page.goto(`${server.base}?key=${wrong}`);
    assert.equal(response.status(), 403);
    assert.ok((await page.textContent('body')).includes(PRIVATE_TEXT));
    assert.deepEqual(await keyCookies(), []);
  });

  await check('the address with the key leads on to the share with a cookie', async () => {
    const response = await page.goto(`${server.base}?key=${server.key}`);
    assert.equal(page.url(), server.base, 'the key left the address bar');
    assert.equal(response.status(), 200);
    assert.equal(response.request().redirectedFrom().url(), `${server.base}?key=${server.key}`);
    const [cookie] = await keyCookies();
    assert.ok(cookie, 'no cookie');
    assert.equal(cookie.value, server.key);
    assert.equal(cookie.httpOnly, true);
    assert.equal(cookie.sameSite, 'Lax');
    // The page's own script cannot read it.
    assert.equal(await page.evaluate(() => document.cookie.includes('mirelo_key')), false);
    const images = await page.$$eval('img', (imgs) => imgs.map((i) => ({
      src: i.getAttribute('src'), complete: i.complete, width: i.naturalWidth })));
    assert.ok(images.some((i) => i.src.startsWith('/TAMBNEIL/')));
    for (const i of images) assert.ok(i.complete && i.width > 0, `${i.src} did not decode`);
    await page.screenshot({ path: path.join(artifacts, 'private-listing.png'), fullPage: true });
  });

  await check('later navigation, download, search and upload work with the cookie', async () => {
    await Promise.all([page.waitForNavigation(), page.click('a:has-text("Trip")')]);
    assert.match(page.url(), /\/Trip\/$/);
    assert.ok((await page.textContent('body')).includes('route.txt'));
    await page.goto(server.base);
    const [download] = await Promise.all([
      page.waitForEvent('download'), page.click('a:has-text("secret plans.bin")')]);
    assert.ok(sameBytes(fs.readFileSync(await download.path()), secret));
    await Promise.all([page.waitForNavigation(), page.click('input[value="Search"]')]);
    await page.fill('input[name="searchtext"]', 'route');
    await Promise.all([page.waitForNavigation(), page.click('input[type="submit"]')]);
    assert.ok((await page.textContent('body')).includes('/Trip/route.txt'));
    await page.goto(server.base);
    await Promise.all([page.waitForNavigation(), page.click('input[value="Upload"]')]);
    const local = path.join(tmp, 'from a friend.bin');
    const upload = crypto.randomBytes(50000);
    fs.writeFileSync(local, upload);
    await page.setInputFiles('input[type="file"]', local);
    dialogs.length = 0;
    await page.click('input[type="submit"]');
    await page.waitForFunction(() => document.getElementById('r').textContent === 'File uploaded.');
    assert.ok(sameBytes(fs.readFileSync(path.join(shared, 'from a friend.bin')), upload));
  });

  await check('an upload without the key is refused and stores nothing', async () => {
    await page.goto(server.base + 'CmdUploadFile?');
    const local = path.join(tmp, 'intruder.bin');
    fs.writeFileSync(local, crypto.randomBytes(30000));
    await page.setInputFiles('input[type="file"]', local);
    await context.clearCookies();
    const [response] = await Promise.all([
      page.waitForResponse((r) => r.request().method() === 'POST'),
      page.click('input[type="submit"]')]);
    assert.equal(response.status(), 403);
    await page.waitForTimeout(200);
    assert.ok(!fs.existsSync(path.join(shared, 'intruder.bin')), 'the upload was stored');
  });

  await check('after --new-key the old link and cookie are refused', async () => {
    const oldKey = server.key;
    await page.goto(`${server.base}?key=${oldKey}`);
    assert.equal((await keyCookies()).length, 1);
    assert.equal(await stopServer(server), 0, server.log());
    server = await startServer(shared, work, env, ['--new-key']);
    assert.notEqual(server.key, oldKey);
    // Cookies are kept per host, not per port: the old one is sent along.
    let response = await page.goto(server.base);
    assert.equal(response.status(), 403);
    response = await page.goto(`${server.base}?key=${oldKey}`);
    assert.equal(response.status(), 403);
    response = await page.goto(`${server.base}?key=${server.key}`);
    assert.equal(response.status(), 200);
    assert.ok((await page.textContent('body')).includes('secret plans.bin'));
  });

  await check('the server ends cleanly on SIGTERM', async () => {
    assert.equal(await stopServer(server), 0, server.log());
  });

  await context.close();
  fs.rmSync(tmp, { recursive: true, force: true });
  if (failures.length) {
    console.log(`${failures.length} failed: ${failures.join('; ')}`);
    process.exit(1);
  }
  console.log('all private sharing checks passed');
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
