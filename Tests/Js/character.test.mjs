// A character of one's own: a skinned, textured glb built here from the tool's own skeleton (bones
// renamed with a namespace prefix, two extra twist bones, legs 25% longer, arms 15% shorter), the
// CMU walk added to it. Read back by the Khronos validator, three.js and Blender; its feet measured.
// Environment: OXR_TOOL (the oxretarget program), OXR_DATA (Tests/Data), OXR_WORK (a scratch folder),
// OXR_BLENDER (optional: a Blender program).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';
import * as THREE from 'three';
import validator from 'gltf-validator';
import { readGlb, writeGlb, loadGlb } from './characters.mjs';

const tool = process.env.OXR_TOOL;
const data = process.env.OXR_DATA;
const work = process.env.OXR_WORK;
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });
const run = (...args) => execFileSync(tool, args, { cwd: work, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
const at = (file) => path.join(work, file);

// A 2 x 2 RGB PNG.
function png() {
  const table = Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c >>> 0;
  });
  const crc = (b) => { let c = 0xffffffff; for (const x of b) c = table[(c ^ x) & 0xff] ^ (c >>> 8); return (c ^ 0xffffffff) >>> 0; };
  const chunk = (type, body) => {
    const head = Buffer.alloc(4); head.writeUInt32BE(body.length);
    const tail = Buffer.alloc(4); tail.writeUInt32BE(crc(Buffer.concat([Buffer.from(type), body])));
    return Buffer.concat([head, Buffer.from(type), body, tail]);
  };
  const ihdr = Buffer.from([0, 0, 0, 2, 0, 0, 0, 2, 8, 2, 0, 0, 0]);
  const raw = Buffer.from([0, 200, 60, 40, 40, 60, 200, 0, 40, 200, 60, 230, 230, 230]);
  return Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), chunk('IHDR', ihdr), chunk('IDAT', zlib.deflateSync(raw)), chunk('IEND', Buffer.alloc(0))]);
}

