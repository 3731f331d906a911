// Opens preview pages from disk in headless Chromium with networking off and checks what a person
// would see.
//   node preview-test.mjs page PAGE.html [SCREENSHOT.png]
//     The page draws its first frame and says so (data-ready), logs no error and asks for nothing
//     outside itself; while it plays, two screenshots show both halves with figures in left and right
//     colours, and they differ; space pauses, the arrows step one frame; the title reads the same in
//     the heading, the tab and the embedded clip.
//   node preview-test.mjs index INDEX.html
//     The index lists every clip with frames, length and warnings as text, every link leads to a page
//     on disk, and following the last one opens a page that draws, titled as its link (the fixture
//     gives that clip a title full of characters to escape).
//   node preview-test.mjs character PAGE.html
//     A page made with --character draws the character's skinned mesh on the right (a body filling its
//     box on screen, not thin bones) and it moves between two frames; the Bones box shows the bones.
//   node preview-test.mjs framing PAGE.html
//     A clip with a root left at the origin 3 m from the body and five garbage frames 1,460 m off: on
//     ordinary frames both bodies are whole in view (the raised hand too), large, and the floor shows
//     under their feet.
// All start with a look at the file itself: no network address and, but in the vendored three.js
// (whose loaders the page's policy keeps to its own bytes), no way to fetch one.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import puppeteer from 'puppeteer-core';

const CHROMIUM = process.env.OX_CHROMIUM || '/usr/bin/chromium';
const TIMEOUT_MS = 120_000;

