"""The tool's glb, FBX and BVH files as Blender and assimp read them.

Run with python3 (the driver): it writes the files with the tool, runs this same script inside Blender
(`blender -b --factory-startup --python THIS -- ...`), runs `assimp info`, reads Blender's own BVH back
through the tool, and checks the figures. Inside Blender the script imports the files, evaluates the
armatures at every key through the depsgraph and writes what it measured to a JSON file.

    python3 blender_readers_test.py TOOL DATA_DIR WORK_DIR

Blender and assimp must be on PATH; the test fails without them unless OXR_SKIP_BLENDER=1 is set.
"""

import base64
import builtins
import json
import os
import re
import shutil
import struct
import subprocess
import sys

# The joints compared: the body's, on both sides.
BODY = ["pelvis", "head"] + [f"{b}_{s}" for b in ("thigh", "calf", "foot", "upperarm", "lowerarm", "hand")
                             for s in ("l", "r")]
TOLERANCE = 1e-5  # of the body height
# Blender's BVH exporter turns float32 matrices into Euler angles: near gimbal lock (the demo's arms
# raised overhead) an angle carries about 4e-5 rad of rounding.
READBACK_TOLERANCE = 1e-4
# name: (source file, units flag, metres per unit)
CLIPS = {"demo": ("demo/demo.bvh", "cm", 0.01), "walk": ("cmu_02_01_walk.bvh", "in", 0.0254)}
SKIP_EXIT = 77


def preview_positions(page, figure):
    """Joint names and per-frame world positions (metres, glTF/BVH axes) of the preview page's figure."""
    text = open(page, encoding="utf-8").read()
    clip = json.loads(re.search(r"const OXR_CLIP = (.*?);\n", text, re.S).group(1))[figure]
    raw = base64.b64decode(clip["positions"])
    values = struct.unpack(f"<{len(raw) // 4}f", raw)
    joints = clip["joints"]
    per_frame = 3 * len(joints)
    frames = [values[i:i + per_frame] for i in range(0, len(values), per_frame)]
    return joints, [{j: frame[3 * k:3 * k + 3] for k, j in enumerate(joints)} for frame in frames]


def body_height(frame):
    heights = [p[1] for p in frame.values()]
    return max(heights) - min(heights)


def worst_distance(measured, expected, joints):
    """Largest distance over frames and joints, and where."""
    worst, where = 0.0, ""
    for f, (m, e) in enumerate(zip(measured, expected)):
        for j in joints:
            d = sum((a - b) ** 2 for a, b in zip(m[j], e[j])) ** 0.5
            if d > worst:
                worst, where = d, f"{j} frame {f}"
    return worst, where


def glb_key_count(path):
    """Largest sampler input count of the first animation in a glb."""
    data = open(path, "rb").read()
    length = struct.unpack_from("<I", data, 12)[0]
    document = json.loads(data[20:20 + length])
    animation = document["animations"][0]
    return max(document["accessors"][s["input"]]["count"] for s in animation["samplers"])


# ---------------------------------------------------------------------------------------------------
# Inside Blender.

