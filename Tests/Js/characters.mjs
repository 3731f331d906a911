// Test characters made from the tool's own glb (its skeleton and skinned body), and the body checks a
// retargeted result is held to. Shared by the tests that put captures on characters of other builds.
//
// Characters: proportioned (bone lengths scaled), aPosed (re-bound with the upper arms down and the
// thighs spread), rolled (every joint's local axes turned about its bone, the world shape kept).
// Each moves the joints' rest, the inverse bind matrices and, where the body's shape changes, the
// mesh's vertices with their bones. Checks: limb directions against the performer's, elbows and knees
// bending the anatomical way, balls on the performer's contact frames. rollBvh rewrites a capture with
// its joints' local axes rolled and the same world motion.
import fs from 'node:fs';
import * as THREE from 'three';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';
import { BVHLoader } from 'three/examples/jsm/loaders/BVHLoader.js';

export function readGlb(bytes) {
  const jsonLength = bytes.readUInt32LE(12);
  const json = JSON.parse(bytes.subarray(20, 20 + jsonLength).toString('utf8'));
  const binAt = 20 + jsonLength;
  const bin = binAt < bytes.length ? bytes.subarray(binAt + 8, binAt + 8 + bytes.readUInt32LE(binAt)) : Buffer.alloc(0);
  return { json, bin };
}

export function writeGlb(json, bin) {
  let text = Buffer.from(JSON.stringify(json));
  text = Buffer.concat([text, Buffer.alloc((4 - (text.length % 4)) % 4, 0x20)]);
  bin = Buffer.concat([bin, Buffer.alloc((4 - (bin.length % 4)) % 4)]);
  const header = Buffer.alloc(12);
  header.writeUInt32LE(0x46546c67, 0);
  header.writeUInt32LE(2, 4);
  header.writeUInt32LE(12 + 8 + text.length + 8 + bin.length, 8);
  const chunk = (length, type) => { const b = Buffer.alloc(8); b.writeUInt32LE(length, 0); b.writeUInt32LE(type, 4); return b; };
  return Buffer.concat([header, chunk(text.length, 0x4e4f534a), text, chunk(bin.length, 0x004e4942), bin]);
}

const kComponents = { SCALAR: 1, VEC2: 2, VEC3: 3, VEC4: 4, MAT4: 16 };
const kArrays = { 5126: Float32Array, 5125: Uint32Array, 5123: Uint16Array, 5121: Uint8Array };

// A typed array over an accessor's elements (tightly packed), sharing the bytes of `bin`.
function accessor(json, bin, index) {
  const a = json.accessors[index];
  const view = json.bufferViews[a.bufferView];
  const Type = kArrays[a.componentType];
  const n = kComponents[a.type];
  if (view.byteStride && view.byteStride !== n * Type.BYTES_PER_ELEMENT) throw new Error('interleaved accessor');
  const at = bin.byteOffset + (view.byteOffset ?? 0) + (a.byteOffset ?? 0);
  return new Type(bin.buffer, at, a.count * n);
}

const localMatrix = (node) => new THREE.Matrix4().compose(
  new THREE.Vector3().fromArray(node.translation ?? [0, 0, 0]),
  new THREE.Quaternion().fromArray(node.rotation ?? [0, 0, 0, 1]),
  new THREE.Vector3().fromArray(node.scale ?? [1, 1, 1]));

function parentsOf(json) {
  const parent = json.nodes.map(() => -1);
  json.nodes.forEach((n, i) => (n.children ?? []).forEach((c) => { parent[c] = i; }));
  return parent;
}

// World matrices of every node from their local matrices, parents first.
function worldMatrices(json, local) {
  const parent = parentsOf(json);
  const world = [];
  const visit = (i) => {
    if (world[i]) return world[i];
    world[i] = parent[i] < 0 ? local[i].clone() : visit(parent[i]).clone().multiply(local[i]);
    return world[i];
  };
  json.nodes.forEach((_, i) => visit(i));
  return world;
}

