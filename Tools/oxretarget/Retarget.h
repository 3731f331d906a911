#pragma once

#include "BvhReader.h"
#include "FootContact.h"
#include "Geometry.h"
#include "PoseWriter.h"
#include "RestPose.h"
#include "Rig.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class OxRetarget_KZ_UE;

namespace oxr {

enum class Axes { Bvh, None };

// Finger bones: curl keeps the library's rule (each finger's curl); full carries each finger bone's
// world change from the source like the body's bones (splay and twist too).
enum class Fingers { Curl, Full };
// "curl" or "full"; throws ToolError on anything else.
Fingers fingers_from_name(std::string_view name);

class Character;

struct RetargetOptions {
  Format format = Format::Json;
  Axes axes = Axes::Bvh;
  bool fingers_t_pose = false;
  Units units = Units::Cm;
  RootMotion root_motion = RootMotion::Pelvis;
  SourceRest source_rest;  // the source's rest pose: its zero pose unless told otherwise
  // A rig of the user's own (read_target_rig); null: offsets derived from each source file.
  std::shared_ptr<const RigPositions> rig;
  // The user's own character (read_character): results are that file with one more animation, and
  // its skeleton gives the proportions (rig holds them then).
  std::shared_ptr<const Character> character;
  Contacts contacts = Contacts::Auto;
  Fingers fingers = Fingers::Curl;
};

// How the joints of a motion file line up with the source skeleton's bones.
struct JointMatch {
  struct Pair {
    int joint;         // index into the file's joints
    std::string bone;  // the source bone, as the skeleton spells it
  };
  std::vector<Pair> matched;         // in file order
  std::vector<std::string> missing;  // source bones the file lacks, in skeleton order
  std::vector<std::string> skipped;  // file joints that are not source bones
};

// Matches joint names to source bones without regard to letter case, after removing a namespace
// prefix ("rig:Hips"). A second joint naming the same bone is skipped.
JointMatch match_joints(const bvh::Header& header);
// The same matching on joint names given as a list.
JointMatch match_joints(std::span<const std::string> joint_names);

// The source skeleton's bone names, in build order.
const std::vector<std::string>& source_bone_names();

// Reads the file's header; throws ToolError naming the file.
bvh::Header read_header(const std::filesystem::path& input);

struct FileResult {
  std::int64_t frames = 0;
  std::vector<std::string> warnings;  // quality warnings (retarget_file only)
  FootReport feet;                    // foot slide and ground penetration of source and result
};

// One solved frame. Spans are valid during the callback only.
struct FramePose {
  std::span<const Quat> meta;              // the library's results: meta bones, pairing order, library axes
  std::span<const Quat> rotations;         // every target bone, local, file axes (root motion applied)
  std::span<const Vec3> translations;      // every target bone, local, file axes, source units
  std::span<const Vec3> source_positions;  // world position of every file joint, file axes, source units
};

// A frame of the file's joints in file axes: each joint's local rotation, and by forward kinematics
// its world rotation and position (source units); with file_axes false the values are in the
// library's axes and are turned into file axes first. The vectors must hold one entry per joint.
void file_joint_poses(const bvh::Header& header, std::span<const double> values, bool file_axes,
                      std::vector<Quat>& local, std::vector<Quat>& world, std::vector<Vec3>& position);

// World positions of the target joints (file axes, source units) from a frame's local poses.
void target_world_positions(const TargetSkeleton& skeleton, const FramePose& pose, std::vector<Vec3>& out);

// Retargets every frame of a motion file and writes the results to output (temporary file renamed at
// the end). The retargeter must have been initialised; its source pose is reset to the T-pose first.
// Throws ToolError naming the file (and line or frame) on bad input or a failed write.
FileResult retarget_file(const std::filesystem::path& input, const std::filesystem::path& output,
                         const RetargetOptions& options, OxRetarget_KZ_UE& retargeter);

// The pipeline behind retarget_file, on any stream: on_header gets the clip's description before the
// first frame, on_frame each solved frame. Tests, benchmarks and the preview drive it.
using HeaderCallback = std::function<void(const ClipInfo& info)>;
using FrameCallback = std::function<void(std::int64_t frame, const FramePose& pose)>;
FileResult retarget_stream(std::istream& in, const std::string& name, const RetargetOptions& options,
                           OxRetarget_KZ_UE& retargeter, const HeaderCallback& on_header,
                           const FrameCallback& on_frame);

// Opens a motion file for reading; throws ToolError naming it when it is missing or a folder.
std::ifstream open_input(const std::filesystem::path& input);

}  // namespace oxr
