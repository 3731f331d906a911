// Recognition's passes over the body: its structure, the spine and head, the limbs, the up axis and
// the sides.
#include "RecognitionPasses.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <initializer_list>

namespace oxr::recognition {
namespace {

bool counts_in_chain(Kind kind) {
  return kind != Kind::Twist && kind != Kind::End && kind != Kind::Eye && kind != Kind::Other &&
         kind != Kind::FingerBase;
}

bool is_side_branch(Kind kind) { return kind == Kind::End || kind == Kind::Eye || kind == Kind::Other; }

// ---- Structure --------------------------------------------------------------------------------

// The body's centre: the shallowest joint from which three chains of at least three joints hang
// (two legs and the spine).
int body_centre(const Tree& tree, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    int big = 0;
    for (const int c : tree.kids(static_cast<int>(j))) big += tree.sz(c) >= 3;
    if (big >= 3) return static_cast<int>(j);
  }
  return -1;
}

// The first joint named a head, on no side, below the centre.
int named_head(const Tree& tree, std::size_t n, int centre) {
  for (std::size_t j = 0; j < n; ++j) {
    if (tree.kind(static_cast<int>(j)) == Kind::Head && tree.info[j].side == Side::Centre &&
        (centre < 0 || tree.is_ancestor(centre, static_cast<int>(j)))) {
      return static_cast<int>(j);
    }
  }
  return -1;
}

// The centre's chains: the one leading to the head (else the largest) is the spine, the others legs;
// of more than two legs the two whose names say leg.
void split_legs_and_spine(State& st) {
  const Tree& tree = st.tree;
  for (const int c : tree.kids(st.centre)) {
    if (tree.sz(c) < 3) continue;
    if (st.head >= 0 ? tree.is_ancestor(c, st.head) : (st.spine_child < 0 || tree.sz(c) > tree.sz(st.spine_child))) {
      if (st.spine_child >= 0 && st.head < 0) st.legs.push_back(st.spine_child);
      st.spine_child = c;
    } else {
      st.legs.push_back(c);
    }
  }
  if (st.spine_child < 0 && !st.legs.empty()) {
    st.spine_child = st.legs.back();
    st.legs.pop_back();
  }
  if (st.legs.size() > 2) {
    const auto leggy = [&](int j) {
      for (const int k : tree.chain_from(j)) {
        const Kind kind = tree.kind(k);
        if (kind == Kind::Thigh || kind == Kind::Shin || kind == Kind::Foot || kind == Kind::Toe) return 1;
      }
      return 0;
    };
    std::stable_sort(st.legs.begin(), st.legs.end(), [&](int a, int b) { return leggy(a) > leggy(b); });
    st.legs.resize(2);
  }
}

// ---- Spine and head ---------------------------------------------------------------------------

// The next joint of a spine walked without a head's name: of three or more branches the one whose
// size no other shares (else the one nearest the middle), of two the larger unless it is a collar.
int next_spine_joint(const State& st, const std::vector<int>& big) {
  const Tree& tree = st.tree;
  int next = big.front();
  if (big.size() >= 3) {
    bool unique = false;
    for (const int c : big) {
      int same = 0;
      for (const int d : big) same += tree.sz(d) == tree.sz(c);
      if (same == 1) {
        next = c;
        unique = true;
      }
    }
    if (!unique) {
      double least = 1e300;
      for (const int c : big) {
        const double lateral = std::abs(st.skeleton.offsets[static_cast<std::size_t>(c)][0]);
        if (lateral < least) {
          least = lateral;
          next = c;
        }
      }
    }
  } else if (big.size() == 2) {
    next = tree.sz(big[0]) >= tree.sz(big[1]) ? big[0] : big[1];
    if (tree.kind(next) == Kind::Collar || tree.kind(next) == Kind::ShoulderAmbiguous) {
      next = next == big[0] ? big[1] : big[0];
    }
  }
  return next;
}

// Without a head named: the spine's last joint (end joints aside), following the child that is not
// one of a pair of arms; -1 for a spine of fewer than two joints.
int walked_head(const State& st) {
  const Tree& tree = st.tree;
  std::vector<int> walk;
  int at = st.spine_child;
  while (at >= 0) {
    walk.push_back(at);
    std::vector<int> big;
    for (const int c : tree.kids(at)) {
      if (tree.sz(c) >= 2 || tree.kids(at).size() == 1) big.push_back(c);
    }
    if (big.empty()) break;
    at = next_spine_joint(st, big);
  }
  while (!walk.empty() && tree.kind(walk.back()) == Kind::End) walk.pop_back();
  return walk.size() >= 2 ? walk.back() : -1;
}

// Arms: chains of at least three joints branching from the spine above the centre, the two largest.
void find_arms(State& st) {
  const Tree& tree = st.tree;
  const std::vector<int>& path = st.path;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    for (const int c : tree.kids(path[i])) {
      if (c != path[i + 1] && tree.sz(c) >= 3 && std::find(st.legs.begin(), st.legs.end(), c) == st.legs.end())
        st.arms.push_back(c);
    }
  }
  if (st.arms.size() > 2) {
    std::stable_sort(st.arms.begin(), st.arms.end(), [&](int a, int b) { return tree.sz(a) > tree.sz(b); });
    st.arms.resize(2);
  }
}

