#include "Character.h"

#include "AtomicFile.h"
#include "CharacterMap.h"
#include "GltfBind.h"
#include "GltfFile.h"
#include "GltfOut.h"
#include "JsonSplice.h"
#include "Retarget.h"
#include "RigGltf.h"
#include "Solver.h"
#include "ToolError.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <unordered_map>

#include <tiny_gltf.h>
#include <nlohmann/json.hpp>

namespace oxr {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

bool uniform(const Vec3& s) {
  return std::abs(s[0] - s[1]) <= 1e-6 * std::abs(s[0]) && std::abs(s[0] - s[2]) <= 1e-6 * std::abs(s[0]);
}

bool finite(std::span<const double> values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

double determinant(const Vec3& x, const Vec3& y, const Vec3& z) {
  return x[0] * (y[1] * z[2] - y[2] * z[1]) - y[0] * (x[1] * z[2] - x[2] * z[1]) + z[0] * (x[1] * y[2] - x[2] * y[1]);
}

// A node's rest pose as the file gives it, with what the animation cannot carry noted in `problem`.
Character::Node read_node(const tinygltf::Node& source, std::string& problem) {
  Character::Node node;
  node.name = source.name;
  if (source.matrix.size() == 16) {
    const auto& m = source.matrix;  // column-major
    Vec3 x{m[0], m[1], m[2]}, y{m[4], m[5], m[6]}, z{m[8], m[9], m[10]};
    if (!finite(m)) {
      problem = "has a matrix that is not finite";
      return node;
    }
    node.scale = {length(x), length(y), length(z)};
    if (node.scale[0] <= 0 || node.scale[1] <= 0 || node.scale[2] <= 0) {
      problem = "has a singular matrix";
      return node;
    }
    if (determinant(x, y, z) < 0) node.scale[0] = -node.scale[0];  // noted below as mirroring
    x = scale_vector(x, 1 / std::abs(node.scale[0]));
    y = scale_vector(y, 1 / node.scale[1]);
    z = scale_vector(z, 1 / node.scale[2]);
    node.rotation = matrix_rotation(x, y, z);
    node.translation = {m[12], m[13], m[14]};
    node.matrix = true;
  } else {
    if (source.rotation.size() == 4)
      node.rotation = {source.rotation[0], source.rotation[1], source.rotation[2], source.rotation[3]};
    if (source.translation.size() == 3)
      node.translation = {source.translation[0], source.translation[1], source.translation[2]};
    if (source.scale.size() == 3) node.scale = {source.scale[0], source.scale[1], source.scale[2]};
  }
  const double norm = std::sqrt(dot(node.rotation, node.rotation));
  if (!std::isfinite(norm) || norm < 1e-6) {
    problem = "has a zero or non-finite rotation";
  } else if (!finite(node.translation) || length(node.translation) > 1e9) {
    problem = "has a translation that is not finite or beyond 1e9 m";
  } else if (!finite(node.scale) || std::any_of(node.scale.begin(), node.scale.end(),
                                                [](double v) { return std::abs(v) < 1e-6 || std::abs(v) > 1e6; })) {
    problem = "has a zero or extreme scale (outside 1e-6 to 1e6)";
  } else if (node.scale[0] * node.scale[1] * node.scale[2] < 0) {
    problem = "mirrors (a negative determinant), which the animation cannot carry";
  }
  for (double& c : node.rotation) c /= norm;
  return node;
}

// Every node, parents first: a depth-first walk from every node without a parent. Throws on a cycle.
std::vector<int> parents_first(const std::vector<Character::Node>& nodes, const std::string& where) {
  std::vector<std::vector<int>> children(nodes.size());
  for (std::size_t n = 0; n < nodes.size(); ++n) {
    if (nodes[n].parent >= 0) children[static_cast<std::size_t>(nodes[n].parent)].push_back(static_cast<int>(n));
  }
  std::vector<int> order;
  order.reserve(nodes.size());
  for (std::size_t n = 0; n < nodes.size(); ++n) {
    if (nodes[n].parent >= 0) continue;
    std::vector<int> stack{static_cast<int>(n)};
    while (!stack.empty()) {
      const int at = stack.back();
      stack.pop_back();
      order.push_back(at);
      for (const int child : children[static_cast<std::size_t>(at)]) stack.push_back(child);
    }
  }
  if (order.size() != nodes.size()) throw ToolError(where, "its node hierarchy has a cycle");
  return order;
}

// The file's nodes with their parents. A skin joint or a node above one must have a rest pose the
// animation can carry (each node is looked at once); throws ToolError naming the first that has not.
std::vector<Character::Node> read_skinned_nodes(const tinygltf::Model& model, const std::string& where) {
  std::vector<std::string> problems(model.nodes.size());
  std::vector<Character::Node> nodes(model.nodes.size());
  for (std::size_t n = 0; n < model.nodes.size(); ++n) {
    const tinygltf::Node& source = model.nodes[n];
    const int parent = nodes[n].parent;
    nodes[n] = read_node(source, problems[n]);
    nodes[n].parent = parent;
    for (const int child : source.children) {
      if (child >= 0 && static_cast<std::size_t>(child) < model.nodes.size())
        nodes[static_cast<std::size_t>(child)].parent = static_cast<int>(n);
    }
  }
  std::vector<bool> checked(model.nodes.size(), false);
  for (const tinygltf::Skin& skin : model.skins) {
    for (const int at : skin.joints) {
      if (at < 0 || static_cast<std::size_t>(at) >= model.nodes.size()) continue;
      for (int up = at; up >= 0 && !checked[static_cast<std::size_t>(up)];
           up = nodes[static_cast<std::size_t>(up)].parent) {
        const auto u = static_cast<std::size_t>(up);
        checked[u] = true;
        if (!problems[u].empty()) throw ToolError(where, "node '" + shown_name(nodes[u].name) + "' " + problems[u]);
      }
    }
  }
  return nodes;
}

// Every node's world rotation in the canonical T-pose: where the bind pose is that pose (no turns),
// the rest its node transforms compose to, or the bind pose where they hold another; else the bind
// pose turned limb by limb into it.
std::vector<Quat> canonical_rest(const std::vector<Quat>& turns, const std::vector<Character::Node>& nodes,
                                 const std::vector<int>& order, const std::vector<Quat>& bind_rotations) {
  const std::size_t count = nodes.size();
  std::vector<Quat> rest(count);
  if (!turns.empty()) {
    for (std::size_t k = 0; k < count; ++k) rest[k] = mul(turns[k], bind_rotations[k]);
    return rest;
  }
  bool same = true;
  for (const int at : order) {
    const auto k = static_cast<std::size_t>(at);
    const int parent = nodes[k].parent;
    rest[k] = parent < 0 ? nodes[k].rotation : mul(rest[static_cast<std::size_t>(parent)], nodes[k].rotation);
    same = same && angle_degrees(mul(conj(rest[k]), bind_rotations[k])) < 0.01;
  }
  return same ? rest : bind_rotations;
}

}  // namespace

std::shared_ptr<const Character> Character::read(const fs::path& path, Units units, const std::string& target_map) {
  auto character = std::make_shared<Character>();
  character->path_ = path;
  const std::string where = path.string();
  const std::string extension = bvh::to_lower(path.extension().string());
  if (extension != ".glb" && extension != ".gltf" && extension != ".vrm") {
    throw ToolError(where, "a character is a glTF 2.0 file (.glb, .gltf or .vrm)");
  }
  const JointMap map = target_map.empty() ? JointMap{} : read_joint_map(target_map);
  GltfFile file = read_gltf(path, "character");
  if (file.binary != (extension != ".gltf")) {
    throw ToolError(where, extension != ".gltf" ? "is not a binary glTF file, though named " + extension
                                                : "is a binary glTF file; name it .glb");
  }
  try {
    // The writers add to the JSON's top-level object.
    if (file.json[json_value(file.json, 0).begin] != '{') throw std::invalid_argument("not an object");
  } catch (const std::invalid_argument&) {
    throw ToolError(where, "cannot read character: its JSON is not one object");
  }
  const tinygltf::Model& model = file.model;
  if (model.skins.empty()) throw ToolError(where, "has no skin: a character needs a skinned mesh");

  character->nodes_ = read_skinned_nodes(model, where);
  character->order_ = parents_first(character->nodes_, where);
  // The bind pose decides who plays what, the character's frame and its canonical rest.
  const GltfBindPose bind = gltf_bind_pose(model);
  std::vector<std::string> names(model.nodes.size());
  for (std::size_t n = 0; n < names.size(); ++n) names[n] = model.nodes[n].name;
  const CharacterJoints joints =
      gltf_character_joints(model, names, bind.parents, character->order_, bind.positions, bind.rotations);
  const CharacterMapping mapping = map_character(joints, where, map, target_map);
  character->target_of_ = mapping.target_of;
  for (const JointRole& role : mapping.roles) character->roles_.push_back({role.joint, role.bone, role.evidence});
  character->mapping_source_ = mapping.source;
  character->ignored_ = mapping.ignored;
  character->vrm_ = model.extensions.count("VRMC_vrm") != 0 || model.extensions.count("VRM") != 0;
  character->facing_ = character_facing(joints, mapping);
  // Rest positions of the bones it plays, in the target's frame, metres to `units`.
  const double to_units = 1.0 / metres_per_unit(units);
  const Facing facing(character->facing_);
  for (const JointRole& role : mapping.roles) {
    const Vec3& position = bind.positions[static_cast<std::size_t>(role.joint)];
    const Vec3 located = scale_vector(facing.to_target(position), to_units);
    if (!std::isfinite(located[0]) || !std::isfinite(located[1]) || !std::isfinite(located[2])) {
      throw ToolError(where, "node '" + shown_name(names[static_cast<std::size_t>(role.joint)]) +
                                 "': its rest position is not finite");
    }
    character->rig_.emplace(role.bone, located);
  }
  if (const auto root = ground_root(mapping, bind.positions, facing))
    character->rig_.emplace("root", scale_vector(*root, to_units));
  character->rest_world_ = canonical_rest(canonical_turns(joints, mapping, character->facing_), character->nodes_,
                                          character->order_, bind.rotations);
  character->binary_ = file.binary;
  character->json_ = std::move(file.json);
  character->bin_ = std::move(file.bin);
  character->files_ = std::move(file.files);
  return character;
}

namespace {

// Adds the clip to a character: per frame, each node matched to a driven target bone gets the
// world rotation change of that bone on top of its own rest,
//   world = (target world x target rest world^-1) x character rest world,
// (a node that stands for a chain of target bones, the character having fewer, takes the change halfway
// between its own bone's and the chain's last bone's);
// taken back to a local rotation against its parent's world this frame; translated bones (root
// motion) stand where the target's stand, moved by the character's own placement. Other nodes keep
// their rest.
class CharacterWriter final : public PoseWriter {
 public:
  CharacterWriter(const Character& character, fs::path destination, const ClipInfo& info)
      : character_(character),
        destination_(std::move(destination)),
        skeleton_(info.skeleton),
        clock_(info.frame_time, info.frame_time_text) {
    const std::string& where = character.path().string();
    if (fs::weakly_canonical(destination_) == fs::weakly_canonical(character.path())) {
      throw OutputError(destination_.string(), "would overwrite the character; choose another output");
    }
    metres_ = metres_per_unit(info.units);
    const auto& nodes = character.nodes();
    target_of_.assign(nodes.size(), -1);
    for (const Character::Role& role : character.roles()) {
      target_of_[static_cast<std::size_t>(role.node)] = skeleton_.index_of(role.bone);
    }
    std::vector<int> parents(nodes.size());
    for (std::size_t n = 0; n < nodes.size(); ++n) parents[n] = nodes[n].parent;
    covered_ = covered_bones(parents, target_of_, skeleton_.parents);
    facing_ = Facing(character.facing());
    std::vector<bool> driven(skeleton_.names.size(), false), translated(skeleton_.names.size(), false);
    for (const std::string& bone : info.bones) {
      const int j = skeleton_.index_of(bone);
      if (j >= 0) driven[static_cast<std::size_t>(j)] = true;
    }
    for (const int j : info.translated) translated[static_cast<std::size_t>(j)] = true;

    // Rest world transforms of every node.
    rest_rotation_.resize(nodes.size());
    rest_position_.resize(nodes.size());
    std::vector<double> rest_scale(nodes.size());
    for (const int at : character.order()) {
      const auto n = static_cast<std::size_t>(at);
      const Character::Node& node = nodes[n];
      const int parent = node.parent;
      const Quat parent_rotation = parent < 0 ? kIdentity : rest_rotation_[static_cast<std::size_t>(parent)];
      const Vec3 parent_position = parent < 0 ? Vec3{0, 0, 0} : rest_position_[static_cast<std::size_t>(parent)];
      const double parent_scale = parent < 0 ? 1.0 : rest_scale[static_cast<std::size_t>(parent)];
      rest_rotation_[n] = character.rest_world()[n];
      rest_position_[n] = add(parent_position, rotate(parent_rotation, scale_vector(node.translation, parent_scale)));
      rest_scale[n] = parent_scale * node.scale[0];
    }
    // The animated nodes; their ancestors must scale uniformly for a world rotation to be a rotation.
    for (const int at : character.order()) {
      const auto n = static_cast<std::size_t>(at);
      const int j = target_of_[n];
      if (j < 0 || (!driven[static_cast<std::size_t>(j)] && !translated[static_cast<std::size_t>(j)])) continue;
      for (int up = nodes[n].parent; up >= 0; up = nodes[static_cast<std::size_t>(up)].parent) {
        if (!uniform(nodes[static_cast<std::size_t>(up)].scale)) {
          throw ToolError(where + ": node '" + nodes[static_cast<std::size_t>(up)].name +
                          "' scales unevenly above an animated bone, which the animation cannot carry");
        }
      }
      Channel channel;
      channel.node = at;
      channel.target = j;
      channel.rotation = driven[static_cast<std::size_t>(j)];
      channel.translation = translated[static_cast<std::size_t>(j)];
      channels_.push_back(channel);
      if (skeleton_.names[static_cast<std::size_t>(j)] == "pelvis") {
        // The target stands the character's pelvis above the origin on the ground; this moves it back.
        shift_ = sub(rest_position_[n], turn(scale_vector(skeleton_.rest_world[static_cast<std::size_t>(j)], metres_)));
      }
    }
    channel_of_.assign(nodes.size(), -1);
    for (std::size_t c = 0; c < channels_.size(); ++c)
      channel_of_[static_cast<std::size_t>(channels_[c].node)] = static_cast<int>(c);
    std::size_t frame_bytes = 4;
    for (const Channel& channel : channels_)
      frame_bytes += (channel.rotation ? 16 : 0) + (channel.translation ? 12 : 0);
    keys_.emplace(clock_, frame_bytes, info.frames_to_reserve);
    for (Channel& channel : channels_) {
      if (channel.rotation) channel.rotations.reserve(keys_->reserved());
      if (channel.translation) channel.translations.reserve(keys_->reserved() * 3);
    }
    world_rotation_.resize(nodes.size());
    world_position_.resize(nodes.size());
    world_scale_.resize(nodes.size());
    target_rotation_.resize(skeleton_.names.size());
    target_position_.resize(skeleton_.names.size());
    std::string stem = fs::path(info.source).stem().string();
    animation_name_ = stem.empty() ? std::string("retargeted") : stem;
  }

