// Characters of the common rig families, made from the tool's own glb (its skeleton and skinned body
// mesh): bones renamed into a family's names, bones the family lacks taken out (their children and skin
// weights go to the parent), a scaled armature above the root, decoy chains the skin does not use, a VRM
// 1.0 humanoid map over meaningless node names; and two skeletons that are not human.
import * as THREE from 'three';

export function readGlb(bytes) {
  const jsonLength = bytes.readUInt32LE(12);
  const json = JSON.parse(bytes.subarray(20, 20 + jsonLength).toString('utf8'));
  const binAt = 20 + jsonLength;
  const bin = binAt < bytes.length ? bytes.subarray(binAt + 8, binAt + 8 + bytes.readUInt32LE(binAt)) : Buffer.alloc(0);
  return { json, bin: Buffer.from(bin) };
}

export { writeGlb } from './characters.mjs';
import { writeGlb } from './characters.mjs';

const local = (n) => {
  const m = new THREE.Matrix4();
  if (n.matrix) return m.fromArray(n.matrix);
  return m.compose(new THREE.Vector3().fromArray(n.translation ?? [0, 0, 0]), new THREE.Quaternion().fromArray(n.rotation ?? [0, 0, 0, 1]),
    new THREE.Vector3().fromArray(n.scale ?? [1, 1, 1]));
};
const setLocal = (n, m) => {
  const t = new THREE.Vector3(), q = new THREE.Quaternion(), s = new THREE.Vector3();
  m.decompose(t, q, s);
  delete n.matrix;
  n.translation = t.toArray();
  n.rotation = q.toArray();
  if (Math.abs(s.x - 1) + Math.abs(s.y - 1) + Math.abs(s.z - 1) > 1e-9) n.scale = s.toArray(); else delete n.scale;
};

// Appends bytes to the binary chunk as a new accessor.
function addAccessor(glb, array, componentType, type, count) {
  const { json } = glb;
  glb.bin = Buffer.concat([glb.bin, Buffer.alloc((4 - (glb.bin.length % 4)) % 4)]);
  const bytes = Buffer.from(array.buffer, array.byteOffset, array.byteLength);
  json.bufferViews.push({ buffer: 0, byteOffset: glb.bin.length, byteLength: bytes.length });
  glb.bin = Buffer.concat([glb.bin, bytes]);
  json.buffers[0].byteLength = glb.bin.length;
  json.accessors.push({ bufferView: json.bufferViews.length - 1, componentType, count, type });
  return json.accessors.length - 1;
}

function accessorValues(glb, index) {
  const a = glb.json.accessors[index], v = glb.json.bufferViews[a.bufferView];
  const width = { SCALAR: 1, VEC2: 2, VEC3: 3, VEC4: 4, MAT4: 16 }[a.type];
  const Type = { 5121: Uint8Array, 5123: Uint16Array, 5125: Uint32Array, 5126: Float32Array }[a.componentType];
  const start = (v.byteOffset ?? 0) + (a.byteOffset ?? 0);
  return Type.from(new Type(glb.bin.buffer.slice(glb.bin.byteOffset + start, glb.bin.byteOffset + start + a.count * width * Type.BYTES_PER_ELEMENT)));
}

