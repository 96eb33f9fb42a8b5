// Drives Chromium against the headless server's dot-named addresses: several
// files uploaded into a sub-folder by fetch on a kept connection, each
// answer read as JSON; the folder downloaded as a ZIP, unpacked and compared
// byte for byte; and a refused upload that says so.
// Usage: node folder-archive.test.js <mirelo-share> <artifact folder>
'use strict';

const assert = require('node:assert/strict');
const { spawn, execFileSync } = require('node:child_process');
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
const STEP_TIMEOUT = 30000;

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

function startServer(shared, work, uploads, env) {
  const args = ['--headless', '--folder', shared, '--port', '0', '--workdir', work,
                '--uploads', uploads ? 'on' : 'off', '--internal', '--no-port-mapping',
                '--bind', '127.0.0.1', '--user', 'mirelo-e2e'];
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

function stopServer(server) {
  return new Promise((resolve) => {
    if (server.child.exitCode !== null) return resolve(server.child.exitCode);
    server.child.removeAllListeners('exit');
    server.child.on('exit', (code, signal) => resolve(code === null ? signal : code));
    server.child.kill('SIGTERM');
    setTimeout(() => { if (server.child.exitCode === null) server.child.kill('SIGKILL'); }, 20000);
  });
}

// Every folder ("name/") and file (its bytes as hex) below dir.
function treeOf(dir, prefix = '') {
  const tree = {};
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const rel = prefix + entry.name;
    if (entry.isDirectory()) {
      tree[rel + '/'] = '';
      Object.assign(tree, treeOf(path.join(dir, entry.name), rel + '/'));
    } else {
      tree[rel] = fs.readFileSync(path.join(dir, entry.name)).toString('hex');
    }
  }
  return tree;
}

async function main() {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'mirelo-e2e-zip-'));
  const shared = path.join(tmp, 'share');
  const work = path.join(tmp, 'work');
  const album = path.join(shared, 'summer 2024');
  fs.mkdirSync(path.join(album, 'day 1'), { recursive: true });
  fs.mkdirSync(work);
  fs.writeFileSync(path.join(album, 'day 1', 'beach.bin'), crypto.randomBytes(200000));
  fs.writeFileSync(path.join(album, 'notes ü.txt'), 'sun & sea\n');
  fs.writeFileSync(path.join(album, '.private'), 'left out');
  const env = privateEnv(tmp);

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
  const page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(STEP_TIMEOUT);
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

  // Uploads from the page: two files at once, then the same two again (kept
  // connection, numbered names), then a hidden name that is refused.
  const upload = (files) => page.evaluate(async (list) => {
    const form = new FormData();
    for (const [name, text] of list) form.append('file', new Blob([text]), name);
    const r = await fetch('/.mirelo/upload/summer%202024/day%201/', { method: 'POST', body: form });
    return { status: r.status, json: await r.json() };
  }, files);

  await check('several files upload into a sub-folder and each answer says where', async () => {
    await page.goto(server.base);
    const first = await upload([['a.txt', 'first a'], ['b ü.txt', 'first b']]);
    assert.equal(first.status, 200);
    assert.deepEqual(first.json, { files: [{ name: 'a.txt', stored: 'a.txt' },
                                           { name: 'b ü.txt', stored: 'b ü.txt' }], stored: 2 });
    const again = await upload([['a.txt', 'second a'], ['b ü.txt', 'second b']]);
    assert.deepEqual(again.json.files.map((f) => f.stored), ['a (2).txt', 'b ü (2).txt']);
    assert.equal(fs.readFileSync(path.join(album, 'day 1', 'a.txt'), 'utf8'), 'first a');
    assert.equal(fs.readFileSync(path.join(album, 'day 1', 'a (2).txt'), 'utf8'), 'second a');
    const refused = await upload([['.htaccess', 'x']]);
    assert.equal(refused.status, 400);
    assert.equal(refused.json.files[0].refused, 'hidden names are not accepted');
    assert.ok(!fs.existsSync(path.join(album, 'day 1', '.htaccess')));
  });

  await check('the folder downloads as a ZIP that unpacks to its files', async () => {
    await page.goto(server.base);
    await page.evaluate(() => {
      const a = document.createElement('a');
      a.href = '/.mirelo/zip/summer%202024/';
      a.textContent = 'zip';
      a.id = 'zip';
      document.body.appendChild(a);
    });
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#zip')]);
    assert.equal(download.suggestedFilename(), 'summer 2024.zip');
    const archive = path.join(tmp, 'album.zip');
    await download.saveAs(archive);
    const out = path.join(tmp, 'unpacked');
    execFileSync('unzip', ['-qq', archive, '-d', out]);
    const expected = treeOf(album);
    delete expected['.private'];
    assert.deepEqual(treeOf(out), expected);
  });

  await stopServer(server);
  server = await startServer(shared, work, false, env);
  await check('with uploads off an upload is refused and says so', async () => {
    await page.goto(server.base);
    const r = await upload([['c.txt', 'c']]);
    assert.equal(r.status, 403);
    assert.equal(r.json.refused, 'uploads are not accepted');
    assert.ok(!fs.existsSync(path.join(album, 'day 1', 'c.txt')));
  });

  await stopServer(server);
  await context.close();
  fs.rmSync(tmp, { recursive: true, force: true });
  if (failures.length) {
    console.log(`${failures.length} failed: ${failures.join('; ')}`);
    process.exit(1);
  }
  console.log('all folder archive checks passed');
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