  void write_frame(std::int64_t frame, const FramePose& pose) override {
    keys_->add(frame);
    const std::size_t bones = skeleton_.names.size();
    forward_kinematics(
        bones, [&](std::size_t j) { return skeleton_.parents[j]; }, [&](std::size_t j) { return pose.rotations[j]; },
        [&](std::size_t j) { return pose.translations[j]; }, target_rotation_, target_position_);
    const auto& nodes = character_.nodes();
    for (const int at : character_.order()) {
      const auto n = static_cast<std::size_t>(at);
      const Character::Node& node = nodes[n];
      const int parent = node.parent;
      const Quat parent_rotation = parent < 0 ? kIdentity : world_rotation_[static_cast<std::size_t>(parent)];
      const Vec3 parent_position = parent < 0 ? Vec3{0, 0, 0} : world_position_[static_cast<std::size_t>(parent)];
      const double parent_scale = parent < 0 ? 1.0 : world_scale_[static_cast<std::size_t>(parent)];
      Quat local = node.rotation;
      Vec3 translation = node.translation;
      const int c = channel_of_[n];
      if (c >= 0) {
        Channel& channel = channels_[static_cast<std::size_t>(c)];
        const auto j = static_cast<std::size_t>(channel.target);
        if (channel.rotation) {
          Quat change = mul(target_rotation_[j], conj(skeleton_.rest_world_rotation[j]));
          if (const int top = covered_[n]; top >= 0) {
            const auto t = static_cast<std::size_t>(top);
            change = halfway(change, mul(target_rotation_[t], conj(skeleton_.rest_world_rotation[t])));
          }
          change = facing_.change_to_character(change);
          local = mul(conj(parent_rotation), mul(change, rest_rotation_[n]));
          for (const double q : local) check(q);
          local = normalised(local);
          channel.rotations.add(local);
        }
        if (channel.translation) {
          const Vec3 world = add(turn(scale_vector(target_position_[j], metres_)), shift_);
          translation = scale_vector(rotate(conj(parent_rotation), sub(world, parent_position)), 1 / parent_scale);
          for (const double t : translation) {
            check(t);
            channel.translations.push_back(static_cast<float>(t));
          }
        }
      }
      world_rotation_[n] = mul(parent_rotation, local);
      world_position_[n] = add(parent_position, rotate(parent_rotation, scale_vector(translation, parent_scale)));
      world_scale_[n] = parent_scale * node.scale[0];
    }
    ++frames_;
  }

