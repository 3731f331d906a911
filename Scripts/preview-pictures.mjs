// Draws the README's pictures of the quick-start walk (Tests/Data/cmu_02_01_walk.bvh) on characters,
// from the preview page in headless Chromium: the performer's bones on the left, the character's
// skinned mesh on the right, at two moments of a stride.
//   Docs/walk-character.png: on the tool's own glb re-proportioned (thighs 30% longer, shins 15%,
//   arms 15% shorter) and bound in an A-pose, seen from the front and from the side.
//   Docs/walk-mixamo.png, Docs/walk-vrm.png: on the re-proportioned glb renamed into Mixamo's names
//   (prefix and an armature scaled 0.01), and made a VRM 1.0 avatar (humanoid map, meaningless node
//   names), when JSDIR has the families' characters (character-families.mjs).
//
//   node Scripts/preview-pictures.mjs TOOL JSDIR OUTDIR
// TOOL: the oxretarget program; JSDIR: the build's Tests/Js folder (its characters.mjs and the three
// package it imports, installed by the Js tests); OUTDIR: where the PNGs go (Docs/). Needs
// puppeteer-core and Chromium: set NODE_PATH to the node_modules holding puppeteer-core (the browser
// tests install it in build/.../Tests/Browser/npm) and OX_CHROMIUM to the browser if not
// /usr/bin/chromium.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath, pathToFileURL } from 'node:url';

const [tool, jsDir, outDir] = process.argv.slice(2).map((a) => a && path.resolve(a));
if (!outDir) {
  console.error('usage: node Scripts/preview-pictures.mjs TOOL JSDIR OUTDIR');
  process.exit(2);
}
const require = createRequire(path.resolve(process.env.NODE_PATH ?? '.', 'x.js'));
const puppeteer = require('puppeteer-core');
const chromium = process.env.OX_CHROMIUM || '/usr/bin/chromium';
const repo = path.join(path.dirname(fileURLToPath(import.meta.url)), '..');
const walk = path.join(repo, 'Tests', 'Data', 'cmu_02_01_walk.bvh');
const C = await import(pathToFileURL(path.join(jsDir, 'characters.mjs')).href);
const familiesFile = path.join(jsDir, 'character-families.mjs');
const F = fs.existsSync(familiesFile) ? await import(pathToFileURL(familiesFile).href) : null;

// Two moments of the walk (120 frames/s): the left foot ahead, then the right.
const kMoments = [150, 215];

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'oxretarget-pictures-'));
const browser = await puppeteer.launch({
  executablePath: chromium, headless: true, userDataDir: path.join(work, 'profile'),
  args: ['--no-sandbox', '--disable-gpu', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
    '--host-resolver-rules=MAP * ~NOTFOUND', '--window-size=1280,720'],
});

// Screenshots of the page's drawing area at each moment and angle: {angle: [base64 PNG per moment]}.
async function shoot(page, angles) {
  const tab = await browser.newPage();
  await tab.setViewport({ width: 1000, height: 640 });
  await tab.goto(pathToFileURL(page).href);
  await tab.waitForFunction(() => document.body.dataset.ready === '1', { timeout: 120_000 });
  await tab.evaluate(() => document.getElementById('play').click());
  const area = await tab.evaluate(() => {
    const r = document.querySelector('#view canvas').getBoundingClientRect();
    return { x: r.x, y: r.y + 40, width: r.width, height: r.height - 40 };  // below the labels
  });
  const shots = {};
  for (const angle of angles) {
    shots[angle] = [];
    for (const frame of kMoments) {
      await tab.evaluate((f, a) => {
        const slider = document.getElementById('frame');
        slider.value = String(f);
        slider.dispatchEvent(new Event('input', { bubbles: true }));
        const select = document.getElementById('angle');
        select.value = a;
        select.dispatchEvent(new Event('change', { bubbles: true }));
      }, frame, angle);
      await tab.waitForFunction((f) => document.body.dataset.frame === String(f), {}, frame);
      await tab.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
      shots[angle].push(await tab.screenshot({ encoding: 'base64', clip: area }));
    }
  }
  await tab.close();
  return shots;
}

// One sheet: a row per angle, each moment's screenshot side by side, scaled down; written as PNG.
async function sheet(rows, out) {
  const width = 500;
  const html = `<!doctype html><html><head><style>
    body { margin: 0; background: #1d2025; font: 15px sans-serif; color: #e4e6ea; }
    .row { display: flex; align-items: center; }
    .label { width: 56px; padding-left: 8px; font-size: 14px; }
    img { width: ${width}px; display: block; }
  </style></head><body>${rows.map(([label, shots]) => `<div class="row"><div class="label">${label}</div>${shots
    .map((s) => `<img src="data:image/png;base64,${s}">`).join('')}</div>`).join('')}</body></html>`;
  const file = path.join(work, 'sheet.html');
  fs.writeFileSync(file, html);
  const tab = await browser.newPage();
  await tab.setViewport({ width: 64 + width * kMoments.length, height: 100 });
  await tab.goto(pathToFileURL(file).href);
  await tab.screenshot({ path: out, fullPage: true });
  await tab.close();
  console.log(`${out}: ${fs.statSync(out).size} bytes`);
}

try {
  execFileSync(tool, ['demo', '-o', path.join(work, 'demo')], { stdio: 'ignore' });
  const base = fs.readFileSync(path.join(work, 'demo', 'demo.glb'));
  const character = path.join(work, 'character.glb');
  fs.writeFileSync(character, C.aPosed(C.proportioned(base)));
  const page = path.join(work, 'walk-character.html');
  execFileSync(tool, ['preview', walk, '--character', character, '-o', page], { stdio: 'ignore' });
  const shots = await shoot(page, ['front', 'side']);
  await sheet([['front', shots.front], ['side', shots.side]], path.join(outDir, 'walk-character.png'));
  if (F) {
    const proportioned = C.proportioned(base);
    for (const [name, label, file, bytes] of [['mixamo', 'Mixamo', 'mixamo.glb', F.family(proportioned, 'mixamo')],
      ['vrm', 'VRM', 'avatar.vrm', F.vrm1(proportioned)]]) {
      const characterFile = path.join(work, file);
      fs.writeFileSync(characterFile, bytes);
      const familyPage = path.join(work, `walk-${name}.html`);
      execFileSync(tool, ['preview', walk, '--character', characterFile, '-o', familyPage], { stdio: 'ignore' });
      const familyShots = await shoot(familyPage, ['three-quarter']);
      await sheet([[label, familyShots['three-quarter']]], path.join(outDir, `walk-${name}.png`));
    }
  }
} finally {
  await browser.close();
  fs.rmSync(work, { recursive: true, force: true });
}
