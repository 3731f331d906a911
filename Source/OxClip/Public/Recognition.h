#pragma once

// Skeleton recognition: which joints of a motion file play which bones of the source (KZ) skeleton,
// from the joints' names (side markers, prefixes, the segment words of the common conventions) and
// from the skeleton's structure (root, two legs, a spine leading to the head, arms from the upper
// spine, finger chains), plus where the file's up is and what its unit of length is. It runs once per
// file, before the first frame.

#include "Error.h"
#include "Geometry.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace oxr {

// The file's skeleton as recognition sees it: joint names, parents (a parent precedes its children)
// and offsets in the parent's frame of the zero pose, plus the end-site offsets of every joint.
struct SkeletonDescription {
  std::vector<std::string> names;
  std::vector<int> parents;
  std::vector<Vec3> offsets;
  std::vector<std::vector<Vec3>> end_sites;  // may be empty: no end sites
};

// Joint name -> source bone name, in the order the map file lists them. An empty bone name leaves
// the joint to no bone.
using JointMap = std::vector<std::pair<std::string, std::string>>;

// What the user asked for, and what recognition may look at besides the zero pose.
struct RecognitionRequest {
  JointMap map;
  std::string map_name;                   // the map file, for messages
  std::optional<double> metres_per_unit;  // --source-units; empty: auto
  std::string up = "auto";                // --source-up: auto, +y, +z, -y, -z, +x, -x
  std::vector<Vec3> frame_zero;           // world positions of the joints in frame 0, if read
};

enum class Evidence { Name, NameAndStructure, Structure, MapFile };
const char* evidence_text(Evidence evidence);

struct RecognisedJoint {
  int joint = -1;    // index into the file's joints
  std::string bone;  // source bone, as the skeleton spells it
  Evidence evidence = Evidence::Name;
};

enum class Side { Centre, Left, Right };

struct SkeletonRecognition {
  std::vector<RecognisedJoint> pairs;  // in file order
  std::vector<Side> sides;             // one per joint
  std::string side_evidence;           // how left and right were told apart
  std::string failure;                 // empty for a human; else what is missing (one line)

  Quat up_rotation{0, 0, 0, 1};  // quaternion {x, y, z, w} turning the file to +Y up
  std::string up_axis = "+Y";    // the file's up axis
  std::string up_evidence;       // how it was found ("as asked": the request)
  bool zero_pose_stands = true;  // false: up (and size) came from frame 0 or a default
  double height_units = 0;       // standing height in file units
  double metres_per_unit = 0.01;
  std::string unit_name = "cm";  // cm, m, mm, in, "fitted", or "given" (by the request)
  // e.g. the size fitted to the mannequin's, with the option that chooses the unit
  std::vector<std::pair<std::string, OptionHint>> warnings;
};

// Recognises a file's skeleton. Never throws for a skeleton that is not human (failure says what is
// missing); throws Error naming the map file for a map that names a joint the file lacks or a bone
// the source skeleton lacks.
SkeletonRecognition recognise_skeleton(const SkeletonDescription& skeleton, const RecognitionRequest& request);

// Reads a map file: a JSON object of joint name -> source bone name (or null / ""). Throws Error
// naming the file on anything else.
JointMap read_joint_map(const std::string& path);

// "auto" (empty result), cm, m, mm, in or a positive number of centimetres per file unit; throws
// UsageError naming the option (source-units) on anything else.
std::optional<double> source_units_from_text(std::string_view text);
// "auto", +y, +z, -y, -z, +x, -x (any case); throws UsageError naming the option (source-up) on
// anything else.
std::string source_up_from_text(std::string_view text);

// The side a joint's name gives, from its words alone ("Left...", "l_", "..._R", "Bip01 L Thigh").
Side side_of_name(std::string_view name);

}  // namespace oxr
