// Plays a clip's source (left half) and target (right half) with one timeline and one camera.
// OXR_CLIP = {title, frameTime, frames, source, target}; each figure is {joints: [name], parents:
// [index, -1 at a root], positions: base64 of little-endian float32, frames x joints x 3, metres,
// +Y up, facing +Z}. Sets document.body.dataset.ready = "1" once the first frame is drawn,
// dataset.frame to the frame on screen and dataset.links to the bones drawn ("source target").
(() => {
  'use strict';
  const clip = OXR_CLIP;
  const frames = Math.max(1, clip.frames);
  const frameTime = clip.frameTime > 0 ? clip.frameTime : 1 / 30;
  const SIDE_COLOURS = [0xd8d8d8, 0x4aa3ff, 0xff7a5c];  // centre, left, right
  const UP = new THREE.Vector3(0, 1, 0);
  const DASHES = 12;  // dashes on the line from a ground root to each child

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

  function decodeFloats(base64) {
    const text = atob(base64);
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
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
      let low = Infinity;
      let high = -Infinity;
      for (let j = 0; j < n; ++j) {
        low = Math.min(low, p[3 * j + 1]);
        high = Math.max(high, p[3 * j + 1]);
      }
      this.height = n > 0 ? Math.max(high - low, 0.1) : 1;
      const shortest = new Float32Array(n).fill(Infinity);
      this.bones = [];
      this.anchored = [];  // children of a ground root
      this.anchor = -1;
      for (let j = 0; j < n; ++j) if (isGroundRoot(this.names, this.parents, j)) this.anchor = j;
      for (let j = 0; j < n; ++j) {
        const parent = this.parents[j];
        if (parent < 0) continue;
        if (isGroundRoot(this.names, this.parents, parent)) {
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

  // Bounds of both figures: the first frame frames the camera, all frames place the ground.
  function bounds(figures, allFrames) {
    const min = new THREE.Vector3(Infinity, Infinity, Infinity);
    const max = new THREE.Vector3(-Infinity, -Infinity, -Infinity);
    const v = new THREE.Vector3();
    for (const figure of figures) {
      const last = allFrames ? frames : 1;
      for (let f = 0; f < last; ++f) {
        for (let j = 0; j < figure.count; ++j) {
          figure.at(f, j, v);
          min.min(v);
          max.max(v);
        }
      }
    }
    if (min.x > max.x) {
      min.set(-0.5, 0, -0.5);
      max.set(0.5, 1.8, 0.5);
    }
    return { min, max };
  }

  // 1, 2 or 5 times a power of ten, near x.
  function niceStep(x) {
    const power = Math.pow(10, Math.floor(Math.log10(x)));
    const m = x / power;
    return power * (m < 1.5 ? 1 : m < 3.5 ? 2 : m < 7.5 ? 5 : 10);
  }

  function makeScene(figure, ground) {
    const scene = new THREE.Scene();
    scene.add(new THREE.HemisphereLight(0xffffff, 0x3a3f47, 1.6));
    const sun = new THREE.DirectionalLight(0xffffff, 1.8);
    sun.position.set(1, 3, 2);
    scene.add(sun);
    const grid = new THREE.GridHelper(ground.size, ground.divisions, 0x6b7380, 0x3b414b);
    grid.position.copy(ground.centre);
    scene.add(grid, figure.joints, figure.links, ...figure.extras);
    return scene;
  }

  const view = document.getElementById('view');
  const playButton = document.getElementById('play');
  const slider = document.getElementById('frame');
  const speedSelect = document.getElementById('speed');
  const followBox = document.getElementById('follow');
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
  const first = bounds([source, target], false);
  const all = bounds([source, target], true);
  const height = Math.max(source.height, target.height);
  const cell = niceStep(height / 3);
  const span = Math.max(all.max.x - all.min.x, all.max.z - all.min.z) + 4 * height;
  const divisions = Math.min(400, Math.ceil(span / cell));
  const ground = {
    size: divisions * cell,
    divisions,
    centre: new THREE.Vector3((all.min.x + all.max.x) / 2, all.min.y, (all.min.z + all.max.z) / 2),
  };
  const leftScene = makeScene(source, ground);
  const rightScene = makeScene(target, ground);

  const centre = first.min.clone().add(first.max).multiplyScalar(0.5);
  const camera = new THREE.PerspectiveCamera(40, 1, 0.002 * height, 200 * height + 2 * span);
  camera.position.set(centre.x + 0.75 * height, centre.y + 0.3 * height, centre.z + 1.8 * height);
  const controls = new THREE.OrbitControls(camera, renderer.domElement);
  controls.target.copy(centre);
  controls.update();

  // The camera follows the source root's travel over the ground, keeping its own angle and distance.
  const followed = new THREE.Vector3();
  const followNow = new THREE.Vector3();
  function rootAt(f, v) {
    if (source.count === 0) return v.set(0, 0, 0);
    source.at(f, 0, v);
    return v.setY(0);
  }

  function resize() {
    const width = Math.max(1, view.clientWidth);
    const tall = Math.max(1, view.clientHeight);
    renderer.setSize(width, tall, false);
    camera.aspect = width / 2 / tall;
    camera.updateProjectionMatrix();
  }
  new ResizeObserver(resize).observe(view);
  resize();

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
    if (event.target === speedSelect) return;
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
    if (document.body.dataset.ready !== '1') {
      document.body.dataset.links = `${source.bones.length} ${target.bones.length}`;  // bones drawn, for tests
      document.body.dataset.ready = '1';
    }
    requestAnimationFrame(tick);
  }
  showPlaying();
  requestAnimationFrame(tick);
})();
