#include "FootContact.h"

#include "Retarget.h"
#include "ToolError.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <utility>

namespace oxr {
namespace {

// Contact thresholds, in the performer's hip heights (and per second for speeds). A joint plants when
// it comes within kEnterHeight of the lowest it has been over the last kFloorSeconds (the floor it
// walks on, which captures often tilt or drift) at less than kEnterSpeed, and lifts only once it is
// above kLeaveHeight or faster than kLeaveSpeed: one noisy frame does not toggle a contact.
constexpr double kEnterHeight = 0.05;
constexpr double kLeaveHeight = 0.08;
constexpr double kEnterSpeed = 0.8;
constexpr double kLeaveSpeed = 1.2;
constexpr double kFloorSeconds = 1.0;
// With both planted, the hold moves from the ankle to the ball once the heel is this much higher
// above its floor than the ball (the foot rolling over its toes).
constexpr double kRollHeight = 0.02;
constexpr std::size_t kMaxFloorFrames = 512;
// Blend into a hold and back out to the solved leg over these times.
constexpr double kBlendInSeconds = 0.05;
constexpr double kBlendOutSeconds = 0.1;
// A held leg's thigh and shin turn at most this far from the solved leg's (the performer's limb
// directions); how far a hold gives way is found within kGiveTolerance of that cosine (about 0.06
// degrees) in at most kGiveSteps solves.
constexpr double kMostTurnDegrees = 6;
constexpr int kGiveSteps = 4;
constexpr double kGiveTolerance = 1e-4;
// Legs whose segments differ from the performer's by no more than this share are the performer's.
constexpr double kSameLength = 1e-4;

double horizontal(const Vec3& a, const Vec3& b) {
  const double x = a[0] - b[0], z = a[2] - b[2];
  return std::sqrt(x * x + z * z);  // std::hypot guards against overflow no body length needs, at a cost
}

// One leg's world pose: thigh, calf and foot rotations with the joints they place.
struct Chain {
  Quat pelvis_world, thigh_world, calf_world, foot_world;
  Vec3 hip, knee, ankle, ball;
};

}  // namespace

Contacts contacts_from_name(std::string_view name) {
  if (name == "auto") return Contacts::Auto;
  if (name == "off") return Contacts::Off;
  throw ToolError("unknown contacts '" + std::string(name) + "' (auto or off)");
}

FootFigures FootContact::Tally::figures(double to_cm) const {
  FootFigures f;
  f.contact_frames = frames;
  if (frames > 0) {
    f.slide_cm = slide / static_cast<double>(frames) * to_cm;
    f.penetration_cm = depth / static_cast<double>(frames) * to_cm;
  }
  f.worst_slide_cm = worst_slide * to_cm;
  f.worst_penetration_cm = worst_depth * to_cm;
  return f;
}

FootContact::FootContact(const TargetSkeleton& skeleton, const TargetSkeleton& performer, const JointMatch& match,
                         double frame_time, double metres_per_unit, bool solve)
    : root_(skeleton.root), pelvis_(skeleton.pelvis), frame_time_(frame_time > 0 ? frame_time : 1.0 / 30) {
  to_cm_ = metres_per_unit * 100;
  hip_height_ = performer.hip_height > 0 ? performer.hip_height : 1.0;
  blend_in_ = std::min(1.0, frame_time_ / kBlendInSeconds);
  blend_out_ = std::min(1.0, frame_time_ / kBlendOutSeconds);
  most_turn_ = std::cos(kMostTurnDegrees * std::numbers::pi / 180);
  measured_ = true;
  bool differs = std::abs(skeleton.motion_scale - 1) > kSameLength;
  const char* sides[2][6] = {{"thigh_l", "calf_l", "foot_l", "ball_l", "LeftFoot", "LeftToeBase"},
                             {"thigh_r", "calf_r", "foot_r", "ball_r", "RightFoot", "RightToeBase"}};
  for (std::size_t s = 0; s < 2; ++s) {
    Leg& leg = legs_[s];
    leg.thigh = skeleton.index_of(sides[s][0]);
    leg.calf = skeleton.index_of(sides[s][1]);
    leg.foot = skeleton.index_of(sides[s][2]);
    leg.ball = skeleton.index_of(sides[s][3]);
    // The chain the pass walks: root, pelvis, thigh, calf, foot, ball, each the next one's parent.
    if (leg.thigh < 0 || leg.calf < 0 || leg.foot < 0 || leg.ball < 0 ||
        skeleton.parents[static_cast<std::size_t>(pelvis_)] != root_ ||
        skeleton.parents[static_cast<std::size_t>(leg.thigh)] != pelvis_ ||
        skeleton.parents[static_cast<std::size_t>(leg.calf)] != leg.thigh ||
        skeleton.parents[static_cast<std::size_t>(leg.foot)] != leg.calf ||
        skeleton.parents[static_cast<std::size_t>(leg.ball)] != leg.foot) {
      measured_ = false;
      continue;
    }
    for (const JointMatch::Pair& pair : match.matched) {
      if (pair.bone == sides[s][4]) leg.source[0] = pair.joint;
      if (pair.bone == sides[s][5]) leg.source[1] = pair.joint;
    }
    if (leg.source[0] < 0) measured_ = false;
    const auto window = static_cast<std::size_t>(std::max(1L, std::lround(kFloorSeconds / frame_time_)));
    for (WindowMinimum& floor : leg.floor) floor.reset(std::min(window, kMaxFloorFrames));
    const std::array<int, 2> joints{leg.foot, leg.ball};
    for (std::size_t k = 0; k < 2; ++k) {
      const auto j = static_cast<std::size_t>(joints[k]);
      leg.rest_height[k] = skeleton.rest_world[j][1];
      leg.source_rest_height[k] = performer.rest_world[j][1];
    }
    leg.upper = length(skeleton.offsets[static_cast<std::size_t>(leg.calf)]);
    leg.lower = length(skeleton.offsets[static_cast<std::size_t>(leg.foot)]);
    for (const int bone : {leg.thigh, leg.calf, leg.foot, leg.ball}) {
      const auto j = static_cast<std::size_t>(bone);
      const double mine = length(skeleton.offsets[j]), theirs = length(performer.offsets[j]);
      if (std::abs(mine - theirs) > kSameLength * std::max(theirs, 1e-9)) differs = true;
    }
  }
  // The ground is where the feet stand at rest: a bind pose with the legs spread (an A-pose) lifts
  // them above a rig's lowest joint, and the output's ground is under the feet.
  if (measured_) {
    const double ground =
        std::min({legs_[0].rest_height[0], legs_[0].rest_height[1], legs_[1].rest_height[0], legs_[1].rest_height[1]});
    for (Leg& leg : legs_) {
      for (double& height : leg.rest_height) height -= ground;
    }
  }
  solve_ = solve && measured_ && differs;
}

void FootContact::WindowMinimum::reset(std::size_t window) {
  index_.assign(window, 0);
  value_.assign(window, 0.0);
  front_ = size_ = 0;
  pushed_ = 0;
}

double FootContact::WindowMinimum::push(double value) {
  const std::size_t capacity = value_.size();
  // Slot k of the ring, counted from the front (no division: k < 2 capacity).
  const auto slot = [&](std::size_t k) {
    const std::size_t at = front_ + k;
    return at < capacity ? at : at - capacity;
  };
  // Candidates no smaller than the new value can never be the minimum again.
  while (size_ > 0 && value_[slot(size_ - 1)] >= value) --size_;
  if (size_ == capacity) {  // only when every candidate is older than the window
    front_ = slot(1);
    --size_;
  }
  index_[slot(size_)] = pushed_;
  value_[slot(size_)] = value;
  ++size_;
  while (index_[front_] <= pushed_ - static_cast<std::int64_t>(capacity)) {
    front_ = slot(1);
    --size_;
  }
  ++pushed_;
  return value_[front_];
}

void FootContact::detect(std::span<const Vec3> source_positions) {
  const double enter_height = kEnterHeight * hip_height_, leave_height = kLeaveHeight * hip_height_;
  // Speeds as squared steps per frame, compared without a square root.
  const double enter_step = kEnterSpeed * hip_height_ * frame_time_,
               leave_step = kLeaveSpeed * hip_height_ * frame_time_;
  const double enter_step2 = enter_step * enter_step, leave_step2 = leave_step * leave_step;
  const double roll = kRollHeight * hip_height_;
  for (Leg& leg : legs_) {
    std::array<double, 2> heights{0, 0};
    for (std::size_t k = 0; k < 2; ++k) {
      if (leg.source[k] < 0) continue;
      const Vec3& p = source_positions[static_cast<std::size_t>(leg.source[k])];
      const Vec3 step = sub(p, leg.source_previous[k]);
      const double step2 = first_ ? std::numeric_limits<double>::infinity() : dot(step, step);
      // The floor: the lowest this joint stood, slowly, over the last second (a jump into or out
      // of a calibration pose does not count).
      const double floor = leg.floor[k].push(step2 < leave_step2 ? p[1] : std::numeric_limits<double>::infinity());
      const double height = std::isfinite(floor) ? p[1] - floor : leave_height;
      leg.planted[k] =
          leg.planted[k] ? height < leave_height && step2 < leave_step2 : height < enter_height && step2 < enter_step2;
      leg.source_previous[k] = p;
      heights[k] = height;
    }
    // The ankle is held while it is planted, unless the heel has risen above the planted ball.
    const bool rolled = leg.planted[1] && heights[0] - heights[1] > roll;
    leg.contact = leg.planted[0] && !rolled ? 0 : (leg.planted[1] ? 1 : -1);
  }
  first_ = false;
}

void FootContact::measure(Tally& tally, Track& track, int anchor, const std::array<Vec3, 2>& joints,
                          const std::array<double, 2>& rest_height) {
  const double depth = std::max({0.0, rest_height[0] - joints[0][1], rest_height[1] - joints[1][1]});
  tally.worst_depth = std::max(tally.worst_depth, depth);
  if (anchor >= 0) {
    const Vec3& at = joints[static_cast<std::size_t>(anchor)];
    ++tally.frames;
    tally.depth += depth;
    if (track.anchor == anchor) {
      const double slide = horizontal(at, track.previous);
      tally.slide += slide;
      tally.worst_slide = std::max(tally.worst_slide, slide);
    }
    track.previous = at;
  }
  track.anchor = anchor;
}

namespace {

// The pelvis's world rotation and position, under the root.
std::pair<Quat, Vec3> pelvis_pose(std::span<const Quat> r, std::span<const Vec3> t, int root, int pelvis) {
  const Quat& root_world = r[static_cast<std::size_t>(root)];
  return {mul(root_world, r[static_cast<std::size_t>(pelvis)]),
          add(t[static_cast<std::size_t>(root)], rotate(root_world, t[static_cast<std::size_t>(pelvis)]))};
}

Chain leg_chain(std::span<const Quat> r, std::span<const Vec3> t, const std::pair<Quat, Vec3>& pelvis, int thigh,
                int calf, int foot, int ball) {
  const auto at = [](int i) { return static_cast<std::size_t>(i); };
  Chain c;
  c.pelvis_world = pelvis.first;
  c.hip = add(pelvis.second, rotate(c.pelvis_world, t[at(thigh)]));
  c.thigh_world = mul(c.pelvis_world, r[at(thigh)]);
  c.knee = add(c.hip, rotate(c.thigh_world, t[at(calf)]));
  c.calf_world = mul(c.thigh_world, r[at(calf)]);
  c.ankle = add(c.knee, rotate(c.calf_world, t[at(foot)]));
  c.foot_world = mul(c.calf_world, r[at(foot)]);
  c.ball = add(c.ankle, rotate(c.foot_world, t[at(ball)]));
  return c;
}

// Where a two-bone solve puts the knee and the ankle for a goal: in the plane of hip, goal and the
// solved knee, the ankle as near the goal as the leg's lengths allow. turn: the smaller cosine of the
// thigh's and the shin's angles to the solved leg's. A leg of no length, or a goal on the hip, stays
// as solved.
struct Reach {
  Vec3 knee, ankle;
  double turn = 1;
};

Reach reach(const Chain& c, const Vec3& goal, double upper, double lower) {
  Reach r{c.knee, c.ankle, 1};
  const Vec3 to_goal = sub(goal, c.hip);
  const double span = length(to_goal);
  if (span <= 1e-12 || upper <= 0 || lower <= 0) return r;
  const Vec3 along = normalised(to_goal);
  const double d = std::clamp(span, std::abs(upper - lower) * (1 + 1e-9), (upper + lower) * (1 - 1e-12));
  const Vec3 bend = sub(c.knee, c.hip);
  Vec3 pole = sub(bend, scale_vector(along, dot(bend, along)));
  if (length(pole) < 1e-9 * upper) {
    // A straight solved leg along the goal: bend towards the pelvis's forward.
    const Vec3 forward = rotate(c.pelvis_world, {0, 0, 1});
    pole = sub(forward, scale_vector(along, dot(forward, along)));
    if (length(pole) <= 0) return r;
  }
  pole = normalised(pole);
  const double cos_hip = std::clamp((upper * upper + d * d - lower * lower) / (2 * upper * d), -1.0, 1.0);
  const double sin_hip = std::sqrt(std::max(0.0, 1 - cos_hip * cos_hip));
  r.knee = add(c.hip, add(scale_vector(along, upper * cos_hip), scale_vector(pole, upper * sin_hip)));
  r.ankle = add(c.hip, scale_vector(along, d));
  // The thigh and the shin keep their lengths: the cosines are the dot products over their squares.
  r.turn = std::min(dot(bend, sub(r.knee, c.hip)) / (upper * upper),
                    dot(sub(c.ankle, c.knee), sub(r.ankle, r.knee)) / (lower * lower));
  return r;
}

// Turns the thigh and calf by the shortest arcs onto a reach; the foot keeps its solved orientation.
void pose_leg(const Chain& c, const Reach& r, const std::array<std::size_t, 3>& bones, std::span<Quat> rotations,
              std::span<const Vec3> translations) {
  const auto [thigh, calf, foot] = bones;
  const Quat thigh_world = mul(shortest_arc(sub(c.knee, c.hip), sub(r.knee, c.hip)), c.thigh_world);
  const Quat calf_turned = mul(thigh_world, rotations[calf]);
  const Vec3 shin = rotate(calf_turned, translations[foot]);
  const Quat calf_world = mul(shortest_arc(shin, sub(r.ankle, r.knee)), calf_turned);
  rotations[thigh] = mul(conj(c.pelvis_world), thigh_world);
  rotations[calf] = mul(conj(thigh_world), calf_world);
  rotations[foot] = mul(conj(calf_world), c.foot_world);
}

}  // namespace

void FootContact::hold(Leg& leg, const Vec3& ankle_now, const Vec3& ball_now) const {
  const int anchor = leg.contact;
  if (anchor >= 0) {
    if (leg.anchor < 0) {
      // A new contact holds the anchor where it stands now, as blended out of any previous hold.
      const Vec3 ankle = add(ankle_now, scale_vector(sub(held_ankle(leg, ankle_now, ball_now), ankle_now), leg.weight));
      leg.held = anchor == 0 ? ankle : add(ankle, sub(ball_now, ankle_now));
    } else if (leg.anchor != anchor) {
      // Rolling from heel to ball (or back): the new anchor is held where the current hold puts it.
      const Vec3 ankle = held_ankle(leg, ankle_now, ball_now);
      leg.held = anchor == 0 ? ankle : add(ankle, sub(ball_now, ankle_now));
    }
    leg.anchor = anchor;
    leg.last_anchor = anchor;
    leg.weight = std::min(1.0, leg.weight + blend_in_);
  } else {
    leg.anchor = -1;
    leg.weight = std::max(0.0, leg.weight - blend_out_);
  }
}

Vec3 FootContact::held_ankle(const Leg& leg, const Vec3& ankle_now, const Vec3& ball_now) {
  // The foot keeps its solved orientation: a hold at the ball carries the ankle along the solved foot.
  return leg.last_anchor == 0 ? leg.held : sub(leg.held, sub(ball_now, ankle_now));
}

void FootContact::solve_legs(std::span<Quat> rotations, std::span<Vec3> translations,
                             std::array<std::array<Vec3, 2>, 2>& feet) {
  const auto index = [](int j) { return static_cast<std::size_t>(j); };
  const std::pair<Quat, Vec3> pelvis = pelvis_pose(rotations, translations, root_, pelvis_);
  for (std::size_t s = 0; s < 2; ++s) {
    Leg& leg = legs_[s];
    const Chain c = leg_chain(rotations, translations, pelvis, leg.thigh, leg.calf, leg.foot, leg.ball);
    const Vec3 foot = sub(c.ball, c.ankle);
    feet[s] = {c.ankle, c.ball};
    hold(leg, c.ankle, c.ball);
    // The hold moves the ankle along the ground only: heights stay the solved leg's, which carries the
    // performer's heel and toe rising and falling.
    Vec3 pull{};
    if (leg.weight > 0) {
      const Vec3 held = held_ankle(leg, c.ankle, c.ball);
      pull = {held[0] - c.ankle[0], 0, held[2] - c.ankle[2]};
    }
    // No foot goes below the ground: the ankle rises until neither it nor the ball is under its rest
    // height.
    const double lift = std::max({0.0, leg.rest_height[0] - c.ankle[1], leg.rest_height[1] - c.ball[1]});
    if (leg.weight <= 0 && lift <= 0) continue;
    const Vec3 lifted{c.ankle[0], c.ankle[1] + lift, c.ankle[2]};
    Reach r = reach(c, add(lifted, scale_vector(pull, leg.weight)), leg.upper, leg.lower);
    if (r.turn < most_turn_ && leg.weight > 0) {
      // The leg would turn too far from the performer's: the hold gives way by the least share that
      // keeps it within the limit, and the held joint is dragged along. The turn's cosine is nearly
      // linear in the share: regula falsi (Illinois) finds it in a few solves.
      Reach kept = lift > 0 ? reach(c, lifted, leg.upper, leg.lower) : Reach{c.knee, c.ankle, 1};
      const double bound = std::min(most_turn_, kept.turn);
      double share = 0, above = 1, at_share = kept.turn - bound, at_above = r.turn - bound;
      int side = 0;
      for (int step = 0; step < kGiveSteps && at_share > kGiveTolerance; ++step) {
        const double t = (share * at_above - above * at_share) / (at_above - at_share);
        const Reach tried = reach(c, add(lifted, scale_vector(pull, leg.weight * t)), leg.upper, leg.lower);
        const double at = tried.turn - bound;
        if (at >= 0) {
          share = t;
          at_share = at;
          kept = tried;
          if (side < 0) at_above *= 0.5;
          side = -1;
        } else {
          above = t;
          at_above = at;
          if (side > 0) at_share *= 0.5;
          side = 1;
        }
      }
      r = kept;
      leg.held = sub(leg.held, scale_vector(pull, 1 - share));
    }
    pose_leg(c, r, {index(leg.thigh), index(leg.calf), index(leg.foot)}, rotations, translations);
    feet[s] = {r.ankle, add(r.ankle, foot)};
  }
}

void FootContact::apply(std::span<const Vec3> source_positions, std::span<Quat> rotations,
                        std::span<Vec3> translations) {
  if (!measured_) return;
  detect(source_positions);
  std::array<std::array<Vec3, 2>, 2> feet;
  if (solve_) solve_legs(rotations, translations, feet);
  const std::pair<Quat, Vec3> pelvis =
      solve_ ? std::pair<Quat, Vec3>{} : pelvis_pose(rotations, translations, root_, pelvis_);
  for (std::size_t s = 0; s < 2; ++s) {
    Leg& leg = legs_[s];
    const int anchor = leg.contact;
    contacts_[s] = anchor;
    std::array<Vec3, 2> source{source_positions[static_cast<std::size_t>(leg.source[0])], Vec3{}};
    // Without a toe joint the source's ball is never planted; its height counts as the ankle's.
    source[1] = leg.source[1] >= 0 ? source_positions[static_cast<std::size_t>(leg.source[1])] : source[0];
    std::array<double, 2> source_rest = leg.source_rest_height;
    if (leg.source[1] < 0) source_rest[1] = source_rest[0];
    measure(source_tally_, leg.source_track, anchor, source, source_rest);
    if (!solve_) {
      const Chain c = leg_chain(rotations, translations, pelvis, leg.thigh, leg.calf, leg.foot, leg.ball);
      feet[s] = {c.ankle, c.ball};
    }
    measure(result_tally_, leg.result_track, anchor, feet[s], leg.rest_height);
  }
}

FootReport FootContact::report() const {
  FootReport report;
  report.measured = measured_;
  if (!measured_) return report;
  report.source = source_tally_.figures(to_cm_);
  report.result = result_tally_.figures(to_cm_);
  return report;
}

}  // namespace oxr
