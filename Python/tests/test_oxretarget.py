"""The Python package against the oxretarget tool on the CMU walk, and its argument checks.

The tool is run as a separate program; its files are the reference. Equality is bit for bit: the
tool writes 17 significant digits, which read back as the same doubles.
"""

import json
import os
import subprocess
import threading

import numpy as np
import pytest

import oxretarget

TOOL = os.environ["OXRETARGET_TOOL"]
WALK = os.path.join(os.environ["OX_TEST_DATA_DIR"], "cmu_02_01_walk.bvh")
WALK_FRAMES = 344
WXYZ = [3, 0, 1, 2]  # x y z w -> w x y z


def run_tool(*args):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, check=False)


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


def assert_same_bits(actual, expected):
    np.testing.assert_array_equal(bits(actual), bits(expected))


def random_rotations(frames, seed):
    q = np.random.default_rng(seed).normal(size=(frames, len(oxretarget.Retargeter.source_bones), 4))
    return q / np.linalg.norm(q, axis=-1, keepdims=True)


@pytest.fixture(scope="module")
def walk():
    return oxretarget.read_bvh(WALK)


@pytest.fixture(scope="module")
def tool_json(tmp_path_factory):
    out = tmp_path_factory.mktemp("tool") / "walk.json"
    assert run_tool("retarget", WALK, "-o", out).returncode == 0
    # Integers read as floats, so that "-0" keeps its sign.
    return json.loads(out.read_text(), parse_int=float)


def test_solve_equals_the_tool_bit_for_bit(walk, tool_json):
    # The tool lists the 52 meta bones first, in pairing order, then the other target bones.
    r = oxretarget.Retargeter()
    bones = tool_json["bones"]
    assert r.meta_bones == [b["name"] for b in bones[:52]]
    assert_same_bits(r.t_pose, [b["t_pose"] for b in bones[:52]])
    parents = {name: r.bones[p] if p >= 0 else "None" for name, p in zip(r.bones, r.parents)}
    assert parents == {b["name"]: b["parent"] for b in bones}

    # The recognised bones name the joints (the walk's LThumb is the thumb).
    poses = r.solve(walk.source_bones, walk.rotations)
    assert poses.shape == (WALK_FRAMES, 52, 4)
    assert_same_bits(poses, np.array(tool_json["frames"])[:, :52])
    # One frame on its own gives that frame's rows.
    assert_same_bits(r.solve(walk.source_bones, walk.rotations[100]), poses[100])


def z_up(text):
    """The capture turned to stand along +Z: every OFFSET and the motion turned 90 degrees about X."""
    hierarchy, motion = text.split("MOTION")
    renamed = {"Yposition": "Zposition", "Zposition": "Yposition", "Yrotation": "Zrotation", "Zrotation": "Yrotation"}
    lines, negated, column = [], [], 0
    for line in hierarchy.splitlines():
        words = line.split()
        if words[:1] == ["OFFSET"]:
            x, y, z = map(float, words[1:4])
            line = f"OFFSET {x!r} {-z!r} {y!r}"
        elif words[:1] == ["CHANNELS"]:
            for name in words[2:]:
                if name.startswith("Z"):
                    negated.append(column)  # a turn about Z is one about -Y
                column += 1
            line = " ".join(words[:2] + [renamed.get(name, name) for name in words[2:]])
        lines.append(line)
    head, frames = motion.strip().split("\n", 2)[:2], motion.strip().split("\n")[2:]
    turned = []
    for frame in frames:
        values = [float(v) for v in frame.split()]
        for c in negated:
            values[c] = -values[c]
        turned.append(" ".join(repr(v) for v in values))
    return "\n".join(lines) + "\nMOTION\n" + "\n".join(head + turned) + "\n"


