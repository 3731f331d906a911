#include "Qa.h"

#include "JointMatch.h"
#include "PoseWriter.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string_view>
#include <tuple>

#include <fmt/format.h>

namespace oxr {
namespace {

constexpr double kDegrees = 180.0 / std::numbers::pi;

std::string frames_text(std::int64_t first, std::int64_t count) {
  return count == 1 ? fmt::format("frame {}", first) : fmt::format("{} frames, first at frame {}", count, first);
}

}  // namespace

ClipQa::ClipQa(const ClipInfo& info)
    : skeleton_(info.skeleton), frame_time_(info.frame_time), missing_(info.missing_paired) {
  const std::size_t n = info.skeleton.names.size();
  previous_.resize(n);
  previous_norm2_.resize(n);
  flips_.resize(n);
  spikes_.resize(n);
  const auto source = [&](int bone) {
    return bone < 0 || static_cast<std::size_t>(bone) >= info.performer_joints.size()
               ? -1
               : info.performer_joints[static_cast<std::size_t>(bone)];
  };
  for (const char* side : {"l", "r"}) {
    const auto joint = [&](const char* bone) { return info.skeleton.index_of(fmt::format("{}_{}", bone, side)); };
    // A knee folds the shin back, an elbow the forearm forward (the rest faces +Z).
    hinges_.push_back({joint("thigh"), joint("calf"), joint("foot"), -1.0, {}, {}, 0, 0});
    hinges_.push_back({joint("upperarm"), joint("lowerarm"), joint("hand"), 1.0, {}, {}, 0, 0});
    for (const auto& [from, to] : {std::pair{"thigh", "calf"}, std::pair{"calf", "foot"},
                                   std::pair{"upperarm", "lowerarm"}, std::pair{"lowerarm", "hand"}}) {
      limbs_.push_back({joint(from), joint(to), source(joint(from)), source(joint(to)), {}});
    }
    Foot foot{{joint("foot"), joint("ball")}, {source(joint("foot")), source(joint("ball"))}, {}, {}, 0, {}, {}};
    if (foot.joint[0] < 0 || foot.joint[1] < 0 || foot.source[0] < 0) continue;
    for (std::size_t k = 0; k < 2; ++k) {
      const auto j = static_cast<std::size_t>(foot.joint[k]);
      foot.rest[k] = info.skeleton.rest_world[j][1];
      foot.source_rest[k] = j < info.performer.rest_world.size() ? info.performer.rest_world[j][1] : 0.0;
    }
    feet_.push_back(foot);
  }
  std::erase_if(hinges_, [](const Hinge& h) { return h.upper < 0 || h.lower < 0 || h.end < 0; });
  std::erase_if(limbs_, [](const Limb& l) { return l.from < 0 || l.to < 0 || l.source_from < 0 || l.source_to < 0; });
  if (feet_.size() != 2) feet_.clear();
  hips_ = info.skeleton.hip_height > 0 ? info.skeleton.hip_height : 1.0;
  source_hips_ = info.performer.hip_height > 0 ? info.performer.hip_height : hips_;
  to_cm_ = metres_per_unit(info.units) * 100;
  std::vector<bool> needed(n, false);
  const auto need = [&](int j) {
    for (; j >= 0 && !needed[static_cast<std::size_t>(j)]; j = skeleton_.parents[static_cast<std::size_t>(j)])
      needed[static_cast<std::size_t>(j)] = true;
  };
  for (const Hinge& h : hinges_)
    for (const int j : {h.upper, h.lower, h.end}) need(j);
  for (const Limb& l : limbs_)
    for (const int j : {l.from, l.to}) need(j);
  for (const Foot& f : feet_)
    for (const int j : f.joint) need(j);
  for (std::size_t j = 0; j < n; ++j)
    if (needed[j]) placed_.push_back(static_cast<int>(j));
  placed_rotation_.resize(n);
  placed_position_.assign(n, Vec3{0, 0, 0});
  // A turn of more than a half circle between frames cannot be seen: no spike then.
  const double half = kSpikeDegreesPerSecond * frame_time_ / 2 / kDegrees;
  spike_cos2_ = half < std::numbers::pi / 2 ? std::cos(half) * std::cos(half) : -1.0;
  twist_cos_ = std::cos(kTwistDegrees / kDegrees);
  bent_cos2_ = std::cos(kBentDegrees / kDegrees) * std::cos(kBentDegrees / kDegrees);
  limb_cos2_ = std::cos(kLimbDegrees / kDegrees) * std::cos(kLimbDegrees / kDegrees);
}

void ClipQa::note(Finding& finding, std::int64_t frame, double value) {
  if (finding.count++ == 0) finding.first = frame;
  finding.last = frame;
  finding.worst = std::max(finding.worst, value);
}

void ClipQa::observe(std::int64_t frame, const FramePose& pose, const std::vector<Vec3>& world) {
  const std::size_t n = previous_.size();
  ++observed_;
  if (have_previous_) {
    for (std::size_t j = 0; j < n; ++j) {
      const Quat now = pose.rotations[j];
      const double d = dot(previous_[j], now);
      const double now_norm2 = dot(now, now);
      if (d < 0) note(flips_[j], frame, 0);
      // The turn's cosine of half against the spike's, squared: no root or arc cosine unless it spikes.
      if (d * d < spike_cos2_ * previous_norm2_[j] * now_norm2) {
        const double speed = turn_degrees(previous_[j], now) / frame_time_;
        if (speed > kSpikeDegreesPerSecond) note(spikes_[j], frame, speed);
      }
      previous_[j] = now;
      previous_norm2_[j] = now_norm2;
    }
  } else {
    std::copy(pose.rotations.begin(), pose.rotations.end(), previous_.begin());
    for (std::size_t j = 0; j < n; ++j) previous_norm2_[j] = dot(previous_[j], previous_[j]);
  }
  have_previous_ = true;
  if (!placed_now_) {
    // World rotations of the hinges' upper bones, from their chains.
    for (const Hinge& hinge : hinges_) {
      Quat rotation = kIdentity;
      for (int at = hinge.upper; at >= 0; at = skeleton_.parents[static_cast<std::size_t>(at)])
        rotation = mul(pose.rotations[static_cast<std::size_t>(at)], rotation);
      placed_rotation_[static_cast<std::size_t>(hinge.upper)] = rotation;
    }
  }
  placed_now_ = false;
  observe_hinges(frame, world);
  observe_limbs(frame, pose, world);
  observe_feet(frame, pose, world);
}

void ClipQa::observe(std::int64_t frame, const FramePose& pose) {
  // world(j) = world(parent) x local(j); position(j) = position(parent) + world(parent) offset(j).
  for (const int at : placed_) {
    const auto j = static_cast<std::size_t>(at);
    const int parent = skeleton_.parents[j];
    if (parent < 0) {
      placed_rotation_[j] = pose.rotations[j];
      placed_position_[j] = pose.translations[j];
    } else {
      const auto p = static_cast<std::size_t>(parent);
      placed_rotation_[j] = mul(placed_rotation_[p], pose.rotations[j]);
      placed_position_[j] = add(placed_position_[p], rotate(placed_rotation_[p], pose.translations[j]));
    }
  }
  placed_now_ = true;
  observe(frame, pose, placed_position_);
}

// Where a knee or elbow bends: the lower bone's part across the upper, carried back into the rest by
// the upper bone's world change, against the rest's front.
void ClipQa::observe_hinges(std::int64_t frame, const std::vector<Vec3>& world) {
  for (Hinge& hinge : hinges_) {
    const auto upper = static_cast<std::size_t>(hinge.upper);
    const Vec3 a = world[upper];
    const Vec3 b = world[static_cast<std::size_t>(hinge.lower)];
    const Vec3 c = world[static_cast<std::size_t>(hinge.end)];
    const Vec3 ab = sub(b, a);
    const Vec3 bc = sub(c, b);
    const double d = dot(ab, bc), lengths2 = dot(ab, ab) * dot(bc, bc);
    if (!(lengths2 > 0) || (d > 0 && d * d > bent_cos2_ * lengths2)) continue;
    const Quat delta = mul(placed_rotation_[upper], conj(skeleton_.rest_world_rotation[upper]));
    const Vec3 across = sub(bc, scale_vector(ab, dot(ab, bc) / dot(ab, ab)));
    const Vec3 at_rest = rotate(conj(delta), across);
    ++hinge.bent;
    // The cosine of the angle from the front against kTwistDegrees' first: an arc cosine only when off.
    const double span = length(at_rest), front = at_rest[2] * hinge.front;
    if (!(front < twist_cos_ * span)) continue;
    const double off = std::acos(std::clamp(front / std::max(span, 1e-300), -1.0, 1.0)) * kDegrees;
    hinge.sum += off;
    if (off > 90) note(hinge.backwards, frame, std::acos(std::clamp(d / std::sqrt(lengths2), -1.0, 1.0)) * kDegrees);
    note(hinge.off, frame, off);
  }
}

// Each limb's direction against the performer's.
void ClipQa::observe_limbs(std::int64_t frame, const FramePose& pose, const std::vector<Vec3>& world) {
  const std::span<const Vec3> source = pose.source_positions;
  for (Limb& limb : limbs_) {
    const Vec3 mine = sub(world[static_cast<std::size_t>(limb.to)], world[static_cast<std::size_t>(limb.from)]);
    const Vec3 theirs =
        sub(source[static_cast<std::size_t>(limb.source_to)], source[static_cast<std::size_t>(limb.source_from)]);
    // Within the angle, compared squared: no root or arc cosine unless it is off.
    const double d = dot(mine, theirs), lengths2 = dot(mine, mine) * dot(theirs, theirs);
    if (!(lengths2 > 0) || (d > 0 && d * d >= limb_cos2_ * lengths2)) continue;
    note(limb.off, frame, std::acos(std::clamp(d / std::sqrt(lengths2), -1.0, 1.0)) * kDegrees);
  }
}

// On each of the performer's contact frames, the planted joint's height above its rest, the result's
// against the performer's (each in its own hip heights).
void ClipQa::observe_feet(std::int64_t frame, const FramePose& pose, const std::vector<Vec3>& world) {
  if (feet_.empty() || pose.contacts.size() != feet_.size()) return;
  for (std::size_t s = 0; s < feet_.size(); ++s) {
    Foot& foot = feet_[s];
    const int anchor = pose.contacts[s];
    if (anchor < 0) continue;
    // Without a toe joint the performer's ball is its ankle.
    const auto k = static_cast<std::size_t>(foot.source[1] < 0 ? 0 : anchor);
    const double mine = world[static_cast<std::size_t>(foot.joint[k])][1] - foot.rest[k];
    const double theirs = pose.source_positions[static_cast<std::size_t>(foot.source[k])][1] - foot.source_rest[k];
    const double above = mine - theirs * hips_ / source_hips_;
    ++foot.contacts;
    if (above > kFloatingHips * hips_) note(foot.floating, frame, above * to_cm_);
    if (above < -kSinkingHips * hips_) note(foot.sinking, frame, -above * to_cm_);
  }
}

std::vector<QaWarning> ClipQa::warnings() const {
  std::vector<QaWarning> out;
  const auto add = [&](const char* kind, const std::string& bone, const Finding& finding, std::optional<double> value,
                       std::string text) {
    out.push_back({kind, bone, finding.first, finding.last, finding.count, value, std::move(text), {}});
  };
  const Finding whole_clip{0, observed_ - 1, observed_, 0};
  for (const std::string& bone : missing_) {
    add("missing_bone", bone, whole_clip, std::nullopt,
        fmt::format("paired source bone {} missing, its target keeps the T-pose", bone));
  }
  for (const Hinge& hinge : hinges_) {
    const std::string& bone = skeleton_.names[static_cast<std::size_t>(hinge.lower)];
    // A frame or two (a calibration pose) is the performer's; a quarter of the bends is the rest's.
    if (hinge.backwards.count > 0 && 4 * hinge.backwards.count >= hinge.bent) {
      add("bends_backwards", bone, hinge.backwards, hinge.backwards.worst,
          fmt::format("{} bends backwards ({}, up to {:.0f} degrees)", bone,
                      frames_text(hinge.backwards.first, hinge.backwards.count), hinge.backwards.worst));
    } else if (hinge.off.count > 0 && 2 * hinge.off.count >= hinge.bent) {
      const double mean = hinge.sum / static_cast<double>(hinge.off.count);
      add("twisted", bone, hinge.off, mean,
          fmt::format("{} bends {:.0f} degrees from its front: its limb is twisted ({}, up to {:.0f} degrees)", bone,
                      mean, frames_text(hinge.off.first, hinge.off.count), hinge.off.worst));
    }
  }
  for (const Limb& limb : limbs_) {
    if (4 * limb.off.count < observed_ || limb.off.count == 0) continue;
    const std::string& bone = skeleton_.names[static_cast<std::size_t>(limb.from)];
    add("limb_direction", bone, limb.off, limb.off.worst,
        fmt::format("{} points more than {:.0f} degrees from the performer's ({}, up to {:.0f} degrees)", bone,
                    kLimbDegrees, frames_text(limb.off.first, limb.off.count), limb.off.worst));
  }
  for (const Foot& foot : feet_) {
    const std::string& bone = skeleton_.names[static_cast<std::size_t>(foot.joint[0])];
    for (const auto& [finding, kind, what] :
         {std::tuple{&foot.floating, "floating", "above"}, std::tuple{&foot.sinking, "sinking", "below"}}) {
      if (finding->count == 0 || 4 * finding->count < foot.contacts) continue;
      add(kind, bone, *finding, finding->worst,
          fmt::format(
              "{} stands {} the performer's on its contact frames ({} of {}, first at frame {}, up to {:.1f} cm)", bone,
              what, finding->count, foot.contacts, finding->first, finding->worst));
    }
  }
  for (std::size_t j = 0; j < spikes_.size(); ++j) {
    if (spikes_[j].count == 0) continue;
    add("spike", skeleton_.names[j], spikes_[j], spikes_[j].worst,
        fmt::format("{} turns faster than {:.0f} degrees/s ({}, up to {:.0f} degrees/s)", skeleton_.names[j],
                    kSpikeDegreesPerSecond, frames_text(spikes_[j].first, spikes_[j].count), spikes_[j].worst));
  }
  for (std::size_t j = 0; j < flips_.size(); ++j) {
    if (flips_[j].count == 0) continue;
    add("hemisphere_flip", skeleton_.names[j], flips_[j], std::nullopt,
        fmt::format("{} rotation flips hemisphere ({})", skeleton_.names[j],
                    frames_text(flips_[j].first, flips_[j].count)));
  }
  return out;
}

std::string warning_text(const QaWarning& warning, OptionSpelling spell) {
  return warning.text + warning.hint.text(spell);
}

std::vector<std::string> warning_lines(const std::vector<QaWarning>& warnings, OptionSpelling spell) {
  struct Kind {
    const char* name;
    const char* what;  // for several bones
    const char* unit;
  };
  static constexpr Kind kKinds[] = {{"missing_bone", "", ""},
                                    {"bends_backwards", "bend backwards", "degrees"},
                                    {"twisted", "bend away from their front (twisted limbs)", "degrees"},
                                    {"limb_direction", "point away from the performer's", "degrees"},
                                    {"floating", "stand above the performer's on contact frames", "cm"},
                                    {"sinking", "stand below the performer's on contact frames", "cm"},
                                    {"spike", "turn too fast", "degrees/s"},
                                    {"hemisphere_flip", "flip hemisphere", ""}};
  std::vector<std::string> lines;
  // Warnings of reading the file (its size, a missing frame) come first, one line each.
  for (const QaWarning& warning : warnings) {
    bool known = false;
    for (const Kind& kind : kKinds) known = known || warning.kind == kind.name;
    if (!known) lines.push_back(warning_text(warning, spell));
  }
  for (const Kind& kind : kKinds) {
    std::vector<const QaWarning*> found;
    for (const QaWarning& warning : warnings) {
      if (warning.kind == kind.name) found.push_back(&warning);
    }
    if (found.empty()) continue;
    if (found.size() == 1 && kind.name != std::string_view("missing_bone")) {
      lines.push_back(found.front()->text);
      continue;
    }
    std::string bones;
    std::int64_t first = found.front()->first_frame;
    std::int64_t last = found.front()->last_frame;
    std::int64_t frames = 0;
    const QaWarning* worst = found.front();
    for (const QaWarning* warning : found) {
      bones += (bones.empty() ? "" : ", ") + warning->bone;
      first = std::min(first, warning->first_frame);
      last = std::max(last, warning->last_frame);
      frames += warning->frames;
      if (warning->value.value_or(0) > worst->value.value_or(0)) worst = warning;
    }
    if (kind.name == std::string_view("missing_bone")) {
      lines.push_back(
          fmt::format("{} paired source bones missing, their targets keep the T-pose: {}", found.size(), bones));
      continue;
    }
    const std::string what = kind.name == std::string_view("spike")
                                 ? fmt::format("turn faster than {:.0f} degrees/s", kSpikeDegreesPerSecond)
                                 : std::string(kind.what);
    std::string line =
        fmt::format("{} bones {} ({}), {} times in frames {} to {}", found.size(), what, bones, frames, first, last);
    if (worst->value) line += fmt::format("; worst {}, {:.0f} {}", worst->bone, *worst->value, kind.unit);
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace oxr
