#include "Canonical.h"

#include "Rig.h"
#include "Solver.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string_view>
#include <unordered_map>

namespace oxr {
namespace {

// The turn taking direction d onto dc and, about it, s (its part across d) onto sc's part across dc;
// the swing alone when s lies along d.
Quat frame_turn(const Vec3& d, const Vec3& s, const Vec3& dc, const Vec3& sc) {
  const Quat first = shortest_arc(d, dc);
  const Vec3 e = normalised(dc);
  const Vec3 turned = rotate(first, s);
  const Vec3 a = sub(turned, scale_vector(e, dot(turned, e)));
  const Vec3 b = sub(sc, scale_vector(e, dot(sc, e)));
  if (length(a) <= 1e-6 * length(s) || length(b) <= 1e-9) return first;
  const double angle = std::atan2(dot(cross(a, b), e), dot(a, b));
  const Quat roll{e[0] * std::sin(angle / 2), e[1] * std::sin(angle / 2), e[2] * std::sin(angle / 2),
                  std::cos(angle / 2)};
  return mul(roll, first);
}

// The source bone each bone aims at in the T-pose (the first of these the skeleton has).
std::vector<std::string> aim_bones(const std::string& bone) {
  const std::string s = bone.starts_with("Left") ? "Left" : bone.starts_with("Right") ? "Right" : "";
  const std::string part = bone.substr(s.size());
  if (bone == "Hips") return {"Head", "Neck", "Spine2", "Spine1", "Spine"};
  if (bone == "Spine") return {"Spine1", "Spine2", "Neck", "Head"};
  if (bone == "Spine1") return {"Spine2", "Neck", "Head"};
  if (bone == "Spine2") return {"Neck", "Head"};
  if (bone == "Neck") return {"Head"};
  if (part == "Shoulder") return {s + "Arm"};
  if (part == "Arm") return {s + "ForeArm"};
  if (part == "ForeArm") return {s + "Hand"};
  if (part == "Hand") return {s + "HandMiddle1", s + "HandIndex1", s + "HandRing1"};
  if (part == "UpLeg") return {s + "Leg"};
  if (part == "Leg") return {s + "Foot"};
  if (part == "Foot") return {s + "ToeBase"};
  if (part.starts_with("Hand") && part.size() > 5 && std::isdigit(static_cast<unsigned char>(part.back()))) {
    const int k = part.back() - '0';
    if (k < 3) return {bone.substr(0, bone.size() - 1) + std::to_string(k + 1)};
  }
  return {};
}

// The joints of the skeleton looked up by source bone, and what the canonical pose needs of them.
class Builder {
 public:
  explicit Builder(const PosedSkeleton& skeleton) : s_(skeleton), n_(skeleton.parents.size()) {
    for (std::size_t j = 0; j < n_; ++j)
      if (!s_.bones[j].empty()) joint_of_.emplace(s_.bones[j], static_cast<int>(j));
    const Pairing& pairing = builtin_pairing();
    for (std::size_t i = 0; i < pairing.source.size(); ++i) target_of_[pairing.source[i]] = pairing.target[i];
    turn_.assign(n_, kIdentity);
    placed_.assign(n_, Vec3{0, 0, 0});
  }

  CanonicalPose build() {
    CanonicalPose pose;
    for (std::size_t j = 0; j < n_; ++j) {
      const int parent = s_.parents[j];
      const Quat above = parent < 0 ? kIdentity : turn_[static_cast<std::size_t>(parent)];
      placed_[j] = parent < 0
                       ? s_.positions[j]
                       : add(placed_[static_cast<std::size_t>(parent)],
                             rotate(above, sub(s_.positions[j], s_.positions[static_cast<std::size_t>(parent)])));
      turn_[j] = mul(own_turn(j, above), above);
      const std::string& bone = s_.bones[j];
      const bool counted = bone == "Hips" || bone.starts_with("Spine") || bone == "Neck" || bone.ends_with("UpLeg") ||
                           bone.ends_with("Leg") || bone.ends_with("Arm") || bone.ends_with("Hand") ||
                           bone.ends_with("Foot");
      if (!counted) continue;
      const double degrees = angle_degrees(turn_[j]);
      if (degrees > pose.worst_degrees) {
        pose.worst_degrees = degrees;
        pose.worst_bone = bone;
      }
    }
    pose.turn = turn_;
    return pose;
  }