@pytest.mark.parametrize(
    "capture, decided",
    [
        ("smpl_wham.bvh", "1 unit = 100 cm, m, found"),  # in metres
        ("z-up walk", "up axis: +Z"),
        ("mayarig_dfki_walk.bvh", "rest: auto:t-pose"),  # rests in no T-pose; its zero pose does not stand
    ],
)
def test_read_bvh_gives_what_the_tool_solves(tmp_path, capture, decided):
    # With the tool's defaults (source units, up and rest found from the file), the library solves the
    # Motion's rotations into the tool's results, bit for bit.
    path = tmp_path / "z-up.bvh" if capture == "z-up walk" else os.path.join(os.environ["OX_TEST_DATA_DIR"], capture)
    if capture == "z-up walk":
        path.write_text(z_up(open(WALK, encoding="ascii").read()))
    assert decided in run_tool("info", path).stdout
    out = tmp_path / "tool.json"
    assert run_tool("retarget", path, "-o", out).returncode == 0
    tool = json.loads(out.read_text(), parse_int=float)
    motion = oxretarget.read_bvh(path)
    assert motion.frame_time == tool["frame_time"]
    assert motion.rotations.shape == (len(tool["frames"]), len(motion.joint_names), 4)
    assert motion.root_positions.shape == (len(tool["frames"]), 3)
    poses = oxretarget.Retargeter().solve(motion.source_bones, motion.rotations)
    assert_same_bits(poses, np.array(tool["frames"])[:, :52])


def test_read_motion_reads_fbx_captures_as_the_tool_does(tmp_path, walk):
    # The walk retargeted onto the mannequin and written as FBX is a capture of another skeleton; the
    # Motion read_motion gives solves into the tool's results from that FBX, bit for bit. BVH files
    # read as read_bvh reads them.
    fbx = tmp_path / "walk.fbx"
    assert run_tool("retarget", WALK, "-o", fbx).returncode == 0
    out = tmp_path / "tool.json"
    assert run_tool("retarget", fbx, "-o", out, "--take", "1").returncode == 0
    tool = json.loads(out.read_text(), parse_int=float)
    motion = oxretarget.read_motion(fbx, take="1")
    assert motion.frame_time == tool["frame_time"]
    assert motion.rotations.shape[:2] == (WALK_FRAMES, len(motion.joint_names))
    assert "pelvis" in motion.joint_names and sum(bool(bone) for bone in motion.source_bones) > 20
    poses = oxretarget.Retargeter().solve(motion.source_bones, motion.rotations)
    assert_same_bits(poses, np.array(tool["frames"])[:, :52])
    assert_same_bits(oxretarget.read_motion(WALK).rotations, walk.rotations)
    with pytest.raises((oxretarget.Error, ValueError), match="walk.fbx: .*take"):
        oxretarget.read_motion(fbx, take="9")


def test_wxyz_is_the_same_numbers_permuted(walk):
    r = oxretarget.Retargeter()
    for fingers in (False, True):
        xyzw = r.solve(walk.joint_names, walk.rotations, fingers_t_pose=fingers)
        wxyz = r.solve(walk.joint_names, walk.rotations[..., WXYZ], order="wxyz", fingers_t_pose=fingers)
        assert_same_bits(wxyz, xyzw[..., WXYZ])


def test_four_threads_on_one_retargeter_give_identical_arrays():
    r = oxretarget.Retargeter()
    names = r.source_bones
    rotations = random_rotations(3000, seed=12)
    expected = [r.solve(names, rotations, fingers_t_pose=f) for f in (False, True)]
    assert not np.array_equal(expected[0], expected[1])

    results = [None] * 4
    start = threading.Barrier(4)

    def work(i):
        start.wait()
        results[i] = r.solve(names, rotations, fingers_t_pose=bool(i % 2))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, result in enumerate(results):
        assert_same_bits(result, expected[i % 2])


def test_own_pairing_is_used_pair_by_pair(walk):
    builtin = oxretarget.Retargeter().solve(walk.joint_names, walk.rotations)
    # pelvis and spine_01 lead the built-in pairing, so the same two pairs alone solve them alike.
    own = oxretarget.Retargeter(["hips", "Spine"], ["pelvis", "SPINE_01"])
    assert own.meta_bones == ["pelvis", "SPINE_01"]  # as the caller spells them
    assert own.t_pose.shape == (2, 4)
    assert_same_bits(own.solve(walk.joint_names, walk.rotations), builtin[:, :2])


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    """The target skeleton with the walk's offsets, as the tool writes it: a rig of one's own."""
    out = tmp_path_factory.mktemp("rig") / "rig.bvh"
    assert run_tool("retarget", WALK, "-o", out).returncode == 0
    return out


