#pragma once

// The source file's rest pose: the pose in which the target should stand in its T-pose. The solver
// measures each source bone's change from the KZ T-pose; files from other tools rest otherwise
// (straight thumbs, an A-pose), so their rotations are re-expressed before the library sees them.

#include "BvhReader.h"
#include "Geometry.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oxr {

struct JointMatch;
class FrameSource;

struct SourceRest {
  // auto: the zero pose where it is close to a T-pose, else a T-pose built from the skeleton; zero:
  // the file's zero pose; kz: rotations are already relative to the KZ T-pose (passed through);
  // frame: frame `frame` of the file; file: the first frame of `file`, a file with the same joints.
  enum class Mode { Auto, Zero, Kz, Frame, File };
  Mode mode = Mode::Auto;
  std::int64_t frame = 0;
  std::filesystem::path file;
};

// "auto", "zero", "kz", "frame:N" or "file:PATH"; throws UsageError naming the option
// (source-rest) on anything else.
SourceRest source_rest_from_text(std::string_view text);
std::string source_rest_text(const SourceRest& rest);

// The local rotation of every file joint in the rest frame of `in`, file axes: a pass over the file
// before the main one; `in` must be seekable and is rewound. Throws ToolError naming the file.
std::vector<Quat> rest_frame_of_stream(std::istream& in, std::int64_t frame, bool file_axes, const std::string& name);
// The same from a frame source, rewound afterwards; throws ToolError when it cannot rewind.
std::vector<Quat> rest_frame_of_source(FrameSource& source, std::int64_t frame, bool file_axes,
                                       const std::string& name);

// What a pass over the clip's first frames (file axes) shows: how its elbows and knees bend, where its
// up is, where its floor is.
struct ClipSurvey {
  // The elbow and knee hinges (upper x lower bone where they bend, in the upper and the middle joint's
  // own frame), by file joint; unset where the clip does not bend them often and consistently enough.
  std::vector<std::optional<Vec3>> hinges;
  // Frames in which the head stands furthest along each signed axis from the feet: +X, -X, +Y, -Y, +Z, -Z.
  std::array<int, 6> up_votes{};
  // Per frame looked at, the lowest point along each signed axis, as min(p.x), min(-p.x), min(p.y), ...
  std::vector<std::array<double, 6>> lowest;

  // The floor along signed axis `axis` (0..5 as up_votes): the lowest point's height on the frames
  // where it stands lowest (the 5th percentile), in file units.
  double floor(int axis) const;
};

// One pass over the first frames; rewinds `source`. Nothing is seen when it cannot rewind.
ClipSurvey survey_clip(FrameSource& source, const JointMatch& match, bool file_axes);

// The local rotation of every file joint in the rest pose, file axes, for the modes zero, kz and file.
// Throws ToolError naming the rest file when it cannot be read or its joints differ.
std::vector<Quat> rest_rotations(const SourceRest& rest, const bvh::Header& header, const JointMatch& match,
                                 bool file_axes, const std::string& name);

// The rest of --source-rest auto, for a skeleton already turned upright: empty when the zero pose is
// the canonical T-pose within 2 degrees on every recognised joint (direction and roll), else the local
// rotations (file axes) of the canonical T-pose built from the skeleton: legs straight down, arms
// straight out, spine up, feet forward, each limb's roll from its anatomy. `hinges`: elbow and knee
// hinges seen in the clip, in each joint's own frame (see HingeSum), where known. `decision` gets
// "zero" or "auto:t-pose" and, in `why`, what decided.
std::vector<Quat> auto_rest_rotations(const bvh::Header& header, const JointMatch& match, bool file_axes,
                                      std::string& decision, std::string* why = nullptr,
                                      const std::vector<std::optional<Vec3>>& hinges = {});

// Turns a frame's world rotations of the file's joints into the local rotations the library is fed:
// for each matched source bone b with source parent P, SW(b) = W(b) * inverse(Wr(b)) * T(b) and
// local(b) = inverse(SW(P)) * SW(b), where W and Wr are the joint's world rotations this frame and in
// the rest pose and T the source skeleton's world T-pose (library axes); a source bone the file lacks
// keeps its T-pose below its parent. The solver then sees, for every bone, the file's world-space
// change from its own rest. Set up once per file; no allocation per frame.
class RestConverter {
 public:
  // rest_local: every file joint's local rotation in the rest pose, file axes.
  RestConverter(const std::vector<Quat>& rest_local, const bvh::Header& header, const JointMatch& match);

  // world: every file joint's world rotation this frame, file axes. out[m]: the rotation to feed for
  // match.matched[m], library axes.
  void convert(const std::vector<Quat>& world, std::vector<Quat>& out);

 private:
  struct Bone {
    int parent = -1;      // index into bones_, -1 at the root
    int joint = -1;       // file joint, -1 when the file lacks the bone
    int matched = -1;     // index into the match's pairs
    Quat t_pose_local{};  // library axes
    Quat correction{};    // inverse(Wr) * T, library axes
  };
  std::vector<Bone> bones_;  // the source skeleton, parents first
  std::vector<Quat> source_world_;
};

}  // namespace oxr
