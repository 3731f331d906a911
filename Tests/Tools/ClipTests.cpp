// Trim, resample and mirror through the tool on the CMU walk (344 frames at 120 fps), each result
// read back from its glb by tinygltf and compared with the plain retarget's.

#include "ClipStage.h"
#include "Retarget.h"
#include "ToolRunner.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <tiny_gltf.h>

using namespace tool_test;

namespace {

constexpr double kTol = 1e-12;
constexpr double kMetreTol = 2e-5;  // float32 positions of a figure about 1.7 m tall
const fs::path kWalk = fs::path(OX_TEST_DATA_DIR) / "cmu_02_01_walk.bvh";

using Quat = std::array<double, 4>;
using Vec3 = std::array<double, 3>;

Quat mul(const Quat& a, const Quat& b) {
  return {a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1], a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0],
          a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3], a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]};
}

Vec3 rotate(const Quat& q, const Vec3& v) {
  const Quat r = mul(mul(q, {v[0], v[1], v[2], 0}), {-q[0], -q[1], -q[2], q[3]});
  return {r[0], r[1], r[2]};
}

// A glb's animation as its reader sees it: per frame, the raw float keys of every channel, and the
// world position of every node by forward kinematics from the node rest transforms.
struct Glb {
  double frame_time = 0;
  std::size_t frames = 0;
  std::vector<std::vector<float>> keys;  // per channel, every frame's values
  std::map<std::string, int> node;
  std::vector<int> parent;
  tinygltf::Model model;

  explicit Glb(const fs::path& file) {
    tinygltf::TinyGLTF loader;
    std::string error, warning;
    EXPECT_TRUE(loader.LoadBinaryFromFile(&model, &error, &warning, file.string())) << error;
    const tinygltf::Animation& animation = model.animations.at(0);
    frame_time = animation.extras.Get("frame_time").GetNumberAsDouble();
    parent.assign(model.nodes.size(), -1);
    for (std::size_t n = 0; n < model.nodes.size(); ++n) {
      node[model.nodes[n].name] = static_cast<int>(n);
      for (const int child : model.nodes[n].children) parent[static_cast<std::size_t>(child)] = static_cast<int>(n);
    }
    for (const tinygltf::AnimationChannel& channel : animation.channels) {
      const tinygltf::Accessor& output = model.accessors[static_cast<std::size_t>(
          animation.samplers[static_cast<std::size_t>(channel.sampler)].output)];
      const tinygltf::BufferView& view = model.bufferViews[static_cast<std::size_t>(output.bufferView)];
      const std::size_t width = channel.target_path == "rotation" ? 4 : 3;
      std::vector<float> values(output.count * width);
      std::memcpy(values.data(), model.buffers[0].data.data() + view.byteOffset + output.byteOffset,
                  values.size() * sizeof(float));
      keys.push_back(std::move(values));
      frames = output.count;
    }
  }

  // World position of every node in frame f.
  std::vector<Vec3> positions(std::size_t f) const {
    const std::size_t n = model.nodes.size();
    std::vector<Quat> rotation(n);
    std::vector<Vec3> translation(n);
    for (std::size_t j = 0; j < n; ++j) {
      const auto& r = model.nodes[j].rotation;
      const auto& t = model.nodes[j].translation;
      rotation[j] = r.empty() ? Quat{0, 0, 0, 1} : Quat{r[0], r[1], r[2], r[3]};
      translation[j] = t.empty() ? Vec3{0, 0, 0} : Vec3{t[0], t[1], t[2]};
    }
    const tinygltf::Animation& animation = model.animations[0];
    for (std::size_t c = 0; c < animation.channels.size(); ++c) {
      const auto target = static_cast<std::size_t>(animation.channels[c].target_node);
      const float* k = keys[c].data();
      if (animation.channels[c].target_path == "rotation") {
        rotation[target] = {k[4 * f], k[4 * f + 1], k[4 * f + 2], k[4 * f + 3]};
      } else {
        translation[target] = {k[3 * f], k[3 * f + 1], k[3 * f + 2]};
      }
    }
    std::vector<Quat> world(n);
    std::vector<Vec3> position(n);
    // Parents come before their children in the tool's node order.
    for (std::size_t j = 0; j < n; ++j) {
      const int p = parent[j];
      if (p < 0) {
        world[j] = rotation[j];
        position[j] = translation[j];
        continue;
      }
      const auto q = static_cast<std::size_t>(p);
      world[j] = mul(world[q], rotation[j]);
      const Vec3 d = rotate(world[q], translation[j]);
      position[j] = {position[q][0] + d[0], position[q][1] + d[1], position[q][2] + d[2]};
    }
    return position;
  }
};

