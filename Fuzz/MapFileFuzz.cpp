// libFuzzer entry point: any bytes as a map file (--map). Reading refuses with oxr::Error or gives
// joint -> bone pairs; a map that reads is then applied to the demo clip's skeleton, where a map
// naming a joint or bone that is not there, or a body whose hips are not above its legs, is refused
// with oxr::Error and anything else is recognised.
#include "DemoClip.h"
#include "Error.h"
#include "FuzzFiles.h"
#include "Recognition.h"
#include "Retarget.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const oxr::SkeletonDescription demo = [] {
    std::ostringstream text;
    oxr::write_demo_clip(text);
    std::istringstream in(text.str());
    oxr::bvh::Reader reader(in);
    return oxr::describe_skeleton(reader.header(), true);
  }();
  const auto path = fuzz::write("map.json", std::string_view(reinterpret_cast<const char*>(data), size));
  oxr::RecognitionRequest request;
  try {
    request.map = oxr::read_joint_map(path.string());
  } catch (const oxr::Error&) {
    return 0;
  }
  request.map_name = "map.json";
  try {
    const oxr::SkeletonRecognition result = oxr::recognise_skeleton(demo, request);
    std::set<std::string> bones;
    for (const oxr::RecognisedJoint& pair : result.pairs) {
      if (pair.joint < 0 || static_cast<std::size_t>(pair.joint) >= demo.names.size()) __builtin_trap();
      if (!bones.insert(pair.bone).second) __builtin_trap();  // one joint per bone
    }
  } catch (const oxr::Error&) {
  }
  return 0;
}