// The neck's place on the path: a joint named so, else the joint below the head when no arm
// branches from it; -1 for none.
int neck_on_path(const State& st) {
  const std::vector<int>& path = st.path;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    if (st.tree.kind(path[i]) == Kind::Neck) return static_cast<int>(i);
  }
  if (path.size() < 3) return -1;
  const int below = path[path.size() - 2];
  for (const int a : st.arms) {
    if (st.tree.parent(a) == below) return -1;
  }
  return static_cast<int>(path.size()) - 2;
}

std::string lower_name(const State& st, int j) {
  const std::string& name = st.skeleton.names[static_cast<std::size_t>(j)];
  return lower(name.substr(name.find_last_of(':') + 1));
}

// A spine named as the source skeleton's keeps its names; any other is spread over Spine, Spine1,
// Spine2 by place along the chain (one or two joints: the lower bones). A lower back below two or
// more spine joints is no source bone: it stays in the kinematics.
void assign_spine(State& st, std::vector<int> spine) {
  if (spine.size() >= 3 && (lower_name(st, spine[0]).find("lowerback") != std::string::npos ||
                            lower_name(st, spine[0]).find("lumbar") != std::string::npos)) {
    spine.erase(spine.begin());
  }
  bool kz_names = !spine.empty();
  for (const int j : spine) {
    const std::string name = lower_name(st, j);
    kz_names = kz_names && (name == "spine" || name == "spine1" || name == "spine2");
  }
  kz_names = kz_names && lower_name(st, spine[0]) == "spine";
  static const char* const kSpine[] = {"Spine", "Spine1", "Spine2"};
  const auto evidence = [&](int j) {
    return st.tree.kind(j) == Kind::Spine ? Evidence::NameAndStructure : Evidence::Structure;
  };
  if (kz_names) {
    for (const int j : spine) {
      for (const char* bone : kSpine) {
        if (lower_name(st, j) == lower(bone)) st.assign(j, bone, Evidence::Name);
      }
    }
  } else if (spine.size() <= 3) {
    for (std::size_t k = 0; k < spine.size(); ++k) st.assign(spine[k], kSpine[k], evidence(spine[k]));
  } else {
    const std::size_t count = spine.size();
    for (std::size_t k = 0; k < 3; ++k) {
      const auto i = static_cast<std::size_t>(std::lround(static_cast<double>(k * (count - 1)) / 2.0));
      st.assign(spine[i], kSpine[k], evidence(spine[i]));
    }
  }
}