// The character's joints at their bind pose (from the inverse bind matrices), as world matrices by node.
export function bindPose(json, bin) {
  const skin = json.skins[0];
  const ibm = accessor(json, bin, skin.inverseBindMatrices);
  const world = worldMatrices(json, json.nodes.map(localMatrix));
  skin.joints.forEach((j, k) => { world[j] = new THREE.Matrix4().fromArray(ibm, 16 * k).invert(); });
  return world;
}

// Re-binds the character to new world matrices of its joints: node transforms, inverse bind matrices
// and (with moveMesh) each vertex moved as the joints it is skinned to moved. Animations are dropped:
// they were made for the old rest. Returns new glb bytes.
// `stretch` (node index -> factor) lengthens the mesh of a bone along it as its child joint moves.
function rebind(toolGlb, edit, { moveMesh = true, stretch = {} } = {}) {
  const { json, bin: original } = readGlb(toolGlb);
  const bin = Buffer.from(original);
  const before = bindPose(json, bin);
  const after = edit(json, before.map((m) => m.clone()));
  const parent = parentsOf(json);
  json.nodes.forEach((node, i) => {
    if (node.mesh !== undefined) return;
    const local = parent[i] < 0 ? after[i].clone() : after[parent[i]].clone().invert().multiply(after[i]);
    const t = new THREE.Vector3(), q = new THREE.Quaternion(), s = new THREE.Vector3();
    local.decompose(t, q, s);
    Object.assign(node, { translation: t.toArray(), rotation: q.normalize().toArray() });
    delete node.matrix;
    delete node.scale;
  });
  for (const skin of json.skins) {
    const ibm = accessor(json, bin, skin.inverseBindMatrices);
    skin.joints.forEach((j, k) => ibm.set(after[j].clone().invert().elements, 16 * k));
  }
  if (moveMesh) {
    const skin = json.skins[0];
    const moves = skin.joints.map((j) => {
      const along = new THREE.Matrix4();
      const child = (json.nodes[j].children ?? []).find((c) => json.nodes[c].mesh === undefined);
      if (stretch[j] !== undefined && child !== undefined) {
        const u = position(before[j].clone().invert().multiply(before[child])).normalize();
        const s = stretch[j] - 1;
        along.set(1 + s * u.x * u.x, s * u.x * u.y, s * u.x * u.z, 0, s * u.y * u.x, 1 + s * u.y * u.y, s * u.y * u.z, 0,
          s * u.z * u.x, s * u.z * u.y, 1 + s * u.z * u.z, 0, 0, 0, 0, 1);
      }
      return after[j].clone().multiply(along).multiply(before[j].clone().invert());
    });
    for (const mesh of json.meshes) {
      for (const primitive of mesh.primitives) {
        const { POSITION, NORMAL, JOINTS_0, WEIGHTS_0 } = primitive.attributes;
        const p = accessor(json, bin, POSITION), joints = accessor(json, bin, JOINTS_0), weights = accessor(json, bin, WEIGHTS_0);
        const nrm = NORMAL === undefined ? null : accessor(json, bin, NORMAL);
        const min = [Infinity, Infinity, Infinity], max = [-Infinity, -Infinity, -Infinity];
        for (let v = 0; v < p.length / 3; ++v) {
          const m = new THREE.Matrix4();
          m.elements.fill(0);  // the weighted sum of the moves, homogeneous row included
          for (let k = 0; k < 4; ++k) {
            const w = weights[4 * v + k];
            if (w) m.elements.forEach((_, e) => { m.elements[e] += w * moves[joints[4 * v + k]].elements[e]; });
          }
          const x = new THREE.Vector3().fromArray(p, 3 * v).applyMatrix4(m);
          p.set(x.toArray(), 3 * v);
          x.toArray().forEach((c, a) => { min[a] = Math.min(min[a], Math.fround(c)); max[a] = Math.max(max[a], Math.fround(c)); });
          if (nrm) nrm.set(new THREE.Vector3().fromArray(nrm, 3 * v).transformDirection(m).toArray(), 3 * v);
        }
        Object.assign(json.accessors[POSITION], { min, max });
      }
    }
  }
  delete json.animations;
  return writeGlb(json, bin);
}