def blender_main(work, results_path):
    import bpy

    # Blender 3.4's BVH importer opens files with mode 'rU', which Python 3.11 refuses.
    plain_open = builtins.open
    builtins.open = lambda file, mode="r", *args, **kwargs: plain_open(
        file, mode.replace("U", "") or "r", *args, **kwargs)

    def reset(fps):
        bpy.ops.wm.read_factory_settings(use_empty=True)
        bpy.context.scene.render.fps = fps
        bpy.context.scene.render.fps_base = 1.0

    def armature():
        return next(o for o in bpy.context.scene.objects if o.type == "ARMATURE")

    def key_frames(obj):
        action = obj.animation_data.action
        return sorted({k.co.x for c in action.fcurves for k in c.keyframe_points})

    def sample(obj, frames, scale):
        """World positions (metres, glTF/BVH axes: x, z, -y of Blender's) of every bone head per key."""
        scene = bpy.context.scene
        out = []
        for frame in frames:
            whole = int(frame // 1)
            scene.frame_set(whole, subframe=frame - whole)
            evaluated = obj.evaluated_get(bpy.context.evaluated_depsgraph_get())
            poses = {}
            for bone in evaluated.pose.bones:
                p = evaluated.matrix_world @ bone.head
                poses[bone.name] = (p.x * scale, p.z * scale, -p.y * scale)
            out.append(poses)
        return out

    results = {}
    for clip, (_, _, unit) in CLIPS.items():
        fps = round(1.0 / float(json.load(open(os.path.join(work, f"{clip}.json")))["frame_time"]))
        result = results[clip] = {"fps": fps}

        # The glb, as the README tells users to import it.
        reset(fps)
        bpy.ops.import_scene.gltf(filepath=os.path.join(work, f"{clip}.glb"), import_shading="FLAT",
                                  bone_heuristic="TEMPERANCE")
        rig = armature()
        frames = key_frames(rig)
        result["glb_keys"] = len(frames)
        result["glb_meshes"] = [o.name for o in bpy.context.scene.objects if o.type == "MESH"]
        result["glb"] = sample(rig, frames, 1.0)
        # Exported again: every key kept.
        again = os.path.join(work, f"{clip}-blender.glb")
        bpy.ops.export_scene.gltf(filepath=again, export_format="GLB", export_animations=True)
        result["reexported_keys"] = glb_key_count(again)
        # And as BVH, in centimetres (Blender prints six decimals), frame 0 first.
        bpy.context.scene.frame_start = int(frames[0])
        bpy.context.scene.frame_end = int(frames[-1])
        bpy.context.view_layer.objects.active = rig
        bpy.ops.export_anim.bvh(filepath=os.path.join(work, f"{clip}-blender.bvh"), global_scale=100.0,
                                frame_start=int(frames[0]), frame_end=int(frames[-1]))

        # The tool's FBX, with the importer's defaults (it reads the file's centimetres and axes).
        reset(fps)
        bpy.ops.import_scene.fbx(filepath=os.path.join(work, f"{clip}.fbx"))
        rig = armature()
        frames = key_frames(rig)
        result["fbx_keys"] = len(frames)
        result["fbx_first_last"] = [frames[0], frames[-1]]
        result["fbx_fps"] = bpy.context.scene.render.fps / bpy.context.scene.render.fps_base
        result["fbx_bound"] = sorted(o.name for o in bpy.context.scene.objects if o.type == "MESH" and any(
            m.type == "ARMATURE" and m.object == rig for m in o.modifiers) and len(o.vertex_groups) > 0)
        result["fbx"] = sample(rig, frames, 1.0)

        # The tool's BVH, in its source units.
        reset(fps)
        bpy.ops.import_anim.bvh(filepath=os.path.join(work, f"{clip}-target.bvh"), global_scale=unit,
                                update_scene_fps=False, update_scene_duration=True)
        rig = armature()
        frames = key_frames(rig)
        result["bvh_keys"] = len(frames)
        result["bvh"] = sample(rig, frames, 1.0)

    with open(results_path, "w", encoding="utf-8") as out:
        json.dump(results, out)


# ---------------------------------------------------------------------------------------------------
# The driver.

def driver(tool, data, work):
    missing = [p for p in ("blender", "assimp") if shutil.which(p) is None]
    if missing:
        if os.environ.get("OXR_SKIP_BLENDER") == "1":
            print(f"SKIPPED: {' and '.join(missing)} not found and OXR_SKIP_BLENDER=1: the Blender/assimp "
                  "reader test did not run")
            return SKIP_EXIT
        print(f"FAILED: {' and '.join(missing)} not found on PATH (Debian: blender, assimp-utils; "
              "Scripts/install-deps.sh installs them; OXR_SKIP_BLENDER=1 opts out)")
        return 1

    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    run = lambda *args: subprocess.run([tool, *args], cwd=work, check=True, capture_output=True, text=True)
    run("demo", "-o", "demo")
    shutil.copy(os.path.join(data, "cmu_02_01_walk.bvh"), work)
    for clip, (source, units, _) in CLIPS.items():
        for suffix in (".glb", ".fbx", "-target.bvh", ".json", ".html"):
            command = "preview" if suffix == ".html" else "retarget"
            run(command, source, "-o", clip + suffix, "--units", units, "--source-units", units)

    results_path = os.path.join(work, "blender-results.json")
    blender = subprocess.run(["blender", "-b", "--factory-startup", "--python-exit-code", "1", "--python",
                              os.path.abspath(__file__), "--", "--inside-blender", work, results_path],
                             capture_output=True, text=True)
    if blender.returncode != 0 or not os.path.exists(results_path):
        print(blender.stdout[-4000:], blender.stderr[-4000:])
        print("FAILED: Blender did not import and export the files")
        return 1
    results = json.load(open(results_path, encoding="utf-8"))

    failures = []
    for clip, (_, _, unit) in CLIPS.items():
        result = results[clip]
        _, expected = preview_positions(os.path.join(work, f"{clip}.html"), "target")
        height = body_height(expected[0])
        frames = len(expected)
        checks = []
        # Blender's two imports, and the BVH Blender writes from the glb read back by the tool.
        readback_page = os.path.join(work, f"{clip}-blender.html")
        run("preview", f"{clip}-blender.bvh", "-o", readback_page, "--units", "cm", "--source-units", "cm",
            "--source-up", "+y")
        # Blender writes BVH in its own axes (Z up, -Y forward): back to the glTF/BVH axes.
        _, blender_axes = preview_positions(readback_page, "source")
        readback = [{j: (p[0], p[2], -p[1]) for j, p in frame.items()} for frame in blender_axes]
        info = run("info", f"{clip}-blender.bvh").stdout
        positions = re.search(r"position channels: (\w+)", info).group(1)
        for reader, measured in (("Blender glb import", result["glb"]), ("Blender FBX import", result["fbx"]),
                                 ("Blender BVH import", result["bvh"]),
                                 (f"tool reading Blender's BVH ({positions})", readback)):
            worst, where = worst_distance(measured, expected, BODY)
            limit = READBACK_TOLERANCE if reader.startswith("tool") else TOLERANCE
            checks.append((reader, len(measured), worst / height, where, limit))
        print(f"{clip}: {frames} frames at {result['fps']} fps, body height {height:.4f} m")
        for reader, keys, ratio, where, limit in checks:
            print(f"  {reader}: {keys} keys, worst {ratio:.2e} of body height ({where})")
            if keys != frames:
                failures.append(f"{clip}: {reader} has {keys} keys, expected {frames}")
            if not ratio < limit:
                failures.append(f"{clip}: {reader}: {where} is {ratio:.2e} body heights off")
        print(f"  Blender's glb export: {result['reexported_keys']} keys; meshes {result['glb_meshes']}")
        if result["reexported_keys"] != frames:
            failures.append(f"{clip}: Blender exported {result['reexported_keys']} keys, expected {frames}")
        if result["glb_meshes"] != ["OxRetarget_Body"]:
            failures.append(f"{clip}: the glb's meshes are {result['glb_meshes']}")

        # The FBX's take: its first and last key on frames 0 and N - 1 at the clip's rate; its body bound.
        if result["fbx_first_last"] != [0, frames - 1] or abs(result["fbx_fps"] - result["fps"]) > 1e-9:
            failures.append(f"{clip}: Blender's FBX take spans {result['fbx_first_last']} at {result['fbx_fps']} fps")
        if result["fbx_bound"] != ["OxRetarget_Body"]:
            failures.append(f"{clip}: the FBX's meshes bound to the armature are {result['fbx_bound']}")

        for suffix, animations in ((".glb", None), (".fbx", "1")):
            assimp = subprocess.run(["assimp", "info", os.path.join(work, clip + suffix)], capture_output=True,
                                    text=True)
            meshes = re.search(r"Meshes:\s+(\d+)", assimp.stdout)
            found = re.search(r"Animations:\s+(\d+)", assimp.stdout)
            print(f"  assimp info {suffix}: exit {assimp.returncode}, meshes {meshes.group(1) if meshes else '?'}, "
                  f"animations {found.group(1) if found else '?'}")
            if assimp.returncode != 0 or not meshes or meshes.group(1) != "1" or "pelvis" not in assimp.stdout or (
                    animations and (not found or found.group(1) != animations)):
                failures.append(f"{clip}{suffix}: assimp info failed: {assimp.stdout[-500:]} {assimp.stderr[-500:]}")

    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    if "--inside-blender" in sys.argv:
        arguments = sys.argv[sys.argv.index("--inside-blender") + 1:]
        blender_main(*arguments)
    else:
        sys.exit(driver(*sys.argv[1:4]))
