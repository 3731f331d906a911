// Writes preview pages of a made-up clip for the browser tests: two stick figures, each with five
// fingers per hand, walking in place and waving, one named like a motion capture ("LeftHand",
// "RightHandIndex1") and one like a game rig ("hand_l", "index_01_r").
//   PreviewFixture FOLDER [FRAMES]
// writes FOLDER/waving figures.html, FOLDER/second clip.html (the same clip under a title full of
// characters to escape) and FOLDER/index.html listing both; and FOLDER/stray joints.html, the clip as a
// careless export leaves it: a reference root left at the origin 3 m from the body, and five garbage
// frames 1,460 m off.
#include "PreviewPage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* kTitle = "waving figures.bvh";
// Characters that must be escaped in HTML and inside a script.
constexpr const char* kAwkwardTitle = "second </script><b>clip</b> & \"quotes\" 'n' <!-- ü.bvh";

using Vec = std::array<double, 3>;
using Mat = std::array<double, 9>;  // row-major rotation

Mat multiply(const Mat& a, const Mat& b) {
  Mat m{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m[3 * r + c] = a[3 * r] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
  return m;
}

Vec rotate(const Mat& m, const Vec& v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

Mat about_x(double a) { return {1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a)}; }
Mat about_y(double a) { return {std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a)}; }
Mat about_z(double a) { return {std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1}; }

enum class Part { Body, Clavicle, UpperArm, LowerArm, Hand, Finger, Thigh, Calf, Foot };

struct Joint {
  std::string capture_name;
  std::string rig_name;
  int parent;
  Vec offset;  // metres, from the parent, facing +Z with +Y up: the figure's left is +X
  Part part;
  int side;  // +1 left, -1 right, 0 centre
};

std::vector<Joint> skeleton() {
  std::vector<Joint> joints = {
      {"Hips", "pelvis", -1, {0, 0.95, 0}, Part::Body, 0},    {"Spine", "spine_01", 0, {0, 0.12, 0}, Part::Body, 0},
      {"Spine1", "spine_03", 1, {0, 0.16, 0}, Part::Body, 0}, {"Neck", "neck_01", 2, {0, 0.22, 0}, Part::Body, 0},
      {"Head", "head", 3, {0, 0.11, 0.01}, Part::Body, 0},    {"HeadEnd", "head_end", 4, {0, 0.17, 0}, Part::Body, 0},
  };
  for (int side : {1, -1}) {
    const std::string capture = side > 0 ? "Left" : "Right";
    const std::string rig = side > 0 ? "_l" : "_r";
    const double s = side;
    auto add = [&](const std::string& capture_name, const std::string& rig_name, int parent, Vec offset, Part part) {
      joints.push_back({capture + capture_name, rig_name + rig, parent, offset, part, side});
      return static_cast<int>(joints.size()) - 1;
    };
    const int clavicle = add("Shoulder", "clavicle", 2, {s * 0.04, 0.19, 0}, Part::Clavicle);
    const int upper = add("Arm", "upperarm", clavicle, {s * 0.14, 0, 0}, Part::UpperArm);
    const int lower = add("ForeArm", "lowerarm", upper, {s * 0.28, 0, 0}, Part::LowerArm);
    const int hand = add("Hand", "hand", lower, {s * 0.25, 0, 0}, Part::Hand);
    const std::array<const char*, 5> capture_fingers = {"Thumb", "Index", "Middle", "Ring", "Pinky"};
    const std::array<const char*, 5> rig_fingers = {"thumb", "index", "middle", "ring", "pinky"};
    const std::array<double, 5> spread = {0.035, 0.025, 0.008, -0.01, -0.027};
    const std::array<double, 5> length = {0.035, 0.04, 0.045, 0.042, 0.032};
    for (int f = 0; f < 5; ++f) {
      int parent = hand;
      for (int k = 1; k <= 3; ++k) {
        const Vec offset = k == 1 ? Vec{s * (f == 0 ? 0.03 : 0.09), f == 0 ? -0.01 : 0, spread[f]}
                                  : Vec{s * length[f] * (k == 2 ? 1.0 : 0.7), 0, f == 0 ? 0.01 : 0};
        parent = add(std::string("Hand") + capture_fingers[f] + std::to_string(k),
                     std::string(rig_fingers[f]) + "_0" + std::to_string(k), parent, offset, Part::Finger);
      }
    }
    const int thigh = add("UpLeg", "thigh", 0, {s * 0.1, -0.05, 0}, Part::Thigh);
    const int calf = add("Leg", "calf", thigh, {0, -0.42, 0}, Part::Calf);
    const int foot = add("Foot", "foot", calf, {0, -0.42, 0}, Part::Foot);
    add("ToeBase", "ball", foot, {0, -0.05, 0.13}, Part::Foot);
  }
  return joints;
}

