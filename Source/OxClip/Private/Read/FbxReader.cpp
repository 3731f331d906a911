#include "FbxReader.h"

#include "FbxBinary.h"
#include "FbxScene.h"
#include "Retarget.h"
#include "Solver.h"
#include "ToolError.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>
#include <unordered_map>

#include <fmt/format.h>

namespace oxr {
namespace {

constexpr std::int64_t kMaxFrames = 100'000'000;

// A take without a time range spans its curves' keys.
void key_range(const ufbx_anim_stack& stack, double& start, double& stop) {
  double low = 0, high = 0;
  bool any = false;
  for (const ufbx_anim_layer* layer : stack.layers) {
    for (const ufbx_anim_value* value : layer->anim_values) {
      for (const ufbx_anim_curve* curve : value->curves) {
        if (curve == nullptr || curve->keyframes.count == 0) continue;
        low = any ? std::min(low, curve->min_time) : curve->min_time;
        high = any ? std::max(high, curve->max_time) : curve->max_time;
        any = true;
      }
    }
  }
  if (any && std::isfinite(low) && std::isfinite(high) && high > low) {
    start = low;
    stop = high;
  }
}

std::vector<FbxTake> list_takes(const ufbx_scene& scene) {
  std::vector<FbxTake> takes;
  const double rate = scene.settings.frames_per_second;
  for (const ufbx_anim_stack* stack : scene.anim_stacks) {
    FbxTake& take = takes.emplace_back();
    take.name.assign(stack->name.data, stack->name.length);
    take.start = stack->time_begin;
    take.stop = std::max(stack->time_end, stack->time_begin);
    if (take.stop == take.start) key_range(*stack, take.start, take.stop);
    take.frame_rate = rate;
    if (rate > 0 && std::isfinite(take.start * rate) && std::isfinite(take.stop * rate)) {
      take.first_frame = std::llround(std::clamp(take.start * rate, -1e15, 1e15));
      take.last_frame = std::llround(std::clamp(take.stop * rate, -1e15, 1e15));
    }
  }
  return takes;
}

// The take a --take value names: its name, else its number from 1.
int choose_take(const std::vector<FbxTake>& takes, const std::string& wanted) {
  if (wanted.empty()) return takes.empty() ? -1 : 0;
  for (std::size_t i = 0; i < takes.size(); ++i)
    if (takes[i].name == wanted) return static_cast<int>(i);
  int number = 0;
  const auto [end, error] = std::from_chars(wanted.data(), wanted.data() + wanted.size(), number);
  if (error == std::errc() && end == wanted.data() + wanted.size() && number >= 1 &&
      static_cast<std::size_t>(number) <= takes.size())
    return number - 1;
  std::string names;
  for (const FbxTake& take : takes) names += (names.empty() ? "" : ", ") + fmt::format("'{}'", take.name);
  throw UsageError(fmt::format("has no take '{}' (takes: {})", wanted, names.empty() ? "none" : names));
}

// One animated channel (an axis of Lcl Translation, Rotation or Scaling) sampled at rising times with
// a cursor instead of a search per sample; what ufbx_evaluate_curve gives, its cubic segments and
// times outside the keys handed to it.
struct Channel {
  const ufbx_anim_curve* curve = nullptr;
  double fixed = 0;      // the value without a curve (or before the first sample)
  std::size_t next = 0;  // the first key after the last time sampled

