// libFuzzer entry point: recognition of an arbitrary skeleton. The bytes make joints, four bytes and
// a name each: the parent (an earlier joint, or none), the offset's three components, and the name
// (a word of the common conventions with a side and a number, or raw bytes). Recognition never
// throws without a map; what it gives must be consistent.
#include "Recognition.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace {

constexpr const char* kWords[] = {"Hips",  "Spine", "Chest", "Neck",  "Head",  "Shoulder", "Arm",  "ForeArm",
                                  "Hand",  "UpLeg", "Leg",   "Foot",  "Toe",   "Thumb",    "Index", "Middle",
                                  "Ring",  "Pinky", "pelvis", "thigh", "calf", "clavicle", "Root", "End"};
constexpr const char* kSides[] = {"", "Left", "Right", "L_", "R_", "l", "r", "_L", "_R"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  oxr::SkeletonDescription skeleton;
  std::size_t at = 0;
  while (at + 5 <= size && skeleton.names.size() < 300) {
    const std::size_t n = skeleton.names.size();
    const int parent = n == 0 || data[at] == 255 ? -1 : static_cast<int>(data[at] % n);
    if (n > 0 && parent < 0) break;  // one root: later roots end the skeleton
    std::array<double, 3> offset{};
    for (int c = 0; c < 3; ++c) offset[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(data[at + 1 + c]);
    const std::uint8_t name_byte = data[at + 4];
    at += 5;
    std::string name;
    if (name_byte < 200) {
      name = std::string(kSides[name_byte % 9]) + kWords[name_byte / 9 % 24];
      if (name_byte % 3 == 0) name += std::to_string(name_byte % 4);
    } else {
      const std::size_t length = std::min<std::size_t>(name_byte - 200, size - at);
      name.assign(reinterpret_cast<const char*>(data) + at, length);
      at += length;
    }
    skeleton.names.push_back(name);
    skeleton.parents.push_back(parent);
    skeleton.offsets.push_back(offset);
  }
  oxr::RecognitionRequest request;
  const oxr::SkeletonRecognition result = oxr::recognise_skeleton(skeleton, request);
  if (result.sides.size() != skeleton.names.size()) __builtin_trap();
  std::set<std::string> bones;
  std::set<int> joints;
  for (const oxr::RecognisedJoint& pair : result.pairs) {
    if (pair.joint < 0 || static_cast<std::size_t>(pair.joint) >= skeleton.names.size()) __builtin_trap();
    if (!bones.insert(pair.bone).second || !joints.insert(pair.joint).second) __builtin_trap();
  }
  if (!(result.metres_per_unit > 0) || !std::isfinite(result.metres_per_unit)) __builtin_trap();
  return 0;
}