  void finish() override {
    if (frames_ == 0) throw OutputError(destination_.string(), "the clip has no frames to add");
    const std::string& text = character_.json();
    const JsonSpan root = json_value(text, 0);
    const std::vector<JsonMember> members = json_members(text, root);
    const auto count = [&](std::string_view key) {
      const JsonMember* member = json_find(members, key);
      return member == nullptr ? std::size_t{0} : json_elements(text, member->value).size();
    };
    std::vector<JsonEdit> edits;
    // The animation's data: key times, then each channel's rotations and translations, as floats.
    gltf::Buffer data;
    std::uint64_t base = 0;  // where the animation's data starts in the buffer
    std::size_t buffer = 0;
    if (character_.binary()) {
      data.add(character_.bin().data(), character_.bin().size());
      base = data.bytes();
    } else {
      relocate_uris(text, members, edits);
      buffer = count("buffers");
    }
    std::vector<std::string> accessors;
    Json animation = animation_json(data, base, count("bufferViews"), count("accessors"), accessors);
    animation["name"] = unique_name(text, members);
    if (character_.binary()) {
      set_glb_buffer_length(text, root, members, std::to_string(data.bytes()), edits);
    } else {
      const std::string uri = fs::path(destination_).replace_extension(".bin").filename().string();
      append_to_array(text, root, "buffers", {Json{{"uri", uri}, {"byteLength", data.bytes()}}.dump()}, edits);
    }
    append_to_array(text, root, "bufferViews",
                    {Json{{"buffer", buffer}, {"byteOffset", base}, {"byteLength", data.bytes() - base}}.dump()},
                    edits);
    append_to_array(text, root, "accessors", accessors, edits);
    append_to_array(text, root, "animations", {animation.dump(-1, ' ', false, Json::error_handler_t::replace)}, edits);
    matrix_to_trs(text, members, edits);
    std::string json = apply_json_edits(text, edits);
    if (character_.binary()) {
      AtomicFile file(destination_);
      gltf::write_glb(file.stream(), std::move(json), data);
      file.commit();
    } else {
      AtomicFile bin_file(fs::path(destination_).replace_extension(".bin"));
      data.write(bin_file.stream());
      AtomicFile file(destination_);
      file.stream() << json;
      commit_together(bin_file, file);
    }
  }

