// The tool's glTF and BVH files read back by independent readers: the Khronos glTF validator and
// three.js (GLTFLoader, BVHLoader, its animation mixer for forward kinematics).
// Environment: OXR_TOOL (the oxretarget program), OXR_DATA (Tests/Data), OXR_WORK (a scratch folder).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import * as THREE from 'three';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';
import { BVHLoader } from 'three/examples/jsm/loaders/BVHLoader.js';
import validator from 'gltf-validator';

const tool = process.env.OXR_TOOL;
const data = process.env.OXR_DATA;
const work = process.env.OXR_WORK;
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });
const run = (...args) => execFileSync(tool, args, { cwd: work, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });

// Target joints whose positions depend only on bones solved from the source's world-space change,
// with the source joints they stand on.
const overlay = { pelvis: 'Hips', spine_01: 'Spine', spine_03: 'Spine1', spine_05: 'Spine2', neck_01: 'Neck', head: 'Head' };
for (const [s, side] of [['l', 'Left'], ['r', 'Right']]) {
  Object.assign(overlay, {
    [`clavicle_${s}`]: `${side}Shoulder`, [`upperarm_${s}`]: `${side}Arm`, [`lowerarm_${s}`]: `${side}ForeArm`,
    [`hand_${s}`]: `${side}Hand`, [`thigh_${s}`]: `${side}UpLeg`, [`calf_${s}`]: `${side}Leg`,
    [`foot_${s}`]: `${side}Foot`, [`ball_${s}`]: `${side}ToeBase`,
  });
  for (const finger of ['Index', 'Middle', 'Ring', 'Pinky']) overlay[`${finger.toLowerCase()}_01_${s}`] = `${side}Hand${finger}1`;
  for (const k of [1, 2, 3]) overlay[`thumb_0${k}_${s}`] = `${side}HandThumb${k}`;
}

async function loadGlb(file) {
  const bytes = fs.readFileSync(file);
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  return new Promise((resolve, reject) => new GLTFLoader().parse(buffer, '', resolve, reject));
}

// Samples every key of a loaded glTF: world positions of its bones per frame.
function sampleGltf(gltf) {
  const clip = gltf.animations[0];
  const mixer = new THREE.AnimationMixer(gltf.scene);
  const action = mixer.clipAction(clip);
  action.setLoop(THREE.LoopOnce, 1);
  action.clampWhenFinished = true;
  action.play();
  const bones = [];
  gltf.scene.traverse((o) => { if (o.isBone) bones.push(o); });
  const times = clip.tracks[0].times;
  return { bones, frames: times.length, at(f) {
    action.reset();
    mixer.setTime(times[f]);
    gltf.scene.updateMatrixWorld(true);
    return Object.fromEntries(bones.map((b) => [b.name, b.getWorldPosition(new THREE.Vector3())]));
  } };
}

function sampleBvh(text) {
  const result = new BVHLoader().parse(text);
  const root = result.skeleton.bones[0];
  const group = new THREE.Group();
  group.add(root);
  const mixer = new THREE.AnimationMixer(group);
  const action = mixer.clipAction(result.clip);
  action.setLoop(THREE.LoopOnce, 1);
  action.clampWhenFinished = true;
  action.play();
  const times = result.clip.tracks[0].times;
  const bones = result.skeleton.bones.filter((b) => b.name !== 'ENDSITE');
  return { bones, frames: times.length, at(f) {
    action.reset();
    mixer.setTime(times[f]);
    group.updateMatrixWorld(true);
    return Object.fromEntries(bones.map((b) => [b.name, b.getWorldPosition(new THREE.Vector3())]));
  } };
}

function height(poses) {
  let low = Infinity, high = -Infinity;
  for (const p of Object.values(poses)) { low = Math.min(low, p.y); high = Math.max(high, p.y); }
  return high - low;
}

