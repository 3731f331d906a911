#include "Rig.h"

#include "FbxScene.h"

#include "AtomicFile.h"
#include "Canonical.h"
#include "GltfBind.h"
#include "GltfFile.h"
#include "JointMatch.h"
#include "RigGltf.h"
#include "Solver.h"
#include "ToolError.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <limits>
#include <optional>
#include <unordered_map>

namespace oxr {
namespace {

// Joint positions of a mannequin of average build standing in the T-pose, in centimetres, file
// axes (+Y up, facing +Z, its left at +X), left side and centre; the right side mirrors X. They
// place target joints that neither the source nor a rig locates, scaled to the performer.
const std::map<std::string, Vec3>& template_positions() {
  static const std::map<std::string, Vec3> table = [] {
    const std::map<std::string, Vec3> left = {
        {"root", {0, 0, 0}},
        {"pelvis", {0, 97, 0}},
        {"spine_01", {0, 106, -1}},
        {"spine_02", {0, 114, -1}},
        {"spine_03", {0, 122, -1}},
        {"spine_04", {0, 130, -1}},
        {"spine_05", {0, 138, -1}},
        {"neck_01", {0, 150, -1}},
        {"neck_02", {0, 155, 0}},
        {"head", {0, 160, 1}},
        {"clavicle_l", {3, 145, 1}},
        {"upperarm_l", {18, 145, -1}},
        {"lowerarm_l", {46, 145, -1}},
        {"hand_l", {72, 145, -1}},
        {"index_metacarpal_l", {74, 145, 1}},
        {"index_01_l", {81, 145, 2.5}},
        {"index_02_l", {85.5, 145, 2.5}},
        {"index_03_l", {88.5, 145, 2.5}},
        {"middle_metacarpal_l", {74, 145, 0}},
        {"middle_01_l", {81.5, 145, 0.5}},
        {"middle_02_l", {86.5, 145, 0.5}},
        {"middle_03_l", {89.5, 145, 0.5}},
        {"ring_metacarpal_l", {74, 145, -1.5}},
        {"ring_01_l", {81, 145, -1.5}},
        {"ring_02_l", {85.5, 145, -1.5}},
        {"ring_03_l", {88.5, 145, -1.5}},
        {"pinky_metacarpal_l", {73.5, 145, -3}},
        {"pinky_01_l", {79.5, 145, -3.5}},
        {"pinky_02_l", {83, 145, -3.5}},
        {"pinky_03_l", {85.5, 145, -3.5}},
        {"thumb_01_l", {74, 143.5, 3}},
        {"thumb_02_l", {77.5, 142.5, 5.5}},
        {"thumb_03_l", {80.5, 142, 7}},
        {"thigh_l", {9, 92, 0}},
        {"calf_l", {10, 50, 0}},
        {"foot_l", {10.5, 8, -3}},
        {"ball_l", {10.5, 1, 11}},
    };
    std::map<std::string, Vec3> all = left;
    for (const auto& [name, position] : left) {
      if (name.size() > 2 && name.ends_with("_l")) {
        all[name.substr(0, name.size() - 2) + "_r"] = {-position[0], position[1], position[2]};
      }
    }
    return all;
  }();
  return table;
}

Vec3 template_position(const std::string& bone) {
  const auto& table = template_positions();
  const auto found = table.find(bone);
  return found != table.end() ? found->second : Vec3{0, 0, 0};
}

// The target tree with its rest rotations, in file axes.
struct TargetTree {
  std::vector<std::string> names;
  std::vector<int> parents;
  std::vector<Quat> rest;
};

const TargetTree& target_tree() {
  static const TargetTree tree = [] {
    const SkeletonData& ue = target_skeleton();
    TargetTree result;
    result.names = ue.names;
    result.parents = ue.parents;
    for (const Quat& q : ue.t_pose_local) result.rest.push_back(to_file_axes(q));
    return result;
  }();
  return tree;
}

// Positions of the target bones a set of known joint positions locates, completed for the rest:
// an unknown joint lies on the straight line from its parent to its nearest located descendant,
// split in the template's proportions (spine and neck segments, metacarpals); without such a
// descendant it continues from its parent along the template, scaled by `scale`.
std::vector<Vec3> complete_positions(const TargetTree& tree, std::vector<std::optional<Vec3>> known, double scale) {
  const std::size_t n = tree.names.size();
  std::vector<std::vector<int>> children(n);
  for (std::size_t j = 0; j < n; ++j) {
    if (tree.parents[j] >= 0) children[static_cast<std::size_t>(tree.parents[j])].push_back(static_cast<int>(j));
  }
  std::vector<Vec3> tmpl(n);
  for (std::size_t j = 0; j < n; ++j) tmpl[j] = template_position(tree.names[j]);
  const auto segment = [&](std::size_t j) {
    return tree.parents[j] < 0 ? 0.0 : length(sub(tmpl[j], tmpl[static_cast<std::size_t>(tree.parents[j])]));
  };

  std::vector<Vec3> out(n);
  for (std::size_t j = 0; j < n; ++j) {
    if (known[j]) {
      out[j] = *known[j];
      continue;
    }
    const int parent = tree.parents[j];
    if (parent < 0) {
      out[j] = {0, 0, 0};
      known[j] = out[j];
      continue;
    }
    const auto p = static_cast<std::size_t>(parent);
    // Breadth-first through unknown joints, children in build order: the nearest located descendant.
    std::deque<std::pair<int, double>> queue{{static_cast<int>(j), segment(j)}};
    std::optional<std::pair<int, double>> found;
    while (!queue.empty() && !found) {
      const auto [at, path] = queue.front();
      queue.pop_front();
      for (const int child : children[static_cast<std::size_t>(at)]) {
        const double reach = path + segment(static_cast<std::size_t>(child));
        if (known[static_cast<std::size_t>(child)]) {
          found = std::make_pair(child, reach);
          break;
        }
        queue.emplace_back(child, reach);
      }
    }
    if (found && found->second > 0) {
      const Vec3 to = sub(*known[static_cast<std::size_t>(found->first)], out[p]);
      out[j] = add(out[p], scale_vector(to, segment(j) / found->second));
    } else {
      out[j] = add(out[p], scale_vector(sub(tmpl[j], tmpl[p]), scale));
    }
    known[j] = out[j];
  }
  return out;
}

// A node's own transform as a 3x4 column-major matrix (3x3 linear part, then the translation).
using Affine = std::array<double, 12>;

Affine node_matrix(const tinygltf::Node& node) {
  if (node.matrix.size() == 16) {
    const auto& m = node.matrix;
    return {m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10], m[12], m[13], m[14]};
  }
  const Quat q = node.rotation.size() == 4
                     ? Quat{node.rotation[0], node.rotation[1], node.rotation[2], node.rotation[3]}
                     : kIdentity;
  const Vec3 s = node.scale.size() == 3 ? Vec3{node.scale[0], node.scale[1], node.scale[2]} : Vec3{1, 1, 1};
  const Vec3 t = node.translation.size() == 3 ? Vec3{node.translation[0], node.translation[1], node.translation[2]}
                                              : Vec3{0, 0, 0};
  const Vec3 x = scale_vector(rotate(q, {1, 0, 0}), s[0]), y = scale_vector(rotate(q, {0, 1, 0}), s[1]),
             z = scale_vector(rotate(q, {0, 0, 1}), s[2]);
  return {x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2], t[0], t[1], t[2]};
}

