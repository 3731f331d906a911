#pragma once

#include "BvhReader.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace oxr {

enum class Format { Json, Csv };

// What a result file describes besides the per-frame poses.
struct ClipInfo {
  std::string source;  // input file name
  double frame_time = 0;
  std::int64_t frame_count = 0;
  bool fingers_t_pose = false;
  std::string axes;
  std::vector<std::string> bones;    // meta bones, in pairing order
  std::vector<std::string> parents;  // parent of each meta bone in the target skeleton ("None" at the root)
  std::vector<bvh::Quat> t_pose;     // local T-pose rotation of each meta bone
};

// Streams retargeted poses: one rotation per meta bone per frame, numbers with 17 significant digits.
class PoseWriter {
 public:
  virtual ~PoseWriter() = default;
  // Writes one frame; rotations are in ClipInfo::bones order. Throws ToolError on a non-finite value.
  virtual void write_frame(std::int64_t frame, std::span<const bvh::Quat> rotations) = 0;
  // Closes the document.
  virtual void finish() = 0;
};

// JSON: {"format", "version", "source", "frame_time", "frame_count", "fingers_t_pose", "axes",
// "bones": [{"name", "parent", "t_pose": [x, y, z, w]}], "frames": [[[x, y, z, w], ...], ...]}.
// CSV: "frame,bone,qx,qy,qz,qw", one row per frame and meta bone.
std::unique_ptr<PoseWriter> make_pose_writer(Format format, std::ostream& out, const ClipInfo& info);

}  // namespace oxr
