#pragma once

// Foot contacts: which of the source's feet are planted each frame, a pass that holds the result's
// planted feet where they landed, and the slide and ground-penetration figures of both.

#include "Geometry.h"
#include "Rig.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace oxr {

struct JointMatch;

enum class Contacts { Auto, Off };
// "auto" or "off"; throws ToolError on anything else.
Contacts contacts_from_name(std::string_view name);

// How much one clip's feet slide while planted and sink below the ground, in centimetres.
struct FootFigures {
  std::int64_t contact_frames = 0;  // frames with a foot planted, both feet counted
  double slide_cm = 0;              // mean horizontal travel of a planted foot per contact frame
  double worst_slide_cm = 0;        // largest travel of a planted foot in one frame
  double penetration_cm = 0;        // mean depth below the ground per contact frame
  double worst_penetration_cm = 0;  // deepest any foot joint goes below the ground, any frame
};

struct FootReport {
  bool measured = false;  // false when the source lacks foot joints
  FootFigures source;
  FootFigures result;
};

// Watches the source's feet and, when `solve`, corrects the legs of each solved frame: a planted foot
// is held along the ground where it landed, as far as the thigh and shin can stay within a few degrees
// of the performer's directions; beyond, the hold gives way. Built once per clip; per frame it neither
// allocates nor looks up a name.
class FootContact {
 public:
  // skeleton: the target as the output describes it; performer: the target in the source's own
  // proportions (the same as skeleton without a rig); match: the file's joints as source bones. The
  // pass solves only when asked and when the legs' proportions differ from the performer's (by more
  // than 1e-4 of a length): with the performer's own, it never touches a pose.
  FootContact(const TargetSkeleton& skeleton, const TargetSkeleton& performer, const JointMatch& match,
              double frame_time, double metres_per_unit, bool solve);

  // True when the source has both feet and the pass can correct poses.
  bool measured() const { return measured_; }
  // True when apply() may change poses.
  bool solving() const { return solve_; }

  // One frame: source joint positions (file axes, upright, output units), then the solved local
  // rotations and translations of every target bone, corrected in place when solving.
  void apply(std::span<const Vec3> source_positions, std::span<Quat> rotations, std::span<Vec3> translations);

  FootReport report() const;

  // Per leg (left, right), the source's joint planted in the last frame applied: 0 the ankle, 1 the
  // ball, -1 none. Empty when the source lacks feet.
  std::span<const int> contacts() const { return measured_ ? std::span<const int>(contacts_) : std::span<const int>(); }

 private:
  // The smallest of the last N values pushed, kept in a ring of candidates (each smaller than those
  // after it): amortised constant time per value, no allocation after set-up.
  class WindowMinimum {
   public:
    void reset(std::size_t window);
    double push(double value);  // returns the minimum of the window ending with value

   private:
    std::vector<std::int64_t> index_;
    std::vector<double> value_;
    std::size_t front_ = 0, size_ = 0;
    std::int64_t pushed_ = 0;
  };
  // Where a planted foot was last frame, to measure its travel.
  struct Track {
    int anchor = -1;
    Vec3 previous{};
  };
  struct Tally {
    std::int64_t frames = 0;
    double slide = 0, worst_slide = 0, depth = 0, worst_depth = 0;
    FootFigures figures(double to_cm) const;
  };
  struct Leg {
    int thigh = 0, calf = 0, foot = 0, ball = 0;  // target bones
    double upper = 0, lower = 0;                  // thigh and calf lengths (bone offsets never change)
    std::array<int, 2> source{-1, -1};            // file joints of the foot and the ball
    std::array<bool, 2> planted{};                // the source's foot and ball joints, this frame
    int contact = -1;                             // the source's joint held this frame: 0 ankle, 1 ball, -1 none
    std::array<Vec3, 2> source_previous{};
    std::array<WindowMinimum, 2> floor;          // the source joints' lowest still heights over the last second
    std::array<double, 2> rest_height{};         // the result's ankle and ball above the ground at rest
    std::array<double, 2> source_rest_height{};  // the performer's
    int anchor = -1;                             // held at 0: the ankle, 1: the ball; -1: free
    int last_anchor = 0;                         // the anchor a blend-out lets go of
    Vec3 held{};                                 // where the anchor joint is held (along the ground)
    double weight = 0;                           // 0: the solved leg, 1: fully held
    Track source_track, result_track;
  };
  void detect(std::span<const Vec3> source_positions);
  // Starts, hands over and blends a leg's hold from this frame's contacts and its solved ankle and ball.
  void hold(Leg& leg, const Vec3& ankle_now, const Vec3& ball_now) const;
  // Where the current hold puts the ankle, the solved foot's orientation kept.
  static Vec3 held_ankle(const Leg& leg, const Vec3& ankle_now, const Vec3& ball_now);
  // Holds and lifts the legs; feet: where each leg's ankle and ball end up.
  void solve_legs(std::span<Quat> rotations, std::span<Vec3> translations, std::array<std::array<Vec3, 2>, 2>& feet);
  static void measure(Tally& tally, Track& track, int anchor, const std::array<Vec3, 2>& joints,
                      const std::array<double, 2>& rest_height);

  std::array<Leg, 2> legs_{};
  int root_ = 0, pelvis_ = 1;
  double hip_height_ = 1;  // the performer's, output units
  double frame_time_ = 1;
  double to_cm_ = 1;
  double blend_in_ = 1, blend_out_ = 1;  // weight change per frame
  double most_turn_ = 1;                 // cosine of the most a held thigh or shin turns from the solved
  bool measured_ = false;
  bool solve_ = false;
  bool first_ = true;
  std::array<int, 2> contacts_{-1, -1};
  Tally source_tally_, result_tally_;
};

}  // namespace oxr