// Largest distance, over every frame, between each checked target joint and its source joint.
function worstOverlay(target, source, unit, joints) {
  let worst = 0, where = '';
  const body = height(source.at(0)) * unit;
  for (let f = 0; f < source.frames; ++f) {
    const t = target.at(f), s = source.at(f);
    for (const [tj, sj] of joints) {
      const d = t[tj].distanceTo(s[sj].clone().multiplyScalar(unit));
      if (d > worst) { worst = d; where = `${tj} frame ${f}`; }
    }
  }
  return { ratio: worst / body, where };
}

async function validate(file) {
  const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)));
  const messages = report.issues.messages.filter((m) => m.severity <= 1).map((m) => `${m.code} ${m.pointer}: ${m.message}`);
  return { errors: report.issues.numErrors, warnings: report.issues.numWarnings, messages };
}

test('the demo and the CMU walk: valid glTF that overlays the performer, and a BVH that agrees', async () => {
  run('demo', '-o', 'demo');
  fs.copyFileSync(path.join(data, 'cmu_02_01_walk.bvh'), path.join(work, 'walk.bvh'));
  // The walk with the rotations of its joints between paired joints (LowerBack, Neck1, the finger
  // bases) set to zero: every paired joint then overlays, as on a file of the source skeleton.
  const walk = fs.readFileSync(path.join(work, 'walk.bvh'), 'utf8');
  const names = [...walk.matchAll(/(?:ROOT|JOINT)\s+(\S+)/g)].map((m) => m[1]);
  const still = new Set(['LowerBack', 'Neck1', 'LeftFingerBase', 'RightFingerBase']);
  const [head, motion] = walk.split(/Frame Time:[^\n]*\n/);
  const columns = names.flatMap((n, i) => (i === 0 ? [0, 0, 0, 1, 1, 1] : [still.has(n) ? 2 : 1, 2, 2].map((c) => (still.has(n) ? 2 : 1))));
  const stilled = motion.trim().split('\n').map((line) => line.trim().split(/\s+/).map((v, i) => (columns[i] === 2 ? '0' : v)).join(' '));
  fs.writeFileSync(path.join(work, 'still.bvh'), `${head}Frame Time: ${walk.match(/Frame Time:\s*(\S+)/)[1]}\n${stilled.join('\n')}\n`);

  for (const [clip, unit, file, joints] of [
    ['demo', 0.01, 'demo/demo.bvh', Object.entries(overlay)],
    ['still', 0.0254, 'still.bvh', Object.entries(overlay).filter(([, s]) => names.includes(s))],
    // As captured, the turns of LowerBack, Neck1 and the finger bases move the joints above them
    // in ways fixed bone offsets cannot follow; the legs overlay exactly.
    ['walk', 0.0254, 'walk.bvh', Object.entries(overlay).filter(([t, s]) => names.includes(s) && /pelvis|thigh|calf|foot|ball/.test(t))],
  ]) {
    const units = unit === 0.01 ? 'cm' : 'in';
    run('retarget', file, '-o', `${clip}.glb`, '--units', units, '--source-units', units);
    run('retarget', file, '-o', `${clip}-target.bvh`, '--units', units, '--source-units', units);
    const report = await validate(path.join(work, `${clip}.glb`));
    assert.deepEqual([report.errors, report.warnings, report.messages], [0, 0, []], clip);

    const loaded = await loadGlb(path.join(work, `${clip}.glb`));
    // The body: one skinned mesh over the whole skeleton.
    const skinned = [];
    loaded.scene.traverse((o) => { if (o.isSkinnedMesh) skinned.push(o); });
    assert.deepEqual(skinned.map((m) => [m.name, m.skeleton.bones.length]), [['OxRetarget_Body', 64]], clip);
    // In the rest pose, joints without a source partner lie between their neighbours.
    loaded.scene.updateMatrixWorld(true);
    const rest = {};
    loaded.scene.traverse((o) => { if (o.isBone) rest[o.name] = o.getWorldPosition(new THREE.Vector3()); });
    const between = [['spine_01', 'spine_02', 'spine_03'], ['neck_01', 'neck_02', 'head']];
    for (const s of ['l', 'r']) {
      for (const f of ['index', 'middle', 'ring', 'pinky']) {
        if (joints.some(([t]) => t === `${f}_01_${s}`)) between.push([`hand_${s}`, `${f}_metacarpal_${s}`, `${f}_01_${s}`]);
      }
    }
    for (const [a, m, b] of between) {
      const detour = rest[a].distanceTo(rest[m]) + rest[m].distanceTo(rest[b]) - rest[a].distanceTo(rest[b]);
      assert.ok(detour < 1e-5 && rest[a].distanceTo(rest[m]) > 0, `${clip}: ${m} is not between ${a} and ${b}`);
    }
    const gltf = sampleGltf(loaded);
    const source = sampleBvh(fs.readFileSync(path.join(work, file), 'utf8'));
    assert.equal(gltf.bones.length, 64);
    assert.equal(gltf.frames, source.frames);
    const { ratio, where } = worstOverlay(gltf, source, unit, joints);
    assert.ok(joints.length >= (clip === 'demo' ? 36 : 9), `${clip}: ${joints.length} joints checked`);
    assert.ok(ratio < 1e-4, `${clip}: ${where} is ${ratio} body heights from its source joint`);

    // The target BVH: 64 bones, one key per frame, the same joint positions as the glb.
    const target = sampleBvh(fs.readFileSync(path.join(work, `${clip}-target.bvh`), 'utf8'));
    assert.equal(target.bones.length, 64);
    assert.equal(target.frames, source.frames);
    const same = gltf.bones.map((b) => [b.name, b.name]);
    const agree = worstOverlay(gltf, target, unit, same);
    assert.ok(agree.ratio < 1e-5, `${clip}: BVH and glb disagree by ${agree.ratio} at ${agree.where}`);

    // Key times: a frame time near 1/n (the walk's 0.0083333) is 1/n exactly; key i sits at i/n,
    // never short of it (readers that turn times into frames and round down keep every frame).
    const rate = clip === 'demo' ? 30 : 120;
    const targetText = fs.readFileSync(path.join(work, `${clip}-target.bvh`), 'utf8');
    assert.equal(targetText.match(/Frame Time: (\S+)/)[1], String(1 / rate), clip);
    const times = loaded.animations[0].tracks[0].times;
    const late = [...times].map((t, i) => t - i / rate);
    assert.ok(late.every((d, i) => d >= 0 && d <= 2 ** -23 * Math.max(1, i / rate)), `${clip}: key times off i/${rate}`);
  }
});