  double at(double time) {
    if (curve == nullptr) return fixed;
    const ufbx_keyframe_list& keys = curve->keyframes;
    if (keys.count <= 1 || !(time >= curve->min_time && time <= curve->max_time))
      return ufbx_evaluate_curve(curve, time, fixed);
    if (next > 0 && keys[next - 1].time > time) next = 0;  // sampled backwards: start over
    while (next < keys.count && keys[next].time <= time) ++next;
    if (next == keys.count) return keys[keys.count - 1].value;
    if (next == 0) return keys[0].value;
    const ufbx_keyframe& prev = keys[next - 1];
    const ufbx_keyframe& after = keys[next];
    if (prev.time == time) return prev.value;
    const double t = (time - prev.time) * (1.0 / (after.time - prev.time));
    switch (prev.interpolation) {
      case UFBX_INTERPOLATION_CONSTANT_PREV:
        return prev.value;
      case UFBX_INTERPOLATION_CONSTANT_NEXT:
        return after.value;
      case UFBX_INTERPOLATION_LINEAR:
        return prev.value * (1.0 - t) + after.value * t;
      default:
        return ufbx_evaluate_curve(curve, time, fixed);
    }
  }
};

// A node whose take animates only its Lcl Translation, Rotation and Scaling, with no pivots, offsets
// or axis adjustments: its local transform is T, Qpre * R(order) * conj(Qpost), S from nine channels.
// Checked against ufbx_evaluate_transform when set up; any other node goes through ufbx.
struct PlainTrack {
  std::array<Channel, 9> channels;  // translation x y z, rotation x y z (degrees), scaling x y z
  ufbx_quat pre = fbx::quat(0, 0, 0, 1), post_inverse = fbx::quat(0, 0, 0, 1);
  ufbx_rotation_order order = UFBX_ROTATION_ORDER_XYZ;
  bool turned = false;  // pre or post rotation other than none
  // The last angles turned into a rotation and that rotation: a joint that keeps its angles (a
  // finger, a still curve) keeps it without the sines and cosines.
  ufbx_vec3 last_euler = fbx::vec3(0, 0, 0);
  ufbx_quat last_rotation = fbx::quat(0, 0, 0, 0);