 private:
  int joint(const std::string& bone) const {
    const auto found = joint_of_.find(bone);
    return found == joint_of_.end() ? -1 : found->second;
  }
  bool below(int a, int d) const {
    for (int at = d; at >= 0; at = s_.parents[static_cast<std::size_t>(at)])
      if (at == a) return true;
    return false;
  }
  // Where a descendant of j stands once j's ancestors have turned (by `above`).
  Vec3 at(std::size_t j, int d, const Quat& above) const {
    return add(placed_[j], rotate(above, sub(s_.positions[static_cast<std::size_t>(d)], s_.positions[j])));
  }
  // The bone's canonical direction: spine and neck up, legs down, shoulders and arms out; the feet and
  // fingers as the mannequin's T-pose has them.
  Vec3 template_direction(const std::string& from, const std::string& to) const {
    const std::string side = from.starts_with("Left") ? "Left" : from.starts_with("Right") ? "Right" : "";
    const std::string part = from.substr(side.size());
    if (from.starts_with("Spine") || from == "Neck") return {0, 1, 0};
    if (part == "UpLeg" || part == "Leg") return {0, -1, 0};
    if (part == "Shoulder" || part == "Arm" || part == "ForeArm" || part == "Hand")
      return {side == "Left" ? 1.0 : -1.0, 0, 0};
    const auto a = target_of_.find(from), b = target_of_.find(to);
    if (a == target_of_.end() || b == target_of_.end()) return {0, 0, 0};
    return sub(mannequin_t_pose_position(b->second), mannequin_t_pose_position(a->second));
  }
  // The hand's across direction, from its little-finger side to its thumb side (world, turned).
  std::optional<Vec3> hand_across(std::size_t j, const std::string& side, const Quat& above) const {
    const int hand = joint(side + "Hand");
    if (hand < 0) return std::nullopt;
    for (const char* thumb_side : {"HandIndex1", "HandMiddle1"}) {
      for (const char* other : {"HandPinky1", "HandRing1"}) {
        const int a = joint(side + thumb_side), b = joint(side + other);
        if (a >= 0 && b >= 0 && below(static_cast<int>(j), a) && below(static_cast<int>(j), b))
          return sub(at(j, a, above), at(j, b, above));
      }
    }
    return std::nullopt;
  }

  Quat own_turn(std::size_t j, const Quat& above) const {
    const std::string& bone = s_.bones[j];
    if (bone.empty()) return kIdentity;
    if (bone == "Hips") return hips_turn(j, above);
    int aim = -1;
    std::string aim_bone;
    for (const std::string& next : aim_bones(bone)) {
      aim = joint(next);
      if (aim >= 0 && below(static_cast<int>(j), aim) && target_of_.count(next) && target_of_.count(bone)) {
        aim_bone = next;
        break;
      }
      aim = -1;
    }
    if (aim < 0) return kIdentity;
    const Vec3 d = sub(at(j, aim, above), placed_[j]);
    const Vec3 dc = template_direction(bone, aim_bone);
    const std::string side = bone.starts_with("Left") ? "Left" : bone.starts_with("Right") ? "Right" : "";
    const std::string part = bone.substr(side.size());
    std::optional<Vec3> s;
    Vec3 sc{0, 0, 0};
    if (part == "UpLeg" || part == "Leg") {
      s = knee_hinge(j, side, above);
      sc = {1, 0, 0};
    } else if (part == "Arm" || part == "ForeArm") {
      s = elbow_hinge(j, side, above);
      sc = {0, side == "Left" ? -1.0 : 1.0, 0};
    } else if (part == "Hand") {
      s = hand_across(j, side, above);
      sc = {0, 0, 1};
    }
    return s ? frame_turn(d, *s, dc, sc) : shortest_arc(d, dc);
  }

  // The pelvis: the spine up, the left hip toward +X.
  Quat hips_turn(std::size_t j, const Quat& above) const {
    const int left = joint("LeftUpLeg"), right = joint("RightUpLeg");
    int top = -1;
    for (const std::string& next : aim_bones("Hips")) {
      top = joint(next);
      if (top >= 0 && below(static_cast<int>(j), top)) break;
      top = -1;
    }
    if (top < 0 || left < 0 || right < 0 || !below(static_cast<int>(j), left) || !below(static_cast<int>(j), right))
      return kIdentity;
    const Vec3 up = sub(at(j, top, above), placed_[j]);
    const Vec3 across = sub(at(j, left, above), at(j, right, above));
    return frame_turn(up, across, {0, 1, 0}, {1, 0, 0});
  }

  // The hinge seen in the clip, taken to world through the joint's rotation and its ancestors' turn.
  std::optional<Vec3> clip_hinge(std::size_t j, const Quat& above) const {
    if (j >= s_.hinges.size() || !s_.hinges[j]) return std::nullopt;
    return rotate(above, rotate(s_.rotations[j], *s_.hinges[j]));
  }

