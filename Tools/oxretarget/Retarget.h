#pragma once

#include "BvhReader.h"
#include "PoseWriter.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <vector>

class OxRetarget_KZ_UE;

namespace oxr {

enum class Axes { Bvh, None };

struct RetargetOptions {
  Format format = Format::Json;
  Axes axes = Axes::Bvh;
  bool fingers_t_pose = false;
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

// Opens a motion file for reading; throws ToolError naming the file when it is missing, a folder or
// unreadable.
std::ifstream open_motion_file(const std::filesystem::path& input);

// Reads the file's header; throws ToolError naming the file.
bvh::Header read_header(const std::filesystem::path& input);

struct FileResult {
  std::int64_t frames = 0;
};

// Retargets every frame of a motion file and writes the results to output (temporary file renamed at
// the end). The retargeter must have been initialised; its source pose is reset to the T-pose first.
// Throws ToolError naming the file (and line or frame) on bad input or a failed write.
FileResult retarget_file(const std::filesystem::path& input, const std::filesystem::path& output,
                         const RetargetOptions& options, OxRetarget_KZ_UE& retargeter);

// The pipeline behind retarget_file, on any stream: on_header gets the clip's description before the
// first frame, on_frame the rotations of each frame in meta-bone order. Tests and benchmarks drive it.
using HeaderCallback = std::function<void(const ClipInfo& info)>;
using FrameCallback = std::function<void(std::int64_t frame, const std::vector<bvh::Quat>& rotations)>;
FileResult retarget_stream(std::istream& in, const std::string& name, const RetargetOptions& options,
                           OxRetarget_KZ_UE& retargeter, const HeaderCallback& on_header,
                           const FrameCallback& on_frame);

}  // namespace oxr
