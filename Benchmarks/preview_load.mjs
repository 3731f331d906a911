// How long the preview page of a 30-second clip takes to load in headless Chromium with a character
// (its skinned mesh embedded and played), against the same clip's page without one, in the same run:
// from navigation to the first frame drawn (data-ready), median of several loads.
//
//   node Benchmarks/preview_load.mjs TOOL [SECONDS] [LOADS]
// TOOL: the oxretarget program. The clip is the CMU walk (Tests/Data) repeated to SECONDS (30); the
// character the tool's own glb with its skinned body. Needs puppeteer-core (npm) and Chromium: set
// NODE_PATH to the node_modules holding puppeteer-core (the browser tests install it in
// build/.../Tests/Browser/npm) and OX_CHROMIUM to the browser (default /usr/bin/chromium).
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath, pathToFileURL } from 'node:url';

const [tool, secondsArg, loadsArg] = process.argv.slice(2);
if (!tool) {
  console.error('usage: node Benchmarks/preview_load.mjs TOOL [SECONDS] [LOADS]');
  process.exit(2);
}
const seconds = Number(secondsArg ?? 30);
const loads = Number(loadsArg ?? 5);
const require = createRequire(path.resolve(process.env.NODE_PATH ?? '.', 'x.js'));
const puppeteer = require('puppeteer-core');
const chromium = process.env.OX_CHROMIUM || '/usr/bin/chromium';
const walk = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'Tests', 'Data', 'cmu_02_01_walk.bvh');

// The walk's motion lines repeated until the clip lasts `seconds`.
function longClip(text, seconds) {
  const [head, motion] = text.split(/^MOTION\s*$/m);
  const lines = motion.trim().split(/\r?\n/);
  const frameTime = Number(lines[1].split(':')[1]);
  const frames = lines.slice(2).filter((line) => line.trim() !== '');
  const count = Math.ceil(seconds / frameTime);
  const out = Array.from({ length: count }, (_, i) => frames[i % frames.length]);
  return `${head}MOTION\nFrames: ${count}\nFrame Time: ${lines[1].split(':')[1].trim()}\n${out.join('\n')}\n`;
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'oxretarget-preview-load-'));
const browser = await puppeteer.launch({
  executablePath: chromium, headless: true, userDataDir: path.join(work, 'profile'),
  args: ['--no-sandbox', '--disable-gpu', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
    '--host-resolver-rules=MAP * ~NOTFOUND', '--window-size=1280,720'],
});
try {
  const clip = path.join(work, 'walk30.bvh');
  fs.writeFileSync(clip, longClip(fs.readFileSync(walk, 'utf8'), seconds));
  execFileSync(tool, ['demo', '-o', path.join(work, 'demo')], { stdio: 'ignore' });
  const pages = { sticks: path.join(work, 'sticks.html'), character: path.join(work, 'character.html') };
  execFileSync(tool, ['preview', clip, '-o', pages.sticks], { stdio: 'ignore' });
  execFileSync(tool, ['preview', clip, '--character', path.join(work, 'demo', 'demo.glb'), '-o', pages.character],
    { stdio: 'ignore' });
  const tab = await browser.newPage();
  await tab.setViewport({ width: 1280, height: 720 });
  const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
  const times = { sticks: [], character: [] };
  for (let i = 0; i < loads + 1; ++i) {
    for (const kind of ['sticks', 'character']) {
      await tab.goto('about:blank');
      const start = performance.now();
      await tab.goto(pathToFileURL(pages[kind]).href);
      await tab.waitForFunction(() => document.body.dataset.ready === '1', { timeout: 120_000 });
      if (i > 0) times[kind].push((performance.now() - start) / 1000);  // the first load warms the browser
    }
  }
  const size = (file) => (fs.statSync(file).size / 1e6).toFixed(1);
  console.log(`clip: ${seconds} s of the CMU walk (120 frames/s); ${loads} loads each, median`);
  console.log(`page without a character: ${median(times.sticks).toFixed(2)} s (${size(pages.sticks)} MB)`);
  console.log(`page with the character:  ${median(times.character).toFixed(2)} s (${size(pages.character)} MB)`);
  console.log(`ratio: ${(median(times.character) / median(times.sticks)).toFixed(2)}`);
} finally {
  await browser.close();
  fs.rmSync(work, { recursive: true, force: true });
}
