#include "VrmaWriter.h"

#include "AtomicFile.h"
#include "CharacterMap.h"
#include "GltfOut.h"
#include "ToolError.h"

#include <cmath>
#include <optional>

#include <nlohmann/json.hpp>

namespace oxr {
namespace {

namespace fs = std::filesystem;

// VRM Animation: a glb whose nodes are the humanoid bones the target has, in a T-pose with every rotation
// the identity (facing +Z, +Y up, metres), and one animation. A bone's key is its world change from the
// target's rest, taken against its humanoid parent's,
//   local(b) = change(parent)^-1 x change(b),  change = target world x target rest world^-1,
// which is what a VRM animation loader reads as the normalised pose; the hips also carry their position.
class VrmaWriter final : public PoseWriter {
 public:
  VrmaWriter(fs::path destination, const ClipInfo& info)
      : destination_(std::move(destination)), skeleton_(info.skeleton), clock_(info.frame_time, info.frame_time_text) {
    metres_ = metres_per_unit(info.units);
    std::vector<int> node_of(skeleton_.names.size(), -1);
    for (std::size_t j = 0; j < skeleton_.names.size(); ++j) {
      for (const auto& [vrm, target] : vrm_bones()) {
        if (target != skeleton_.names[j]) continue;
        int parent = skeleton_.parents[j];
        while (parent >= 0 && node_of[static_cast<std::size_t>(parent)] < 0)
          parent = skeleton_.parents[static_cast<std::size_t>(parent)];
        node_of[j] = static_cast<int>(bones_.size());
        bones_.push_back({vrm, static_cast<int>(j), parent < 0 ? -1 : node_of[static_cast<std::size_t>(parent)]});
      }
    }
    if (bones_.empty() || bones_[0].name != "hips") {
      throw OutputError(destination_.string(), "VRM Animation needs the hips; the target has no pelvis");
    }
    keys_.emplace(clock_, 4 + bones_.size() * 16 + 12, info.frames_to_reserve);
    rotations_.resize(bones_.size());
    for (gltf::RotationKeys& keys : rotations_) keys.reserve(keys_->reserved());
    hips_.reserve(keys_->reserved() * 3);
    world_.resize(skeleton_.names.size());
    position_.resize(skeleton_.names.size());
    change_.resize(bones_.size());
    stem_ = info.source.empty() ? std::string("retargeted") : fs::path(info.source).stem().string();
  }

  void write_frame(std::int64_t frame, const FramePose& pose) override {
    keys_->add(frame);
    forward_kinematics(
        skeleton_.names.size(), [&](std::size_t j) { return skeleton_.parents[j]; },
        [&](std::size_t j) { return pose.rotations[j]; }, [&](std::size_t j) { return pose.translations[j]; }, world_,
        position_);
    for (std::size_t b = 0; b < bones_.size(); ++b) {
      const auto j = static_cast<std::size_t>(bones_[b].target);
      change_[b] = mul(world_[j], conj(skeleton_.rest_world_rotation[j]));
      const int parent = bones_[b].parent;
      const Quat local = parent < 0 ? change_[b] : mul(conj(change_[static_cast<std::size_t>(parent)]), change_[b]);
      for (const double q : local) check(q, frame);
      rotations_[b].add(local);
    }
    for (const double p : position_[static_cast<std::size_t>(bones_[0].target)]) {
      check(p, frame);
      hips_.push_back(static_cast<float>(p * metres_));
    }
  }

  void finish() override;

 private:
  struct Bone {
    std::string name;  // the VRM humanoid bone
    int target;        // its target bone
    int parent;        // its humanoid parent's index in bones_, -1 for the hips
  };

  static void check(double value, std::int64_t frame) {
    if (!std::isfinite(value)) throw ToolError("the pose is not finite").at_frame(frame);
  }