const nodeIndex = (json) => Object.fromEntries(json.nodes.map((n, i) => [n.name, i]));
const position = (m) => new THREE.Vector3().setFromMatrixPosition(m);

// World matrices after replacing some joints' local matrices (by index), children following.
function relocal(json, world, changes) {
  const parent = parentsOf(json);
  const local = world.map((m, i) => (parent[i] < 0 ? m.clone() : world[parent[i]].clone().invert().multiply(m)));
  for (const [i, f] of changes) local[i] = f(local[i]);
  return worldMatrices(json, local);
}

// The joints raised or lowered (the pelvis, all with it) so the lowest joint stands where it stood.
function keepGround(json, before, after) {
  const low = (w) => Math.min(...json.skins[0].joints.map((j) => position(w[j]).y));
  const lift = low(before) - low(after);
  const pelvis = nodeIndex(json).pelvis;
  return relocal(json, after, [[pelvis, (m) => new THREE.Matrix4().makeTranslation(0, lift, 0).multiply(m)]]);
}

// (a) Thighs, shins and arms scaled: each bone's length is its child joint's distance.
export function proportioned(toolGlb, { thigh = 1.3, shin = 1.15, arm = 0.85 } = {}) {
  const at = nodeIndex(readGlb(toolGlb).json);
  const stretch = {};
  for (const side of ['l', 'r']) {
    Object.assign(stretch, { [at[`thigh_${side}`]]: thigh, [at[`calf_${side}`]]: shin });
    Object.assign(stretch, { [at[`upperarm_${side}`]]: arm, [at[`lowerarm_${side}`]]: arm });
  }
  return rebind(toolGlb, (json, world) => {
    const at = nodeIndex(json);
    const scaleOffset = (s) => (m) => { const t = position(m).multiplyScalar(s); return m.clone().setPosition(t); };
    const changes = [];
    for (const side of ['l', 'r']) {
      changes.push([at[`calf_${side}`], scaleOffset(thigh)], [at[`foot_${side}`], scaleOffset(shin)]);
      changes.push([at[`lowerarm_${side}`], scaleOffset(arm)], [at[`hand_${side}`], scaleOffset(arm)]);
    }
    return keepGround(json, world, relocal(json, world, changes));
  }, { stretch });
}

// (b) Bound in an A-pose: upper arms `arms` degrees down, thighs spread `legs` degrees, turned about
// the body's forward axis at their joints.
export function aPosed(toolGlb, { arms = 45, legs = 8 } = {}) {
  return rebind(toolGlb, (json, world) => {
    const at = nodeIndex(json);
    const parent = parentsOf(json);
    const turn = (bone, degrees) => [at[bone], (local) => {
      const p = world[parent[at[bone]]];
      const q = new THREE.Quaternion().setFromAxisAngle(new THREE.Vector3(0, 0, 1), THREE.MathUtils.degToRad(degrees));
      const pq = new THREE.Quaternion().setFromRotationMatrix(new THREE.Matrix4().extractRotation(p));
      const localTurn = pq.clone().invert().multiply(q).multiply(pq);
      return new THREE.Matrix4().makeRotationFromQuaternion(localTurn).setPosition(position(local)).multiply(
        new THREE.Matrix4().extractRotation(local));
    }];
    const changes = [turn('upperarm_l', -arms), turn('upperarm_r', arms), turn('thigh_l', legs), turn('thigh_r', -legs)];
    return keepGround(json, world, relocal(json, world, changes));
  });
}

