#include "CharacterMap.h"

#include "Rig.h"
#include "Solver.h"
#include "ToolError.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <optional>
#include <set>
#include <unordered_map>

#include <tiny_gltf.h>

namespace oxr {
namespace {

using Mat4 = std::array<double, 16>;  // column-major, as glTF writes matrices

Mat4 identity_matrix() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

// a x b: b applied first.
Mat4 multiply(const Mat4& a, const Mat4& b) {
  Mat4 out{};
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      double sum = 0;
      for (int k = 0; k < 4; ++k) sum += a[static_cast<std::size_t>(k * 4 + r)] * b[static_cast<std::size_t>(c * 4 + k)];
      out[static_cast<std::size_t>(c * 4 + r)] = sum;
    }
  }
  return out;
}

// A node's local matrix: its matrix, else translation x rotation x scale.
Mat4 local_matrix(const tinygltf::Node& node) {
  if (node.matrix.size() == 16) {
    Mat4 m{};
    std::copy(node.matrix.begin(), node.matrix.end(), m.begin());
    return m;
  }
  Quat q = kIdentity;
  if (node.rotation.size() == 4) q = {node.rotation[0], node.rotation[1], node.rotation[2], node.rotation[3]};
  Vec3 s{1, 1, 1};
  if (node.scale.size() == 3) s = {node.scale[0], node.scale[1], node.scale[2]};
  Mat4 m = identity_matrix();
  for (int axis = 0; axis < 3; ++axis) {
    Vec3 unit{0, 0, 0};
    unit[static_cast<std::size_t>(axis)] = s[static_cast<std::size_t>(axis)];
    const Vec3 column = rotate(q, unit);
    for (int r = 0; r < 3; ++r) m[static_cast<std::size_t>(axis * 4 + r)] = column[static_cast<std::size_t>(r)];
  }
  if (node.translation.size() == 3) {
    for (int r = 0; r < 3; ++r) m[static_cast<std::size_t>(12 + r)] = node.translation[static_cast<std::size_t>(r)];
  }
  return m;
}