 private:
  struct Channel {
    int node = 0;
    int target = 0;
    bool rotation = false, translation = false;
    gltf::RotationKeys rotations;
    std::vector<float> translations;
  };

  void check(double value) const {
    if (!std::isfinite(value)) {
      throw ToolError("the character's pose is not finite").at_frame(frames_);
    }
  }

  // The accessors (numbered from `first`, in buffer view `view`) of the key times and every
  // channel's keys, added to `data` after `base`; the animation whose channels and samplers use them.
  Json animation_json(gltf::Buffer& data, std::uint64_t base, std::size_t view, std::size_t first,
                      std::vector<std::string>& accessors) const {
    const std::vector<float>& times = keys_->times();
    const std::size_t frames = times.size();
    const auto add = [&](const float* values, std::size_t floats, const char* type, Json accessor) {
      accessor.update(Json{{"bufferView", view},
                           {"byteOffset", data.add(values, floats * sizeof(float)) - base},
                           {"componentType", 5126},
                           {"count", frames},
                           {"type", type}});
      accessors.push_back(accessor.dump());
      return first + accessors.size() - 1;
    };
    const std::size_t input =
        add(times.data(), frames, "SCALAR", Json{{"min", {times.front()}}, {"max", {times.back()}}});
    Json animation;
    animation["channels"] = Json::array();
    animation["samplers"] = Json::array();
    const auto add_channel = [&](int node, const char* path, std::size_t output) {
      const std::size_t sampler = animation["samplers"].size();
      animation["samplers"].push_back({{"input", input}, {"interpolation", "LINEAR"}, {"output", output}});
      animation["channels"].push_back({{"sampler", sampler}, {"target", {{"node", node}, {"path", path}}}});
    };
    for (const Channel& channel : channels_) {
      if (channel.rotation) {
        const std::span<const float> keys = channel.rotations.floats();
        add_channel(channel.node, "rotation", add(keys.data(), keys.size(), "VEC4", Json::object()));
      }
      if (channel.translation) {
        add_channel(channel.node, "translation",
                    add(channel.translations.data(), channel.translations.size(), "VEC3", Json::object()));
      }
    }
    return animation;
  }

