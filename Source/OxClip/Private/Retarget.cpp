#include "Retarget.h"

#include "AtomicFile.h"
#include "BvhFrameSource.h"
#include "Character.h"
#include "FbxCharacter.h"
#include "FbxReader.h"
#include "Qa.h"
#include "Solver.h"
#include "TargetFamily.h"
#include "ToolError.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <unordered_map>

#include <fmt/format.h>

namespace oxr {
namespace {

// Heading of a world rotation about the vertical: the turn that takes +Z to its forward direction
// projected on the ground; `fallback` when it points straight up or down.
double heading(const Quat& rotation, double fallback) {
  const Vec3 forward = rotate(rotation, {0, 0, 1});
  if (std::hypot(forward[0], forward[2]) < 1e-9) return fallback;
  return std::atan2(forward[0], forward[2]);
}

// Carries the source's finger bones' world change onto the paired target finger bones: a target
// finger's world rotation = (source world x source rest world^-1) x target rest world, its local
// rotation taken against its parent's world rotation this frame.
class FingerCarry {
 public:
  FingerCarry(const TargetSkeleton& skeleton, const bvh::Header& header, const JointMatch& match,
              const std::vector<Quat>& rest_local)
      : parents_(skeleton.parents), source_(skeleton.names.size(), -1), world_(skeleton.names.size()) {
    std::vector<Quat> rest_world(header.joints.size());
    forward_rotations(
        header.joints.size(), [&](std::size_t j) { return header.joints[j].parent; },
        [&](std::size_t j) { return rest_local[j]; }, rest_world);
    const Pairing& pairing = builtin_pairing();
    for (std::size_t i = 0; i < pairing.source.size(); ++i) {
      const std::string& kz = pairing.source[i];
      bool finger = false;
      for (const char* name : {"Thumb", "Index", "Middle", "Ring", "Pinky"})
        finger = finger || kz.find(name) != std::string::npos;
      const int target = skeleton.index_of(pairing.target[i]);
      if (!finger || target < 0) continue;
      for (const JointMatch::Pair& pair : match.matched) {
        if (pair.bone != kz) continue;
        source_[static_cast<std::size_t>(target)] = pair.joint;
        rest_.push_back({target, mul(conj(rest_world[static_cast<std::size_t>(pair.joint)]),
                                     skeleton.rest_world_rotation[static_cast<std::size_t>(target)])});
      }
    }
    offset_of_.assign(skeleton.names.size(), -1);
    for (std::size_t k = 0; k < rest_.size(); ++k)
      offset_of_[static_cast<std::size_t>(rest_[k].first)] = static_cast<int>(k);
  }

  bool empty() const { return rest_.empty(); }

  void apply(std::span<const Quat> source_world, std::span<Quat> rotations) {
    for (std::size_t j = 0; j < parents_.size(); ++j) {
      const int parent = parents_[j];
      const Quat parent_world = parent < 0 ? kIdentity : world_[static_cast<std::size_t>(parent)];
      const int k = offset_of_[j];
      if (k < 0) {
        world_[j] = mul(parent_world, rotations[j]);
        continue;
      }
      world_[j] = mul(source_world[static_cast<std::size_t>(source_[j])], rest_[static_cast<std::size_t>(k)].second);
      rotations[j] = mul(conj(parent_world), world_[j]);
    }
  }

