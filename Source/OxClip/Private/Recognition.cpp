#include "Recognition.h"

#include "ToolError.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace oxr {
namespace {

using V3 = std::array<double, 3>;
using Q = std::array<double, 4>;

V3 sub3(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot3(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm3(const V3& a) { return std::sqrt(dot3(a, a)); }
V3 cross3(const V3& a, const V3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
V3 rotate3(const Q& q, const V3& v) {
  const V3 u{q[0], q[1], q[2]};
  const V3 t = cross3(u, v);
  const V3 t2{2 * t[0], 2 * t[1], 2 * t[2]};
  const V3 c = cross3(u, t2);
  return {v[0] + q[3] * t2[0] + c[0], v[1] + q[3] * t2[1] + c[1], v[2] + q[3] * t2[2] + c[2]};
}

// ---- Names ------------------------------------------------------------------------------------

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

bool is_alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool is_upper(char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; }
bool is_lower(char c) { return std::islower(static_cast<unsigned char>(c)) != 0; }
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Words of a name: split at separators, at lower-to-upper and letter-digit changes, and before the
// last capital of a run of capitals that a lower-case letter follows ("LThigh" -> L Thigh; "LUArm"
// -> L U Arm). A namespace ("rig:") or path ("a|b") prefix is dropped first.
std::vector<std::string> words_of(std::string_view name) {
  if (const auto colon = name.find_last_of(":|"); colon != std::string_view::npos) name = name.substr(colon + 1);
  std::vector<std::string> words;
  std::string word;
  const auto flush = [&] {
    if (!word.empty()) words.push_back(lower(word));
    word.clear();
  };
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (!is_alnum(c)) {
      flush();
      continue;
    }
    if (!word.empty()) {
      const char prev = word.back();
      const bool next_lower = i + 1 < name.size() && is_lower(name[i + 1]);
      // A word ends at a lower-to-upper or letter-to-digit change, before the last capital of a run
      // that goes on in lower case, and after a lone capital that starts another capitalised word
      // ("LUArm": L, then U).
      const bool lone_capital = is_upper(prev) && is_upper(c) && !next_lower && word.size() == 1 &&
                                i + 2 < name.size() && is_upper(name[i + 1]) && is_lower(name[i + 2]);
      if ((is_lower(prev) && is_upper(c)) || (is_digit(prev) != is_digit(c)) ||
          (is_upper(prev) && is_upper(c) && next_lower) || lone_capital) {
        flush();
      }
    }
    word += c;
  }
  flush();
  return words;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Words that carry no meaning for recognition: rig prefixes and suffixes.
bool is_noise(const std::string& word) {
  static const char* const kNoise[] = {"jnt",  "joint", "jt",   "bone",      "bn",  "fk",    "ik",
                                       "def",  "drv",   "bind", "mixamorig", "bip", "biped", "character",
                                       "ctrl", "skel",  "sk",   "c",         "m",   "mid0",  "grp"};
  for (const char* noise : kNoise) {
    if (word == noise) return true;
  }
  return false;
}

Kind kind_of_core(const std::string& c, const std::string& number, NameInfo& info) {
  if (c.empty()) return Kind::None;
  if (contains(c, "twist") || contains(c, "roll")) return Kind::Twist;
  if (contains(c, "nub") || c.ends_with("end") || c == "site" || contains(c, "headtop") || contains(c, "top")) {
    return Kind::End;
  }
  static const std::pair<const char*, int> kFingers[] = {{"thumb", 0}, {"index", 1},  {"middle", 2}, {"ring", 3},
                                                         {"pinky", 4}, {"pinkie", 4}, {"little", 4}, {"small", 4}};
  for (const auto& [word, finger] : kFingers) {
    if (contains(c, word)) {
      info.finger = finger;
      info.metacarpal = contains(c, "carpal") || contains(c, "root") || c.starts_with("inhand");
      return Kind::Finger;
    }
  }
  if (c == "mid" || c == "handmid" || c == "midproximal" || c == "midintermediate" || c == "middistal") {
    info.finger = 2;
    return Kind::Finger;
  }
  if (c == "finger" && !number.empty()) {
    info.finger = number[0] - '0';
    return info.finger <= 4 ? Kind::Finger : Kind::FingerBase;
  }
  if (contains(c, "finger") || contains(c, "carpal") || c == "palm" || c == "handroot") return Kind::FingerBase;
  if (contains(c, "eye")) return Kind::Eye;
  if (contains(c, "jaw") || contains(c, "tongue") || contains(c, "teeth") || contains(c, "brow") ||
      contains(c, "nose") || contains(c, "prop") || contains(c, "weapon"))
    return Kind::Other;
  if (c.starts_with("head")) return Kind::Head;
  if (contains(c, "neck")) return Kind::Neck;
  if (contains(c, "spine") || contains(c, "chest") || contains(c, "abdomen") || contains(c, "torso") ||
      contains(c, "back") || contains(c, "waist") || contains(c, "thorax") || contains(c, "lumbar") || c == "ab" ||
      contains(c, "belly"))
    return Kind::Spine;
  if (c == "pelvis" || c == "hips" || c == "pelv" || c == "cog" || c == "hipsbone") return Kind::Pelvis;
  if (c == "hip" || c == "hipjoint" || contains(c, "buttock") || c == "hipbone") return Kind::HipAmbiguous;
  if (c == "root" || c == "reference" || c == "world" || c == "trajectory") return Kind::Root;
  if (contains(c, "collar") || contains(c, "clavicle") || contains(c, "clav")) return Kind::Collar;
  if (contains(c, "forearm") || contains(c, "lowerarm") || contains(c, "lowarm") || c == "farm" ||
      contains(c, "elbow") || contains(c, "lowarm"))
    return Kind::ForeArm;
  if (contains(c, "upperarm") || contains(c, "uparm") || c == "uarm" || c == "arm" || contains(c, "humerus") ||
      c == "armbend")
    return Kind::UpperArm;
  if (contains(c, "shoulder") || contains(c, "shldr")) return Kind::ShoulderAmbiguous;
  if (contains(c, "hand") || contains(c, "wrist")) return Kind::Hand;
  if (contains(c, "thigh") || contains(c, "upleg") || contains(c, "upperleg") || contains(c, "femur"))
    return Kind::Thigh;
  if (contains(c, "shin") || contains(c, "calf") || contains(c, "lowerleg") || contains(c, "lowleg") ||
      contains(c, "knee") || contains(c, "tibia"))
    return Kind::Shin;
  if (c == "leg" || c == "legbend") return Kind::LegAmbiguous;
  if (contains(c, "toe") || contains(c, "ball")) return Kind::Toe;
  if (contains(c, "foot") || contains(c, "ankle") || contains(c, "heel")) return Kind::Foot;
  return Kind::None;
}

// Words a one-letter side marker may stand before ("lhand", "rthumb"; not "lowerback", "ring").
bool starts_with_limb_word(std::string_view rest) {
  static const char* const kWords[] = {
      "hand",  "thumb",    "index",  "mid",     "ring",     "pinky", "finger", "foot",   "toe",   "thigh", "shin",
      "shldr", "shoulder", "collar", "forearm", "arm",      "upleg", "leg",    "hip",    "knee",  "elbow", "wrist",
      "ankle", "buttock",  "eye",    "calf",    "clavicle", "uparm", "farm",   "lowleg", "upper", "lower"};
  for (const char* word : kWords) {
    if (rest.starts_with(word)) return true;
  }
  return false;
}

// Vertebra labels of the spine (L5, L3, T12, T8, C7).
bool is_vertebra(const std::vector<std::string>& words) {
  return words.size() == 2 && (words[0] == "l" || words[0] == "t" || words[0] == "c") && is_digit(words[1][0]);
}

NameInfo read_name(std::vector<std::string> words) {
  NameInfo info;
  if (is_vertebra(words)) {
    info.kind = Kind::Spine;
    return info;
  }
  std::string number;
  std::string core;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "left" || w == "l" || w == "lft" || w == "lt") {
      info.side = Side::Left;
    } else if (w == "right" || w == "r" || w == "rt" || w == "rgt") {
      info.side = Side::Right;
    } else if (is_digit(w[0])) {
      if (!core.empty()) number = w;
    } else if (!is_noise(w)) {
      core += w;
    }
  }
  if (info.side == Side::Centre && !core.empty()) {
    // Sides written into one word: "lefthand", "handleft", "lhand", "rthumb".
    NameInfo scratch;
    const auto strip = [&](std::string_view prefix, bool at_start, Side side) {
      if (core.size() <= prefix.size()) return false;
      const std::string rest = at_start ? core.substr(prefix.size()) : core.substr(0, core.size() - prefix.size());
      if ((at_start ? core.starts_with(prefix) : core.ends_with(prefix)) &&
          kind_of_core(rest, number, scratch) != Kind::None && (prefix.size() > 1 || starts_with_limb_word(rest))) {
        core = rest;
        info.side = side;
        return true;
      }
      return false;
    };
    strip("left", true, Side::Left) || strip("right", true, Side::Right) || strip("left", false, Side::Left) ||
        strip("right", false, Side::Right) || strip("l", true, Side::Left) || strip("r", true, Side::Right);
  }
  info.kind = kind_of_core(core, number, info);
  if (info.kind == Kind::Head && (contains(core, "end") || contains(core, "top"))) info.kind = Kind::End;
  return info;
}

// ---- Structure --------------------------------------------------------------------------------

struct Tree {
  const SkeletonDescription& s;
  std::vector<std::vector<int>> children;
  std::vector<int> size;  // joints in the subtree
  std::vector<NameInfo> info;

  explicit Tree(const SkeletonDescription& skeleton) : s(skeleton) {
    const std::size_t n = s.names.size();
    children.resize(n);
    size.assign(n, 1);
    for (std::size_t j = 0; j < n; ++j) {
      if (s.parents[j] >= 0) children[static_cast<std::size_t>(s.parents[j])].push_back(static_cast<int>(j));
    }
    for (std::size_t j = n; j-- > 0;) {
      if (s.parents[j] >= 0) size[static_cast<std::size_t>(s.parents[j])] += size[j];
    }
    // A prefix every joint's name shares ("Bip01", "Character1") is no part of any name.
    std::vector<std::vector<std::string>> words(n);
    for (std::size_t j = 0; j < n; ++j) words[j] = words_of(s.names[j]);
    std::size_t common = 0;
    if (n >= 3) {
      const std::vector<std::string>& ref = words[1];
      for (; common < ref.size(); ++common) {
        bool same = words[0].size() > common && words[0][common] == ref[common];
        for (std::size_t j = 1; j < n && same; ++j)
          same = words[j].size() > common + 1 && words[j][common] == ref[common];
        if (!same) break;
        const std::string& w = ref[common];
        if (w == "l" || w == "left" || w == "r" || w == "right") break;
      }
    }
    info.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
      std::vector<std::string> w(words[j].begin() + static_cast<std::ptrdiff_t>(std::min(common, words[j].size())),
                                 words[j].end());
      info[j] = read_name(w);
      if (w.empty()) info[j].kind = Kind::Root;
    }
  }

  Kind kind(int j) const { return info[static_cast<std::size_t>(j)].kind; }
  const std::vector<int>& kids(int j) const { return children[static_cast<std::size_t>(j)]; }
  int sz(int j) const { return size[static_cast<std::size_t>(j)]; }

  // The child that continues a chain: the largest subtree, a twist or end joint only when alone.
  int main_child(int j) const {
    int best = -1;
    for (const int c : kids(j)) {
      const bool side = kind(c) == Kind::End || kind(c) == Kind::Eye || kind(c) == Kind::Other;
      if (best < 0) {
        best = c;
        continue;
      }
      const bool best_side = kind(best) == Kind::End || kind(best) == Kind::Eye || kind(best) == Kind::Other;
      if ((best_side && !side) || (best_side == side && sz(c) > sz(best))) best = c;
    }
    return best;
  }

  std::vector<int> chain_from(int j) const {
    std::vector<int> chain;
    for (int at = j; at >= 0; at = main_child(at)) chain.push_back(at);
    return chain;
  }

  bool is_ancestor(int a, int j) const {
    for (int at = j; at >= 0; at = s.parents[static_cast<std::size_t>(at)]) {
      if (at == a) return true;
    }
    return false;
  }
};

bool counts_in_chain(Kind kind) {
  return kind != Kind::Twist && kind != Kind::End && kind != Kind::Eye && kind != Kind::Other &&
         kind != Kind::FingerBase;
}

struct Assigned {
  std::string bone;
  Evidence evidence;
};

const char* side_word(Side side) { return side == Side::Left ? "Left" : "Right"; }

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

struct Limb {
  std::vector<int> joints;                         // the chain, its root first
  std::vector<std::pair<int, std::string>> roles;  // joint -> role ("UpLeg", "Leg", "Foot", "ToeBase" ...)
  std::vector<bool> named;                         // per role: the joint's own name gave the role
  Side side = Side::Centre;
  bool side_named = false;
};

// A leg chain's thigh, shin, foot and toe.
bool resolve_leg(const Tree& tree, Limb& limb) {
  std::vector<int> m;
  for (const int j : limb.joints) {
    if (counts_in_chain(tree.kind(j))) m.push_back(j);
  }
  const auto find = [&](Kind kind) {
    for (std::size_t i = 0; i < m.size(); ++i) {
      if (tree.kind(m[i]) == kind) return static_cast<int>(i);
    }
    return -1;
  };
  int s = find(Kind::Shin);
  if (s < 0 && find(Kind::Thigh) >= 0) s = find(Kind::Thigh) + 1;
  if (s < 0 && find(Kind::Foot) >= 1) s = find(Kind::Foot) - 1;
  if (s < 0 && find(Kind::LegAmbiguous) >= 1) s = find(Kind::LegAmbiguous);
  const bool structural = s < 0;
  if (s < 0) s = m.size() >= 4 ? static_cast<int>(m.size()) - 3 : 1;
  if (s < 1 || s + 1 >= static_cast<int>(m.size())) return false;
  const auto add = [&](int i, const char* role, std::initializer_list<Kind> kinds) {
    limb.roles.emplace_back(m[static_cast<std::size_t>(i)], role);
    const Kind k = tree.kind(m[static_cast<std::size_t>(i)]);
    limb.named.push_back(!structural && std::find(kinds.begin(), kinds.end(), k) != kinds.end());
  };
  add(s - 1, "UpLeg", {Kind::Thigh});
  add(s, "Leg", {Kind::Shin});
  add(s + 1, "Foot", {Kind::Foot});
  if (s + 2 < static_cast<int>(m.size())) add(s + 2, "ToeBase", {Kind::Toe});
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
  const auto find = [&](Kind kind) {
    for (std::size_t i = 0; i < m.size(); ++i) {
      if (tree.kind(m[i]) == kind) return static_cast<int>(i);
    }
    return -1;
  };
  int f = find(Kind::ForeArm);
  if (f < 0 && find(Kind::UpperArm) >= 0) f = find(Kind::UpperArm) + 1;
  if (f < 0 && find(Kind::Hand) >= 1) f = find(Kind::Hand) - 1;
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
  const auto add = [&](int i, const char* role, std::initializer_list<Kind> kinds) {
    limb.roles.emplace_back(m[static_cast<std::size_t>(i)], role);
    const Kind k = tree.kind(m[static_cast<std::size_t>(i)]);
    limb.named.push_back(!structural && std::find(kinds.begin(), kinds.end(), k) != kinds.end());
  };
  if (f >= 2) add(f - 2, "Shoulder", {Kind::Collar, Kind::ShoulderAmbiguous});
  add(f - 1, "Arm", {Kind::UpperArm});
  add(f, "ForeArm", {Kind::ForeArm});
  if (f + 1 < static_cast<int>(m.size())) add(f + 1, "Hand", {Kind::Hand});
  return true;
}

// Finger chains under a hand: each finger named by its words, phalanges numbered along the chain.
void resolve_fingers(const Tree& tree, int hand, Limb& limb) {
  static const char* const kFinger[] = {"Thumb", "Index", "Middle", "Ring", "Pinky"};
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
      limb.roles.emplace_back(j, std::string("Hand") + kFinger[finger] + std::to_string(phalanx));
      limb.named.push_back(true);
    }
  }
}