// Where the inverse of an affine matrix puts the origin: -A^-1 t for M = [A t]; empty when A is singular.
std::optional<Vec3> origin_of_inverse(const Mat4& m) {
  const double a = m[0], b = m[4], c = m[8], d = m[1], e = m[5], f = m[9], g = m[2], h = m[6], i = m[10];
  const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
  if (!std::isfinite(det) || std::abs(det) < 1e-12) return std::nullopt;
  const std::array<double, 9> inv{(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det,
                                  (f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det,
                                  (d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det};
  const Vec3 t{m[12], m[13], m[14]};
  Vec3 out{};
  for (std::size_t r = 0; r < 3; ++r) out[r] = -(inv[r * 3] * t[0] + inv[r * 3 + 1] * t[1] + inv[r * 3 + 2] * t[2]);
  return out;
}

// An accessor's values, read with every offset checked against its buffer; none when they do not fit.
class AccessorReader {
 public:
  AccessorReader(const tinygltf::Model& model, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= model.accessors.size()) return;
    const tinygltf::Accessor& accessor = model.accessors[static_cast<std::size_t>(index)];
    if (accessor.bufferView < 0 || static_cast<std::size_t>(accessor.bufferView) >= model.bufferViews.size()) return;
    const tinygltf::BufferView& view = model.bufferViews[static_cast<std::size_t>(accessor.bufferView)];
    if (view.buffer < 0 || static_cast<std::size_t>(view.buffer) >= model.buffers.size()) return;
    const std::vector<unsigned char>& data = model.buffers[static_cast<std::size_t>(view.buffer)].data;
    const int components = tinygltf::GetNumComponentsInType(static_cast<std::uint32_t>(accessor.type));
    const int size = tinygltf::GetComponentSizeInBytes(static_cast<std::uint32_t>(accessor.componentType));
    if (components <= 0 || size <= 0) return;
    components_ = static_cast<std::size_t>(components);
    size_ = static_cast<std::size_t>(size);
    stride_ = view.byteStride > 0 ? view.byteStride : components_ * size_;
    const std::size_t start = view.byteOffset + accessor.byteOffset;
    const std::size_t last = accessor.count == 0 ? 0 : (accessor.count - 1) * stride_ + components_ * size_;
    if (start > data.size() || last > data.size() - start || view.byteOffset + view.byteLength > data.size()) return;
    bytes_ = data.data() + start;
    count_ = accessor.count;
    type_ = accessor.componentType;
    normalized_ = accessor.normalized;
  }

  std::size_t count() const { return count_; }
  std::size_t components() const { return components_; }

  double at(std::size_t element, std::size_t component) const {
    const unsigned char* p = bytes_ + element * stride_ + component * size_;
    switch (type_) {
      case TINYGLTF_COMPONENT_TYPE_FLOAT: {
        float v = 0;
        std::memcpy(&v, p, 4);
        return v;
      }
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return normalized_ ? p[0] / 255.0 : p[0];
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
        std::uint16_t v = 0;
        std::memcpy(&v, p, 2);
        return normalized_ ? v / 65535.0 : v;
      }
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT: {
        std::uint32_t v = 0;
        std::memcpy(&v, p, 4);
        return v;
      }
      default:
        return 0;
    }
  }

 private:
  const unsigned char* bytes_ = nullptr;
  std::size_t count_ = 0, components_ = 0, size_ = 0, stride_ = 0;
  int type_ = 0;
  bool normalized_ = false;
};

// Skin joints some vertex weighs on, as node indices; empty when no mesh uses a skin.
std::set<int> weighted_joints(const tinygltf::Model& model) {
  std::set<int> weighted;
  for (const tinygltf::Node& node : model.nodes) {
    if (node.skin < 0 || node.mesh < 0 || static_cast<std::size_t>(node.skin) >= model.skins.size() ||
        static_cast<std::size_t>(node.mesh) >= model.meshes.size())
      continue;
    const std::vector<int>& joints = model.skins[static_cast<std::size_t>(node.skin)].joints;
    for (const tinygltf::Primitive& primitive : model.meshes[static_cast<std::size_t>(node.mesh)].primitives) {
      for (const char* set : {"0", "1", "2"}) {
        const auto j = primitive.attributes.find(std::string("JOINTS_") + set);
        const auto w = primitive.attributes.find(std::string("WEIGHTS_") + set);
        if (j == primitive.attributes.end() || w == primitive.attributes.end()) continue;
        const AccessorReader index(model, j->second), weight(model, w->second);
        const std::size_t count = std::min(index.count(), weight.count());
        const std::size_t k = std::min(index.components(), weight.components());
        for (std::size_t v = 0; v < count; ++v) {
          for (std::size_t c = 0; c < k; ++c) {
            if (!(weight.at(v, c) > 0)) continue;
            const double slot = index.at(v, c);
            if (slot >= 0 && slot < static_cast<double>(joints.size()))
              weighted.insert(joints[static_cast<std::size_t>(slot)]);
          }
        }
      }
    }
  }
  return weighted;
}

// World matrices of every node from the node transforms, parents first.
std::vector<Mat4> node_world(const tinygltf::Model& model, const std::vector<Character::Node>& nodes,
                             const std::vector<int>& order) {
  std::vector<Mat4> world(nodes.size(), identity_matrix());
  for (const int at : order) {
    const auto n = static_cast<std::size_t>(at);
    const Mat4 local = local_matrix(model.nodes[n]);
    world[n] = nodes[n].parent < 0 ? local : multiply(world[static_cast<std::size_t>(nodes[n].parent)], local);
  }
  return world;
}

// The bind pose's joint positions: the inverse bind matrices' origins; node transforms where a joint has
// none (or a singular one).
std::vector<Vec3> bind_positions(const tinygltf::Model& model, const std::vector<Mat4>& world) {
  std::vector<Vec3> position(world.size());
  for (std::size_t n = 0; n < world.size(); ++n) position[n] = {world[n][12], world[n][13], world[n][14]};
  std::vector<bool> done(world.size(), false);
  for (const tinygltf::Skin& skin : model.skins) {
    const AccessorReader matrices(model, skin.inverseBindMatrices);
    if (matrices.components() != 16) continue;
    for (std::size_t k = 0; k < skin.joints.size() && k < matrices.count(); ++k) {
      const int node = skin.joints[k];
      if (node < 0 || static_cast<std::size_t>(node) >= world.size() || done[static_cast<std::size_t>(node)]) continue;
      Mat4 m{};
      for (std::size_t c = 0; c < 16; ++c) m[c] = matrices.at(k, c);
      if (const auto origin = origin_of_inverse(m)) {
        position[static_cast<std::size_t>(node)] = *origin;
        done[static_cast<std::size_t>(node)] = true;
      }
    }
  }
  return position;
}

int target_index(std::string_view name) {
  const std::vector<std::string>& names = target_bone_names();
  const std::string wanted = bvh::to_lower(name);
  for (std::size_t j = 0; j < names.size(); ++j) {
    if (bvh::to_lower(names[j]) == wanted) return static_cast<int>(j);
  }
  return -1;
}

// A bone as a map file may spell it: a target bone, a source (KZ) bone or a VRM humanoid bone.
int bone_by_any_name(std::string_view name) {
  if (const int j = target_index(name); j >= 0) return j;
  const Pairing& pairing = builtin_pairing();
  const std::string wanted = bvh::to_lower(name);
  for (std::size_t i = 0; i < pairing.source.size(); ++i) {
    if (bvh::to_lower(pairing.source[i]) == wanted) return target_index(pairing.target[i]);
  }
  for (const auto& [vrm, target] : vrm_bones()) {
    if (bvh::to_lower(vrm) == wanted) return target.empty() ? -2 : target_index(target);
  }
  return -1;
}

// A member of a JSON object; a null value for a missing member or a value that is not an object.
const tinygltf::Value& member(const tinygltf::Value& value, const char* key) {
  static const tinygltf::Value null_value;
  return value.Has(key) ? value.Get(key) : null_value;
}

// The file's VRM humanoid map (1.0: VRMC_vrm.humanoid.humanBones.<bone>.node; 0.x: VRM.humanoid.humanBones
// as a list of {bone, node}), as node -> target bone; false when the file has none.
bool vrm_map(const tinygltf::Model& model, std::vector<int>& target_of, std::string& source) {
  const auto by_vrm_name = [](const std::string& bone) {
    for (const auto& [vrm, target] : vrm_bones()) {
      if (vrm == bone) return target.empty() ? -1 : target_index(target);
    }
    return -1;
  };
  const auto place = [&](int node, int target) {
    if (node >= 0 && static_cast<std::size_t>(node) < target_of.size() && target >= 0)
      target_of[static_cast<std::size_t>(node)] = target;
  };
  if (const auto one = model.extensions.find("VRMC_vrm"); one != model.extensions.end()) {
    const tinygltf::Value& bones = member(member(one->second, "humanoid"), "humanBones");
    if (!bones.IsObject()) return false;
    for (const std::string& bone : bones.Keys()) {
      const tinygltf::Value& node = member(bones.Get(bone), "node");
      if (node.IsInt()) place(node.Get<int>(), by_vrm_name(bone));
    }
    source = "the file's VRM 1.0 humanoid map";
    return true;
  }
  if (const auto zero = model.extensions.find("VRM"); zero != model.extensions.end()) {
    const tinygltf::Value& bones = member(member(zero->second, "humanoid"), "humanBones");
    if (!bones.IsArray()) return false;
    for (std::size_t i = 0; i < bones.ArrayLen(); ++i) {
      const tinygltf::Value& entry = bones.Get(static_cast<int>(i));
      if (!member(entry, "bone").IsString() || !member(entry, "node").IsInt()) continue;
      std::string bone = member(entry, "bone").Get<std::string>();
      // 0.x numbers the thumb proximal, intermediate, distal; 1.0 metacarpal, proximal, distal.
      for (const char* side : {"left", "right"}) {
        if (bone == std::string(side) + "ThumbProximal") bone = std::string(side) + "ThumbMetacarpal";
        else if (bone == std::string(side) + "ThumbIntermediate") bone = std::string(side) + "ThumbProximal";
      }
      place(member(entry, "node").Get<int>(), by_vrm_name(bone));
    }
    source = "the file's VRM 0.x humanoid map";
    return true;
  }
  return false;
}

// Recognition over the skin's joints that deform (some vertex weighs on them) and their joint ancestors,
// positions from the bind pose.
// Returns recognition's failure (empty for a human).
std::string recognise(const tinygltf::Model& model, const std::vector<Character::Node>& nodes,
                      const std::vector<int>& order, const std::vector<Vec3>& bind, CharacterMapping& mapping,
                      std::vector<std::string>& evidence) {
  std::set<int> joints;
  for (const tinygltf::Skin& skin : model.skins) {
    for (const int j : skin.joints) {
      if (j >= 0 && static_cast<std::size_t>(j) < nodes.size()) joints.insert(j);
    }
  }
  const std::set<int> weighted = weighted_joints(model);
  std::set<int> kept;
  for (const int j : weighted.empty() ? joints : weighted) {
    for (int at = j; at >= 0; at = nodes[static_cast<std::size_t>(at)].parent) {
      if (joints.count(at) != 0) kept.insert(at);
    }
  }
  for (const int j : joints) {
    if (kept.count(j) == 0) mapping.ignored.push_back(nodes[static_cast<std::size_t>(j)].name);
  }
  SkeletonDescription skeleton;
  std::vector<int> node_of;
  std::unordered_map<int, int> index_of;
  for (const int at : order) {
    if (kept.count(at) == 0) continue;
    const auto n = static_cast<std::size_t>(at);
    int parent = -1;
    for (int up = nodes[n].parent; up >= 0; up = nodes[static_cast<std::size_t>(up)].parent) {
      if (const auto found = index_of.find(up); found != index_of.end()) {
        parent = found->second;
        break;
      }
    }
    const Vec3 offset = parent < 0 ? bind[n] : sub(bind[n], bind[static_cast<std::size_t>(node_of[static_cast<std::size_t>(parent)])]);
    index_of.emplace(at, static_cast<int>(node_of.size()));
    node_of.push_back(at);
    skeleton.names.push_back(nodes[n].name.empty() ? "node" + std::to_string(at) : nodes[n].name);
    skeleton.parents.push_back(parent);
    skeleton.offsets.push_back({offset[0], offset[1], offset[2]});
  }
  const SkeletonRecognition recognition = recognise_skeleton(skeleton, RecognitionRequest{});
  if (!recognition.failure.empty()) return recognition.failure;
  const Pairing& pairing = builtin_pairing();
  for (const RecognisedJoint& pair : recognition.pairs) {
    const auto it = std::find(pairing.source.begin(), pairing.source.end(), pair.bone);
    if (it == pairing.source.end()) continue;
    const int target = target_index(pairing.target[static_cast<std::size_t>(it - pairing.source.begin())]);
    const int node = node_of[static_cast<std::size_t>(pair.joint)];
    mapping.target_of[static_cast<std::size_t>(node)] = target;
    evidence[static_cast<std::size_t>(node)] = evidence_text(pair.evidence);
  }
  mapping.source = "recognition of the skin's joints (names and structure, in the bind pose)";
  return {};
}

// What a mapped skeleton lacks to be driven as a human, in its bind pose: the bones of both legs and
// arms, a head, and a spine that rises from the hips the way the legs go down (within 50 degrees; a
// quadruped's spine runs level). Empty for a human.
std::string human_failure(const std::vector<int>& target_of, const std::vector<Vec3>& bind) {
  std::vector<std::string> missing;
  std::map<std::string, Vec3> at;
  for (const char* bone : {"pelvis", "head", "thigh_l", "calf_l", "foot_l", "thigh_r", "calf_r", "foot_r",
                           "upperarm_l", "lowerarm_l", "hand_l", "upperarm_r", "lowerarm_r", "hand_r"}) {
    const auto found = std::find(target_of.begin(), target_of.end(), target_index(bone));
    if (found == target_of.end()) {
      missing.emplace_back(bone);
    } else {
      at[bone] = bind[static_cast<std::size_t>(found - target_of.begin())];
    }
  }
  if (!missing.empty()) {
    std::string text = "no joint plays ";
    for (std::size_t i = 0; i < missing.size(); ++i) text += (i == 0 ? "" : ", ") + missing[i];
    return text;
  }
  const Vec3 feet = scale_vector(add(at["foot_l"], at["foot_r"]), 0.5);
  const Vec3 spine = sub(at["head"], at["pelvis"]), legs = sub(at["pelvis"], feet);
  const double cosine = (spine[0] * legs[0] + spine[1] * legs[1] + spine[2] * legs[2]) / (length(spine) * length(legs));
  if (!(cosine >= std::cos(50 * std::numbers::pi / 180))) return "its spine does not rise above its legs (no head above the hips)";
  return {};
}

// One node per target bone: `node` takes `target` from whichever node had it.
void give(CharacterMapping& mapping, std::vector<std::string>& evidence, std::size_t node, int target,
          const char* why) {
  if (target >= 0) {
    for (std::size_t n = 0; n < mapping.target_of.size(); ++n) {
      if (mapping.target_of[n] == target) mapping.target_of[n] = -1;
    }
  }
  mapping.target_of[node] = target;
  evidence[node] = why;
}

// The map file's entries: a node by its name (exactly, else without letter case and namespace), a bone
// by any skeleton's name; null or "" leaves the node to no bone.
void apply_map(const JointMap& map, const std::string& map_name, const std::vector<Character::Node>& nodes,
               const std::string& file, CharacterMapping& mapping, std::vector<std::string>& evidence) {
  for (const auto& [joint, bone] : map) {
    std::optional<std::size_t> node;
    for (std::size_t n = 0; n < nodes.size() && !node; ++n) {
      if (nodes[n].name == joint) node = n;
    }
    for (std::size_t n = 0; n < nodes.size() && !node; ++n) {
      if (bvh::to_lower(bvh::strip_namespace(nodes[n].name)) == bvh::to_lower(bvh::strip_namespace(joint))) node = n;
    }
    if (!node) throw UsageError(map_name, "names joint \"" + joint + "\", which " + file + " does not have");
    const int target = bone.empty() ? -1 : bone_by_any_name(bone);
    if (target == -1 && !bone.empty()) {
      throw UsageError(map_name, "joint \"" + joint + "\": no skeleton has a bone \"" + bone +
                                     "\" (give a target bone such as thigh_l, a KZ bone or a VRM humanoid bone)");
    }
    give(mapping, evidence, *node, std::max(target, -1), "map file");
  }
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& vrm_bones() {
  static const std::vector<std::pair<std::string, std::string>> table = [] {
    std::vector<std::pair<std::string, std::string>> all = {
        {"hips", "pelvis"},      {"spine", "spine_01"}, {"chest", "spine_03"}, {"upperChest", "spine_05"},
        {"neck", "neck_01"},     {"head", "head"},      {"leftEye", ""},       {"rightEye", ""},
        {"jaw", ""},
    };
    const std::pair<const char*, const char*> limb[] = {
        {"Shoulder", "clavicle"},        {"UpperArm", "upperarm"},        {"LowerArm", "lowerarm"},
        {"Hand", "hand"},                {"UpperLeg", "thigh"},           {"LowerLeg", "calf"},
        {"Foot", "foot"},                {"Toes", "ball"},                {"ThumbMetacarpal", "thumb_01"},
        {"ThumbProximal", "thumb_02"},   {"ThumbDistal", "thumb_03"},     {"IndexProximal", "index_01"},
        {"IndexIntermediate", "index_02"}, {"IndexDistal", "index_03"},   {"MiddleProximal", "middle_01"},
        {"MiddleIntermediate", "middle_02"}, {"MiddleDistal", "middle_03"}, {"RingProximal", "ring_01"},
        {"RingIntermediate", "ring_02"}, {"RingDistal", "ring_03"},       {"LittleProximal", "pinky_01"},
        {"LittleIntermediate", "pinky_02"}, {"LittleDistal", "pinky_03"},
    };
    for (const auto& [side, suffix] : {std::pair{"left", "_l"}, std::pair{"right", "_r"}}) {
      for (const auto& [vrm, target] : limb) all.emplace_back(std::string(side) + vrm, std::string(target) + suffix);
    }
    return all;
  }();
  return table;
}

CharacterMapping map_character(const tinygltf::Model& model, const std::vector<Character::Node>& nodes,
                               const std::vector<int>& order, const std::string& file, const JointMap& target_map,
                               const std::string& map_name) {
  CharacterMapping mapping;
  mapping.target_of.assign(nodes.size(), -1);
  std::vector<std::string> evidence(nodes.size());
  std::string failure;
  const std::vector<Vec3> bind = bind_positions(model, node_world(model, nodes, order));
  if (vrm_map(model, mapping.target_of, mapping.source)) {
    for (std::size_t n = 0; n < nodes.size(); ++n) {
      if (mapping.target_of[n] >= 0) evidence[n] = "VRM humanoid map";
    }
  } else {
    failure = recognise(model, nodes, order, bind, mapping, evidence);
    // A joint named exactly like a target bone is that bone (the mannequin's own family).
    for (std::size_t n = 0; n < nodes.size() && failure.empty(); ++n) {
      const int target = model.nodes[n].mesh < 0 ? target_index(bvh::strip_namespace(nodes[n].name)) : -1;
      if (target >= 0) give(mapping, evidence, n, target, "target bone name");
    }
  }
  apply_map(target_map, map_name, nodes, file, mapping, evidence);
  if (failure.empty() || !target_map.empty()) failure = human_failure(mapping.target_of, bind);
  if (!failure.empty()) {
    throw ToolError(file, "is not a human character: " + failure + "; give its joints' bones with --target-map FILE");
  }
  for (std::size_t n = 0; n < nodes.size(); ++n) {
    const int target = mapping.target_of[n];
    if (target >= 0)
      mapping.roles.push_back({static_cast<int>(n), target_bone_names()[static_cast<std::size_t>(target)], evidence[n]});
  }
  return mapping;
}

}  // namespace oxr