  ufbx_transform at(double time) {
    ufbx_transform t;
    t.translation = fbx::vec3(channels[0].at(time), channels[1].at(time), channels[2].at(time));
    const ufbx_vec3 euler = fbx::vec3(channels[3].at(time), channels[4].at(time), channels[5].at(time));
    if (last_rotation.w == 0 || !same_bits(euler.v, last_euler.v)) {
      last_rotation = ufbx_euler_to_quat(euler, order);
      if (turned) last_rotation = ufbx_quat_mul(ufbx_quat_mul(pre, last_rotation), post_inverse);
      last_euler = euler;
    }
    t.rotation = last_rotation;
    t.scale = fbx::vec3(channels[6].at(time), channels[7].at(time), channels[8].at(time));
    return t;
  }
  void rewind() {
    for (Channel& channel : channels) channel.next = 0;
  }
};

bool close(const ufbx_transform& a, const ufbx_transform& b) {
  const auto near = [](const ufbx_vec3& x, const ufbx_vec3& y) {
    const double tolerance = 1e-9 * (1 + std::abs(x.x) + std::abs(x.y) + std::abs(x.z));
    return std::abs(x.x - y.x) <= tolerance && std::abs(x.y - y.y) <= tolerance && std::abs(x.z - y.z) <= tolerance;
  };
  const double dot = a.rotation.x * b.rotation.x + a.rotation.y * b.rotation.y + a.rotation.z * b.rotation.z +
                     a.rotation.w * b.rotation.w;
  return near(a.translation, b.translation) && near(a.scale, b.scale) && std::abs(dot) >= 1 - 1e-12;
}

// The node's plain track in the take, or nullopt when ufbx must evaluate it.
std::optional<PlainTrack> plain_track(const ufbx_anim& anim, const ufbx_node& node, double start, double stop) {
  if (anim.layers.count != 1 || anim.prop_overrides.count != 0 || anim.transform_overrides.count != 0 ||
      anim.override_layer_weights.count != 0)
    return std::nullopt;
  const ufbx_anim_layer& layer = *anim.layers[0];
  if (layer.weight != 1 || layer.weight_is_animated || node.is_scale_helper || node.has_adjust_transform ||
      node.adjust_mirror_axis != UFBX_MIRROR_AXIS_NONE ||
      (node.parent != nullptr && (node.parent->scale_helper != nullptr || node.parent->inherit_scale_node != nullptr)))
    return std::nullopt;
  static constexpr const char* kProps[3] = {"Lcl Translation", "Lcl Rotation", "Lcl Scaling"};
  static constexpr double kDefaults[3] = {0, 0, 1};
  const ufbx_anim_prop_list props = ufbx_find_anim_props(&layer, &node.element);
  for (const ufbx_anim_prop& prop : props) {
    const std::string_view name(prop.prop_name.data, prop.prop_name.length);
    if (name != kProps[0] && name != kProps[1] && name != kProps[2]) return std::nullopt;
  }
  PlainTrack track;
  for (std::size_t p = 0; p < 3; ++p) {
    const double d = kDefaults[p];
    const ufbx_vec3 fixed = ufbx_find_vec3(&node.props, kProps[p], fbx::vec3(d, d, d));
    const ufbx_anim_prop* prop = ufbx_find_anim_prop(&layer, &node.element, kProps[p]);
    for (std::size_t i = 0; i < 3; ++i) {
      Channel& channel = track.channels[p * 3 + i];
      channel.fixed = fixed.v[i];
      if (prop != nullptr && prop->anim_value != nullptr) {
        channel.fixed = prop->anim_value->default_value.v[i];
        channel.curve = prop->anim_value->curves[i];
        // A curve of one key holds its value at every time.
        if (channel.curve != nullptr && channel.curve->keyframes.count <= 1) {
          if (channel.curve->keyframes.count == 1) channel.fixed = channel.curve->keyframes[0].value;
          channel.curve = nullptr;
        }
      }
    }
  }
  if (node.use_rotation_space) {
    track.order = node.rotation_order;
    track.pre =
        ufbx_euler_to_quat(ufbx_find_vec3(&node.props, "PreRotation", fbx::vec3(0, 0, 0)), UFBX_ROTATION_ORDER_XYZ);
    const ufbx_quat post =
        ufbx_euler_to_quat(ufbx_find_vec3(&node.props, "PostRotation", fbx::vec3(0, 0, 0)), UFBX_ROTATION_ORDER_XYZ);
    track.post_inverse = fbx::quat(-post.x, -post.y, -post.z, post.w);
    track.turned = !(track.pre.w == 1 && track.post_inverse.w == 1);
  }
  // Pivots, offsets and whatever else this reading leaves out show as a difference from ufbx.
  for (const double time : {start, (2 * start + stop) / 3, (start + 2 * stop) / 3, stop}) {
    if (!close(track.at(time), ufbx_evaluate_transform(&anim, &node, time))) return std::nullopt;
  }
  track.rewind();
  return track;
}

}  // namespace

bool is_fbx_path(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".fbx";
}

struct FbxCapture::State {
  fbx::Scene scene;
  fbx::Skeleton skeleton;
  std::vector<FbxTake> takes;
  int take = -1;
  const ufbx_anim* anim = nullptr;
  double start = 0;
  double frame_time = 0;
  bvh::Header header;
  std::int64_t next = 0;
  // Per joint: this frame's local transform and world matrix (shearing scales only), its world
  // change from the rest (B), its turn and place under its parent's change, and its world scale.
  std::vector<ufbx_transform> local;
  std::vector<ufbx_matrix> world;
  std::vector<Quat> turn, change;
  std::vector<Vec3> place;
  std::vector<double> scale;
  std::vector<std::optional<PlainTrack>> tracks;  // per joint: sampled here, else by ufbx
  // The skeleton's surroundings (the root's parent in the scene), and whether they are a rotation,
  // place and uniform positive scale.
  struct {
    Quat turn = kIdentity;
    Vec3 place{0, 0, 0};
    double scale = 1;
  } above;
  bool above_similar = true;