// The walk with every right-side OFFSET made the mirror image of its left partner's, so that the
// mirrored performance has exactly the original's joint positions, reflected.
std::string symmetric_walk() {
  const std::vector<std::string> lines = lines_of(read_text(kWalk));
  std::vector<std::string> stack;
  std::string pending;
  std::map<std::string, std::size_t> offset_line;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::istringstream words(lines[i]);
    std::string word, name;
    words >> word >> name;
    if (word == "ROOT" || word == "JOINT") pending = name;
    if (word == "End") pending = stack.back() + "/End";
    if (word == "{") stack.push_back(pending);
    if (word == "}") stack.pop_back();
    if (word == "OFFSET") offset_line[stack.back()] = i;
    if (word == "MOTION") break;
  }
  std::vector<std::string> out = lines;
  for (const auto& [name, line] : offset_line) {
    // Built by appending: prepending a literal to a temporary string raises a false -Wrestrict in g++ 12 at -O3.
    std::string left;
    if (name.starts_with("Right")) {
      left = "Left";
      left.append(name, 5);
    } else if (name.size() > 1 && name[0] == 'R' && std::isupper(static_cast<unsigned char>(name[1]))) {
      left = "L";
      left.append(name, 1);
    } else {
      continue;
    }
    std::istringstream words(lines[offset_line.at(left)]);
    std::string word;
    double x = 0, y = 0, z = 0;
    words >> word >> x >> y >> z;
    out[line] = "OFFSET " + std::to_string(-x) + " " + std::to_string(y) + " " + std::to_string(z);
  }
  std::string text;
  for (const std::string& line : out) text += line + "\n";
  return text;
}

struct ClipCase {
  const char* name;
  std::vector<std::string> options;
  std::size_t frames;
  double frame_time;  // 0: the plain retarget's
  std::size_t first;  // the plain retarget's frame that result frame k equals bit for bit: first + step k
  std::size_t step;   // 0: no frame is compared bit for bit
};

class Clip : public ToolTest, public ::testing::WithParamInterface<ClipCase> {};