// (c) Every joint's local axes rolled about its bone (toward its first child; a leaf continues its
// parent's bone) by its own angle, `degrees(index)`; joints stay where they are, the mesh as it is.
export function rolled(toolGlb, degrees = (i) => 23 + ((i * 67) % 311)) {
  return rebind(toolGlb, (json, world) => {
    const parent = parentsOf(json);
    return world.map((m, i) => {
      const node = json.nodes[i];
      if (node.mesh !== undefined || parent[i] < 0) return m;
      const child = (node.children ?? []).find((c) => json.nodes[c].mesh === undefined);
      const from = child === undefined ? position(world[parent[i]]) : position(m);
      const to = child === undefined ? position(m) : position(world[child]);
      const axis = to.sub(from).transformDirection(m.clone().invert());
      if (!(axis.length() > 0)) return m;
      return m.clone().multiply(new THREE.Matrix4().makeRotationAxis(axis.normalize(), THREE.MathUtils.degToRad(degrees(i))));
    });
  }, { moveMesh: false });
}

// Enough of a browser for GLTFLoader under Node.
globalThis.self ??= globalThis;
globalThis.createImageBitmap ??= async () => ({ width: 2, height: 2, close() {} });

export async function loadGlb(file) {
  const bytes = fs.readFileSync(file);
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  return new Promise((resolve, reject) => new GLTFLoader().parse(buffer, '', resolve, reject));
}

// World joint positions of a glb's animation, frame by frame: { name: [Vector3] } for the nodes
// whose names end with each of `names` (a namespace prefix allowed). `rest` holds the bind pose.
export async function glbMotion(file, names, clipName) {
  const gltf = await loadGlb(file);
  const clip = clipName ? gltf.animations.find((a) => a.name === clipName) : gltf.animations.at(-1);
  const found = Object.fromEntries(names.map((n) => {
    let node = null;
    gltf.scene.traverse((o) => { if (!node && o.isBone && (o.name === n || o.name.endsWith(n) && /[^a-z]$/i.test(o.name.slice(0, -n.length).slice(-1) || ':'))) node = o; });
    return [n, node];
  }));
  gltf.scene.updateMatrixWorld(true);
  const sample = () => Object.fromEntries(names.map((n) => [n, found[n] ? found[n].getWorldPosition(new THREE.Vector3()) : null]));
  let mesh = null;
  gltf.scene.traverse((o) => { if (o.isSkinnedMesh && !mesh) mesh = o; });
  const rest = {};
  if (mesh) {
    for (const n of names) {
      const k = mesh.skeleton.bones.indexOf(found[n]);
      rest[n] = k < 0 ? null : position(mesh.skeleton.boneInverses[k].clone().invert());
    }
  }
  const frames = clip.userData?.frame_count ?? null;
  const times = clip.tracks[0].times;
  const mixer = new THREE.AnimationMixer(gltf.scene);
  mixer.clipAction(clip).play();
  const out = Object.fromEntries(names.map((n) => [n, []]));
  for (let f = 0; f < (frames ?? times.length); ++f) {
    mixer.setTime(times[Math.min(f, times.length - 1)]);
    gltf.scene.updateMatrixWorld(true);
    const s = sample();
    for (const n of names) out[n].push(s[n]);
  }
  return { frames: out, rest };
}

// World joint positions of a BVH capture, frame by frame, { jointName: [Vector3] }, file axes and units.
// With `absolute`, position channels replace their joints' OFFSETs (the loader adds them).
export function bvhMotion(text, { absolute = false } = {}) {
  if (absolute) {
    text = text.replace(/OFFSET[^\n]*(\n\s*CHANNELS\s+6)/g, 'OFFSET 0 0 0$1');
  }
  const { skeleton, clip } = new BVHLoader().parse(text);
  const root = skeleton.bones[0];
  const mixer = new THREE.AnimationMixer(root);
  mixer.clipAction(clip).play();
  const frames = clip.tracks[0].times.length;
  const out = Object.fromEntries(skeleton.bones.map((b) => [b.name, []]));
  for (let f = 0; f < frames; ++f) {
    mixer.setTime(clip.tracks[0].times[f]);
    root.updateMatrixWorld(true);
    for (const b of skeleton.bones) out[b.name].push(b.getWorldPosition(new THREE.Vector3()));
  }
  return out;
}

