#include "VrmaWriter.h"

#include "AtomicFile.h"
#include "CharacterMap.h"
#include "ToolError.h"

#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

namespace oxr {
namespace {

namespace fs = std::filesystem;

void put_u32(std::string& out, std::uint32_t value) {
  char bytes[4];
  std::memcpy(bytes, &value, 4);
  out.append(bytes, 4);
}

// VRM Animation: a glb whose nodes are the humanoid bones the target has, in a T-pose with every rotation
// the identity (facing +Z, +Y up, metres), and one animation. A bone's key is its world change from the
// target's rest, taken against its humanoid parent's,
//   local(b) = change(parent)^-1 x change(b),  change = target world x target rest world^-1,
// which is what a VRM animation loader reads as the normalised pose; the hips also carry their position.
class VrmaWriter final : public PoseWriter {
 public:
  VrmaWriter(fs::path destination, const ClipInfo& info)
      : destination_(std::move(destination)), skeleton_(info.skeleton), frame_time_(info.frame_time) {
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
      throw OutputError(destination_.string() + ": VRM Animation needs the hips; the target has no pelvis");
    }
    const auto frames = static_cast<std::size_t>(std::clamp<std::int64_t>(info.frames_to_reserve, 0, 1 << 20));
    rotations_.reserve(frames * bones_.size() * 4);
    hips_.reserve(frames * 3);
    world_.resize(skeleton_.names.size());
    position_.resize(skeleton_.names.size());
    change_.resize(bones_.size());
    stem_ = info.source.empty() ? std::string("retargeted") : fs::path(info.source).stem().string();
  }

  void write_frame(std::int64_t frame, const FramePose& pose) override {
    forward_kinematics(
        skeleton_.names.size(), [&](std::size_t j) { return skeleton_.parents[j]; },
        [&](std::size_t j) { return pose.rotations[j]; }, [&](std::size_t j) { return pose.translations[j]; }, world_,
        position_);
    for (std::size_t b = 0; b < bones_.size(); ++b) {
      const auto j = static_cast<std::size_t>(bones_[b].target);
      change_[b] = mul(world_[j], conj(skeleton_.rest_world_rotation[j]));
      const int parent = bones_[b].parent;
      Quat local = parent < 0 ? change_[b] : mul(conj(change_[static_cast<std::size_t>(parent)]), change_[b]);
      const std::size_t previous = rotations_.size() >= bones_.size() * 4 ? rotations_.size() - bones_.size() * 4 : 0;
      if (rotations_.size() >= bones_.size() * 4) {
        double d = 0;
        for (std::size_t c = 0; c < 4; ++c) d += local[c] * rotations_[previous + c];
        if (d < 0) local = {-local[0], -local[1], -local[2], -local[3]};
      }
      for (const double q : local) push(rotations_, q, frame);
    }
    for (const double p : position_[static_cast<std::size_t>(bones_[0].target)]) push(hips_, p * metres_, frame);
    ++frames_;
  }

  void finish() override;

 private:
  struct Bone {
    std::string name;  // the VRM humanoid bone
    int target;        // its target bone
    int parent;        // its humanoid parent's index in bones_, -1 for the hips
  };

  static void push(std::vector<float>& values, double value, std::int64_t frame) {
    if (!std::isfinite(value)) throw ToolError("frame " + std::to_string(frame) + ": the pose is not finite");
    values.push_back(static_cast<float>(value));
  }

