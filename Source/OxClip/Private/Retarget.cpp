#include "Retarget.h"

#include "AtomicFile.h"
#include "Character.h"
#include "Qa.h"
#include "Solver.h"
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
    for (std::size_t j = 0; j < header.joints.size(); ++j) {
      const int parent = header.joints[j].parent;
      rest_world[j] = parent < 0 ? rest_local[j] : mul(rest_world[static_cast<std::size_t>(parent)], rest_local[j]);
    }
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

SkeletonRecognition recognise_file(const bvh::Header& header, const RetargetOptions& options, std::istream* in) {
  const bool file_axes = options.axes == Axes::Bvh;
  const SkeletonDescription skeleton = describe_skeleton(header, file_axes);
  RecognitionRequest request;
  if (options.map) request.map = *options.map;
  request.map_name = options.map_name;
  request.metres_per_unit = options.source_metres_per_unit;
  // Rotations already in the library's axes declare their frame: no up is looked for.
  request.up = options.axes == Axes::None && options.source_up == "auto" ? "+y" : options.source_up;
  SkeletonRecognition recognition;
  try {
    recognition = recognise_skeleton(skeleton, request);
    if (!recognition.zero_pose_stands && in != nullptr && header.frame_count > 0) {
      // The zero pose does not stand: frame 0 tells where up is.
      const auto start = in->tellg();
      if (start != std::streampos(-1)) {
        try {
          bvh::Reader reader(*in, {}, options.positions);
          std::vector<double> values(static_cast<std::size_t>(header.channel_count));
          if (reader.read_frame(values)) {
            std::vector<Quat> local(header.joints.size()), world(header.joints.size());
            std::vector<Vec3> position(header.joints.size());
            file_joint_poses(header, values, file_axes, local, world, position);
            request.frame_zero.assign(position.begin(), position.end());
            recognition = recognise_skeleton(skeleton, request);
          }
        } catch (const bvh::BvhError&) {
          // The main pass reports what is wrong with the file.
        }
        in->clear();
        in->seekg(start);
      }
    }
  } catch (const std::invalid_argument& error) {
    throw ToolError(error.what());
  }
  if (!recognition.failure.empty()) {
    throw ToolError("not recognised as a human skeleton: " + recognition.failure +
                    "; name its joints with --map FILE (oxretarget skeleton kz lists the bones)");
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
  const auto reshape_vector = [&](std::array<double, 3>& v) {
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
  std::ifstream in = open_input(input);
  try {
    bvh::Reader reader(in);
    return reader.header();
  } catch (const bvh::BvhError& error) {
    throw ToolError(input.string(), error.what());
  }
}

FileResult retarget_stream(std::istream& in, const std::string& name, const RetargetOptions& options, Solver& solver,
                           const HeaderCallback& on_header, const FrameCallback& on_frame) {
  try {
    const bool file_axes = options.axes == Axes::Bvh;
    std::vector<Quat> rest_local;
    if (options.source_rest.mode == SourceRest::Mode::Frame) {
      rest_local = rest_frame_of_stream(in, options.source_rest.frame, file_axes, name);
    }
    // Recognition reads the header (and frame 0 when the zero pose does not stand) on a first pass
    // when the stream can seek back.
    const auto start = in.tellg();
    std::unique_ptr<bvh::Reader> reader_holder;
    SkeletonRecognition recognition;
    if (start != std::streampos(-1)) {
      std::optional<bvh::Header> probed;
      {
        bvh::Reader probe(in, {}, options.positions);
        probed = probe.header();
      }
      in.clear();
      in.seekg(start);
      recognition = recognise_file(*probed, options, &in);
      reader_holder = std::make_unique<bvh::Reader>(in, bvh::Limits{}, options.positions);
    } else {
      reader_holder = std::make_unique<bvh::Reader>(in, bvh::Limits{}, options.positions);
      recognition = recognise_file(reader_holder->header(), options, nullptr);
    }
    bvh::Reader& reader = *reader_holder;
    const bvh::Header& header = reader.header();
    const JointMatch match = match_of(header, recognition);

    // The file turned upright (+Y) and scaled to the output's unit: offsets once, poses per frame.
    const Quat up = recognition.up_rotation;
    const double scale = recognition.metres_per_unit / metres_per_unit(options.units);
    const bool reshape = up != kIdentity || scale != 1.0;
    const bvh::Header shaped = shaped_header(header, recognition, options);
    if (reshape) {
      for (Quat& q : rest_local) q = mul(mul(up, q), conj(up));
    }
    std::string rest_text = options.source_rest.mode == SourceRest::Mode::Auto ? std::string("zero")
                                                                               : source_rest_text(options.source_rest);
    if (rest_local.empty() && options.source_rest.mode == SourceRest::Mode::Auto && file_axes) {
      rest_local = auto_rest_rotations(shaped, match, file_axes, rest_text);
    }
    if (rest_local.empty()) {
      rest_local = rest_rotations(options.source_rest, header, match, file_axes, name);
      if (reshape) {
        for (Quat& q : rest_local) q = mul(mul(up, q), conj(up));
      }
    }
    // The clip stage checks its range before anything else is done; a mirrored clip rests on the
    // mirrored rest pose.
    ClipStage stage(header, match, options.clip, file_axes, name);
    if (options.clip.mirror) {
      std::vector<Quat> scratch(rest_local.size());
      mirror_frame(mirror_partners(header, match), {}, rest_local, {}, scratch, {});
    }
    // With kz the file's rotations go to the library as they are.
    std::optional<RestConverter> converter;
    if (options.source_rest.mode != SourceRest::Mode::Kz) converter.emplace(rest_local, header, match);
    std::vector<Quat> fed(match.matched.size());

    // Every source bone is fed every frame: bones the file lacks keep their T-pose.
    const SkeletonData& source = source_skeleton();
    std::vector<Quat> source_local = source.t_pose_local;
    std::vector<std::size_t> slot_of_match;
    int hips = 0;  // file joint of the source hips (the file's root when it has none)
    for (const JointMatch::Pair& pair : match.matched) {
      slot_of_match.push_back(static_cast<std::size_t>(source.index_of(pair.bone)));
      if (bvh::to_lower(pair.bone) == "hips") hips = pair.joint;
    }

    ClipInfo info;
    info.source = name;
    info.frame_time = stage.frame_time();
    info.frame_count = stage.frame_count();
    info.frames_to_reserve = options.clip.active() ? stage.frame_count() : header.frames_in_bytes;
    info.fingers_t_pose = options.fingers_t_pose;
    info.axes = file_axes ? "bvh" : "none";
    info.units = options.units;
    info.root_motion = options.root_motion;
    info.mesh = options.mesh;
    info.bones = solver.meta_bones();
    info.parents = solver.meta_parents();
    info.t_pose = solver.meta_t_pose();
    info.source_rest = rest_text;
    info.skeleton = build_target_skeleton(shaped, match, file_axes, options.rig.get(), rest_local);
    info.source_sides.reserve(recognition.sides.size());
    for (const Side side : recognition.sides) info.source_sides.push_back(static_cast<int>(side));
    const TargetSkeleton& skeleton = info.skeleton;
    const auto root = static_cast<std::size_t>(skeleton.root);
    const auto pelvis = static_cast<std::size_t>(skeleton.pelvis);
    info.translated = options.root_motion == RootMotion::Root ? std::vector<int>{skeleton.root, skeleton.pelvis}
                                                              : std::vector<int>{skeleton.pelvis};
    const Pairing& pairing = builtin_pairing();
    for (const std::string& bone : match.missing) {
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
    std::vector<std::size_t> slot_of_meta;
    for (const std::string& bone : info.bones)
      slot_of_meta.push_back(static_cast<std::size_t>(skeleton.index_of(bone)));
    if (on_header) on_header(info);

    // The performer's own proportions, against which the foot pass measures the target's.
    const TargetSkeleton performer =
        options.rig ? build_target_skeleton(header, match, file_axes, nullptr, rest_local) : skeleton;
    FootContact feet(skeleton, performer, match, info.frame_time, metres_per_unit(options.units),
                     options.contacts == Contacts::Auto && options.root_motion != RootMotion::None);
    std::optional<FingerCarry> fingers;
    if (options.fingers == Fingers::Full && !options.fingers_t_pose) {
      fingers.emplace(skeleton, header, match, rest_local);
      if (fingers->empty()) fingers.reset();
    }

    const std::size_t joints = header.joints.size();
    std::vector<Quat> meta_rotations(info.bones.size());
    std::vector<Quat> rotations = skeleton.rest;
    std::vector<Vec3> translations = skeleton.offsets;
    std::vector<Quat> file_local(joints);
    std::vector<Vec3> file_translation(joints);
    std::vector<Quat> file_world(joints);
    std::vector<Vec3> file_position(joints);
    const FramePose pose{meta_rotations, rotations, translations, file_position};
    const double travel = skeleton.motion_scale;
    double yaw = 0;
    FileResult result;
    for (const std::string& text : recognition.warnings) {
      QaWarning warning;
      warning.kind = "recognition";
      warning.text = text;
      result.warnings.push_back(warning);
    }
    while (stage.next(reader, file_local, file_translation)) {
      joint_world(header, file_local, file_translation, file_world, file_position);
      if (reshape) {
        for (std::size_t j = 0; j < joints; ++j) {
          file_local[j] = mul(mul(up, file_local[j]), conj(up));
          file_world[j] = mul(mul(up, file_world[j]), conj(up));
          file_position[j] = scale_vector(rotate(up, file_position[j]), scale);
        }
      }
      if (converter) {
        converter->convert(file_world, fed);
      } else {
        for (std::size_t m = 0; m < match.matched.size(); ++m) {
          fed[m] = to_library_axes(file_local[static_cast<std::size_t>(match.matched[m].joint)]);
        }
      }
      for (std::size_t m = 0; m < match.matched.size(); ++m) source_local[slot_of_match[m]] = fed[m];
      solver.solve(source_local, options.fingers_t_pose, meta_rotations);
      for (std::size_t b = 0; b < meta_rotations.size(); ++b) {
        rotations[slot_of_meta[b]] = to_file_axes(meta_rotations[b]);
      }

      // Root motion: the hips' travel, scaled to the target; the root stands at the origin.
      const Vec3 hips_position = scale_vector(file_position[static_cast<std::size_t>(hips)], travel);
      switch (options.root_motion) {
        case RootMotion::Pelvis:
          translations[pelvis] = hips_position;
          break;
        case RootMotion::None:
          translations[pelvis] = {0, hips_position[1], 0};
          break;
        case RootMotion::Root: {
          // The pelvis's world rotation (under a root at rest) carries the heading.
          const Quat delta = mul(rotations[pelvis], conj(skeleton.rest_world_rotation[pelvis]));
          yaw = heading(delta, yaw);
          const Quat turn{0, std::sin(yaw / 2), 0, std::cos(yaw / 2)};
          rotations[root] = mul(turn, skeleton.rest[root]);
          translations[root] = {hips_position[0], 0, hips_position[2]};
          rotations[pelvis] = mul(conj(turn), rotations[pelvis]);
          translations[pelvis] = {0, hips_position[1], 0};
          break;
        }
      }
      if (fingers) fingers->apply(file_world, rotations);
      feet.apply(file_position, rotations, translations);
      if (on_frame) on_frame(result.frames, pose);
      ++result.frames;
    }
    result.feet = feet.report();
    if (reader.one_frame_short()) {
      QaWarning warning;
      warning.kind = "one_frame_short";
      warning.text = "the file holds one frame fewer than its header declares; read them all";
      result.warnings.push_back(warning);
    }
    return result;
  } catch (const bvh::BvhError& error) {
    throw ToolError(name, error.what());
  } catch (const OutputError&) {
    throw;
  } catch (ToolError& error) {
    error.in_file(name);
    throw;
  }
}

FileResult retarget_file(const std::filesystem::path& input, const std::filesystem::path& output,
                         const RetargetOptions& options, Solver& solver) {
  std::ifstream in = open_input(input);
  std::unique_ptr<PoseWriter> writer;
  std::unique_ptr<ClipQa> qa;
  const TargetSkeleton* skeleton = nullptr;
  std::vector<Vec3> world;
  FileResult result = retarget_stream(
      in, input.string(), options, solver,
      [&](const ClipInfo& info) {
        writer = options.character && options.format != Format::Vrma
                     ? make_character_writer(*options.character, output, info)
                                   : make_pose_writer(options.format, output, info);
        qa = std::make_unique<ClipQa>(info);
        skeleton = &info.skeleton;
      },
      [&](std::int64_t frame, const FramePose& pose) {
        target_world_positions(*skeleton, pose, world);
        qa->observe(frame, pose, world);
        writer->write_frame(frame, pose);
      });
  try {
    writer->finish();
  } catch (const OutputError&) {
    throw;
  } catch (const ToolError& error) {
    throw ToolError(input.string() + ": " + error.what());
  }
  for (const QaWarning& warning : qa->warnings()) result.warnings.push_back(warning);
  return result;
}

}  // namespace oxr
