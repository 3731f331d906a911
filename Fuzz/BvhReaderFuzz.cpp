// libFuzzer entry point: any byte string must either parse or raise BvhError.
#include "BvhReader.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  // Small blocks of varying size, so that tokens and numbers fall across block boundaries.
  const oxr::bvh::Limits limits{.block_bytes = 1 + size % 700};
  try {
    oxr::bvh::Reader reader(in, limits);
    const oxr::bvh::Header& header = reader.header();
    std::vector<double> values(static_cast<std::size_t>(header.channel_count));
    while (reader.read_frame(values)) {
      for (const oxr::bvh::Joint& joint : header.joints) {
        const auto q = oxr::to_library_axes(oxr::bvh::joint_rotation(joint, values));
        const double norm = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
        if (!(norm > 0.5 && norm < 1.5)) __builtin_trap();
      }
    }
    if (reader.frames_read() != header.frame_count) __builtin_trap();
  } catch (const oxr::bvh::BvhError&) {
  }
  return 0;
}
