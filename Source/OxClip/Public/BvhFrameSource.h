#pragma once

// A BVH file as a FrameSource: its header parsed once, its frames streamed, rewound by seeking back
// to the first frame.

#include "BvhReader.h"
#include "FrameSource.h"

#include <istream>

namespace oxr {

class BvhFrameSource final : public FrameSource {
 public:
  // Parses the header; throws bvh::BvhError. The stream must outlive the source.
  explicit BvhFrameSource(std::istream& in, bvh::Positions positions = bvh::Positions::Auto, bvh::Limits limits = {})
      : reader_(in, limits, positions) {}

  const bvh::Header& header() const override { return reader_.header(); }
  bool read_frame(std::span<double> values) override { return reader_.read_frame(values); }
  bool rewind() override { return reader_.rewind(); }
  bool one_frame_short() const override { return reader_.one_frame_short(); }

 private:
  bvh::Reader reader_;
};

}  // namespace oxr
