// Loads pages in headless Chromium, each in a new browser profile (nothing
// cached in the browser), and prints one line of JSON per load: the time from
// the start of navigation to the first contentful paint (the first row of the
// listing) and to the moment every thumbnail of the page is decoded, in ms.
// Usage: node browser-bench.js <label> <url> [<label> <url> ...]
// The labels and URLs are loaded in the order given.
'use strict';

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

const LOAD_TIMEOUT = 300000;

// Runs in the page before its own content: every thumbnail element is asked
// to decode as soon as it appears, and the time its decoding ends is kept.
function watchThumbnails() {
  window.__decoded = [];
  window.__thumbs = 0;
  window.__failed = 0;
  const watch = (img) => {
    if (img.__watched || !/TAMBNEIL/i.test(img.getAttribute('src') || '')) return;
    img.__watched = true;
    window.__thumbs++;
    img.decode().then(() => window.__decoded.push(performance.now()),
                      () => { window.__failed++; window.__decoded.push(performance.now()); });
  };
  new MutationObserver((changes) => {
    for (const change of changes) {
      for (const node of change.addedNodes) {
        if (node.nodeType !== 1) continue;
        if (node.tagName === 'IMG') watch(node);
        node.querySelectorAll && node.querySelectorAll('img').forEach(watch);
      }
    }
  }).observe(document, { childList: true, subtree: true });
}

async function measure(browserArgs, url) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'mirelo-browser-bench-'));
  const context = await chromium.launchPersistentContext(profile, browserArgs);
  try {
    const page = await context.newPage();
    await page.addInitScript(watchThumbnails);
    await page.goto(url, { waitUntil: 'load', timeout: LOAD_TIMEOUT });
    await page.waitForFunction(() => window.__decoded.length === window.__thumbs,
                               null, { timeout: LOAD_TIMEOUT, polling: 50 });
    return await page.evaluate(() => {
      const paint = performance.getEntriesByName('first-contentful-paint')[0];
      const nav = performance.getEntriesByType('navigation')[0];
      return {
        firstPaintMs: paint ? Math.round(paint.startTime) : null,
        firstByteMs: nav ? Math.round(nav.responseStart) : null,
        allThumbsMs: Math.round(Math.max(0, ...window.__decoded)),
        thumbs: window.__thumbs,
        failed: window.__failed,
      };
    });
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

(async () => {
  // BENCH_VIEWPORT (WIDTHxHEIGHT): the window's size, for pages whose
  // thumbnails load only when on screen.
  const viewport = /^(\d+)x(\d+)$/.exec(process.env.BENCH_VIEWPORT || '');
  const browserArgs = {
    ...(viewport ? { viewport: { width: +viewport[1], height: +viewport[2] } } : {}),
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1'],
  };
  const pairs = process.argv.slice(2);
  for (let i = 0; i + 1 < pairs.length; i += 2) {
    const result = await measure(browserArgs, pairs[i + 1]);
    console.log(JSON.stringify({ label: pairs[i], ...result }));
  }
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
