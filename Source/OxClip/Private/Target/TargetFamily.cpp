#include "TargetFamily.h"

#include "CharacterMap.h"
#include "FbxCharacter.h"

#include <cctype>
#include <map>

namespace oxr {
namespace {

// Mixamo's names (without its "mixamorig:" prefix) of the mannequin's bones; fingers are added below.
const std::map<std::string, std::string>& mixamo_names() {
  static const std::map<std::string, std::string> table = [] {
    std::map<std::string, std::string> names = {{"pelvis", "Hips"},     {"spine_01", "Spine"}, {"spine_03", "Spine1"},
                                                {"spine_05", "Spine2"}, {"neck_01", "Neck"},   {"head", "Head"}};
    const std::pair<const char*, const char*> limb[] = {
        {"clavicle", "Shoulder"}, {"upperarm", "Arm"}, {"lowerarm", "ForeArm"}, {"hand", "Hand"},
        {"thigh", "UpLeg"},       {"calf", "Leg"},     {"foot", "Foot"},        {"ball", "ToeBase"}};
    const std::pair<const char*, const char*> fingers[] = {
        {"thumb", "Thumb"}, {"index", "Index"}, {"middle", "Middle"}, {"ring", "Ring"}, {"pinky", "Pinky"}};
    for (const auto& [suffix, side] : {std::pair{"_l", "Left"}, std::pair{"_r", "Right"}}) {
      for (const auto& [bone, name] : limb) names[std::string(bone) + suffix] = std::string(side) + name;
      for (const auto& [finger, name] : fingers) {
        for (const char* k : {"1", "2", "3"})
          names[std::string(finger) + "_0" + k + suffix] = std::string(side) + "Hand" + name + k;
      }
    }
    return names;
  }();
  return table;
}

}  // namespace

RigPositions mannequin_rig(Units units) {
  RigPositions rig;
  const double to_units = 0.01 / metres_per_unit(units);
  for (const std::string& bone : target_bone_names())
    rig[bone] = scale_vector(mannequin_t_pose_position(bone), to_units);
  return rig;
}

std::string family_bone_name(TargetFamily family, const std::string& target_bone) {
  switch (family) {
    case TargetFamily::Own:
    case TargetFamily::Mannequin:
      return target_bone;
    case TargetFamily::Mixamo: {
      const auto found = mixamo_names().find(target_bone);
      return found == mixamo_names().end() ? std::string() : "mixamorig:" + found->second;
    }
    case TargetFamily::Humanoid:
      // The names VRM, Unity and Godot share: VRM's humanoid bones, capitalised.
      for (const auto& [vrm, target] : vrm_bones()) {
        if (target == target_bone) {
          std::string name = vrm;
          name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
          return name;
        }
      }
      return {};
  }
  return {};
}

std::unique_ptr<PoseWriter> make_family_writer(TargetFamily family, Format format,
                                               const std::filesystem::path& destination, const ClipInfo& info) {
  if (family == TargetFamily::Own || family == TargetFamily::Mannequin)
    return make_pose_writer(format, destination, info);
  // The family's skeleton: the target's bones it has, each below the nearest one of them above it,
  // standing where the target's stand at rest.
  const TargetSkeleton& target = info.skeleton;
  auto character = std::make_shared<FbxCharacter>();
  TargetSkeleton& own = character->skeleton;
  std::vector<int> joint_of(target.names.size(), -1);
  for (std::size_t b = 0; b < target.names.size(); ++b) {
    const std::string name = family_bone_name(family, target.names[b]);
    if (name.empty()) continue;
    int up = target.parents[b];
    while (up >= 0 && joint_of[static_cast<std::size_t>(up)] < 0) up = target.parents[static_cast<std::size_t>(up)];
    const int parent = up < 0 ? -1 : joint_of[static_cast<std::size_t>(up)];
    const Quat world = target.rest_world_rotation[b];
    const Quat parent_world = parent < 0 ? kIdentity : own.rest_world_rotation[static_cast<std::size_t>(parent)];
    const Vec3 parent_place = parent < 0 ? Vec3{0, 0, 0} : own.rest_world[static_cast<std::size_t>(parent)];
    joint_of[b] = static_cast<int>(own.names.size());
    own.names.push_back(name);
    own.parents.push_back(parent);
    own.rest.push_back(mul(conj(parent_world), world));
    own.offsets.push_back(rotate(conj(parent_world), sub(target.rest_world[b], parent_place)));
    own.rest_world.push_back(target.rest_world[b]);
    own.rest_world_rotation.push_back(world);
    own.end_sites.push_back(target.end_sites[b]);
    character->plays.push_back(static_cast<int>(b));
    if (static_cast<int>(b) == target.pelvis) own.pelvis = joint_of[b];
  }
  own.root = 0;
  own.hip_height = target.hip_height;
  own.motion_scale = target.motion_scale;
  // plays holds indices of target_bone_names(); the target skeleton's order may differ.
  for (int& bone : character->plays) {
    const std::string& name = target.names[static_cast<std::size_t>(bone)];
    bone = -1;
    for (std::size_t k = 0; k < target_bone_names().size(); ++k) {
      if (target_bone_names()[k] == name) bone = static_cast<int>(k);
    }
  }
  character->canonical_rest = own.rest_world_rotation;
  // The writer refers to the skeleton it carries the pose onto: both live as long as it does.
  class Owning final : public PoseWriter {
   public:
    Owning(std::shared_ptr<const FbxCharacter> character, std::unique_ptr<PoseWriter> writer)
        : character_(std::move(character)), writer_(std::move(writer)) {}
    void write_frame(std::int64_t frame, const FramePose& pose) override { writer_->write_frame(frame, pose); }
    void finish() override { writer_->finish(); }

   private:
    std::shared_ptr<const FbxCharacter> character_;
    std::unique_ptr<PoseWriter> writer_;
  };
  auto writer = make_fbx_character_writer(*character, format, destination, info);
  return std::make_unique<Owning>(std::move(character), std::move(writer));
}

}  // namespace oxr