  // The knee's hinge (thigh x shin when bending backwards): from the clip's bending, which joint axes
  // cannot fake; else from the foot (forward) across the shin when the leg stands straight with the
  // foot across it; else from the bend in this pose.
  std::optional<Vec3> knee_hinge(std::size_t j, const std::string& side, const Quat& above) const {
    if (auto hinge = clip_hinge(j, above)) return hinge;
    const int hip = joint(side + "UpLeg"), knee = joint(side + "Leg"), ankle = joint(side + "Foot"),
              toe = joint(side + "ToeBase");
    if (hip < 0 || knee < 0 || ankle < 0) return std::nullopt;
    const auto point = [&](int k) {
      return below(static_cast<int>(j), k) ? at(j, k, above) : placed_[static_cast<std::size_t>(k)];
    };
    const Vec3 thigh = sub(point(knee), point(hip)), shin = sub(point(ankle), point(knee));
    const bool straight = angle_degrees(thigh, shin) <= 10;
    if (straight && toe >= 0 && below(ankle, toe)) {
      const Vec3 foot = sub(point(toe), point(ankle));
      const double across = angle_degrees(foot, shin);
      if (across >= 45 && across <= 135) return cross(foot, shin);
    }
    if (!straight) return cross(thigh, shin);
    return std::nullopt;
  }

  // The elbow's hinge (upper arm x forearm when bending forward): from the clip, else the bend in this
  // pose, else the hand's plane (palm down in the T-pose: the hinge is the hand's direction across it).
  std::optional<Vec3> elbow_hinge(std::size_t j, const std::string& side, const Quat& above) const {
    if (auto hinge = clip_hinge(j, above)) return hinge;
    const int shoulder = joint(side + "Arm"), elbow = joint(side + "ForeArm"), wrist = joint(side + "Hand");
    if (shoulder < 0 || elbow < 0 || wrist < 0) return std::nullopt;
    const auto point = [&](int k) {
      return below(static_cast<int>(j), k) ? at(j, k, above) : placed_[static_cast<std::size_t>(k)];
    };
    const Vec3 upper = sub(point(elbow), point(shoulder)), lower = sub(point(wrist), point(elbow));
    if (angle_degrees(upper, lower) > 15) return cross(upper, lower);
    const auto across = hand_across(j, side, above);
    if (!across) return std::nullopt;
    return cross(lower, *across);
  }

  const PosedSkeleton& s_;
  std::size_t n_;
  std::unordered_map<std::string, int> joint_of_;
  std::unordered_map<std::string, std::string> target_of_;
  std::vector<Quat> turn_;
  std::vector<Vec3> placed_;
};

}  // namespace

CanonicalPose canonical_pose(const PosedSkeleton& skeleton) { return Builder(skeleton).build(); }

std::vector<Vec3> canonical_positions(const PosedSkeleton& skeleton, const CanonicalPose& pose) {
  std::vector<Vec3> out(skeleton.positions.size());
  for (std::size_t j = 0; j < out.size(); ++j) {
    const int parent = skeleton.parents[j];
    if (parent < 0) {
      out[j] = skeleton.positions[j];
      continue;
    }
    const auto p = static_cast<std::size_t>(parent);
    out[j] = add(out[p], rotate(pose.turn[p], sub(skeleton.positions[j], skeleton.positions[p])));
  }
  return out;
}

void HingeSum::add(const Vec3& upper, const Vec3& lower, const Quat& upper_world, const Quat& lower_world) {
  const double n = length(upper) * length(lower);
  if (n <= 0) return;
  const Vec3 hinge = scale_vector(cross(upper, lower), 1 / n);
  if (length(hinge) < std::sin(10 * std::numbers::pi / 180)) return;  // nearly straight: no say in the hinge
  upper_ = oxr::add(upper_, rotate(conj(upper_world), hinge));
  lower_ = oxr::add(lower_, rotate(conj(lower_world), hinge));
  magnitude_ += length(hinge);
  ++frames_;
}

std::optional<Vec3> HingeSum::decided(const Vec3& sum) const {
  // Bent by more than 10 degrees in at least 10 of the frames looked at, and the bends agree (the sum
  // keeps 70% of its parts): a few odd frames do not decide.
  if (frames_ < 10 || length(sum) < 0.7 * magnitude_) return std::nullopt;
  return normalised(sum);
}

std::optional<Vec3> HingeSum::upper() const { return decided(upper_); }
std::optional<Vec3> HingeSum::lower() const { return decided(lower_); }

}  // namespace oxr
