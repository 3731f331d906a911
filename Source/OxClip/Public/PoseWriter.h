#pragma once

#include "BvhReader.h"
#include "Geometry.h"
#include "Rig.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxr {

// Vrm: a VRM character's own container (a glb named .vrm); Vrma: VRM Animation.
enum class Format { Json, Csv, Glb, Gltf, Bvh, Fbx, Vrm, Vrma };

// A body for viewers in glb/gltf and FBX results: a box per bone, skinned to it (or the character's
// own skinned mesh when it has one); or none.
enum class Mesh { Box, None };

struct BodyMesh;

// "json", "csv", "glb", "gltf", "bvh", "fbx", "vrma" ("vrm" only with a VRM character); nullopt for anything
// else.
std::optional<Format> format_from_name(std::string_view name);
// The file extension of a format, with its dot.
const char* extension_for(Format format);

// What a result file describes besides the per-frame poses.
struct ClipInfo {
  std::string source;  // input file name
  double frame_time = 0;
  std::string frame_time_text;  // the file's frame time as written (empty: none written)
  std::int64_t frame_count = 0;
  std::int64_t frames_to_reserve = 0;  // the frames the input's bytes can hold, at most frame_count
  bool fingers_t_pose = false;
  std::string axes;
  Units units = Units::Cm;
  RootMotion root_motion = RootMotion::Pelvis;
  std::string source_rest = "zero";         // as --source-rest spells it
  std::vector<std::string> bones;           // meta bones, in pairing order
  std::vector<std::string> parents;         // parent of each meta bone in the target skeleton ("None" at the root)
  std::vector<Quat> t_pose;                 // local T-pose rotation of each meta bone, library axes
  TargetSkeleton skeleton;                  // every target bone, with offsets
  std::vector<int> translated;              // target bones whose translation is animated (root motion)
  std::vector<std::string> missing_paired;  // source bones of the pairing the file lacks
  std::vector<std::string> source_joints;   // the file's joints, file order
  std::vector<int> source_parents;
  Mesh mesh = Mesh::Box;
  std::shared_ptr<const BodyMesh> own_mesh;  // the character's skinned mesh (null: boxes), when mesh is Box
  std::vector<int> source_sides;             // per file joint: 0 centre, 1 left, 2 right (recognition's)
  // The performer, for the checks that compare the result with it: the target in the source's own
  // proportions, and per target bone the file joint of its paired source bone (-1: none).
  TargetSkeleton performer;
  std::vector<int> performer_joints;
};

// One solved frame. Spans are valid during the callback only.
struct FramePose {
  std::span<const Quat> meta;              // the library's results: meta bones, pairing order, library axes
  std::span<const Quat> rotations;         // every target bone, local, file axes (root motion applied)
  std::span<const Vec3> translations;      // every target bone, local, file axes, source units
  std::span<const Vec3> source_positions;  // world position of every file joint, file axes, source units
  // Per leg (left, right), the performer's planted joint this frame: 0 the ankle, 1 the ball, -1 none;
  // empty when the source lacks feet.
  std::span<const int> contacts;
};

// Streams retargeted poses of every target bone and writes the file in place at finish().
class PoseWriter {
 public:
  virtual ~PoseWriter() = default;
  // Writes one frame. Throws ToolError on a non-finite value.
  virtual void write_frame(std::int64_t frame, const FramePose& pose) = 0;
  // Completes the file and moves it into place; until then nothing exists under the final name.
  virtual void finish() = 0;
};

// JSON and CSV: library axes, source units. glTF (glb, gltf + bin): file axes, metres. BVH: file
// axes, source units. FBX: binary 7.4, file axes, centimetres. See the README for each layout.
std::unique_ptr<PoseWriter> make_pose_writer(Format format, const std::filesystem::path& destination,
                                             const ClipInfo& info);

}  // namespace oxr
