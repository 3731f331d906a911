// Recognition's first pass: what each joint's name says (its kind, side and finger), and the source
// skeleton's own names.
#include "RecognitionPasses.h"

#include "Solver.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace oxr::recognition {
namespace {

bool is_alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool is_upper(char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; }
bool is_lower(char c) { return std::islower(static_cast<unsigned char>(c)) != 0; }
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
}  // namespace

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

namespace {

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

}  // namespace

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

namespace {

// How many leading words every joint's name shares ("Bip01", "Character1"): no part of any name. A
// side word ends the shared prefix.
std::size_t shared_prefix(const std::vector<std::vector<std::string>>& words) {
  const std::size_t n = words.size();
  std::size_t common = 0;
  if (n < 3) return 0;
  const std::vector<std::string>& ref = words[1];
  for (; common < ref.size(); ++common) {
    bool same = words[0].size() > common && words[0][common] == ref[common];
    for (std::size_t j = 1; j < n && same; ++j) same = words[j].size() > common + 1 && words[j][common] == ref[common];
    if (!same) break;
    const std::string& w = ref[common];
    if (w == "l" || w == "left" || w == "r" || w == "right") break;
  }
  return common;
}

}  // namespace

void read_names(State& state) {
  const std::size_t n = state.n;
  std::vector<std::vector<std::string>> words(n);
  for (std::size_t j = 0; j < n; ++j) words[j] = words_of(state.skeleton.names[j]);
  const std::size_t common = shared_prefix(words);
  std::vector<NameInfo>& info = state.tree.info;
  info.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    std::vector<std::string> w(words[j].begin() + static_cast<std::ptrdiff_t>(std::min(common, words[j].size())),
                               words[j].end());
    info[j] = read_name(w);
    if (w.empty()) info[j].kind = Kind::Root;
  }
}

const std::string* source_bone_spelled(std::string_view name) {
  // The source skeleton's names, lower case beside each.
  static const std::vector<std::pair<std::string, const std::string*>> kBones = [] {
    std::vector<std::pair<std::string, const std::string*>> bones;
    for (const std::string& bone : source_skeleton().names) bones.emplace_back(lower(bone), &bone);
    return bones;
  }();
  const std::string wanted = lower(name);
  for (const auto& [lowered, bone] : kBones) {
    if (lowered == wanted) return bone;
  }
  return nullptr;
}

const std::string* source_bone_named(std::string_view name) {
  if (const auto colon = name.find_last_of(':'); colon != std::string_view::npos) name = name.substr(colon + 1);
  return source_bone_spelled(name);
}

}  // namespace oxr::recognition

namespace oxr {

Side side_of_name(std::string_view name) { return recognition::read_name(recognition::words_of(name)).side; }

}  // namespace oxr
