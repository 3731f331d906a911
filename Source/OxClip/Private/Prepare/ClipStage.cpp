#include "ClipStage.h"

#include "FrameSource.h"
#include "Retarget.h"
#include "Rig.h"
#include "ToolError.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include <fmt/format.h>

namespace oxr {
namespace {

// The reflection across the plane x = 0: a vector's x changes sign; a rotation R becomes M R M, which
// keeps its angle and turns its axis a into -M a: (x, y, z, w) -> (x, -y, -z, w). Both are exact.
Quat reflect(const Quat& q) { return {q[0], -q[1], -q[2], q[3]}; }
Vec3 reflect(const Vec3& v) { return {-v[0], v[1], v[2]}; }

// The nearest whole number to x when x is that close to it (relative 1e-4: a BVH frame time carries
// five or six digits, so 1/120 s reads as 0.0083333); else 0.
std::int64_t whole(double x) {
  const double r = std::round(x);
  return r >= 1 && r < 0x1p53 && std::abs(x - r) <= 1e-4 * r ? static_cast<std::int64_t>(r) : 0;
}

std::string_view side_of(const std::string& bone, std::string& other) {
  for (const auto& [side, opposite] : {std::pair{"Left", "Right"}, std::pair{"Right", "Left"}}) {
    if (bone.rfind(side, 0) == 0) {
      other = opposite + bone.substr(std::string_view(side).size());
      return side;
    }
  }
  return {};
}

}  // namespace

ClipPoint clip_point_from_text(std::string_view option, std::string_view text) {
  ClipPoint point;
  point.text = text;
  std::string_view number = text;
  if (!number.empty() && (number.back() == 's' || number.back() == 'S')) {
    point.seconds = true;
    number.remove_suffix(1);
  }
  const char* end = number.data() + number.size();
  bool good = false;
  if (point.seconds) {
    const auto result = std::from_chars(number.data(), end, point.value);
    good = !number.empty() && result.ec == std::errc() && result.ptr == end && std::isfinite(point.value);
  } else {
    std::int64_t frame = 0;
    const auto result = std::from_chars(number.data(), end, frame);
    good = !number.empty() && result.ec == std::errc() && result.ptr == end;
    point.value = static_cast<double>(frame);
  }
  if (!good || point.value < 0) {
    throw UsageError(": expected a frame number (12) or seconds (4.5s), not negative")
        .of_option(std::string(option), std::string(text));
  }
  return point;
}

std::string clip_point_text(const ClipPoint& point) {
  if (!point.text.empty()) return point.text;
  return point.seconds ? fmt::format("{}s", point.value) : fmt::format("{:.0f}", point.value);
}

FrameRange clip_range(const ClipOptions& options, std::int64_t frame_count, double frame_time,
                      const std::string& name) {
  FrameRange range{0, frame_count - 1};
  // The frame a point names, as a double first: a point past the file's end is refused before any
  // conversion to an integer could overflow.
  const auto frame_of = [&](const char* option, const ClipPoint& point, bool up) -> double {
    if (!point.seconds) return point.value;
    if (!(frame_time > 0)) {
      throw UsageError(name, "in seconds needs a frame time above 0").of_option(option, clip_point_text(point));
    }
    const double at = point.value / frame_time;
    return up ? std::ceil(at - 1e-6) : std::floor(at + 1e-6);
  };
  const auto checked = [&](const char* option, const ClipPoint& point, bool up) {
    const double frame = frame_of(option, point, up);
    if (frame >= static_cast<double>(frame_count)) {
      const std::string where = point.seconds ? fmt::format("(frame {:.15g}) ", frame) : std::string();
      throw UsageError(name, fmt::format("{}is past the file's end: it has {} frames (0 to {})", where, frame_count,
                                         frame_count - 1))
          .of_option(option, clip_point_text(point));
    }
    return static_cast<std::int64_t>(std::max(frame, 0.0));
  };
  if (options.start) range.first = checked("start", *options.start, true);
  if (options.end) range.last = checked("end", *options.end, false);
  if (options.start && options.end && range.last < range.first) {
    throw UsageError(name, "comes before the start, " + clip_point_text(*options.start))
        .of_option("end", clip_point_text(*options.end));
  }
  if (options.fps > 0 && frame_time > 0) {
    if (!std::isfinite(1.0 / options.fps / frame_time)) {
      throw UsageError(name, fmt::format("is too low to resample a frame time of {} s", frame_time))
          .of_option("fps", fmt::format("{}", options.fps));
    }
    // The resampled clip stays within the reader's frame limit (and its count within integers).
    const double kept = static_cast<double>(range.last - range.first);
    const double frames = kept > 0 ? kept * frame_time * options.fps + 1 : 1;
    const auto limit = bvh::Limits{}.max_frames;
    if (!(frames <= static_cast<double>(limit))) {
      throw UsageError(name, fmt::format("would make {:.3g} frames, past the limit of {}", frames, limit))
          .of_option("fps", fmt::format("{}", options.fps));
    }
  }
  return range;
}

std::vector<int> mirror_partners(const bvh::Header& header, const JointMatch& match) {
  const std::size_t n = header.joints.size();
  std::vector<int> partner(n, -1);
  std::vector<bool> paired(n, false);
  std::vector<int> depth(n, 0);
  for (std::size_t j = 0; j < n; ++j) {
    const int parent = header.joints[j].parent;
    if (parent >= 0) depth[j] = depth[static_cast<std::size_t>(parent)] + 1;
  }
  // Paired joints: LeftX with RightX, every other source bone with itself.
  for (const JointMatch::Pair& pair : match.matched) {
    const auto j = static_cast<std::size_t>(pair.joint);
    paired[j] = true;
    std::string other;
    if (side_of(pair.bone, other).empty()) {
      partner[j] = pair.joint;
      continue;
    }
    for (const JointMatch::Pair& candidate : match.matched) {
      if (candidate.bone == other) partner[j] = candidate.joint;
    }
  }
  // A joint with paired joints below it: as far above the partner of the first of them.
  for (std::size_t j = 0; j < n; ++j) {
    if (paired[j]) continue;
    for (std::size_t d = j + 1; d < n && depth[d] > depth[j]; ++d) {
      if (!paired[d] || partner[d] < 0) continue;
      int at = partner[d];
      for (int up = depth[d] - depth[j]; up > 0 && at >= 0; --up)
        at = header.joints[static_cast<std::size_t>(at)].parent;
      if (at >= 0 && !paired[static_cast<std::size_t>(at)] && depth[static_cast<std::size_t>(at)] == depth[j]) {
        partner[j] = at;
      }
      break;
    }
  }
  // A joint without: the child of its parent's partner that has the same rank among the children
  // still without a partner. Parents precede children, so theirs is known.
  for (std::size_t j = 0; j < n; ++j) {
    const int parent = header.joints[j].parent;
    if (partner[j] >= 0 || paired[j] || parent < 0) continue;
    const int mirror_parent = partner[static_cast<std::size_t>(parent)];
    if (mirror_parent < 0 || mirror_parent == parent) continue;
    int rank = 0;
    for (std::size_t s = 0; s < j; ++s) {
      if (header.joints[s].parent == parent && partner[s] < 0 && !paired[s]) ++rank;
    }
    for (std::size_t c = 0; c < n; ++c) {
      if (header.joints[c].parent == mirror_parent && partner[c] < 0 && !paired[c] && rank-- == 0) {
        partner[j] = static_cast<int>(c);
        partner[c] = static_cast<int>(j);
        break;
      }
    }
  }
  // Partners must be mutual and hang from partnered parents; any other joint mirrors in place.
  for (std::size_t j = 0; j < n; ++j) {
    const int p = partner[j];
    const int parent = header.joints[j].parent;
    const bool mutual = p >= 0 && partner[static_cast<std::size_t>(p)] == static_cast<int>(j);
    const bool same_parents = mutual && (parent < 0 ? header.joints[static_cast<std::size_t>(p)].parent < 0
                                                    : partner[static_cast<std::size_t>(parent)] ==
                                                          header.joints[static_cast<std::size_t>(p)].parent);
    if (!same_parents) partner[j] = static_cast<int>(j);
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (partner[static_cast<std::size_t>(partner[j])] != static_cast<int>(j)) partner[j] = static_cast<int>(j);
  }
  return partner;
}

void mirror_frame(std::span<const int> partners, std::span<const Vec3> offsets, std::span<Quat> local,
                  std::span<Vec3> translation, std::span<Quat> scratch_rotation, std::span<Vec3> scratch_translation) {
  std::copy(local.begin(), local.end(), scratch_rotation.begin());
  for (std::size_t j = 0; j < local.size(); ++j)
    local[j] = reflect(scratch_rotation[static_cast<std::size_t>(partners[j])]);
  if (translation.empty()) return;
  // The displacement from the offset (position channels) is what moves; a joint keeps its own offset.
  std::copy(translation.begin(), translation.end(), scratch_translation.begin());
  for (std::size_t j = 0; j < translation.size(); ++j) {
    const auto p = static_cast<std::size_t>(partners[j]);
    translation[j] = add(offsets[j], reflect(sub(scratch_translation[p], offsets[p])));
  }
}

void joint_frame(const bvh::Header& header, std::span<const double> values, bool file_axes, std::span<Quat> local,
                 std::span<Vec3> translation) {
  for (std::size_t j = 0; j < header.joints.size(); ++j) {
    const bvh::Joint& joint = header.joints[j];
    const Quat q = bvh::joint_rotation(joint, values);
    local[j] = file_axes ? q : to_file_axes(q);
    translation[j] = joint_translation(joint, values, file_axes, header.positions);
  }
}

void joint_world(const bvh::Header& header, std::span<const Quat> local, std::span<const Vec3> translation,
                 std::span<Quat> world, std::span<Vec3> position) {
  forward_kinematics(
      header.joints.size(), [&](std::size_t j) { return header.joints[j].parent; },
      [&](std::size_t j) -> const Quat& { return local[j]; }, [&](std::size_t j) { return translation[j]; }, world,
      position);
}

ClipStage::ClipStage(const bvh::Header& header, const JointMatch& match, const ClipOptions& options, bool file_axes,
                     const std::string& name)
    : header_(header), file_axes_(file_axes), mirror_(options.mirror) {
  range_ = clip_range(options, header.frame_count, header.frame_time, name);
  const std::int64_t n = range_.last - range_.first + 1;
  frame_time_ = header.frame_time;
  whole_step_ = 1;
  if (options.fps > 0) {
    if (!(header.frame_time > 0)) {
      throw UsageError(name, "needs a frame time above 0 to resample from").of_option("fps");
    }
    frame_time_ = 1.0 / options.fps;
    step_ = frame_time_ / header.frame_time;
    whole_step_ = whole(step_);
    if (whole_step_ == 0) up_ = whole(1 / step_);
  }
  if (n <= 0) {
    count_ = 0;
  } else if (whole_step_ > 0) {
    count_ = (n - 1) / whole_step_ + 1;
  } else if (up_ > 0) {
    count_ = (n - 1) * up_ + 1;
  } else {
    count_ = static_cast<std::int64_t>(std::floor(static_cast<double>(n - 1) / step_ + 1e-9)) + 1;
  }
  const std::size_t joints = header.joints.size();
  if (mirror_) {
    partners_ = mirror_partners(header, match);
    for (const bvh::Joint& joint : header.joints) {
      offsets_.push_back(file_axes ? joint.offset : vector_to_file_axes(joint.offset));
    }
  }
  values_.resize(static_cast<std::size_t>(header.channel_count));
  for (Frame* frame : {&a_, &b_}) {
    frame->rotation.resize(joints);
    frame->translation.resize(joints);
  }
  scratch_rotation_.resize(joints);
  scratch_translation_.resize(joints);
}

void ClipStage::source_of(std::int64_t k, std::int64_t& index, double& fraction) const {
  fraction = 0;
  if (whole_step_ > 0) {
    index = k * whole_step_;
  } else if (up_ > 0) {
    index = k / up_;
    fraction = static_cast<double>(k % up_) / static_cast<double>(up_);
  } else {
    const double at = static_cast<double>(k) * step_;
    index = static_cast<std::int64_t>(std::floor(at));
    fraction = at - static_cast<double>(index);
    if (fraction < 1e-9) fraction = 0;
    if (fraction > 1 - 1e-9) {
      ++index;
      fraction = 0;
    }
  }
  const std::int64_t last = range_.last - range_.first;
  if (index >= last) {
    index = last;
    fraction = 0;
  }
}

void ClipStage::read(FrameSource& source, Frame& frame) {
  if (source.has_joint_frames()) {
    if (!source.read_joint_frame(frame.rotation, frame.translation)) ends(source);
    if (file_axes_) return;
    // The frame's values are in the library's axes (as joint_frame takes them).
    for (Quat& q : frame.rotation) q = to_file_axes(q);
    for (Vec3& t : frame.translation) t = vector_to_file_axes(t);
    return;
  }
  if (!source.read_frame(values_)) ends(source);
  joint_frame(header_, values_, file_axes_, frame.rotation, frame.translation);
}

void ClipStage::ends(const FrameSource& source) {
  // A file one frame shorter than it declares ends the clip there (the reader said so).
  if (source.one_frame_short()) throw EndsEarly{};
  throw bvh::BvhError("ends before the frames asked for");
}

bool ClipStage::next(FrameSource& source, std::span<Quat> local, std::span<Vec3> translation) {
  try {
    return step(source, local, translation);
  } catch (const EndsEarly&) {
    count_ = produced_;
    return false;
  }
}

bool ClipStage::step(FrameSource& source, std::span<Quat> local, std::span<Vec3> translation) {
  if (produced_ >= count_) return false;
  std::int64_t index = 0;
  double fraction = 0;
  source_of(produced_, index, fraction);
  for (; skipped_ < range_.first; ++skipped_) {
    const bool read =
        source.has_joint_frames() ? source.read_joint_frame(a_.rotation, a_.translation) : source.read_frame(values_);
    if (!read) ends(source);
  }
  while (held_ < index) {
    if (b_valid_) {
      std::swap(a_, b_);
      b_valid_ = false;
    } else {
      read(source, a_);
    }
    ++held_;
  }
  if (fraction > 0 && !b_valid_) {
    read(source, b_);
    b_valid_ = true;
  }
  if (fraction == 0) {
    std::copy(a_.rotation.begin(), a_.rotation.end(), local.begin());
    std::copy(a_.translation.begin(), a_.translation.end(), translation.begin());
  } else {
    for (std::size_t j = 0; j < local.size(); ++j) {
      local[j] = slerp(a_.rotation[j], b_.rotation[j], fraction);
      const Vec3& from = a_.translation[j];
      const Vec3& to = b_.translation[j];
      for (int c = 0; c < 3; ++c) translation[j][c] = from[c] + (to[c] - from[c]) * fraction;
    }
  }
  if (mirror_) mirror_frame(partners_, offsets_, local, translation, scratch_rotation_, scratch_translation_);
  ++produced_;
  return true;
}

}  // namespace oxr
