#pragma once

// Recognition as a sequence of passes over one state. recognise_skeleton runs them in this order:
//
//   read_names        what each joint's name says (kind, side, finger)
//   read_structure    the body's centre, the legs, the spine's first joint, the hips
//   find_spine_and_head   the path from the hips to the head, the arms, spine, neck, head and eyes
//   find_limbs        the zero pose; each leg's and arm's roles, the fingers under each hand
//   find_up_axis      where the file's up is; the upright pose; whether the body stands
//   decide_sides      left and right from the names, else from the offsets across the body
//   apply_map_file    what the user's map file overrides or completes
//   take_source_names a file named as the source skeleton, however partial
//   find_units        the file's unit of length from the standing height
//
// Each pass reads what the earlier ones left in the state and adds its own part; any of them runs on
// any skeleton description (a motion file's or a character's).

#include "Recognition.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oxr::recognition {

// What a joint's name says it is.
enum class Kind {
  None,
  Root,
  Pelvis,
  HipAmbiguous,  // "hip": the pelvis without a side, the thigh (or a joint above it) with one
  Spine,
  Neck,
  Head,
  Eye,
  Other,  // jaw, tongue, props
  Collar,
  ShoulderAmbiguous,  // the collar, or the upper arm when a collar is above it
  UpperArm,
  ForeArm,
  Hand,
  Thigh,
  LegAmbiguous,  // "leg": the shin after an up-leg, else the thigh
  Shin,
  Foot,  // foot or ankle
  Toe,
  Finger,
  FingerBase,  // a metacarpal or a joint for all the fingers
  Twist,
  End,
};

struct NameInfo {
  Kind kind = Kind::None;
  Side side = Side::Centre;
  int finger = -1;  // 0 thumb, 1 index, 2 middle, 3 ring, 4 pinky
  bool metacarpal = false;
};

// What a name says, from its words alone (no prefix shared with other joints removed).
NameInfo read_name(std::vector<std::string> words);
// Words of a name, lower case, split at separators and case changes, a namespace dropped.
std::vector<std::string> words_of(std::string_view name);
std::string lower(std::string_view text);

// The source bone a name spells (letter case aside), as the source skeleton spells it; nullptr for
// any other name. source_bone_named also drops a namespace ("rig:Hips").
const std::string* source_bone_spelled(std::string_view name);
const std::string* source_bone_named(std::string_view name);

// The part a joint plays in a limb; with the limb's side it names a source bone.
enum class Role { Shoulder, Arm, ForeArm, Hand, UpLeg, Leg, Foot, ToeBase, Finger };

struct LimbRole {
  int joint = -1;
  Role role = Role::Arm;
  bool named = false;  // the joint's own name gave the role
  int finger = -1;     // Role::Finger: 0 thumb ... 4 pinky
  int phalanx = 0;     // Role::Finger: 1 to 4 along the finger
};

struct Limb {
  std::vector<int> joints;  // the chain, its root first
  std::vector<LimbRole> roles;
  Side side = Side::Centre;
  bool side_named = false;

  // The joint playing the role, or -1.
  int joint_of(Role role) const;
};

// The source bone a limb's role names on a side ("LeftUpLeg", "RightHandIndex2").
std::string bone_name(Side side, const LimbRole& role);
const char* side_word(Side side);

// The skeleton's tree: children, subtree sizes and what each name says.
struct Tree {
  const SkeletonDescription& s;
  std::vector<std::vector<int>> children;
  std::vector<int> size;       // joints in the subtree
  std::vector<NameInfo> info;  // filled by read_names

  explicit Tree(const SkeletonDescription& skeleton);

  Kind kind(int j) const { return info[static_cast<std::size_t>(j)].kind; }
  const std::vector<int>& kids(int j) const { return children[static_cast<std::size_t>(j)]; }
  int sz(int j) const { return size[static_cast<std::size_t>(j)]; }
  int parent(int j) const { return s.parents[static_cast<std::size_t>(j)]; }

  // The child that continues a chain: the largest subtree, a twist or end joint only when alone.
  int main_child(int j) const;
  std::vector<int> chain_from(int j) const;
  bool is_ancestor(int a, int j) const;
};

struct Assigned {
  std::string bone;
  Evidence evidence;
};

struct State {
  State(const SkeletonDescription& skeleton, const RecognitionRequest& request);

  const SkeletonDescription& skeleton;
  const RecognitionRequest& request;
  std::size_t n = 0;
  Tree tree;
  SkeletonRecognition result;
  std::vector<std::optional<Assigned>> bone_of;  // per joint
  std::vector<std::string> missing;              // what a human would have and this skeleton lacks

  int centre = -1;  // the shallowest joint with three chains below it (two legs and the spine)
  int head = -1;
  int hips = -1;
  int spine_child = -1;   // the centre's child that leads to the head
  std::vector<int> legs;  // the first joint of each leg chain
  std::vector<int> arms;  // the first joint of each arm chain
  std::vector<int> path;  // from below the hips up to the head
  std::vector<Limb> leg_limbs;
  std::vector<Limb> arm_limbs;

  std::vector<Vec3> rest;     // world positions of the zero pose
  std::vector<Vec3> upright;  // the standing pose turned to +Y up
  bool rest_stands = false;
  bool have_frame = false;  // the request carries frame 0

  void assign(int j, const std::string& bone, Evidence evidence) {
    bone_of[static_cast<std::size_t>(j)] = Assigned{bone, evidence};
  }
};

void read_names(State& state);
void read_structure(State& state);
void find_spine_and_head(State& state);
void find_limbs(State& state);
void find_up_axis(State& state);
void decide_sides(State& state);
void apply_map_file(State& state);
bool take_source_names(State& state);  // true: the file is a partial source skeleton, recognition ends
void find_units(State& state);

}  // namespace oxr::recognition