// An FBX character with a skinned mesh: the demo's performer retargeted to FBX (its box body skinned
// to the bones), the mesh's vertices then moved 10% away from the origin (so that it is no box body
// the tool could make), drives the walk. The glb carries that mesh, valid, its vertices in the bind
// pose where the FBX has them, each one keeping its distance to the bone it rides on at every frame.
test('an FBX character: its skinned mesh in the glb, valid, in its bind pose, following its bones', async () => {
  if (!fs.existsSync(path.join(work, 'demo'))) run('demo', '-o', 'demo');
  fs.copyFileSync(path.join(data, 'cmu_02_01_walk.bvh'), path.join(work, 'walk.bvh'));
  run('retarget', 'demo/demo.bvh', '-o', 'hero.fbx');
  run('retarget', 'demo/demo.bvh', '-o', 'hero.glb');
  // Binary FBX 7.4: the Vertices record's array, type 'd', count, encoding 0 (raw), length, doubles.
  const fbx = fs.readFileSync(path.join(work, 'hero.fbx'));
  const at = fbx.indexOf('\x08Vertices') + 9;
  assert.equal(String.fromCharCode(fbx[at]), 'd');
  assert.equal(fbx.readUInt32LE(at + 5), 0);
  for (let i = 0; i < fbx.readUInt32LE(at + 1); ++i) fbx.writeDoubleLE(fbx.readDoubleLE(at + 13 + 8 * i) * 1.1, at + 13 + 8 * i);
  fs.writeFileSync(path.join(work, 'hero.fbx'), fbx);
  run('retarget', 'walk.bvh', '--character', 'hero.fbx', '-o', 'hero_walk.glb', '--units', 'in', '--source-units', 'in');
  const report = await validate(path.join(work, 'hero_walk.glb'));
  assert.deepEqual([report.errors, report.warnings, report.messages], [0, 0, []]);
  const skinnedOf = (gltf) => { const found = []; gltf.scene.traverse((o) => { if (o.isSkinnedMesh) found.push(o); }); return found; };
  const [body] = skinnedOf(await loadGlb(path.join(work, 'hero.glb')));
  const loaded = await loadGlb(path.join(work, 'hero_walk.glb'));
  const meshes = skinnedOf(loaded);
  assert.equal(meshes.length, 1);
  const mesh = meshes[0];
  const bind = mesh.geometry.attributes.position, boxes = body.geometry.attributes.position;
  assert.equal(bind.count, boxes.count);
  let worst = 0;
  for (let v = 0; v < bind.count; ++v) {
    worst = Math.max(worst, new THREE.Vector3().fromBufferAttribute(bind, v).distanceTo(new THREE.Vector3().fromBufferAttribute(boxes, v).multiplyScalar(1.1)));
  }
  assert.ok(worst < 1e-6, `bind pose ${worst} m off the body it came from`);
  const joints = mesh.geometry.attributes.skinIndex, weights = mesh.geometry.attributes.skinWeight;
  const gltf = sampleGltf(loaded);
  const reach = (f) => {
    gltf.at(f);
    return Array.from({ length: bind.count }, (_, v) => {
      const p = mesh.applyBoneTransform(v, new THREE.Vector3().fromBufferAttribute(bind, v));
      return p.distanceTo(mesh.skeleton.bones[joints.getX(v)].getWorldPosition(new THREE.Vector3()));
    });
  };
  const first = reach(0);
  let moved = 0, drift = 0;
  for (const f of [gltf.frames >> 1, gltf.frames - 1]) {
    const later = reach(f);
    for (let v = 0; v < bind.count; ++v) {
      assert.equal(weights.getX(v), 1);
      drift = Math.max(drift, Math.abs(later[v] - first[v]));
    }
    moved = Math.max(moved, mesh.skeleton.bones.find((b) => b.name === 'hand_l').getWorldPosition(new THREE.Vector3()).distanceTo(gltf.at(0).hand_l));
  }
  assert.ok(drift < 1e-5 && moved > 0.05, `vertices drift ${drift} m from their bones; the hand moved ${moved} m`);
});

