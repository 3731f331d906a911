// Characters of the common rig families, made here from the tool's own glb: Mixamo (prefix, an armature
// scaled 0.01, bound in an A-pose), Unity/Godot humanoid, Rigify DEF- bones, UE-style names with ".l",
// decoy leg chains the skin does not use, a VRM 1.0 with meaningless node names. Each one is recognised,
// driven and read back by the Khronos validator and three.js, with the limbs where the performer's are
// and elbows and knees bending the anatomical way; a dog and a robot arm are refused; VRM Animation loads
// in three.js's VRM animation loader onto the VRM.
// Environment: OXR_TOOL (the oxretarget program), OXR_DATA (Tests/Data), OXR_WORK (a scratch folder).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import * as THREE from 'three';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';
import validator from 'gltf-validator';
import { VRMLoaderPlugin } from '@pixiv/three-vrm';
import { VRMAnimationLoaderPlugin, createVRMAnimationClip } from '@pixiv/three-vrm-animation';
import * as C from './characters.mjs';
import * as F from './character-families.mjs';

const tool = process.env.OXR_TOOL;
const work = process.env.OXR_WORK;
const walk = path.join(process.env.OXR_DATA, 'cmu_02_01_walk.bvh');
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });
const run = (...args) => execFileSync(tool, args, { cwd: work, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
const at = (file) => path.join(work, file);

async function errors(file) {
  const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)));
  return report.issues.messages.filter((m) => m.severity === 0).map((m) => `${m.code} ${m.pointer}: ${m.message}`);
}

