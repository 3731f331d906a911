#include "FbxCharacter.h"

#include "AtomicFile.h"
#include "BodyMesh.h"
#include "CharacterMap.h"
#include "FbxScene.h"
#include "ToolError.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>

#include <fmt/format.h>

namespace oxr {
namespace {

// The character's joints as a skeleton description: local rest rotations and offsets from the
// bind pose (world rotations and places), in `units`; the root stays where the file puts it.
TargetSkeleton describe(const fbx::Skeleton& joints, const std::vector<int>& plays, double to_units) {
  TargetSkeleton skeleton;
  const std::size_t n = joints.nodes.size();
  skeleton.names = joints.names;
  skeleton.parents = joints.parents;
  double lowest = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const int parent = joints.parents[j];
    const Quat world = normalised(joints.rest_rotation[j]);
    const Vec3 place = scale_vector(joints.rest_position[j], to_units);
    const Quat parent_world = parent < 0 ? kIdentity : skeleton.rest_world_rotation[static_cast<std::size_t>(parent)];
    const Vec3 parent_place = parent < 0 ? Vec3{0, 0, 0} : skeleton.rest_world[static_cast<std::size_t>(parent)];
    skeleton.rest.push_back(mul(conj(parent_world), world));
    skeleton.offsets.push_back(rotate(conj(parent_world), sub(place, parent_place)));
    skeleton.rest_world.push_back(place);
    skeleton.rest_world_rotation.push_back(world);
    const std::vector<Vec3>& tips = joints.rest_tips[j];
    skeleton.end_sites.push_back(tips.empty() ? Vec3{0, 0, 0}
                                              : rotate(conj(world), sub(scale_vector(tips.front(), to_units), place)));
    lowest = j == 0 ? place[1] : std::min(lowest, place[1]);
  }
  skeleton.root = 0;
  skeleton.pelvis = 0;
  for (std::size_t j = 0; j < n; ++j) {
    if (plays[j] >= 0 && target_bone_names()[static_cast<std::size_t>(plays[j])] == "pelvis")
      skeleton.pelvis = static_cast<int>(j);
  }
  skeleton.hip_height = skeleton.rest_world[static_cast<std::size_t>(skeleton.pelvis)][1] - lowest;
  return skeleton;
}

// The skeleton joint a cluster's bone stands for: the bone itself, else its nearest ancestor that is
// a joint, else the root.
std::uint16_t joint_for(const ufbx_node* bone, const std::unordered_map<const ufbx_node*, std::uint16_t>& joint_of) {
  for (const ufbx_node* node = bone; node != nullptr; node = node->parent) {
    if (const auto it = joint_of.find(node); it != joint_of.end()) return it->second;
  }
  return 0;
}

// One skinned mesh appended to the body: control points in the bind pose (the skin's bind of the
// mesh, in metres), per control point its four heaviest joints (weights renormalised to sum 1) and
// the mean of its corners' normals, its faces as triangles.
void append_mesh(BodyMesh& body, const ufbx_node& node, const ufbx_skin_deformer& skin,
                 const std::unordered_map<const ufbx_node*, std::uint16_t>& joint_of) {
  const ufbx_mesh& mesh = *node.mesh;
  const std::size_t first = body.positions.size() / 3;
  if (first + mesh.num_vertices > (std::size_t{1} << 31))
    throw ToolError(fmt::format("mesh {}: more than 2^31 vertices", node.name.data));
  // Every cluster binds the same mesh: bind_to_world * geometry_to_bone is the mesh's bind in the scene.
  const ufbx_skin_cluster* reference = skin.clusters.count > 0 ? skin.clusters[0] : nullptr;
  const ufbx_matrix bind = reference != nullptr
                               ? ufbx_matrix_mul(&reference->bind_to_world, &reference->geometry_to_bone)
                               : node.geometry_to_world;
  const ufbx_matrix bind_normals = ufbx_matrix_for_normals(&bind);
  std::vector<std::uint16_t> cluster_joint(skin.clusters.count);
  for (std::size_t c = 0; c < skin.clusters.count; ++c)
    cluster_joint[c] = joint_for(skin.clusters[c]->bone_node, joint_of);

  for (std::size_t v = 0; v < mesh.num_vertices; ++v) {
    const ufbx_vec3 p = ufbx_transform_position(&bind, mesh.vertices[v]);
    for (const double value : {p.x, p.y, p.z}) {
      const auto metres = static_cast<float>(value * 0.01);
      if (!std::isfinite(metres))
        throw ToolError(fmt::format("mesh {}: vertex {} is beyond float range", node.name.data, v));
      body.positions.push_back(metres);
    }
    std::array<std::uint16_t, 4> joints{0, 0, 0, 0};
    std::array<double, 4> weights{0, 0, 0, 0};
    if (v < skin.vertices.count) {
      const ufbx_skin_vertex& entry = skin.vertices[v];
      for (std::uint32_t i = 0; i < entry.num_weights; ++i) {
        const ufbx_skin_weight& w = skin.weights[entry.weight_begin + i];
        if (!(w.weight > 0) || w.cluster_index >= cluster_joint.size()) continue;
        // Insert in order of weight, the lightest falling off the end.
        const std::uint16_t joint = cluster_joint[w.cluster_index];
        double weight = w.weight;
        bool merged = false;
        for (std::size_t k = 0; k < 4 && !merged; ++k) {
          if (weights[k] > 0 && joints[k] == joint) {
            weights[k] += weight;
            merged = true;
          }
        }
        if (merged) continue;
        std::uint16_t carried = joint;
        for (std::size_t k = 0; k < 4; ++k) {
          if (weight > weights[k]) {
            std::swap(weight, weights[k]);
            std::swap(carried, joints[k]);
          }
        }
      }
    }
    const double total = weights[0] + weights[1] + weights[2] + weights[3];
    if (!(total > 0) || !std::isfinite(total)) {
      joints = {0, 0, 0, 0};  // an unweighted vertex stays with the root
      weights = {1, 0, 0, 0};
    }
    const double sum = weights[0] + weights[1] + weights[2] + weights[3];
    for (std::size_t k = 0; k < 4; ++k) {
      body.joints.push_back(weights[k] > 0 ? joints[k] : 0);
      body.weights.push_back(static_cast<float>(weights[k] / sum));
    }
  }

  std::vector<Vec3> normals(mesh.num_vertices, Vec3{0, 0, 0});
  std::vector<std::uint32_t> triangle(mesh.max_face_triangles * 3);
  for (const ufbx_face& face : mesh.faces) {
    const std::uint32_t count = ufbx_triangulate_face(triangle.data(), triangle.size(), &mesh, face);
    for (std::uint32_t t = 0; t < count; ++t) {
      const std::size_t first_corner = std::size_t{t} * 3;
      std::array<std::uint32_t, 3> corner{triangle[first_corner], triangle[first_corner + 1],
                                          triangle[first_corner + 2]};
      std::array<std::uint32_t, 3> vertex{};
      for (std::size_t k = 0; k < 3; ++k) vertex[k] = mesh.vertex_indices[corner[k]];
      const auto at = [&](std::size_t k) {
        const ufbx_vec3 p = mesh.vertices[vertex[k]];
        return Vec3{p.x, p.y, p.z};
      };
      // Without normals in the file: the face's, weighted by its area.
      const Vec3 face_normal = cross(sub(at(1), at(0)), sub(at(2), at(0)));
      for (std::size_t k = 0; k < 3; ++k) {
        Vec3 n = face_normal;
        if (mesh.vertex_normal.exists) {
          const ufbx_vec3 given = ufbx_get_vertex_vec3(&mesh.vertex_normal, corner[k]);
          n = {given.x, given.y, given.z};
        }
        normals[vertex[k]] = add(normals[vertex[k]], n);
        body.indices.push_back(static_cast<std::uint32_t>(first + vertex[k]));
      }
    }
  }
  for (const Vec3& sum : normals) {
    const ufbx_vec3 n = ufbx_transform_direction(&bind_normals, fbx::vec3(sum[0], sum[1], sum[2]));
    const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    const bool usable = length > 0 && std::isfinite(length);
    body.normals.push_back(usable ? static_cast<float>(n.x / length) : 0.0f);
    body.normals.push_back(usable ? static_cast<float>(n.y / length) : 1.0f);
    body.normals.push_back(usable ? static_cast<float>(n.z / length) : 0.0f);
  }
}

// The character's skinned meshes as one body in the bind pose, joints indexing the skeleton; null
// when the file has none.
std::shared_ptr<const BodyMesh> skinned_body(const ufbx_scene& scene, const fbx::Skeleton& joints) {
  std::unordered_map<const ufbx_node*, std::uint16_t> joint_of;
  for (std::size_t j = 0; j < joints.nodes.size(); ++j)
    joint_of.emplace(joints.nodes[j], static_cast<std::uint16_t>(j));
  auto body = std::make_shared<BodyMesh>();
  for (const ufbx_node* node : scene.nodes) {
    if (node->mesh == nullptr || node->mesh->num_triangles == 0 || node->mesh->skin_deformers.count == 0) continue;
    if (body->positions.empty()) body->name.assign(node->name.data, node->name.length);
    append_mesh(*body, *node, *node->mesh->skin_deformers[0], joint_of);
  }
  if (body->positions.empty()) return nullptr;
  return body;
}

// Carries each frame's target pose onto the character's joints and hands it to a writer of the
// character's skeleton. A joint that plays target bone b turns by b's world change from its rest, on
// top of its own rest turned into the canonical T-pose (Wc_rest):
//   W(joint) = Wt(b) * conj(Wt_rest(b)) * Wc_rest(joint);
// a joint that stands for a chain of bones (the character has fewer) turns halfway between b's change
// and the chain's last bone's.
// the others keep their rest local rotation; locals are conj(W(parent)) * W(joint). The joint that
// plays the pelvis is placed where the target's pelvis is, moved by their rest places' difference.
class CharacterPoseWriter final : public PoseWriter {
 public:
  CharacterPoseWriter(const FbxCharacter& character, Format format, const std::filesystem::path& destination,
                      const ClipInfo& info)
      : character_(character), target_(info.skeleton), facing_(character.facing) {
    const TargetSkeleton& own = character.skeleton;
    const std::size_t n = own.names.size();
    bone_of_.assign(n, -1);
    for (std::size_t j = 0; j < n; ++j) {
      if (character.plays[j] >= 0)
        bone_of_[j] = target_.index_of(target_bone_names()[static_cast<std::size_t>(character.plays[j])]);
    }
    covered_ = covered_bones(own.parents, bone_of_, target_.parents);
    const auto pelvis = static_cast<std::size_t>(own.pelvis);
    shift_ =
        sub(own.rest_world[pelvis], facing_.to_character(target_.rest_world[static_cast<std::size_t>(target_.pelvis)]));
    ClipInfo inner = info;
    inner.skeleton = own;
    inner.translated = {own.pelvis};
    if (info.mesh == Mesh::Box && character.mesh) inner.own_mesh = character.mesh;
    rotations_ = own.rest;
    translations_ = own.offsets;
    world_.resize(n);
    place_.resize(n);
    target_world_.resize(target_.names.size());
    target_place_.resize(target_.names.size());
    writer_ = make_pose_writer(format, destination, inner);
  }

