#pragma once

// FBX captures (versions 6100 to 7700, binary and ASCII) as a source of frames. The skeleton is the
// file's largest tree of limb nodes (skin cluster bones count as limbs), turned upright and into
// centimetres from the file's global settings (+Y up, facing +Z). A take is sampled at its own frame
// rate or one asked for.
//
// Frames hold six channels per joint, Xposition Yposition Zposition Zrotation Yrotation Xrotation
// (degrees, composing Rz Ry Rx), positions absolute: the joint's place in its parent's frame. The
// zero pose is the rest pose: the bind pose (skin clusters, else a bind pose record) where the file
// has one, else the nodes' own transforms; OFFSETs are rest joint-to-joint vectors, and the channels
// hold each joint's turn away from its rest as BVH does.

#include "FrameSource.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace oxr {

struct FbxTake {
  std::string name;
  double start = 0;  // seconds
  double stop = 0;
  double frame_rate = 0;  // the file's frames per second
  std::int64_t first_frame = 0;
  std::int64_t last_frame = 0;
};

struct FbxCaptureOptions {
  std::string take;           // a take's name or its number from 1; empty: the first
  std::optional<double> fps;  // sample rate; empty: the file's
};

// True for a path whose extension is .fbx (any letter case).
bool is_fbx_path(const std::filesystem::path& path);

class FbxCapture final : public FrameSource {
 public:
  // Reads the file and samples nothing yet. Throws ToolError naming the problem (a file that is no
  // FBX or is damaged, a take it lacks, no skeleton); the caller adds the file's name.
  FbxCapture(const std::filesystem::path& path, const FbxCaptureOptions& options);
  // The same from a file's bytes in memory.
  FbxCapture(std::span<const std::byte> bytes, const FbxCaptureOptions& options);
  ~FbxCapture() override;
  FbxCapture(const FbxCapture&) = delete;
  FbxCapture& operator=(const FbxCapture&) = delete;

  const bvh::Header& header() const override;
  bool read_frame(std::span<double> values) override;
  // The same frames without the angles: each joint's turn as a quaternion.
  bool has_joint_frames() const override;
  bool read_joint_frame(std::span<Quat> local, std::span<Vec3> translation) override;
  bool rewind() override;

  // Every take of the file, in file order, and the one being read.
  const std::vector<FbxTake>& takes() const;
  int take_index() const;
  // Positions are in centimetres, +Y up, whatever the file's own settings were.
  std::optional<double> declared_metres_per_unit() const override { return 0.01; }
  bool declared_y_up() const override { return true; }

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace oxr