TEST_P(Clip, ThroughTheTool) {
  const ClipCase& c = GetParam();
  const bool mirror = c.options.size() == 1 && c.options[0] == "--mirror";
  const fs::path input = mirror ? root_ / "walk.bvh" : kWalk;
  if (mirror) write_text(input, symmetric_walk());
  ASSERT_EQ(run({"retarget", input.string(), "-o", "plain.glb"}).status, 0);
  std::vector<std::string> args{"retarget", input.string(), "-o", "clip.glb"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  const Outcome result = run(args);
  ASSERT_EQ(result.status, 0) << result.err;
  const Glb plain(root_ / "plain.glb");
  const Glb clip(root_ / "clip.glb");
  EXPECT_EQ(clip.frames, c.frames);
  EXPECT_EQ(clip.frame_time, c.frame_time > 0 ? c.frame_time : plain.frame_time);

  if (c.step > 0) {
    for (std::size_t k = 0; k < clip.frames; ++k) {
      for (std::size_t ch = 0; ch < clip.keys.size(); ++ch) {
        const std::size_t width = clip.keys[ch].size() / clip.frames;
        const std::size_t f = c.first + c.step * k;
        ASSERT_EQ(0, std::memcmp(&clip.keys[ch][width * k], &plain.keys[ch][width * f], width * sizeof(float)))
            << "frame " << k << " channel " << ch;
      }
    }
  }
  if (mirror) {
    // The mirrored left foot walks where the right foot walked, reflected across x = 0. (The legs
    // overlay the performer exactly; the upper body only within its turning segments, see README.)
    for (std::size_t f = 0; f < clip.frames; f += 7) {
      const std::vector<Vec3> a = plain.positions(f);
      const std::vector<Vec3> b = clip.positions(f);
      for (const auto& [left, right] : {std::pair{"foot_l", "foot_r"}, {"foot_r", "foot_l"}, {"ball_l", "ball_r"}}) {
        const Vec3& mirrored = b[static_cast<std::size_t>(clip.node.at(left))];
        const Vec3& original = a[static_cast<std::size_t>(plain.node.at(right))];
        EXPECT_NEAR(mirrored[0], -original[0], kMetreTol) << left << " frame " << f;
        EXPECT_NEAR(mirrored[1], original[1], kMetreTol) << left << " frame " << f;
        EXPECT_NEAR(mirrored[2], original[2], kMetreTol) << left << " frame " << f;
      }
    }
  }
  if (c.step == 0 && !mirror) {
    // Frames in between: the clip's frame k stands between the plain frames around its time.
    const double t = 17 * clip.frame_time;
    const auto f = static_cast<std::size_t>(t / plain.frame_time);
    const Vec3 p = clip.positions(17)[static_cast<std::size_t>(clip.node.at("hand_l"))];
    const Vec3 a = plain.positions(f)[static_cast<std::size_t>(plain.node.at("hand_l"))];
    const Vec3 b = plain.positions(f + 1)[static_cast<std::size_t>(plain.node.at("hand_l"))];
    for (int i = 0; i < 3; ++i) {
      EXPECT_GE(p[i], std::min(a[i], b[i]) - kMetreTol);
      EXPECT_LE(p[i], std::max(a[i], b[i]) + kMetreTol);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Walk, Clip,
                         ::testing::Values(
                             // Frames 1 to 240 (2 s): the calibration frame left out.
                             ClipCase{"Trim", {"--start", "1", "--end", "2s"}, 240, 0, 1, 1},
                             // At the file's own rate: every frame as it was, bit for bit.
                             ClipCase{"ResampleSameRate", {"--fps", "120"}, 344, 1.0 / 120, 0, 1},
                             // A whole ratio keeps every fourth frame exactly: frames 0, 4, ..., 340.
                             ClipCase{"ResampleWhole", {"--fps", "30"}, 86, 1.0 / 30, 0, 4},
                             // 2.4 file frames per result frame: 343 / 2.4 = 142.9, so 143 frames, interpolated.
                             ClipCase{"ResampleBetween", {"--fps", "50"}, 143, 1.0 / 50, 0, 0},
                             ClipCase{"Mirror", {"--mirror"}, 344, 0, 0, 0}),
                         [](const ::testing::TestParamInfo<ClipCase>& info) { return std::string(info.param.name); });

// Mirroring twice gives the walk back, within 1e-12 (rotations exactly); the partners are the
// pairing's, and the joints outside it (LHipJoint, LeftFingerBase, LThumb) find theirs in the tree.
TEST(MirrorTwice, GivesTheOriginal) {
  std::ifstream in(kWalk, std::ios::binary);
  oxr::bvh::Reader reader(in);
  const oxr::bvh::Header& header = reader.header();
  const std::vector<int> partners =
      oxr::mirror_partners(header, oxr::match_of(header, oxr::recognise_file(header, {}, nullptr)));
  const auto index = [&](const char* name) {
    for (std::size_t j = 0; j < header.joints.size(); ++j) {
      if (header.joints[j].name == name) return static_cast<int>(j);
    }
    return -1;
  };
  for (const auto& [l, r] : {std::pair{"LHipJoint", "RHipJoint"},
                             {"LeftFoot", "RightFoot"},
                             {"LeftFingerBase", "RightFingerBase"},
                             {"LThumb", "RThumb"},
                             {"Spine", "Spine"}}) {
    EXPECT_EQ(partners[static_cast<std::size_t>(index(l))], index(r)) << l;
  }
  const std::size_t n = header.joints.size();
  std::vector<oxr::Vec3> offsets;
  for (const auto& joint : header.joints) offsets.push_back(joint.offset);
  std::vector<double> values(static_cast<std::size_t>(header.channel_count));
  std::vector<oxr::Quat> local(n), twice(n), scratch(n);
  std::vector<oxr::Vec3> translation(n), moved(n), scratch_t(n);
  double largest = 0;
  while (reader.read_frame(values)) {
    oxr::joint_frame(header, values, true, local, translation);
    twice = local;
    moved = translation;
    oxr::mirror_frame(partners, offsets, twice, moved, scratch, scratch_t);
    oxr::mirror_frame(partners, offsets, twice, moved, scratch, scratch_t);
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_EQ(twice[j], local[j]);
      for (int i = 0; i < 3; ++i) largest = std::max(largest, std::abs(moved[j][i] - translation[j][i]));
    }
  }
  EXPECT_LE(largest, kTol);
}

}  // namespace
