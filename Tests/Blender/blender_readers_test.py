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
# The mannequin's bones in Mixamo's naming, for the FBX character made in the test; its other bones
# get names no convention knows.
MIXAMO = {"pelvis": "Hips", "spine_01": "Spine", "spine_03": "Spine1", "spine_05": "Spine2", "neck_01": "Neck",
          "head": "Head"}
for _s, _side in (("l", "Left"), ("r", "Right")):
    MIXAMO.update({f"clavicle_{_s}": f"{_side}Shoulder", f"upperarm_{_s}": f"{_side}Arm",
                   f"lowerarm_{_s}": f"{_side}ForeArm", f"hand_{_s}": f"{_side}Hand",
                   f"thigh_{_s}": f"{_side}UpLeg", f"calf_{_s}": f"{_side}Leg", f"foot_{_s}": f"{_side}Foot",
                   f"ball_{_s}": f"{_side}ToeBase"})
    for _finger in ("thumb", "index", "middle", "ring", "pinky"):
        for _k in (1, 2, 3):
            MIXAMO[f"{_finger}_0{_k}_{_s}"] = f"{_side}Hand{_finger.capitalize()}{_k}"


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
    import mathutils

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

        # Blender's own FBX of the glb it imported (leaf bones and all; no key simplified away).
        bpy.ops.export_scene.fbx(filepath=os.path.join(work, f"{clip}-from-glb.fbx"), bake_anim_simplify_factor=0.0)

        # The tool's FBX, with the importer's defaults (it reads the file's centimetres and axes) but
        # for its shift of the keys by one frame.
        reset(fps)
        bpy.ops.import_scene.fbx(filepath=os.path.join(work, f"{clip}.fbx"), anim_offset=0.0)
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

    # An FBX character: the tool's demo glb (other proportions than the walk's performer) without its
    # animation, renamed into Mixamo's naming, its armature at scale 0.01 (bones and body 100 times
    # larger, as Mixamo's files come), exported with Blender's defaults.
    reset(30)
    bpy.ops.import_scene.gltf(filepath=os.path.join(work, "demo.glb"), import_shading="FLAT",
                              bone_heuristic="TEMPERANCE")
    rig = armature()
    rig.animation_data_clear()
    for bone in rig.data.bones:
        bone.name = "mixamorig:" + MIXAMO.get(bone.name, "Extra_" + bone.name.replace("_", ""))
    bpy.context.view_layer.objects.active = rig
    bpy.ops.object.mode_set(mode="EDIT")
    for bone in rig.data.edit_bones:
        bone.head *= 100.0
        bone.tail *= 100.0
    bpy.ops.object.mode_set(mode="OBJECT")
    rig.scale = (0.01, 0.01, 0.01)
    for mesh in [o for o in bpy.context.scene.objects if o.type == "MESH"]:
        mesh.data.transform(mathutils.Matrix.Scale(100.0, 4))
        mesh.location *= 100.0
    bpy.ops.export_scene.fbx(filepath=os.path.join(work, "hero.fbx"), bake_anim=False)

    # A capture of the shared data through Blender: the CMU walk imported (inches to metres) and
    # exported as FBX.
    reset(120)
    bpy.ops.import_anim.bvh(filepath=os.path.join(work, "cmu_02_01_walk.bvh"), global_scale=0.0254,
                            update_scene_fps=False, update_scene_duration=True, use_fps_scale=False)
    bpy.context.view_layer.objects.active = armature()
    bpy.ops.export_scene.fbx(filepath=os.path.join(work, "walk-capture.fbx"), bake_anim_simplify_factor=0.0)

    with open(results_path, "w", encoding="utf-8") as out:
        json.dump(results, out)