// The tool's glb made into a character: its skeleton renamed, re-proportioned and given twist bones;
// beside the tool's own body mesh, a skinned box per bone with a textured material and a morph target.
function makeCharacter(toolGlb, { legs = 1.25, arms = 0.85, prefix = 'rig:' } = {}) {
  const { json, bin } = readGlb(toolGlb);
  const index = Object.fromEntries(json.nodes.map((n, i) => [n.name, i]));
  const scaleTranslation = (name, s) => { const n = json.nodes[index[name]]; n.translation = n.translation.map((v) => v * s); };
  for (const side of ['l', 'r']) {
    for (const bone of [`calf_${side}`, `foot_${side}`]) scaleTranslation(bone, legs);
    for (const bone of [`lowerarm_${side}`, `hand_${side}`]) scaleTranslation(bone, arms);
  }
  for (const [name, parent, child] of [['upperarm_twist_01_l', 'upperarm_l', 'lowerarm_l'], ['thigh_twist_01_r', 'thigh_r', 'calf_r']]) {
    json.nodes.push({ name, translation: json.nodes[index[child]].translation.map((v) => v / 2) });
    json.nodes[index[parent]].children.push(json.nodes.length - 1);
  }
  // World rest of every joint; the pelvis rises until the lowest joint is where it was.
  const world = () => {
    const objects = json.nodes.map((n) => {
      const o = new THREE.Object3D();
      if (n.translation) o.position.fromArray(n.translation);
      if (n.rotation) o.quaternion.fromArray(n.rotation);
      return o;
    });
    json.nodes.forEach((n, i) => (n.children ?? []).forEach((c) => objects[i].add(objects[c])));
    objects[0].updateMatrixWorld(true);
    return objects;
  };
  const lowest = () => Math.min(...world().map((o) => o.getWorldPosition(new THREE.Vector3()).y));
  const before = lowest();
  const pelvis = json.nodes[index.pelvis];
  const root = world()[0];
  pelvis.translation[1] += before - lowest();
  assert.ok(Math.abs(lowest() - before) < 1e-9 && root.quaternion.equals(new THREE.Quaternion()), 'pelvis lift');
  const joints = json.nodes.flatMap((n, i) => (n.mesh === undefined ? [i] : []));
  for (const j of joints) json.nodes[j].name = prefix + json.nodes[j].name;
  json.nodes[0].extras = { note: 'kept as written' };
  json.animations[0].name = 'idle';

  // One box per bone, from its joint to each child's, skinned to it.
  const objects = world();
  const positions = [], normals = [], uvs = [], skin = [], weights = [], indices = [], morph = [];
  json.nodes.forEach((n, i) => (n.children ?? []).forEach((c) => {
    const a = objects[i].getWorldPosition(new THREE.Vector3()), b = objects[c].getWorldPosition(new THREE.Vector3());
    const d = b.clone().sub(a);
    if (d.length() < 1e-4) return;
    const u = new THREE.Vector3(0, 1, 0).cross(d);
    if (u.length() < 1e-6 * d.length()) u.set(1, 0, 0).cross(d);
    u.setLength(0.02);
    const v = d.clone().cross(u).setLength(0.02);
    const first = positions.length / 3;
    for (const end of [a, b]) {
      for (const [su, sv] of [[-1, -1], [1, -1], [1, 1], [-1, 1]]) {
        const p = end.clone().addScaledVector(u, su).addScaledVector(v, sv);
        positions.push(p.x, p.y, p.z);
        const nrm = u.clone().multiplyScalar(su).add(v.clone().multiplyScalar(sv)).normalize();
        normals.push(nrm.x, nrm.y, nrm.z);
        uvs.push((su + 1) / 2, (sv + 1) / 2);
        skin.push(i, 0, 0, 0);
        weights.push(1, 0, 0, 0);
        morph.push(nrm.x * 0.01, nrm.y * 0.01, nrm.z * 0.01);
      }
    }
    for (const [p, q, r] of [[0, 1, 5], [0, 5, 4], [1, 2, 6], [1, 6, 5], [2, 3, 7], [2, 7, 6], [3, 0, 4], [3, 4, 7], [0, 3, 2], [0, 2, 1], [4, 5, 6], [4, 6, 7]]) {
      indices.push(first + p, first + q, first + r);
    }
  }));
  const inverseBind = [];
  for (const j of joints) inverseBind.push(...objects[j].matrixWorld.clone().invert().elements);

  let data = Buffer.from(bin);
  const addView = (bytes, target) => {
    data = Buffer.concat([data, Buffer.alloc((4 - (data.length % 4)) % 4)]);
    json.bufferViews.push({ buffer: 0, byteOffset: data.length, byteLength: bytes.length, ...(target ? { target } : {}) });
    data = Buffer.concat([data, bytes]);
    return json.bufferViews.length - 1;
  };
  const addAccessor = (array, componentType, type, count, target, minmax) => {
    const view = addView(Buffer.from(array.buffer), target);
    json.accessors.push({ bufferView: view, componentType, count, type, ...(minmax ?? {}) });
    return json.accessors.length - 1;
  };
  const bounds = (values) => {
    const min = [Infinity, Infinity, Infinity], max = [-Infinity, -Infinity, -Infinity];
    const f = Float32Array.from(values);
    for (let k = 0; k < f.length; ++k) { min[k % 3] = Math.min(min[k % 3], f[k]); max[k % 3] = Math.max(max[k % 3], f[k]); }
    return { min, max };
  };
  const count = positions.length / 3;
  const attributes = {
    POSITION: addAccessor(Float32Array.from(positions), 5126, 'VEC3', count, 34962, bounds(positions)),
    NORMAL: addAccessor(Float32Array.from(normals), 5126, 'VEC3', count, 34962),
    TEXCOORD_0: addAccessor(Float32Array.from(uvs), 5126, 'VEC2', count, 34962),
    JOINTS_0: addAccessor(Uint16Array.from(skin), 5123, 'VEC4', count, 34962),
    WEIGHTS_0: addAccessor(Float32Array.from(weights), 5126, 'VEC4', count, 34962),
  };
  const morphTarget = addAccessor(Float32Array.from(morph), 5126, 'VEC3', count, 34962, bounds(morph));
  const indexAccessor = addAccessor(Uint16Array.from(indices), 5123, 'SCALAR', indices.length, 34963);
  const ibm = addAccessor(Float32Array.from(inverseBind), 5126, 'MAT4', joints.length);
  const image = addView(png());
  json.materials ??= [];
  json.meshes ??= [];
  Object.assign(json, {
    images: [{ bufferView: image, mimeType: 'image/png' }],
    samplers: [{ magFilter: 9728, minFilter: 9728 }],
    textures: [{ sampler: 0, source: 0 }],
  });
  json.materials.push({ name: 'skin', pbrMetallicRoughness: { baseColorTexture: { index: 0 }, metallicFactor: 0 } });
  json.meshes.push({ name: 'boxes', primitives: [{ attributes, indices: indexAccessor, material: json.materials.length - 1, targets: [{ POSITION: morphTarget }] }], weights: [0], extras: { parts: 'boxes' } });
  json.skins.push({ name: 'boxes', joints, inverseBindMatrices: ibm, skeleton: 0 });
  json.nodes.push({ name: 'boxes', mesh: json.meshes.length - 1, skin: json.skins.length - 1 });
  json.scenes[0].nodes.push(json.nodes.length - 1);
  data = Buffer.concat([data, Buffer.alloc((4 - (data.length % 4)) % 4)]);
  json.buffers[0].byteLength = data.length;
  return writeGlb(json, data);
}