  void open(const FbxCaptureOptions& options, std::int64_t file_bytes);
  void build_header(std::int64_t file_bytes);
  void sample(double time);
  template <typename Put>
  bool next_frame(Put&& put);
};

void FbxCapture::State::build_header(std::int64_t file_bytes) {
  const std::size_t n = skeleton.nodes.size();
  header = fbx::skeleton_header(skeleton);
  header.frame_time = frame_time;
  double span = 0;
  if (take >= 0) span = takes[static_cast<std::size_t>(take)].stop - start;
  const double frames = std::floor(span / frame_time + 1e-6) + 1;
  if (!(frames <= static_cast<double>(kMaxFrames)))
    throw ToolError(fmt::format("take of {:.0f} frames is past the limit of {}", frames, kMaxFrames));
  header.frame_count = static_cast<std::int64_t>(frames);
  // Room to reserve: frames beyond what the file's keys could describe are not reserved for.
  header.frames_in_bytes = std::min<std::int64_t>(header.frame_count, file_bytes / 16 + 1);
  local.resize(n);
  world.resize(n);
  turn.resize(n);
  change.resize(n);
  place.resize(n);
  scale.resize(n);
  tracks.resize(n);
  if (const ufbx_node* up = skeleton.nodes.front()->parent; up != nullptr) {
    const ufbx_transform t = ufbx_matrix_to_transform(&up->node_to_world);
    above.turn = fbx::rotation_of(up->node_to_world);
    above.place = fbx::translation_of(up->node_to_world);
    above.scale = t.scale.x;
    const ufbx_matrix again = ufbx_transform_to_matrix(&t);
    bool same = t.scale.x > 0 && std::abs(t.scale.y - t.scale.x) <= 1e-12 * t.scale.x &&
                std::abs(t.scale.z - t.scale.x) <= 1e-12 * t.scale.x;
    for (std::size_t i = 0; i < 12 && same; ++i)
      same = std::abs(again.v[i] - up->node_to_world.v[i]) <= 1e-12 * (1 + std::abs(up->node_to_world.v[i]));
    above_similar = same;
  }
  if (anim != nullptr) {
    const double stop = start + static_cast<double>(header.frame_count - 1) * frame_time;
    for (std::size_t j = 0; j < n; ++j) tracks[j] = plain_track(*anim, *skeleton.nodes[j], start, stop);
  }
}

// Each joint's turn away from its rest under its parent's, conj(B(parent)) * B(joint) with
// B = W * conj(Wrest) its world change, and its place in its parent's changed frame,
// rotate(conj(B(parent)), P(joint) - P(parent)), at `time` (the take's curves, else the nodes' own
// transforms). While every scale is uniform and positive (the common case) the worlds cancel: with
// W(joint) = W(parent) L and P(joint) = P(parent) + s(parent) W(parent) t,
//   turn = Wrest(parent) L conj(Wrest(joint)),  place = s(parent) rotate(Wrest(parent), t);
// otherwise worlds compose as matrices, which shear and mirror too.
void FbxCapture::State::sample(double time) {
  const std::size_t n = skeleton.nodes.size();
  bool similar = above_similar;
  for (std::size_t j = 0; j < n; ++j) {
    const ufbx_node* node = skeleton.nodes[j];
    local[j] = tracks[j]         ? tracks[j]->at(time)
               : anim != nullptr ? ufbx_evaluate_transform(anim, node, time)
                                 : node->local_transform;
    const ufbx_vec3& scale = local[j].scale;
    similar = similar && scale.x > 0 && scale.x == scale.y && scale.y == scale.z;
  }
  if (similar) {
    for (std::size_t j = 0; j < n; ++j) {
      const int parent = skeleton.parents[j];
      const auto p = static_cast<std::size_t>(parent);
      const ufbx_transform& t = local[j];
      const Quat& parent_rest = parent >= 0 ? skeleton.rest_rotation[p] : above.turn;
      const double parent_scale = parent >= 0 ? scale[p] : above.scale;
      const Vec3 step =
          scale_vector(rotate(parent_rest, {t.translation.x, t.translation.y, t.translation.z}), parent_scale);
      turn[j] = mul(mul(parent_rest, {t.rotation.x, t.rotation.y, t.rotation.z, t.rotation.w}),
                    conj(skeleton.rest_rotation[j]));
      place[j] = parent >= 0 ? step : add(above.place, step);
      scale[j] = parent_scale * t.scale.x;
    }
    return;
  }
  for (std::size_t j = 0; j < n; ++j) {
    const int parent = skeleton.parents[j];
    const ufbx_node* node = skeleton.nodes[j];
    const ufbx_matrix local_matrix = ufbx_transform_to_matrix(&local[j]);
    const ufbx_matrix& parent_world = parent >= 0               ? world[static_cast<std::size_t>(parent)]
                                      : node->parent != nullptr ? node->parent->node_to_world
                                                                : ufbx_identity_matrix;
    world[j] = ufbx_matrix_mul(&parent_world, &local_matrix);
    change[j] = mul(fbx::rotation_of(world[j]), conj(skeleton.rest_rotation[j]));
  }
  for (std::size_t j = 0; j < n; ++j) {
    const int parent = skeleton.parents[j];
    turn[j] = change[j];
    place[j] = fbx::translation_of(world[j]);
    if (parent < 0) continue;
    const auto p = static_cast<std::size_t>(parent);
    const Quat inverse = conj(change[p]);
    place[j] = rotate(inverse, sub(place[j], fbx::translation_of(world[p])));
    turn[j] = mul(inverse, turn[j]);
  }
}

FbxCapture::FbxCapture(const std::filesystem::path& path, const FbxCaptureOptions& options)
    : state_(std::make_unique<State>()) {
  state_->scene = fbx::load_scene(path, false);
  std::error_code error;
  const auto bytes = std::filesystem::file_size(path, error);
  state_->open(options, error ? 0 : static_cast<std::int64_t>(bytes));
}

FbxCapture::FbxCapture(std::span<const std::byte> bytes, const FbxCaptureOptions& options)
    : state_(std::make_unique<State>()) {
  state_->scene = fbx::load_scene(bytes, false);
  state_->open(options, static_cast<std::int64_t>(bytes.size()));
}

void FbxCapture::State::open(const FbxCaptureOptions& options, std::int64_t file_bytes) {
  skeleton = fbx::find_skeleton(*scene);
  takes = list_takes(*scene);
  take = choose_take(takes, options.take);
  double rate = scene->settings.frames_per_second;
  if (options.fps) rate = *options.fps;
  if (!(rate > 0 && rate <= 100000)) rate = 30;  // files without a usable rate: the common default
  frame_time = 1.0 / rate;
  if (take >= 0) {
    anim = scene->anim_stacks[static_cast<std::size_t>(take)]->anim;
    start = takes[static_cast<std::size_t>(take)].start;
  }
  build_header(file_bytes);
}

FbxCapture::~FbxCapture() = default;

const bvh::Header& FbxCapture::header() const { return state_->header; }
const std::vector<FbxTake>& FbxCapture::takes() const { return state_->takes; }
int FbxCapture::take_index() const { return state_->take; }

bool FbxCapture::rewind() {
  state_->next = 0;
  for (auto& track : state_->tracks)
    if (track) track->rewind();
  return true;
}

bool FbxCapture::has_joint_frames() const { return true; }

// The next frame's joints, each its turn away from its rest and its place in its parent's frame,
// handed to put(j, place, turn); false once every frame was read.
template <typename Put>
bool FbxCapture::State::next_frame(Put&& put) {
  if (next >= header.frame_count) return false;
  const std::int64_t frame = next++;
  sample(start + static_cast<double>(frame) * frame_time);
  for (std::size_t j = 0; j < skeleton.nodes.size(); ++j) {
    bool finite = true;
    for (int i = 0; i < 4; ++i) finite = finite && std::isfinite(turn[j][i]) && (i == 3 || std::isfinite(place[j][i]));
    if (!finite)
      throw ToolError(fmt::format("frame {}: joint {} has a non-finite transform", frame, skeleton.names[j]));
    put(j, place[j], turn[j]);
  }
  return true;
}

bool FbxCapture::read_frame(std::span<double> values) {
  return state_->next_frame([&](std::size_t j, const Vec3& position, const Quat& turn) {
    const Vec3 angles = fbx::euler_xyz_degrees(turn);
    double* out = values.data() + j * 6;
    out[0] = position[0];
    out[1] = position[1];
    out[2] = position[2];
    out[3] = angles[2];
    out[4] = angles[1];
    out[5] = angles[0];
  });
}

bool FbxCapture::read_joint_frame(std::span<Quat> local, std::span<Vec3> translation) {
  // Unit turns, as angles would give: a rest taken from a scaled bind matrix is a unit quaternion
  // only to the matrix's precision, and a longer one would stretch the joint's children.
  return state_->next_frame([&](std::size_t j, const Vec3& position, const Quat& turn) {
    local[j] = normalised(turn);
    translation[j] = position;
  });
}

namespace fbx {

bvh::Header skeleton_header(const Skeleton& skeleton) {
  using bvh::Channel;
  bvh::Header header;
  const std::size_t n = skeleton.nodes.size();
  for (std::size_t j = 0; j < n; ++j) {
    bvh::Joint& joint = header.joints.emplace_back();
    joint.name = skeleton.names[j];
    joint.parent = skeleton.parents[j];
    const Vec3& place = skeleton.rest_position[j];
    joint.offset =
        joint.parent < 0 ? place : sub(place, skeleton.rest_position[static_cast<std::size_t>(joint.parent)]);
    joint.channels = {Channel::Xposition, Channel::Yposition, Channel::Zposition,
                      Channel::Zrotation, Channel::Yrotation, Channel::Xrotation};
    joint.first_channel = static_cast<int>(j * 6);
    for (const Vec3& tip : skeleton.rest_tips[j]) joint.end_sites.push_back(sub(tip, place));
  }
  header.channel_count = static_cast<int>(n * 6);
  header.positions = bvh::Positions::Absolute;
  header.positions_matter = true;
  return header;
}

std::vector<int> target_roles(const bvh::Header& header) {
  const std::vector<std::string>& names = target_bone_names();
  std::unordered_map<std::string, int> targets;
  for (std::size_t b = 0; b < names.size(); ++b) targets.emplace(bvh::to_lower(names[b]), static_cast<int>(b));
  std::vector<int> roles(header.joints.size(), -1);
  std::vector<bool> taken(names.size(), false);
  bool pelvis = false;
  for (std::size_t j = 0; j < header.joints.size(); ++j) {
    const auto found = targets.find(bvh::to_lower(bvh::strip_namespace(header.joints[j].name)));
    if (found == targets.end() || taken[static_cast<std::size_t>(found->second)]) continue;
    roles[j] = found->second;
    taken[static_cast<std::size_t>(found->second)] = true;
    pelvis = pelvis || found->first == "pelvis";
  }
  if (pelvis) return roles;
  // Another naming: recognition pairs joints with source bones, the pairing names their targets.
  std::fill(roles.begin(), roles.end(), -1);
  RetargetOptions upright;  // the skeleton is in centimetres, +Y up
  upright.source_up = "+y";
  upright.source_metres_per_unit = 0.01;
  const SkeletonRecognition recognition = recognise_file(header, upright, nullptr);
  const Pairing& pairing = builtin_pairing();
  for (const RecognisedJoint& pair : recognition.pairs) {
    for (std::size_t i = 0; i < pairing.source.size(); ++i) {
      if (bvh::to_lower(pairing.source[i]) != bvh::to_lower(pair.bone)) continue;
      const auto found = targets.find(bvh::to_lower(pairing.target[i]));
      if (found != targets.end()) roles[static_cast<std::size_t>(pair.joint)] = found->second;
    }
  }
  return roles;
}

RigPositions read_rig(const std::filesystem::path& path, Units units) {
  const Scene scene = load_scene(path, false);
  const Skeleton skeleton = find_skeleton(*scene);
  const std::vector<int> roles = target_roles(skeleton_header(skeleton));
  const double to_units = 0.01 / metres_per_unit(units);
  RigPositions rig;
  for (std::size_t j = 0; j < roles.size(); ++j) {
    if (roles[j] >= 0)
      rig[target_bone_names()[static_cast<std::size_t>(roles[j])]] = scale_vector(skeleton.rest_position[j], to_units);
  }
  return rig;
}

}  // namespace fbx
}  // namespace oxr