const angle = (a, b) => THREE.MathUtils.radToDeg(a.angleTo(b));
const quantile = (values, q) => {
  const s = [...values].sort((x, y) => x - y);
  return s.length ? s[Math.min(s.length - 1, Math.floor(q * s.length))] : 0;
};
const dir = (m, a, b, f) => m[b][f].clone().sub(m[a][f]);

// The limbs checked, as (from, to) target bones.
export const kLimbs = [['thigh_l', 'calf_l'], ['calf_l', 'foot_l'], ['thigh_r', 'calf_r'], ['calf_r', 'foot_r'],
  ['upperarm_l', 'lowerarm_l'], ['lowerarm_l', 'hand_l'], ['upperarm_r', 'lowerarm_r'], ['lowerarm_r', 'hand_r'],
  ['pelvis', 'head']];

// Each limb's angle to the performer's (degrees) at the quantile `q` over the frames: `performer` and
// `result` map target bone names to positions per frame, `up` turns the performer's into +Y up.
export function limbDirections(performer, result, { q = 0.95, up = new THREE.Quaternion() } = {}) {
  const frames = Math.min(performer.pelvis.length, result.pelvis.length);
  return Object.fromEntries(kLimbs.filter(([a, b]) => performer[a] && performer[b]).map(([a, b]) => {
    const angles = [];
    for (let f = 0; f < frames; ++f) angles.push(angle(dir(performer, a, b, f).applyQuaternion(up), dir(result, a, b, f)));
    return [`${a}->${b}`, quantile(angles, q)];
  }));
}

// How far (degrees, median over the frames where the joint bends more than `bent` degrees) each elbow
// and knee of a skinned result bends from the anatomical way: the lower bone should swing toward the
// front of the upper bone (elbows, +Z at the bind pose) or its back (knees, -Z), carried by the upper
// bone's rotation from the bind pose. `gltf` is a loaded result, `clip` its animation; `names` gives the
// node that plays a target bone (its own name by default).
export function bendWays(gltf, clip, { bent = 25, names = (n) => n } = {}) {
  let mesh = null;
  gltf.scene.traverse((o) => { if (o.isSkinnedMesh && !mesh) mesh = o; });
  const bones = mesh.skeleton.bones;
  const find = (bone) => {
    const n = THREE.PropertyBinding.sanitizeNodeName(names(bone));
    return bones.find((b) => b.name === n) ?? bones.find((b) => b.name.endsWith(n));
  };
  const bindRotation = (bone) => new THREE.Quaternion().setFromRotationMatrix(
    new THREE.Matrix4().extractRotation(mesh.skeleton.boneInverses[bones.indexOf(bone)].clone().invert()));
  const joints = [['upperarm_l', 'lowerarm_l', 'hand_l', 1], ['upperarm_r', 'lowerarm_r', 'hand_r', 1],
    ['thigh_l', 'calf_l', 'foot_l', -1], ['thigh_r', 'calf_r', 'foot_r', -1]];
  const mixer = new THREE.AnimationMixer(gltf.scene);
  mixer.clipAction(clip).play();
  const times = clip.tracks[0].times;
  const misses = Object.fromEntries(joints.map(([, b]) => [b, []]));
  for (const t of times) {
    mixer.setTime(t);
    gltf.scene.updateMatrixWorld(true);
    for (const [a, b, c, front] of joints) {
      const [A, B, C] = [a, b, c].map(find);
      const pa = A.getWorldPosition(new THREE.Vector3()), pb = B.getWorldPosition(new THREE.Vector3()), pc = C.getWorldPosition(new THREE.Vector3());
      const upper = pb.clone().sub(pa).normalize(), lower = pc.clone().sub(pb).normalize();
      if (angle(upper, lower) <= bent) continue;
      const carried = new THREE.Quaternion();
      A.getWorldQuaternion(carried).multiply(bindRotation(A).invert());
      const expected = new THREE.Vector3(0, 0, front).applyQuaternion(carried);
      const across = (v) => v.clone().addScaledVector(upper, -v.dot(upper));
      misses[b].push(angle(across(lower), across(expected)));
    }
  }
  return Object.fromEntries(Object.entries(misses).map(([b, m]) => [b, { frames: m.length, median: quantile(m, 0.5) }]));
}

