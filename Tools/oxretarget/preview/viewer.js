// Plays a clip's source (left half) and target (right half) with one timeline and one camera.
// OXR_CLIP = {title, frameTime, frames, source, target}; each figure is {joints: [name], parents:
// [index, -1 at a root], positions: base64 of little-endian float32, frames x joints x 3, metres,
// +Y up, facing +Z}. OXR_CHARACTER, when not null, is the character with the result as its last
// animation ({binary, file: base64 of the glb or the .gltf's JSON, resources: {uri: base64}}): its
// skinned mesh is drawn on the right in place of the target's bones. Sets document.body.dataset.ready
// = "1" once the first frame is drawn (with the character, once it is loaded), dataset.frame to the
// frame on screen, dataset.links to the bones drawn ("source target") and, with a character,
// dataset.characterArea to its box on screen ("x y width height", CSS pixels of the page).
(() => {
  'use strict';
  const clip = OXR_CLIP;
  const frames = Math.max(1, clip.frames);
  const frameTime = clip.frameTime > 0 ? clip.frameTime : 1 / 30;
  const SIDE_COLOURS = [0xd8d8d8, 0x4aa3ff, 0xff7a5c];  // centre, left, right
  const UP = new THREE.Vector3(0, 1, 0);
  const DASHES = 12;  // dashes on the line from a ground root to each child
  // Where the camera looks from (the bodies face +Z, their left is +X).
  const ANGLES = {
    'three-quarter': new THREE.Vector3(0.75, 0.3, 1.8).normalize(),
    front: new THREE.Vector3(0, 0.25, 1).normalize(),
    side: new THREE.Vector3(1, 0.25, 0).normalize(),
  };

  // 1 for a left joint ("Left...", "..._l", or an "L" before a capital as in "LThumb"), 2 for a
  // right one, 0 for the centre.
  function sideOf(name) {
    const lower = name.toLowerCase();
    if (lower.startsWith('left') || lower.endsWith('_l')) return 1;
    if (lower.startsWith('right') || lower.endsWith('_r')) return 2;
    if (/^L[A-Z]/.test(name)) return 1;
    if (/^R[A-Z]/.test(name)) return 2;
    return 0;
  }

  function decodeBytes(base64) {
    const text = atob(base64);
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
    return bytes;
  }

  function decodeFloats(base64) {
    const bytes = decodeBytes(base64);
    const view = new DataView(bytes.buffer);
    const out = new Float32Array(bytes.length >> 2);
    for (let i = 0; i < out.length; ++i) out[i] = view.getFloat32(4 * i, true);
    return out;
  }

  // A top joint named "root" is the ground anchor engines keep below the pelvis, not a body part: it
  // is drawn as a flat disc on the ground and a faint dashed line to its children, not as a bone.
  function isGroundRoot(names, parents, j) {
    return parents[j] < 0 && names[j].toLowerCase() === 'root';
  }

  // Quantile q of the values, sorted in place.
  function quantile(values, q) {
    values.sort();
    return values[Math.min(values.length - 1, Math.max(0, Math.round(q * (values.length - 1))))];
  }

  // What frames a figure, robust to joints and frames that are not the body. Per frame: the body's
  // centre (the joints' median) and its size (the 90th percentile of the joints' distances from it);
  // the joints kept are those within twice the body's size of the centre (a root left at the origin
  // metres away is not), the frames kept those whose centre stays near its neighbours' and whose size
  // is the body's (a few garbage frames far off are not). Over the kept frames: the joint nearest the
  // centre (followed by the camera), the floor, the top (raised hands included), the body's height and
  // its reach about that joint.
  function framing(positions, count, ignored) {
    const n = count;
    const p = positions;
    const centre = new Float64Array(3 * frames);
    const size = new Float64Array(frames);
    const scratch = new Float64Array(n);
    for (let f = 0; f < frames; ++f) {
      const base = 3 * f * n;
      for (let a = 0; a < 3; ++a) {
        for (let j = 0; j < n; ++j) scratch[j] = p[base + 3 * j + a];
        centre[3 * f + a] = quantile(scratch, 0.5);
      }
      for (let j = 0; j < n; ++j) {
        scratch[j] = Math.hypot(p[base + 3 * j] - centre[3 * f], p[base + 3 * j + 1] - centre[3 * f + 1],
          p[base + 3 * j + 2] - centre[3 * f + 2]);
      }
      size[f] = quantile(scratch, 0.9);
    }
    const body = Math.max(quantile(Float64Array.from(size), 0.5), 0.02);
    const WINDOW = 7;
    const good = new Uint8Array(frames);
    const near = new Float64Array(2 * WINDOW + 1);
    const middle = [0, 0, 0];
    for (let f = 0; f < frames; ++f) {
      const from = Math.max(0, f - WINDOW);
      const to = Math.min(frames, f + WINDOW + 1);
      for (let a = 0; a < 3; ++a) {
        const values = near.subarray(0, to - from);
        for (let g = from; g < to; ++g) values[g - from] = centre[3 * g + a];
        middle[a] = quantile(values, 0.5);
      }
      const jump = Math.hypot(centre[3 * f] - middle[0], centre[3 * f + 1] - middle[1], centre[3 * f + 2] - middle[2]);
      good[f] = jump <= 2 * body && size[f] <= 3 * body ? 1 : 0;
    }
    if (!good.some((g) => g)) good.fill(1);
    const reach = 2 * body;
    const keep = (f, j) => !ignored(j) && Math.hypot(p[3 * (f * n + j)] - centre[3 * f],
      p[3 * (f * n + j) + 1] - centre[3 * f + 1], p[3 * (f * n + j) + 2] - centre[3 * f + 2]) <= reach;
    // The followed joint: nearest the centre on average (the pelvis or the spine, not a far root).
    const stride = Math.max(1, Math.floor(frames / 200));
    let anchor = 0;
    let nearest = Infinity;
    for (let j = 0; j < n; ++j) {
      if (ignored(j)) continue;
      let sum = 0;
      for (let f = 0; f < frames; f += stride) {
        if (good[f]) sum += Math.hypot(p[3 * (f * n + j)] - centre[3 * f], p[3 * (f * n + j) + 2] - centre[3 * f + 2]);
      }
      if (sum < nearest) {
        nearest = sum;
        anchor = j;
      }
    }
    const lows = [];
    const heights = [];
    let top = -Infinity;
    let around = 0;
    let first = -1;
    for (let f = 0; f < frames; ++f) {
      if (!good[f]) continue;
      if (first < 0) first = f;
      let low = Infinity;
      let high = -Infinity;
      const ax = p[3 * (f * n + anchor)];
      const az = p[3 * (f * n + anchor) + 2];
      for (let j = 0; j < n; ++j) {
        if (!keep(f, j)) continue;
        const i = 3 * (f * n + j);
        low = Math.min(low, p[i + 1]);
        high = Math.max(high, p[i + 1]);
        around = Math.max(around, Math.hypot(p[i] - ax, p[i + 2] - az));
      }
      if (low > high) continue;
      lows.push(low);
      heights.push(high - low);
      top = Math.max(top, high);
    }
    // A joint away from the body on most kept frames (a root left at the origin).
    const away = (j) => {
      let out = 0;
      let all = 0;
      for (let f = 0; f < frames; f += stride) {
        if (!good[f]) continue;
        all += 1;
        if (!keep(f, j)) out += 1;
      }
      return out > all / 2;
    };
    if (lows.length === 0) return { good, anchor, away, first: 0, floor: 0, top: 1.8, height: 1.8, around: 0.5 };
    const floor = quantile(Float64Array.from(lows), 0.02);
    const height = Math.max(quantile(Float64Array.from(heights), 0.5), 0.1);
    return { good, anchor, away, first, floor, top, height, around };
  }

  // Joints as spheres and bones as cylinders, one instanced mesh each. A joint's radius follows its
  // shortest bone in the first frame, so finger joints stay small and apart when zoomed in.
  class Figure {
    constructor(data) {
      this.names = data.joints;
      this.parents = data.parents;
      this.sides = data.sides || data.joints.map(sideOf);
      this.count = data.parents.length;
      this.positions = decodeFloats(data.positions);
      const n = this.count;
      const p = this.positions;
      const shortest = new Float32Array(n).fill(Infinity);
      this.bones = [];
      this.anchored = [];  // children of a ground root
      this.anchor = -1;
      for (let j = 0; j < n; ++j) if (isGroundRoot(this.names, this.parents, j)) this.anchor = j;
      this.frame = n > 0 ? framing(p, n, (j) => j === this.anchor)
        : { good: new Uint8Array(frames).fill(1), anchor: 0, first: 0, floor: 0, top: 1, height: 1, around: 0.5 };
      this.height = this.frame.height;
      // A top joint left away from the body (a reference root at the origin) is drawn as a ground root.
      for (let j = 0; j < n && this.anchor < 0; ++j) {
        if (this.parents[j] < 0 && this.parents.includes(j) && this.frame.away(j)) this.anchor = j;
      }
      for (let j = 0; j < n; ++j) {
        const parent = this.parents[j];
        if (parent < 0) continue;
        if (parent === this.anchor) {
          this.anchored.push(j);
          continue;
        }
        this.bones.push(j);
        const length = Math.hypot(p[3 * j] - p[3 * parent], p[3 * j + 1] - p[3 * parent + 1],
          p[3 * j + 2] - p[3 * parent + 2]);
        if (length > 1e-6) {
          shortest[j] = Math.min(shortest[j], length);
          shortest[parent] = Math.min(shortest[parent], length);
        }
      }
      this.radius = new Float32Array(n);
      for (let j = 0; j < n; ++j) {
        this.radius[j] = Math.min(0.012 * this.height, Math.max(0.002 * this.height, 0.35 * shortest[j]));
      }

      const material = new THREE.MeshLambertMaterial();
      this.joints = new THREE.InstancedMesh(new THREE.SphereGeometry(1, 16, 10), material, Math.max(n, 1));
      this.joints.count = n;
      const cylinder = new THREE.CylinderGeometry(1, 1, 1, 10, 1);
      cylinder.translate(0, 0.5, 0);
      this.links = new THREE.InstancedMesh(cylinder, material, Math.max(this.bones.length, 1));
      this.links.count = this.bones.length;
      const colour = new THREE.Color();
      for (let j = 0; j < n; ++j) this.joints.setColorAt(j, colour.setHex(SIDE_COLOURS[this.sides[j]]));
      this.bones.forEach((j, k) => this.links.setColorAt(k, colour.setHex(SIDE_COLOURS[this.sides[j]])));
      for (const mesh of [this.joints, this.links]) {
        mesh.frustumCulled = false;  // the instances move; the mesh's bounds would go stale
        if (mesh.instanceColor) mesh.instanceColor.needsUpdate = true;
      }
      // The ground root: a flat disc on the ground and a dashed line to each child, both faint.
      this.extras = [];
      if (this.anchor >= 0) {
        const faint = new THREE.MeshLambertMaterial({ color: 0x9aa0a8, transparent: true, opacity: 0.45 });
        this.marker = new THREE.InstancedMesh(new THREE.CylinderGeometry(1, 1, 1, 32, 1), faint, 1);
        this.dashes = new THREE.InstancedMesh(cylinder, faint, DASHES * Math.max(1, this.anchored.length));
        this.dashes.count = DASHES * this.anchored.length;
        for (const mesh of [this.marker, this.dashes]) mesh.frustumCulled = false;
        this.extras.push(this.marker, this.dashes);
      }
      this.matrix = new THREE.Matrix4();
      this.rotation = new THREE.Quaternion();
      this.scale = new THREE.Vector3();
      this.from = new THREE.Vector3();
      this.to = new THREE.Vector3();
      this.dashAt = new THREE.Vector3();
    }

    // Joint j's position in frame f, written into v.
    at(f, j, v) {
      const i = 3 * (f * this.count + j);
      return v.set(this.positions[i], this.positions[i + 1], this.positions[i + 2]);
    }

    setVisible(visible) {
      for (const mesh of [this.joints, this.links, ...this.extras]) mesh.visible = visible;
    }

    pose(f) {
      const identity = this.rotation.identity();
      for (let j = 0; j < this.count; ++j) {
        const r = j === this.anchor ? 0 : this.radius[j];
        this.matrix.compose(this.at(f, j, this.to), identity, this.scale.set(r, r, r));
        this.joints.setMatrixAt(j, this.matrix);
      }
      for (let k = 0; k < this.bones.length; ++k) {
        const j = this.bones[k];
        const parent = this.parents[j];
        this.at(f, parent, this.from);
        const direction = this.at(f, j, this.to).sub(this.from);
        const length = direction.length();
        const r = 0.55 * Math.min(this.radius[j], this.radius[parent]);
        if (length > 1e-9) {
          this.rotation.setFromUnitVectors(UP, direction.divideScalar(length));
          this.scale.set(r, length, r);
        } else {
          this.rotation.identity();
          this.scale.set(0, 0, 0);
        }
        this.matrix.compose(this.from, this.rotation, this.scale);
        this.links.setMatrixAt(k, this.matrix);
      }
      this.joints.instanceMatrix.needsUpdate = true;
      this.links.instanceMatrix.needsUpdate = true;
      if (this.anchor >= 0) {
        const h = this.height;
        this.at(f, this.anchor, this.from);
        this.matrix.compose(this.from, this.rotation.identity(), this.scale.set(0.04 * h, 0.002 * h, 0.04 * h));
        this.marker.setMatrixAt(0, this.matrix);
        this.anchored.forEach((j, k) => {
          const direction = this.at(f, j, this.to).sub(this.from);
          const length = direction.length();
          if (length > 1e-9) this.rotation.setFromUnitVectors(UP, direction.divideScalar(length));
          for (let d = 0; d < DASHES; ++d) {
            const start = this.dashAt.copy(direction).multiplyScalar(length * d / DASHES).add(this.from);
            this.scale.set(0.002 * h, length > 1e-9 ? 0.5 * length / DASHES : 0, 0.002 * h);
            this.matrix.compose(start, this.rotation, this.scale);
            this.dashes.setMatrixAt(DASHES * k + d, this.matrix);
          }
        });
        this.marker.instanceMatrix.needsUpdate = true;
        this.dashes.instanceMatrix.needsUpdate = true;
      }
    }
  }

  // 1, 2 or 5 times a power of ten, near x.
  function niceStep(x) {
    const power = Math.pow(10, Math.floor(Math.log10(x)));
    const m = x / power;
    return power * (m < 1.5 ? 1 : m < 3.5 ? 2 : m < 7.5 ? 5 : 10);
  }

  // A figure's scene: lights, the figure and a grid on its floor under the ground its followed joint
  // covers over the kept frames.
  function makeScene(figure, cell) {
    const scene = new THREE.Scene();
    scene.add(new THREE.HemisphereLight(0xffffff, 0x3a3f47, 1.6));
    const sun = new THREE.DirectionalLight(0xffffff, 1.8);
    sun.position.set(1, 3, 2);
    scene.add(sun);
    const min = new THREE.Vector3(Infinity, 0, Infinity);
    const max = new THREE.Vector3(-Infinity, 0, -Infinity);
    const v = new THREE.Vector3();
    for (let f = 0; f < frames && figure.count > 0; ++f) {
      if (!figure.frame.good[f]) continue;
      figure.at(f, figure.frame.anchor, v).setY(0);
      min.min(v);
      max.max(v);
    }
    if (min.x > max.x) {
      min.set(0, 0, 0);
      max.set(0, 0, 0);
    }
    const span = Math.max(max.x - min.x, max.z - min.z) + 2 * figure.frame.around + 4 * figure.height;
    const divisions = Math.min(400, Math.ceil(span / cell));
    const grid = new THREE.GridHelper(divisions * cell, divisions, 0x6b7380, 0x3b414b);
    grid.position.set((min.x + max.x) / 2, figure.frame.floor, (min.z + max.z) / 2);
    scene.add(grid, figure.joints, figure.links, ...figure.extras);
    return scene;
  }

  const view = document.getElementById('view');
  const playButton = document.getElementById('play');
  const slider = document.getElementById('frame');
  const speedSelect = document.getElementById('speed');
  const followBox = document.getElementById('follow');
  const angleSelect = document.getElementById('angle');
  const readout = document.getElementById('readout');

  let renderer;
  try {
    renderer = new THREE.WebGLRenderer({ antialias: true });
  } catch (error) {
    const message = document.getElementById('message');
    message.textContent = 'This browser cannot draw the preview (WebGL is not available).';
    message.hidden = false;
    throw error;
  }
  renderer.setPixelRatio(window.devicePixelRatio);
  renderer.setClearColor(0x1d2025);
  view.prepend(renderer.domElement);

  const source = new Figure(clip.source);
  const target = new Figure(clip.target);
  const height = Math.max(source.height, target.height);
  const cell = niceStep(height / 3);
  const leftScene = makeScene(source, cell);
  const rightScene = makeScene(target, cell);

  // The camera follows the source's followed joint over the ground (holding still on frames not
  // kept), keeping its own angle and distance.
  const followed = new THREE.Vector3();
  const followNow = new THREE.Vector3();
  let lastFollowed = new THREE.Vector3();
  function rootAt(f, v) {
    if (source.count === 0) return v.set(0, 0, 0);
    if (!source.frame.good[f]) return v.copy(lastFollowed);
    source.at(f, source.frame.anchor, v).setY(0);
    lastFollowed = v.clone();
    return v;
  }

  const camera = new THREE.PerspectiveCamera(40, 1, 0.002 * height, 2000 * height);
  const controls = new THREE.OrbitControls(camera, renderer.domElement);
  function resize() {
    const width = Math.max(1, view.clientWidth);
    const tall = Math.max(1, view.clientHeight);
    renderer.setSize(width, tall, false);
    camera.aspect = width / 2 / tall;
    camera.updateProjectionMatrix();
  }
  new ResizeObserver(resize).observe(view);
  resize();

  // The first view: from the front-right and a little above, at the distance that shows both floors,
  // the highest reach of either body (raised hands) and their reach about the followed joint, around
  // the source's followed joint in its first kept frame.
  {
    const low = Math.min(source.frame.floor, target.frame.floor);
    const high = Math.max(source.frame.top, target.frame.top, low + 0.1);
    const around = Math.max(source.frame.around, target.frame.around);
    const tangent = Math.tan(camera.fov / 2 * Math.PI / 180);
    const distance = around + Math.max(0.56 * (high - low) / tangent, 1.1 * around / (tangent * camera.aspect));
    const look = rootAt(source.frame.first, new THREE.Vector3()).setY((low + high) / 2);
    camera.position.copy(look).addScaledVector(ANGLES['three-quarter'], distance);
    controls.target.copy(look);
    controls.update();
  }

  function render() {
    const width = view.clientWidth;
    const tall = view.clientHeight;
    const half = Math.floor(width / 2);
    renderer.setScissorTest(true);
    renderer.setViewport(0, 0, half, tall);
    renderer.setScissor(0, 0, half, tall);
    renderer.render(leftScene, camera);
    renderer.setViewport(half, 0, width - half, tall);
    renderer.setScissor(half, 0, width - half, tall);
    renderer.render(rightScene, camera);
  }

  // The character: its skinned mesh on the right playing the result's animation in place of the
  // target's bones (the Bones box shows them over it). Loaded from the page's own bytes, resources
  // by their URIs as data URLs.
  let mixer = null;
  let action = null;
  let characterScene = null;
  let characterPending = false;
  const bonesBox = document.getElementById('bones');
  if (typeof OXR_CHARACTER === 'object' && OXR_CHARACTER !== null) {
    characterPending = true;
    document.getElementById('label-target').textContent = 'Target (character)';
    document.getElementById('bones-label').hidden = false;
    const manager = new THREE.LoadingManager();
    const resources = OXR_CHARACTER.resources || {};
    manager.setURLModifier((url) => (Object.hasOwn(resources, url)
      ? `data:application/octet-stream;base64,${resources[url]}` : url));
    const bytes = decodeBytes(OXR_CHARACTER.file);
    const data = OXR_CHARACTER.binary ? bytes.buffer : new TextDecoder().decode(bytes);
    new THREE.GLTFLoader(manager).parse(data, '', (gltf) => {
      characterScene = gltf.scene;
      characterScene.traverse((object) => { object.frustumCulled = false; });
      rightScene.add(characterScene);
      const animation = gltf.animations[gltf.animations.length - 1];
      if (animation) {
        mixer = new THREE.AnimationMixer(characterScene);
        action = mixer.clipAction(animation);
        action.play();
      }
      // The bones, when shown, are seen through the body.
      for (const mesh of [target.joints, target.links]) {
        mesh.material.depthTest = false;
        mesh.renderOrder = 1;
      }
      target.setVisible(bonesBox.checked);
      characterPending = false;
      shown = -1;
    }, (error) => {
      characterPending = false;
      const message = document.getElementById('message');
      message.textContent = `The character cannot be drawn (${error.message || error}); its bones are shown.`;
      message.hidden = false;
      console.error(error);
    });
  }

  // The character's box on screen from its joints (CSS pixels of the page), for tests and pictures.
  const corner = new THREE.Vector3();
  function characterArea(f) {
    const box = renderer.domElement.getBoundingClientRect();
    const half = box.width / 2;
    let [x0, y0, x1, y1] = [Infinity, Infinity, -Infinity, -Infinity];
    for (let j = 0; j < target.count; ++j) {
      if (!target.frame.good[f] || j === target.anchor) continue;
      target.at(f, j, corner).project(camera);
      const x = box.left + half + (corner.x + 1) / 2 * half;
      const y = box.top + (1 - corner.y) / 2 * box.height;
      [x0, x1, y0, y1] = [Math.min(x0, x), Math.max(x1, x), Math.min(y0, y), Math.max(y1, y)];
    }
    if (!(x0 <= x1)) return '';
    // Joints are inside the body: a margin of a tenth of its height around them holds the skin.
    const pad = 0.1 * (y1 - y0);
    return [x0 - pad, y0 - pad, x1 - x0 + 2 * pad, y1 - y0 + 2 * pad].map((v) => Math.round(v)).join(' ');
  }

  let playing = true;
  let speed = 1;
  let clock = 0;  // seconds into the clip
  let frame = 0;
  let shown = -1;
  let last = performance.now();
  slider.max = String(frames - 1);
  rootAt(0, followed);

  function showPlaying() {
    playButton.textContent = playing ? 'Pause' : 'Play';
    document.body.dataset.playing = playing ? '1' : '0';
  }

  function setFrame(f) {
    frame = ((f % frames) + frames) % frames;
    clock = (frame + 0.5) * frameTime;  // mid-frame, safe from rounding down
  }

  function togglePlay() {
    playing = !playing;
    last = performance.now();
    showPlaying();
  }

  function step(delta) {
    playing = false;
    showPlaying();
    setFrame(frame + delta);
  }

  function draw(f) {
    source.pose(f);
    target.pose(f);
    if (mixer) {
      action.time = f * frameTime;
      mixer.update(0);
    }
    if (followBox.checked) {
      rootAt(f, followNow);
      followed.sub(followNow).negate();  // now the travel since the last frame drawn
      camera.position.add(followed);
      controls.target.add(followed);
      followed.copy(followNow);
    }
    slider.value = String(f);
    const total = (frames * frameTime).toFixed(3);
    readout.textContent = `frame ${f} / ${frames - 1}  \u00b7  ${(f * frameTime).toFixed(3)} s / ${total} s`;
    document.body.dataset.frame = String(f);
  }

  playButton.addEventListener('click', () => {
    togglePlay();
    playButton.blur();
  });
  slider.addEventListener('input', () => {
    playing = false;
    showPlaying();
    setFrame(Number(slider.value));
  });
  slider.addEventListener('change', () => slider.blur());
  speedSelect.addEventListener('change', () => {
    speed = Number(speedSelect.value);
    speedSelect.blur();
  });
  angleSelect.addEventListener('change', () => {
    const distance = camera.position.distanceTo(controls.target);
    camera.position.copy(controls.target).addScaledVector(ANGLES[angleSelect.value], distance);
    controls.update();
    angleSelect.blur();
  });
  bonesBox.addEventListener('change', () => {
    if (characterScene) target.setVisible(bonesBox.checked);
    bonesBox.blur();
  });
  followBox.addEventListener('change', () => {
    rootAt(frame, followed);
    followBox.blur();
  });
  // Double-click: orbit and zoom around the joint nearest the pointer (in either half), e.g. a hand.
  const projected = new THREE.Vector3();
  renderer.domElement.addEventListener('dblclick', (event) => {
    const box = renderer.domElement.getBoundingClientRect();
    const half = box.width / 2;
    const right = event.clientX - box.left >= half;
    const figure = right ? target : source;
    const x = event.clientX - box.left - (right ? half : 0);
    const y = event.clientY - box.top;
    let best = -1;
    let bestDistance = 30;  // pixels
    for (let j = 0; j < figure.count; ++j) {
      figure.at(shown, j, projected).project(camera);
      const distance = Math.hypot((projected.x + 1) / 2 * half - x, (1 - projected.y) / 2 * box.height - y);
      if (projected.z < 1 && distance < bestDistance) {
        best = j;
        bestDistance = distance;
      }
    }
    if (best < 0) return;
    figure.at(shown, best, projected).sub(controls.target);
    camera.position.add(projected);
    controls.target.add(projected);
  });
  window.addEventListener('keydown', (event) => {
    if (event.target === speedSelect || event.target === angleSelect) return;
    if (event.key === ' ') {
      event.preventDefault();
      togglePlay();
    } else if (event.key === 'ArrowRight' || event.key === 'ArrowLeft') {
      event.preventDefault();
      step(event.key === 'ArrowRight' ? 1 : -1);
    }
  });

  function tick(now) {
    const elapsed = Math.min(Math.max(now - last, 0) / 1000, 0.25);
    last = now;
    if (playing && frames > 1) {
      clock = (clock + elapsed * speed) % (frames * frameTime);
      frame = Math.min(frames - 1, Math.floor(clock / frameTime));
    }
    if (frame !== shown) {
      draw(frame);
      shown = frame;
    }
    controls.update();
    render();
    if (characterScene) document.body.dataset.characterArea = characterArea(shown);
    if (document.body.dataset.ready !== '1' && !characterPending) {
      document.body.dataset.links = `${source.bones.length} ${target.bones.length}`;  // bones drawn, for tests
      document.body.dataset.ready = '1';
    }
    requestAnimationFrame(tick);
  }
  showPlaying();
  requestAnimationFrame(tick);
})();
