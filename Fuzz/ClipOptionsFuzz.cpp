// libFuzzer entry point: the clip options (--start, --end, --fps, --mirror) as text, over a small clip
// whose frame count and frame time come from the input too. Options are refused with UsageError or
// give a clip of at least one frame, within the frame limit, every frame finite.
#include "ClipStage.h"
#include "JointMatch.h"
#include "Options.h"
#include "Retarget.h"
#include "ToolError.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string piece(std::string_view& input) {
  const auto at = input.find('|');
  std::string text(input.substr(0, at));
  input.remove_prefix(at == std::string_view::npos ? input.size() : at + 1);
  return text;
}

}  // namespace

// Input: "FRAMES|FRAME TIME|START|END|FPS|MIRROR"; an empty field leaves that option out.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string frames_text = piece(input);
  const std::string frame_time = piece(input);
  const int frames = frames_text.empty() ? 0 : static_cast<unsigned char>(frames_text[0]) % 6;
  oxr::RetargetOptions options;
  try {
    for (const char* name : {"start", "end", "fps", "mirror"}) {
      const std::string value = piece(input);
      if (!value.empty()) oxr::apply_option(options, name, std::string(name) == "mirror" ? "true" : value);
    }
  } catch (const oxr::UsageError&) {
    return 0;
  }
  std::string clip =
      "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\nCHANNELS 6 Xposition Yposition Zposition Zrotation Xrotation "
      "Yrotation\nJOINT LeftUpLeg\n{\nOFFSET 10 0 0\nCHANNELS 3 Zrotation Xrotation Yrotation\nEnd Site\n{\nOFFSET 0 "
      "-40 0\n}\n}\n}\nMOTION\nFrames: " +
      std::to_string(frames) + "\nFrame Time: " + frame_time + "\n";
  for (int f = 0; f < frames; ++f) clip += std::to_string(f) + " 90 0 " + std::to_string(f * 10) + " 20 30 -5 15 25\n";
  std::istringstream in(clip);
  try {
    oxr::bvh::Reader reader(in);
    const oxr::bvh::Header& header = reader.header();
    oxr::ClipStage stage(header, oxr::JointMatch{}, options.clip, true, "c.bvh");
    if (stage.frame_count() > oxr::bvh::Limits{}.max_frames) __builtin_trap();
    if (frames > 0 && stage.frame_count() < 1) __builtin_trap();  // an empty clip is never made
    std::vector<oxr::Quat> local(header.joints.size());
    std::vector<oxr::Vec3> translation(header.joints.size());
    for (std::int64_t k = 0; k < std::min<std::int64_t>(stage.frame_count(), 5000); ++k) {
      if (!stage.next(reader, local, translation)) __builtin_trap();
      for (const oxr::Quat& q : local) {
        if (!std::isfinite(q[0] + q[1] + q[2] + q[3])) __builtin_trap();
      }
    }
  } catch (const oxr::ToolError&) {
  } catch (const oxr::bvh::BvhError&) {
  }
  return 0;
}