@pytest.fixture(scope="module")
def character(tmp_path_factory):
    """The tool's own glb of the walk: a skinned body with the target's bone names, a character."""
    out = tmp_path_factory.mktemp("character") / "character.glb"
    assert run_tool("retarget", WALK, "-o", out, "--units", "in").returncode == 0
    return out


@pytest.mark.parametrize(
    "suffix, tool_options, options, frames",
    [
        ("json", [], {}, WALK_FRAMES),
        ("csv", ["--fingers-t-pose", "--axes", "none"], {"fingers_t_pose": True, "axes": "none"}, WALK_FRAMES),
        ("glb", ["--units", "in", "--root-motion", "root"], {"units": "in", "root_motion": "root"}, WALK_FRAMES),
        ("bvh", ["--root-motion", "none", "--target-rig", "RIG"], {"root_motion": "none", "target_rig": "RIG"},
         WALK_FRAMES),
        # Frames 1 to 240 (2 s at 120 fps) at 30 fps, mirrored: 60 frames.
        ("glb", ["--start", "1", "--end", "2s", "--fps", "30", "--mirror"],
         {"start": 1, "end": "2s", "fps": 30, "mirror": True}, 60),
        ("glb", ["--mesh", "none", "--bvh-positions", "absolute"], {"mesh": "none", "bvh_positions": "absolute"},
         WALK_FRAMES),
        ("glb", ["--character", "CHAR", "--fingers", "full", "--contacts", "off"],
         {"character": "CHAR", "fingers": "full", "contacts": "off"}, WALK_FRAMES),
    ],
)
def test_retarget_file_writes_the_tools_bytes(tmp_path, rig, character, suffix, tool_options, options, frames):
    files = {"RIG": rig, "CHAR": character}
    tool_options = [files.get(o, o) if isinstance(o, str) else o for o in tool_options]
    options = {k: files.get(v, v) if isinstance(v, str) else v for k, v in options.items()}
    theirs = tmp_path / f"tool.{suffix}"
    ours = tmp_path / f"ours.{suffix}"
    assert run_tool("retarget", WALK, "-o", theirs, *tool_options).returncode == 0
    assert oxretarget.retarget_file(WALK, ours, **options) == frames
    assert ours.read_bytes() == theirs.read_bytes()
    # An explicit format wins over the extension.
    named = tmp_path / "ours.out"
    oxretarget.retarget_file(WALK, named, format=suffix, **options)
    assert named.read_bytes() == theirs.read_bytes()


def test_bad_files_raise_the_tools_line(tmp_path):
    bad = tmp_path / "bad.bvh"
    bad.write_text("HIERARCHY\nROOT Hips\n{\n  OFFSET 0 0 0\n  CHANNELS 3 Xrotation Yrotation\n")
    for path in (bad, tmp_path / "missing.bvh", tmp_path):
        tool = run_tool("retarget", path, "-o", tmp_path / "tool.json")
        assert tool.returncode == 1
        line = tool.stderr.splitlines()[0].removeprefix("oxretarget: error: ")
        with pytest.raises(oxretarget.Error) as read_error:
            oxretarget.read_bvh(str(path))
        assert str(read_error.value) == line
        # The same facts as attributes: the line is the reader's, never parsed out of the text.
        error = read_error.value
        assert (error.kind, error.file, error.frame, error.option) == ("file", str(path), None, None)
        assert (error.line is not None) == (path == bad)
        place = f"line {error.line}: " if error.line is not None else ""
        assert line == f"{path}: {place}{error.message}"
        with pytest.raises(oxretarget.Error) as file_error:
            oxretarget.retarget_file(str(path), tmp_path / "ours.json")
        assert str(file_error.value) == line
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.bvh"]