// The spine, neck, head, the head's end and the eyes along the path.
void assign_spine_neck_head(State& st) {
  const Tree& tree = st.tree;
  const int neck_at = neck_on_path(st);
  std::size_t spine_end = neck_at >= 0 ? static_cast<std::size_t>(neck_at) : st.path.size() - 1;
  // The spine ends where the arms branch: joints above that and below the neck (a second neck bone
  // without a name) are no source bone and stay in the kinematics.
  std::size_t branch = 0;
  for (std::size_t i = 0; i < spine_end; ++i) {
    for (const int a : st.arms) {
      if (tree.parent(a) == st.path[i]) branch = i + 1;
    }
  }
  if (branch > 0) spine_end = std::min(spine_end, branch);
  assign_spine(st, std::vector<int>(st.path.begin(), st.path.begin() + static_cast<std::ptrdiff_t>(spine_end)));
  if (neck_at >= 0) {
    const int neck = st.path[static_cast<std::size_t>(neck_at)];
    st.assign(neck, "Neck", tree.kind(neck) == Kind::Neck ? Evidence::Name : Evidence::Structure);
  }
  st.assign(st.head, "Head", tree.kind(st.head) == Kind::Head ? Evidence::Name : Evidence::Structure);
  for (const int c : tree.kids(st.head)) {
    const NameInfo& info = tree.info[static_cast<std::size_t>(c)];
    if (info.kind == Kind::End && tree.kids(c).empty()) st.assign(c, "HeadTop_End", Evidence::NameAndStructure);
    if (info.kind == Kind::Eye && info.side != Side::Centre)
      st.assign(c, std::string(side_word(info.side)) + "Eye", Evidence::Name);
  }
}

// ---- Limbs ------------------------------------------------------------------------------------

// The index in m of the first joint of the kind, or -1.
int find_kind(const Tree& tree, const std::vector<int>& m, Kind kind) {
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (tree.kind(m[i]) == kind) return static_cast<int>(i);
  }
  return -1;
}

void add_role(const Tree& tree, Limb& limb, const std::vector<int>& m, int i, Role role, bool structural,
              std::initializer_list<Kind> kinds) {
  const int j = m[static_cast<std::size_t>(i)];
  const Kind k = tree.kind(j);
  limb.roles.push_back({j, role, !structural && std::find(kinds.begin(), kinds.end(), k) != kinds.end()});
}

// A leg chain's thigh, shin, foot and toe.
bool resolve_leg(const Tree& tree, Limb& limb) {
  std::vector<int> m;
  for (const int j : limb.joints) {
    if (counts_in_chain(tree.kind(j))) m.push_back(j);
  }
  int s = find_kind(tree, m, Kind::Shin);
  if (s < 0 && find_kind(tree, m, Kind::Thigh) >= 0) s = find_kind(tree, m, Kind::Thigh) + 1;
  if (s < 0 && find_kind(tree, m, Kind::Foot) >= 1) s = find_kind(tree, m, Kind::Foot) - 1;
  if (s < 0 && find_kind(tree, m, Kind::LegAmbiguous) >= 1) s = find_kind(tree, m, Kind::LegAmbiguous);
  const bool structural = s < 0;
  if (s < 0) s = m.size() >= 4 ? static_cast<int>(m.size()) - 3 : 1;
  if (s < 1 || s + 1 >= static_cast<int>(m.size())) return false;
  add_role(tree, limb, m, s - 1, Role::UpLeg, structural, {Kind::Thigh});
  add_role(tree, limb, m, s, Role::Leg, structural, {Kind::Shin});
  add_role(tree, limb, m, s + 1, Role::Foot, structural, {Kind::Foot});
  if (s + 2 < static_cast<int>(m.size())) add_role(tree, limb, m, s + 2, Role::ToeBase, structural, {Kind::Toe});
  return true;
}

