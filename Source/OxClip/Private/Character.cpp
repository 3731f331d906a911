#include "Character.h"

#include "AtomicFile.h"
#include "GltfOut.h"
#include "Retarget.h"
#include "RigGltf.h"
#include "ToolError.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <unordered_map>

#include <tiny_gltf.h>
#include <nlohmann/json.hpp>

namespace oxr {

struct Character::Document {
  nlohmann::ordered_json json;
};

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr std::uint32_t kBinChunk = 0x004E4942;   // "BIN\0"

std::uint32_t read_u32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

// The rotation of an orthonormal 3x3 matrix given by columns.
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
  const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  for (double& c : q) c /= n;
  return q;
}

bool uniform(const Vec3& s) {
  return std::abs(s[0] - s[1]) <= 1e-6 * std::abs(s[0]) && std::abs(s[0] - s[2]) <= 1e-6 * std::abs(s[0]);
}

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError(path.string() + ": cannot open character: no such file");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A node's rest: translation, rotation and scale as given, or decomposed from its matrix.
void rest_of(const tinygltf::Node& source, Character::Node& node, const fs::path& path) {
  if (source.matrix.size() == 16) {
    const auto& m = source.matrix;  // column-major
    Vec3 x{m[0], m[1], m[2]}, y{m[4], m[5], m[6]}, z{m[8], m[9], m[10]};
    node.scale = {length(x), length(y), length(z)};
    if (node.scale[0] <= 0 || node.scale[1] <= 0 || node.scale[2] <= 0) {
      throw ToolError(path.string() + ": node '" + node.name + "' has a singular matrix");
    }
    x = scale_vector(x, 1 / node.scale[0]);
    y = scale_vector(y, 1 / node.scale[1]);
    z = scale_vector(z, 1 / node.scale[2]);
    node.rotation = matrix_rotation(x, y, z);
    node.translation = {m[12], m[13], m[14]};
    node.matrix = true;
    return;
  }
  if (source.rotation.size() == 4)
    node.rotation = {source.rotation[0], source.rotation[1], source.rotation[2], source.rotation[3]};
  if (source.translation.size() == 3)
    node.translation = {source.translation[0], source.translation[1], source.translation[2]};
  if (source.scale.size() == 3) node.scale = {source.scale[0], source.scale[1], source.scale[2]};
}

}  // namespace

std::shared_ptr<const Character> Character::read(const fs::path& path, Units units) {
  auto character = std::make_shared<Character>();
  character->path_ = path;
  const std::string extension = bvh::to_lower(path.extension().string());
  if (extension != ".glb" && extension != ".gltf") {
    throw ToolError(path.string() + ": a character is a glTF 2.0 file (.glb or .gltf)");
  }
  std::error_code error;
  if (fs::is_directory(path, error)) throw ToolError(path.string() + ": is a directory, not a character");
  character->binary_ = extension == ".glb";
  const std::string bytes = read_bytes(path);

  tinygltf::TinyGLTF loader;
  tinygltf::Model model;
  std::string load_error, warning;
  const std::string base = path.parent_path().string();
  bool loaded = false;
  if (character->binary_) {
    loaded =
        loader.LoadBinaryFromMemory(&model, &load_error, &warning, reinterpret_cast<const unsigned char*>(bytes.data()),
                                    static_cast<unsigned int>(bytes.size()), base);
  } else {
    loaded = loader.LoadASCIIFromString(&model, &load_error, &warning, bytes.data(),
                                        static_cast<unsigned int>(bytes.size()), base);
  }
  if (!loaded) {
    std::string line = load_error.empty() ? std::string("not a glTF 2.0 file") : load_error;
    std::replace(line.begin(), line.end(), '\n', ' ');
    throw ToolError(path.string() + ": cannot read character: " + line);
  }
  if (model.skins.empty()) throw ToolError(path.string() + ": has no skin: a character needs a skinned mesh");

  // The JSON and, in a glb, the binary chunk, kept byte for byte.
  if (character->binary_) {
    const std::size_t json_length = read_u32(bytes, 12);
    character->json_ = bytes.substr(20, json_length);
    const std::size_t bin_at = 20 + json_length;
    if (bin_at + 8 <= bytes.size() && read_u32(bytes, bin_at + 4) == kBinChunk) {
      const std::size_t bin_length = read_u32(bytes, bin_at);
      character->bin_ = bytes.substr(bin_at + 8, bin_length);
    }
  } else {
    character->json_ = bytes;
  }
  try {
    character->document_ = std::make_shared<const Document>(Document{Json::parse(character->json_)});
  } catch (const nlohmann::json::exception&) {
    throw ToolError(path.string() + ": cannot read character: its JSON is not valid");
  }

  std::unordered_map<std::string, int> targets;
  for (const std::string& name : target_bone_names()) targets.emplace(bvh::to_lower(name), 0);
  bool names_target = false;
  character->nodes_.resize(model.nodes.size());
  for (std::size_t n = 0; n < model.nodes.size(); ++n) {
    const tinygltf::Node& source = model.nodes[n];
    Node& node = character->nodes_[n];
    node.name = source.name;
    names_target = names_target || targets.count(bvh::to_lower(bvh::strip_namespace(source.name))) != 0;
    for (const int child : source.children) {
      if (child >= 0 && static_cast<std::size_t>(child) < model.nodes.size())
        character->nodes_[static_cast<std::size_t>(child)].parent = static_cast<int>(n);
    }
    rest_of(source, node, path);
  }
  if (!names_target) {
    throw ToolError(path.string() +
                    ": is not a character of the target skeleton: no node is named like a target bone "
                    "(root, pelvis, spine_01, thigh_l, ...)");
  }
  // Parents first: a depth-first walk from every node without a parent.
  std::vector<std::vector<int>> children(model.nodes.size());
  for (std::size_t n = 0; n < model.nodes.size(); ++n) {
    const int parent = character->nodes_[n].parent;
    if (parent >= 0) children[static_cast<std::size_t>(parent)].push_back(static_cast<int>(n));
  }
  for (std::size_t n = 0; n < model.nodes.size(); ++n) {
    if (character->nodes_[n].parent >= 0) continue;
    std::vector<int> stack{static_cast<int>(n)};
    while (!stack.empty()) {
      const int at = stack.back();
      stack.pop_back();
      character->order_.push_back(at);
      for (const int child : children[static_cast<std::size_t>(at)]) stack.push_back(child);
    }
  }
  if (character->order_.size() != model.nodes.size()) {
    throw ToolError(path.string() + ": its node hierarchy has a cycle");
  }
  character->rig_ = rig_from_gltf(model, units);
  return character;
}