def test_hints_spell_python_keywords(tmp_path):
    # No human in the file: the tool's hint spells its option, Python's its keyword.
    snake = tmp_path / "snake.bvh"
    snake.write_text("HIERARCHY\nROOT Tail\n{\n OFFSET 0 0 0\n CHANNELS 3 Zrotation Xrotation Yrotation\n"
                     " JOINT Tip\n {\n  OFFSET 0 10 0\n  CHANNELS 3 Zrotation Xrotation Yrotation\n"
                     "  End Site\n  {\n   OFFSET 0 10 0\n  }\n }\n}\nMOTION\nFrames: 1\nFrame Time: 0.1\n"
                     "0 0 0 0 0 0\n")
    tool = run_tool("retarget", snake, "-o", tmp_path / "tool.json")
    line = tool.stderr.splitlines()[0].removeprefix("oxretarget: error: ")
    assert line.endswith("; name its joints with --map FILE (oxretarget skeleton kz lists the bones)")
    with pytest.raises(oxretarget.Error) as error:
        oxretarget.read_bvh(str(snake))
    assert str(error.value) == line.replace(
        "--map FILE (oxretarget skeleton kz lists the bones)",
        "map=FILE (oxretarget.Retargeter.source_bones lists the bones)")


def test_docstrings_list_the_tools_options():
    # Every option the tool offers to Python, with its help, values and default, as `oxretarget options`
    # lists them; the formats too.
    table = json.loads(run_tool("options").stdout)
    offered = [spec for spec in table if "python" in spec["scopes"]]
    assert len(offered) > 15
    for function in (oxretarget.retarget_file, oxretarget.read_bvh, oxretarget.read_motion):
        lines = function.__doc__.splitlines()
        for spec in offered:
            if spec["name"] == "format":
                continue
            keyword = spec["name"].replace("-", "_")
            line = next((line for line in lines if line.startswith(keyword + ": ")), None)
            assert line is not None and spec["help"] in line, f"{function.__name__}: {keyword}"
            assert "|".join(spec["choices"]) in line
            if spec["default"]:
                assert f'default "{spec["default"]}"' in line
    formats = next(spec for spec in table if spec["name"] == "format")["choices"]
    assert all(f'"{name}"' in oxretarget.retarget_file.__doc__ for name in formats)


def test_wrong_arguments_raise():
    r = oxretarget.Retargeter()
    names = r.source_bones
    for shape in [(67,), (5, 67, 3), (2, 5, 67, 4), (5, 66, 4), (66, 4)]:
        with pytest.raises(ValueError, match=r"shape|names has 67 entries"):
            r.solve(names, np.zeros(shape))
    with pytest.raises(ValueError, match="order"):
        r.solve(names, np.zeros((67, 4)), order="wzyx")
    with pytest.raises(ValueError, match="same length"):
        oxretarget.Retargeter(["Hips", "Spine"], ["pelvis"])
    with pytest.raises(ValueError, match="both"):
        oxretarget.Retargeter(["Hips"])
    with pytest.raises(TypeError, match="unexpected keyword argument 'finger_rule'"):
        oxretarget.retarget_file(WALK, "out.json", finger_rule=True)
    with pytest.raises(TypeError, match="fingers_t_pose"):
        oxretarget.retarget_file(WALK, "out.json", fingers_t_pose="yes")
    with pytest.raises(ValueError, match="axes"):
        oxretarget.retarget_file(WALK, "out.json", axes="zup")
    # An option is spelled as its keyword: end=, not --end.
    with pytest.raises(ValueError, match=f"end={WALK_FRAMES} is past the file's end: it has {WALK_FRAMES} frames"):
        oxretarget.retarget_file(WALK, "out.json", end=WALK_FRAMES)
    with pytest.raises(ValueError, match="root_motion"):
        oxretarget.retarget_file(WALK, "out.json", root_motion="hips")
    with pytest.raises(TypeError):
        oxretarget.retarget_file(WALK, "out.json", target_rig=3)
    with pytest.raises(ValueError, match="cannot write .txt files"):
        oxretarget.retarget_file(WALK, "out.txt")
    with pytest.raises(ValueError, match="format"):
        oxretarget.retarget_file(WALK, "out.json", format="usd")
    with pytest.raises(ValueError, match="units"):
        oxretarget.read_bvh(WALK, units="ft")