  // The clip's name, made unique among the character's animations.
  std::string unique_name(const std::string& text, const std::vector<JsonMember>& members) const {
    std::set<std::string> names;
    if (const JsonMember* animations = json_find(members, "animations")) {
      for (const JsonSpan& item : json_elements(text, animations->value)) {
        const std::vector<JsonMember> fields = json_members(text, item);
        const JsonMember* name = json_find(fields, "name");
        if (name != nullptr && text[name->value.begin] == '"') {
          names.insert(
              Json::parse(std::string_view(text).substr(name->value.begin, name->value.end - name->value.begin))
                  .get<std::string>());
        }
      }
    }
    std::string name = animation_name_;
    for (int k = 2; names.count(name) != 0; ++k) name = animation_name_ + "_" + std::to_string(k);
    return name;
  }

  // A glb's data is its first buffer (the binary chunk), which now ends at `length`.
  void set_glb_buffer_length(const std::string& text, JsonSpan root, const std::vector<JsonMember>& members,
                             const std::string& length, std::vector<JsonEdit>& edits) const {
    const JsonMember* buffers = json_find(members, "buffers");
    const std::vector<JsonSpan> list =
        buffers == nullptr ? std::vector<JsonSpan>{} : json_elements(text, buffers->value);
    if (list.empty()) {
      append_to_array(text, root, "buffers", {"{\"byteLength\":" + length + "}"}, edits);
      return;
    }
    const std::vector<JsonMember> fields = json_members(text, list[0]);
    if (json_find(fields, "uri") != nullptr) {
      throw OutputError(character_.path().string(), "has no binary chunk to add the animation to");
    }
    if (const JsonMember* field = json_find(fields, "byteLength")) {
      edits.push_back({field->value.begin, field->value.end, length});
    } else {
      const std::size_t close = list[0].end - 1;
      edits.push_back({close, close, (fields.empty() ? "\"byteLength\":" : ",\"byteLength\":") + length});
    }
  }

