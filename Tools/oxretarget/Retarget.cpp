#include "Retarget.h"

#include "AtomicFile.h"
#include "ToolError.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <unordered_map>

#include <fmt/format.h>

// Engine headers last: their check() macro must not meet other libraries' members of that name.
#include "OxRetarget_KZ_UE.h"

namespace oxr {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::ifstream open_input(const std::filesystem::path& input) {
  std::error_code error;
  const auto status = std::filesystem::status(input, error);
  if (error || !std::filesystem::exists(status)) {
    throw ToolError(input.string() + ": cannot open: no such file");
  }
  if (std::filesystem::is_directory(status)) {
    throw ToolError(input.string() + ": is a directory, not a motion file");
  }
  std::ifstream in(input, std::ios::binary);
  if (!in) {
    throw ToolError(input.string() + ": cannot open: " + std::strerror(errno));
  }
  return in;
}

}  // namespace

const std::vector<std::string>& source_bone_names() {
  static const std::vector<std::string> names = [] {
    OxSkeletonTreeKZ tree;
    tree.init();
    std::vector<std::string> result;
    for (const FName& name : tree.getBoneNames()) result.emplace_back(*name.ToString());
    return result;
  }();
  return names;
}

JointMatch match_joints(const bvh::Header& header) {
  std::vector<std::string> names;
  names.reserve(header.joints.size());
  for (const bvh::Joint& joint : header.joints) names.push_back(joint.name);
  return match_joints(names);
}

JointMatch match_joints(std::span<const std::string> joint_names) {
  std::unordered_map<std::string, std::string> bones;
  for (const std::string& bone : source_bone_names()) bones.emplace(lower(bone), bone);

  JointMatch match;
  std::unordered_map<std::string, bool> used;
  for (std::size_t j = 0; j < joint_names.size(); ++j) {
    const std::string& name = joint_names[j];
    const auto found = bones.find(lower(bvh::strip_namespace(name)));
    if (found == bones.end() || used[found->first]) {
      match.skipped.push_back(name);
      continue;
    }
    used[found->first] = true;
    match.matched.push_back({static_cast<int>(j), found->second});
  }
  for (const std::string& bone : source_bone_names()) {
    if (!used[lower(bone)]) match.missing.push_back(bone);
  }
  return match;
}

std::ifstream open_motion_file(const std::filesystem::path& input) { return open_input(input); }

bvh::Header read_header(const std::filesystem::path& input) {
  std::ifstream in = open_input(input);
  try {
    bvh::Reader reader(in);
    return reader.header();
  } catch (const bvh::BvhError& error) {
    throw ToolError(input.string() + ": " + error.what());
  }
}

FileResult retarget_stream(std::istream& in, const std::string& name, const RetargetOptions& options,
                           OxRetarget_KZ_UE& retargeter, const HeaderCallback& on_header,
                           const FrameCallback& on_frame) {
  try {
    bvh::Reader reader(in);
    const bvh::Header& header = reader.header();
    const JointMatch match = match_joints(header);

    // Every source bone is fed every frame: bones the file lacks keep their T-pose.
    OxSkeletonTreeKZ* source = retargeter.getSrcSkeleton();
    TArray<FName> names;
    TArray<TTransform<double>> transforms;
    for (const std::string& bone : source_bone_names()) {
      const FName bone_name(bone.c_str());
      names.Add(bone_name);
      transforms.Add(source->get_t_pose_in_local(bone_name));
    }
    std::vector<int> slot_of_match;
    for (const JointMatch::Pair& pair : match.matched) {
      slot_of_match.push_back(names.Find(FName(pair.bone.c_str())));
    }

    const TArray<FName> meta = retargeter.getMetaBoneName();
    OxSkeletonTreeUE* target = retargeter.getDesSkeleton();
    ClipInfo info;
    info.source = name;
    info.frame_time = header.frame_time;
    info.frame_count = header.frame_count;
    info.fingers_t_pose = options.fingers_t_pose;
    info.axes = options.axes == Axes::Bvh ? "bvh" : "none";
    for (const FName& bone : meta) {
      info.bones.emplace_back(*bone.ToString());
      info.parents.emplace_back(*target->getParentName(bone).ToString());
      const TQuat<double> t_pose = retargeter.getTPose(bone).GetRotation();
      info.t_pose.push_back({t_pose.X, t_pose.Y, t_pose.Z, t_pose.W});
    }
    if (on_header) on_header(info);

    std::vector<double> values(static_cast<std::size_t>(header.channel_count));
    std::vector<bvh::Quat> rotations(static_cast<std::size_t>(meta.Num()));
    FileResult result;
    while (reader.read_frame(values)) {
      for (std::size_t m = 0; m < match.matched.size(); ++m) {
        bvh::Quat q = bvh::joint_rotation(header.joints[static_cast<std::size_t>(match.matched[m].joint)], values);
        if (options.axes == Axes::Bvh) q = bvh::bvh_to_library_axes(q);
        transforms[slot_of_match[m]] = TTransform<double>(TQuat<double>(q[0], q[1], q[2], q[3]));
      }
      retargeter.updateSrcSkeleton(names, transforms);
      retargeter.updateDesSkeleton(options.fingers_t_pose);
      for (int32 b = 0; b < meta.Num(); ++b) {
        const TQuat<double> q = retargeter.getMetaBonePose(meta[b]).GetRotation();
        rotations[static_cast<std::size_t>(b)] = {q.X, q.Y, q.Z, q.W};
      }
      if (on_frame) on_frame(result.frames, rotations);
      ++result.frames;
    }
    return result;
  } catch (const bvh::BvhError& error) {
    throw ToolError(name + ": " + error.what());
  } catch (const ToolError& error) {
    throw ToolError(name + ": " + error.what());
  }
}

FileResult retarget_file(const std::filesystem::path& input, const std::filesystem::path& output,
                         const RetargetOptions& options, OxRetarget_KZ_UE& retargeter) {
  std::ifstream in = open_input(input);
  AtomicFile out(output);
  std::unique_ptr<PoseWriter> writer;
  const FileResult result = retarget_stream(
      in, input.string(), options, retargeter,
      [&](const ClipInfo& info) { writer = make_pose_writer(options.format, out.stream(), info); },
      [&](std::int64_t frame, const std::vector<bvh::Quat>& rotations) { writer->write_frame(frame, rotations); });
  writer->finish();
  out.commit();
  return result;
}

}  // namespace oxr