// Takes nodes out of the skeleton: children go to the parent (world pose kept), the skin's weights on
// them go to the parent joint, node indices close up.
export function removeNodes(glb, names) {
  const { json } = glb;
  const parent = new Map();
  json.nodes.forEach((n, i) => (n.children ?? []).forEach((c) => parent.set(c, i)));
  const gone = new Set(json.nodes.flatMap((n, i) => (names.includes(n.name) ? [i] : [])));
  for (const i of gone) {
    const p = parent.get(i), n = json.nodes[i];
    for (const c of n.children ?? []) {
      setLocal(json.nodes[c], local(n).multiply(local(json.nodes[c])));
      parent.set(c, p);
    }
    const siblings = p === undefined ? json.scenes[0].nodes : json.nodes[p].children;
    siblings.splice(siblings.indexOf(i), 1, ...(n.children ?? []));
  }
  const skin = json.skins[0];
  const keep = skin.joints.map((j) => !gone.has(j));
  const slot = new Map(skin.joints.map((j, k) => [j, k]));
  const survivor = (j) => { while (gone.has(j) && parent.has(j)) j = parent.get(j); return j; };
  const newSlot = [];
  let next = 0;
  skin.joints.forEach((j, k) => { newSlot[k] = keep[k] ? next++ : -1; });
  const ibm = accessorValues(glb, skin.inverseBindMatrices);
  skin.inverseBindMatrices = addAccessor(glb, Float32Array.from(ibm.filter((_, e) => keep[Math.floor(e / 16)])), 5126, 'MAT4', next);
  for (const mesh of json.meshes) {
    for (const primitive of mesh.primitives) {
      if (primitive.attributes.JOINTS_0 === undefined) continue;
      const joints = accessorValues(glb, primitive.attributes.JOINTS_0);
      // A slot no vertex weighs on may name the removed root: it names the first joint instead.
      const moved = Uint16Array.from(joints, (k) => Math.max(0, newSlot[slot.get(survivor(skin.joints[k]))]));
      const a = addAccessor(glb, moved, 5123, 'VEC4', moved.length / 4);
      primitive.attributes.JOINTS_0 = a;
    }
  }
  skin.joints = skin.joints.filter((_, k) => keep[k]);
  const index = [];
  let at = 0;
  json.nodes.forEach((_, i) => { index[i] = gone.has(i) ? -1 : at++; });
  json.nodes = json.nodes.filter((_, i) => !gone.has(i));
  for (const n of json.nodes) {
    if (n.children) n.children = n.children.map((c) => index[c]);
    if (n.children?.length === 0) delete n.children;
  }
  skin.joints = skin.joints.map((j) => index[j]);
  if (skin.skeleton !== undefined && gone.has(skin.skeleton)) delete skin.skeleton;
  else if (skin.skeleton !== undefined) skin.skeleton = index[skin.skeleton];
  for (const scene of json.scenes) scene.nodes = scene.nodes.map((c) => index[c]);
  json.animations = [];
  return glb;
}

// Mannequin bone -> family name; bones a family lacks are left out (null).
export function familyNames(family) {
  const map = { root: null, spine_02: null, spine_04: null, neck_02: null };
  const digits = ['thumb', 'index', 'middle', 'ring', 'pinky'];
  for (const [s, Side] of [['l', 'Left'], ['r', 'Right']]) {
    for (const d of digits) map[`${d}_metacarpal_${s}`] = null;
    const limb = (names) => Object.assign(map, Object.fromEntries(Object.entries(names).map(([k, v]) => [`${k}_${s}`, v])));
    const fingers = (name) => digits.forEach((d) => [1, 2, 3].forEach((k) => { map[`${d}_0${k}_${s}`] = name(d, k); }));
    if (family === 'mixamo') {
      limb({ clavicle: `${Side}Shoulder`, upperarm: `${Side}Arm`, lowerarm: `${Side}ForeArm`, hand: `${Side}Hand`,
        thigh: `${Side}UpLeg`, calf: `${Side}Leg`, foot: `${Side}Foot`, ball: `${Side}ToeBase` });
      fingers((d, k) => `${Side}Hand${d[0].toUpperCase()}${d.slice(1)}${k}`);
    } else if (family === 'humanoid') {
      limb({ clavicle: `${Side}Shoulder`, upperarm: `${Side}UpperArm`, lowerarm: `${Side}LowerArm`, hand: `${Side}Hand`,
        thigh: `${Side}UpperLeg`, calf: `${Side}LowerLeg`, foot: `${Side}Foot`, ball: `${Side}Toes` });
      const f = { thumb: 'Thumb', index: 'Index', middle: 'Middle', ring: 'Ring', pinky: 'Little' };
      const thumb = ['Metacarpal', 'Proximal', 'Distal'], other = ['Proximal', 'Intermediate', 'Distal'];
      fingers((d, k) => `${Side}${f[d]}${(d === 'thumb' ? thumb : other)[k - 1]}`);
    } else if (family === 'rigify') {
      const S = s.toUpperCase();
      limb({ clavicle: `DEF-shoulder.${S}`, upperarm: `DEF-upper_arm.${S}`, lowerarm: `DEF-forearm.${S}`, hand: `DEF-hand.${S}`,
        thigh: `DEF-thigh.${S}`, calf: `DEF-shin.${S}`, foot: `DEF-foot.${S}`, ball: `DEF-toe.${S}` });
      fingers((d, k) => `DEF-${d === 'thumb' ? 'thumb' : `f_${d}`}.0${k}.${S}`);
    } else if (family === 'ue-dot') {
      delete map.root; delete map.spine_02; delete map.spine_04; delete map.neck_02;
      for (const bone of ['clavicle', 'upperarm', 'lowerarm', 'hand', 'thigh', 'calf', 'foot', 'ball']) map[`${bone}_${s}`] = `${bone}.${s}`;
      for (const d of digits) delete map[`${d}_metacarpal_${s}`];
      fingers((d, k) => `${d}_0${k}.${s}`);
    }
  }
  const centre = {
    mixamo: ['Hips', 'Spine', 'Spine1', 'Spine2', 'Neck', 'Head'],
    humanoid: ['Hips', 'Spine', 'Chest', 'UpperChest', 'Neck', 'Head'],
    rigify: ['DEF-spine', 'DEF-spine.001', 'DEF-spine.002', 'DEF-spine.003', 'DEF-spine.004', 'DEF-spine.006'],
  }[family];
  if (centre) ['pelvis', 'spine_01', 'spine_03', 'spine_05', 'neck_01', 'head'].forEach((b, k) => { map[b] = centre[k]; });
  return map;
}

