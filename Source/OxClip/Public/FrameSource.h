#pragma once

// Where a clip's frames come from: a skeleton (joints, parents, offsets, channel layout) and frames
// of channel values, whatever the file format. The BVH reader is one; other formats' readers turn
// their animation into the same channel layout (for example six channels per joint: positions, then
// rotations in degrees) so that every stage after reading is shared.

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
