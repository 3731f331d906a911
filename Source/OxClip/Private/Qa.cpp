#include "Qa.h"

#include "JointMatch.h"
#include "PoseWriter.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include <fmt/format.h>

namespace oxr {
namespace {

std::string frames_text(std::int64_t first, std::int64_t count) {
  return count == 1 ? fmt::format("frame {}", first) : fmt::format("{} frames, first at frame {}", count, first);
}

}  // namespace

ClipQa::ClipQa(const ClipInfo& info)
    : skeleton_(info.skeleton), frame_time_(info.frame_time), missing_(info.missing_paired) {
  const std::size_t n = info.skeleton.names.size();
  previous_.resize(n);
  flips_.resize(n);
  spikes_.resize(n);
  for (const char* side : {"l", "r"}) {
    const auto joint = [&](const char* bone) { return info.skeleton.index_of(fmt::format("{}_{}", bone, side)); };
    // A knee bends the shin back, which puts the knee forward of the hip-ankle line; an elbow folds
    // the forearm forward, which puts the elbow behind the shoulder-wrist line.
    hinges_.push_back({joint("thigh"), joint("calf"), joint("foot"), 1.0, {}});
    hinges_.push_back({joint("upperarm"), joint("lowerarm"), joint("hand"), -1.0, {}});
  }
  std::erase_if(hinges_, [](const Hinge& h) { return h.upper < 0 || h.lower < 0 || h.end < 0; });
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
      const Quat& now = pose.rotations[j];
      if (dot(previous_[j], now) < 0) note(flips_[j], frame, 0);
      const double speed = turn_degrees(previous_[j], now) / frame_time_;
      if (speed > kSpikeDegreesPerSecond) note(spikes_[j], frame, speed);
    }
  }
  std::copy(pose.rotations.begin(), pose.rotations.end(), previous_.begin());
  have_previous_ = true;

  // World rotation of each hinge's upper bone, turned back into its rest frame.
  for (Hinge& hinge : hinges_) {
    const auto upper = static_cast<std::size_t>(hinge.upper);
    const Vec3 a = world[upper];
    const Vec3 b = world[static_cast<std::size_t>(hinge.lower)];
    const Vec3 c = world[static_cast<std::size_t>(hinge.end)];
    const Vec3 ab = sub(b, a);
    const Vec3 bc = sub(c, b);
    if (!(length(ab) * length(bc) > 0)) continue;
    const double bend = angle_degrees(ab, bc);
    if (bend < kBentDegrees) continue;
    Quat rotation = kIdentity;
    for (int at = hinge.upper; at >= 0; at = skeleton_.parents[static_cast<std::size_t>(at)]) {
      rotation = mul(pose.rotations[static_cast<std::size_t>(at)], rotation);
    }
    const Quat delta = mul(rotation, conj(skeleton_.rest_world_rotation[upper]));
    const Vec3 ac = sub(c, a);
    const double along = dot(ab, ac) / std::max(dot(ac, ac), 1e-300);
    const Vec3 off_line = sub(ab, scale_vector(ac, along));
    const double forward = rotate(conj(delta), off_line)[2] * hinge.sign;
    if (forward < 0) note(hinge.backwards, frame, bend);
  }
}

std::vector<QaWarning> ClipQa::warnings() const {
  std::vector<QaWarning> out;
  const auto add = [&](const char* kind, const std::string& bone, const Finding& finding, std::optional<double> value,
                       std::string text) {
    out.push_back({kind, bone, finding.first, finding.last, finding.count, value, std::move(text)});
  };
  const Finding whole_clip{0, observed_ - 1, observed_, 0};
  for (const std::string& bone : missing_) {
    add("missing_bone", bone, whole_clip, std::nullopt,
        fmt::format("paired source bone {} missing, its target keeps the T-pose", bone));
  }
  for (const Hinge& hinge : hinges_) {
    if (hinge.backwards.count == 0) continue;
    const std::string& bone = skeleton_.names[static_cast<std::size_t>(hinge.lower)];
    add("bends_backwards", bone, hinge.backwards, hinge.backwards.worst,
        fmt::format("{} bends backwards ({}, up to {:.0f} degrees)", bone,
                    frames_text(hinge.backwards.first, hinge.backwards.count), hinge.backwards.worst));
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

std::vector<std::string> warning_lines(const std::vector<QaWarning>& warnings) {
  struct Kind {
    const char* name;
    const char* what;  // for several bones
    const char* unit;
  };
  static constexpr Kind kKinds[] = {{"missing_bone", "", ""},
                                    {"bends_backwards", "bend backwards", "degrees"},
                                    {"spike", "turn too fast", "degrees/s"},
                                    {"hemisphere_flip", "flip hemisphere", ""}};
  std::vector<std::string> lines;
  // Warnings of reading the file (its size, a missing frame) come first, one line each.
  for (const QaWarning& warning : warnings) {
    bool known = false;
    for (const Kind& kind : kKinds) known = known || warning.kind == kind.name;
    if (!known) lines.push_back(warning.text);
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