// The tool's glb renamed into a family: 'mixamo' (mixamorig: prefix, an armature scaled 0.01),
// 'humanoid' (Unity and Godot), 'rigify' (DEF- bones, DEF-spine the hips), 'ue-dot' (thigh.l); `drop`
// takes out more of the mannequin's bones (a body with fewer).
export function family(toolGlb, name, drop = []) {
  const glb = readGlb(toolGlb);
  const names = { ...familyNames(name), ...Object.fromEntries(drop.map((b) => [b, null])) };
  removeNodes(glb, Object.keys(names).filter((k) => names[k] === null));
  const prefix = name === 'mixamo' ? 'mixamorig:' : '';
  for (const n of glb.json.nodes) if (n.mesh === undefined && names[n.name]) n.name = prefix + names[n.name];
  if (name === 'mixamo') {
    // Centimetres under an armature scaled 0.01, as exported from a package in centimetres.
    const top = glb.json.scenes[0].nodes.find((i) => glb.json.nodes[i].mesh === undefined);
    const scaleDown = (i) => { const n = glb.json.nodes[i]; if (n.translation) n.translation = n.translation.map((v) => v * 100); (n.children ?? []).forEach(scaleDown); };
    scaleDown(top);
    glb.json.nodes.push({ name: 'Armature', scale: [0.01, 0.01, 0.01], children: [top] });
    glb.json.scenes[0].nodes = glb.json.scenes[0].nodes.map((i) => (i === top ? glb.json.nodes.length - 1 : i));
    // The mesh stays in metres, so each inverse bind matrix maps metres to its joint's centimetres
    // (scaled 100 on the left), as such files bind it.
    const skin = glb.json.skins[0];
    const ibm = accessorValues(glb, skin.inverseBindMatrices).map((v, e) => (e % 4 === 3 ? v : 100 * v));
    skin.inverseBindMatrices = addAccessor(glb, Float32Array.from(ibm), 5126, 'MAT4', skin.joints.length);
  }
  return writeGlb(glb.json, glb.bin);
}

// A copy of each leg's chain beside it, as an IK rig's: skin joints no vertex weighs on. `node` names
// the node that plays a mannequin bone.
export function withDecoys(glbBytes, node = (n) => n) {
  const glb = readGlb(glbBytes);
  const { json } = glb;
  const byName = (name) => json.nodes.findIndex((n) => n.name === node(name));
  const skin = json.skins[0];
  const ibm = Array.from(accessorValues(glb, skin.inverseBindMatrices));
  for (const s of ['l', 'r']) {
    let parent = byName('pelvis');
    for (const bone of [`thigh_${s}`, `calf_${s}`, `foot_${s}`]) {
      const source = json.nodes[byName(bone)];
      json.nodes.push({ name: `${node(bone)}.copy`, translation: source.translation, rotation: source.rotation });
      (json.nodes[parent].children ??= []).push(json.nodes.length - 1);
      ibm.push(...ibm.slice(skin.joints.indexOf(byName(bone)) * 16, skin.joints.indexOf(byName(bone)) * 16 + 16));
      skin.joints.push(json.nodes.length - 1);
      parent = json.nodes.length - 1;
    }
  }
  skin.inverseBindMatrices = addAccessor(glb, Float32Array.from(ibm), 5126, 'MAT4', skin.joints.length);
  return writeGlb(json, glb.bin);
}

// A VRM 1.0 character: the humanoid family's skeleton with every node named "n<index>", the bone map in
// the VRMC_vrm extension.
export function vrm1(toolGlb) {
  const glb = readGlb(family(toolGlb, 'humanoid'));
  const { json } = glb;
  const humanBones = {};
  json.nodes.forEach((n, i) => {
    if (n.mesh !== undefined) return;
    if (n.name !== 'root') humanBones[n.name[0].toLowerCase() + n.name.slice(1)] = { node: i };
    n.name = `n${i}`;
  });
  json.extensionsUsed = [...(json.extensionsUsed ?? []), 'VRMC_vrm'];
  json.extensions = { VRMC_vrm: { specVersion: '1.0', meta: { name: 'test', version: '1', authors: ['tests'],
    licenseUrl: 'https://vrm.dev/licenses/1.0/', avatarPermission: 'onlyAuthor', commercialUsage: 'personalNonProfit',
    creditNotation: 'required', allowRedistribution: false, modification: 'prohibited' }, humanoid: { humanBones } } };
  return writeGlb(json, glb.bin);
}

