#include "CharacterMap.h"

#include "Canonical.h"
#include "GltfBind.h"
#include "Rig.h"
#include "Solver.h"
#include "ToolError.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <set>
#include <unordered_map>

#include <tiny_gltf.h>

namespace oxr {
namespace {

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

// The target bone of that name, letter case aside; -1 for none.
int target_index(std::string_view name) {
  static const std::unordered_map<std::string, int> index = [] {
    std::unordered_map<std::string, int> out;
    const std::vector<std::string>& names = target_bone_names();
    for (std::size_t j = 0; j < names.size(); ++j) out.emplace(bvh::to_lower(names[j]), static_cast<int>(j));
    return out;
  }();
  const auto found = index.find(bvh::to_lower(name));
  return found == index.end() ? -1 : found->second;
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
        if (bone == std::string(side) + "ThumbProximal")
          bone = std::string(side) + "ThumbMetacarpal";
        else if (bone == std::string(side) + "ThumbIntermediate")
          bone = std::string(side) + "ThumbProximal";
      }
      place(member(entry, "node").Get<int>(), by_vrm_name(bone));
    }
    source = "the file's VRM 0.x humanoid map";
    return true;
  }
  return false;
}

// The joints named exactly as target bones play them (the mannequin's own family), the first of a name
// in joint order; false, with nothing given, when none of them is the pelvis.
bool by_target_names(const CharacterJoints& joints, CharacterMapping& mapping, std::vector<std::string>& evidence) {
  std::vector<bool> taken(target_bone_names().size(), false);
  bool pelvis = false;
  for (std::size_t j = 0; j < joints.names.size(); ++j) {
    if (!joints.nameable[j]) continue;
    const int target = target_index(bvh::strip_namespace(joints.names[j]));
    if (target < 0 || taken[static_cast<std::size_t>(target)]) continue;
    taken[static_cast<std::size_t>(target)] = true;
    mapping.target_of[j] = target;
    evidence[j] = "target bone name";
    pelvis = pelvis || target_bone_names()[static_cast<std::size_t>(target)] == "pelvis";
  }
  if (!pelvis) std::fill(mapping.target_of.begin(), mapping.target_of.end(), -1);
  return pelvis;
}