double angle_between(const V3& a, const V3& b) {
  const double n = norm3(a) * norm3(b);
  if (n <= 0) return 180;
  return std::acos(std::clamp(dot3(a, b) / n, -1.0, 1.0)) * 180 / 3.14159265358979323846;
}

// World positions of the zero pose and of every end site.
void zero_pose(const SkeletonDescription& s, std::vector<V3>& position, std::vector<V3>& tips) {
  position.resize(s.names.size());
  for (std::size_t j = 0; j < s.names.size(); ++j) {
    const int p = s.parents[j];
    position[j] = p < 0 ? s.offsets[j]
                        : V3{position[static_cast<std::size_t>(p)][0] + s.offsets[j][0],
                             position[static_cast<std::size_t>(p)][1] + s.offsets[j][1],
                             position[static_cast<std::size_t>(p)][2] + s.offsets[j][2]};
    if (j < s.end_sites.size()) {
      for (const V3& e : s.end_sites[j])
        tips.push_back({position[j][0] + e[0], position[j][1] + e[1], position[j][2] + e[2]});
    }
  }
}

// The rotation that takes the axis `up` to +Y.
Q rotation_to_y(const std::string& up) {
  const double h = std::sqrt(0.5);
  if (up == "+z") return {-h, 0, 0, h};  // -90 degrees about X: +Z -> +Y
  if (up == "-z") return {h, 0, 0, h};   // +90 degrees about X: -Z -> +Y
  if (up == "-y") return {1, 0, 0, 0};   // 180 degrees about X
  if (up == "+x") return {0, 0, h, h};   // +90 degrees about Z: +X -> +Y
  if (up == "-x") return {0, 0, -h, h};  // -90 degrees about Z: -X -> +Y
  return {0, 0, 0, 1};
}

