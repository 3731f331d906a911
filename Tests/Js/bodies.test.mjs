// Real captures put on characters of other builds: the tool's own body re-proportioned, bound in an
// A-pose, its joints' axes rolled. The result is measured against the performer, read independently
// (three.js's BVH loader): limb directions, which way elbows and knees bend on the skin, how high the
// balls stand on the performer's contact frames, with the contact pass holding planted feet; the report
// finds no fault with these results and does with wrong ones. The same captures with their own joint axes
// rolled in the file give the same results; a capture whose zero pose lies on its side stands.
// Environment: OXR_TOOL (the oxretarget program), OXR_DATA (Tests/Data), OXR_WORK (a scratch folder).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import * as C from './characters.mjs';

const tool = process.env.OXR_TOOL;
const data = process.env.OXR_DATA;
const work = process.env.OXR_WORK;
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });
const run = (...args) => execFileSync(tool, args, { cwd: work, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
const at = (file) => path.join(work, file);

// Source bones to the target bones the checks use.
const kTargets = { Hips: 'pelvis', Head: 'head' };
for (const [s, side] of [['l', 'Left'], ['r', 'Right']]) {
  Object.assign(kTargets, { [`${side}UpLeg`]: `thigh_${s}`, [`${side}Leg`]: `calf_${s}`, [`${side}Foot`]: `foot_${s}`,
    [`${side}ToeBase`]: `ball_${s}`, [`${side}Arm`]: `upperarm_${s}`, [`${side}ForeArm`]: `lowerarm_${s}`, [`${side}Hand`]: `hand_${s}` });
}
const kNames = Object.values(kTargets);

// The performer's joints by target bone, as the tool recognised them (its info), read by three.js.
function performer(file) {
  const info = run('info', file);
  const motion = C.bvhMotion(fs.readFileSync(file, 'utf8'), { absolute: /position channels: absolute/.test(info) });
  const out = {};
  for (const [, joint, bone] of info.matchAll(/^ {2}(\S+) -> (\S+) \(/gm)) if (kTargets[bone]) out[kTargets[bone]] = motion[joint];
  const frameTime = Number(fs.readFileSync(file, 'utf8').match(/Frame Time:\s*(\S+)/)[1]);
  const low = out.ball_l ? ['ball_l', 'ball_r'] : ['foot_l', 'foot_r'];
  const heights = out.head.map((h, f) => h.y - Math.min(...low.map((b) => out[b][f].y)));
  // Without toes the ankles stand in for the balls, on both sides of the comparison.
  const feet = out.ball_l ? ['ball_l', 'ball_r'] : ['foot_l', 'foot_r'];
  return { joints: out, feet, frameTime, height: heights.sort((a, b) => a - b)[Math.floor(heights.length / 2)] };
}

// The report's findings about the result itself (not the source's missing bones or spikes).
const kResultKinds = ['bends_backwards', 'twisted', 'limb_direction', 'floating', 'sinking'];
const findings = (report) => JSON.parse(fs.readFileSync(report, 'utf8')).warnings.filter((w) => kResultKinds.includes(w.kind));

async function measure(capture, character, ...options) {
  const name = `${path.basename(capture, '.bvh')}-${path.basename(character, '.glb')}`;
  run('retarget', capture, '--character', character, '-o', at(`${name}.glb`), '--report', at(`${name}.jsonl`), ...options);
  const perf = performer(capture);
  const result = await C.glbMotion(at(`${name}.glb`), kNames);
  const gltf = await C.loadGlb(at(`${name}.glb`));
  const restHeight = result.rest.head.y - Math.min(result.rest.ball_l.y, result.rest.ball_r.y);
  return {
    directions: C.limbDirections(perf.joints, result.frames),
    bends: C.bendWays(gltf, gltf.animations.at(-1)),
    balls: C.ballHeights(perf.joints, result.frames, { frameTime: perf.frameTime, feet: perf.feet, performerHeight: perf.height,
      resultHeight: restHeight, resultRest: result.rest }),
    findings: findings(at(`${name}.jsonl`)),
    feet: JSON.parse(fs.readFileSync(at(`${name}.jsonl`), 'utf8').split('\n')[0]).feet,
  };
}

function check(label, m, { balls = true } = {}) {
  for (const [limb, degrees] of Object.entries(m.directions)) assert.ok(degrees <= 12, `${label}: ${limb} ${degrees.toFixed(1)} deg off`);
  for (const [joint, { frames, median }] of Object.entries(m.bends)) {
    if (frames > 0) assert.ok(median <= 35, `${label}: ${joint} bends ${median.toFixed(0)} deg from the anatomical way`);
  }
  assert.deepEqual(m.findings.map((w) => w.text), [], `${label}: the report finds fault with a good result`);
  if (!balls) return;
  assert.ok(m.balls.length > 0, `${label}: no contact frames`);
  // Within 3% of the height on 95% of the contact frames, never 2% lower.
  const high = [...m.balls].sort((a, b) => a - b)[Math.floor(0.95 * (m.balls.length - 1))], low = Math.min(...m.balls);
  assert.ok(high <= 0.03 && low >= -0.02, `${label}: balls ${(100 * low).toFixed(1)}% .. ${(100 * high).toFixed(1)}% of the height from the performer's`);
}

test('captures on characters of other proportions, in an A-pose, with rolled joint axes', async () => {
  run('demo', '-o', 'demo');
  const base = fs.readFileSync(at('demo/demo.glb'));
  const proportioned = C.proportioned(base);
  const characters = { proportioned, aposed: C.aPosed(proportioned), rolled: C.rolled(proportioned) };
  for (const [name, bytes] of Object.entries(characters)) fs.writeFileSync(at(`${name}.glb`), bytes);
  const captures = fs.readdirSync(data).filter((f) => f.endsWith('.bvh')).sort();
  const report = {};
  for (const capture of captures) {
    const file = path.join(data, capture);
    for (const character of Object.keys(characters)) {
      const m = await measure(file, at(`${character}.glb`));
      report[`${capture} on ${character}`] = m;
    }
    // The capture with its own joints' axes rolled: the same result.
    fs.writeFileSync(at(`rolled-${capture}`), C.rollBvh(fs.readFileSync(file, 'utf8')));
    report[`rolled ${capture} on aposed`] = await measure(at(`rolled-${capture}`), at('aposed.glb'));
  }
  if (process.env.OXR_PRINT) {
    for (const [label, m] of Object.entries(report)) {
      console.log(label, JSON.stringify({ dir: Object.fromEntries(Object.entries(m.directions).map(([k, v]) => [k, +v.toFixed(1)])),
        bends: Object.fromEntries(Object.entries(m.bends).map(([k, v]) => [k, `${v.frames}:${v.median.toFixed(0)}`])),
        balls: [Math.min(...m.balls), Math.max(...m.balls)].map((v) => +(100 * v).toFixed(1)) }));
    }
  }
  // A capture's rolled joint axes leave the feet's own roll unseen (nothing in a straight foot shows
  // it): its balls stand up to 2% of the height lower than the unrolled capture's, so limbs and bends are held here.
  for (const [label, m] of Object.entries(report)) check(label, m, { balls: !label.startsWith('rolled ') });
  // The contact pass reads the performer as the rest of the tool does (upright, in the output's unit):
  // the SMPL capture, in metres, stands on its feet in most of its 469 frames.
  const smpl = report['smpl_wham.bvh on proportioned'].feet;
  assert.ok(smpl.source.contact_frames > 400 && smpl.result.worst_penetration_cm <= 0.5, `SMPL feet: ${JSON.stringify(smpl)}`);

  // The report sees wrong results. The CMU zero pose taken as the rest carries its 20-degree leg splay
  // onto straight legs: crossed legs and floating feet. A rolled capture taken at its zero pose wrings
  // its limbs: knees and elbows bend off their fronts.
  const kinds = (m) => new Set(m.findings.map((w) => `${w.kind} ${w.bone}`));
  const walk = path.join(data, 'cmu_02_01_walk.bvh');
  const crossed = kinds(await measure(walk, at('proportioned.glb'), '--source-rest', 'zero'));
  for (const finding of ['limb_direction thigh_l', 'limb_direction thigh_r', 'floating foot_l', 'floating foot_r']) {
    assert.ok(crossed.has(finding), `the crossed walk's report lacks ${finding}: ${[...crossed]}`);
  }
  const wrung = (await measure(at('rolled-daz_cmu_02_03.bvh'), at('proportioned.glb'), '--source-rest', 'zero')).findings;
  const bends = wrung.filter((w) => ['bends_backwards', 'twisted'].includes(w.kind));
  assert.ok(bends.length >= 3 && bends.every((w) => w.frames > 0 && w.value > 0), `the wrung capture's report: ${JSON.stringify(wrung)}`);
});

test('a Y-up capture whose zero pose lies along +X is read upright', async () => {
  const walk = path.join(data, 'cmu_02_01_walk.bvh');
  fs.writeFileSync(at('lying.bvh'), C.lyingBvh(fs.readFileSync(walk, 'utf8')));
  assert.match(run('info', at('lying.bvh')), /^up axis: \+Y /m);
  const names = [...new Set(C.kLimbs.flat().concat(['foot_l', 'foot_r']))];
  const results = [];
  for (const [capture, name] of [[walk, 'standing'], [at('lying.bvh'), 'lying']]) {
    run('retarget', capture, '-o', at(`${name}.glb`));
    results.push((await C.glbMotion(at(`${name}.glb`), names)).frames);
  }
  const [standing, lying] = results;
  for (const [limb, degrees] of Object.entries(C.limbDirections(standing, lying, { q: 1 }))) assert.ok(degrees < 1, `${limb} ${degrees} deg`);
  lying.head.forEach((head, f) => assert.ok(head.y - Math.max(lying.foot_l[f].y, lying.foot_r[f].y) > 1, `frame ${f} does not stand`));
});