  // An animated node given by a matrix is given by translation, rotation and scale instead (the same
  // rest pose).
  void matrix_to_trs(const std::string& text, const std::vector<JsonMember>& members,
                     std::vector<JsonEdit>& edits) const {
    const JsonMember* nodes = json_find(members, "nodes");
    if (nodes == nullptr) return;
    const std::vector<JsonSpan> list = json_elements(text, nodes->value);
    for (const Channel& channel : channels_) {
      const auto n = static_cast<std::size_t>(channel.node);
      const Character::Node& rest = character_.nodes()[n];
      if (!rest.matrix || n >= list.size()) continue;
      const std::vector<JsonMember> fields = json_members(text, list[n]);
      const JsonMember* matrix = json_find(fields, "matrix");
      if (matrix == nullptr) continue;
      std::string trs;
      for (const auto& [key, value] :
           {std::pair{"translation", Json(rest.translation)}, std::pair{"rotation", Json(rest.rotation)},
            std::pair{"scale", Json(rest.scale)}}) {
        if (const JsonMember* field = json_find(fields, key)) {
          edits.push_back({field->value.begin, field->value.end, value.dump()});
        } else {
          trs += std::string(trs.empty() ? "" : ",") + "\"" + key + "\":" + value.dump();
        }
      }
      if (!trs.empty()) {
        edits.push_back({matrix->key_at, matrix->value.end, trs});
        continue;
      }
      // All three were there beside the matrix: the matrix goes, with the comma before or after it.
      const auto i = static_cast<std::size_t>(matrix - fields.data());
      if (i + 1 < fields.size()) {
        edits.push_back({matrix->key_at, fields[i + 1].key_at, ""});
      } else {
        edits.push_back({fields[i - 1].value.end, matrix->value.end, ""});
      }
    }
  }