// The axis (+y, -z, ...) a vector mostly points along, or "" when none dominates.
std::string dominant_axis(const V3& v, double share) {
  const double n = norm3(v);
  if (n <= 0) return "";
  static const char* const kAxes[] = {"x", "y", "z"};
  for (int a = 0; a < 3; ++a) {
    if (std::abs(v[static_cast<std::size_t>(a)]) >= share * n) {
      return std::string(v[static_cast<std::size_t>(a)] > 0 ? "+" : "-") + kAxes[a];
    }
  }
  return "";
}

std::string upper_axis(const std::string& axis) {
  std::string out = axis;
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

constexpr double kMannequinHeight = 1.75;  // metres, the target's standing height

// The source bone a joint's name spells exactly (letter case and a namespace aside), or null.
const char* kz_bone_name(std::string_view name) {
  static const char* const kBones[] = {
      "Hips",        "Spine",        "Spine1",       "Spine2",    "Neck",         "Head",        "HeadTop_End",
      "LeftEye",     "RightEye",     "LeftShoulder", "LeftArm",   "LeftForeArm",  "LeftHand",    "RightShoulder",
      "RightArm",    "RightForeArm", "RightHand",    "LeftUpLeg", "LeftLeg",      "LeftFoot",    "LeftToeBase",
      "LeftToe_End", "RightUpLeg",   "RightLeg",     "RightFoot", "RightToeBase", "RightToe_End"};
  if (const auto colon = name.find_last_of(':'); colon != std::string_view::npos) name = name.substr(colon + 1);
  const std::string wanted = lower(name);
  for (const char* bone : kBones) {
    if (lower(bone) == wanted) return bone;
  }
  static const std::vector<std::string> fingers = [] {
    std::vector<std::string> all;
    for (const char* side : {"Left", "Right"})
      for (const char* finger : {"Thumb", "Index", "Middle", "Ring", "Pinky"})
        for (int k = 1; k <= 4; ++k) all.push_back(std::string(side) + "Hand" + finger + std::to_string(k));
    return all;
  }();
  for (const std::string& bone : fingers) {
    if (lower(bone) == wanted) return bone.c_str();
  }
  return nullptr;
}

}  // namespace

