// Draws Docs/contacts.png: one step of a walk on a long-legged character, with --contacts off (top)
// and auto (bottom), five moments of the stance laid over each other as the preview page shows them
// with the camera held still. A planted foot that slides leaves a smear; a held one stays sharp.
//
//   node Scripts/contacts-picture.mjs TOOL WORK OUT.png
// TOOL: the oxretarget program; WORK: a folder with walk.bvh and character.glb (the character test
// leaves both in build/Tests/Js/work-character). Needs puppeteer-core (npm, in a build folder) and
// Chromium; set NODE_PATH to the node_modules holding puppeteer-core.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { createRequire } from 'node:module';

const [tool, work, out] = process.argv.slice(2);
const require = createRequire(path.join(process.env.NODE_PATH ?? '.', 'x.js'));
const puppeteer = require('puppeteer-core');
const chromium = process.env.OX_CHROMIUM || '/usr/bin/chromium';

// Frames of one stance of the left foot in the CMU walk (120 frames/s): landing to push-off.
const frames = [145, 165, 185, 205, 220];

const pages = {};
for (const mode of ['off', 'auto']) {
  pages[mode] = path.join(work, `contacts-${mode}.html`);
  execFileSync(tool, ['preview', path.join(work, 'walk.bvh'), '--character', path.join(work, 'character.glb'),
    '--contacts', mode, '-o', pages[mode]], { stdio: 'ignore' });
}

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'oxretarget-picture-'));
const browser = await puppeteer.launch({
  executablePath: chromium, headless: true, userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
    '--host-resolver-rules=MAP * ~NOTFOUND', '--window-size=1280,720'],
});
try {
  const tab = await browser.newPage();
  await tab.setViewport({ width: 1280, height: 720 });
  const shots = {};
  for (const mode of ['off', 'auto']) {
    await tab.goto(pathToFileURL(pages[mode]).href);
    await tab.waitForFunction(() => document.body.dataset.ready === '1');
    // Paused, camera still; the target is the right half.
    await tab.evaluate(() => {
      if (document.body.dataset.playing === '1') document.getElementById('play').click();
      const follow = document.getElementById('follow');
      if (follow.checked) follow.click();
    });
    const area = await tab.evaluate(() => {
      const r = document.querySelector('#view canvas').getBoundingClientRect();
      return { x: r.x, y: r.y, width: r.width, height: r.height };
    });
    shots[mode] = [];
    for (const f of frames) {
      await tab.evaluate((frame) => {
        const slider = document.getElementById('frame');
        slider.value = String(frame);
        slider.dispatchEvent(new Event('input', { bubbles: true }));
      }, f);
      await tab.waitForFunction((frame) => document.body.dataset.frame === String(frame), {}, f);
      await new Promise((resolve) => setTimeout(resolve, 200));
      const clip = { x: area.x + area.width / 2, y: area.y, width: area.width / 2, height: area.height };
      shots[mode].push(await tab.screenshot({ encoding: 'base64', clip }));
    }
  }
  // The moments laid over each other, one row per mode, labelled.
  const row = (mode, label) => `<div class="row"><div class="label">${label}</div><div class="stack">${shots[mode]
    .map((s, i) => `<img src="data:image/png;base64,${s}" style="opacity:${i === 0 ? 1 : 0.45}">`).join('')}</div></div>`;
  const html = `<!doctype html><html><head><style>
    body { margin: 0; background: #202225; font: 18px sans-serif; color: #eee; }
    .row { display: flex; align-items: center; }
    .label { width: 150px; padding-left: 16px; }
    .stack { position: relative; width: 640px; height: 396px; }
    .stack img { position: absolute; left: 0; top: 0; width: 640px; height: 396px; }
  </style></head><body>${row('off', '--contacts off')}${row('auto', '--contacts auto')}</body></html>`;
  const sheet = path.join(work, 'contacts-sheet.html');
  fs.writeFileSync(sheet, html);
  await tab.setViewport({ width: 790, height: 792 });
  await tab.goto(pathToFileURL(sheet).href);
  await tab.screenshot({ path: out });
} finally {
  await browser.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
