// Runs the built command-line tool as a child process, each test in a fresh temporary folder.

#include "BvhReader.h"
#include "DemoClip.h"
#include "Solver.h"
#include "ToolRunner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

using nlohmann::json;
using namespace tool_test;

namespace {

constexpr double kUnitLengthTolerance = 1e-6;
constexpr std::size_t kMetaBones = 52;
constexpr std::size_t kTargetBones = 64;
constexpr int kWalkFrames = 344;

json read_json(const fs::path& path) {
  std::ifstream in(path);
  return json::parse(in);
}

bool is_finger(const std::string& bone) {
  for (const char* prefix : {"thumb_", "index_", "middle_", "ring_", "pinky_"}) {
    if (bone.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Source bones in varied spellings and channel orders, a joint that is no source bone, random angles.
std::string generated_clip(int frames) {
  struct J {
    const char* name;
    int depth;
    const char* channels;
  };
  const J joints[] = {
      {"rig:Hips", 0, "6 Xposition Yposition Zposition Zrotation Yrotation Xrotation"},
      {"LowerBack", 1, "3 Zrotation Xrotation Yrotation"},
      {"spine", 2, "3 Xrotation Yrotation Zrotation"},
      {"SPINE1", 3, "3 Yrotation Zrotation Xrotation"},
      {"LeftShoulder", 4, "3 Zrotation Xrotation Yrotation"},
      {"LeftArm", 5, "3 Zrotation Yrotation Xrotation"},
      {"LeftForeArm", 6, "2 Yrotation Zrotation"},
      {"LeftHand", 7, "3 Xrotation Zrotation Yrotation"},
      {"LeftHandIndex1", 8, "3 Zrotation Xrotation Yrotation"},
      {"RightUpLeg", 1, "3 Zrotation Xrotation Yrotation"},
      {"RightLeg", 2, "1 Xrotation"},
  };
  std::string text = "HIERARCHY\n";
  int channels = 0;
  int open = 0;
  for (const J& joint : joints) {
    for (; open > joint.depth; --open) text += "}\n";
    text += std::string(joint.depth == 0 ? "ROOT " : "JOINT ") + joint.name + "\n{\nOFFSET 0 1 0\nCHANNELS " +
            joint.channels + "\n";
    channels += joint.channels[0] - '0';
    ++open;
  }
  for (; open > 0; --open) text += "}\n";
  text += "MOTION\nFrames: " + std::to_string(frames) + "\nFrame Time: 0.0083333\n";
  std::mt19937 random(12345);
  std::uniform_real_distribution<double> angle(-180.0, 180.0);
  for (int f = 0; f < frames; ++f) {
    std::string row;
    for (int c = 0; c < channels; ++c) {
      // Appended piece by piece: prepending to the number's string raises a false -Wrestrict in g++ 12 at -O3.
      if (c > 0) row += ' ';
      row += std::to_string(angle(random));
    }
    text += row + "\n";
  }
  return text;
}

// A clip of one frame: the hierarchy and motion header of `motion` with its frame count set to 1.
std::string edit_frames(const std::string& motion, const std::string& row) {
  const std::size_t frames = motion.find("Frames:");
  const std::size_t end = motion.find('\n', frames);
  return motion.substr(0, frames) + "Frames: 1" + motion.substr(end, std::string::npos) + row + "\n";
}

class Tool : public ToolTest {
 protected:
  // Copies the shared walk capture into the test folder; false when it is not available.
  bool copy_walk() const {
    const fs::path walk = fs::path(OX_TEST_DATA_DIR) / "cmu_02_01_walk.bvh";
    if (!fs::exists(walk)) return false;
    fs::copy_file(walk, root_ / "walk.bvh");
    return true;
  }

  void make_demo() const { ASSERT_EQ(run({"demo", "-o", "d"}).status, 0); }
};

void expect_unit_quaternions(const json& doc, std::size_t frames) {
  ASSERT_EQ(doc.at("frame_count").get<std::size_t>(), frames);
  ASSERT_EQ(doc.at("bones").size(), kTargetBones);
  ASSERT_EQ(doc.at("frames").size(), frames);
  ASSERT_EQ(doc.at("translations").size(), frames);
  for (const json& frame : doc["frames"]) {
    ASSERT_EQ(frame.size(), kTargetBones);
    for (const json& q : frame) {
      ASSERT_EQ(q.size(), 4u);
      const double x = q[0], y = q[1], z = q[2], w = q[3];
      const double length = std::sqrt(x * x + y * y + z * z + w * w);
      ASSERT_NEAR(length, 1.0, kUnitLengthTolerance);
    }
  }
}

// The CSV rows carry the same rotations as the JSON frames, bone by bone, and the offsets or
// animated translations.
void expect_csv_matches_json(const std::string& csv, const json& doc) {
  const std::vector<std::string> lines = lines_of(csv);
  const json& frames = doc.at("frames");
  ASSERT_EQ(lines.size(), 1 + frames.size() * kTargetBones);
  EXPECT_EQ(lines[0], "frame,bone,qx,qy,qz,qw,tx,ty,tz");
  const std::string translated = doc.at("translated").at(0);
  for (std::size_t row = 0; row + 1 < lines.size(); ++row) {
    const std::size_t frame = row / kTargetBones;
    const std::size_t bone = row % kTargetBones;
    std::istringstream fields(lines[row + 1]);
    std::string field;
    std::getline(fields, field, ',');
    ASSERT_EQ(field, std::to_string(frame));
    std::getline(fields, field, ',');
    ASSERT_EQ(field, doc["bones"][bone]["name"].get<std::string>());
    for (int k = 0; k < 4; ++k) {
      ASSERT_TRUE(std::getline(fields, field, ','));
      ASSERT_EQ(std::strtod(field.c_str(), nullptr), frames[frame][bone][k].get<double>()) << "row " << row + 1;
    }
    const json& t =
        doc["bones"][bone]["name"] == translated ? doc["translations"][frame][0] : doc["bones"][bone]["offset"];
    for (int k = 0; k < 3; ++k) {
      ASSERT_TRUE(std::getline(fields, field, ','));
      ASSERT_EQ(std::strtod(field.c_str(), nullptr), t[k].get<double>()) << "row " << row + 1;
    }
  }
}

TEST_F(Tool, DemoWritesClipAndUnitQuaternions) {
  const Outcome demo = run({"demo", "-o", "d"});
  ASSERT_EQ(demo.status, 0) << demo.err;
  EXPECT_EQ(entries_of(root_ / "d"), (std::vector<std::string>{"demo.bvh", "demo.glb", "demo.json"}));
  const json doc = read_json(root_ / "d/demo.json");
  EXPECT_EQ(doc.at("format"), "oxretarget-poses");
  EXPECT_EQ(doc.at("bones")[0].at("name"), "pelvis");
  expect_unit_quaternions(doc, static_cast<std::size_t>(oxr::demo_clip_frames()));
}

TEST_F(Tool, RetargetsTheWalkToJsonAndCsv) {
  if (!copy_walk()) GTEST_SKIP() << "walk capture not available";
  const Outcome as_json = run({"retarget", "walk.bvh"});
  ASSERT_EQ(as_json.status, 0) << as_json.err;
  EXPECT_EQ(as_json.out, "walk.json\n");
  const json doc = read_json(root_ / "walk.json");
  expect_unit_quaternions(doc, kWalkFrames);

  const Outcome as_csv = run({"retarget", "walk.bvh", "--format", "csv"});
  ASSERT_EQ(as_csv.status, 0) << as_csv.err;
  expect_csv_matches_json(read_text(root_ / "walk.csv"), doc);
}

TEST_F(Tool, InfoDescribesTheWalk) {
  if (!copy_walk()) GTEST_SKIP() << "walk capture not available";
  const Outcome info = run({"info", "walk.bvh"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(has(info.out, "frames: 344\n")) << info.out;
  EXPECT_TRUE(has(info.out, "source bones matched: 25 of 67\n")) << info.out;
  EXPECT_TRUE(has(info.out, "joints skipped (not source bones; kept in the forward kinematics): 6\n")) << info.out;
  EXPECT_TRUE(has(info.out, "LHipJoint")) << info.out;
  EXPECT_TRUE(has(info.out, "  RThumb -> RightHandThumb1 (name)\n")) << info.out;
  // Its first frame is a T-pose the walk leaves at once; its zero pose is the KZ T-pose (no thumbs).
  EXPECT_TRUE(has(info.out, "warning: frame 0 looks like a calibration frame (LeftArm turns 89 degrees")) << info.out;
  EXPECT_TRUE(has(info.out, "against the KZ T-pose: largest difference 77.1 degrees, at LeftHandThumb1")) << info.out;
  // The demo's first frame, with both arms lowered 45 degrees, looks like an A-pose.
  make_demo();
  std::string demo = read_text(root_ / "d/demo.bvh");
  const std::size_t first = demo.find('\n', demo.find("Frame Time:")) + 1;
  std::string row = demo.substr(first, demo.find('\n', first) - first);
  const std::string motion = demo.substr(0, first);
  std::vector<std::string> values;
  std::istringstream fields(row);
  for (std::string value; fields >> value;) values.push_back(value);
  // LeftArm and RightArm are the 10th and 29th joints of the source skeleton (Zrotation first).
  const auto column = [&](const char* joint) {
    const std::string head = demo.substr(0, demo.find("MOTION"));
    int index = 0;
    for (std::size_t at = head.find("JOINT "); at != std::string::npos; at = head.find("JOINT ", at + 1)) {
      ++index;
      if (head.compare(at + 6, std::strlen(joint) + 1, std::string(joint) + "\n") == 0) return 3 + 3 * index;
    }
    return -1;
  };
  values[static_cast<std::size_t>(column("LeftArm"))] = "-45";
  values[static_cast<std::size_t>(column("RightArm"))] = "45";
  row.clear();
  for (const std::string& value : values) row += (row.empty() ? "" : " ") + value;
  write_text(root_ / "apose.bvh", edit_frames(motion, row));
  const Outcome apose = run({"info", "apose.bvh"});
  EXPECT_TRUE(has(apose.out, "warning: frame 0 looks like an A-pose (arms 45 degrees below the horizontal)"))
      << apose.out;

  // A joint name with a bell and an escape sequence in it is shown masked, as errors show it.
  std::string clip = read_text(root_ / "walk.bvh");
  clip.replace(clip.find("JOINT LowerBack"), 15, "JOINT Sp\x07in\x1b[2Je");
  write_text(root_ / "odd.bvh", clip);
  const Outcome odd = run({"info", "odd.bvh"});
  ASSERT_EQ(odd.status, 0) << odd.err;
  EXPECT_TRUE(has(odd.out, "Sp?in?[2Je")) << odd.out;
  EXPECT_EQ(odd.out.find_first_of("\x07\x1b"), std::string::npos) << odd.out;
}

// The tool's numbers equal, bit for bit, those of the library driven directly.
TEST_F(Tool, ResultsEqualTheLibraryDrivenByHand) {
  constexpr int kFrames = 12;
  const std::string clip = generated_clip(kFrames);
  write_text(root_ / "gen.bvh", clip);
  const Outcome result = run({"retarget", "gen.bvh", "-o", "gen.json", "--source-rest", "kz"});
  ASSERT_EQ(result.status, 0) << result.err;
  const json doc = read_json(root_ / "gen.json");

  oxr::Solver retargeter;
  const oxr::SkeletonData& source = oxr::source_skeleton();
  ASSERT_EQ(source.names.size(), 67u);
  std::vector<oxr::Quat> pose = source.t_pose_local;

  std::istringstream in(clip);
  oxr::bvh::Reader reader(in);
  const auto& joints = reader.header().joints;
  std::vector<std::pair<std::size_t, std::size_t>> slots;  // file joint -> source bone slot
  for (std::size_t j = 0; j < joints.size(); ++j) {
    const int slot = source.index_of(oxr::bvh::strip_namespace(joints[j].name));  // without regard to case
    if (slot >= 0) slots.emplace_back(j, static_cast<std::size_t>(slot));
  }
  ASSERT_EQ(slots.size(), joints.size() - 1);  // all but LowerBack

  const std::vector<std::string>& meta = retargeter.meta_bones();
  ASSERT_EQ(meta.size(), kMetaBones);
  for (std::size_t b = 0; b < meta.size(); ++b) EXPECT_EQ(doc["bones"][b]["name"], meta[b]);

  std::vector<double> values(static_cast<std::size_t>(reader.header().channel_count));
  std::vector<oxr::Quat> solved(meta.size());
  int frame = 0;
  int compared = 0;
  for (; reader.read_frame(values); ++frame) {
    for (const auto& [joint, slot] : slots) {
      pose[slot] = oxr::to_library_axes(oxr::bvh::joint_rotation(joints[joint], values));
    }
    retargeter.solve(pose, false, solved);
    for (std::size_t b = 0; b < meta.size(); ++b) {
      const json& got = doc["frames"][frame][b];
      for (std::size_t c = 0; c < 4; ++c) {
        ASSERT_EQ(got[c].get<double>(), solved[b][c]) << "frame " << frame << " bone " << b;
      }
      ++compared;
    }
  }
  EXPECT_EQ(frame, kFrames);
  EXPECT_EQ(compared, kFrames * 52);
}

struct BadInput {
  const char* label;
  const char* file;  // input, relative to the test folder
  std::string text;  // written to the file unless empty and absent
  bool write;
  const char* problem;  // part of the message
  bool has_line;        // the message points at a line
};

// One error line naming the input, exit status 1, nothing left in the output folder.
TEST_F(Tool, BadInputsFailCleanly) {
  const std::string good = small_clip(2, 2);
  std::string deep = "HIERARCHY\n";
  for (int i = 0; i < 5000; ++i)
    deep += (i ? "JOINT J" : "ROOT J") + std::to_string(i) + " { OFFSET 0 0 0 CHANNELS 0\n";
  const std::vector<BadInput> cases = {
      {"truncated", "in/truncated.bvh", good.substr(0, good.size() / 3), true, "unexpected end of file", true},
      {"channel count", "in/channels.bvh",
       "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\nCHANNELS 4 Zrotation Xrotation Yrotation\nEnd Site\n{\nOFFSET 0 1 "
       "0\n}\n}\n"
       "MOTION\nFrames: 1\nFrame Time: 0.1\n0 0 0\n",
       true, "CHANNELS count 4", true},
      {"short frame", "in/short.bvh", small_clip(2, 2, "0 90 0 10 20 30 -5 15"), true, "has 8 values, expected 9",
       true},
      {"non-numeric", "in/word.bvh", small_clip(1, 1, "0 90 0 10 2x0 30 -5 15 25"), true, "is not a number", true},
      {"nan", "in/nan.bvh", small_clip(1, 1, "0 90 0 10 nan 30 -5 15 25"), true, "is not finite", true},
      {"inf", "in/inf.bvh", small_clip(1, 1, "0 90 0 10 20 30 -inf 15 25"), true, "is not finite", true},
      {"fewer frames", "in/fewer.bvh", small_clip(4, 2), true, "file ends after frame 2 of 4", true},
      {"more frames", "in/more.bvh", small_clip(2, 3), true, "after the last frame", true},
      {"deep", "in/deep.bvh", deep, true, "nested deeper than", true},
      {"empty", "in/empty.bvh", "", true, "empty file", true},
      {"directory", "in", "", false, "is a directory", false},
      {"missing", "in/missing.bvh", "", false, "no such file", false},
  };
  make_dir("in");
  const fs::path out = make_dir("out");
  for (const BadInput& bad : cases) {
    SCOPED_TRACE(bad.label);
    if (bad.write) write_text(root_ / bad.file, bad.text);
    const Outcome result = run({"retarget", bad.file, "-o", "out/result.json"});
    EXPECT_EQ(result.status, 1);
    const std::vector<std::string> lines = lines_of(result.err);
    ASSERT_EQ(lines.size(), 2u) << result.err;
    const std::string prefix = std::string("oxretarget: error: ") + bad.file + ": ";
    EXPECT_EQ(lines[0].rfind(prefix + (bad.has_line ? "line " : ""), 0), 0u) << lines[0];
    EXPECT_TRUE(has(lines[0], bad.problem)) << lines[0];
    EXPECT_EQ(lines[1].rfind("0 of 1 files retargeted", 0), 0u) << lines[1];
    EXPECT_TRUE(result.out.empty()) << result.out;
    EXPECT_TRUE(entries_of(out).empty());
  }
}

TEST_F(Tool, HundredMegabyteLineFailsWithoutOutput) {
  make_dir("out");
  const fs::path huge = root_ / "huge.bvh";
  {
    std::ofstream file(huge, std::ios::binary);
    file << small_clip(1, 0);
    const std::string chunk(1 << 20, '7');
    for (int i = 0; i < 100; ++i) file << chunk;
    file << "\n";
  }
  const Outcome result = run({"retarget", "huge.bvh", "-o", "out/huge.json"});
  fs::remove(huge);
  EXPECT_EQ(result.status, 1);
  const std::vector<std::string> lines = lines_of(result.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("oxretarget: error: huge.bvh: line 19: ", 0), 0u) << lines[0];
  EXPECT_LT(lines[0].size(), 200u);
  EXPECT_TRUE(entries_of(root_ / "out").empty());
}

TEST_F(Tool, UnwritableOutputFolderFailsCleanly) {
  write_text(root_ / "good.bvh", small_clip(1, 1));
  write_text(root_ / "blocker", "a file, not a folder");
  std::vector<std::string> targets{"blocker/good.json"};
  if (::geteuid() != 0) {  // permissions do not bind the superuser
    fs::permissions(make_dir("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    targets.push_back("locked/good.json");
  }
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    const Outcome result = run({"retarget", "good.bvh", "-o", target});
    // A folder that cannot be made is found while planning (a usage error), a folder that refuses
    // the file when writing.
    const bool planned = target.rfind("blocker/", 0) == 0;
    EXPECT_EQ(result.status, planned ? 2 : 1);
    const std::vector<std::string> lines = lines_of(result.err);
    ASSERT_FALSE(lines.empty());
    const std::string expected = planned ? "blocker: cannot create folder" : target + ": cannot write";
    EXPECT_EQ(lines[0].rfind("oxretarget: error: " + expected, 0), 0u) << lines[0];
  }
  if (fs::exists(root_ / "locked")) {
    EXPECT_TRUE(entries_of(root_ / "locked").empty());
  }
}

TEST_F(Tool, BatchKeepsGoodFilesAndReportsTheBadOne) {
  make_dir("in");
  for (const char* name : {"a", "b", "c"}) write_text(root_ / "in" / (std::string(name) + ".bvh"), small_clip(3, 3));
  write_text(root_ / "in/bad.bvh", small_clip(1, 1, "0 90 0 10 nan 30 -5 15 25"));
  const Outcome result =
      run({"retarget", "in/a.bvh", "in/bad.bvh", "in/b.bvh", "in/c.bvh", "-o", "batch", "--jobs", "3"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(entries_of(root_ / "batch"), (std::vector<std::string>{"a.json", "b.json", "c.json"}));
  for (const char* name : {"a", "b", "c"}) {
    SCOPED_TRACE(name);
    expect_unit_quaternions(read_json(root_ / "batch" / (std::string(name) + ".json")), 3);
  }
  // The clips lack most paired bones: a warning each, besides the one error and the summary.
  std::vector<std::string> lines;
  for (const std::string& line : lines_of(result.err)) {
    if (line.rfind("oxretarget: warning: ", 0) != 0) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 4u) << result.err;
  EXPECT_EQ(lines[0].rfind("oxretarget: error: in/bad.bvh: line ", 0), 0u) << lines[0];
  EXPECT_TRUE(has(lines[1], "3 of 4 files")) << lines[1];
  EXPECT_EQ(lines[2], "1 failed:");
  EXPECT_EQ("  " + lines[0].substr(lines[0].find("in/bad.bvh")), lines[3]);
}

TEST_F(Tool, FingersTPoseHoldsEveryFingerBone) {
  make_demo();
  ASSERT_EQ(run({"retarget", "d/demo.bvh", "--fingers-t-pose", "-o", "fingers.json"}).status, 0);
  const json held = read_json(root_ / "fingers.json");
  const json free = read_json(root_ / "d/demo.json");
  EXPECT_EQ(held.at("fingers_t_pose"), true);
  EXPECT_EQ(free.at("fingers_t_pose"), false);
  int fingers = 0;
  bool curled = false;
  for (std::size_t b = 0; b < kMetaBones; ++b) {
    const json& bone = held["bones"][b];
    if (!is_finger(bone["name"])) continue;
    ++fingers;
    for (const json& frame : held["frames"]) ASSERT_EQ(frame[b], bone["t_pose"]) << bone["name"];
    curled = curled || free["frames"].back()[b] != bone["t_pose"];
  }
  EXPECT_EQ(fingers, 30);
  EXPECT_TRUE(curled) << "the demo's finger curl should move some finger without the option";
}

TEST_F(Tool, CsvFormatCarriesTheJsonNumbers) {
  make_demo();
  const Outcome result = run({"retarget", "d/demo.bvh", "--format", "csv", "-o", "demo.csv"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "demo.csv\n");
  expect_csv_matches_json(read_text(root_ / "demo.csv"), read_json(root_ / "d/demo.json"));
}

TEST_F(Tool, AxesNoneDiffersOnARotatedClip) {
  make_demo();
  ASSERT_EQ(run({"retarget", "d/demo.bvh", "--axes", "none", "-o", "none.json"}).status, 0);
  const json raw = read_json(root_ / "none.json");
  const json converted = read_json(root_ / "d/demo.json");
  EXPECT_EQ(raw.at("axes"), "none");
  EXPECT_EQ(converted.at("axes"), "bvh");
  // Frame 0 is the rest pose either way; the last frame (turned, knees bent) is not.
  EXPECT_EQ(raw["frames"][0], converted["frames"][0]);
  EXPECT_NE(raw["frames"].back()[0], converted["frames"].back()[0]);
}

TEST_F(Tool, SkeletonVersionAndHelp) {
  const Outcome kz = run({"skeleton", "kz"});
  EXPECT_EQ(kz.status, 0);
  // The outline, then a line per bone to copy into a map file.
  EXPECT_EQ(lines_of(kz.out).size(), 1u + 2u * 67u + 2u + 67u);
  EXPECT_TRUE(has(kz.out, "  \"\": \"LeftUpLeg\",")) << kz.out;
  EXPECT_TRUE(has(kz.out, "LeftHandIndex1"));

  const Outcome version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("oxretarget ", 0), 0u) << version.out;

  const Outcome help = run({"retarget", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(has(help.out, "--fingers-t-pose")) << help.out;

  EXPECT_NE(run({"retarget"}).status, 0);
  EXPECT_NE(run({"retarget", "x.bvh", "--format", "xml"}).status, 0);
  EXPECT_NE(run({"skeleton", "abc"}).status, 0);
}

}  // namespace

namespace {

// A character of one's own: the tool's own .gltf of the demo, with what a re-serialisation would
// change in its JSON (a number beyond double precision, a duplicate key, 300 KB of extras) and a
// texture in a format no image decoder here knows, beside it.
TEST_F(Tool, ACharacterKeepsItsTextItsTexturesAndItsPairWhole) {
  make_demo();
  ASSERT_EQ(run({"retarget", "d/demo.bvh", "-o", "mann.gltf"}).status, 0);
  const std::string kept = R"("extras":{"big":123456789012345678901234567890,"same":1,"same":2,"pad":")" +
                           std::string(300'000, 'p') + R"("},"images":[{"uri":"skin.webp"},{"uri":"skin.ktx2"}],)";
  std::string text = read_text(root_ / "mann.gltf");
  text.insert(text.find('{') + 1, kept);
  write_text(root_ / "mann.gltf", text);
  write_text(root_ / "skin.webp", std::string("RIFF\x1a\0\0\0WEBPVP8L", 16) + std::string(14, '\x7f'));
  write_text(root_ / "skin.ktx2", "\xabKTX 20\xbb\r\n\x1a\n" + std::string(64, '\0'));

  // Into another folder: the text is kept, the textures' references lead back to them.
  const Outcome first = run({"retarget", "d/demo.bvh", "--character", "mann.gltf", "-o", "out/r.gltf"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string result = read_text(root_ / "out/r.gltf");
  EXPECT_TRUE(has(result, kept.substr(0, kept.find("\"images\"")))) << "the character's JSON text was rewritten";
  const json document = json::parse(result);
  EXPECT_EQ(document["images"][0]["uri"], "../skin.webp");
  EXPECT_EQ(document["images"][1]["uri"], "../skin.ktx2");
  EXPECT_EQ(document["animations"].size(), 2u);

  // A run whose .gltf cannot be written (the file size is capped between the .bin's and the
  // .gltf's) leaves the previous pair as it was, and no temporary.
  const std::string bin = read_text(root_ / "out/r.bin");
  ASSERT_LT(bin.size(), 250'000u);
  ASSERT_GT(result.size(), 250'000u);
  const Outcome capped =
      run({"retarget", "d/demo.bvh", "--character", "mann.gltf", "-o", "out/r.gltf", "--mirror"}, 250'000);
  EXPECT_EQ(capped.status, 1);
  EXPECT_TRUE(has(capped.err, "out/r.gltf: write failed (disk full?)")) << capped.err;
  EXPECT_EQ(read_text(root_ / "out/r.bin"), bin);
  EXPECT_EQ(read_text(root_ / "out/r.gltf"), result);
  EXPECT_EQ(entries_of(root_ / "out"), (std::vector<std::string>{"r.bin", "r.gltf"}));

  // The buffer a copy of the character shares is one of its files: a result's .bin may not replace it.
  fs::copy_file(root_ / "mann.gltf", root_ / "copy.gltf");
  const Outcome shared = run({"retarget", "d/demo.bvh", "--character", "copy.gltf", "-o", "mann.gltf"});
  EXPECT_EQ(shared.status, 2);
  EXPECT_EQ(shared.err,
            "oxretarget: error: mann.bin: the buffer of d/demo.bvh would overwrite an input file; choose "
            "another output\n");
}

}  // namespace