// An arm chain's collar, upper arm, forearm and hand; the chain stops where the fingers begin.
bool resolve_arm(const Tree& tree, Limb& limb) {
  std::vector<int> m;
  for (const int j : limb.joints) {
    const Kind k = tree.kind(j);
    if (k == Kind::Finger || k == Kind::FingerBase) break;
    if (counts_in_chain(k)) m.push_back(j);
  }
  int f = find_kind(tree, m, Kind::ForeArm);
  if (f < 0 && find_kind(tree, m, Kind::UpperArm) >= 0) f = find_kind(tree, m, Kind::UpperArm) + 1;
  if (f < 0 && find_kind(tree, m, Kind::Hand) >= 1) f = find_kind(tree, m, Kind::Hand) - 1;
  const bool structural = f < 0;
  if (f < 0) {
    // The hand is where the fingers branch, else the chain's last joint.
    int hand = static_cast<int>(m.size()) - 1;
    for (std::size_t i = 0; i < m.size(); ++i) {
      if (tree.kids(m[i]).size() >= 3) {
        hand = static_cast<int>(i);
        break;
      }
    }
    f = hand - 1;
  }
  if (f < 1 || f >= static_cast<int>(m.size())) return false;
  if (f >= 2) add_role(tree, limb, m, f - 2, Role::Shoulder, structural, {Kind::Collar, Kind::ShoulderAmbiguous});
  add_role(tree, limb, m, f - 1, Role::Arm, structural, {Kind::UpperArm});
  add_role(tree, limb, m, f, Role::ForeArm, structural, {Kind::ForeArm});
  if (f + 1 < static_cast<int>(m.size())) add_role(tree, limb, m, f + 1, Role::Hand, structural, {Kind::Hand});
  return true;
}

// Finger chains under a hand: each finger named by its words, phalanges numbered along the chain.
void resolve_fingers(const Tree& tree, int hand, Limb& limb) {
  bool taken[5] = {};
  std::vector<int> starts(tree.kids(hand).begin(), tree.kids(hand).end());
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const int start = starts[i];
    const NameInfo& first = tree.info[static_cast<std::size_t>(start)];
    if (first.kind == Kind::FingerBase || (first.kind == Kind::Hand && first.finger < 0)) {
      // A metacarpal or a palm joint above several fingers.
      for (const int c : tree.kids(start)) starts.push_back(c);
      continue;
    }
    if (first.kind != Kind::Finger) continue;
    const int finger = first.finger;
    if (finger < 0 || finger > 4 || taken[finger]) continue;
    taken[finger] = true;
    int phalanx = 0;
    for (const int j : tree.chain_from(start)) {
      const NameInfo& info = tree.info[static_cast<std::size_t>(j)];
      if (info.kind != Kind::Finger || info.finger != finger) break;
      if (info.metacarpal && finger != 0) continue;
      if (++phalanx > 4) break;
      limb.roles.push_back({j, Role::Finger, true, finger, phalanx});
    }
  }
}

// World positions of the zero pose.
std::vector<Vec3> zero_pose(const SkeletonDescription& s) {
  std::vector<Vec3> position(s.names.size());
  for (std::size_t j = 0; j < s.names.size(); ++j) {
    const int p = s.parents[j];
    position[j] = p < 0 ? s.offsets[j] : add(position[static_cast<std::size_t>(p)], s.offsets[j]);
  }
  return position;
}

// ---- Up axis ----------------------------------------------------------------------------------

// The mean position of the feet, and how many there are.
std::pair<Vec3, int> feet_of(const std::vector<Limb>& legs, const std::vector<Vec3>& at) {
  Vec3 sum{0, 0, 0};
  int count = 0;
  for (const Limb& limb : legs) {
    for (const LimbRole& role : limb.roles) {
      if (role.role != Role::Foot) continue;
      for (std::size_t a = 0; a < 3; ++a) sum[a] += at[static_cast<std::size_t>(role.joint)][a];
      ++count;
    }
  }
  if (count > 0) {
    for (double& v : sum) v /= count;
  }
  return {sum, count};
}

// The axis (+y, -z, ...) from the feet (else the hips) to the head, when it holds a share of the
// length; "" when none does.
std::string body_axis(const State& st, const std::vector<Vec3>& at, double share) {
  const auto [feet, count] = feet_of(st.leg_limbs, at);
  const Vec3& head = at[static_cast<std::size_t>(st.head)];
  const Vec3 v = count > 0 ? sub(head, feet) : sub(head, at[static_cast<std::size_t>(st.hips)]);
  const double n = length(v);
  if (n <= 0) return "";
  static const char* const kAxes[] = {"x", "y", "z"};
  for (std::size_t a = 0; a < 3; ++a) {
    if (std::abs(v[a]) >= share * n) return std::string(v[a] > 0 ? "+" : "-") + kAxes[a];
  }
  return "";
}