async function validate(file) {
  const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)));
  const messages = report.issues.messages.filter((m) => m.severity === 0).map((m) => `${m.code} ${m.pointer}: ${m.message}`);
  return { errors: report.issues.numErrors, messages };
}

// The CMU walk in centimetres (its unit is 1/0.45 inch).
function walkInCm() {
  const text = fs.readFileSync(path.join(data, 'cmu_02_01_walk.bvh'), 'utf8');
  const scale = 2.54 / 0.45;
  const [head, motion] = text.split(/Frame Time:[^\n]*\n/);
  const scaled = head.replace(/OFFSET([^\n]+)/g, (_, v) => `OFFSET ${v.trim().split(/\s+/).map((x) => Number(x) * scale).join(' ')}`);
  const frames = motion.trim().split('\n').map((line) => line.trim().split(/\s+/).map((v, i) => (i < 3 ? Number(v) * scale : v)).join(' '));
  fs.writeFileSync(at('walk.bvh'), `${scaled}Frame Time: ${text.match(/Frame Time:\s*(\S+)/)[1]}\n${frames.join('\n')}\n`);
}

const feet = (report) => JSON.parse(fs.readFileSync(at(report), 'utf8').trim().split('\n')[0]).feet;

test('a character of ones own: bytes kept, one animation added, read by three readers, feet planted', async () => {
  walkInCm();
  run('retarget', 'walk.bvh', '-o', 'tool.glb');
  fs.writeFileSync(at('character.glb'), makeCharacter(fs.readFileSync(at('tool.glb'))));
  assert.deepEqual(await validate(at('character.glb')), { errors: 0, messages: [] }, 'the character itself');

  run('retarget', 'walk.bvh', '--character', 'character.glb', '-o', 'walk.glb', '--report', 'auto.jsonl');
  run('retarget', 'walk.bvh', '--character', 'character.glb', '-o', 'walk-off.glb', '--contacts', 'off', '--report', 'off.jsonl');

  // Every byte and every object of the character is still there; one animation more.
  const before = readGlb(fs.readFileSync(at('character.glb')));
  const after = readGlb(fs.readFileSync(at('walk.glb')));
  assert.ok(after.bin.subarray(0, before.bin.length).equals(before.bin), 'the binary chunk starts with the character');
  for (const key of ['nodes', 'meshes', 'skins', 'materials', 'textures', 'images', 'samplers', 'scenes', 'asset']) {
    assert.deepEqual(after.json[key], before.json[key], key);
  }
  assert.deepEqual(after.json.accessors.slice(0, before.json.accessors.length), before.json.accessors);
  assert.deepEqual(after.json.bufferViews.slice(0, before.json.bufferViews.length), before.json.bufferViews);
  assert.equal(after.json.animations.length, before.json.animations.length + 1);
  assert.deepEqual(after.json.animations.slice(0, -1), before.json.animations);
  assert.equal(after.json.animations.at(-1).name, 'walk');
  assert.deepEqual(await validate(at('walk.glb')), { errors: 0, messages: [] }, 'the result');

  // three.js plays the new animation on the skinned mesh: the legs step, the twist bone follows.
  const gltf = await loadGlb(at('walk.glb'));
  const meshes = [];
  gltf.scene.traverse((o) => { if (o.isSkinnedMesh) meshes.push(o); });
  assert.equal(meshes.length, 2, 'the body and the boxes');
  const mesh = meshes.find((o) => o.name === 'boxes');
  assert.ok(mesh, 'a SkinnedMesh');
  assert.equal(mesh.skeleton.bones.length, 66);
  const clip = gltf.animations.find((a) => a.name === 'walk');
  const mixer = new THREE.AnimationMixer(gltf.scene);
  mixer.clipAction(clip).play();
  // three.js drops the ':' from node names.
  const bone = (name) => gltf.scene.getObjectByName(THREE.PropertyBinding.sanitizeNodeName(`rig:${name}`));
  const foot = bone('foot_l'), twist = bone('upperarm_twist_01_l'), elbow = bone('lowerarm_l');
  const sample = (t) => {
    mixer.setTime(t);
    gltf.scene.updateMatrixWorld(true);
    return [foot.getWorldPosition(new THREE.Vector3()), twist.getWorldPosition(new THREE.Vector3()), elbow.getWorldPosition(new THREE.Vector3())];
  };
  const [foot0] = sample(0.5);
  const [foot1, twist1, elbow1] = sample(1.5);
  assert.ok(foot0.distanceTo(foot1) > 0.3, 'the foot travels');
  const upper = bone('upperarm_l').getWorldPosition(new THREE.Vector3());
  assert.ok(twist1.distanceTo(upper.clone().lerp(elbow1, 0.5)) < 1e-4, 'the twist bone stays half way down the upper arm');
  const vertex = new THREE.Vector3();
  mesh.getVertexPosition(0, vertex);
  assert.ok(Number.isFinite(vertex.x), 'a skinned vertex');

  // Foot contact: the legs are 25% longer than the performer's.
  const auto = feet('auto.jsonl'), off = feet('off.jsonl');
  assert.equal(auto.source.contact_frames, auto.result.contact_frames);
  assert.ok(auto.source.contact_frames > 200, `${auto.source.contact_frames} contact frames`);
  const bound = auto.source.slide_cm_per_contact_frame * 1.25 + 0.3;
  assert.ok(auto.result.slide_cm_per_contact_frame <= bound, `slide ${auto.result.slide_cm_per_contact_frame} > ${bound}`);
  assert.ok(auto.result.worst_penetration_cm <= 0.5, `below the ground by ${auto.result.worst_penetration_cm} cm`);
  assert.ok(off.result.slide_cm_per_contact_frame > auto.result.slide_cm_per_contact_frame, 'contacts off slides more');

  // A second real clip, a run in a Daz conversion (no toe joints; short stances), its joints renamed to
  // the source skeleton's.
  const daz = { hip: 'Hips', abdomen: 'Spine', chest: 'Spine1', neck: 'Neck', head: 'Head' };
  for (const [s, side] of [['l', 'Left'], ['r', 'Right']]) {
    Object.assign(daz, { [`${s}Collar`]: `${side}Shoulder`, [`${s}Shldr`]: `${side}Arm`, [`${s}ForeArm`]: `${side}ForeArm`,
      [`${s}Hand`]: `${side}Hand`, [`${s}Thigh`]: `${side}UpLeg`, [`${s}Shin`]: `${side}Leg`, [`${s}Foot`]: `${side}Foot` });
  }
  const dazText = fs.readFileSync(path.join(data, 'daz_cmu_02_03.bvh'), 'utf8')
    .replace(/(ROOT|JOINT)(\s+)(\S+)/g, (_, kind, space, name) => `${kind}${space}${daz[name] ?? name}`);
  fs.writeFileSync(at('daz.bvh'), dazText);
  run('retarget', 'daz.bvh', '--character', 'character.glb', '-o', 'daz.glb', '--report', 'daz-auto.jsonl');
  run('retarget', 'daz.bvh', '--character', 'character.glb', '-o', 'daz-off.glb', '--contacts', 'off', '--report', 'daz-off.jsonl');
  // Leg length (thigh to ankle): the character's over this performer's.
  const offset = (joint) => Math.hypot(...dazText.match(new RegExp(`JOINT\\s+${joint}\\s*\\{\\s*OFFSET\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)`)).slice(1).map(Number));
  const node = (name) => Math.hypot(...before.json.nodes.find((n) => n.name === `rig:${name}`).translation);
  const ratio = (node('calf_l') + node('foot_l')) / ((offset('LeftLeg') + offset('LeftFoot')) / 100);
  const dazAuto = feet('daz-auto.jsonl'), dazOff = feet('daz-off.jsonl');
  assert.ok(dazAuto.source.contact_frames > 20, `${dazAuto.source.contact_frames} contact frames`);
  const dazBound = dazAuto.source.slide_cm_per_contact_frame * ratio + 0.3;
  assert.ok(dazAuto.result.slide_cm_per_contact_frame <= dazBound, `slide ${dazAuto.result.slide_cm_per_contact_frame} > ${dazBound}`);
  assert.ok(dazAuto.result.worst_penetration_cm <= 0.5, `below the ground by ${dazAuto.result.worst_penetration_cm} cm`);
  assert.ok(dazOff.result.slide_cm_per_contact_frame > dazAuto.result.slide_cm_per_contact_frame, 'contacts off slides more');

  // With the performer's own proportions the pass changes nothing: the files are the same.
  run('retarget', 'walk.bvh', '-o', 'own.glb');
  run('retarget', 'walk.bvh', '-o', 'own-off.glb', '--contacts', 'off');
  assert.ok(fs.readFileSync(at('own.glb')).equals(fs.readFileSync(at('own-off.glb'))), 'auto and off differ');

  // Joints whose names mean nothing: recognised from the structure alone.
  const stranger = readGlb(fs.readFileSync(at('character.glb')));
  stranger.json.nodes.forEach((n, i) => { n.name = `bone${i}`; });
  fs.writeFileSync(at('stranger.glb'), writeGlb(stranger.json, stranger.bin));
  run('retarget', 'walk.bvh', '--character', 'stranger.glb', '-o', 'stranger-walk.glb');
  assert.ok(readGlb(fs.readFileSync(at('stranger-walk.glb'))).json.animations.length > 0);

  // Blender imports it with the mesh bound to the armature and the walk among its actions.
  const blender = process.env.OXR_BLENDER;
  if (blender) {
    const script = at('check.py');
    fs.writeFileSync(script, [
      'import bpy, sys, numpy',
      "numpy.bool = getattr(numpy, 'bool', bool)  # Blender 3.4's importer still spells numpy's old alias",
      `bpy.ops.import_scene.gltf(filepath=${JSON.stringify(at('walk.glb'))})`,
      "mesh = [o for o in bpy.data.objects if o.type == 'MESH' and o.name.startswith('boxes')][0]",
      "arm = [m for m in mesh.modifiers if m.type == 'ARMATURE']",
      "ok = arm and arm[0].object is not None and len(arm[0].object.data.bones) >= 66 and len(mesh.vertex_groups) > 0",
      "ok = ok and any(a.name.startswith('walk') for a in bpy.data.actions)",
      "print('BOUND' if ok else 'UNBOUND', [a.name for a in bpy.data.actions])",
      'sys.stdout.flush()',
    ].join('\n'));
    const out = execFileSync(blender, ['-b', '--factory-startup', '--python', script], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
    assert.match(out, /BOUND \[/);
    assert.doesNotMatch(out, /UNBOUND/);
  }
});