test('root motion: a clip travelling 1 m forward moves the character 1 m, scaled with a rig, or not at all', async () => {
  run('demo', '-o', 'travel');
  // The demo's frames with the hips carried 100 cm along +Z over the clip.
  const text = fs.readFileSync(path.join(work, 'travel/demo.bvh'), 'utf8');
  const [head, rest] = text.split('MOTION');
  const lines = rest.trim().split('\n');
  const frames = lines.slice(2);
  const moved = frames.map((line, f) => {
    const v = line.trim().split(/\s+/);
    v[2] = String((100 * f) / (frames.length - 1));
    return v.join(' ');
  });
  fs.writeFileSync(path.join(work, 'travel.bvh'), `${head}MOTION\n${lines[0]}\n${lines[1]}\n${moved.join('\n')}\n`);

  // A rig of one's own: the target skeleton the tool writes as BVH, every offset 1.5 times as long.
  run('retarget', 'travel.bvh', '-o', 'rig.bvh', '--root-motion', 'none');
  const rig = fs.readFileSync(path.join(work, 'rig.bvh'), 'utf8').split('MOTION')[0]
    .replace(/OFFSET ([^\n]+)/g, (_, v) => `OFFSET ${v.trim().split(/\s+/).map((x) => Number(x) * 1.5).join(' ')}`);
  fs.writeFileSync(path.join(work, 'big.bvh'), `${rig}MOTION\nFrames: 0\nFrame Time: 0.1\n`);

  const travel = async (...options) => {
    run('retarget', 'travel.bvh', '-o', 'travel.glb', ...options);
    const gltf = sampleGltf(await loadGlb(path.join(work, 'travel.glb')));
    const first = gltf.at(0), last = gltf.at(gltf.frames - 1);
    const moved = (bone) => new THREE.Vector2(last[bone].x - first[bone].x, last[bone].z - first[bone].z).length();
    return { pelvis: moved('pelvis'), root: moved('root'), shin: first.calf_l.distanceTo(first.foot_l) };
  };
  const near = (a, b, what) => assert.ok(Math.abs(a - b) < 1e-5, `${what}: ${a} != ${b}`);
  const pelvis = await travel();
  fs.copyFileSync(path.join(work, 'travel.glb'), path.join(work, 'same.glb'));
  near(pelvis.pelvis, 1, 'pelvis mode, pelvis');
  near(pelvis.root, 0, 'pelvis mode, root');
  const root = await travel('--root-motion', 'root');
  near(root.pelvis, 1, 'root mode, pelvis');
  near(root.root, 1, 'root mode, root');
  const none = await travel('--root-motion', 'none');
  near(none.pelvis, 0, 'none, pelvis');
  const big = await travel('--target-rig', 'big.bvh');
  near(big.pelvis, 1.5, 'with a rig, pelvis');
  near(big.shin, 1.5 * pelvis.shin, 'with a rig, the rig\'s shin');
  // A glTF rig: the tool's own glb gives the same skeleton back.
  const same = await travel('--target-rig', 'same.glb');
  near(same.shin, pelvis.shin, 'with a glTF rig, its shin');
  near(same.pelvis, 1, 'with a glTF rig of the same size, pelvis');
});