// Strips licence comments ("/*! ... */"), then looks for URLs with a host, protocol-relative
// references and the browser's ways to load or send anything. The XHTML namespace name that
// three.js passes to createElementNS is an identifier, never fetched.
function assertNoNetworkReference(file) {
  const page = fs.readFileSync(file, 'utf8');
  const policy = page.match(/http-equiv="Content-Security-Policy" content="([^"]*)"/);
  if (policy) {
    assert.match(policy[1], /default-src 'none'/, `${file}: the policy forbids loading by default`);
    for (const source of policy[1].matchAll(/(connect|img)-src ([^;]*)/g)) {
      assert.deepEqual(source[2].trim().split(/\s+/).sort(), ['blob:', 'data:'], `${file}: ${source[1]}-src`);
    }
  }
  // The first script element holds the vendored three.js, after its licence comment.
  const vendored = /<script>\s*\/\*![\s\S]*?<\/script>/;
  const text = page.replace(policy ? vendored : /^$/, '').replace(/\/\*![\s\S]*?\*\//g, '');
  const namespaces = new Set(['http://www.w3.org/1999/xhtml']);
  const urls = (text.match(/\b[a-z][a-z0-9+.-]*:\/\/[^\s"'`)<>]*/gi) || []).filter((u) => !namespaces.has(u));
  assert.deepEqual(urls, [], `${file}: network addresses`);
  const relative = text.match(/["'`(=]\s*\/\/[a-z0-9-]+\.[a-z0-9.-]+/gi) || [];
  assert.deepEqual(relative, [], `${file}: protocol-relative addresses`);
  const loaders = text.match(/\b(fetch\s*\(|XMLHttpRequest|WebSocket|EventSource|sendBeacon|importScripts|import\s*\(|<link\b|<img\b|<iframe\b|\bsrc\s*=)/g) || [];
  assert.deepEqual(loaders, [], `${file}: ways to load or send`);
}

async function withBrowser(body) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'oxretarget-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    protocolTimeout: TIMEOUT_MS,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--host-resolver-rules=MAP * ~NOTFOUND', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
      '--window-size=1280,720',
    ],
  });
  try {
    return await body(browser);
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

// A tab that records console errors, uncaught exceptions and every request that leaves the disk.
async function openTab(browser) {
  const tab = await browser.newPage();
  tab.setDefaultTimeout(TIMEOUT_MS);
  await tab.setViewport({ width: 1280, height: 720 });
  const problems = [];
  tab.on('console', (message) => {
    if (message.type() === 'error') problems.push(`console error: ${message.text()}`);
  });
  tab.on('pageerror', (error) => problems.push(`uncaught: ${error.message}`));
  tab.on('request', (request) => {
    if (!/^(file|data|blob|about):/.test(request.url())) problems.push(`request: ${request.url()}`);
  });
  return { tab, problems };
}

async function waitReady(tab) {
  await tab.waitForFunction(() => document.body.dataset.ready === '1');
}

async function frameOf(tab) {
  return tab.evaluate(() => Number(document.body.dataset.frame));
}

// Counts, in each half of the drawing area of screenshots a and b, pixels in the left colour (blue),
// in the right colour (orange-red), and pixels that differ between a and b. Decoded in a blank tab.
async function measure(browser, area, a, b) {
  const tab = await browser.newPage();
  try {
    return await tab.evaluate(async (area, a, b) => {
      async function pixels(png) {
        const image = new Image();
        image.src = `data:image/png;base64,${png}`;
        await image.decode();
        const canvas = new OffscreenCanvas(image.width, image.height);
        const context = canvas.getContext('2d');
        context.drawImage(image, 0, 0);
        return context.getImageData(area.x, area.y, area.width, area.height).data;
      }
      const [pa, pb] = [await pixels(a), await pixels(b)];
      const halves = [0, 1].map(() => ({ leftColour: [0, 0], rightColour: [0, 0], changed: 0 }));
      for (let y = 0; y < area.height; ++y) {
        for (let x = 0; x < area.width; ++x) {
          const i = 4 * (y * area.width + x);
          const half = halves[x < area.width / 2 ? 0 : 1];
          [pa, pb].forEach((p, k) => {
            const [r, g, bl] = [p[i], p[i + 1], p[i + 2]];
            if (bl > 120 && bl > r + 50) half.leftColour[k] += 1;
            if (r > 120 && r > bl + 50 && r > g + 30) half.rightColour[k] += 1;
          });
          if (Math.abs(pa[i] - pb[i]) + Math.abs(pa[i + 1] - pb[i + 1]) + Math.abs(pa[i + 2] - pb[i + 2]) > 60) {
            half.changed += 1;
          }
        }
      }
      return halves;
    }, area, a, b);
  } finally {
    await tab.close();
  }
}

async function testPage(file, screenshotFile) {
  assertNoNetworkReference(file);
  await withBrowser(async (browser) => {
    const { tab, problems } = await openTab(browser);
    await tab.goto(pathToFileURL(file).href);
    await waitReady(tab);

    const titles = await tab.evaluate(() => ({
      heading: document.querySelector('h1').textContent,
      headingElements: document.querySelector('h1').childElementCount,
      tab: document.title,
      clip: OXR_CLIP.title,
      frames: OXR_CLIP.frames,
    }));
    assert.equal(titles.heading, titles.clip, 'heading and embedded title');
    assert.equal(titles.headingElements, 0, 'the title stays text');
    assert.equal(titles.tab, `${titles.clip} - OxRetarget preview`);
    assert.ok(titles.frames > 40, 'a clip long enough to watch it play');
    // Every link is drawn as a bone but the target's root to pelvis, which is a dashed line.
    const links = await tab.evaluate(() => ({
      drawn: document.body.dataset.links,
      expected: [OXR_CLIP.source, OXR_CLIP.target].map((f) => f.parents.filter((p) => p >= 0).length),
      rootChildren: OXR_CLIP.target.parents.filter((p) => p >= 0 && OXR_CLIP.target.joints[p] === 'root').length,
    }));
    assert.equal(links.rootChildren, 1, 'the target has a root bone with one child');
    assert.equal(links.drawn, `${links.expected[0]} ${links.expected[1] - 1}`, 'bones drawn (source target)');

    // Two moments while it plays, a third of the clip apart (past a still start such as a T-pose).
    const area = await tab.evaluate(() => {
      const r = document.querySelector('#view canvas').getBoundingClientRect();
      return { x: Math.round(r.x), y: Math.round(r.y), width: Math.round(r.width), height: Math.round(r.height) };
    });
    assert.equal(await tab.evaluate(() => document.body.dataset.playing), '1', 'plays on opening');
    const first = await frameOf(tab);
    const shotA = await tab.screenshot({ encoding: 'base64' });
    const advance = Math.max(10, Math.floor(titles.frames / 3));
    await tab.waitForFunction((f, n, a) => (Number(document.body.dataset.frame) - f + n) % n >= a, {}, first,
      titles.frames, advance);
    const shotB = await tab.screenshot({ encoding: 'base64' });
    const halves = await measure(browser, area, shotA, shotB);
    halves.forEach((half, k) => {
      const name = k === 0 ? 'source (left half)' : 'target (right half)';
      for (const shot of [0, 1]) {
        assert.ok(half.leftColour[shot] > 500, `${name}, shot ${shot + 1}: left side drawn (${half.leftColour[shot]} px)`);
        assert.ok(half.rightColour[shot] > 500, `${name}, shot ${shot + 1}: right side drawn (${half.rightColour[shot]} px)`);
      }
      assert.ok(half.changed > 500, `${name}: the figure moved between the shots (${half.changed} px)`);
    });
    console.log(`halves (left px, right px, changed px): ${JSON.stringify(halves)}`);

    // Keyboard: space pauses, the arrows step one frame and wrap at the start.
    await tab.keyboard.press('Space');
    await tab.waitForFunction(() => document.body.dataset.playing === '0');
    const paused = await frameOf(tab);
    await tab.keyboard.press('ArrowRight');
    await tab.waitForFunction((f) => Number(document.body.dataset.frame) === f, {}, (paused + 1) % titles.frames);
    await tab.keyboard.press('ArrowLeft');
    await tab.keyboard.press('ArrowLeft');
    await tab.waitForFunction((f) => Number(document.body.dataset.frame) === f, {}, (paused - 1 + titles.frames) % titles.frames);
    const readout = await tab.$eval('#readout', (e) => e.textContent);
    assert.match(readout, new RegExp(`^frame ${(paused - 1 + titles.frames) % titles.frames} / ${titles.frames - 1}\\b`));
    await tab.keyboard.press('Space');
    await tab.waitForFunction(() => document.body.dataset.playing === '1');

    if (screenshotFile) fs.writeFileSync(screenshotFile, Buffer.from(shotB, 'base64'));
    assert.deepEqual(problems, [], 'console errors, exceptions or requests');
  });
}

async function testIndex(file) {
  assertNoNetworkReference(file);
  await withBrowser(async (browser) => {
    const { tab, problems } = await openTab(browser);
    await tab.goto(pathToFileURL(file).href);
    const rows = await tab.$$eval('tbody tr', (trs) =>
      trs.map((tr) => ({
        href: tr.querySelector('a').href,
        title: tr.querySelector('a').textContent,
        elementsInTitle: tr.querySelector('a').childElementCount,
        frames: tr.cells[1].textContent,
        length: tr.cells[2].textContent,
        warnings: [...tr.cells[3].querySelectorAll('li')].map((li) => [li.textContent, li.childElementCount]),
      })));
    assert.ok(rows.length >= 2, 'several clips listed');
    for (const row of rows) {
      assert.ok(fs.existsSync(fileURLToPath(row.href)), `${row.href} leads to a file`);
      assert.equal(row.elementsInTitle, 0, 'titles stay text');
      assert.match(row.frames, /^\d+$/);
      assert.match(row.length, /^\d+\.\d\d s$/);
      for (const [, elements] of row.warnings) assert.equal(elements, 0, 'warnings stay text');
    }
    assert.ok(rows.some((row) => row.warnings.length > 0), 'warnings shown');
    console.log(`index rows: ${JSON.stringify(rows.map(({ href, ...row }) => row))}`);

    const last = rows[rows.length - 1];
    await Promise.all([tab.waitForNavigation(), tab.click('tbody tr:last-child a')]);
    await waitReady(tab);
    const page = await tab.evaluate(() => ({
      heading: document.querySelector('h1').textContent,
      headingElements: document.querySelector('h1').childElementCount,
      clip: OXR_CLIP.title,
    }));
    assert.deepEqual(page, { heading: last.title, headingElements: 0, clip: last.title }, 'the link opens its clip');
    assert.deepEqual(problems, [], 'console errors, exceptions or requests');
  });
}

// In-browser statistics of a screenshot's rectangle (page pixels), decoded in a blank tab:
// box: the bounding box of the figures' colours (left blue, right orange, centre light grey) with
// their count; lit: pixels brighter than the background (anything drawn) and, with `other`, changed:
// pixels that differ from the other screenshot; below: pixels drawn in the rows under the box.
async function pixelStats(browser, png, rect, other) {
  const tab = await browser.newPage();
  try {
    return await tab.evaluate(async (png, rect, other) => {
      async function pixels(data) {
        const image = new Image();
        image.src = `data:image/png;base64,${data}`;
        await image.decode();
        const canvas = new OffscreenCanvas(image.width, image.height);
        const context = canvas.getContext('2d');
        context.drawImage(image, 0, 0);
        return context.getImageData(rect.x, rect.y, rect.width, rect.height).data;
      }
      const p = await pixels(png);
      const q = other ? await pixels(other) : null;
      const background = [0x1d, 0x20, 0x25];
      const drawn = (i) => Math.abs(p[i] - background[0]) + Math.abs(p[i + 1] - background[1]) + Math.abs(p[i + 2] - background[2]) > 30;
      const box = { x0: Infinity, y0: Infinity, x1: -Infinity, y1: -Infinity, count: 0 };
      let lit = 0;
      let changed = 0;
      for (let y = 0; y < rect.height; ++y) {
        for (let x = 0; x < rect.width; ++x) {
          const i = 4 * (y * rect.width + x);
          const [r, g, b] = [p[i], p[i + 1], p[i + 2]];
          const figure = (b > 120 && b > r + 50) || (r > 120 && r > b + 50 && r > g + 30) || (r > 180 && g > 180 && b > 180);
          if (figure) {
            Object.assign(box, { x0: Math.min(box.x0, x), x1: Math.max(box.x1, x), y0: Math.min(box.y0, y), y1: Math.max(box.y1, y) });
            box.count += 1;
          }
          if (drawn(i)) lit += 1;
          if (q && Math.abs(p[i] - q[i]) + Math.abs(p[i + 1] - q[i + 1]) + Math.abs(p[i + 2] - q[i + 2]) > 60) changed += 1;
        }
      }
      let below = 0;
      for (let y = box.y1 + 3; y < Math.min(rect.height, box.y1 + 3 + Math.round(0.12 * rect.height)); ++y) {
        for (let x = 0; x < rect.width; ++x) if (drawn(4 * (y * rect.width + x))) below += 1;
      }
      return { box, lit, changed, below };
    }, png, rect, other ?? null);
  } finally {
    await tab.close();
  }
}

async function canvasRect(tab) {
  return tab.evaluate(() => {
    const r = document.querySelector('#view canvas').getBoundingClientRect();
    return { x: Math.round(r.x), y: Math.round(r.y), width: Math.round(r.width), height: Math.round(r.height) };
  });
}

// Pauses (once) and shows frame f.
async function showFrame(tab, f) {
  await tab.evaluate((frame) => {
    if (document.body.dataset.playing === '1') document.getElementById('play').click();
    const slider = document.getElementById('frame');
    slider.value = String(frame);
    slider.dispatchEvent(new Event('input', { bubbles: true }));
  }, f);
  await tab.waitForFunction((frame) => document.body.dataset.frame === String(frame), {}, f);
  await tab.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
}

async function testCharacter(file) {
  assertNoNetworkReference(file);
  await withBrowser(async (browser) => {
    const { tab, problems } = await openTab(browser);
    await tab.goto(pathToFileURL(file).href);
    await waitReady(tab);
    const frames = await tab.evaluate(() => OXR_CLIP.frames);
    const shots = [];
    const areas = [];
    for (const f of [Math.floor(frames / 3), Math.floor((2 * frames) / 3)]) {
      await showFrame(tab, f);
      const area = (await tab.evaluate(() => document.body.dataset.characterArea)).split(' ').map(Number);
      assert.equal(area.length, 4, 'the character has a box on screen');
      areas.push(area);
      shots.push(await tab.screenshot({ encoding: 'base64' }));
    }
    // The union of both frames' boxes, inside the right half.
    const view = await canvasRect(tab);
    const x0 = Math.max(view.x + view.width / 2, Math.min(areas[0][0], areas[1][0]));
    const y0 = Math.max(view.y, Math.min(areas[0][1], areas[1][1]));
    const x1 = Math.min(view.x + view.width, Math.max(areas[0][0] + areas[0][2], areas[1][0] + areas[1][2]));
    const y1 = Math.min(view.y + view.height, Math.max(areas[0][1] + areas[0][3], areas[1][1] + areas[1][3]));
    const rect = { x: Math.round(x0), y: Math.round(y0), width: Math.round(x1 - x0), height: Math.round(y1 - y0) };
    assert.ok(rect.width > 40 && rect.height > 150, `the character's box is large enough to see (${JSON.stringify(rect)})`);
    const mesh = await pixelStats(browser, shots[0], rect, shots[1]);
    const size = rect.width * rect.height;
    // A body covers a good part of its box (bones alone cover a few per cent); it moved between the frames.
    assert.ok(mesh.lit > 0.15 * size, `the mesh fills its box (${mesh.lit} of ${size} px drawn)`);
    assert.ok(mesh.changed > 0.05 * size, `the mesh moved between the frames (${mesh.changed} px changed)`);
    // The Bones box draws the target's bones over it in their side colours.
    await tab.click('#bones');
    await tab.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
    const withBones = await pixelStats(browser, await tab.screenshot({ encoding: 'base64' }), rect);
    assert.ok(withBones.box.count > mesh.box.count + 300, `the bones show over the mesh (${mesh.box.count} -> ${withBones.box.count} px in figure colours)`);
    console.log(`character box ${JSON.stringify(rect)}: ${JSON.stringify({ mesh, bones: withBones.box.count })}`);
    assert.deepEqual(problems, [], 'console errors, exceptions or requests');
  });
}

async function testFraming(file) {
  assertNoNetworkReference(file);
  await withBrowser(async (browser) => {
    const { tab, problems } = await openTab(browser);
    await tab.goto(pathToFileURL(file).href);
    await waitReady(tab);
    const view = await canvasRect(tab);
    const frames = await tab.evaluate(() => OXR_CLIP.frames);
    const garbage = [100, 104];  // the fixture's garbage frames; the checks are on the others
    for (const f of [0, 60, 99, 105, frames - 1]) {
      await showFrame(tab, f);
      const shot = await tab.screenshot({ encoding: 'base64' });
      for (const half of [0, 1]) {
        const rect = { x: view.x + half * Math.floor(view.width / 2), y: view.y, width: Math.floor(view.width / 2), height: view.height };
        const { box, below } = await pixelStats(browser, shot, rect);
        const where = `frame ${f}, ${half ? 'target' : 'source'}: figure at ${JSON.stringify(box)}`;
        assert.ok(box.count > 500, `${where}: drawn`);
        assert.ok(box.x0 > 4 && box.y0 > 4 && box.x1 < rect.width - 5 && box.y1 < rect.height - 5, `${where}: whole in view`);
        assert.ok(box.y1 - box.y0 > 0.4 * rect.height, `${where}: large (not framed with the far joints)`);
        assert.ok(below > 200, `${where}: the floor shows under the feet (${below} px)`);
      }
    }
    assert.ok(garbage[0] < frames, 'the clip holds the garbage frames');
    assert.deepEqual(problems, [], 'console errors, exceptions or requests');
  });
}

const [mode, file, extra] = process.argv.slice(2);
if (mode === 'page' && file) {
  await testPage(path.resolve(file), extra && path.resolve(extra));
} else if (mode === 'index' && file) {
  await testIndex(path.resolve(file));
} else if (mode === 'character' && file) {
  await testCharacter(path.resolve(file));
} else if (mode === 'framing' && file) {
  await testFraming(path.resolve(file));
} else {
  console.error('usage: node preview-test.mjs page PAGE.html [SCREENSHOT.png] | index INDEX.html | character PAGE.html | framing PAGE.html');
  process.exit(2);
}
console.log(`${mode} test passed: ${file}`);