 private:
  std::vector<int> parents_;
  std::vector<int> source_;                 // file joint of each target finger bone, -1 for others
  std::vector<std::pair<int, Quat>> rest_;  // target bone, source rest world^-1 x target rest world
  std::vector<int> offset_of_;
  std::vector<Quat> world_;
};

}  // namespace

TargetFamily target_family_from_name(std::string_view name) {
  if (name == "mannequin") return TargetFamily::Mannequin;
  if (name == "mixamo") return TargetFamily::Mixamo;
  if (name == "humanoid") return TargetFamily::Humanoid;
  throw ToolError("unknown target '" + std::string(name) + "' (mannequin, mixamo or humanoid)");
}

Fingers fingers_from_name(std::string_view name) {
  if (name == "curl") return Fingers::Curl;
  if (name == "full") return Fingers::Full;
  throw ToolError("unknown fingers '" + std::string(name) + "' (curl or full)");
}

void file_joint_poses(const bvh::Header& header, std::span<const double> values, bool file_axes,
                      std::vector<Quat>& local, std::vector<Quat>& world, std::vector<Vec3>& position) {
  forward_kinematics(
      header.joints.size(), [&](std::size_t j) { return header.joints[j].parent; },
      [&](std::size_t j) -> const Quat& {
        const Quat q = bvh::joint_rotation(header.joints[j], values);
        return local[j] = file_axes ? q : to_file_axes(q);
      },
      [&](std::size_t j) { return joint_translation(header.joints[j], values, file_axes, header.positions); }, world,
      position);
}

void target_world_positions(const TargetSkeleton& skeleton, const FramePose& pose, std::vector<Vec3>& out) {
  const std::size_t n = skeleton.names.size();
  out.resize(n);
  // World rotations are composed alongside, in a buffer kept across calls.
  thread_local std::vector<Quat> world;
  world.resize(n);
  forward_kinematics(
      n, [&](std::size_t j) { return skeleton.parents[j]; }, [&](std::size_t j) { return pose.rotations[j]; },
      [&](std::size_t j) { return pose.translations[j]; }, world, out);
}

const std::vector<std::string>& source_bone_names() { return source_skeleton().names; }

SkeletonDescription describe_skeleton(const bvh::Header& header, bool file_axes) {
  SkeletonDescription skeleton;
  for (const bvh::Joint& joint : header.joints) {
    skeleton.names.push_back(joint.name);
    skeleton.parents.push_back(joint.parent);
    skeleton.offsets.push_back(file_axes ? joint.offset : vector_to_file_axes(joint.offset));
    auto& ends = skeleton.end_sites.emplace_back();
    for (const auto& end : joint.end_sites) ends.push_back(file_axes ? end : vector_to_file_axes(end));
  }
  return skeleton;
}

JointMatch match_of(const bvh::Header& header, const SkeletonRecognition& recognition) {
  JointMatch match;
  std::vector<bool> mapped(header.joints.size(), false);
  std::unordered_map<std::string, bool> used;
  for (const RecognisedJoint& pair : recognition.pairs) {
    match.matched.push_back({pair.joint, pair.bone, pair.evidence});
    mapped[static_cast<std::size_t>(pair.joint)] = true;
    used[pair.bone] = true;
  }
  for (std::size_t j = 0; j < header.joints.size(); ++j) {
    if (!mapped[j]) match.skipped.push_back(header.joints[j].name);
  }
  for (const std::string& bone : source_bone_names()) {
    if (!used[bone]) match.missing.push_back(bone);
  }
  return match;
}

namespace {

// Frame 0's joint positions (file axes, source units), for recognition when the zero pose does not
// stand; empty when the source cannot go back to its first frame afterwards or frame 0 is unreadable
// (the main pass reports what is wrong with the file).
std::vector<Vec3> frame_zero_positions(FrameSource& source, bool file_axes) {
  const bvh::Header& header = source.header();
  if (header.frame_count <= 0 || !source.rewind()) return {};
  std::vector<Vec3> position(header.joints.size());
  try {
    std::vector<double> values(static_cast<std::size_t>(header.channel_count));
    if (source.read_frame(values)) {
      std::vector<Quat> local(header.joints.size()), world(header.joints.size());
      file_joint_poses(header, values, file_axes, local, world, position);
    } else {
      position.clear();
    }
  } catch (const bvh::BvhError&) {
    position.clear();
  }
  source.rewind();
  return position;
}

}  // namespace

SkeletonRecognition recognise_file(const bvh::Header& header, const RetargetOptions& options, FrameSource* source) {
  const bool file_axes = options.axes == Axes::Bvh;
  const SkeletonDescription skeleton = describe_skeleton(header, file_axes);
  RecognitionRequest request;
  if (options.map) request.map = *options.map;
  request.map_name = options.map_name;
  request.metres_per_unit = options.source_metres_per_unit;
  if (!request.metres_per_unit && source != nullptr) request.metres_per_unit = source->declared_metres_per_unit();
  // Rotations already in the library's axes declare their frame: no up is looked for; nor in a file
  // that declares its up axis.
  const bool declared_up = options.axes == Axes::None || (source != nullptr && source->declared_y_up());
  request.up = declared_up && options.source_up == "auto" ? "+y" : options.source_up;
  SkeletonRecognition recognition = recognise_skeleton(skeleton, request);
  if (!recognition.zero_pose_stands && source != nullptr) {
    // The zero pose does not stand: frame 0 tells where up is.
    request.frame_zero = frame_zero_positions(*source, file_axes);
    if (!request.frame_zero.empty()) recognition = recognise_skeleton(skeleton, request);
  }
  if (!recognition.failure.empty()) {
    throw ToolError("not recognised as a human skeleton: " + recognition.failure)
        .with_hint("name its joints with", "map", "FILE");
  }
  return recognition;
}

JointMatch match_joints(std::span<const std::string> joint_names) {
  std::unordered_map<std::string, std::string> bones;
  for (const std::string& bone : source_bone_names()) bones.emplace(bvh::to_lower(bone), bone);

  JointMatch match;
  std::unordered_map<std::string, bool> used;
  for (std::size_t j = 0; j < joint_names.size(); ++j) {
    const std::string& name = joint_names[j];
    const auto found = bones.find(bvh::to_lower(bvh::strip_namespace(name)));
    if (found == bones.end() || used[found->first]) {
      match.skipped.push_back(name);
      continue;
    }
    used[found->first] = true;
    match.matched.push_back({static_cast<int>(j), found->second});
  }
  for (const std::string& bone : source_bone_names()) {
    if (!used[bvh::to_lower(bone)]) match.missing.push_back(bone);
  }
  return match;
}

bvh::Header shaped_header(const bvh::Header& header, const SkeletonRecognition& recognition,
                          const RetargetOptions& options) {
  const bool file_axes = options.axes == Axes::Bvh;
  const Quat up = recognition.up_rotation;
  const double scale = recognition.metres_per_unit / metres_per_unit(options.units);
  bvh::Header shaped = header;
  if (up == kIdentity && scale == 1.0) return shaped;
  const auto reshape_vector = [&](Vec3& v) {
    const Vec3 file = file_axes ? v : vector_to_file_axes(v);
    const Vec3 turned = scale_vector(rotate(up, file), scale);
    v = file_axes ? turned : vector_to_library_axes(turned);
  };
  for (bvh::Joint& joint : shaped.joints) {
    reshape_vector(joint.offset);
    for (auto& end : joint.end_sites) reshape_vector(end);
  }
  return shaped;
}

bvh::Header read_header(const std::filesystem::path& input) {
  if (is_fbx_path(input)) return open_motion_file(input, {})->header();
  std::ifstream in = open_input(input);
  try {
    bvh::Reader reader(in);
    return reader.header();
  } catch (Error& error) {
    error.in_file(input.string());
    throw;
  }
}

// ---------------------------------------------------------------------------------------------------
// Preparing a clip: named steps over one plan, in order. A step reads what the steps before it
// decided; one that needs the frames passes over them and rewinds the source.

namespace {

struct PlanBuild {
  FrameSource& source;
  const std::string& name;
  const RetargetOptions& options;
  const Solver& solver;
  bool file_axes = true;
};

// Which joints are which bones, and where the file's up is and what its unit is.
void recognise_step(PlanBuild& build, ClipPlan& plan) {
  plan.recognition = recognise_file(build.source.header(), build.options, &build.source);
  for (const auto& [text, hint] : plan.recognition.warnings) {
    QaWarning warning;
    warning.kind = "recognition";
    warning.text = text;
    warning.hint = hint;
    plan.warnings.push_back(warning);
  }
}

void match_step(PlanBuild& build, ClipPlan& plan) { plan.match = match_of(build.source.header(), plan.recognition); }

constexpr const char* kSignedAxes[] = {"+x", "-x", "+y", "-y", "+z", "-z"};

int signed_axis(const std::string& text) {
  for (int a = 0; a < 6; ++a)
    if (bvh::to_lower(text) == kSignedAxes[a]) return a;
  return 2;
}

// A pass over the clip's first frames: how the limbs bend, where up and the floor are. Up follows the
// frames (the head above the feet in most of them) where the zero pose said otherwise: a skeleton
// lying in its zero pose does not decide.
void survey_step(PlanBuild& build, ClipPlan& plan) {
  if (!build.file_axes) return;
  plan.survey = survey_clip(build.source, plan.match, build.file_axes);
  const auto& votes = plan.survey.up_votes;
  int total = 0, best = 0;
  for (int a = 0; a < 6; ++a) {
    total += votes[static_cast<std::size_t>(a)];
    if (votes[static_cast<std::size_t>(a)] > votes[static_cast<std::size_t>(best)]) best = a;
  }
  const int current = signed_axis(plan.recognition.up_axis);
  if (build.options.source_up != "auto" || total == 0 || best == current ||
      2 * votes[static_cast<std::size_t>(best)] <= total)
    return;
  RetargetOptions forced = build.options;
  forced.source_up = kSignedAxes[best];
  const std::string said = plan.recognition.up_axis + " (" + plan.recognition.up_evidence + ")";
  plan.recognition = recognise_file(build.source.header(), forced, &build.source);
  plan.recognition.up_evidence =
      fmt::format("the head above the feet in {} of {} frames looked at; the skeleton alone said {}",
                  votes[static_cast<std::size_t>(best)], total, said);
  plan.match = match_of(build.source.header(), plan.recognition);
}

// Where the performer's feet rest over the clip, in the output's unit along the upright +Y: the result
// stands on the output's ground when the capture's origin is elsewhere (a camera, a floor far away).
// A floor within 5% of the hip height of the origin is the origin (the feet of a zero pose and of
// the frames differ by that much).
void floor_step(PlanBuild& build, ClipPlan& plan) {
  plan.floor = 0;
  plan.floor_why = "the feet rest at the origin's height";
  if (plan.survey.lowest.empty()) return;
  // Only for a clip that stands along its up axis (the head above the feet in most frames): a forced
  // axis the clip does not stand on has no floor.
  const int up = signed_axis(plan.recognition.up_axis);
  int total = 0;
  for (const int votes : plan.survey.up_votes) total += votes;
  if (2 * plan.survey.up_votes[static_cast<std::size_t>(up)] <= total) return;
  const double floor = plan.survey.floor(up) * plan.scale;
  const double hips = plan.info.performer.hip_height;
  // Beyond ten hip heights the frames are broken, not the floor far: the main pass says what is wrong.
  if (!(std::abs(floor) > 0.05 * hips) || !(std::abs(floor) < 10 * hips)) return;
  plan.floor = floor;
  plan.floor_why = fmt::format("the feet rest {:.3g} {} {} the origin over the clip", std::abs(floor),
                               units_name(build.options.units), floor < 0 ? "below" : "above");
}

// The skeleton as the motion uses it: a joint below the root whose position channels place it takes
// its offset from them (frame 0, or the rest frame), not from an OFFSET the motion replaces or adds to.
bvh::Header skeleton_in_use(FrameSource& source, const RetargetOptions& options) {
  bvh::Header header = source.header();
  bool positioned = false;
  for (const bvh::Joint& joint : header.joints) {
    for (const bvh::Channel channel : joint.channels)
      positioned = positioned || (joint.parent >= 0 && channel <= bvh::Channel::Zposition);
  }
  if (!positioned || header.frame_count <= 0 || !source.rewind()) return header;
  const std::int64_t frame = options.source_rest.mode == SourceRest::Mode::Frame ? options.source_rest.frame : 0;
  std::vector<double> values(static_cast<std::size_t>(header.channel_count));
  bool read = true;
  try {
    for (std::int64_t f = 0; f <= frame && read; ++f) read = source.read_frame(values);
  } catch (const bvh::BvhError&) {
    read = false;  // the main pass reports what is wrong with the file
  }
  if (read) {
    for (bvh::Joint& joint : header.joints) {
      if (joint.parent >= 0) joint.offset = bvh::joint_position(joint, values, source.header().positions);
    }
  }
  source.rewind();
  return header;
}

// The file turned upright (+Y) and scaled to the output's unit: offsets here, poses per frame.
void shape_step(PlanBuild& build, ClipPlan& plan) {
  plan.up = plan.recognition.up_rotation;
  plan.scale = plan.recognition.metres_per_unit / metres_per_unit(build.options.units);
  plan.reshape = plan.up != kIdentity || plan.scale != 1.0;
  plan.shaped = shaped_header(skeleton_in_use(build.source, build.options), plan.recognition, build.options);
}

// Every file joint's local rotation in the rest pose (file axes, upright); mirrored with the clip.
void rest_step(PlanBuild& build, ClipPlan& plan) {
  const RetargetOptions& options = build.options;
  const bvh::Header& header = build.source.header();
  const auto upright = [&](std::vector<Quat>& rotations) {
    if (!plan.reshape) return;
    for (Quat& q : rotations) q = mul(mul(plan.up, q), conj(plan.up));
  };
  std::vector<Quat>& rest = plan.rest_local;
  plan.rest_decision = source_rest_text(options.source_rest);
  plan.rest_why = "as asked";
  plan.info.source_rest = plan.rest_decision;
  if (options.source_rest.mode == SourceRest::Mode::Frame) {
    rest = rest_frame_of_source(build.source, options.source_rest.frame, build.file_axes, build.name);
    upright(rest);
  } else if (options.source_rest.mode == SourceRest::Mode::Auto) {
    // Rotations in the library's axes rest on their zero pose.
    // Hinges seen in file axes turn with the skeleton (a hinge in a joint's frame turns by `up`).
    std::vector<std::optional<Vec3>> hinges = plan.survey.hinges;
    for (auto& hinge : hinges) {
      if (hinge) hinge = rotate(plan.up, *hinge);
    }
    std::vector<Quat> automatic =
        auto_rest_rotations(plan.shaped, plan.match, build.file_axes, plan.rest_decision, &plan.rest_why, hinges);
    plan.info.source_rest = "zero";
    if (build.file_axes) {
      rest = std::move(automatic);
      plan.info.source_rest = plan.rest_decision;
    }
  }
  if (rest.empty()) {
    rest = rest_rotations(options.source_rest, header, plan.match, build.file_axes, build.name);
    upright(rest);
  }
  if (options.clip.mirror) {
    std::vector<Quat> scratch(rest.size());
    mirror_frame(mirror_partners(header, plan.match), {}, rest, {}, scratch, {});
  }
}

// The clip's range and rate (checked before anything is solved).
void clip_step(PlanBuild& build, ClipPlan& plan) {
  const ClipStage stage(build.source.header(), plan.match, build.options.clip, build.file_axes, build.name);
  plan.info.frame_time = stage.frame_time();
  plan.info.frame_count = stage.frame_count();
  plan.info.frames_to_reserve =
      build.options.clip.active() ? stage.frame_count() : build.source.header().frames_in_bytes;
}

// The target's skeleton as the output describes it, and in the performer's own proportions.
void target_step(PlanBuild& build, ClipPlan& plan) {
  const RetargetOptions& options = build.options;
  plan.info.skeleton =
      build_target_skeleton(plan.shaped, plan.match, build.file_axes, options.rig.get(), plan.rest_local);
  // The checks and the contact pass compare heights and speeds with the frames' joints: upright, in
  // the output's unit, with the lengths the motion uses.
  plan.info.performer = options.rig
                            ? build_target_skeleton(plan.shaped, plan.match, build.file_axes, nullptr, plan.rest_local)
                            : plan.info.skeleton;
}

// What every writer and the QA are told about the clip.
void info_step(PlanBuild& build, ClipPlan& plan) {
  const RetargetOptions& options = build.options;
  const bvh::Header& header = build.source.header();
  ClipInfo& info = plan.info;
  info.source = build.name;
  info.frame_time_text = header.frame_time_text;
  info.fingers_t_pose = options.fingers_t_pose;
  info.axes = build.file_axes ? "bvh" : "none";
  info.units = options.units;
  info.root_motion = options.root_motion;
  info.mesh = options.mesh;
  info.bones = build.solver.meta_bones();
  info.parents = build.solver.meta_parents();
  info.t_pose = build.solver.meta_t_pose();
  info.source_sides.reserve(plan.recognition.sides.size());
  for (const Side side : plan.recognition.sides) info.source_sides.push_back(static_cast<int>(side));
  const TargetSkeleton& skeleton = info.skeleton;
  info.translated = options.root_motion == RootMotion::Root ? std::vector<int>{skeleton.root, skeleton.pelvis}
                                                            : std::vector<int>{skeleton.pelvis};
  const Pairing& pairing = builtin_pairing();
  for (const std::string& bone : plan.match.missing) {
    for (const std::string& paired : pairing.source) {
      if (bvh::to_lower(bone) == bvh::to_lower(paired)) {
        info.missing_paired.push_back(bone);
        break;
      }
    }
  }
  for (const bvh::Joint& joint : header.joints) {
    info.source_joints.push_back(joint.name);
    info.source_parents.push_back(joint.parent);
  }
  info.performer_joints.assign(skeleton.names.size(), -1);
  for (std::size_t i = 0; i < pairing.target.size(); ++i) {
    const int bone = skeleton.index_of(pairing.target[i]);
    if (bone < 0) continue;
    for (const JointMatch::Pair& pair : plan.match.matched) {
      if (pair.bone == pairing.source[i]) info.performer_joints[static_cast<std::size_t>(bone)] = pair.joint;
    }
  }
}

using PlanStep = void (*)(PlanBuild&, ClipPlan&);
constexpr PlanStep kPlanSteps[] = {recognise_step, match_step,  survey_step, shape_step, rest_step,
                                   clip_step,      target_step, floor_step,  info_step};

// Runs `work` with the pipeline's errors named after the clip.
template <typename Work>
auto naming_errors(const std::string& name, Work&& work) {
  try {
    return work();
  } catch (Error& error) {
    error.in_file(name);
    throw;
  }
}

}  // namespace

namespace {

// A BVH file that owns its stream.
class BvhFile final : public FrameSource {
 public:
  BvhFile(std::ifstream in, bvh::Positions positions) : in_(std::move(in)), source_(in_, positions) {}
  const bvh::Header& header() const override { return source_.header(); }
  bool read_frame(std::span<double> values) override { return source_.read_frame(values); }
  bool rewind() override { return source_.rewind(); }
  bool one_frame_short() const override { return source_.one_frame_short(); }