namespace {

// Adds the clip to a character: per frame, each node matched to a driven target bone gets the
// world rotation change of that bone on top of its own rest,
//   world = (target world x target rest world^-1) x character rest world,
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
      throw OutputError(destination_.string() + ": would overwrite the character; choose another output");
    }
    metres_ = metres_per_unit(info.units);
    const auto& nodes = character.nodes();
    target_of_.assign(nodes.size(), -1);
    std::set<int> taken;
    for (std::size_t n = 0; n < nodes.size(); ++n) {
      const std::string name = bvh::to_lower(bvh::strip_namespace(nodes[n].name));
      for (std::size_t j = 0; j < skeleton_.names.size(); ++j) {
        if (bvh::to_lower(skeleton_.names[j]) == name && taken.insert(static_cast<int>(j)).second) {
          target_of_[n] = static_cast<int>(j);
          break;
        }
      }
    }
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
      rest_rotation_[n] = mul(parent_rotation, node.rotation);
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
        shift_ = sub(rest_position_[n], scale_vector(skeleton_.rest_world[static_cast<std::size_t>(j)], metres_));
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
          const Quat change = mul(target_rotation_[j], conj(skeleton_.rest_world_rotation[j]));
          local = mul(conj(parent_rotation), mul(change, rest_rotation_[n]));
          for (const double q : local) check(q);
          const double norm =
              std::sqrt(local[0] * local[0] + local[1] * local[1] + local[2] * local[2] + local[3] * local[3]);
          for (double& q : local) q /= norm;
          channel.rotations.add(local);
        }
        if (channel.translation) {
          const Vec3 world = add(scale_vector(target_position_[j], metres_), shift_);
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
    if (frames_ == 0) throw OutputError(destination_.string() + ": the clip has no frames to add");
    Json json = character_.document().json;  // a copy, to add the animation to
    // The animation's data: key times, then each channel's rotations and translations, as floats.
    gltf::Buffer data;
    const std::vector<float>& key_times = keys_->times();
    const auto frames = key_times.size();
    std::uint64_t base = 0;  // where the animation's data starts in the buffer
    if (character_.binary()) {
      data.add(character_.bin().data(), character_.bin().size());
      base = data.bytes();
    }
    const std::uint64_t times_at = data.add(key_times.data(), frames * sizeof(float)) - base;

    Json& buffers = json["buffers"];
    if (!buffers.is_array()) buffers = Json::array();
    std::size_t buffer = 0;
    if (character_.binary()) {
      if (buffers.empty()) {
        buffers.push_back(Json::object());
      } else if (buffers[0].contains("uri")) {
        throw OutputError(character_.path().string() + ": has no binary chunk to add the animation to");
      }
    } else {
      relocate_uris(json);
      buffer = buffers.size();
      buffers.push_back(Json::object());
      buffers[buffer]["uri"] = fs::path(destination_).replace_extension(".bin").filename().string();
    }
    Json& views = json["bufferViews"];
    if (!views.is_array()) views = Json::array();
    Json& accessors = json["accessors"];
    if (!accessors.is_array()) accessors = Json::array();
    Json& animations = json["animations"];
    if (!animations.is_array()) animations = Json::array();

    const std::size_t view = views.size();
    const auto add_accessor = [&](std::uint64_t offset, std::size_t count, const char* type) {
      Json accessor;
      accessor["bufferView"] = view;
      accessor["byteOffset"] = offset;
      accessor["componentType"] = 5126;  // float
      accessor["count"] = count;
      accessor["type"] = type;
      accessors.push_back(std::move(accessor));
      return accessors.size() - 1;
    };
    const std::size_t times = add_accessor(times_at, frames, "SCALAR");
    accessors[times]["min"] = {key_times.front()};
    accessors[times]["max"] = {key_times.back()};
    Json animation;
    std::set<std::string> names;
    for (const Json& existing : animations) {
      if (existing.contains("name") && existing["name"].is_string()) names.insert(existing["name"].get<std::string>());
    }
    std::string name = animation_name_;
    for (int k = 2; names.count(name) != 0; ++k) name = animation_name_ + "_" + std::to_string(k);
    animation["name"] = name;
    animation["channels"] = Json::array();
    animation["samplers"] = Json::array();
    const auto add_channel = [&](int node, const char* path, std::size_t output) {
      const std::size_t sampler = animation["samplers"].size();
      animation["samplers"].push_back({{"input", times}, {"interpolation", "LINEAR"}, {"output", output}});
      animation["channels"].push_back({{"sampler", sampler}, {"target", {{"node", node}, {"path", path}}}});
    };
    Json& nodes = json["nodes"];
    for (const Channel& channel : channels_) {
      if (character_.nodes()[static_cast<std::size_t>(channel.node)].matrix) {
        // An animated node is given by translation, rotation and scale; its matrix says the same.
        Json& node = nodes[static_cast<std::size_t>(channel.node)];
        const Character::Node& rest = character_.nodes()[static_cast<std::size_t>(channel.node)];
        node.erase("matrix");
        node["translation"] = rest.translation;
        node["rotation"] = rest.rotation;
        node["scale"] = rest.scale;
      }
      if (channel.rotation) {
        const std::span<const float> keys = channel.rotations.floats();
        add_channel(channel.node, "rotation", add_accessor(data.add(keys.data(), keys.size_bytes()) - base, frames, "VEC4"));
      }
      if (channel.translation) {
        const std::uint64_t at =
            data.add(channel.translations.data(), channel.translations.size() * sizeof(float)) - base;
        add_channel(channel.node, "translation", add_accessor(at, frames, "VEC3"));
      }
    }
    animations.push_back(std::move(animation));
    views.push_back({{"buffer", buffer}, {"byteOffset", base}, {"byteLength", data.bytes() - base}});
    buffers[buffer]["byteLength"] = data.bytes();

    write(json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), data);
  }

 private:
  struct Channel {
    int node = 0;
    int target = 0;
    bool rotation = false, translation = false;
    gltf::RotationKeys rotations;
    std::vector<float> translations;
  };

  // The character's JSON with the animation, and the buffer: a glb, or a .gltf and its .bin.
  void write(std::string text, const gltf::Buffer& data) const {
    if (character_.binary()) {
      AtomicFile file(destination_);
      gltf::write_glb(file.stream(), std::move(text), data);
      file.commit();
    } else {
      AtomicFile bin_file(fs::path(destination_).replace_extension(".bin"));
      data.write(bin_file.stream());
      AtomicFile file(destination_);
      file.stream() << text;
      bin_file.commit();
      file.commit();
    }
  }

  void check(double value) const {
    if (!std::isfinite(value)) {
      throw ToolError("frame " + std::to_string(frames_) + ": the character's pose is not finite");
    }
  }

  // A .gltf written into another folder keeps reaching the character's files: relative URIs are
  // rewritten to lead from the output's folder to the character's.
  void relocate_uris(Json& json) const {
    const fs::path from = fs::absolute(destination_).parent_path();
    const fs::path to = fs::absolute(character_.path()).parent_path();
    if (fs::weakly_canonical(from) == fs::weakly_canonical(to)) return;
    for (const char* list : {"buffers", "images"}) {
      if (!json.contains(list) || !json[list].is_array()) continue;
      for (Json& item : json[list]) {
        if (!item.contains("uri") || !item["uri"].is_string()) continue;
        const std::string uri = item["uri"].get<std::string>();
        if (uri.rfind("data:", 0) == 0 || uri.find("://") != std::string::npos || fs::path(uri).is_absolute()) continue;
        item["uri"] = fs::relative(to / uri, from).generic_string();
      }
    }
  }

  const Character& character_;
  fs::path destination_;
  TargetSkeleton skeleton_;
  gltf::KeyClock clock_;
  std::optional<gltf::KeyTimes> keys_;
  double metres_ = 0.01;
  Vec3 shift_{0, 0, 0};
  std::vector<int> target_of_;   // target bone of each node, -1 for none
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