// Ball heights on the performer's contact frames (its toe within 1% of the body height of its floor,
// the 5th percentile of its height, and slower than half a body height per second): the result's ball above its rest minus the
// performer's toe above its lowest, in body heights (each side's own); `feet` names other joints (the
// ankles of a capture without toes). Returns the list of differences.
export function ballHeights(performer, result, { frameTime, performerHeight, resultHeight, resultRest, feet = ['ball_l', 'ball_r'], up = new THREE.Quaternion() }) {
  const diffs = [];
  for (const [toe, ball] of feet.map((b) => [b, b])) {
    const p = performer[toe].map((v) => v.clone().applyQuaternion(up));
    const low = quantile(p.map((v) => v.y), 0.05);  // a calibration frame or a glitch aside
    const frames = Math.min(p.length, result[ball].length);
    for (let f = 1; f < frames; ++f) {
      const speed = Math.hypot(p[f].x - p[f - 1].x, p[f].z - p[f - 1].z) / frameTime;
      if (p[f].y - low > 0.01 * performerHeight || speed > 0.5 * performerHeight) continue;
      diffs.push((result[ball][f].y - resultRest[ball].y) / resultHeight - (p[f].y - low) / performerHeight);
    }
  }
  return diffs;
}

// A BVH capture with every joint's local axes rolled by `degrees(index)` about its bone (toward its
// first child), OFFSETs and rotations rewritten so that the world motion is the same.
export function rollBvh(text, degrees = (i) => 31 + ((i * 53) % 277)) {
  return turnBvh(text, (joints, turns) => joints.map((j, i) => {
    if (!turns(j) || j.children.some((c) => !turns(joints[c]))) return new THREE.Quaternion();
    const to = j.children.length ? joints[j.children[0]].offset : j.ends[0]?.offset;
    if (!to || to.length() === 0) return new THREE.Quaternion();
    return new THREE.Quaternion().setFromAxisAngle(to.clone().normalize(), THREE.MathUtils.degToRad(degrees(i)));
  }));
}

// The same capture with its zero pose lying along +X (up turned onto +X) and every joint given six
// channels (positions that repeat the OFFSETs): the world motion is the same, its frames stand upright.
export function lyingBvh(text) {
  const lie = new THREE.Quaternion().setFromAxisAngle(new THREE.Vector3(0, 0, 1), -Math.PI / 2).invert();
  return turnBvh(text, (joints) => joints.map(() => lie.clone()), { sixChannels: true });
}