 private:
  std::ifstream in_;
  BvhFrameSource source_;
};

}  // namespace

std::unique_ptr<FrameSource> open_motion_file(const std::filesystem::path& input, const RetargetOptions& options) {
  std::ifstream in = open_input(input);
  return naming_errors(input.string(), [&]() -> std::unique_ptr<FrameSource> {
    if (is_fbx_path(input))
      return std::make_unique<FbxCapture>(
          input,
          FbxCaptureOptions{options.take, options.clip.fps > 0 ? std::optional(options.clip.fps) : std::nullopt});
    return std::make_unique<BvhFile>(std::move(in), options.positions);
  });
}

ClipPlan prepare_clip(FrameSource& source, const std::string& name, const RetargetOptions& options,
                      const Solver& solver) {
  return naming_errors(name, [&] {
    PlanBuild build{source, name, options, solver, options.axes == Axes::Bvh};
    ClipPlan plan;
    for (const PlanStep step : kPlanSteps) step(build, plan);
    return plan;
  });
}

ClipPlan prepare_clip(std::istream& in, const std::string& name, const RetargetOptions& options, const Solver& solver) {
  return naming_errors(name, [&] {
    BvhFrameSource source(in, options.positions);
    return prepare_clip(source, name, options, solver);
  });
}

// ---------------------------------------------------------------------------------------------------
// The per-frame chain: read (with the clip stage), the source's pose, to the library's axes, solve,
// root motion, finger carry, contacts. The source's forward kinematics is computed once per frame
// and read by every stage after it. Set up once per clip; a frame allocates nothing.

namespace {

class FrameChain {
 public:
  // solver: none when only the source's side runs.
  FrameChain(FrameSource& source, const ClipPlan& plan, const RetargetOptions& options, Solver* solver);

