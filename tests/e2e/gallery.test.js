// Drives Chromium against the headless server with the gallery pages: the
// grid, the path bar, the viewer (keys, swipe, buttons), a video seeking, the
// search, sorting and the list view, uploads, hostile names, the pages
// without script, and an accessibility check, on a desktop and on a phone,
// light and dark. Every request the pages make must go to the share itself.
// Usage: node gallery.test.js <mirelo-share> <artifact folder>
'use strict';

const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

let chromium;
let axeSource;
try {
  ({ chromium } = require('playwright-core'));
  axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
} catch (e) {
  console.error('playwright-core or axe-core is missing: run scripts/install-deps.sh test');
  process.exit(1);
}

const exe = process.argv[2];
const artifacts = process.argv[3];
const systemFolder = path.join(path.dirname(exe), 'system');
const STEP_TIMEOUT = 30000;
const DESKTOP = { width: 1280, height: 900 };
const PHONE = { width: 390, height: 844 };

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

function startServer(shared, work, env) {
  const args = ['--headless', '--folder', shared, '--port', '0', '--workdir', work,
                '--uploads', 'on', '--internal', '--no-port-mapping', '--user', 'mirelo-e2e',
                '--pages', 'gallery'];
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

// Six seconds of 8 kHz mono sound: a WAV that any Chromium plays and seeks.
function makeWav(seconds) {
  const rate = 8000;
  const n = rate * seconds;
  const buf = Buffer.alloc(44 + n * 2);
  buf.write('RIFF', 0); buf.writeUInt32LE(36 + n * 2, 4); buf.write('WAVE', 8);
  buf.write('fmt ', 12); buf.writeUInt32LE(16, 16); buf.writeUInt16LE(1, 20);
  buf.writeUInt16LE(1, 22); buf.writeUInt32LE(rate, 24); buf.writeUInt32LE(rate * 2, 28);
  buf.writeUInt16LE(2, 32); buf.writeUInt16LE(16, 34);
  buf.write('data', 36); buf.writeUInt32LE(n * 2, 40);
  for (let i = 0; i < n; i++) buf.writeInt16LE(Math.round(3000 * Math.sin(i / 5)), 44 + i * 2);
  return buf;
}

// A small video made by ffmpeg (VP8 in WebM, with cues so it seeks); null
// without ffmpeg.
function makeVideo(file) {
  const r = spawnSync('ffmpeg', ['-loglevel', 'error', '-f', 'lavfi', '-i',
                                 'testsrc=size=160x120:rate=10', '-t', '6', '-c:v', 'libvpx',
                                 '-b:v', '200k', '-g', '10', '-y', file]);
  return r.status === 0 && fs.existsSync(file) ? file : null;
}

async function main() {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'mirelo-gallery-'));
  const shared = path.join(tmp, 'share');
  const work = path.join(tmp, 'work');
  fs.mkdirSync(shared);
  fs.mkdirSync(work);
  fs.mkdirSync(artifacts, { recursive: true });
  const env = privateEnv(tmp);

  const jpeg = fs.readFileSync(path.join(systemFolder, 'not found.jpg'));
  const gif = fs.readFileSync(path.join(systemFolder, 'mirelo folder.gif'));
  const photos = path.join(shared, 'Holiday Photos');
  fs.mkdirSync(photos);
  fs.mkdirSync(path.join(photos, 'Day 2'));
  fs.writeFileSync(path.join(photos, 'beach.jpg'), jpeg);
  fs.writeFileSync(path.join(photos, 'lake.bmp'), makeBmp(320, 240));
  fs.writeFileSync(path.join(photos, 'ramp.bmp'), makeBmp(64, 48));
  fs.writeFileSync(path.join(photos, 'notes.txt'), 'notes');
  fs.mkdirSync(path.join(shared, "x'+alert(1)+'"));
  fs.writeFileSync(path.join(shared, "x'+alert(1)+'", 'quoted.txt'), 'quoted');
  fs.writeFileSync(path.join(shared, '<img src=x onerror=alert(1)>.jpg'), jpeg);
  fs.writeFileSync(path.join(shared, 'icon.gif'), gif);
  fs.writeFileSync(path.join(shared, 'page.html'), '<script>alert(5)</script>');
  fs.writeFileSync(path.join(shared, 'report.bin'), crypto.randomBytes(300000));
  fs.writeFileSync(path.join(shared, 'tone.wav'), makeWav(6));
  const video = makeVideo(path.join(shared, 'clip.webm'));
  if (!video) console.log('# ffmpeg is missing: the seeking check uses the sound file');

  const server = await startServer(shared, work, env);
  const origin = new URL(server.base).origin;
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    env,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--autoplay-policy=no-user-gesture-required',
           '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1'],
  });
  const failures = [];
  const check = async (name, fn) => {
    const started = Date.now();
    try {
      await fn();
      console.log(`ok - ${name} (${Date.now() - started} ms)`);
    } catch (e) {
      failures.push(name);
      console.log(`not ok - ${name}\n  ${String(e.stack || e).split('\n').join('\n  ')}`);
    }
  };

  // Every request of every page, and every dialog a script opened.
  const requests = [];
  const dialogs = [];
  const errors = [];
  const open = async (options) => {
    const context = await browser.newContext({ acceptDownloads: true, ...options });
    await context.route('**/*', (route) => {
      requests.push(route.request().url());
      if (new URL(route.request().url()).origin === origin) return route.continue();
      return route.abort();
    });
    const page = await context.newPage();
    page.setDefaultTimeout(STEP_TIMEOUT);
    page.on('dialog', async (d) => { dialogs.push(d.message()); await d.dismiss(); });
    page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
    return { context, page };
  };
  const names = (page) => page.$$eval('#entries b', (ns) => ns.map((n) => n.textContent));
  const crumbs = (page) => page.$$eval('.crumbs a', (as) => as.map((a) => a.textContent));
  const viewerName = (page) => page.textContent('.viewer .vname');
  const shownPicture = (page, name) => page.waitForFunction((n) => {
    const img = document.querySelector('.viewer .stage img');
    return img && img.alt === n && img.complete && img.naturalWidth > 0;
  }, name);
  // Axe over the page as it is: no serious or critical finding.
  const axe = async (page, what) => {
    await page.evaluate(axeSource);
    const result = await page.evaluate(() => window.axe.run(document, {
      resultTypes: ['violations'] }));
    const bad = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
    assert.deepEqual(bad.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`), [],
                     `axe findings on ${what}`);
  };

  // Dark first: the light pass uploads files into the share.
  for (const scheme of ['dark', 'light']) {
    const { context, page } = await open({ viewport: DESKTOP, colorScheme: scheme,
                                           bypassCSP: false });
    await check(`desktop ${scheme}: the grid shows folders first, then files, with thumbnails`,
                async () => {
      await page.goto(server.base, { waitUntil: 'load' });
      assert.equal(await page.title(), 'Mirelo File Share');
      assert.deepEqual(await names(page), [
        'Holiday Photos', "x'+alert(1)+'", '<img src=x onerror=alert(1)>.jpg',
        ...(video ? ['clip.webm'] : []), 'icon.gif', 'page.html', 'report.bin', 'tone.wav']);
      await page.waitForFunction(() => Array.from(document.querySelectorAll('#entries img'))
        .every((i) => i.complete && i.naturalWidth > 0));
      const thumbs = await page.$$eval('#entries img', (is) => is.map((i) => i.getAttribute('src')));
      assert.equal(thumbs.length, 2);
      for (const t of thumbs) assert.match(t, /^\/TAMBNEIL\/\d+\.JPG$/);
      const background = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
      assert.equal(background, scheme === 'dark' ? 'rgb(18, 19, 22)' : 'rgb(255, 255, 255)');
      assert.equal(await page.getAttribute('a.zip', 'href'), '/.mirelo/zip/');
      await page.screenshot({ path: path.join(artifacts, `gallery-desktop-${scheme}.png`) });
      await axe(page, `the listing (${scheme})`);
    });

    if (scheme === 'dark') {
      await check('desktop dark: the viewer and the not-found page pass the accessibility check',
                  async () => {
        await page.goto(server.base + 'Holiday+Photos/');
        await page.click('a:has-text("beach.jpg")');
        await shownPicture(page, 'beach.jpg');
        await axe(page, 'the viewer');
        const response = await page.goto(server.base + 'no/such/folder/');
        assert.equal(response.status(), 404);
        assert.equal(await page.textContent('h1'), 'Not found');
        await axe(page, 'the not-found page');
      });
      await check('desktop dark: a thumbnail the browser already has is answered with 304',
                  async () => {
        await page.goto(server.base);
        const src = await page.getAttribute('#entries img', 'src');
        const [first, since, again] = await page.evaluate(async (u) => {
          const a = await fetch(u, { cache: 'no-store' });
          const lm = a.headers.get('Last-Modified');
          const b = await fetch(u, { cache: 'no-store', headers: { 'If-Modified-Since': lm } });
          return [a.status, lm, b.status];
        }, src);
        assert.equal(first, 200);
        assert.match(since || '', /^\w{3}, \d{2} \w{3} \d{4} \d{2}:\d{2}:\d{2} GMT$/);
        assert.equal(again, 304);
      });
      await context.close();
      continue;
    }

    await check('desktop: the path bar names the folder and each part is a link', async () => {
      await page.goto(server.base);
      await Promise.all([page.waitForNavigation(), page.click('#entries a:has-text("Holiday Photos")')]);
      assert.equal(page.url(), server.base + 'Holiday+Photos/');
      await Promise.all([page.waitForNavigation(), page.click('#entries a:has-text("Day 2")')]);
      assert.deepEqual(await crumbs(page), ['Shared folder', 'Holiday Photos', 'Day 2']);
      assert.equal(await page.getAttribute('.crumbs a:has-text("Day 2")', 'aria-current'), 'page');
      assert.equal(await page.textContent('h1'), 'Day 2');
      assert.match(await page.textContent('.empty'), /empty/);
      await Promise.all([page.waitForNavigation(), page.click('.crumbs a:has-text("Holiday Photos")')]);
      assert.deepEqual(await names(page), ['Day 2', 'beach.jpg', 'lake.bmp', 'notes.txt', 'ramp.bmp']);
      await Promise.all([page.waitForNavigation(), page.click('.crumbs a:has-text("Shared folder")')]);
      assert.equal(page.url(), server.base);
    });

    await check('desktop: the viewer opens, steps by key and button, and closes', async () => {
      await page.goto(server.base + 'Holiday+Photos/');
      await page.click('a:has-text("beach.jpg")');
      await shownPicture(page, 'beach.jpg');
      assert.equal(await page.url(), server.base + 'Holiday+Photos/');
      assert.equal(await viewerName(page), 'beach.jpg');
      assert.equal(await page.getAttribute('.viewer .vdl', 'href'), '/download?Holiday+Photos/beach.jpg');
      assert.equal(await page.textContent('.viewer .vpos'), '1 of 3');
      await page.keyboard.press('ArrowRight');
      await shownPicture(page, 'lake.bmp');
      await page.screenshot({ path: path.join(artifacts, 'gallery-viewer-desktop.png') });
      await page.click('.viewer .vnext');
      await shownPicture(page, 'ramp.bmp');
      await page.click('.viewer .stage img');  // the keys still work after a click on it
      await page.keyboard.press('ArrowRight');
      await shownPicture(page, 'beach.jpg');
      await page.keyboard.press('ArrowLeft');
      await shownPicture(page, 'ramp.bmp');
      await page.click('.viewer .vplay');
      assert.equal(await page.getAttribute('.viewer .vplay', 'aria-pressed'), 'true');
      await shownPicture(page, 'beach.jpg');  // the slideshow moved on by itself
      await page.click('.viewer .vplay');
      await page.keyboard.press('Escape');
      assert.equal(await page.isHidden('.viewer'), true);
      assert.equal(await page.evaluate(() => document.activeElement.textContent.includes('beach.jpg') ||
                                             document.activeElement.textContent.includes('ramp.bmp')), true);
      // "Download original" is the file itself.
      await page.click('a:has-text("lake.bmp")');
      const [download] = await Promise.all([page.waitForEvent('download'), page.click('.viewer .vdl')]);
      assert.equal(download.suggestedFilename(), 'lake.bmp');
      assert.ok(fs.readFileSync(await download.path()).equals(fs.readFileSync(path.join(photos, 'lake.bmp'))));
      await page.keyboard.press('Escape');
    });

    await check('desktop: a video (or sound) plays inline and seeks with byte ranges', async () => {
      const name = video ? 'clip.webm' : 'tone.wav';
      const partial = [];
      const onResponse = (r) => {
        if (r.url().endsWith('/.mirelo/view/' + name) && r.status() === 206) partial.push(r);
      };
      page.on('response', onResponse);
      await page.goto(server.base);
      await page.click(`a:has-text("${name}")`);
      const tag = video ? 'video' : 'audio';
      await page.waitForFunction((t) => {
        const m = document.querySelector('.viewer ' + t);
        return m && m.readyState >= 1 && m.duration > 5;
      }, tag);
      const time = await page.evaluate((t) => new Promise((resolve, reject) => {
        const m = document.querySelector('.viewer ' + t);
        m.addEventListener('seeked', () => resolve(m.currentTime), { once: true });
        m.addEventListener('error', () => reject(new Error('media error')), { once: true });
        m.currentTime = 4.5;
      }), tag);
      page.off('response', onResponse);
      assert.ok(Math.abs(time - 4.5) < 0.25, `currentTime after the seek: ${time}`);
      assert.ok(partial.length > 0, 'no byte range was asked for');
      const type = partial[0].headers()['content-type'];
      assert.equal(type, video ? 'video/webm' : 'audio/wav');
      await page.keyboard.press('Escape');
    });

    await check('desktop: search shows its results in the same grid', async () => {
      await page.goto(server.base + 'Holiday+Photos/');
      await page.fill('#q', 'BMP');
      await Promise.all([page.waitForNavigation(), page.press('#q', 'Enter')]);
      assert.deepEqual(await names(page), ['Holiday Photos/lake.bmp', 'Holiday Photos/ramp.bmp']);
      assert.equal(await page.$$eval('#entries img', (is) => is.length), 2);
      await page.click('a:has-text("ramp.bmp")');
      await shownPicture(page, 'Holiday Photos/ramp.bmp');
      await page.keyboard.press('Escape');
      await axe(page, 'the search page');
    });

    await check('desktop: sorting and the list view', async () => {
      await page.goto(server.base);
      await page.click('button[data-sort="size"]');
      const bySize = await names(page);
      assert.deepEqual(bySize.slice(0, 2), ['Holiday Photos', "x'+alert(1)+'"]);
      assert.equal(bySize[2], 'report.bin');
      await page.click('button[data-sort="name"]');
      await page.click('button.view');
      assert.equal(await page.evaluate(() => document.body.classList.contains('list')), true);
      await page.reload();
      assert.equal(await page.evaluate(() => document.body.classList.contains('list')), true);
      await page.click('button.view');
    });

    await check('desktop: two files upload with a progress bar each and the server\'s answer',
                async () => {
      await page.goto(server.base + 'Holiday+Photos/');
      const files = [0, 1].map((i) => {
        const p = path.join(tmp, `upload ${i}.bin`);
        fs.writeFileSync(p, crypto.randomBytes(200000 + i));
        return p;
      });
      await page.setInputFiles('#up', files);
      const [answer] = await Promise.all([
        page.waitForResponse((r) => r.url().includes('/.mirelo/upload/')),
        page.click('form.upload button[type="submit"]')]);
      await page.waitForFunction(() => Array.from(document.querySelectorAll('.progress .st'))
        .filter((s) => !s.textContent.startsWith('Sending')).length === 2);
      const rows = await page.$$eval('.progress li', (ls) => ls.map((l) => ({
        name: l.querySelector('.un').textContent,
        bar: l.querySelector('progress') !== null,
        status: l.querySelector('.st').textContent })));
      assert.deepEqual(rows.map((r) => r.name), ['upload 0.bin', 'upload 1.bin']);
      assert.ok(rows.every((r) => r.bar));
      assert.ok(answer.ok(), `upload answered ${answer.status()}`);
      assert.ok(rows.every((r) => r.status.startsWith('Uploaded')), JSON.stringify(rows));
      for (const f of files) {
        assert.ok(fs.readFileSync(path.join(photos, path.basename(f))).equals(fs.readFileSync(f)));
      }
    });

    await check('desktop: hostile names run no script', async () => {
      dialogs.length = 0;
      await page.goto(server.base, { waitUntil: 'load' });
      assert.ok((await names(page)).includes('<img src=x onerror=alert(1)>.jpg'));
      await page.click('a:has-text("onerror")');
      await shownPicture(page, '<img src=x onerror=alert(1)>.jpg');
      await page.keyboard.press('Escape');
      await Promise.all([page.waitForNavigation(), page.click("#entries a:has-text(\"x'+alert(1)+'\")")]);
      assert.deepEqual(await crumbs(page), ['Shared folder', "x'+alert(1)+'"]);
      assert.deepEqual(await names(page), ['quoted.txt']);
      assert.equal(await page.inputValue('input[name="path"]'), "x'+alert(1)+'/");
      await page.fill('#q', '"><script>alert(2)</script>');
      await Promise.all([page.waitForNavigation(), page.press('#q', 'Enter')]);
      assert.equal(await page.inputValue('#q'), '"><script>alert(2)</script>');
      await page.goto(server.base + 'search?searchtext=%3Cimg%20src%3Dx%20onerror%3Dalert(3)%3E&path=');
      // page.html is a download, never a page of this site.
      const view = await page.request.get(server.base + '.mirelo/view/page.html');
      assert.match(view.headers()['content-disposition'], /^attachment/);
      await page.waitForTimeout(200);
      assert.deepEqual(dialogs, []);
    });
    await context.close();
  }

  await check('phone: the grid fits, a tap opens the viewer, swipes step, and it closes',
              async () => {
    for (const scheme of ['light', 'dark']) {
      const { context, page } = await open({ viewport: PHONE, hasTouch: true, isMobile: true,
                                             deviceScaleFactor: 2, colorScheme: scheme });
      await page.goto(server.base + 'Holiday+Photos/', { waitUntil: 'load' });
      assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 390));
      const fontSize = await page.$eval('#entries b', (n) => parseFloat(getComputedStyle(n).fontSize));
      assert.ok(fontSize >= 14, `names are ${fontSize}px`);
      await page.screenshot({ path: path.join(artifacts, `gallery-phone-${scheme}.png`) });
      await page.tap('a:has-text("beach.jpg")');
      await shownPicture(page, 'beach.jpg');
      const cdp = await context.newCDPSession(page);
      const swipe = async (from, to) => {
        const y = 400;
        await cdp.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: [{ x: from, y }] });
        for (let s = 1; s <= 5; s++) {
          await cdp.send('Input.dispatchTouchEvent', {
            type: 'touchMove', touchPoints: [{ x: from + ((to - from) * s) / 5, y }] });
        }
        // The finger rests before it lifts, so no fling swallows the next tap.
        await page.waitForTimeout(150);
        await cdp.send('Input.dispatchTouchEvent', { type: 'touchMove', touchPoints: [{ x: to, y }] });
        await cdp.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
      };
      await swipe(320, 60);
      await shownPicture(page, 'lake.bmp');
      if (scheme === 'light') {
        await page.screenshot({ path: path.join(artifacts, 'gallery-viewer-phone.png') });
      }
      await swipe(60, 320);
      await shownPicture(page, 'beach.jpg');
      await page.tap('.viewer .vclose');
      assert.equal(await page.isHidden('.viewer'), true);
      await axe(page, `the phone listing (${scheme})`);
      await context.close();
    }
  });

  await check('without script every link still leads somewhere', async () => {
    const { context, page } = await open({ viewport: DESKTOP, javaScriptEnabled: false });
    await page.goto(server.base);
    assert.equal(await page.isHidden('.tools'), true);
    await Promise.all([page.waitForNavigation(), page.click('#entries a:has-text("Holiday Photos")')]);
    const [download] = await Promise.all([page.waitForEvent('download'),
                                          page.click('a:has-text("beach.jpg")')]);
    assert.equal(download.suggestedFilename(), 'beach.jpg');
    await page.fill('#q', 'notes');
    await Promise.all([page.waitForNavigation(), page.press('#q', 'Enter')]);
    assert.deepEqual(await names(page), ['Holiday Photos/notes.txt']);
    await context.close();
  });

  await check('every request went to the share itself', async () => {
    assert.ok(requests.length > 20);
    const elsewhere = requests.filter((u) => new URL(u).origin !== origin);
    assert.deepEqual(elsewhere, []);
    assert.deepEqual(errors.filter((e) => /Content Security Policy/i.test(e)), []);
  });

  await check('the server ends cleanly on SIGTERM', async () => {
    assert.equal(await stopServer(server), 0, server.log());
  });
  await browser.close();
  fs.rmSync(tmp, { recursive: true, force: true });
  if (failures.length) {
    console.log(`${failures.length} failed: ${failures.join('; ')}`);
    process.exit(1);
  }
  console.log('all gallery checks passed');
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