def blender_hero(work, results_path):
    """Imports the FBX character and the tool's FBX and glb results on it: the character's vertex count,
    and per result its bones' world positions at every key, the meshes bound to its armature with
    their vertex counts, and how far a vertex strays from the bone carrying it between two keys."""
    import bpy
    names = {"mixamorig:" + mixamo: bone for bone, mixamo in MIXAMO.items()}

    def bound_meshes(rig):
        return [o for o in bpy.context.scene.objects if o.type == "MESH" and any(
            m.type == "ARMATURE" and m.object == rig for m in o.modifiers) and len(o.vertex_groups) > 0]

    def heads(rig):
        evaluated = rig.evaluated_get(bpy.context.evaluated_depsgraph_get())
        return {bone.name: evaluated.matrix_world @ bone.head for bone in evaluated.pose.bones}

    def reach(mesh, rig):
        """Per vertex with one bone, its distance to that bone's head, the mesh deformed."""
        evaluated = mesh.evaluated_get(bpy.context.evaluated_depsgraph_get())
        data = evaluated.to_mesh()
        at = heads(rig)
        groups = {g.index: g.name for g in mesh.vertex_groups}
        out = {}
        for v, vertex in zip(mesh.data.vertices, data.vertices):
            carried = [g for g in v.groups if g.weight > 1e-6]
            if len(carried) == 1 and groups[carried[0].group] in at:
                out[v.index] = ((evaluated.matrix_world @ vertex.co) - at[groups[carried[0].group]]).length
        evaluated.to_mesh_clear()
        return out

    result = {}
    bpy.ops.wm.read_factory_settings(use_empty=True)
    bpy.ops.import_scene.fbx(filepath=os.path.join(work, "hero.fbx"))
    result["character_vertices"] = sum(len(o.data.vertices) for o in bpy.context.scene.objects if o.type == "MESH")
    for name in ("hero_take.fbx", "hero_take.glb"):
        bpy.ops.wm.read_factory_settings(use_empty=True)
        if name.endswith(".glb"):
            bpy.ops.import_scene.gltf(filepath=os.path.join(work, name), import_shading="FLAT",
                                      bone_heuristic="TEMPERANCE")
        else:
            bpy.ops.import_scene.fbx(filepath=os.path.join(work, name))
        rig = next(o for o in bpy.context.scene.objects if o.type == "ARMATURE")
        frames = sorted({k.co.x for c in rig.animation_data.action.fcurves for k in c.keyframe_points})
        scene = bpy.context.scene
        out, strays = [], 0.0
        first = None
        meshes = bound_meshes(rig)
        for frame in frames:
            whole = int(frame // 1)
            scene.frame_set(whole, subframe=frame - whole)
            out.append({names[b]: (p.x, p.z, -p.y) for b, p in heads(rig).items() if b in names})
            if meshes and frame in (frames[0], frames[len(frames) // 2], frames[-1]):
                now = reach(meshes[0], rig)
                first = first or now
                strays = max([strays] + [abs(now[v] - first[v]) for v in now])
        result[name] = {"frames": out, "bound": [(o.name, len(o.data.vertices)) for o in meshes], "strays": strays,
                        "carried": len(first or {})}
    with open(results_path, "w", encoding="utf-8") as file:
        json.dump(result, file)


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
    for clip, (_, units, unit) in CLIPS.items():
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

        # Blender's FBX of the glb read as a capture: the same figure as the clip it came from.
        page = os.path.join(work, f"{clip}-from-glb.html")
        run("preview", f"{clip}-from-glb.fbx", "-o", page, "--units", units)
        _, from_fbx = preview_positions(page, "target")
        worst, where = worst_distance(from_fbx, expected, BODY)
        print(f"  tool reading Blender's FBX of the glb: {len(from_fbx)} frames, worst {worst / height:.2e} ({where})")
        if len(from_fbx) != frames or not worst / height < TOLERANCE:
            failures.append(f"{clip}: Blender's FBX of the glb retargets {worst / height:.2e} body heights off "
                            f"({len(from_fbx)} frames)")

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

    # The CMU walk through Blender's BVH import and FBX export retargets as the BVH does.
    # Blender writes no bind pose for an armature without a mesh, and its nodes' own transforms are
    # the pose of the frame it stood on: both clips rest on their frame 0.
    run("preview", "cmu_02_01_walk.bvh", "-o", "walk-frame0.html", "--units", "in", "--source-units", "in",
        "--source-rest", "frame:0")
    _, expected = preview_positions(os.path.join(work, "walk-frame0.html"), "target")
    height = body_height(expected[0])
    run("preview", "walk-capture.fbx", "-o", "walk-capture.html", "--units", "in", "--source-rest", "frame:0")
    _, from_fbx = preview_positions(os.path.join(work, "walk-capture.html"), "target")
    worst, where = worst_distance(from_fbx, expected, BODY)
    print(f"walk through Blender as FBX: {len(from_fbx)} frames, worst {worst / height:.2e} of body height ({where})")
    if len(from_fbx) != len(expected) or not worst / height < TOLERANCE:
        failures.append(f"the walk through Blender's FBX retargets {worst / height:.2e} body heights off "
                        f"({len(from_fbx)} frames, expected {len(expected)})")

    # End to end: the walk as a capture FBX (Blender's export) onto the FBX character in Mixamo naming,
    # as FBX and as glb. Blender (both files), ufbx (the tool's FBX reader) and assimp read the results;
    # every reader's joints agree with the glb's (Blender's reading of it), the glb's with the pipeline's
    # (a rig of the character's proportions), and both results carry the character's own mesh, bound.
    take = ["walk-capture.fbx", "--units", "in", "--source-rest", "frame:0"]
    for out in ("hero_take.fbx", "hero_take.glb"):
        run("retarget", *take, "--character", "hero.fbx", "-o", out)
    run("preview", *take, "--target-rig", "hero.fbx", "-o", "hero_rig.html")
    run("preview", "hero_take.fbx", "-o", "hero_take_ufbx.html")
    hero_path = os.path.join(work, "hero-results.json")
    blender = subprocess.run(["blender", "-b", "--factory-startup", "--python-exit-code", "1", "--python",
                              os.path.abspath(__file__), "--", "--inside-blender-hero", work, hero_path],
                             capture_output=True, text=True)
    if blender.returncode != 0 or not os.path.exists(hero_path):
        print(blender.stdout[-4000:], blender.stderr[-4000:])
        failures.append("Blender did not import the FBX character's results")
    else:
        hero = json.load(open(hero_path, encoding="utf-8"))
        _, expected = preview_positions(os.path.join(work, "hero_rig.html"), "target")
        height = body_height(expected[0])
        glb = hero["hero_take.glb"]["frames"]
        names = {"mixamorig:" + mixamo: bone for bone, mixamo in MIXAMO.items()}
        joints, by_ufbx = preview_positions(os.path.join(work, "hero_take_ufbx.html"), "source")
        by_ufbx = [{names[j]: p for j, p in frame.items() if j in names} for frame in by_ufbx]
        print(f"FBX character (Mixamo names, scale 0.01) driven by a capture FBX: {hero['character_vertices']} "
              "vertices")
        for reader, measured, reference in (("Blender glb import against the pipeline", glb, expected),
                                            ("Blender FBX import against the glb", hero["hero_take.fbx"]["frames"], glb),
                                            ("ufbx (the tool's FBX reader) against the glb", by_ufbx, glb)):
            worst, where = worst_distance(measured, reference, BODY)
            print(f"  {reader}: {len(measured)} keys, worst {worst / height:.2e} of body height ({where})")
            if len(measured) != len(expected) or not worst / height < TOLERANCE:
                failures.append(f"FBX character: {reader}: {worst / height:.2e} body heights off ({where}), "
                                f"{len(measured)} keys of {len(expected)}")
        for name in ("hero_take.fbx", "hero_take.glb"):
            result = hero[name]
            print(f"  {name}: bound meshes {result['bound']}; {result['carried']} vertices on one bone stray "
                  f"{result['strays']:.2e} m from it")
            if [count for _, count in result["bound"]] != [hero["character_vertices"]] or result["carried"] == 0 or \
                    not result["strays"] < 1e-5 * height:
                failures.append(f"FBX character: {name} binds {result['bound']} (the character has "
                                f"{hero['character_vertices']} vertices), its vertices stray {result['strays']} m")
        assimp = subprocess.run(["assimp", "info", os.path.join(work, "hero_take.fbx")], capture_output=True, text=True)
        meshes = re.search(r"Meshes:\s+(\d+)", assimp.stdout)
        found = re.search(r"Animations:\s+(\d+)", assimp.stdout)
        print(f"  assimp info hero_take.fbx: exit {assimp.returncode}, meshes {meshes.group(1) if meshes else '?'}, "
              f"animations {found.group(1) if found else '?'}")
        if assimp.returncode != 0 or not meshes or meshes.group(1) != "1" or not found or found.group(1) != "1" or \
                "mixamorig:Hips" not in assimp.stdout:
            failures.append(f"hero_take.fbx: assimp info failed: {assimp.stdout[-500:]} {assimp.stderr[-500:]}")

    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    if "--inside-blender-hero" in sys.argv:
        blender_hero(*sys.argv[sys.argv.index("--inside-blender-hero") + 1:])
    elif "--inside-blender" in sys.argv:
        arguments = sys.argv[sys.argv.index("--inside-blender") + 1:]
        blender_main(*arguments)
    else:
        sys.exit(driver(*sys.argv[1:4]))
