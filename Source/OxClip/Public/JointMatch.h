#pragma once

#include "BvhReader.h"
#include "Recognition.h"

#include <span>
#include <string>
#include <vector>

namespace oxr {

// How the joints of a motion file line up with the source skeleton's bones.
struct JointMatch {
  struct Pair {
    int joint;         // index into the file's joints
    std::string bone;  // the source bone, as the skeleton spells it
    Evidence evidence = Evidence::Name;
  };
  std::vector<Pair> matched;         // in file order
  std::vector<std::string> missing;  // source bones the file lacks, in skeleton order
  std::vector<std::string> skipped;  // file joints that are not source bones
};

// Matches joint names to source bones by their exact names, without regard to letter case, after
// removing a namespace prefix ("rig:Hips"); a second joint naming the same bone is skipped. For a list
// of names without a hierarchy (the Python solver); files go through recognition (Retarget.h).
JointMatch match_joints(std::span<const std::string> joint_names);

// The source skeleton's bone names, in build order.
const std::vector<std::string>& source_bone_names();

}  // namespace oxr