// a * b.
Affine compose(const Affine& a, const Affine& b) {
  Affine out{};
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 3; ++r) {
      double v = c == 3 ? a[9 + r] : 0;
      for (int k = 0; k < 3; ++k) v += a[3 * k + r] * b[3 * c + k];
      out[3 * c + r] = v;
    }
  }
  return out;
}

// The inverse of an invertible affine matrix; false when it is singular.
bool invert(const Affine& m, Affine& out) {
  const double a = m[0], b = m[3], c = m[6], d = m[1], e = m[4], f = m[7], g = m[2], h = m[5], i = m[8];
  const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
  if (!(std::abs(det) > 1e-30)) return false;
  const double inv[9] = {(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det,
                         (f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det,
                         (d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det};
  // inv is row-major; out is column-major.
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out[3 * c + r] = inv[3 * r + c];
  for (int r = 0; r < 3; ++r) out[9 + r] = -(out[r] * m[9] + out[3 + r] * m[10] + out[6 + r] * m[11]);
  return true;
}

// The skin's inverse bind matrices by joint node, where the file holds them as floats.
std::vector<std::optional<Affine>> inverse_binds(const tinygltf::Model& model) {
  std::vector<std::optional<Affine>> out(model.nodes.size());
  if (model.skins.empty()) return out;
  const tinygltf::Skin& skin = model.skins.front();
  const int index = skin.inverseBindMatrices;
  if (index < 0 || static_cast<std::size_t>(index) >= model.accessors.size()) return out;
  const tinygltf::Accessor& accessor = model.accessors[static_cast<std::size_t>(index)];
  if (accessor.componentType != TINYGLTF_COMPONENT_TYPE_FLOAT || accessor.type != TINYGLTF_TYPE_MAT4 ||
      accessor.bufferView < 0 || accessor.count < skin.joints.size())
    return out;
  const tinygltf::BufferView& view = model.bufferViews[static_cast<std::size_t>(accessor.bufferView)];
  const std::vector<unsigned char>& data = model.buffers[static_cast<std::size_t>(view.buffer)].data;
  const std::size_t stride = view.byteStride > 0 ? view.byteStride : 64;
  const std::size_t start = view.byteOffset + accessor.byteOffset;
  for (std::size_t k = 0; k < skin.joints.size(); ++k) {
    const int joint = skin.joints[k];
    if (joint < 0 || static_cast<std::size_t>(joint) >= out.size() || start + k * stride + 64 > data.size()) continue;
    float m[16];
    std::memcpy(m, data.data() + start + k * stride, sizeof m);
    out[static_cast<std::size_t>(joint)] =
        Affine{m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10], m[12], m[13], m[14]};
  }
  return out;
}

}  // namespace

Quat matrix_rotation(const Vec3& x, const Vec3& y, const Vec3& z) {
  const double trace = x[0] + y[1] + z[2];
  Quat q;
  if (trace > 0) {
    const double s = std::sqrt(trace + 1) * 2;
    q = {(y[2] - z[1]) / s, (z[0] - x[2]) / s, (x[1] - y[0]) / s, s / 4};
  } else if (x[0] > y[1] && x[0] > z[2]) {
    const double s = std::sqrt(1 + x[0] - y[1] - z[2]) * 2;
    q = {s / 4, (y[0] + x[1]) / s, (z[0] + x[2]) / s, (y[2] - z[1]) / s};
  } else if (y[1] > z[2]) {
    const double s = std::sqrt(1 + y[1] - x[0] - z[2]) * 2;
    q = {(y[0] + x[1]) / s, s / 4, (z[1] + y[2]) / s, (z[0] - x[2]) / s};
  } else {
    const double s = std::sqrt(1 + z[2] - x[0] - y[1]) * 2;
    q = {(z[0] + x[2]) / s, (z[1] + y[2]) / s, s / 4, (x[1] - y[0]) / s};
  }
  return normalised(q);
}

GltfBindPose gltf_bind_pose(const tinygltf::Model& model) {
  const std::size_t n = model.nodes.size();
  GltfBindPose pose;
  pose.parents.assign(n, -1);
  for (std::size_t k = 0; k < n; ++k) {
    for (const int child : model.nodes[k].children) {
      if (child >= 0 && static_cast<std::size_t>(child) < n)
        pose.parents[static_cast<std::size_t>(child)] = static_cast<int>(k);
    }
  }
  const std::vector<std::optional<Affine>> binds = inverse_binds(model);
  std::vector<std::optional<Affine>> world(n);
  // Parents first, by resolving each node's chain; a cycle (refused elsewhere) stops at the guard.
  const auto resolve = [&](std::size_t start) {
    std::vector<std::size_t> chain;
    for (int at = static_cast<int>(start); at >= 0 && !world[static_cast<std::size_t>(at)] && chain.size() <= n;
         at = pose.parents[static_cast<std::size_t>(at)])
      chain.push_back(static_cast<std::size_t>(at));
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      Affine inverse{};
      if (binds[*it] && invert(*binds[*it], inverse)) {
        world[*it] = inverse;
        continue;
      }
      const Affine local = node_matrix(model.nodes[*it]);
      const int parent = pose.parents[*it];
      world[*it] = parent >= 0 && world[static_cast<std::size_t>(parent)]
                       ? compose(*world[static_cast<std::size_t>(parent)], local)
                       : local;
    }
  };
  pose.rotations.resize(n);
  pose.positions.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    resolve(k);
    const Affine& m = *world[k];
    const Vec3 x{m[0], m[1], m[2]}, y{m[3], m[4], m[5]}, z{m[6], m[7], m[8]};
    const double sx = length(x), sy = length(y), sz = length(z);
    pose.rotations[k] = sx > 0 && sy > 0 && sz > 0
                            ? matrix_rotation(scale_vector(x, 1 / sx), scale_vector(y, 1 / sy), scale_vector(z, 1 / sz))
                            : kIdentity;
    pose.positions[k] = {m[9], m[10], m[11]};
  }
  return pose;
}