  void write_frame(std::int64_t frame, const FramePose& pose) override {
    const TargetSkeleton& own = character_.skeleton;
    forward_kinematics(
        target_.names.size(), [&](std::size_t j) { return target_.parents[j]; },
        [&](std::size_t j) { return pose.rotations[j]; }, [&](std::size_t j) { return pose.translations[j]; },
        target_world_, target_place_);
    for (std::size_t j = 0; j < own.names.size(); ++j) {
      const int parent = own.parents[j];
      const Quat parent_world = parent < 0 ? kIdentity : world_[static_cast<std::size_t>(parent)];
      const Vec3 parent_place = parent < 0 ? Vec3{0, 0, 0} : place_[static_cast<std::size_t>(parent)];
      const int b = bone_of_[j];
      if (b >= 0) {
        const auto k = static_cast<std::size_t>(b);
        Quat change = mul(target_world_[k], conj(target_.rest_world_rotation[k]));
        if (const int top = covered_[j]; top >= 0) {
          const auto t = static_cast<std::size_t>(top);
          change = halfway(change, mul(target_world_[t], conj(target_.rest_world_rotation[t])));
        }
        world_[j] = mul(facing_.change_to_character(change), character_.canonical_rest[j]);
        rotations_[j] = mul(conj(parent_world), world_[j]);
      } else {
        world_[j] = mul(parent_world, rotations_[j]);
      }
      if (static_cast<int>(j) == own.pelvis && b >= 0) {
        const Vec3 place = add(facing_.to_character(target_place_[static_cast<std::size_t>(b)]), shift_);
        translations_[j] = rotate(conj(parent_world), sub(place, parent_place));
      }
      place_[j] = add(parent_place, rotate(parent_world, translations_[j]));
    }
    writer_->write_frame(frame, {pose.meta, rotations_, translations_, pose.source_positions, pose.contacts});
  }

