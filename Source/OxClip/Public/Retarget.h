#pragma once

#include "AtomicFile.h"
#include "BvhFrameSource.h"
#include "BvhReader.h"
#include "ClipStage.h"
#include "FootContact.h"
#include "FrameSource.h"
#include "Geometry.h"
#include "JointMatch.h"
#include "PoseWriter.h"
#include "Qa.h"
#include "Recognition.h"
#include "RestPose.h"
#include "Rig.h"
#include "Solver.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace oxr {

enum class Axes { Bvh, None };

// Finger bones: curl keeps the library's rule (each finger's curl); full carries each finger bone's
// world change from the source like the body's bones (splay and twist too).
enum class Fingers { Curl, Full };
// "curl" or "full"; throws ToolError on anything else.
Fingers fingers_from_name(std::string_view name);

// --target: the skeleton results are written on. Own: the target skeleton in the proportions the
// source, a rig or a character gives; the others are built in, in the mannequin's proportions: the
// mannequin's own skeleton, Mixamo's names and hierarchy, the humanoid names VRM, Unity and Godot share.
enum class TargetFamily { Own, Mannequin, Mixamo, Humanoid };
// "mannequin", "mixamo" or "humanoid"; throws Error on anything else.
TargetFamily target_family_from_name(std::string_view name);

class Character;
struct FbxCharacter;

struct RetargetOptions {
  Format format = Format::Json;
  Axes axes = Axes::Bvh;
  bool fingers_t_pose = false;
  Units units = Units::Cm;
  RootMotion root_motion = RootMotion::Pelvis;
  SourceRest source_rest;  // the source's rest pose: its zero pose unless told otherwise
  ClipOptions clip;        // trim, resample, mirror: applied to the source's frames before the solve
  // How position channels combine with OFFSETs: decided per file unless told (bvh::Reader).
  bvh::Positions positions = bvh::Positions::Auto;
  Mesh mesh = Mesh::Box;  // glb/gltf only
  // A rig of the user's own: its file (--target-rig) and, once read (prepare_options), its joints;
  // null: offsets derived from each source file.
  std::string target_rig;
  std::shared_ptr<const RigPositions> rig;
  // The user's own character: its file (--character) and, once read (prepare_options), the character;
  // results are that file with one more animation, and rig holds its proportions.
  std::string character_file;
  std::string target_map;  // --target-map: the character's node -> bone map file; empty: none
  std::shared_ptr<const Character> character;
  // An FBX character (--character CHAR.fbx): results carry its own skeleton (FbxCharacter.h).
  std::shared_ptr<const FbxCharacter> fbx_character;
  TargetFamily target = TargetFamily::Own;  // --target
  Contacts contacts = Contacts::Auto;
  Fingers fingers = Fingers::Curl;
  // --map: joint -> source bone pairs that override or complete recognition (empty: none).
  std::shared_ptr<const JointMap> map;
  std::string map_name;
  std::optional<double> source_metres_per_unit;  // --source-units; empty: auto
  std::string source_up = "auto";                // --source-up
  std::string take;                              // --take: an FBX source's take (empty: the first)
};

// The file's skeleton as recognition reads it (offsets in file axes).
SkeletonDescription describe_skeleton(const bvh::Header& header, bool file_axes);
// The joint match that a recognition gives.
JointMatch match_of(const bvh::Header& header, const SkeletonRecognition& recognition);
// Recognises the skeleton of a file; reads frame 0 from `source` (rewinding it) when the zero pose
// does not stand and the source can rewind. Throws ToolError "not recognised as a human skeleton:
// ..." for a file that is no human, and for a map file that does not fit the file.
SkeletonRecognition recognise_file(const bvh::Header& header, const RetargetOptions& options, FrameSource* source);

// The header with its offsets and end sites turned upright and scaled to the output's unit, as
// recognition decided; the same header when nothing changes.
bvh::Header shaped_header(const bvh::Header& header, const SkeletonRecognition& recognition,
                          const RetargetOptions& options);

// A motion file as a frame source: FBX by its extension (the take of options.take, sampled at
// options.clip.fps when given), else BVH (options.positions). Throws ToolError naming the file.
std::unique_ptr<FrameSource> open_motion_file(const std::filesystem::path& input, const RetargetOptions& options);

// Reads the file's header (an FBX file's first take); throws ToolError naming the file.
bvh::Header read_header(const std::filesystem::path& input);