const char* evidence_text(Evidence evidence) {
  switch (evidence) {
    case Evidence::Name:
      return "name";
    case Evidence::NameAndStructure:
      return "name and structure";
    case Evidence::Structure:
      return "structure";
    case Evidence::MapFile:
      return "map file";
  }
  return "name";
}

Side side_of_name(std::string_view name) { return read_name(words_of(name)).side; }

std::optional<double> source_units_from_text(std::string_view text) {
  const std::string t = lower(text);
  if (t == "auto") return std::nullopt;
  if (t == "cm") return 0.01;
  if (t == "m") return 1.0;
  if (t == "mm") return 0.001;
  if (t == "in") return 0.0254;
  double value = 0;
  const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (ec == std::errc() && ptr == t.data() + t.size() && std::isfinite(value) && value > 0) return value / 100;
  throw ToolError(": expected auto, cm, m, mm, in or a positive number of centimetres per file unit")
      .of_option("source-units", std::string(text));
}

std::string source_up_from_text(std::string_view text) {
  std::string t = lower(text);
  for (const char* axis : {"auto", "+y", "+z", "-y", "-z", "+x", "-x"}) {
    if (t == axis) return t;
  }
  throw ToolError(": expected auto, +y, +z, -y, -z, +x or -x").of_option("source-up", std::string(text));
}

JointMap read_joint_map(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument(path + ": cannot open map file");
  nlohmann::ordered_json document;
  try {
    document = nlohmann::ordered_json::parse(in);
  } catch (const nlohmann::json::exception& error) {
    std::string what = error.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    throw std::invalid_argument(path + ": not a JSON map file: " + what);
  }
  if (!document.is_object()) {
    throw std::invalid_argument(path + ": a map file is a JSON object of file joint -> source bone");
  }
  JointMap map;
  for (const auto& [joint, bone] : document.items()) {
    if (bone.is_null()) {
      map.emplace_back(joint, "");
    } else if (bone.is_string()) {
      map.emplace_back(joint, bone.get<std::string>());
    } else {
      std::string message = path;
      message.append(": joint \"").append(joint).append("\": the source bone must be a name (a string) or null");
      throw std::invalid_argument(message);
    }
  }
  return map;
}