// The rotation that takes the axis `up` to +Y.
Quat rotation_to_y(const std::string& up) {
  const double h = std::sqrt(0.5);
  if (up == "+z") return {-h, 0, 0, h};  // -90 degrees about X: +Z -> +Y
  if (up == "-z") return {h, 0, 0, h};   // +90 degrees about X: -Z -> +Y
  if (up == "-y") return {1, 0, 0, 0};   // 180 degrees about X
  if (up == "+x") return {0, 0, h, h};   // +90 degrees about Z: +X -> +Y
  if (up == "-x") return {0, 0, -h, h};  // -90 degrees about Z: -X -> +Y
  return {0, 0, 0, 1};
}

// A spine that does not rise above the legs (four legs, a snake) is no human; nor is one of no
// length, or hips on the feet: they point nowhere.
bool upright_in(const State& st, const std::vector<Vec3>& at) {
  const auto [feet, count] = feet_of(st.leg_limbs, at);
  const Vec3 spine = sub(at[static_cast<std::size_t>(st.head)], at[static_cast<std::size_t>(st.hips)]);
  const Vec3 legs_dir = sub(at[static_cast<std::size_t>(st.hips)], feet);
  return count == 0 || (length(spine) * length(legs_dir) > 0 && angle_degrees(spine, legs_dir) <= 50);
}

// ---- Sides ------------------------------------------------------------------------------------

// The body's forward: the mean of the feet's toe directions across the ground, else +Z.
Vec3 body_forward(const State& st) {
  Vec3 sum{0, 0, 0};
  for (const Limb& limb : st.leg_limbs) {
    const int foot = limb.joint_of(Role::Foot);
    const int toe = limb.joint_of(Role::ToeBase);
    if (foot >= 0 && toe >= 0) {
      const Vec3 d = sub(st.upright[static_cast<std::size_t>(toe)], st.upright[static_cast<std::size_t>(foot)]);
      sum = {sum[0] + d[0], 0, sum[2] + d[2]};
    }
  }
  return length(sum) > 0 ? sum : Vec3{0, 0, 1};
}

// The side a chain's names give: the side most of its joints name.
Side chain_side(const Tree& tree, const std::vector<int>& chain) {
  int left = 0, right = 0;
  for (const int j : chain) {
    const Side side = tree.info[static_cast<std::size_t>(j)].side;
    left += side == Side::Left;
    right += side == Side::Right;
  }
  return left > right ? Side::Left : right > left ? Side::Right : Side::Centre;
}

// A pair of limbs' sides: from their names, else the one further along the body's left is the left.
// Returns whether the offsets decided.
bool decide_limb_sides(const State& st, std::vector<Limb>& limbs, const Vec3& left_axis) {
  const auto lateral = [&](int j) {
    return dot(sub(st.upright[static_cast<std::size_t>(j)], st.upright[static_cast<std::size_t>(st.hips)]), left_axis);
  };
  for (Limb& limb : limbs) {
    limb.side = chain_side(st.tree, limb.joints);
    limb.side_named = limb.side != Side::Centre;
  }
  if (limbs.size() == 2 && (limbs[0].side == limbs[1].side)) {
    const auto at = [](const Limb& limb) { return limb.roles.size() > 1 ? limb.roles[1].joint : limb.joints.front(); };
    const bool first_left = lateral(at(limbs[0])) >= lateral(at(limbs[1]));
    limbs[0].side = first_left ? Side::Left : Side::Right;
    limbs[1].side = first_left ? Side::Right : Side::Left;
    limbs[0].side_named = limbs[1].side_named = false;
    return true;
  }
  if (limbs.size() == 1 && limbs[0].side == Side::Centre) {
    limbs[0].side = lateral(limbs[0].joints.front()) >= 0 ? Side::Left : Side::Right;
    return true;
  }
  return false;
}