struct FileResult {
  std::int64_t frames = 0;
  std::vector<QaWarning> warnings;  // quality warnings (retarget_file only)
  FootReport feet;                  // foot slide and ground penetration of source and result
};

// A frame of the file's joints in file axes: each joint's local rotation, and by forward kinematics
// its world rotation and position (source units); with file_axes false the values are in the
// library's axes and are turned into file axes first. The vectors must hold one entry per joint.
void file_joint_poses(const bvh::Header& header, std::span<const double> values, bool file_axes,
                      std::vector<Quat>& local, std::vector<Quat>& world, std::vector<Vec3>& position);

// World positions of the target joints (file axes, source units) from a frame's local poses.
void target_world_positions(const TargetSkeleton& skeleton, const FramePose& pose, std::vector<Vec3>& out);

// Retargets every frame of a motion file and writes the results to output (temporary file renamed at
// the end). Every source bone the file lacks is fed at its T-pose.
// Throws ToolError naming the file (and line or frame) on bad input or a failed write.
FileResult retarget_file(const std::filesystem::path& input, const std::filesystem::path& output,
                         const RetargetOptions& options, Solver& solver);

// Everything decided about one clip before its first frame is solved, shared by the per-frame chain,
// every writer, the QA and `oxretarget info`. Built by prepare_clip as a sequence of steps:
// recognise, match, shape (up and units), rest pose, clip (range and rate), target skeleton, clip info.
struct ClipPlan {
  SkeletonRecognition recognition;
  JointMatch match;
  Quat up = kIdentity;              // turns the file upright (+Y)
  double scale = 1;                 // file units to the output's
  bool reshape = false;             // up or scale change anything
  bvh::Header shaped;               // the file's skeleton upright and scaled (offsets and end sites)
  std::vector<Quat> rest_local;     // every file joint's local rotation at rest, file axes, upright
  std::string rest_decision;        // the rest chosen ("zero", "auto:t-pose", "frame:3", ...)
  std::string rest_why;             // what decided it ("as asked": the request)
  ClipSurvey survey;                // the clip's first frames: hinges, up, floor (file axes)
  double floor = 0;                 // the performer's floor above the origin, output units, upright
  std::string floor_why;            // what decided it
  ClipInfo info;                    // what the writers and the QA are told (target skeleton included)
  std::vector<QaWarning> warnings;  // recognition's
};

// Prepares a clip: parses nothing but what the source already holds, passes over its frames only
// when a step needs them (frame 0 for an up axis, a rest frame), and leaves it at its first frame.
// Throws ToolError naming the clip.
ClipPlan prepare_clip(FrameSource& source, const std::string& name, const RetargetOptions& options,
                      const Solver& solver);

// The per-frame chain over a prepared clip: read (clip stage) -> source pose (forward kinematics once)
// -> to the library's axes -> solve -> root motion -> finger carry -> contacts -> on_frame.
using FrameCallback = std::function<void(std::int64_t frame, const FramePose& pose)>;
FileResult run_clip(FrameSource& source, const ClipPlan& plan, const RetargetOptions& options, Solver& solver,
                    const FrameCallback& on_frame);

// The source's side of the chain alone (read, source pose, to the library's axes), for front ends that
// solve on their own: per frame, every file joint's local rotation and world position (file axes,
// upright, the output's unit) and, per matched pair of the plan's match, the rotation the solver is
// fed (library axes). Returns the frames read.
struct SourceFrame {
  std::span<const Quat> local;
  std::span<const Vec3> position;
  std::span<const Quat> fed;
};
using SourceCallback = std::function<void(std::int64_t frame, const SourceFrame& source)>;
std::int64_t read_source(FrameSource& source, const ClipPlan& plan, const RetargetOptions& options,
                         const SourceCallback& on_frame);

// prepare_clip then run_clip, on any source (a BVH file, another format's reader): on_header gets the
// clip's description before the first frame, on_frame each solved frame.
using HeaderCallback = std::function<void(const ClipInfo& info)>;
FileResult retarget_source(FrameSource& source, const std::string& name, const RetargetOptions& options, Solver& solver,
                           const HeaderCallback& on_header, const FrameCallback& on_frame);

// The same on a BVH stream (its header parsed once). Tests, benchmarks and the preview drive it.
FileResult retarget_stream(std::istream& in, const std::string& name, const RetargetOptions& options, Solver& solver,
                           const HeaderCallback& on_header, const FrameCallback& on_frame);

}  // namespace oxr
