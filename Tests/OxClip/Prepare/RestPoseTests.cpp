// Sources whose rest is not the KZ T-pose: a file standing in its own rest pose gives the target's
// T-pose, and a capture starting in an A-pose, read against that frame, gives the plain capture's target.

#include "DemoClip.h"
#include "Retarget.h"
#include "Solver.h"
#include "ToolError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

namespace {

using oxr::Quat;
constexpr double kTol = 1e-12;
constexpr double kThumbTol = 5e-7;  // the KZ thumb rest quaternion is 0.99999998 long
constexpr double kAPoseTol = 1e-9;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string kWalk = std::string(OX_TEST_DATA_DIR) + "/cmu_02_01_walk.bvh";

// Every frame's meta-bone rotations (library axes, pairing order) and the clip's description.
struct Solved {
  oxr::ClipInfo info;
  std::vector<std::vector<Quat>> frames;
};

Solved solve(const std::string& text, const std::string& rest) {
  oxr::Solver retargeter;
  oxr::RetargetOptions options;
  options.source_rest = oxr::source_rest_from_text(rest);
  std::istringstream in(text);
  Solved run;
  oxr::retarget_stream(
      in, "clip.bvh", options, retargeter, [&](const oxr::ClipInfo& info) { run.info = info; },
      [&](std::int64_t, const oxr::FramePose& pose) { run.frames.emplace_back(pose.meta.begin(), pose.meta.end()); });
  return run;
}

// Largest component difference of two rotations, whatever their hemispheres.
double distance(const Quat& a, const Quat& b) {
  double same = 0, opposite = 0;
  for (int i = 0; i < 4; ++i) {
    same = std::max(same, std::abs(a[i] - b[i]));
    opposite = std::max(opposite, std::abs(a[i] + b[i]));
  }
  return std::min(same, opposite);
}

// A frame in the rest pose: bones solved from the world-space change sit at their local T-pose; the
// finger phalanges (the curl rule) get no roll, the identity.
void expect_t_pose(const Solved& run, std::size_t frame, const char* what) {
  SCOPED_TRACE(what);
  ASSERT_LT(frame, run.frames.size());
  for (std::size_t b = 0; b < run.info.bones.size(); ++b) {
    const std::string& bone = run.info.bones[b];
    bool curl = false;
    for (const char* finger : {"index_", "middle_", "ring_", "pinky_"}) curl = curl || bone.rfind(finger, 0) == 0;
    const Quat expected = curl ? Quat{0, 0, 0, 1} : run.info.t_pose[b];
    const double tol = bone.rfind("thumb", 0) == 0 ? kThumbTol : kTol;
    EXPECT_LT(distance(run.frames[frame][b], expected), tol) << bone;
  }
}

// Rotation products and Euler angles for building clips, written apart from the tool's code.
Quat mul(const Quat& a, const Quat& b) {
  return {a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1], a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0],
          a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3], a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]};
}
Quat conj(const Quat& q) { return {-q[0], -q[1], -q[2], q[3]}; }
Quat about(int axis, double degrees) {
  Quat q{0, 0, 0, std::cos(degrees * std::numbers::pi / 360)};
  q[static_cast<std::size_t>(axis)] = std::sin(degrees * std::numbers::pi / 360);
  return q;
}
// Z, Y, X angles (degrees) of R = Rz Ry Rx, the walk's channel order.
std::array<double, 3> euler_zyx(const Quat& q) {
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  const double r20 = 2 * (x * z - w * y), r21 = 2 * (y * z + w * x), r22 = 1 - 2 * (x * x + y * y);
  const double r10 = 2 * (x * y + w * z), r00 = 1 - 2 * (y * y + z * z);
  const double k = 180 / std::numbers::pi;
  return {std::atan2(r10, r00) * k, std::asin(std::clamp(-r20, -1.0, 1.0)) * k, std::atan2(r21, r22) * k};
}