// A limb's bones, its side on every joint below its first, and the toe's end joint.
void assign_limb(State& st, const Limb& limb) {
  const Tree& tree = st.tree;
  for (const LimbRole& role : limb.roles) {
    Evidence evidence = role.named ? Evidence::Name : Evidence::NameAndStructure;
    if (tree.kind(role.joint) == Kind::None) evidence = Evidence::Structure;
    if (!limb.side_named && evidence == Evidence::Name) evidence = Evidence::NameAndStructure;
    if (!st.bone_of[static_cast<std::size_t>(role.joint)]) st.assign(role.joint, bone_name(limb.side, role), evidence);
  }
  std::vector<int> stack{limb.joints.front()};
  while (!stack.empty()) {
    const int at = stack.back();
    stack.pop_back();
    st.result.sides[static_cast<std::size_t>(at)] = limb.side;
    for (const int c : tree.kids(at)) stack.push_back(c);
  }
  const int toe = limb.joint_of(Role::ToeBase);
  if (toe < 0) return;
  for (const int c : tree.kids(toe)) {
    if (tree.kind(c) == Kind::End && tree.kids(c).empty())
      st.assign(c, std::string(side_word(limb.side)) + "Toe_End", Evidence::NameAndStructure);
  }
}

}  // namespace

Tree::Tree(const SkeletonDescription& skeleton) : s(skeleton) {
  const std::size_t n = s.names.size();
  children.resize(n);
  size.assign(n, 1);
  for (std::size_t j = 0; j < n; ++j) {
    if (s.parents[j] >= 0) children[static_cast<std::size_t>(s.parents[j])].push_back(static_cast<int>(j));
  }
  for (std::size_t j = n; j-- > 0;) {
    if (s.parents[j] >= 0) size[static_cast<std::size_t>(s.parents[j])] += size[j];
  }
}

int Tree::main_child(int j) const {
  int best = -1;
  for (const int c : kids(j)) {
    const bool side = is_side_branch(kind(c));
    if (best < 0) {
      best = c;
      continue;
    }
    const bool best_side = is_side_branch(kind(best));
    if ((best_side && !side) || (best_side == side && sz(c) > sz(best))) best = c;
  }
  return best;
}

std::vector<int> Tree::chain_from(int j) const {
  std::vector<int> chain;
  for (int at = j; at >= 0; at = main_child(at)) chain.push_back(at);
  return chain;
}

bool Tree::is_ancestor(int a, int j) const {
  for (int at = j; at >= 0; at = parent(at)) {
    if (at == a) return true;
  }
  return false;
}

int Limb::joint_of(Role role) const {
  int joint = -1;
  for (const LimbRole& r : roles) {
    if (r.role == role) joint = r.joint;
  }
  return joint;
}

const char* side_word(Side side) { return side == Side::Left ? "Left" : "Right"; }

std::string bone_name(Side side, const LimbRole& role) {
  static const char* const kRoles[] = {"Shoulder", "Arm", "ForeArm", "Hand", "UpLeg", "Leg", "Foot", "ToeBase"};
  static const char* const kFingers[] = {"Thumb", "Index", "Middle", "Ring", "Pinky"};
  std::string bone = side_word(side);
  if (role.role == Role::Finger) {
    bone.append("Hand").append(kFingers[role.finger]).append(std::to_string(role.phalanx));
  } else {
    bone.append(kRoles[static_cast<int>(role.role)]);
  }
  return bone;
}

void read_structure(State& st) {
  st.centre = body_centre(st.tree, st.n);
  st.head = named_head(st.tree, st.n, st.centre);
  if (st.centre >= 0) split_legs_and_spine(st);
  // The hips: a joint named so between the root and the centre, else the centre itself.
  st.hips = st.centre;
  for (int at = st.centre; at >= 0; at = st.tree.parent(at)) {
    const Kind k = st.tree.kind(at);
    if (k == Kind::Pelvis ||
        (k == Kind::HipAmbiguous && st.tree.info[static_cast<std::size_t>(at)].side == Side::Centre)) {
      st.hips = at;
    }
  }
  if (st.hips >= 0) {
    const Kind k = st.tree.kind(st.hips);
    st.assign(st.hips, "Hips", k == Kind::Pelvis || k == Kind::HipAmbiguous ? Evidence::Name : Evidence::Structure);
  }
}

