#pragma once

// Checks a retargeted clip for what usually means it came out wrong, frame by frame.

#include "Error.h"
#include "Geometry.h"
#include "Rig.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace oxr {

struct ClipInfo;
struct FramePose;
struct JointMatch;

// Thresholds, as the README documents them.
inline constexpr double kSpikeDegreesPerSecond = 1500.0;  // a bone turning faster than this between frames
inline constexpr double kBentDegrees = 15.0;              // a knee or elbow bent at least this much is judged
// A bent knee or elbow bends this far from its front (as the rest carries it) on at least half of its
// bent frames: twisted; past 90 degrees on at least a quarter of them: backwards.
inline constexpr double kTwistDegrees = 45.0;
// A limb this far from the performer's, on at least a quarter of the frames.
inline constexpr double kLimbDegrees = 15.0;
// On at least a quarter of a foot's contact frames, its planted joint this much higher (floating) or
// lower (sinking) above its rest than the performer's, in hip heights of each body.
inline constexpr double kFloatingHips = 0.06;
inline constexpr double kSinkingHips = 0.04;

// One finding, as a program reading the report sorts and filters it.
struct QaWarning {
  // missing_bone, bends_backwards, twisted, limb_direction, floating, sinking, spike or hemisphere_flip
  std::string kind;
  std::string bone;  // the source bone for missing_bone, else the target bone
  std::int64_t first_frame = 0;
  std::int64_t last_frame = 0;
  std::int64_t frames = 0;  // frames it was seen in
  // The worst: degrees (bends_backwards: the bend; twisted: from the front, the mean over its frames;
  // limb_direction: from the performer's), cm in the output (floating, sinking), degrees/s (spike).
  std::optional<double> value;
  std::string text;  // the finding in one line, without the hint
  OptionHint hint;   // an option that settles it (the recognition of the unit), or none
};

// The warning's line: its text and its hint, the option spelled by spell.
std::string warning_text(const QaWarning& warning, OptionSpelling spell);

// One line per kind of finding: a kind seen on several bones is summed up once, with the number of
// bones, the frames and the worst case. Hints' options are spelled by spell.
std::vector<std::string> warning_lines(const std::vector<QaWarning>& warnings, OptionSpelling spell);

class ClipQa {
 public:
  explicit ClipQa(const ClipInfo& info);

  // Looks at one frame: local rotations of every target bone and world positions of its joints, as
  // written; the performer's joints and contacts (pose.source_positions, pose.contacts) to compare.
  void observe(std::int64_t frame, const FramePose& pose, const std::vector<Vec3>& world);
  // The same, placing only the joints the checks look at (for callers without world positions).
  void observe(std::int64_t frame, const FramePose& pose);

  // Every finding, naming bone and frames; source bones of the pairing the file lacks first.
  std::vector<QaWarning> warnings() const;

 private:
  struct Finding {
    std::int64_t first = -1;
    std::int64_t last = -1;
    std::int64_t count = 0;
    double worst = 0;
  };
  static void note(Finding& finding, std::int64_t frame, double value);
  void observe_hinges(std::int64_t frame, const std::vector<Vec3>& world);
  void observe_limbs(std::int64_t frame, const FramePose& pose, const std::vector<Vec3>& world);
  void observe_feet(std::int64_t frame, const FramePose& pose, const std::vector<Vec3>& world);

  TargetSkeleton skeleton_;
  double frame_time_;
  std::vector<std::string> missing_;
  std::vector<Quat> previous_;
  std::vector<double> previous_norm2_;  // dot(previous_[j], previous_[j]), kept from its frame
  bool have_previous_ = false;
  std::int64_t observed_ = 0;
  std::vector<Finding> flips_;
  std::vector<Finding> spikes_;
  struct Hinge {
    int upper, lower, end;  // joints: shoulder or hip, elbow or knee, wrist or ankle
    double front;           // +1: the lower bone folds toward the rest's front (+Z), -1: toward its back
    Finding backwards;      // bent frames past 90 degrees from the front
    Finding off;            // bent frames past kTwistDegrees from the front
    std::int64_t bent = 0;
    double sum = 0;  // degrees from the front, over the off frames
  };
  std::vector<Hinge> hinges_;
  // A limb: the target's joints and the performer's file joints at its ends.
  struct Limb {
    int from, to, source_from, source_to;
    Finding off;
  };
  std::vector<Limb> limbs_;
  // A leg's planted joints (ankle, ball): the target's and the performer's file joints, rest heights.
  struct Foot {
    std::array<int, 2> joint, source;
    std::array<double, 2> rest, source_rest;
    std::int64_t contacts = 0;
    Finding floating, sinking;
  };
  std::vector<Foot> feet_;             // left, right; empty when the performer lacks feet
  double hips_ = 1, source_hips_ = 1;  // hip heights of the result and the performer
  double to_cm_ = 1;
  std::vector<int> placed_;  // joints the checks look at and their ancestors, parents first
  std::vector<Quat> placed_rotation_;
  std::vector<Vec3> placed_position_;
  bool placed_now_ = false;  // this frame's placed_ joints are placed (their world rotations too)
  double spike_cos2_ = 1;    // squared cosine of half the turn a spike exceeds in one frame
  double twist_cos_ = 1;     // cosine of kTwistDegrees
  double bent_cos2_ = 1;     // squared cosine of kBentDegrees
  double limb_cos2_ = 1;     // squared cosine of kLimbDegrees
};

}  // namespace oxr