test('two full turns: glb keys keep their sign, BVH angles stay continuous, JSON keeps the solver\'s values', async () => {
  run('demo', '-o', 'spin');
  // The demo with the hips turning 720 degrees about the vertical over the clip, the angle written
  // within (-180, 180] as captures write it: the quaternions read from it change sign at each wrap.
  const text = fs.readFileSync(path.join(work, 'spin/demo.bvh'), 'utf8');
  const [head, rest] = text.split('MOTION');
  const lines = rest.trim().split('\n');
  const frames = lines.slice(2);
  const yaw = head.match(/CHANNELS \d+ ([^\n]+)/)[1].trim().split(/\s+/).indexOf('Yrotation');
  const spun = frames.map((line, f) => {
    const v = line.trim().split(/\s+/);
    const angle = Number(v[yaw]) + (720 * f) / (frames.length - 1);
    v[yaw] = String(angle - 360 * Math.ceil((angle - 180) / 360));
    return v.join(' ');
  });
  fs.writeFileSync(path.join(work, 'spinning.bvh'), `${head}MOTION\n${lines[0]}\n${lines[1]}\n${spun.join('\n')}\n`);
  for (const format of ['glb', 'bvh', 'json']) run('retarget', 'spinning.bvh', '-o', `spin.${format}`);

  // JSON: the solver's quaternions, which change hemisphere as the pelvis turns.
  const json = JSON.parse(fs.readFileSync(path.join(work, 'spin.json'), 'utf8'));
  const pelvis = json.bones.findIndex((b) => b.name === 'pelvis');
  const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
  const flips = json.frames.slice(1).filter((frame, f) => dot(frame[pelvis], json.frames[f][pelvis]) < 0).length;
  assert.ok(flips > 0, 'the solver\'s pelvis keys never change hemisphere: the case tests nothing');

  // glb: every bone's keys in one hemisphere from key to key.
  const loaded = await loadGlb(path.join(work, 'spin.glb'));
  for (const track of loaded.animations[0].tracks.filter((t) => t.name.endsWith('.quaternion'))) {
    for (let k = 4; k < track.values.length; k += 4) {
      const d = [0, 1, 2, 3].reduce((sum, i) => sum + track.values[k + i] * track.values[k - 4 + i], 0);
      assert.ok(d >= 0, `${track.name}: key ${k / 4} flips sign`);
    }
  }
  // BVH: no angle jumps between frames, and the same figure as the glb.
  const bvh = fs.readFileSync(path.join(work, 'spin.bvh'), 'utf8');
  const rotation = [...bvh.split('MOTION')[0].matchAll(/CHANNELS \d+ ([^\n]+)/g)]
    .flatMap((m) => m[1].trim().split(/\s+/)).map((c) => c.endsWith('rotation'));
  const values = bvh.split(/Frame Time:[^\n]*\n/)[1].trim().split('\n').map((l) => l.trim().split(/\s+/).map(Number));
  let jump = 0;
  for (let f = 1; f < values.length; ++f) {
    rotation.forEach((r, c) => { if (r) jump = Math.max(jump, Math.abs(values[f][c] - values[f - 1][c])); });
  }
  assert.ok(jump < 30, `a BVH angle jumps ${jump} degrees between frames`);
  const gltf = sampleGltf(loaded);
  const target = sampleBvh(bvh);
  const agree = worstOverlay(gltf, target, 0.01, gltf.bones.map((b) => [b.name, b.name]));
  assert.ok(agree.ratio < 1e-5, `BVH and glb disagree by ${agree.ratio} at ${agree.where}`);
});