namespace {

// A rig's located joints turned into the canonical T-pose (bone lengths kept) when its rest is not
// that pose within the tolerance: an A-pose, splayed legs. The lowest joint keeps its height.
void canonical_rig(const TargetTree& tree, std::vector<std::optional<Vec3>>& known, double scale) {
  const std::size_t n = tree.names.size();
  std::unordered_map<std::string, std::string> source_of;
  const Pairing& pairing = builtin_pairing();
  for (std::size_t i = 0; i < pairing.target.size(); ++i) source_of[pairing.target[i]] = pairing.source[i];
  PosedSkeleton rig;
  rig.parents = tree.parents;
  rig.positions = complete_positions(tree, known, scale);
  rig.rotations.assign(n, kIdentity);
  rig.bones.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    const auto found = source_of.find(tree.names[j]);
    if (found != source_of.end() && known[j]) rig.bones[j] = found->second;
  }
  const CanonicalPose pose = canonical_pose(rig);
  if (pose.worst_degrees <= kCanonicalTolerance) return;
  const std::vector<Vec3> turned = canonical_positions(rig, pose);
  double before = std::numeric_limits<double>::infinity(), after = before;
  for (std::size_t j = 1; j < n; ++j) {
    if (!known[j]) continue;
    before = std::min(before, rig.positions[j][1]);
    after = std::min(after, turned[j][1]);
  }
  for (std::size_t j = 1; j < n; ++j) {
    if (known[j]) known[j] = Vec3{turned[j][0], turned[j][1] - after + before, turned[j][2]};
  }
}