// Every node named "j<index>": nothing in the names says what a joint is. Returns the bytes and the
// mannequin bone -> node name map.
export function nameless(toolGlb) {
  const glb = readGlb(toolGlb);
  const names = {};
  glb.json.nodes.forEach((n, i) => { names[n.name] = `j${i}`; n.name = `j${i}`; });
  return { bytes: writeGlb(glb.json, glb.bin), names };
}

// A skinned skeleton of named joints from a list of [name, parent, position], one triangle per joint.
function skeletonGlb(joints) {
  const nodes = joints.map(([name, parent, p], i) => {
    const up = parent === null ? [0, 0, 0] : joints.find((j) => j[0] === parent)[2];
    return { name, translation: p.map((v, k) => v - up[k]), children: joints.flatMap((j, k) => (j[1] === name ? [k] : [])) };
  });
  for (const n of nodes) if (n.children.length === 0) delete n.children;
  const positions = [], skin = [], weights = [], ibm = [];
  joints.forEach(([, , p], i) => {
    positions.push(p[0], p[1], p[2], p[0] + 0.02, p[1], p[2], p[0], p[1] + 0.02, p[2]);
    for (let k = 0; k < 3; ++k) { skin.push(i, 0, 0, 0); weights.push(1, 0, 0, 0); }
    ibm.push(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -p[0], -p[1], -p[2], 1);
  });
  const glb = { json: { asset: { version: '2.0' }, buffers: [{ byteLength: 0 }], bufferViews: [], accessors: [], nodes }, bin: Buffer.alloc(0) };
  const min = [0, 1, 2].map((k) => Math.min(...positions.filter((_, e) => e % 3 === k)));
  const max = [0, 1, 2].map((k) => Math.max(...positions.filter((_, e) => e % 3 === k)));
  const position = addAccessor(glb, Float32Array.from(positions), 5126, 'VEC3', positions.length / 3);
  Object.assign(glb.json.accessors[position], { min, max });
  const attributes = { POSITION: position, JOINTS_0: addAccessor(glb, Uint16Array.from(skin), 5123, 'VEC4', skin.length / 4),
    WEIGHTS_0: addAccessor(glb, Float32Array.from(weights), 5126, 'VEC4', weights.length / 4) };
  glb.json.meshes = [{ primitives: [{ attributes }] }];
  glb.json.skins = [{ joints: joints.map((_, i) => i), inverseBindMatrices: addAccessor(glb, Float32Array.from(ibm), 5126, 'MAT4', joints.length) }];
  glb.json.nodes.push({ name: 'mesh', mesh: 0, skin: 0 });
  glb.json.scenes = [{ nodes: [0, glb.json.nodes.length - 1] }];
  glb.json.scene = 0;
  return writeGlb(glb.json, glb.bin);
}

// A dog: a horizontal spine, a head in front, front legs named like arms, hind legs like legs.
export function quadruped() {
  const j = [['Hips', null, [0, 0.6, -0.4]], ['Spine', 'Hips', [0, 0.62, 0]], ['Chest', 'Spine', [0, 0.64, 0.4]],
    ['Neck', 'Chest', [0, 0.75, 0.55]], ['Head', 'Neck', [0, 0.85, 0.7]]];
  for (const [s, x] of [['Left', 0.12], ['Right', -0.12]]) {
    j.push([`${s}UpperArm`, 'Chest', [x, 0.55, 0.4]], [`${s}ForeArm`, `${s}UpperArm`, [x, 0.3, 0.42]], [`${s}Hand`, `${s}ForeArm`, [x, 0.05, 0.42]],
      [`${s}UpLeg`, 'Hips', [x, 0.55, -0.4]], [`${s}Leg`, `${s}UpLeg`, [x, 0.3, -0.45]], [`${s}Foot`, `${s}Leg`, [x, 0.05, -0.42]]);
  }
  return skeletonGlb(j);
}

// An industrial robot arm: a base and six links.
export function robotArm() {
  const names = ['base', 'shoulder', 'upper_arm', 'elbow', 'forearm', 'wrist', 'flange'];
  return skeletonGlb(names.map((n, i) => [n, i === 0 ? null : names[i - 1], [0.1 * (i % 2), 0.3 * i, 0]]));
}
