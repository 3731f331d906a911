// libFuzzer entry point for the FBX capture reader: any byte string must either give a skeleton and
// frames of finite values or raise ToolError, with ufbx's memory bounded by the input's size.
#include "FbxReader.h"
#include "ToolError.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    oxr::FbxCapture capture(std::as_bytes(std::span(data, size)), {});
    const oxr::bvh::Header& header = capture.header();
    if (header.joints.empty() || header.channel_count != static_cast<int>(header.joints.size() * 6)) __builtin_trap();
    std::vector<double> values(static_cast<std::size_t>(header.channel_count));
    // A few frames: a take may span hours of a small file's keys.
    for (int frame = 0; frame < 16 && capture.read_frame(values); ++frame) {
      for (const double value : values)
        if (!std::isfinite(value)) __builtin_trap();
    }
  } catch (const oxr::ToolError&) {
  }
  return 0;
}