// Turns each joint's local axes by rolls(joints, turns)[i] (its frame' = frame x roll), OFFSETs and
// rotations rewritten so that the world motion is the same; with sixChannels, every joint positioned.
function turnBvh(text, rolls, { sixChannels = false } = {}) {
  const [head, motion] = text.split(/MOTION\s*\n/);
  const lines = head.split('\n');
  const joints = [];
  const stack = [];  // { joint } or { endOf }
  let pending = null;
  lines.forEach((line, n) => {
    const words = line.trim().split(/\s+/);
    const top = stack.at(-1);
    if (words[0] === 'ROOT' || words[0] === 'JOINT') pending = { joint: { name: words[1], parent: top ? top.joint : -1, children: [], ends: [] } };
    else if (words[0] === 'End') pending = { endOf: top.joint };
    else if (words[0] === '{') {
      if (pending.joint) {
        joints.push(pending.joint);
        const i = joints.length - 1;
        if (pending.joint.parent >= 0) joints[pending.joint.parent].children.push(i);
        stack.push({ joint: i });
      } else stack.push(pending);
      pending = null;
    } else if (words[0] === '}') stack.pop();
    else if (words[0] === 'OFFSET') {
      const v = new THREE.Vector3(...words.slice(1, 4).map(Number));
      if (top.joint !== undefined) Object.assign(joints[top.joint], { offset: v, offsetLine: n });
      else joints[top.endOf].ends.push({ offset: v, line: n });
    } else if (words[0] === 'CHANNELS') Object.assign(joints[top.joint], { channels: words.slice(2), channelLine: n });
  });
  const turns = (j) => (j.channels ?? []).filter((c) => /rotation$/i.test(c)).length === 3;
  const roll = rolls(joints, turns);
  const inv = roll.map((q) => q.clone().invert());
  joints.forEach((j, i) => {
    if (j.parent >= 0) j.newOffset = j.offset.clone().applyQuaternion(inv[j.parent]);
    for (const e of j.ends) e.newOffset = e.offset.clone().applyQuaternion(inv[i]);
  });
  const fmt = (v) => v.toArray().map((x) => x.toFixed(6)).join(' ');
  for (const j of joints) if (j.newOffset) lines[j.offsetLine] = lines[j.offsetLine].replace(/OFFSET.*/, `OFFSET ${fmt(j.newOffset)}`);
  for (const j of joints) for (const e of j.ends) lines[e.line] = lines[e.line].replace(/OFFSET.*/, `OFFSET ${fmt(e.newOffset)}`);
  const added = joints.map((j) => sixChannels && j.channels && !j.channels.some((c) => /position$/i.test(c)));
  lines.forEach((line, n) => {
    const j = joints.find((x) => x.channelLine === n);
    if (j && added[joints.indexOf(j)]) lines[n] = line.replace(/CHANNELS.*/, `CHANNELS ${j.channels.length + 3} Xposition Yposition Zposition ${j.channels.join(' ')}`);
  });
  // Frames: local' = roll(parent)^-1 * local * roll(self); positions' = roll(parent)^-1 * position.
  const [counts, ...rows] = motion.trim().split('\n');
  const frameTime = rows.shift();
  const out = rows.map((row) => {
    const v = row.trim().split(/\s+/).map(Number);
    let at = 0;
    for (const [i, j] of joints.entries()) {
      const ch = j.channels ?? [];
      const rot = ch.map((c, k) => [c.toLowerCase(), at + k]).filter(([c]) => c.endsWith('rotation'));
      const pos = ch.map((c, k) => [c.toLowerCase(), at + k]).filter(([c]) => c.endsWith('position'));
      let q = new THREE.Quaternion();
      for (const [c, k] of rot) q.multiply(new THREE.Quaternion().setFromAxisAngle(new THREE.Vector3(c[0] === 'x' ? 1 : 0, c[0] === 'y' ? 1 : 0, c[0] === 'z' ? 1 : 0), THREE.MathUtils.degToRad(v[k])));
      if (rot.length === 3) {
        const p = j.parent >= 0 ? inv[j.parent] : new THREE.Quaternion();
        q = p.clone().multiply(q).multiply(roll[i]);
        const e = new THREE.Euler().setFromQuaternion(q, rot.map(([c]) => c[0].toUpperCase()).join(''));
        rot.forEach(([c], n) => { v[rot[n][1]] = THREE.MathUtils.radToDeg(e[c[0]]); });
      }
      if (pos.length === 3 && j.parent >= 0) {
        const p = new THREE.Vector3(...pos.map(([, k]) => v[k])).applyQuaternion(inv[j.parent]);
        pos.forEach(([c], n) => { v[pos[n][1]] = p[c[0]]; });
      }
      at += ch.length;
    }
    const values = [];
    at = 0;
    for (const [i, j] of joints.entries()) {
      if (added[i]) values.push(...(j.newOffset ?? j.offset).toArray());
      const n = (j.channels ?? []).length;
      values.push(...v.slice(at, at + n));
      at += n;
    }
    return values.map((x) => x.toFixed(6)).join(' ');
  });
  return `${lines.join('\n')}MOTION\n${counts}\n${frameTime}\n${out.join('\n')}\n`;
}
