#pragma once

// Where a clip's frames come from: a skeleton (joints, parents, offsets, channel layout) and frames
// of channel values, whatever the file format. The BVH reader is one; other formats' readers turn
// their animation into the same channel layout (for example six channels per joint: positions, then
// rotations in degrees) so that every stage after reading is shared. A source whose frames are joint
// rotations at heart (FBX) may also hand them on as such, sparing the round trip through angles.

#include "BvhReader.h"

#include <cstdint>
#include <optional>
#include <span>

namespace oxr {

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // The skeleton and the clip's frame count and frame time.
  virtual const bvh::Header& header() const = 0;

  // Reads the next frame's values (header().channel_count of them) into values; false once every
  // frame was read. Throws the reader's error on bad data.
  virtual bool read_frame(std::span<double> values) = 0;

  // True when read_joint_frame may stand in for read_frame (the same frames, one or the other).
  virtual bool has_joint_frames() const { return false; }

  // Reads the next frame as each joint's local rotation and translation (header().joints.size() of
  // each): what the channel values read_frame gives mean, to rounding; the rotation may be either of
  // its two quaternions. False once every frame was read. Only where has_joint_frames().
  virtual bool read_joint_frame(std::span<Quat> /*local*/, std::span<Vec3> /*translation*/) { return false; }

  // Goes back to the first frame; false when the source cannot (a pipe). A pass over the frames
  // before the main one (up axis, floor, a rest frame) rewinds afterwards.
  virtual bool rewind() = 0;

  // True once the clip ended one frame before its declared count (the frames read are kept).
  virtual bool one_frame_short() const { return false; }

  // The length unit and up axis the file declares, where its format has them (FBX's global
  // settings): recognition takes them instead of guessing from the figure, unless the user gives them.
  virtual std::optional<double> declared_metres_per_unit() const { return std::nullopt; }
  virtual bool declared_y_up() const { return false; }
};

}  // namespace oxr