// Recognition over the skin's joints that deform (some vertex weighs on them; every skin joint when the
// file does not say) and the skin joints above them, placed by the bind pose. IK targets, control copies
// and helpers that no vertex follows are left out. Returns recognition's failure (empty for a human).
std::string recognise(const CharacterJoints& joints, CharacterMapping& mapping, std::vector<std::string>& evidence) {
  const std::size_t n = joints.names.size();
  const bool weights = std::find(joints.deforms.begin(), joints.deforms.end(), true) != joints.deforms.end();
  std::vector<bool> kept(n, false);
  for (std::size_t j = 0; j < n; ++j) {
    if (!joints.skin[j] || (weights && !joints.deforms[j])) continue;
    for (int at = static_cast<int>(j); at >= 0; at = joints.parents[static_cast<std::size_t>(at)]) {
      const auto k = static_cast<std::size_t>(at);
      if (kept[k]) break;
      if (joints.skin[k]) kept[k] = true;
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (joints.skin[j] && !kept[j]) mapping.ignored.push_back(joints.names[j]);
  }
  SkeletonDescription skeleton;
  std::vector<int> joint_of;
  std::vector<int> slot(n, -1);
  std::set<std::string> names;
  for (const int at : joints.order) {
    const auto k = static_cast<std::size_t>(at);
    if (!kept[k]) continue;
    int parent = -1;
    for (int up = joints.parents[k]; up >= 0 && parent < 0; up = joints.parents[static_cast<std::size_t>(up)])
      parent = slot[static_cast<std::size_t>(up)];
    const Vec3 offset =
        parent < 0
            ? joints.bind[k]
            : sub(joints.bind[k], joints.bind[static_cast<std::size_t>(joint_of[static_cast<std::size_t>(parent)])]);
    slot[k] = static_cast<int>(joint_of.size());
    joint_of.push_back(at);
    // Recognition reads names as a file's joints are named: each once.
    std::string name = joints.names[k].empty() ? "joint" + std::to_string(at) : joints.names[k];
    while (!names.insert(bvh::to_lower(name)).second) name += "_" + std::to_string(at);
    skeleton.names.push_back(std::move(name));
    skeleton.parents.push_back(parent);
    skeleton.offsets.push_back({offset[0], offset[1], offset[2]});
    skeleton.end_sites.emplace_back();
    if (k < joints.tips.size()) {
      for (const Vec3& tip : joints.tips[k]) {
        const Vec3 end = sub(tip, joints.bind[k]);
        skeleton.end_sites.back().push_back({end[0], end[1], end[2]});
      }
    }
  }
  RecognitionRequest request;
  request.up = joints.up;
  request.metres_per_unit = joints.metres_per_unit;
  const SkeletonRecognition recognition = recognise_skeleton(skeleton, request);
  if (!recognition.failure.empty()) return recognition.failure;
  const Pairing& pairing = builtin_pairing();
  for (const RecognisedJoint& pair : recognition.pairs) {
    const auto it = std::find(pairing.source.begin(), pairing.source.end(), pair.bone);
    if (it == pairing.source.end()) continue;
    const int target = target_index(pairing.target[static_cast<std::size_t>(it - pairing.source.begin())]);
    const auto joint = static_cast<std::size_t>(joint_of[static_cast<std::size_t>(pair.joint)]);
    mapping.target_of[joint] = target;
    evidence[joint] = evidence_text(pair.evidence);
  }
  return {};
}

// What a mapped skeleton lacks to be driven as a human, in its bind pose: the bones of both legs and
// arms, a head, and a spine that rises from the hips the way the legs go down (within 50 degrees; a
// quadruped's spine runs level). Empty for a human.
std::string human_failure(const std::vector<int>& target_of, const std::vector<Vec3>& bind) {
  std::vector<std::string> missing;
  std::map<std::string, Vec3> at;
  for (const char* bone : {"pelvis", "head", "thigh_l", "calf_l", "foot_l", "thigh_r", "calf_r", "foot_r", "upperarm_l",
                           "lowerarm_l", "hand_l", "upperarm_r", "lowerarm_r", "hand_r"}) {
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
  const double cosine = dot(spine, legs) / (length(spine) * length(legs));
  if (!(cosine >= std::cos(50 * std::numbers::pi / 180)))
    return "its spine does not rise above its legs (no head above the hips)";
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

// The map file's entries: a joint by its name (exactly, else without letter case and namespace), a bone
// by any skeleton's name; null or "" leaves the joint to no bone.
void apply_map(const JointMap& map, const std::string& map_name, const CharacterJoints& joints, const std::string& file,
               CharacterMapping& mapping, std::vector<std::string>& evidence) {
  const std::vector<std::string>& names = joints.names;
  for (const auto& [joint, bone] : map) {
    std::optional<std::size_t> at;
    for (std::size_t j = 0; j < names.size() && !at; ++j) {
      if (names[j] == joint) at = j;
    }
    for (std::size_t j = 0; j < names.size() && !at; ++j) {
      if (bvh::to_lower(bvh::strip_namespace(names[j])) == bvh::to_lower(bvh::strip_namespace(joint))) at = j;
    }
    if (!at) throw Error(map_name, "names joint \"" + shown_name(joint) + "\", which " + file + " does not have");
    const int target = bone.empty() ? -1 : bone_by_any_name(bone);
    if (target == -1 && !bone.empty()) {
      throw Error(map_name, "joint \"" + shown_name(joint) + "\": no skeleton has a bone \"" + shown_name(bone) +
                                "\" (give a target bone such as thigh_l, a KZ bone or a VRM humanoid bone)");
    }
    give(mapping, evidence, *at, std::max(target, -1), "map file");
  }
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& vrm_bones() {
  static const std::vector<std::pair<std::string, std::string>> table = [] {
    std::vector<std::pair<std::string, std::string>> all = {
        {"hips", "pelvis"},  {"spine", "spine_01"}, {"chest", "spine_03"}, {"upperChest", "spine_05"},
        {"neck", "neck_01"}, {"head", "head"},      {"leftEye", ""},       {"rightEye", ""},
        {"jaw", ""},
    };
    const std::pair<const char*, const char*> limb[] = {
        {"Shoulder", "clavicle"},
        {"UpperArm", "upperarm"},
        {"LowerArm", "lowerarm"},
        {"Hand", "hand"},
        {"UpperLeg", "thigh"},
        {"LowerLeg", "calf"},
        {"Foot", "foot"},
        {"Toes", "ball"},
        {"ThumbMetacarpal", "thumb_01"},
        {"ThumbProximal", "thumb_02"},
        {"ThumbDistal", "thumb_03"},
        {"IndexProximal", "index_01"},
        {"IndexIntermediate", "index_02"},
        {"IndexDistal", "index_03"},
        {"MiddleProximal", "middle_01"},
        {"MiddleIntermediate", "middle_02"},
        {"MiddleDistal", "middle_03"},
        {"RingProximal", "ring_01"},
        {"RingIntermediate", "ring_02"},
        {"RingDistal", "ring_03"},
        {"LittleProximal", "pinky_01"},
        {"LittleIntermediate", "pinky_02"},
        {"LittleDistal", "pinky_03"},
    };
    for (const auto& [side, suffix] : {std::pair{"left", "_l"}, std::pair{"right", "_r"}}) {
      for (const auto& [vrm, target] : limb) all.emplace_back(std::string(side) + vrm, std::string(target) + suffix);
    }
    return all;
  }();
  return table;
}

CharacterJoints gltf_character_joints(const tinygltf::Model& model, const std::vector<std::string>& names,
                                      const std::vector<int>& parents, const std::vector<int>& order,
                                      const std::vector<Vec3>& bind, const std::vector<Quat>& rotations) {
  const std::size_t n = names.size();
  CharacterJoints joints;
  joints.names = names;
  joints.parents = parents;
  joints.order = order;
  joints.bind = bind;
  joints.rotations = rotations;
  joints.skin.assign(n, false);
  joints.deforms.assign(n, false);
  joints.nameable.assign(n, false);
  for (const tinygltf::Skin& skin : model.skins) {
    for (const int j : skin.joints) {
      if (j >= 0 && static_cast<std::size_t>(j) < n) joints.skin[static_cast<std::size_t>(j)] = true;
    }
  }
  for (const int j : weighted_joints(model)) {
    if (j >= 0 && static_cast<std::size_t>(j) < n) joints.deforms[static_cast<std::size_t>(j)] = true;
  }
  for (std::size_t j = 0; j < n && j < model.nodes.size(); ++j) joints.nameable[j] = model.nodes[j].mesh < 0;
  joints.given.assign(n, -1);
  if (!vrm_map(model, joints.given, joints.given_by)) joints.given.clear();
  return joints;
}

CharacterMapping map_character(const CharacterJoints& joints, const std::string& file, const JointMap& target_map,
                               const std::string& map_name) {
  const std::size_t n = joints.names.size();
  CharacterMapping mapping;
  mapping.target_of.assign(n, -1);
  std::vector<std::string> evidence(n);
  std::string failure;
  bool by_names = false;
  if (!joints.given_by.empty()) {
    mapping.target_of = joints.given;
    mapping.source = joints.given_by;
    for (std::size_t j = 0; j < n; ++j) {
      if (mapping.target_of[j] >= 0) evidence[j] = "VRM humanoid map";
    }
  } else {
    // Joints named as the target's bones decide when they make a human; else recognition does, and
    // where it cannot, a skeleton named as the target's with at least a pelvis is taken as it is named.
    CharacterMapping named = mapping;
    std::vector<std::string> named_evidence = evidence;
    const bool has_names = by_target_names(joints, named, named_evidence);
    if (has_names && human_failure(named.target_of, joints.bind).empty()) {
      by_names = true;
    } else {
      failure = recognise(joints, mapping, evidence);
      if (failure.empty()) failure = human_failure(mapping.target_of, joints.bind);
      mapping.source = "recognition of the skin's joints (names and structure, in the bind pose)";
      by_names = has_names && !failure.empty();
    }
    if (by_names) {
      mapping = std::move(named);
      evidence = std::move(named_evidence);
      mapping.source = "the joints' names (the target skeleton's)";
      failure.clear();
    }
  }
  apply_map(target_map, map_name, joints, file, mapping, evidence);
  if (!target_map.empty()) mapping.source += ", completed by " + map_name;
  if (!target_map.empty() || (!by_names && failure.empty())) failure = human_failure(mapping.target_of, joints.bind);
  if (!failure.empty()) {
    throw Error(file, "is not a human character: " + failure)
        .with_hint("give its joints' bones with", "target-map", "FILE");
  }
  for (std::size_t j = 0; j < n; ++j) {
    const int target = mapping.target_of[j];
    if (target >= 0)
      mapping.roles.push_back(
          {static_cast<int>(j), target_bone_names()[static_cast<std::size_t>(target)], evidence[j]});
  }
  return mapping;
}

Quat character_facing(const CharacterJoints& joints, const CharacterMapping& mapping) {
  const auto at = [&](const char* bone) -> std::optional<Vec3> {
    const int target = target_index(bone);
    const auto found = std::find(mapping.target_of.begin(), mapping.target_of.end(), target);
    if (target < 0 || found == mapping.target_of.end()) return std::nullopt;
    return joints.bind[static_cast<std::size_t>(found - mapping.target_of.begin())];
  };
  const auto span = [&](const char* a, const char* b) -> std::optional<Vec3> {
    const auto from = at(a), to = at(b);
    if (!from || !to) return std::nullopt;
    return sub(*from, *to);
  };
  std::optional<Vec3> up = span("head", "pelvis");
  std::optional<Vec3> left = span("thigh_l", "thigh_r");
  if (!left) left = span("upperarm_l", "upperarm_r");
  if (!up || !left || length(*up) <= 0) return kIdentity;
  const auto snap = [](Vec3 v) {
    v = normalised(v);
    for (std::size_t axis = 0; axis < 3; ++axis) {
      if (std::abs(v[axis]) >= 0.9) {
        Vec3 unit{0, 0, 0};
        unit[axis] = v[axis] > 0 ? 1 : -1;
        return unit;
      }
    }
    return v;
  };
  const Vec3 y = snap(*up);
  const double along = dot(*left, y);
  Vec3 x = sub(*left, scale_vector(y, along));
  if (length(x) <= 1e-9 * length(*left)) return kIdentity;
  x = snap(x);
  const Vec3 z = cross(x, y);
  if (x == Vec3{1, 0, 0} && y == Vec3{0, 1, 0}) return kIdentity;
  return matrix_rotation(x, y, z);
}

std::vector<Quat> canonical_turns(const CharacterJoints& joints, const CharacterMapping& mapping, const Quat& facing) {
  const std::size_t n = joints.names.size();
  const bool turned = facing != kIdentity;
  std::vector<std::string> source_of(target_bone_names().size());
  const Pairing& pairing = builtin_pairing();
  for (std::size_t i = 0; i < pairing.target.size(); ++i) {
    const int target = target_index(pairing.target[i]);
    if (target >= 0) source_of[static_cast<std::size_t>(target)] = pairing.source[i];
  }
  // The skeleton parents first, in the target's frame.
  std::vector<int> slot(n, -1);
  PosedSkeleton posed;
  for (const int at : joints.order) {
    const auto k = static_cast<std::size_t>(at);
    slot[k] = static_cast<int>(posed.parents.size());
    posed.parents.push_back(joints.parents[k] < 0 ? -1 : slot[static_cast<std::size_t>(joints.parents[k])]);
    posed.positions.push_back(turned ? rotate(conj(facing), joints.bind[k]) : joints.bind[k]);
    posed.rotations.push_back(turned ? mul(conj(facing), joints.rotations[k]) : joints.rotations[k]);
    const int target = mapping.target_of[k];
    posed.bones.push_back(target < 0 ? std::string() : source_of[static_cast<std::size_t>(target)]);
  }
  const CanonicalPose pose = canonical_pose(posed);
  if (pose.worst_degrees <= kCanonicalTolerance) return {};
  std::vector<Quat> turns(n);
  for (std::size_t k = 0; k < n; ++k) {
    const Quat& turn = pose.turn[static_cast<std::size_t>(slot[k])];
    turns[k] = turned ? mul(facing, mul(turn, conj(facing))) : turn;
  }
  return turns;
}

std::optional<Vec3> ground_root(const CharacterMapping& mapping, const std::vector<Vec3>& places,
                                const Facing& facing) {
  const int root = target_index("root"), pelvis = target_index("pelvis");
  std::optional<Vec3> hips;
  double lowest = std::numeric_limits<double>::infinity();
  for (const JointRole& role : mapping.roles) {
    const int bone = target_index(role.bone);
    if (bone == root) return std::nullopt;
    const Vec3 place = facing.to_target(places[static_cast<std::size_t>(role.joint)]);
    if (bone == pelvis) hips = place;
    lowest = std::min(lowest, place[1]);
  }
  if (!hips || !(lowest >= 0) || lowest > 0.15 * (*hips)[1]) return std::nullopt;
  return Vec3{(*hips)[0], 0.0, (*hips)[2]};
}

std::vector<int> covered_bones(const std::vector<int>& joint_parents, const std::vector<int>& bone_of,
                               const std::vector<int>& bone_parents) {
  const std::size_t n = joint_parents.size();
  std::vector<int> top(n, -1);
  std::vector<std::vector<int>> common(n);  // per joint, the bones all its children skip so far
  std::vector<bool> seen(n, false);
  for (std::size_t c = 0; c < n; ++c) {
    const int bone = bone_of[c];
    if (bone < 0) continue;
    int up = joint_parents[c];
    while (up >= 0 && bone_of[static_cast<std::size_t>(up)] < 0) up = joint_parents[static_cast<std::size_t>(up)];
    if (up < 0) continue;
    const auto u = static_cast<std::size_t>(up);
    // The bones between the parent joint's bone and this one's, from the bottom.
    std::vector<int> skipped;
    int at = bone_parents[static_cast<std::size_t>(bone)];
    while (at >= 0 && at != bone_of[u]) {
      skipped.push_back(at);
      at = bone_parents[static_cast<std::size_t>(at)];
    }
    if (at < 0) continue;  // not below the parent's bone: no chain between them
    std::reverse(skipped.begin(), skipped.end());
    if (!seen[u]) {
      seen[u] = true;
      common[u] = std::move(skipped);
    } else {
      std::size_t k = 0;
      while (k < common[u].size() && k < skipped.size() && common[u][k] == skipped[k]) ++k;
      common[u].resize(k);
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (!common[j].empty()) top[j] = common[j].back();
  }
  return top;
}

Quat halfway(const Quat& a, Quat b) {
  if (dot(a, b) < 0) b = {-b[0], -b[1], -b[2], -b[3]};
  return normalised(Quat{a[0] + b[0], a[1] + b[1], a[2] + b[2], a[3] + b[3]});
}

}  // namespace oxr