  fs::path destination_;
  TargetSkeleton skeleton_;
  gltf::KeyClock clock_;
  std::optional<gltf::KeyTimes> keys_;
  double metres_ = 0.01;
  std::vector<Bone> bones_;
  std::vector<gltf::RotationKeys> rotations_;  // per bone
  std::vector<float> hips_;                    // per frame: x, y, z in metres
  std::vector<Quat> world_;
  std::vector<Vec3> position_;
  std::vector<Quat> change_;
  std::string stem_;
};

void VrmaWriter::finish() {
  const std::vector<float>& key_times = keys_->times();
  if (key_times.empty()) throw OutputError(destination_.string(), "the clip has no frames to write");
  using Json = nlohmann::ordered_json;
  const std::size_t frames = key_times.size();
  gltf::Buffer data;
  Json views = Json::array(), accessors = Json::array();
  const auto add = [&](const float* values, std::size_t count, const char* type) {
    const std::uint64_t at = data.add(values, count * sizeof(float));
    views.push_back({{"buffer", 0}, {"byteOffset", at}, {"byteLength", count * sizeof(float)}});
    accessors.push_back({{"bufferView", views.size() - 1}, {"componentType", 5126}, {"count", frames}, {"type", type}});
    return accessors.size() - 1;
  };
  const std::size_t times = add(key_times.data(), frames, "SCALAR");
  accessors[times]["min"] = {key_times.front()};
  accessors[times]["max"] = {key_times.back()};
  Json nodes = Json::array(), human = Json::object(), channels = Json::array(), samplers = Json::array();
  const auto animate = [&](std::size_t node, const char* path, std::size_t output) {
    samplers.push_back({{"input", times}, {"interpolation", "LINEAR"}, {"output", output}});
    channels.push_back({{"sampler", samplers.size() - 1}, {"target", {{"node", node}, {"path", path}}}});
  };
  for (std::size_t b = 0; b < bones_.size(); ++b) {
    const auto j = static_cast<std::size_t>(bones_[b].target);
    const int parent = bones_[b].parent;
    const Vec3 from =
        parent < 0 ? Vec3{0, 0, 0}
                   : skeleton_.rest_world[static_cast<std::size_t>(bones_[static_cast<std::size_t>(parent)].target)];
    nodes.push_back(
        {{"name", bones_[b].name}, {"translation", scale_vector(sub(skeleton_.rest_world[j], from), metres_)}});
    if (parent >= 0) {
      Json& up = nodes[static_cast<std::size_t>(parent)];
      if (!up.contains("children")) up["children"] = Json::array();
      up["children"].push_back(b);
    }
    human[bones_[b].name] = {{"node", b}};
    const std::span<const float> keys = rotations_[b].floats();
    animate(b, "rotation", add(keys.data(), keys.size(), "VEC4"));
  }
  animate(0, "translation", add(hips_.data(), hips_.size(), "VEC3"));

  Json json;
  json["asset"] = {{"version", "2.0"}, {"generator", "oxretarget"}};
  json["extensionsUsed"] = {"VRMC_vrm_animation"};
  json["extensions"] = {{"VRMC_vrm_animation", {{"specVersion", "1.0"}, {"humanoid", {{"humanBones", human}}}}}};
  json["scene"] = 0;
  json["scenes"] = {{{"nodes", {0}}}};
  json["nodes"] = std::move(nodes);
  json["animations"] = {{{"name", stem_}, {"channels", channels}, {"samplers", samplers}}};
  json["accessors"] = std::move(accessors);
  json["bufferViews"] = std::move(views);
  json["buffers"] = {{{"byteLength", data.bytes()}}};
  AtomicFile file(destination_);
  gltf::write_glb(file.stream(), json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), data);
  file.commit();
}

}  // namespace

std::unique_ptr<PoseWriter> make_vrma_writer(const fs::path& destination, const ClipInfo& info) {
  return std::make_unique<VrmaWriter>(destination, info);
}

}  // namespace oxr
