#pragma once

// The clip stage: what is done to the source's frames before the solve. It keeps a range of the
// file's frames (--start, --end), resamples them to another rate (--fps) and mirrors the performance
// left for right (--mirror), frame by frame as the reader delivers them, holding at most two source
// frames. Everything after it (rest pose, rigs, root motion, QA, writers) sees an ordinary clip.

#include "BvhReader.h"
#include "Geometry.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxr {

struct JointMatch;
class FrameSource;

// A point in a clip: a frame number (0 is the file's first frame) or a time in seconds ("4.5s").
struct ClipPoint {
  double value = 0;
  bool seconds = false;
  std::string text;  // as the command line gave it; empty for a point made in code
};

// "N" (a frame) or "Xs" (seconds), both not negative; throws UsageError naming the option (its name in
// the option table, "start") otherwise.
ClipPoint clip_point_from_text(std::string_view option, std::string_view text);
std::string clip_point_text(const ClipPoint& point);

struct ClipOptions {
  std::optional<ClipPoint> start;  // first frame kept; the file's first when absent
  std::optional<ClipPoint> end;    // last frame kept (included); the file's last when absent
  double fps = 0;                  // frames per second of the result; 0 keeps the file's frames
  bool mirror = false;             // the performance mirrored left for right

  bool active() const { return start || end || fps > 0 || mirror; }
};

// The file frames [first, last] the options keep of a file of `frame_count` frames. Throws UsageError
// naming the file, the option and the file's frame count when a point lies outside it or the end comes
// before the start, and when fps would make more frames than a file may have (bvh::Limits::max_frames).
struct FrameRange {
  std::int64_t first = 0;
  std::int64_t last = -1;
};
FrameRange clip_range(const ClipOptions& options, std::int64_t frame_count, double frame_time, const std::string& name);

// Each file joint's mirror partner (itself for a joint on the middle plane). Partners come from the
// pairing: the joints of source bones LeftX and RightX are partners. A joint outside the pairing
// takes the partner its position in the hierarchy gives it: the joint that stands, above the partner
// of a paired joint below it, as far up as it stands above that joint (the CMU walk's LHipJoint and
// RHipJoint); or, below partnered joints, the child of the same rank (LThumb and RThumb).
std::vector<int> mirror_partners(const bvh::Header& header, const JointMatch& match);

// Mirrors one frame of the file's joints in place across the plane x = 0 of the file's axes (the
// skeleton's middle plane: the file faces +Z with its left at +X): joint j takes its partner p's
// rotation reflected, M R(p) M, and its own offset plus p's reflected displacement from p's offset
// (offsets: every joint's, file axes). Rotations only when translation is empty. The scratch spans
// hold one entry per joint. Mirroring twice gives the rotations back exactly.
void mirror_frame(std::span<const int> partners, std::span<const Vec3> offsets, std::span<Quat> local,
                  std::span<Vec3> translation, std::span<Quat> scratch_rotation, std::span<Vec3> scratch_translation);

// A frame's local rotation and translation of every file joint, file axes; with file_axes false the
// values are in the library's axes and are turned first. The spans hold one entry per joint.
void joint_frame(const bvh::Header& header, std::span<const double> values, bool file_axes, std::span<Quat> local,
                 std::span<Vec3> translation);

// World rotations and positions of the file's joints from their local rotations and translations.
void joint_world(const bvh::Header& header, std::span<const Quat> local, std::span<const Vec3> translation,
                 std::span<Quat> world, std::span<Vec3> position);

// The stage itself over one reader. Set up once per file; next() allocates nothing.
class ClipStage {
 public:
  // Throws UsageError (see clip_range). The source must be at its first frame.
  ClipStage(const bvh::Header& header, const JointMatch& match, const ClipOptions& options, bool file_axes,
            const std::string& name);

  std::int64_t frame_count() const { return count_; }
  double frame_time() const { return frame_time_; }

  // The next frame of the result: local rotations and translations of every file joint, file axes.
  // Returns false after the last. Throws bvh::BvhError on bad data.
  bool next(FrameSource& source, std::span<Quat> local, std::span<Vec3> translation);

 private:
  struct Frame {
    std::vector<Quat> rotation;
    std::vector<Vec3> translation;
  };
  void read(FrameSource& source, Frame& frame);
  [[noreturn]] static void ends(const FrameSource& source);
  bool step(FrameSource& source, std::span<Quat> local, std::span<Vec3> translation);
  struct EndsEarly {};  // the file held one frame fewer than it declares
  // Source frame (counted from the range's first) and fraction towards the next for output frame k.
  void source_of(std::int64_t k, std::int64_t& index, double& fraction) const;

  const bvh::Header& header_;
  bool file_axes_;
  bool mirror_;
  std::vector<int> partners_;
  std::vector<Vec3> offsets_;  // file axes
  FrameRange range_;
  std::int64_t count_ = 0;
  double frame_time_ = 0;
  // Source frames per result frame: whole_step_ > 0 when it is a whole number, up_ > 0 when its
  // inverse is; else step_.
  std::int64_t whole_step_ = 0;
  std::int64_t up_ = 0;
  double step_ = 1;

  std::int64_t produced_ = 0;
  std::int64_t skipped_ = 0;  // file frames before the range, once read past
  std::vector<double> values_;
  Frame a_, b_;             // source frames held_ and held_ + 1 (when b_valid_)
  std::int64_t held_ = -1;  // range-relative index of the frame in a_
  bool b_valid_ = false;
  std::vector<Quat> scratch_rotation_;
  std::vector<Vec3> scratch_translation_;
};

}  // namespace oxr