// Hip height and horizontal centre used to stand a set of positions on the ground at the origin.
void stand_on_ground(std::vector<Vec3>& points, std::size_t centre, std::span<const Vec3> extra = {}) {
  double ground = std::numeric_limits<double>::infinity();
  for (const Vec3& p : points) ground = std::min(ground, p[1]);
  for (const Vec3& p : extra) ground = std::min(ground, p[1]);
  const Vec3 shift{points[centre][0], ground, points[centre][2]};
  for (Vec3& p : points) p = sub(p, shift);
}

}  // namespace

double metres_per_unit(Units units) {
  switch (units) {
    case Units::Cm:
      return 0.01;
    case Units::M:
      return 1.0;
    case Units::Mm:
      return 0.001;
    case Units::In:
      return 0.0254;
  }
  return 0.01;
}

const char* units_name(Units units) {
  switch (units) {
    case Units::Cm:
      return "cm";
    case Units::M:
      return "m";
    case Units::Mm:
      return "mm";
    case Units::In:
      return "in";
  }
  return "cm";
}

const char* root_motion_name(RootMotion motion) {
  switch (motion) {
    case RootMotion::Pelvis:
      return "pelvis";
    case RootMotion::Root:
      return "root";
    case RootMotion::None:
      return "none";
  }
  return "pelvis";
}