// The performer's joints by target bone, as the tool's info pairs them, read by three.js's BVH loader.
function performer() {
  const targets = { Hips: 'pelvis', Head: 'head' };
  for (const [s, side] of [['l', 'Left'], ['r', 'Right']]) {
    Object.assign(targets, { [`${side}UpLeg`]: `thigh_${s}`, [`${side}Leg`]: `calf_${s}`, [`${side}Foot`]: `foot_${s}`,
      [`${side}Arm`]: `upperarm_${s}`, [`${side}ForeArm`]: `lowerarm_${s}`, [`${side}Hand`]: `hand_${s}` });
  }
  const motion = C.bvhMotion(fs.readFileSync(walk, 'utf8'));
  const out = {};
  for (const [, joint, bone] of run('info', walk).matchAll(/^ {2}(\S+) -> (\S+) \(/gm)) if (targets[bone]) out[targets[bone]] = motion[joint];
  return out;
}

// The result's joints by target bone: `node(target)` names the character's node that plays it.
async function resultMotion(file, node) {
  const names = C.kLimbs.flat().filter((n, i, all) => all.indexOf(n) === i);
  const motion = await C.glbMotion(file, names.map((n) => THREE.PropertyBinding.sanitizeNodeName(node(n))));
  return Object.fromEntries(names.map((n) => [n, motion.frames[THREE.PropertyBinding.sanitizeNodeName(node(n))]]));
}

// The height of the first skinned mesh as three.js skins it in the scene's own pose.
function meshHeight(gltf) {
  gltf.scene.updateMatrixWorld(true);
  let mesh = null;
  gltf.scene.traverse((o) => { if (!mesh && o.isSkinnedMesh) mesh = o; });
  const box = new THREE.Box3();
  const v = new THREE.Vector3();
  for (let i = 0; i < mesh.geometry.attributes.position.count; i++) box.expandByPoint(mesh.getVertexPosition(i, v).applyMatrix4(mesh.matrixWorld));
  return box.max.y - box.min.y;
}

test('characters of every family: recognised, driven, read back, limbs with the performer', async () => {
  run('demo', '-o', 'demo');
  const base = C.proportioned(fs.readFileSync(at('demo/demo.glb')));
  const named = (family, prefix = '') => (n) => prefix + (F.familyNames(family)[n] ?? n);
  const aposed = C.aPosed(base);
  const stranger = F.nameless(base);
  // Fewer bones: no neck, one spine bone, no toes, no fingers; and hands of three fingers.
  const fingers = (digits) => ['l', 'r'].flatMap((s) => digits.flatMap((d) => [1, 2, 3].map((k) => `${d}_0${k}_${s}`)));
  const sparse = ['neck_01', 'spine_03', 'spine_05', 'ball_l', 'ball_r', ...fingers(['thumb', 'index', 'middle', 'ring', 'pinky'])];
  // Each character, the node that plays a target bone, and the same body under the mannequin's names.
  const characters = {
    'base.glb': [base, (n) => n],
    'aposed.glb': [aposed, (n) => n],
    'mixamo.glb': [F.family(aposed, 'mixamo'), named('mixamo', 'mixamorig:'), 'aposed.glb'],
    'humanoid.glb': [F.family(base, 'humanoid'), named('humanoid'), 'base.glb'],
    'rigify.glb': [F.family(base, 'rigify'), named('rigify'), 'base.glb'],
    'ue.glb': [F.family(base, 'ue-dot'), named('ue-dot'), 'base.glb'],
    'decoys.glb': [F.withDecoys(F.family(base, 'humanoid'), named('humanoid')), named('humanoid'), 'base.glb'],
    'stranger.glb': [stranger.bytes, (n) => stranger.names[n]],
    'sparse.glb': [F.family(base, 'mixamo', sparse), named('mixamo', 'mixamorig:')],
    'three-fingers.glb': [F.family(base, 'humanoid', fingers(['ring', 'pinky'])), named('humanoid'), 'base.glb'],
    'avatar.vrm': [F.vrm1(base), null, 'base.glb'],
  };
  const perf = performer();
  const report = {};
  const results = {};
  const heights = {};
  for (const [file, [bytes, node, reference]] of Object.entries(characters)) {
    fs.writeFileSync(at(file), bytes);
    const out = `walk-${file}`;
    // The names alone, without the contact pass: it answers to where a rig's ground is, and the
    // A-posed body's mixamo copy (no IK bones at the ground) stands 1 cm lower than the original.
    run('retarget', walk, '--character', file, '-o', out, '--contacts', 'off');
    assert.deepEqual(await errors(at(out)), [], `${out}: validator errors`);
    const gltf = await C.loadGlb(at(out));
    const clip = gltf.animations.at(-1);
    for (const track of clip.tracks) {
      assert.ok(gltf.scene.getObjectByName(THREE.PropertyBinding.parseTrackName(track.name).nodeName), `${out}: ${track.name} aims at no node`);
    }
    let byTarget = node;
    if (!byTarget) {
      // A VRM's own map is the truth: node names mean nothing.
      const { json } = C.readGlb(fs.readFileSync(at(file)));
      const vrm = Object.fromEntries(Object.entries(json.extensions.VRMC_vrm.humanoid.humanBones).map(([b, { node: i }]) => [b, json.nodes[i].name]));
      const vrmName = { pelvis: 'hips', head: 'head' };
      for (const [s, side] of [['l', 'left'], ['r', 'right']]) {
        Object.assign(vrmName, { [`thigh_${s}`]: `${side}UpperLeg`, [`calf_${s}`]: `${side}LowerLeg`, [`foot_${s}`]: `${side}Foot`,
          [`upperarm_${s}`]: `${side}UpperArm`, [`lowerarm_${s}`]: `${side}LowerArm`, [`hand_${s}`]: `${side}Hand` });
      }
      byTarget = (n) => vrm[vrmName[n]];
    }
    results[file] = await resultMotion(at(out), byTarget);
    heights[file] = meshHeight(gltf);
    report[file] = { directions: C.limbDirections(perf, results[file]), bends: C.bendWays(gltf, clip, { names: byTarget }),
      ...(reference ? { named: C.limbDirections(results[reference], results[file]) } : {}) };
  }
  if (process.env.OXR_PRINT) console.log(JSON.stringify(report, (k, v) => (typeof v === 'number' ? +v.toFixed(1) : v)));
  for (const [file, m] of Object.entries(report)) {
    for (const [limb, degrees] of Object.entries(m.directions)) assert.ok(degrees <= 12, `${file}: ${limb} ${degrees.toFixed(1)} deg from the performer's`);
    // Whatever the names, the body moves as it does under the mannequin's own.
    // The skinned mesh stands as tall as the same body's under the mannequin's names (a scaled
    // armature's bind matrices included).
    const reference = characters[file][2];
    if (reference) assert.ok(Math.abs(heights[file] / heights[reference] - 1) < 1e-3, `${file}: mesh ${heights[file]} m tall, ${reference} ${heights[reference]} m`);
    for (const [limb, degrees] of Object.entries(m.named ?? {})) assert.ok(degrees <= 1, `${file}: ${limb} ${degrees.toFixed(2)} deg from the mannequin-named body`);
    for (const [joint, { frames, median }] of Object.entries(m.bends)) {
      if (frames > 0) assert.ok(median <= 35, `${file}: ${joint} bends ${median.toFixed(0)} deg from the anatomical way`);
    }
  }

  // What info says: the decoys are left out by the skin weights, the VRM's map decides.
  assert.match(run('info', 'decoys.glb'), /do not deform \(left at rest\): 6\n {2}LeftUpperLeg\.copy/);
  assert.match(run('info', 'stranger.glb'), /mapping from: recognition.*\n[^]* {2}j1 -> pelvis \(structure\)/);
  assert.match(run('info', 'avatar.vrm'), /mapping from: the file's VRM 1\.0 humanoid map/);

  // Not a human: one line that says what is missing and how to map it; nothing written.
  fs.writeFileSync(at('dog.glb'), F.quadruped());
  fs.writeFileSync(at('robot.glb'), F.robotArm());
  for (const file of ['dog.glb', 'robot.glb']) {
    assert.throws(() => run('retarget', walk, '--character', file, '-o', 'x.glb'), (e) => e.status === 2 &&
      e.stderr.trim().split('\n').length === 1 && e.stderr.includes(`${file}: is not a human character: `) &&
      e.stderr.includes('--target-map') && !fs.existsSync(at('x.glb')));
  }
  // A map file completes what recognition cannot see: the robot's links named as a leg are still no human.
  fs.writeFileSync(at('robot.json'), JSON.stringify({ base: 'pelvis', shoulder: 'thigh_l' }));
  assert.throws(() => run('info', 'robot.glb', '--target-map', 'robot.json'), (e) => e.status !== 0 && /no joint plays/.test(e.stderr));
});

test('built-in skeletons of the families: named and built as the family, the limbs with the performer', async () => {
  const perf = performer();
  const names = {
    mixamo: { pelvis: 'Hips', head: 'Head', thigh: 'UpLeg', calf: 'Leg', foot: 'Foot', upperarm: 'Arm', lowerarm: 'ForeArm', hand: 'Hand' },
    humanoid: { pelvis: 'Hips', head: 'Head', thigh: 'UpperLeg', calf: 'LowerLeg', foot: 'Foot', upperarm: 'UpperArm', lowerarm: 'LowerArm', hand: 'Hand' },
  };
  for (const [family, table] of Object.entries(names)) {
    const prefix = family === 'mixamo' ? 'mixamorig:' : '';
    const node = (bone) => {
      const [, limb, s] = bone.match(/^(\w+?)(?:_(l|r))?$/);
      return prefix + (s ? (s === 'l' ? 'Left' : 'Right') : '') + table[limb];
    };
    run('retarget', walk, '--target', family, '-o', `walk-${family}.glb`);
    run('retarget', walk, '--target', family, '-o', `walk-${family}.bvh`);
    assert.deepEqual(await errors(at(`walk-${family}.glb`)), [], `walk-${family}.glb: validator errors`);
    // Mixamo's hierarchy: the arms below Spine2, the spine three bones; the humanoid's: Chest, UpperChest.
    const bvh = fs.readFileSync(at(`walk-${family}.bvh`), 'utf8');
    const joints = [...bvh.matchAll(/(?:ROOT|JOINT) (\S+)/g)].map((m) => m[1]);
    assert.equal(joints[0], `${prefix}Hips`);
    for (const bone of Object.keys(perf)) assert.ok(joints.includes(node(bone)), `${family}: no ${node(bone)}`);
    assert.ok(joints.includes(family === 'mixamo' ? 'mixamorig:Spine2' : 'UpperChest') && !joints.includes('pelvis'));
    // Read by three.js: its limbs point where the performer's do, from the BVH and from the glb alike.
    // (three.js binds no track to a name with a colon, which it reserves: the prefix is spelled without.)
    const fromBvh = C.bvhMotion(bvh.replaceAll('mixamorig:', 'mixamorig_'));
    const result = Object.fromEntries(Object.keys(perf).map((bone) => [bone, fromBvh[node(bone).replace(':', '_')]]));
    const fromGlb = await resultMotion(at(`walk-${family}.glb`), node);
    for (const m of [C.limbDirections(perf, result), C.limbDirections(perf, fromGlb)]) {
      for (const [limb, degrees] of Object.entries(m)) assert.ok(degrees <= 12, `--target ${family}: ${limb} ${degrees.toFixed(1)} deg off`);
    }
  }
});

test('VRM Animation: three.js\'s VRM loaders make a clip of it for the VRM, every bone it names there', async () => {
  const base = C.proportioned(fs.readFileSync(at('demo/demo.glb')));
  fs.writeFileSync(at('avatar.vrm'), F.vrm1(base));
  run('retarget', walk, '--character', 'avatar.vrm', '--format', 'vrma', '-o', 'walk.vrma');
  assert.deepEqual(await errors(at('walk.vrma')), [], 'validator errors');
  const load = (file, plugin) => {
    const loader = new GLTFLoader();
    loader.register((parser) => new plugin(parser));
    const bytes = fs.readFileSync(at(file));
    return new Promise((resolve, reject) => loader.parse(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength), '', resolve, reject));
  };
  const vrm = (await load('avatar.vrm', VRMLoaderPlugin)).userData.vrm;
  const animation = (await load('walk.vrma', VRMAnimationLoaderPlugin)).userData.vrmAnimations[0];
  assert.ok(vrm && animation, 'loaded');
  const clip = createVRMAnimationClip(animation, vrm);
  assert.ok(clip.tracks.length >= 20, `${clip.tracks.length} tracks`);
  assert.ok(Math.abs(clip.duration - animation.duration) < 1e-6 && clip.duration > 2.5, `${clip.duration} s`);
  for (const track of clip.tracks) {
    assert.ok(vrm.scene.getObjectByName(THREE.PropertyBinding.parseTrackName(track.name).nodeName), `${track.name} aims at no node`);
  }
  for (const bone of animation.humanoidTracks.rotation.keys()) assert.ok(vrm.humanoid.getNormalizedBoneNode(bone), bone);
  // Played on the VRM, the walk moves its feet.
  const mixer = new THREE.AnimationMixer(vrm.scene);
  mixer.clipAction(clip).play();
  const foot = vrm.humanoid.getRawBoneNode('leftFoot');
  const where = (t) => { mixer.setTime(t); vrm.update(0); vrm.scene.updateMatrixWorld(true); return foot.getWorldPosition(new THREE.Vector3()); };
  assert.ok(where(0.5).distanceTo(where(1.5)) > 0.3, 'the foot travels');
});