  // Reads the next frame through the clip stage; false after the last.
  bool read() { return stage_.next(source_, file_local_, file_translation_); }
  // World rotations and positions of the file's joints, upright and in the output's unit.
  void source_pose();
  // The rotations fed to the library: every source bone, library axes, against its rest.
  void to_library();
  void solve();
  // The hips' travel scaled to the target: the pelvis moves, or the root carries the heading.
  void root_motion();
  void carry_fingers() {
    if (fingers_) fingers_->apply(file_world_, rotations_);
  }
  void contacts() { feet_.apply(file_position_, rotations_, translations_); }

  FramePose pose() const { return {meta_rotations_, rotations_, translations_, file_position_, feet_.contacts()}; }
  FootReport feet() const { return feet_.report(); }
  SourceFrame source_frame() const { return {file_local_, file_position_, fed_}; }

 private:
  FrameSource& source_;
  const ClipPlan& plan_;
  const RetargetOptions& options_;
  Solver* solver_;
  ClipStage stage_;
  std::optional<RestConverter> converter_;  // none with kz: the file's rotations go as they are
  FootContact feet_;
  std::optional<FingerCarry> fingers_;
  std::vector<std::size_t> slot_of_match_;  // source bone of each matched pair
  std::vector<std::size_t> slot_of_meta_;   // target bone of each meta bone
  int hips_ = 0;                            // file joint of the source hips (the file's root when it has none)
  double yaw_ = 0;
  std::vector<Quat> file_local_, file_world_;
  std::vector<Vec3> file_translation_, file_position_;
  std::vector<Quat> fed_, source_local_, meta_rotations_, rotations_;
  std::vector<Vec3> translations_;
};

FrameChain::FrameChain(FrameSource& source, const ClipPlan& plan, const RetargetOptions& options, Solver* solver)
    : source_(source),
      plan_(plan),
      options_(options),
      solver_(solver),
      stage_(source.header(), plan.match, options.clip, options.axes == Axes::Bvh, plan.info.source),
      feet_(plan.info.skeleton, plan.info.performer, plan.match, plan.info.frame_time, metres_per_unit(options.units),
            options.contacts == Contacts::Auto && options.root_motion != RootMotion::None) {
  const bvh::Header& header = source.header();
  if (options.source_rest.mode != SourceRest::Mode::Kz) converter_.emplace(plan.rest_local, header, plan.match);
  if (options.fingers == Fingers::Full && !options.fingers_t_pose) {
    fingers_.emplace(plan.info.skeleton, header, plan.match, plan.rest_local);
    if (fingers_->empty()) fingers_.reset();
  }
  // Every source bone is fed every frame: bones the file lacks keep their T-pose.
  const SkeletonData& bones = source_skeleton();
  source_local_ = bones.t_pose_local;
  for (const JointMatch::Pair& pair : plan.match.matched) {
    slot_of_match_.push_back(static_cast<std::size_t>(bones.index_of(pair.bone)));
    if (bvh::to_lower(pair.bone) == "hips") hips_ = pair.joint;
  }
  for (const std::string& bone : plan.info.bones)
    slot_of_meta_.push_back(static_cast<std::size_t>(plan.info.skeleton.index_of(bone)));
  const std::size_t joints = header.joints.size();
  file_local_.resize(joints);
  file_world_.resize(joints);
  file_translation_.resize(joints);
  file_position_.resize(joints);
  fed_.resize(plan.match.matched.size());
  meta_rotations_.resize(plan.info.bones.size());
  rotations_ = plan.info.skeleton.rest;
  translations_ = plan.info.skeleton.offsets;
}

void FrameChain::source_pose() {
  joint_world(source_.header(), file_local_, file_translation_, file_world_, file_position_);
  if (plan_.reshape) {
    const Quat& up = plan_.up;
    for (std::size_t j = 0; j < file_local_.size(); ++j) {
      file_local_[j] = mul(mul(up, file_local_[j]), conj(up));
      file_world_[j] = mul(mul(up, file_world_[j]), conj(up));
      file_position_[j] = scale_vector(rotate(up, file_position_[j]), plan_.scale);
    }
  }
  if (plan_.floor != 0) {
    for (Vec3& p : file_position_) p[1] -= plan_.floor;
  }
}

void FrameChain::to_library() {
  const std::vector<JointMatch::Pair>& matched = plan_.match.matched;
  if (converter_) {
    converter_->convert(file_world_, fed_);
  } else {
    for (std::size_t m = 0; m < matched.size(); ++m) {
      fed_[m] = to_library_axes(file_local_[static_cast<std::size_t>(matched[m].joint)]);
    }
  }
  for (std::size_t m = 0; m < matched.size(); ++m) source_local_[slot_of_match_[m]] = fed_[m];
}

void FrameChain::solve() {
  solver_->solve(source_local_, options_.fingers_t_pose, meta_rotations_);
  for (std::size_t b = 0; b < meta_rotations_.size(); ++b) {
    rotations_[slot_of_meta_[b]] = to_file_axes(meta_rotations_[b]);
  }
}

void FrameChain::root_motion() {
  const TargetSkeleton& skeleton = plan_.info.skeleton;
  const auto root = static_cast<std::size_t>(skeleton.root);
  const auto pelvis = static_cast<std::size_t>(skeleton.pelvis);
  const Vec3 hips = scale_vector(file_position_[static_cast<std::size_t>(hips_)], skeleton.motion_scale);
  switch (options_.root_motion) {
    case RootMotion::Pelvis:
      translations_[pelvis] = hips;
      break;
    case RootMotion::None:
      translations_[pelvis] = {0, hips[1], 0};
      break;
    case RootMotion::Root: {
      // The pelvis's world rotation (under a root at rest) carries the heading.
      const Quat delta = mul(rotations_[pelvis], conj(skeleton.rest_world_rotation[pelvis]));
      yaw_ = heading(delta, yaw_);
      const Quat turn{0, std::sin(yaw_ / 2), 0, std::cos(yaw_ / 2)};
      rotations_[root] = mul(turn, skeleton.rest[root]);
      translations_[root] = {hips[0], 0, hips[2]};
      rotations_[pelvis] = mul(conj(turn), rotations_[pelvis]);
      translations_[pelvis] = {0, hips[1], 0};
      break;
    }
  }
}

// The stages after reading, in order.
using FrameStage = void (FrameChain::*)();
constexpr FrameStage kFrameStages[] = {&FrameChain::source_pose, &FrameChain::to_library,    &FrameChain::solve,
                                       &FrameChain::root_motion, &FrameChain::carry_fingers, &FrameChain::contacts};

}  // namespace

FileResult run_clip(FrameSource& source, const ClipPlan& plan, const RetargetOptions& options, Solver& solver,
                    const FrameCallback& on_frame) {
  return naming_errors(plan.info.source, [&] {
    FrameChain chain(source, plan, options, &solver);
    FileResult result;
    result.warnings = plan.warnings;
    const FramePose pose = chain.pose();
    while (chain.read()) {
      for (const FrameStage stage : kFrameStages) (chain.*stage)();
      if (on_frame) on_frame(result.frames, pose);
      ++result.frames;
    }
    result.feet = chain.feet();
    if (source.one_frame_short()) {
      QaWarning warning;
      warning.kind = "one_frame_short";
      warning.text = "the file holds one frame fewer than its header declares; read them all";
      result.warnings.push_back(warning);
    }
    return result;
  });
}

std::int64_t read_source(FrameSource& source, const ClipPlan& plan, const RetargetOptions& options,
                         const SourceCallback& on_frame) {
  return naming_errors(plan.info.source, [&] {
    FrameChain chain(source, plan, options, nullptr);
    const SourceFrame frame = chain.source_frame();
    std::int64_t frames = 0;
    while (chain.read()) {
      chain.source_pose();
      chain.to_library();
      if (on_frame) on_frame(frames, frame);
      ++frames;
    }
    return frames;
  });
}

FileResult retarget_source(FrameSource& source, const std::string& name, const RetargetOptions& options, Solver& solver,
                           const HeaderCallback& on_header, const FrameCallback& on_frame) {
  const ClipPlan plan = prepare_clip(source, name, options, solver);
  if (on_header) on_header(plan.info);
  return run_clip(source, plan, options, solver, on_frame);
}

FileResult retarget_stream(std::istream& in, const std::string& name, const RetargetOptions& options, Solver& solver,
                           const HeaderCallback& on_header, const FrameCallback& on_frame) {
  std::optional<BvhFrameSource> source;
  naming_errors(name, [&] { source.emplace(in, options.positions); });
  return retarget_source(*source, name, options, solver, on_header, on_frame);
}

FileResult retarget_file(const std::filesystem::path& input, const std::filesystem::path& output,
                         const RetargetOptions& options, Solver& solver) {
  const std::unique_ptr<FrameSource> source = open_motion_file(input, options);
  std::unique_ptr<PoseWriter> writer;
  std::unique_ptr<ClipQa> qa;
  FileResult result = retarget_source(
      *source, input.string(), options, solver,
      [&](const ClipInfo& info) {
        writer = options.character && options.format != Format::Vrma
                     ? make_character_writer(*options.character, output, info)
                 : options.fbx_character
                     ? make_fbx_character_writer(*options.fbx_character, options.format, output, info)
                     : make_family_writer(options.target, options.format, output, info);
        qa = std::make_unique<ClipQa>(info);
      },
      [&](std::int64_t frame, const FramePose& pose) {
        qa->observe(frame, pose);
        writer->write_frame(frame, pose);
      });
  try {
    writer->finish();
  } catch (Error& error) {
    error.in_file(input.string());
    throw;
  }
  for (const QaWarning& warning : qa->warnings()) result.warnings.push_back(warning);
  return result;
}

}  // namespace oxr