  fs::path destination_;
  TargetSkeleton skeleton_;
  double frame_time_ = 0;
  double metres_ = 0.01;
  std::vector<Bone> bones_;
  std::vector<float> rotations_;  // per frame, per bone: x, y, z, w
  std::vector<float> hips_;       // per frame: x, y, z in metres
  std::vector<Quat> world_;
  std::vector<Vec3> position_;
  std::vector<Quat> change_;
  std::int64_t frames_ = 0;
  std::string stem_;
};

void VrmaWriter::finish() {
  if (frames_ == 0) throw OutputError(destination_.string() + ": the clip has no frames to write");
  using Json = nlohmann::ordered_json;
  const auto frames = static_cast<std::size_t>(frames_);
  const std::size_t count = bones_.size();
  std::string bin;
  Json views = Json::array(), accessors = Json::array();
  const auto add = [&](std::size_t values, const auto& value_at, std::size_t elements, const char* type) {
    const std::size_t at = bin.size();
    for (std::size_t i = 0; i < values; ++i) {
      const float v = value_at(i);
      bin.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    views.push_back({{"buffer", 0}, {"byteOffset", at}, {"byteLength", bin.size() - at}});
    accessors.push_back({{"bufferView", views.size() - 1}, {"componentType", 5126}, {"count", elements}, {"type", type}});
    return accessors.size() - 1;
  };
  const std::size_t times = add(
      frames, [&](std::size_t i) { return static_cast<float>(static_cast<double>(i) * frame_time_); }, frames, "SCALAR");
  accessors[times]["min"] = {0.0F};
  accessors[times]["max"] = {static_cast<float>(static_cast<double>(frames - 1) * frame_time_)};
  Json nodes = Json::array(), human = Json::object(), channels = Json::array(), samplers = Json::array();
  for (std::size_t b = 0; b < count; ++b) {
    const auto j = static_cast<std::size_t>(bones_[b].target);
    const int parent = bones_[b].parent;
    const Vec3 from = parent < 0 ? Vec3{0, 0, 0}
                                 : skeleton_.rest_world[static_cast<std::size_t>(bones_[static_cast<std::size_t>(parent)].target)];
    const Vec3 offset = scale_vector(sub(skeleton_.rest_world[j], from), metres_);
    nodes.push_back({{"name", bones_[b].name}, {"translation", offset}});
    if (parent >= 0) {
      Json& up = nodes[static_cast<std::size_t>(parent)];
      if (!up.contains("children")) up["children"] = Json::array();
      up["children"].push_back(b);
    }
    human[bones_[b].name] = {{"node", b}};
    const std::size_t output = add(
        frames * 4, [&](std::size_t i) { return rotations_[(i / 4) * count * 4 + b * 4 + i % 4]; }, frames, "VEC4");
    samplers.push_back({{"input", times}, {"interpolation", "LINEAR"}, {"output", output}});
    channels.push_back({{"sampler", samplers.size() - 1}, {"target", {{"node", b}, {"path", "rotation"}}}});
  }
  const std::size_t hips = add(frames * 3, [&](std::size_t i) { return hips_[i]; }, frames, "VEC3");
  samplers.push_back({{"input", times}, {"interpolation", "LINEAR"}, {"output", hips}});
  channels.push_back({{"sampler", samplers.size() - 1}, {"target", {{"node", 0}, {"path", "translation"}}}});

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
  json["buffers"] = {{{"byteLength", bin.size()}}};
  std::string text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  text.resize((text.size() + 3) / 4 * 4, ' ');
  bin.resize((bin.size() + 3) / 4 * 4, '\0');
  std::string out;
  out.reserve(28 + text.size() + bin.size());
  put_u32(out, 0x46546C67);  // "glTF"
  put_u32(out, 2);
  put_u32(out, static_cast<std::uint32_t>(28 + text.size() + bin.size()));
  put_u32(out, static_cast<std::uint32_t>(text.size()));
  put_u32(out, 0x4E4F534A);  // "JSON"
  out += text;
  put_u32(out, static_cast<std::uint32_t>(bin.size()));
  put_u32(out, 0x004E4942);  // "BIN\0"
  out += bin;
  AtomicFile file(destination_);
  file.stream().write(out.data(), static_cast<std::streamsize>(out.size()));
  file.commit();
}

}  // namespace

std::unique_ptr<PoseWriter> make_vrma_writer(const fs::path& destination, const ClipInfo& info) {
  return std::make_unique<VrmaWriter>(destination, info);
}

}  // namespace oxr
