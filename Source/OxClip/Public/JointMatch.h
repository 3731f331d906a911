#pragma once

#include "BvhReader.h"

#include <span>
#include <string>
#include <vector>

namespace oxr {

// How the joints of a motion file line up with the source skeleton's bones.
struct JointMatch {
  struct Pair {
    int joint;         // index into the file's joints
    std::string bone;  // the source bone, as the skeleton spells it
  };
  std::vector<Pair> matched;         // in file order
  std::vector<std::string> missing;  // source bones the file lacks, in skeleton order
  std::vector<std::string> skipped;  // file joints that are not source bones
};

// Matches joint names to source bones without regard to letter case, after removing a namespace
// prefix ("rig:Hips"). A second joint naming the same bone is skipped.
JointMatch match_joints(const bvh::Header& header);
// The same matching on joint names given as a list.
JointMatch match_joints(std::span<const std::string> joint_names);

// The source skeleton's bone names, in build order.
const std::vector<std::string>& source_bone_names();

}  // namespace oxr