SkeletonRecognition recognise_skeleton(const SkeletonDescription& skeleton, const RecognitionRequest& request) {
  const std::size_t n = skeleton.names.size();
  const Tree tree(skeleton);
  SkeletonRecognition result;
  result.sides.assign(n, Side::Centre);
  std::vector<std::optional<Assigned>> bone_of(n);
  const auto assign = [&](int j, const std::string& bone, Evidence evidence) {
    bone_of[static_cast<std::size_t>(j)] = Assigned{bone, evidence};
  };
  std::vector<std::string> missing_parts;

  // The body's centre: the shallowest joint from which three chains of at least three joints hang
  // (two legs and the spine).
  int centre = -1;
  for (std::size_t j = 0; j < n && centre < 0; ++j) {
    int big = 0;
    for (const int c : tree.kids(static_cast<int>(j))) big += tree.sz(c) >= 3;
    if (big >= 3) centre = static_cast<int>(j);
  }
  int head = -1;
  for (std::size_t j = 0; j < n; ++j) {
    if (tree.kind(static_cast<int>(j)) == Kind::Head && tree.info[j].side == Side::Centre &&
        (centre < 0 || tree.is_ancestor(centre, static_cast<int>(j)))) {
      head = static_cast<int>(j);
      break;
    }
  }
  std::vector<int> legs;
  int spine_child = -1;
  if (centre >= 0) {
    for (const int c : tree.kids(centre)) {
      if (tree.sz(c) < 3) continue;
      if (head >= 0 ? tree.is_ancestor(c, head) : (spine_child < 0 || tree.sz(c) > tree.sz(spine_child))) {
        if (spine_child >= 0 && head < 0) legs.push_back(spine_child);
        spine_child = c;
      } else {
        legs.push_back(c);
      }
    }
    if (spine_child < 0 && !legs.empty()) {
      spine_child = legs.back();
      legs.pop_back();
    }
  }
  // Two legs: prefer chains whose names say leg.
  if (legs.size() > 2) {
    std::stable_sort(legs.begin(), legs.end(), [&](int a, int b) {
      const auto leggy = [&](int j) {
        for (const int k : tree.chain_from(j)) {
          const Kind kind = tree.kind(k);
          if (kind == Kind::Thigh || kind == Kind::Shin || kind == Kind::Foot || kind == Kind::Toe) return 1;
        }
        return 0;
      };
      return leggy(a) > leggy(b);
    });
    legs.resize(2);
  }

  // The hips: a joint named so between the root and the centre, else the centre itself.
  int hips = centre;
  for (int at = centre; at >= 0; at = skeleton.parents[static_cast<std::size_t>(at)]) {
    const Kind k = tree.kind(at);
    if (k == Kind::Pelvis ||
        (k == Kind::HipAmbiguous && tree.info[static_cast<std::size_t>(at)].side == Side::Centre)) {
      hips = at;
    }
  }
  if (hips >= 0) {
    const Kind k = tree.kind(hips);
    assign(hips, "Hips", k == Kind::Pelvis || k == Kind::HipAmbiguous ? Evidence::Name : Evidence::Structure);
  }

  // The spine: without a head named, follow the child that is not one of a pair of arms.
  if (spine_child >= 0 && head < 0) {
    std::vector<int> walk;
    int at = spine_child;
    while (at >= 0) {
      walk.push_back(at);
      std::vector<int> big;
      for (const int c : tree.kids(at)) {
        if (tree.sz(c) >= 2 || tree.kids(at).size() == 1) big.push_back(c);
      }
      if (big.empty()) break;
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
            const double lateral = std::abs(skeleton.offsets[static_cast<std::size_t>(c)][0]);
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
      at = next;
    }
    while (!walk.empty() && tree.kind(walk.back()) == Kind::End) walk.pop_back();
    if (walk.size() >= 2) head = walk.back();
  }
  // From below the hips up to the head.
  std::vector<int> path;
  if (head >= 0 && hips >= 0) {
    for (int at = head; at >= 0 && at != hips; at = skeleton.parents[static_cast<std::size_t>(at)]) path.push_back(at);
    std::reverse(path.begin(), path.end());
  }

  // Arms: chains of at least three joints branching from the spine above the centre.
  std::vector<int> arms;
  if (head >= 0 && !path.empty()) {
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
      for (const int c : tree.kids(path[i])) {
        if (c != path[i + 1] && tree.sz(c) >= 3 && std::find(legs.begin(), legs.end(), c) == legs.end())
          arms.push_back(c);
      }
    }
    if (arms.size() > 2) {
      std::stable_sort(arms.begin(), arms.end(), [&](int a, int b) { return tree.sz(a) > tree.sz(b); });
      arms.resize(2);
    }

    // Neck and spine.
    int neck_at = -1;
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
      if (tree.kind(path[i]) == Kind::Neck) {
        neck_at = static_cast<int>(i);
        break;
      }
    }
    if (neck_at < 0 && path.size() >= 3) {
      // The joint below the head is a neck when no arm branches from it.
      const int below = path[path.size() - 2];
      bool arm_here = false;
      for (const int a : arms) arm_here = arm_here || skeleton.parents[static_cast<std::size_t>(a)] == below;
      if (!arm_here) neck_at = static_cast<int>(path.size()) - 2;
    }
    const std::size_t spine_end = neck_at >= 0 ? static_cast<std::size_t>(neck_at) : path.size() - 1;
    std::vector<int> spine;
    for (std::size_t i = 0; i < spine_end; ++i) spine.push_back(path[i]);
    const auto lower_name = [&](int j) {
      const std::string& name = skeleton.names[static_cast<std::size_t>(j)];
      return lower(name.substr(name.find_last_of(':') + 1));
    };
    // A lower back below two or more spine joints is no source bone: it stays in the kinematics.
    if (spine.size() >= 3 &&
        (contains(lower_name(spine[0]), "lowerback") || contains(lower_name(spine[0]), "lumbar"))) {
      spine.erase(spine.begin());
    }
    // A spine named as the source skeleton's keeps its names; any other is spread over Spine,
    // Spine1, Spine2 by place along the chain (one or two joints: the lower bones).
    bool kz_names = !spine.empty();
    for (const int j : spine) {
      const std::string name = lower_name(j);
      kz_names = kz_names && (name == "spine" || name == "spine1" || name == "spine2");
    }
    kz_names = kz_names && lower_name(spine[0]) == "spine";
    static const char* const kSpine[] = {"Spine", "Spine1", "Spine2"};
    if (kz_names) {
      for (const int j : spine) {
        for (const char* bone : kSpine) {
          if (lower_name(j) == lower(bone)) assign(j, bone, Evidence::Name);
        }
      }
    } else if (spine.size() <= 3) {
      for (std::size_t k = 0; k < spine.size(); ++k) {
        assign(spine[k], kSpine[k],
               tree.kind(spine[k]) == Kind::Spine ? Evidence::NameAndStructure : Evidence::Structure);
      }
    } else {
      const std::size_t count = spine.size();
      for (std::size_t k = 0; k < 3; ++k) {
        const auto i = static_cast<std::size_t>(std::lround(static_cast<double>(k * (count - 1)) / 2.0));
        assign(spine[i], kSpine[k],
               tree.kind(spine[i]) == Kind::Spine ? Evidence::NameAndStructure : Evidence::Structure);
      }
    }
    if (neck_at >= 0) {
      const int neck = path[static_cast<std::size_t>(neck_at)];
      assign(neck, "Neck", tree.kind(neck) == Kind::Neck ? Evidence::Name : Evidence::Structure);
    }
    assign(head, "Head", tree.kind(head) == Kind::Head ? Evidence::Name : Evidence::Structure);
    for (const int c : tree.kids(head)) {
      const NameInfo& info = tree.info[static_cast<std::size_t>(c)];
      if (info.kind == Kind::End && tree.kids(c).empty()) assign(c, "HeadTop_End", Evidence::NameAndStructure);
      if (info.kind == Kind::Eye && info.side != Side::Centre)
        assign(c, std::string(side_word(info.side)) + "Eye", Evidence::Name);
    }
  } else {
    missing_parts.push_back("no spine leading to a head");
  }

  // Rest positions, the up axis and the body's left, for sides the names do not give.
  std::vector<V3> rest;
  std::vector<V3> tips;
  zero_pose(skeleton, rest, tips);

  std::vector<Limb> leg_limbs;
  for (const int l : legs) {
    Limb limb;
    limb.joints = tree.chain_from(l);
    if (resolve_leg(tree, limb)) leg_limbs.push_back(std::move(limb));
  }
  if (leg_limbs.size() < 2) missing_parts.push_back("fewer than two legs with a thigh, shin and foot");
  std::vector<Limb> arm_limbs;
  for (const int a : arms) {
    Limb limb;
    limb.joints = tree.chain_from(a);
    if (resolve_arm(tree, limb)) {
      if (limb.roles.back().second == "Hand") resolve_fingers(tree, limb.roles.back().first, limb);
      arm_limbs.push_back(std::move(limb));
    }
  }

  // Up: from the feet to the head, in the zero pose when it stands, else in frame 0.
  const auto feet_of = [&](const std::vector<V3>& at) {
    V3 sum{0, 0, 0};
    int count = 0;
    for (const Limb& limb : leg_limbs) {
      for (const auto& [j, role] : limb.roles) {
        if (role == "Foot") {
          for (int a = 0; a < 3; ++a)
            sum[static_cast<std::size_t>(a)] += at[static_cast<std::size_t>(j)][static_cast<std::size_t>(a)];
          ++count;
        }
      }
    }
    if (count > 0) {
      for (double& v : sum) v /= count;
    }
    return std::make_pair(sum, count);
  };
  const bool have_frame = request.frame_zero.size() == n;
  bool rest_stands = false;
  std::string up = "+y";
  if (head >= 0 && hips >= 0) {
    const auto [feet, count] = feet_of(rest);
    const V3 body = count > 0 ? sub3(rest[static_cast<std::size_t>(head)], feet)
                              : sub3(rest[static_cast<std::size_t>(head)], rest[static_cast<std::size_t>(hips)]);
    const std::string axis = dominant_axis(body, 0.8);
    rest_stands = !axis.empty();
    if (rest_stands) {
      up = axis;
      result.up_evidence = "head above the feet in the zero pose";
    } else if (have_frame) {
      const auto [feet0, count0] = feet_of(request.frame_zero);
      const V3 body0 = count0 > 0 ? sub3(request.frame_zero[static_cast<std::size_t>(head)], feet0)
                                  : sub3(request.frame_zero[static_cast<std::size_t>(head)],
                                         request.frame_zero[static_cast<std::size_t>(hips)]);
      const std::string axis0 = dominant_axis(body0, 0.6);
      if (!axis0.empty()) {
        up = axis0;
        result.up_evidence = "head above the feet in frame 0 (the zero pose does not stand)";
      }
    }
    if (result.up_evidence.empty()) result.up_evidence = "no clear up in the skeleton; taken as +Y";
  }
  if (request.up != "auto") {
    up = request.up;
    result.up_evidence = "--source-up";
  }
  result.zero_pose_stands = rest_stands;
  result.up_axis = upper_axis(up);
  result.up_rotation = rotation_to_y(up);
  const Q& turn = result.up_rotation;
  const std::vector<V3>& standing = rest_stands || !have_frame ? rest : request.frame_zero;
  std::vector<V3> upright(n);
  for (std::size_t j = 0; j < n; ++j) upright[j] = rotate3(turn, standing[j]);

  // Not upright: a spine that does not rise above the legs (four legs, a snake) is no human.
  if (missing_parts.empty()) {
    const auto upright_in = [&](const std::vector<V3>& at) {
      const auto [feet, count] = feet_of(at);
      const V3 spine = sub3(at[static_cast<std::size_t>(head)], at[static_cast<std::size_t>(hips)]);
      const V3 legs_dir = sub3(at[static_cast<std::size_t>(hips)], feet);
      return count == 0 || angle_between(spine, legs_dir) <= 50;
    };
    if (!upright_in(rest) && !(have_frame && upright_in(request.frame_zero))) {
      missing_parts.push_back("no spine standing above the legs (its head is not above its hips)");
    }
  }

  // Sides: names first, else the rest offsets across the body's left.
  V3 forward{0, 0, 1};
  {
    V3 sum{0, 0, 0};
    for (const Limb& limb : leg_limbs) {
      int foot = -1, toe = -1;
      for (const auto& [j, role] : limb.roles) {
        if (role == "Foot") foot = j;
        if (role == "ToeBase") toe = j;
      }
      if (foot >= 0 && toe >= 0) {
        const V3 d = sub3(upright[static_cast<std::size_t>(toe)], upright[static_cast<std::size_t>(foot)]);
        sum = {sum[0] + d[0], 0, sum[2] + d[2]};
      }
    }
    if (norm3(sum) > 0) forward = sum;
  }
  const V3 left_axis = cross3({0, 1, 0}, forward);
  bool sides_from_offsets = false;
  const auto decide_sides = [&](std::vector<Limb>& limbs) {
    for (Limb& limb : limbs) {
      limb.side = chain_side(tree, limb.joints);
      limb.side_named = limb.side != Side::Centre;
    }
    if (limbs.size() == 2 && (limbs[0].side == limbs[1].side)) {
      // Offsets decide: the chain further along the body's left is the left one.
      const auto lateral = [&](const Limb& limb) {
        const int j = limb.roles.size() > 1 ? limb.roles[1].first : limb.joints.front();
        return dot3(sub3(upright[static_cast<std::size_t>(j)], upright[static_cast<std::size_t>(hips)]), left_axis);
      };
      const bool first_left = lateral(limbs[0]) >= lateral(limbs[1]);
      limbs[0].side = first_left ? Side::Left : Side::Right;
      limbs[1].side = first_left ? Side::Right : Side::Left;
      limbs[0].side_named = limbs[1].side_named = false;
      sides_from_offsets = true;
    } else if (limbs.size() == 1 && limbs[0].side == Side::Centre) {
      const int j = limbs[0].joints.front();
      limbs[0].side =
          dot3(sub3(upright[static_cast<std::size_t>(j)], upright[static_cast<std::size_t>(hips)]), left_axis) >= 0
              ? Side::Left
              : Side::Right;
      sides_from_offsets = true;
    }
  };
  decide_sides(leg_limbs);
  decide_sides(arm_limbs);
  for (const std::vector<Limb>* limbs : {&leg_limbs, &arm_limbs}) {
    for (const Limb& limb : *limbs) {
      for (std::size_t r = 0; r < limb.roles.size(); ++r) {
        const auto& [j, role] = limb.roles[r];
        Evidence evidence = limb.named[r] ? Evidence::Name : Evidence::NameAndStructure;
        if (tree.kind(j) == Kind::None) evidence = Evidence::Structure;
        if (!limb.side_named && evidence == Evidence::Name) evidence = Evidence::NameAndStructure;
        if (!bone_of[static_cast<std::size_t>(j)]) assign(j, side_word(limb.side) + role, evidence);
      }
      for (const int j : limb.joints) {
        for (int at = j; at >= 0; at = tree.main_child(at)) result.sides[static_cast<std::size_t>(at)] = limb.side;
      }
      // Everything below the limb's first joint is on its side.
      std::vector<int> stack{limb.joints.front()};
      while (!stack.empty()) {
        const int at = stack.back();
        stack.pop_back();
        result.sides[static_cast<std::size_t>(at)] = limb.side;
        for (const int c : tree.kids(at)) stack.push_back(c);
      }
      // The toe's end joint.
      for (const auto& [j, role] : limb.roles) {
        if (role != "ToeBase") continue;
        for (const int c : tree.kids(j)) {
          if (tree.kind(c) == Kind::End && tree.kids(c).empty())
            assign(c, std::string(side_word(limb.side)) + "Toe_End", Evidence::NameAndStructure);
        }
      }
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (result.sides[j] == Side::Centre) result.sides[j] = tree.info[j].side;
  }
  result.side_evidence = sides_from_offsets ? "rest offsets (the names give no side)" : "names";

  if (!missing_parts.empty()) {
    std::string text;
    for (const std::string& part : missing_parts) text += (text.empty() ? "" : "; ") + part;
    result.failure = text;
  }

  // The map file overrides or completes what was recognised.
  if (!request.map.empty()) {
    static const char* const kBones[] = {"Hips", "Spine",       "Spine1",  "Spine2",  "Neck",
                                         "Head", "HeadTop_End", "LeftEye", "RightEye"};
    for (const auto& [joint_name, bone_name] : request.map) {
      int joint = -1;
      for (std::size_t j = 0; j < n && joint < 0; ++j) {
        if (skeleton.names[j] == joint_name) joint = static_cast<int>(j);
      }
      for (std::size_t j = 0; j < n && joint < 0; ++j) {
        if (lower(skeleton.names[j]) == lower(joint_name)) joint = static_cast<int>(j);
      }
      if (joint < 0) {
        std::string message = request.map_name;
        message.append(": joint \"").append(joint_name).append("\" (mapped to \"").append(bone_name);
        message.append("\") is not a joint of this file");
        throw std::invalid_argument(message);
      }
      std::string bone;
      if (!bone_name.empty()) {
        const std::string wanted = lower(bone_name);
        for (const char* b : kBones) {
          if (lower(b) == wanted) bone = b;
        }
        for (const char* side : {"Left", "Right"}) {
          for (const char* part :
               {"Shoulder", "Arm", "ForeArm", "Hand", "UpLeg", "Leg", "Foot", "ToeBase", "Toe_End"}) {
            if (lower(std::string(side) + part) == wanted) bone = std::string(side) + part;
          }
          for (const char* finger : {"Thumb", "Index", "Middle", "Ring", "Pinky"}) {
            for (int k = 1; k <= 4; ++k) {
              const std::string b = std::string(side) + "Hand" + finger + std::to_string(k);
              if (lower(b) == wanted) bone = b;
            }
          }
        }
        if (bone.empty()) {
          std::string message = request.map_name;
          message.append(": \"").append(bone_name).append("\" (for joint \"").append(joint_name);
          message.append("\") is not a source bone; oxretarget skeleton kz lists them");
          throw std::invalid_argument(message);
        }
      }
      for (auto& assigned : bone_of) {
        if (assigned && assigned->bone == bone) assigned.reset();
      }
      bone_of[static_cast<std::size_t>(joint)].reset();
      if (!bone.empty()) assign(joint, bone, Evidence::MapFile);
      const Side side = side_of_name(bone);
      if (side != Side::Centre) result.sides[static_cast<std::size_t>(joint)] = side;
    }
    // What the map completes is judged again on the bones alone (and on uprightness when known).
    std::vector<std::string> still;
    const auto has = [&](const char* bone) {
      for (const auto& assigned : bone_of) {
        if (assigned && assigned->bone == bone) return true;
      }
      return false;
    };
    if (!has("Hips") || !has("Head")) still.push_back("no spine leading to a head");
    for (const char* side : {"Left", "Right"}) {
      for (const char* part : {"UpLeg", "Leg", "Foot"}) {
        if (!has((std::string(side) + part).c_str()) && still.size() < 2 &&
            (still.empty() || still.back() != "fewer than two legs with a thigh, shin and foot"))
          still.push_back("fewer than two legs with a thigh, shin and foot");
      }
    }
    result.failure.clear();
    for (const std::string& part : still) result.failure += (result.failure.empty() ? "" : "; ") + part;
  }
  // A file whose joints are (three in four at least) named as source bones is taken as the source skeleton however
  // partial (a clip of a few bones); its size and up are not guessed then.
  std::size_t named_as_source = 0;
  for (std::size_t j = 0; j < n; ++j) named_as_source += kz_bone_name(skeleton.names[j]) != nullptr;
  const bool partial_source = !result.failure.empty() && n > 0 && request.map.empty() && 4 * named_as_source >= 3 * n;
  if (partial_source) {
    result.failure.clear();
    bone_of.assign(n, std::nullopt);
    std::vector<std::string> used;
    for (std::size_t j = 0; j < n; ++j) {
      const char* bone = kz_bone_name(skeleton.names[j]);
      if (bone == nullptr || std::find(used.begin(), used.end(), bone) != used.end()) continue;
      used.emplace_back(bone);
      assign(static_cast<int>(j), bone, Evidence::Name);
      result.sides[j] = side_of_name(bone);
    }
    result.side_evidence = "names";
    result.up_rotation = {0, 0, 0, 1};
    result.up_axis = "+Y";
    result.up_evidence = "taken as +Y (a partial skeleton of source bones)";
    result.zero_pose_stands = true;
    result.metres_per_unit = request.metres_per_unit.value_or(0.01);
    result.unit_name = request.metres_per_unit ? "--source-units" : "cm";
    result.warnings.clear();
    for (std::size_t j = 0; j < n; ++j) {
      if (bone_of[j]) result.pairs.push_back({static_cast<int>(j), bone_of[j]->bone, bone_of[j]->evidence});
    }
    return result;
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (bone_of[j]) result.pairs.push_back({static_cast<int>(j), bone_of[j]->bone, bone_of[j]->evidence});
  }

  // Size: the unit among cm, m, mm and in that makes the figure stand 1.2 m to 2.3 m tall.
  double low = 1e300, high = -1e300;
  for (const V3& p : upright) {
    low = std::min(low, p[1]);
    high = std::max(high, p[1]);
  }
  result.height_units = n > 0 && high > low ? high - low : 0;
  if (request.metres_per_unit) {
    result.metres_per_unit = *request.metres_per_unit;
    result.unit_name = "--source-units";
  } else {
    static const std::pair<const char*, double> kUnits[] = {{"cm", 0.01}, {"m", 1.0}, {"mm", 0.001}, {"in", 0.0254}};
    bool found = false;
    for (const auto& [name, metres] : kUnits) {
      const double height = result.height_units * metres;
      if (height >= 1.2 && height <= 2.3) {
        result.metres_per_unit = metres;
        result.unit_name = name;
        found = true;
        break;
      }
    }
    if (!found && result.height_units > 0) {
      result.metres_per_unit = kMannequinHeight / result.height_units;
      result.unit_name = "fitted";
      char text[256];
      std::snprintf(text, sizeof text,
                    "its height (%.4g file units) is 1.2 m to 2.3 m in none of cm, m, mm, in; scaled to the "
                    "mannequin's %.2f m (1 unit = %.4g cm); choose with --source-units",
                    result.height_units, kMannequinHeight, result.metres_per_unit * 100);
      result.warnings.emplace_back(text);
    }
  }
  return result;
}

}  // namespace oxr