Units units_from_name(std::string_view name) {
  for (const Units units : {Units::Cm, Units::M, Units::Mm, Units::In}) {
    if (name == units_name(units)) return units;
  }
  throw ToolError("unknown units '" + std::string(name) + "' (cm, m, mm or in)");
}

RootMotion root_motion_from_name(std::string_view name) {
  for (const RootMotion motion : {RootMotion::Pelvis, RootMotion::Root, RootMotion::None}) {
    if (name == root_motion_name(motion)) return motion;
  }
  throw ToolError("unknown root motion '" + std::string(name) + "' (pelvis, root or none)");
}

const std::vector<std::string>& target_bone_names() { return target_tree().names; }

int TargetSkeleton::index_of(const std::string& name) const {
  const auto found = std::find(names.begin(), names.end(), name);
  return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

Vec3 joint_translation(const bvh::Joint& joint, std::span<const double> values, bool file_axes,
                       bvh::Positions positions) {
  const Vec3 t = bvh::joint_position(joint, values, positions);
  return file_axes ? t : vector_to_file_axes(t);
}

namespace {

// A rig must name the pelvis and at least that.
void check_rig(const RigPositions& rig, const std::string& path) {
  if (rig.empty()) throw ToolError(path, "is not a rig of the target skeleton: it names no target bone");
  if (rig.count("pelvis") == 0) throw ToolError(path, "rig has no \"pelvis\" joint");
}

std::unordered_map<std::string, std::string> bones_by_lower_name() {
  std::unordered_map<std::string, std::string> bones;
  for (const std::string& name : target_tree().names) bones.emplace(bvh::to_lower(name), name);
  return bones;
}

}  // namespace

RigPositions gltf_rig(const tinygltf::Model& model, const std::string& path, Units units) {
  const std::unordered_map<std::string, std::string> bones = bones_by_lower_name();
  RigPositions rig;
  // Rest positions at the bind pose (the inverse bind matrices; node transforms may hold a posed
  // frame), metres to source units.
  const double to_units = 1.0 / metres_per_unit(units);
  const GltfBindPose bind = gltf_bind_pose(model);
  for (std::size_t n = 0; n < model.nodes.size(); ++n) {
    const auto found = bones.find(bvh::to_lower(bvh::strip_namespace(model.nodes[n].name)));
    if (found == bones.end() || rig.count(found->second) != 0) continue;
    const Vec3& position = bind.positions[n];
    const Vec3 located = scale_vector(position, to_units);
    if (!std::isfinite(located[0]) || !std::isfinite(located[1]) || !std::isfinite(located[2])) {
      throw ToolError(path, "node '" + shown_name(model.nodes[n].name) + "': its rest position is not finite");
    }
    rig[found->second] = located;
  }
  check_rig(rig, path);
  return rig;
}

RigPositions read_target_rig(const std::filesystem::path& path, Units units) {
  const std::string extension = bvh::to_lower(path.extension().string());
  if (extension == ".fbx") {
    open_input(path);
    try {
      RigPositions rig = fbx::read_rig(path, units);
      if (rig.count("pelvis") == 0) throw ToolError("rig has no joint that plays the pelvis");
      return rig;
    } catch (ToolError& error) {
      error.in_file(path.string());
      throw;
    }
  }
  if (extension == ".glb" || extension == ".gltf") return gltf_rig(read_gltf(path, "rig").model, path.string(), units);
  const std::unordered_map<std::string, std::string> bones = bones_by_lower_name();
  RigPositions rig;
  std::ifstream in = open_input(path);
  const bvh::Header header = [&] {
    try {
      bvh::Reader reader(in);
      return reader.header();
    } catch (Error& error) {
      error.in_file(path.string());
      throw;
    }
  }();
  // Zero-pose forward kinematics: every offset in its parent's (unrotated) frame.
  std::vector<Vec3> position(header.joints.size());
  for (std::size_t j = 0; j < header.joints.size(); ++j) {
    const bvh::Joint& joint = header.joints[j];
    position[j] = joint.parent < 0 ? joint.offset : add(position[static_cast<std::size_t>(joint.parent)], joint.offset);
    const auto found = bones.find(bvh::to_lower(bvh::strip_namespace(joint.name)));
    if (found != bones.end() && rig.count(found->second) == 0) rig[found->second] = position[j];
  }
  check_rig(rig, path.string());
  return rig;
}

Vec3 mannequin_t_pose_position(const std::string& target_bone) { return template_position(target_bone); }

namespace {

// The file's joints in their rest pose, in file axes, standing on the ground below `centre`.
std::vector<Vec3> standing_rest_positions(const bvh::Header& header, bool file_axes,
                                          const std::vector<Quat>& rest_local, std::size_t centre) {
  std::vector<Quat> rest_world(header.joints.size());
  std::vector<Vec3> rest_position(header.joints.size());
  std::vector<Vec3> tips;
  forward_kinematics(
      header.joints.size(), [&](std::size_t j) { return header.joints[j].parent; },
      [&](std::size_t j) { return rest_local[j]; },
      [&](std::size_t j) {
        const bvh::Joint& joint = header.joints[j];
        return file_axes ? joint.offset : vector_to_file_axes(joint.offset);
      },
      rest_world, rest_position);
  for (std::size_t j = 0; j < header.joints.size(); ++j) {
    for (const auto& end : header.joints[j].end_sites) {
      tips.push_back(add(rest_position[j], rotate(rest_world[j], file_axes ? end : vector_to_file_axes(end))));
    }
  }
  if (!rest_position.empty()) stand_on_ground(rest_position, centre, tips);
  return rest_position;
}

// Replaces the known places by the rig's, standing on the ground and completed by the canonical
// rig; sets the skeleton's hip height and motion scale and returns the template's scale.
double place_on_rig(const TargetTree& tree, const RigPositions& rig, std::size_t pelvis, double source_hips,
                    double scale, std::vector<std::optional<Vec3>>& known, TargetSkeleton& skeleton) {
  const std::size_t n = tree.names.size();
  std::vector<Vec3> located;
  std::vector<std::size_t> slots;
  for (std::size_t j = 0; j < n; ++j) {
    const auto found = rig.find(tree.names[j]);
    if (found == rig.end()) continue;
    located.push_back(found->second);
    slots.push_back(j);
  }
  const std::size_t rig_pelvis =
      static_cast<std::size_t>(std::find(slots.begin(), slots.end(), pelvis) - slots.begin());
  stand_on_ground(located, rig_pelvis);
  known.assign(n, std::nullopt);
  for (std::size_t k = 0; k < slots.size(); ++k) known[slots[k]] = located[k];
  known[0] = Vec3{0, 0, 0};
  canonical_rig(tree, known, scale);
  const double rig_hips = (*known[pelvis])[1];
  skeleton.motion_scale = source_hips > 0 && rig_hips > 0 ? rig_hips / source_hips : 1.0;
  skeleton.hip_height = rig_hips;
  return rig_hips > 0 ? rig_hips / template_position("pelvis")[1] : scale;
}

// The tree's rest rotations with the bones placed at `positions`: world rotations, offsets in the
// parent's frame, and a tip half a bone beyond each leaf.
void describe_target(const TargetTree& tree, const std::vector<Vec3>& positions, TargetSkeleton& skeleton) {
  const std::size_t n = tree.names.size();
  skeleton.names = tree.names;
  skeleton.parents = tree.parents;
  skeleton.rest = tree.rest;
  skeleton.rest_world = positions;
  skeleton.rest_world_rotation.resize(n);
  skeleton.offsets.resize(n);
  skeleton.end_sites.assign(n, Vec3{0, 0, 0});
  std::vector<bool> leaf(n, true);
  for (std::size_t j = 0; j < n; ++j) {
    const int parent = tree.parents[j];
    if (parent < 0) {
      skeleton.rest_world_rotation[j] = tree.rest[j];
      skeleton.offsets[j] = positions[j];
      continue;
    }
    const auto p = static_cast<std::size_t>(parent);
    leaf[p] = false;
    skeleton.rest_world_rotation[j] = mul(skeleton.rest_world_rotation[p], tree.rest[j]);
    skeleton.offsets[j] = rotate(conj(skeleton.rest_world_rotation[p]), sub(positions[j], positions[p]));
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (!leaf[j] || tree.parents[j] < 0) continue;
    const auto p = static_cast<std::size_t>(tree.parents[j]);
    skeleton.end_sites[j] =
        rotate(conj(skeleton.rest_world_rotation[j]), scale_vector(sub(positions[j], positions[p]), 0.5));
  }
}

}  // namespace

TargetSkeleton build_target_skeleton(const bvh::Header& header, const JointMatch& match, bool file_axes,
                                     const RigPositions* rig, const std::vector<Quat>& rest_local) {
  const TargetTree& tree = target_tree();
  const std::size_t n = tree.names.size();

  std::unordered_map<std::string, int> joint_of_bone;  // lower-case source bone -> file joint
  for (const JointMatch::Pair& pair : match.matched) joint_of_bone.emplace(bvh::to_lower(pair.bone), pair.joint);
  const auto hips = joint_of_bone.find("hips");
  const std::size_t centre = hips != joint_of_bone.end() ? static_cast<std::size_t>(hips->second) : 0;
  const std::vector<Vec3> rest_position = standing_rest_positions(header, file_axes, rest_local, centre);

  // Paired target bones stand on their source joints.
  const Pairing& pairing = builtin_pairing();
  std::vector<std::optional<Vec3>> known(n);
  for (std::size_t i = 0; i < pairing.target.size(); ++i) {
    const auto joint = joint_of_bone.find(bvh::to_lower(pairing.source[i]));
    if (joint == joint_of_bone.end()) continue;
    const auto target = std::find(tree.names.begin(), tree.names.end(), pairing.target[i]);
    if (target == tree.names.end()) continue;
    known[static_cast<std::size_t>(target - tree.names.begin())] =
        rest_position[static_cast<std::size_t>(joint->second)];
  }
  const std::size_t pelvis =
      static_cast<std::size_t>(std::find(tree.names.begin(), tree.names.end(), "pelvis") - tree.names.begin());
  if (!known[pelvis] && !rest_position.empty()) known[pelvis] = rest_position[centre];
  known[0] = Vec3{0, 0, 0};  // the root, on the ground below the pelvis

  const double source_hips = known[pelvis] ? (*known[pelvis])[1] : 0.0;
  double scale = source_hips > 0 ? source_hips / template_position("pelvis")[1] : 1.0;

  TargetSkeleton skeleton;
  skeleton.hip_height = source_hips;
  if (rig != nullptr) scale = place_on_rig(tree, *rig, pelvis, source_hips, scale, known, skeleton);
  describe_target(tree, complete_positions(tree, std::move(known), scale), skeleton);
  skeleton.root = 0;
  skeleton.pelvis = static_cast<int>(pelvis);
  return skeleton;
}

}  // namespace oxr
