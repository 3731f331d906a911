#include "FbxScene.h"

#include "ToolError.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_map>

#include <fmt/format.h>

namespace oxr::fbx {
namespace {

std::string one_line(std::string_view text) {
  std::string line(text);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return line;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool is_tip_name(std::string_view name) {
  const std::string low = lower(name);
  const auto ends = [&](std::string_view suffix) {
    return low.size() > suffix.size() && low.compare(low.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  return ends("_end") || ends("nub");
}

// Nodes that are limbs: bone attributes, and the bones skin clusters deform.
std::vector<bool> limb_nodes(const ufbx_scene& scene) {
  std::vector<bool> limb(scene.nodes.count, false);
  for (const ufbx_node* node : scene.nodes)
    if (node->bone != nullptr) limb[node->typed_id] = true;
  for (const ufbx_skin_cluster* cluster : scene.skin_clusters)
    if (cluster->bone_node != nullptr) limb[cluster->bone_node->typed_id] = true;
  return limb;
}

// Per node, how many limbs its subtree holds (itself included).
std::vector<std::size_t> limbs_below(const ufbx_scene& scene, const std::vector<bool>& limb) {
  std::vector<std::size_t> count(scene.nodes.count, 0);
  // ufbx lists every parent before its children: a backward pass sums subtrees.
  for (std::size_t i = scene.nodes.count; i-- > 0;) {
    const ufbx_node* node = scene.nodes[i];
    count[node->typed_id] += limb[node->typed_id] ? 1 : 0;
    if (node->parent != nullptr) count[node->parent->typed_id] += count[node->typed_id];
  }
  return count;
}

void add_joints(Skeleton& skeleton, const ufbx_node* node, int parent, const std::vector<std::size_t>& below) {
  const auto index = static_cast<int>(skeleton.nodes.size());
  skeleton.nodes.push_back(node);
  skeleton.parents.push_back(parent);
  skeleton.names.emplace_back(node->name.data, node->name.length);
  skeleton.tips.emplace_back();
  for (const ufbx_node* child : node->children) {
    if (below[child->typed_id] == 0) continue;
    if (child->children.count == 0 && is_tip_name({child->name.data, child->name.length})) {
      skeleton.tips[static_cast<std::size_t>(index)].push_back(child);
      continue;
    }
    add_joints(skeleton, child, index, below);
  }
}

// Rest world transforms: a cluster's bind matrix, else the bind pose's, else the parent's rest
// composed with the node's own local transform.
void find_rest(const ufbx_scene& scene, Skeleton& skeleton) {
  std::unordered_map<const ufbx_node*, ufbx_matrix> bind;
  for (const ufbx_pose* pose : scene.poses) {
    if (!pose->is_bind_pose) continue;
    for (const ufbx_bone_pose& bone : pose->bone_poses)
      if (bone.bone_node != nullptr) bind.emplace(bone.bone_node, bone.bone_to_world);
  }
  for (const ufbx_skin_cluster* cluster : scene.skin_clusters)
    if (cluster->bone_node != nullptr) bind.insert_or_assign(cluster->bone_node, cluster->bind_to_world);
  const std::size_t n = skeleton.nodes.size();
  std::vector<ufbx_matrix> world(n);
  const auto rest_of = [&](const ufbx_node* node, const ufbx_matrix& parent_world) {
    if (const auto it = bind.find(node); it != bind.end()) {
      skeleton.bind_pose = true;
      return it->second;
    }
    return ufbx_matrix_mul(&parent_world, &node->node_to_parent);
  };
  for (std::size_t j = 0; j < n; ++j) {
    const ufbx_node* node = skeleton.nodes[j];
    const int parent = skeleton.parents[j];
    const ufbx_matrix parent_world = parent >= 0               ? world[static_cast<std::size_t>(parent)]
                                     : node->parent != nullptr ? node->parent->node_to_world
                                                               : ufbx_identity_matrix;
    world[j] = rest_of(node, parent_world);
    skeleton.rest_rotation.push_back(rotation_of(world[j]));
    skeleton.rest_position.push_back(translation_of(world[j]));
    auto& tips = skeleton.rest_tips.emplace_back();
    for (const ufbx_node* tip : skeleton.tips[j]) tips.push_back(translation_of(rest_of(tip, world[j])));
  }
}

ufbx_load_opts load_options(std::size_t size, bool with_geometry) {
  ufbx_load_opts opts{};
  // Hostile counts and sizes stop at a memory bound instead of exhausting the machine.
  const std::size_t limit = std::min<std::size_t>(size, std::size_t{1} << 26) * 256 + (std::size_t{64} << 20);
  opts.temp_allocator.memory_limit = limit;
  opts.result_allocator.memory_limit = limit;
  opts.node_depth_limit = 256;
  opts.ignore_geometry = !with_geometry;
  opts.ignore_embedded = true;
  opts.load_external_files = false;
  opts.target_axes = ufbx_axes_right_handed_y_up;
  opts.target_unit_meters = 0.01;
  opts.space_conversion = UFBX_SPACE_CONVERSION_ADJUST_TRANSFORMS;
  opts.inherit_mode_handling = UFBX_INHERIT_MODE_HANDLING_COMPENSATE_NO_FALLBACK;
  opts.unicode_error_handling = UFBX_UNICODE_ERROR_HANDLING_UNDERSCORE;
  opts.file_format = UFBX_FILE_FORMAT_FBX;
  return opts;
}

// ufbx's reason in the tool's words.
std::string reason_of(const ufbx_error& failure) {
  switch (failure.type) {
    case UFBX_ERROR_EMPTY_FILE:
      return "the file is empty";
    case UFBX_ERROR_TRUNCATED_FILE:
      return "the file ends early (truncated)";
    case UFBX_ERROR_OUT_OF_MEMORY:
    case UFBX_ERROR_MEMORY_LIMIT:
    case UFBX_ERROR_ALLOCATION_LIMIT:
      return "its counts or sizes pass what the file can hold (memory limit reached)";
    case UFBX_ERROR_UNRECOGNIZED_FILE_FORMAT:
      return "not an FBX file";
    case UFBX_ERROR_NODE_DEPTH_LIMIT:
      return "its nodes nest deeper than 256 levels";
    case UFBX_ERROR_INVALID_UTF8:
      return "a name is not valid UTF-8";
    case UFBX_ERROR_BAD_INDEX:
      return "an index points past its array";
    case UFBX_ERROR_FILE_NOT_FOUND:
    case UFBX_ERROR_IO:
      return "cannot read the file";
    default:
      break;
  }
  const std::string detail = one_line({failure.description.data, failure.description.length});
  if (detail == "Failed to load" || detail.empty()) return "damaged FBX (its records do not parse)";
  return "damaged FBX (" + lower(detail) + ")";
}

Scene checked(ufbx_scene* loaded, const ufbx_error& failure) {
  Scene scene(loaded);
  if (!scene) throw ToolError(fmt::format("cannot read FBX: {}", reason_of(failure)));
  return scene;
}

}  // namespace

Quat rotation_of(const ufbx_matrix& m) {
  const ufbx_transform t = ufbx_matrix_to_transform(&m);
  return {t.rotation.x, t.rotation.y, t.rotation.z, t.rotation.w};
}

Scene load_scene(const std::filesystem::path& path, bool with_geometry) {
  std::error_code error;
  const auto bytes = std::filesystem::file_size(path, error);
  const ufbx_load_opts opts = load_options(error ? 0 : static_cast<std::size_t>(bytes), with_geometry);
  ufbx_error failure{};
  const std::string name = path.string();
  return checked(ufbx_load_file(name.c_str(), &opts, &failure), failure);
}

Scene load_scene(std::span<const std::byte> bytes, bool with_geometry) {
  const ufbx_load_opts opts = load_options(bytes.size(), with_geometry);
  ufbx_error failure{};
  return checked(ufbx_load_memory(bytes.data(), bytes.size(), &opts, &failure), failure);
}

Skeleton find_skeleton(const ufbx_scene& scene) {
  const std::vector<bool> limb = limb_nodes(scene);
  const std::vector<std::size_t> below = limbs_below(scene, limb);
  // The root: the topmost limb of the largest tree (ties: the first in the file).
  const ufbx_node* root = nullptr;
  for (const ufbx_node* node : scene.nodes) {
    if (!limb[node->typed_id]) continue;
    bool top = true;
    for (const ufbx_node* up = node->parent; up != nullptr && top; up = up->parent) top = !limb[up->typed_id];
    if (top && (root == nullptr || below[node->typed_id] > below[root->typed_id])) root = node;
  }
  if (root == nullptr) throw ToolError("has no skeleton (no limb node and no skin)");
  if (below[root->typed_id] > 1024)
    throw ToolError(fmt::format("has {} joints, more than the 1024 a skeleton may have", below[root->typed_id]));
  Skeleton skeleton;
  add_joints(skeleton, root, -1, below);
  find_rest(scene, skeleton);
  return skeleton;
}

}  // namespace oxr::fbx