TEST(RestPose, AFileInItsRestPoseGivesTheTargetsTPose) {
  // zero: the walk with every rotation channel at zero; frame:N and file: the walk's frame 5.
  const std::string walk = read_file(kWalk);
  const std::string head = walk.substr(0, walk.find("Frames:"));
  std::istringstream lines(walk.substr(walk.find("Frame Time:")));
  std::string line, frame_time;
  std::getline(lines, frame_time);
  std::vector<std::string> rows;
  while (std::getline(lines, line)) rows.push_back(line);
  std::istringstream first(rows[5]);
  std::string zeros;
  double value = 0;
  for (int v = 0; first >> value; ++v) {
    // Appended piece by piece: prepending to a temporary string raises a false -Wrestrict in g++ 12 at -O3.
    if (v > 0) zeros += ' ';
    zeros += v < 3 ? std::to_string(value) : std::string("0");
  }
  expect_t_pose(solve(head + "Frames: 1\n" + frame_time + "\n" + zeros + "\n", "zero"), 0, "zero");
  // The demo's first frame is its zero pose, thumbs straight: with zero, the target thumbs rest too.
  std::ostringstream demo;
  oxr::write_demo_clip(demo);
  expect_t_pose(solve(demo.str(), "zero"), 0, "zero, the demo");
  const Solved kz = solve(demo.str(), "kz");
  const auto thumb = static_cast<std::size_t>(std::find(kz.info.bones.begin(), kz.info.bones.end(), "thumb_01_l") -
                                              kz.info.bones.begin());
  EXPECT_GT(distance(kz.frames[0][thumb], kz.info.t_pose[thumb]), 0.1)
      << "read as KZ rotations, straight thumbs turn the target's";
  expect_t_pose(solve(walk, "frame:5"), 5, "frame:5");
  const std::string rest = ::testing::TempDir() + "rest.bvh";
  std::ofstream(rest) << head << "Frames: 1\n" << frame_time << "\n" << rows[5] << "\n";
  expect_t_pose(solve(walk, "file:" + rest), 5, "file:");
  EXPECT_THROW(solve(walk, "frame:344"), oxr::ToolError);
}

// The walk with a zero frame in front, and the same motion captured from an A-pose: frame 0 lowers
// both arms by 45 degrees, every later frame is the walk's with each world rotation taken from that
// rest (W' = W * Wr'). Read against frame 0, its target is the plain walk's on every frame.
TEST(RestPose, AnAPoseCaptureReadAgainstItsFirstFrame) {
  const std::string walk = read_file(kWalk);
  std::istringstream in(walk);
  oxr::bvh::Reader reader(in);
  const oxr::bvh::Header& header = reader.header();
  const std::size_t joints = header.joints.size();
  std::vector<Quat> rest_local(joints, Quat{0, 0, 0, 1});
  for (std::size_t j = 0; j < joints; ++j) {
    if (header.joints[j].name == "LeftArm") rest_local[j] = about(2, -45);
    if (header.joints[j].name == "RightArm") rest_local[j] = about(2, 45);
  }
  std::vector<Quat> rest_world(joints);
  for (std::size_t j = 0; j < joints; ++j) {
    const int p = header.joints[j].parent;
    rest_world[j] = p < 0 ? rest_local[j] : mul(rest_world[static_cast<std::size_t>(p)], rest_local[j]);
  }
  const auto row = [&](const std::vector<double>& values, const std::vector<Quat>& local) {
    std::ostringstream out;
    out.precision(17);
    out << values[0] << ' ' << values[1] << ' ' << values[2];
    for (const Quat& q : local) {
      for (const double angle : euler_zyx(q)) out << ' ' << angle;
    }
    return out.str() + "\n";
  };
  const std::string head = walk.substr(0, walk.find("Frames:")) + "Frames: " + std::to_string(header.frame_count + 1) +
                           "\nFrame Time: 0.0083333\n";
  std::vector<double> values(static_cast<std::size_t>(header.channel_count));
  std::string plain = head + row({0, 0, 0}, std::vector<Quat>(joints, Quat{0, 0, 0, 1}));
  std::string a_pose = head + row({0, 0, 0}, rest_local);
  while (reader.read_frame(values)) {
    std::vector<Quat> local(joints), shifted(joints);
    for (std::size_t j = 0; j < joints; ++j) {
      local[j] = oxr::bvh::joint_rotation(header.joints[j], values);
      const int p = header.joints[j].parent;
      const Quat above = p < 0 ? Quat{0, 0, 0, 1} : rest_world[static_cast<std::size_t>(p)];
      shifted[j] = mul(mul(conj(above), local[j]), rest_world[j]);
    }
    plain += row(values, local);
    a_pose += row(values, shifted);
  }
  const Solved expected = solve(plain, "zero");
  const Solved actual = solve(a_pose, "frame:0");
  ASSERT_EQ(actual.frames.size(), expected.frames.size());
  double worst = 0;
  for (std::size_t f = 0; f < expected.frames.size(); ++f) {
    for (std::size_t b = 0; b < expected.frames[f].size(); ++b) {
      worst = std::max(worst, distance(actual.frames[f][b], expected.frames[f][b]));
    }
  }
  EXPECT_LT(worst, kAPoseTol);
  // Read as if its rest were its zero pose, the A-pose capture raises the arms by the difference.
  const Solved naive = solve(a_pose, "zero");
  EXPECT_GT(distance(naive.frames[10][7], expected.frames[10][7]), 0.1) << naive.info.bones[7];
}

}  // namespace