void find_spine_and_head(State& st) {
  if (st.spine_child >= 0 && st.head < 0) {
    const int head = walked_head(st);
    if (head >= 0) st.head = head;
  }
  if (st.head >= 0 && st.hips >= 0) {
    for (int at = st.head; at >= 0 && at != st.hips; at = st.tree.parent(at)) st.path.push_back(at);
    std::reverse(st.path.begin(), st.path.end());
  }
  if (st.head < 0 || st.path.empty()) {
    st.missing.push_back("no spine leading to a head");
    return;
  }
  find_arms(st);
  assign_spine_neck_head(st);
}

void find_limbs(State& st) {
  st.rest = zero_pose(st.skeleton);
  for (const int l : st.legs) {
    Limb limb;
    limb.joints = st.tree.chain_from(l);
    if (resolve_leg(st.tree, limb)) st.leg_limbs.push_back(std::move(limb));
  }
  if (st.leg_limbs.size() < 2) st.missing.push_back("fewer than two legs with a thigh, shin and foot");
  for (const int a : st.arms) {
    Limb limb;
    limb.joints = st.tree.chain_from(a);
    if (resolve_arm(st.tree, limb)) {
      if (limb.roles.back().role == Role::Hand) resolve_fingers(st.tree, limb.roles.back().joint, limb);
      st.arm_limbs.push_back(std::move(limb));
    }
  }
}

void find_up_axis(State& st) {
  SkeletonRecognition& result = st.result;
  const std::vector<Vec3>& frame_zero = st.request.frame_zero;
  st.have_frame = frame_zero.size() == st.n;
  std::string up = "+y";
  if (st.head >= 0 && st.hips >= 0) {
    // From the feet to the head, in the zero pose when it stands, else in frame 0.
    const std::string axis = body_axis(st, st.rest, 0.8);
    st.rest_stands = !axis.empty();
    if (st.rest_stands) {
      up = axis;
      result.up_evidence = "head above the feet in the zero pose";
    } else if (st.have_frame) {
      const std::string axis0 = body_axis(st, frame_zero, 0.6);
      if (!axis0.empty()) {
        up = axis0;
        result.up_evidence = "head above the feet in frame 0 (the zero pose does not stand)";
      }
    }
    if (result.up_evidence.empty()) result.up_evidence = "no clear up in the skeleton; taken as +Y";
  }
  if (st.request.up != "auto") {
    up = st.request.up;
    result.up_evidence = "as asked";
  }
  result.zero_pose_stands = st.rest_stands;
  result.up_axis = up;
  for (char& c : result.up_axis) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  result.up_rotation = rotation_to_y(up);
  const std::vector<Vec3>& standing = st.rest_stands || !st.have_frame ? st.rest : frame_zero;
  st.upright.resize(st.n);
  for (std::size_t j = 0; j < st.n; ++j) st.upright[j] = rotate(result.up_rotation, standing[j]);

  if (st.missing.empty() && !upright_in(st, st.rest) && !(st.have_frame && upright_in(st, frame_zero))) {
    st.missing.push_back("no spine standing above the legs (its head is not above its hips)");
  }
}

void decide_sides(State& st) {
  const Vec3 left_axis = cross({0, 1, 0}, body_forward(st));
  bool from_offsets = decide_limb_sides(st, st.leg_limbs, left_axis);
  from_offsets = decide_limb_sides(st, st.arm_limbs, left_axis) || from_offsets;
  for (const Limb& limb : st.leg_limbs) assign_limb(st, limb);
  for (const Limb& limb : st.arm_limbs) assign_limb(st, limb);
  for (std::size_t j = 0; j < st.n; ++j) {
    if (st.result.sides[j] == Side::Centre) st.result.sides[j] = st.tree.info[j].side;
  }
  st.result.side_evidence = from_offsets ? "rest offsets (the names give no side)" : "names";
}

}  // namespace oxr::recognition