test('key times: a frame time written rounded is 1/n, and the last key lands on (frames - 1)/n, mannequin and character alike', async () => {
  run('demo', '-o', 'rates');
  const text = fs.readFileSync(path.join(work, 'rates/demo.bvh'), 'utf8');
  run('retarget', 'rates/demo.bvh', '-o', 'rates/character.glb');
  for (const [written, rate] of [['0.016667', 60], ['0.0333333', 30], ['0.00833333', 120], ['0.03', 0]]) {
    const clip = `rates/at-${written}`;
    fs.writeFileSync(path.join(work, `${clip}.bvh`), text.replace(/Frame Time:\s*\S+/, `Frame Time: ${written}`));
    run('retarget', `${clip}.bvh`, '-o', `${clip}.glb`);
    run('retarget', `${clip}.bvh`, '--character', 'rates/character.glb', '-o', `${clip}-character.glb`);
    const mannequin = await loadGlb(path.join(work, `${clip}.glb`));
    const character = await loadGlb(path.join(work, `${clip}-character.glb`));
    const extras = mannequin.parser.json.animations[0].extras;
    // 0.03 is as near 1/33 as 1/34: it stays as written.
    assert.equal(extras.frame_rate, rate || 1 / 0.03, written);
    const last = extras.frame_count - 1;
    const end = rate ? last / rate : last * 0.03;
    // The float nearest the exact time, or the next one up when that falls short of it.
    const above = (t) => {
      const f = new Float32Array([t]);
      if (f[0] < t) new Uint32Array(f.buffer)[0] += 1;
      return f[0];
    };
    for (const loaded of [mannequin, character.animations.at(-1)]) {
      const times = (loaded.animations ? loaded.animations[0] : loaded).tracks[0].times;
      assert.equal(times.length, extras.frame_count, written);
      assert.equal(times[last], above(end), `${written}: last key ${times[last]}, expected ${end}`);
    }
  }
});