  void finish() override { writer_->finish(); }

 private:
  const FbxCharacter& character_;
  TargetSkeleton target_;
  Facing facing_;
  std::vector<int> bone_of_;  // per joint, the target skeleton's bone it plays, or -1
  std::vector<int> covered_;  // per joint, the last target bone beyond its own it stands for, or -1
  Vec3 shift_{0, 0, 0};
  std::vector<Quat> rotations_, world_, target_world_;
  std::vector<Vec3> translations_, place_, target_place_;
  std::unique_ptr<PoseWriter> writer_;
};

}  // namespace

std::shared_ptr<const FbxCharacter> FbxCharacter::read(const std::filesystem::path& path, Units units,
                                                       const std::string& target_map) {
  open_input(path);
  const JointMap map = target_map.empty() ? JointMap{} : read_joint_map(target_map);
  try {
    const fbx::Scene scene = fbx::load_scene(path, true);
    const fbx::Skeleton skeleton = fbx::find_skeleton(*scene);
    // The skeleton as the mapping sees it: every joint is a limb of the skin, parents first; a joint
    // deforms when its cluster weighs some vertex.
    const std::size_t n = skeleton.nodes.size();
    CharacterJoints joints;
    joints.names = skeleton.names;
    joints.parents = skeleton.parents;
    joints.bind = skeleton.rest_position;
    for (const Quat& rotation : skeleton.rest_rotation) joints.rotations.push_back(normalised(rotation));
    joints.tips = skeleton.rest_tips;
    joints.up = "+y";
    joints.metres_per_unit = 0.01;
    joints.skin.assign(n, true);
    joints.nameable.assign(n, true);
    joints.deforms.assign(n, false);
    for (std::size_t j = 0; j < n; ++j) {
      joints.order.push_back(static_cast<int>(j));
      for (const ufbx_skin_cluster* cluster : scene->skin_clusters) {
        if (cluster->bone_node == skeleton.nodes[j] && cluster->num_weights > 0) joints.deforms[j] = true;
      }
    }
    const CharacterMapping mapping = map_character(joints, path.string(), map, target_map);
    auto character = std::make_shared<FbxCharacter>();
    character->plays = mapping.target_of;
    const double to_units = 0.01 / metres_per_unit(units);
    character->skeleton = describe(skeleton, character->plays, to_units);
    // The character's frame as for a glTF character: the rig in the target's, changes carried back.
    character->facing = character_facing(joints, mapping);
    const Facing facing(character->facing);
    for (const JointRole& role : mapping.roles)
      character->rig[role.bone] =
          facing.to_target(character->skeleton.rest_world[static_cast<std::size_t>(role.joint)]);
    // The rest the clip's changes go on: the bind pose turned into the canonical T-pose.
    const std::vector<Quat> turns = canonical_turns(joints, mapping, character->facing);
    character->canonical_rest = character->skeleton.rest_world_rotation;
    for (std::size_t j = 0; j < turns.size(); ++j)
      character->canonical_rest[j] = mul(turns[j], character->canonical_rest[j]);
    character->mesh = skinned_body(*scene, skeleton);
    // A rig that plays no root stands on its file's ground.
    if (const auto root = ground_root(mapping, joints.bind, facing))
      character->rig.emplace("root", scale_vector(*root, to_units));
    return character;
  } catch (Error& error) {
    error.in_file(path.string());
    throw;
  }
}

std::unique_ptr<PoseWriter> make_fbx_character_writer(const FbxCharacter& character, Format format,
                                                      const std::filesystem::path& destination, const ClipInfo& info) {
  return std::make_unique<CharacterPoseWriter>(character, format, destination, info);
}

}  // namespace oxr