  // A .gltf written into another folder keeps reaching the character's files: relative URIs are
  // rewritten to lead from the output's folder to the character's.
  void relocate_uris(const std::string& text, const std::vector<JsonMember>& members,
                     std::vector<JsonEdit>& edits) const {
    const fs::path from = fs::absolute(destination_).parent_path();
    const fs::path to = fs::absolute(character_.path()).parent_path();
    if (fs::weakly_canonical(from) == fs::weakly_canonical(to)) return;
    for (const char* list : {"buffers", "images"}) {
      const JsonMember* member = json_find(members, list);
      if (member == nullptr) continue;
      for (const JsonSpan& item : json_elements(text, member->value)) {
        const std::vector<JsonMember> fields = json_members(text, item);
        const JsonMember* field = json_find(fields, "uri");
        if (field == nullptr || text[field->value.begin] != '"') continue;
        const auto uri =
            Json::parse(std::string_view(text).substr(field->value.begin, field->value.end - field->value.begin))
                .get<std::string>();
        if (uri.rfind("data:", 0) == 0 || uri.find("://") != std::string::npos || fs::path(uri).is_absolute()) continue;
        edits.push_back(
            {field->value.begin, field->value.end, Json(fs::relative(to / uri, from).generic_string()).dump()});
      }
    }
  }

  // A target direction in the character's frame.
  Vec3 turn(const Vec3& v) const { return facing_.to_character(v); }

  const Character& character_;
  Facing facing_;
  fs::path destination_;
  TargetSkeleton skeleton_;
  gltf::KeyClock clock_;
  std::optional<gltf::KeyTimes> keys_;
  double metres_ = 0.01;
  Vec3 shift_{0, 0, 0};
  std::vector<int> target_of_;   // target bone of each node, -1 for none
  std::vector<int> covered_;     // per node, the last target bone beyond its own it stands for, -1 for none
  std::vector<int> channel_of_;  // channel of each node, -1 for none
  std::vector<Channel> channels_;
  std::vector<Quat> rest_rotation_;
  std::vector<Vec3> rest_position_;
  std::vector<Quat> world_rotation_;
  std::vector<Vec3> world_position_;
  std::vector<double> world_scale_;
  std::vector<Quat> target_rotation_;
  std::vector<Vec3> target_position_;
  std::int64_t frames_ = 0;
  std::string animation_name_;
};

}  // namespace

std::unique_ptr<PoseWriter> make_character_writer(const Character& character, const fs::path& destination,
                                                  const ClipInfo& info) {
  return std::make_unique<CharacterWriter>(character, destination, info);
}

}  // namespace oxr