// The local rotation of a joint at time t: the right arm raised and waving, the left arm swinging, the
// legs stepping in place, the fingers curling and opening, the body turning slowly.
Mat local_rotation(const Joint& joint, double t) {
  const double s = joint.side;
  const double wave = std::sin(4.0 * t);
  const double step = std::sin(2.0 * t) * s;
  switch (joint.part) {
    case Part::Body:
      return joint.parent < 0 ? about_y(0.5 * std::sin(0.4 * t)) : about_z(0.03 * std::sin(t));
    case Part::Clavicle:
      return about_z(s > 0 ? 0.0 : -0.25);
    case Part::UpperArm:
      return s > 0 ? multiply(about_z(-1.2), about_x(0.3 * step)) : about_z(-1.4);
    case Part::LowerArm:
      return s > 0 ? about_y(0.3) : about_z(-0.6 + 0.5 * wave);
    case Part::Hand:
      return about_z(0.2 * s * wave);
    case Part::Finger:
      return about_z(-s * 0.5 * (1.0 + std::sin(3.0 * t)));
    case Part::Thigh:
      return about_x(-0.4 * std::max(0.0, step));
    case Part::Calf:
      return about_x(0.8 * std::max(0.0, step));
    case Part::Foot:
      return about_x(0.0);
  }
  return about_x(0.0);
}

oxr::PreviewFigure figure(const std::vector<Joint>& joints, bool rig_names, double scale, std::int64_t frames,
                          double frame_time) {
  oxr::PreviewFigure out;
  for (const Joint& joint : joints) {
    out.joints.push_back(rig_names ? joint.rig_name : joint.capture_name);
    out.parents.push_back(joint.parent);
  }
  std::vector<Mat> world(joints.size());
  std::vector<Vec> position(joints.size());
  for (std::int64_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) * frame_time;
    for (std::size_t j = 0; j < joints.size(); ++j) {
      const Joint& joint = joints[j];
      const Mat local = local_rotation(joint, t);
      const Vec offset = {scale * joint.offset[0], scale * joint.offset[1], scale * joint.offset[2]};
      if (joint.parent < 0) {
        world[j] = local;
        position[j] = {offset[0] + 0.15 * std::sin(0.5 * t), offset[1] + 0.02 * std::sin(4.0 * t), offset[2]};
      } else {
        const auto p = static_cast<std::size_t>(joint.parent);
        world[j] = multiply(world[p], local);
        const Vec moved = rotate(world[p], offset);
        position[j] = {position[p][0] + moved[0], position[p][1] + moved[1], position[p][2] + moved[2]};
      }
      for (double v : position[j]) out.positions.push_back(static_cast<float>(v));
    }
  }
  return out;
}

// A reference joint at the origin becomes the figure's root, the body 3 m from it; frames 100 to 104
// are thrown 1,460 m off.
void add_strays(oxr::PreviewFigure& figure, std::int64_t frames) {
  const std::size_t joints = figure.joints.size();
  figure.joints.insert(figure.joints.begin(), "Reference");
  for (int& parent : figure.parents) parent += 1;
  figure.parents.insert(figure.parents.begin(), -1);
  std::vector<float> positions;
  for (std::int64_t f = 0; f < frames; ++f) {
    const bool garbage = f >= 100 && f < 105;
    for (int a = 0; a < 3; ++a) positions.push_back(0.0F);
    for (std::size_t j = 0; j < joints; ++j) {
      const float* p = &figure.positions[3 * (static_cast<std::size_t>(f) * joints + j)];
      positions.push_back(p[0] + (garbage ? 1460.0F : 2.4F));
      positions.push_back(p[1] - (garbage ? 1460.0F : 0.0F));
      positions.push_back(p[2] + (garbage ? 30.0F : -1.8F));
    }
  }
  figure.positions = std::move(positions);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: PreviewFixture FOLDER [FRAMES]\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  const std::int64_t frames = argc == 3 ? std::atoll(argv[2]) : 240;
  std::filesystem::create_directories(folder);

  const std::vector<Joint> joints = skeleton();
  oxr::PreviewClip clip;
  clip.title = kTitle;
  clip.frame_time = 1.0 / 30.0;
  clip.frames = frames;
  clip.source = figure(joints, false, 1.0, frames, clip.frame_time);
  clip.target = figure(joints, true, 0.96, frames, clip.frame_time);
  {
    std::ofstream out(folder / "waving figures.html", std::ios::binary);
    oxr::write_preview_page(out, clip);
  }
  clip.title = kAwkwardTitle;
  {
    std::ofstream out(folder / "second clip.html", std::ios::binary);
    oxr::write_preview_page(out, clip);
  }
  {
    oxr::PreviewClip stray = clip;
    stray.title = "stray joints.bvh";
    add_strays(stray.source, frames);
    add_strays(stray.target, frames);
    std::ofstream out(folder / "stray joints.html", std::ios::binary);
    oxr::write_preview_page(out, stray);
  }
  const double seconds = static_cast<double>(frames) * clip.frame_time;
  const std::vector<oxr::PreviewIndexEntry> entries = {
      {"waving figures.html", kTitle, frames, seconds, {}},
      {"second clip.html", kAwkwardTitle, frames, seconds, {"feet slide <b>4 cm</b>", "left wrist & thumb"}},
  };
  std::ofstream out(folder / "index.html", std::ios::binary);
  oxr::write_preview_index(out, entries);
  return out ? 0 : 1;
}
