// FBX out and in: what the writer stores, read back by ufbx on its own terms (no conversions asked
// for), and the capture reader over the writer's files, the Maya HumanIK skeleton and hostile bytes.

#include "ClipStage.h"
#include "FbxCharacter.h"
#include "FbxReader.h"
#include "Retarget.h"
#include "Rig.h"
#include "Solver.h"
#include "ToolError.h"

#include <gtest/gtest.h>
#include <ufbx.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using oxr::Vec3;

constexpr std::int64_t kTicksPerSecond = 46'186'158'000;

struct Written {
  oxr::ClipInfo info;
  std::vector<std::vector<Vec3>> world;  // per frame, every target joint, centimetres
  double height = 0;                     // of the body in its rest pose, centimetres
};

fs::path scratch(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("ox_fbx_tests_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir / name;
}

// Retargets a capture onto the mannequin and writes the result in each of `formats`.
Written retarget_to(const fs::path& input, const std::vector<std::pair<oxr::Format, fs::path>>& outputs) {
  oxr::Solver solver;
  std::ifstream in(input, std::ios::binary);
  Written written;
  std::vector<std::unique_ptr<oxr::PoseWriter>> writers;
  double centimetres = 1;
  std::vector<Vec3> world;
  oxr::retarget_stream(
      in, input.filename().string(), {}, solver,
      [&](const oxr::ClipInfo& info) {
        written.info = info;
        for (const auto& [format, path] : outputs) writers.push_back(oxr::make_pose_writer(format, path, info));
        centimetres = oxr::metres_per_unit(info.units) * 100;
        double low = 1e300, high = -1e300;
        for (const Vec3& p : info.skeleton.rest_world) low = std::min(low, p[1]), high = std::max(high, p[1]);
        written.height = (high - low) * centimetres;
      },
      [&](std::int64_t frame, const oxr::FramePose& pose) {
        for (auto& writer : writers) writer->write_frame(frame, pose);
        oxr::target_world_positions(written.info.skeleton, pose, world);
        for (Vec3& p : world) p = oxr::scale_vector(p, centimetres);
        written.world.push_back(world);
      });
  for (auto& writer : writers) writer->finish();
  return written;
}

struct SceneDeleter {
  void operator()(ufbx_scene* scene) const { ufbx_free_scene(scene); }
};
using Scene = std::unique_ptr<ufbx_scene, SceneDeleter>;

Scene load_plain(const fs::path& path) {
  ufbx_load_opts opts{};
  ufbx_error error{};
  Scene scene(ufbx_load_file(path.string().c_str(), &opts, &error));
  EXPECT_TRUE(scene) << std::string(error.description.data, error.description.length);
  return scene;
}

// World place of a node at `time`, composed from the take's local transforms up to the scene root.
Vec3 world_at(const ufbx_anim* anim, const ufbx_node* node, double time) {
  ufbx_matrix world = ufbx_identity_matrix;
  for (; node != nullptr && !node->is_root; node = node->parent) {
    const ufbx_transform local = ufbx_evaluate_transform(anim, node, time);
    const ufbx_matrix m = ufbx_transform_to_matrix(&local);
    world = ufbx_matrix_mul(&m, &world);
  }
  return {world.cols[3].x, world.cols[3].y, world.cols[3].z};
}

double distance(const Vec3& a, const Vec3& b) { return oxr::length(oxr::sub(a, b)); }

const fs::path kData = OX_TEST_DATA_DIR;

// The retargeted walk as FBX, read by ufbx with no conversion: centimetres and +Y up as declared,
// one take of exactly the clip's length at its rate, a key on every frame tick, every joint where
// the pipeline put it on every frame (1e-5 of the body height), scale 1 and a bind pose on every
// bone, the body skinned.
TEST(FbxWriter, UfbxReadsEveryKeyWhereThePipelinePutIt) {
  const fs::path fbx = scratch("walk.fbx");
  const Written written = retarget_to(kData / "cmu_02_01_walk.bvh", {{oxr::Format::Fbx, fbx}});
  const Scene scene = load_plain(fbx);
  ASSERT_TRUE(scene);
  EXPECT_EQ(scene->metadata.version, 7400u);
  EXPECT_EQ(scene->settings.unit_meters, 0.01);
  EXPECT_EQ(scene->settings.axes.up, UFBX_COORDINATE_AXIS_POSITIVE_Y);
  EXPECT_EQ(scene->settings.axes.front, UFBX_COORDINATE_AXIS_POSITIVE_Z);
  EXPECT_EQ(scene->settings.frames_per_second, 120.0);
  ASSERT_EQ(scene->anim_stacks.count, 1u);
  const std::int64_t frames = static_cast<std::int64_t>(written.world.size());
  ASSERT_EQ(frames, 344);
  EXPECT_EQ(std::llround(scene->anim_stacks[0]->time_end * kTicksPerSecond), (frames - 1) * (kTicksPerSecond / 120));

  const oxr::TargetSkeleton& skeleton = written.info.skeleton;
  std::vector<const ufbx_node*> bones;
  for (const std::string& name : skeleton.names) {
    const ufbx_node* node = ufbx_find_node_len(scene.get(), name.data(), name.size());
    ASSERT_NE(node, nullptr) << name;
    EXPECT_EQ(node->attrib_type, UFBX_ELEMENT_BONE) << name;
    EXPECT_EQ(node->local_transform.scale.x, 1.0) << name;
    EXPECT_EQ(node->local_transform.scale.y, 1.0) << name;
    bones.push_back(node);
  }
  ASSERT_EQ(scene->poses.count, 1u);
  EXPECT_TRUE(scene->poses[0]->is_bind_pose);
  EXPECT_EQ(scene->poses[0]->bone_poses.count, skeleton.names.size() + 1);  // and the body
  ASSERT_EQ(scene->skin_deformers.count, 1u);
  EXPECT_EQ(scene->meshes.count, 1u);

  // The pelvis turns on every frame: its curves hold a key on every frame tick.
  const ufbx_anim_prop* rotation = ufbx_find_anim_prop(
      scene->anim_layers[0], &bones[static_cast<std::size_t>(skeleton.pelvis)]->element, UFBX_Lcl_Rotation);
  ASSERT_NE(rotation, nullptr);
  const ufbx_anim_curve* curve = rotation->anim_value->curves[0];
  ASSERT_EQ(static_cast<std::int64_t>(curve->keyframes.count), frames);
  for (std::int64_t i = 0; i < frames; ++i)
    EXPECT_EQ(std::llround(curve->keyframes[static_cast<std::size_t>(i)].time * kTicksPerSecond),
              i * (kTicksPerSecond / 120));

  const double tolerance = 1e-5 * written.height;
  double worst = 0;
  for (std::int64_t i = 0; i < frames; ++i) {
    for (std::size_t j = 0; j < bones.size(); ++j) {
      const Vec3 place = world_at(scene->anim, bones[j], static_cast<double>(i) / 120.0);
      worst = std::max(worst, distance(place, written.world[static_cast<std::size_t>(i)][j]));
    }
  }
  EXPECT_LT(worst, tolerance);
}

// The capture reader over the same clip written as FBX and as BVH: the same joints in the same
// places on every frame, so everything after reading sees one clip whatever its format. The first
// pass reads the FBX as channel values, the second (after a rewind) as the quaternions the clip stage
// takes: both within 1e-5 of the body height (not bit for bit: the angles round differently).
TEST(FbxCapture, ReadsTheClipTheBvhWriterWrites) {
  const fs::path fbx = scratch("both.fbx"), bvh = scratch("both.bvh");
  const Written written = retarget_to(kData / "daz_cmu_02_03.bvh", {{oxr::Format::Fbx, fbx}, {oxr::Format::Bvh, bvh}});
  oxr::FbxCapture capture(fbx, {});
  std::ifstream bvh_in(bvh, std::ios::binary);
  oxr::bvh::Reader reader(bvh_in);
  const oxr::bvh::Header& a = capture.header();
  const oxr::bvh::Header& b = reader.header();
  ASSERT_EQ(a.joints.size(), b.joints.size());
  for (std::size_t j = 0; j < a.joints.size(); ++j) EXPECT_EQ(a.joints[j].name, b.joints[j].name);
  EXPECT_EQ(a.frame_count, b.frame_count);
  EXPECT_NEAR(a.frame_time, b.frame_time, 1e-12);
  ASSERT_EQ(capture.takes().size(), 1u);
  EXPECT_EQ(capture.takes()[0].last_frame, b.frame_count - 1);

  const std::size_t n = a.joints.size();
  std::vector<double> values_a(static_cast<std::size_t>(a.channel_count)),
      values_b(static_cast<std::size_t>(b.channel_count));
  std::vector<oxr::Quat> local(n), world(n);
  std::vector<Vec3> places_a(n), places_b(n), translation(n);
  const double centimetres = oxr::metres_per_unit(written.info.units) * 100;
  double worst = 0;
  for (int pass = 0; pass < 2; ++pass) {  // the second pass after a rewind
    std::int64_t frames = 0;
    std::ifstream again(bvh, std::ios::binary);
    oxr::bvh::Reader second(again);
    oxr::bvh::Reader& from = pass == 0 ? reader : second;
    ASSERT_TRUE(capture.has_joint_frames());
    while (pass == 0 ? capture.read_frame(values_a) : capture.read_joint_frame(local, translation)) {
      ASSERT_TRUE(from.read_frame(values_b));
      if (pass == 0)
        oxr::file_joint_poses(a, values_a, true, local, world, places_a);
      else
        oxr::joint_world(a, local, translation, world, places_a);
      oxr::file_joint_poses(b, values_b, true, local, world, places_b);
      for (std::size_t j = 0; j < n; ++j)
        worst = std::max(worst, distance(places_a[j], oxr::scale_vector(places_b[j], centimetres)));
      ++frames;
    }
    EXPECT_EQ(frames, a.frame_count);
    ASSERT_TRUE(capture.rewind());
  }
  EXPECT_LT(worst, 1e-5 * written.height);
}

// The Maya HumanIK skeleton (no animation): upright, to scale.
TEST(FbxCapture, ReadsTheMayaHumanIkSkeleton) {
  oxr::FbxCapture capture(kData / "maya_character_7500_binary.fbx", {});
  const oxr::bvh::Header& header = capture.header();
  EXPECT_EQ(header.joints.front().name, "Character1_Hips");  // the Reference is a plain node
  EXPECT_GE(header.joints.size(), 60u);
  std::vector<double> values(static_cast<std::size_t>(header.channel_count));
  ASSERT_TRUE(capture.read_frame(values));
  std::vector<oxr::Quat> local(header.joints.size()), world(header.joints.size());
  std::vector<Vec3> places(header.joints.size());
  oxr::file_joint_poses(header, values, true, local, world, places);
  const auto place = [&](const char* name) {
    for (std::size_t j = 0; j < header.joints.size(); ++j)
      if (header.joints[j].name == name) return places[j];
    ADD_FAILURE() << name;
    return Vec3{};
  };
  const double head = place("Character1_Head")[1], hips = place("Character1_Hips")[1];
  EXPECT_GT(head, hips);
  EXPECT_GT(hips, place("Character1_LeftFoot")[1]);
  EXPECT_GT(head, 100.0);  // centimetres: a person
  EXPECT_LT(head, 250.0);

  // As a target rig: recognition names its joints; a capture retargeted onto it takes its bone lengths.
  oxr::RetargetOptions options;
  options.rig = std::make_shared<const oxr::RigPositions>(
      oxr::read_target_rig(kData / "maya_character_7500_binary.fbx", oxr::Units::Cm));
  const oxr::RigPositions& rig = *options.rig;
  for (const char* bone : {"pelvis", "head", "thigh_l", "calf_l", "foot_r", "upperarm_l", "hand_r"})
    EXPECT_EQ(rig.count(bone), 1u) << bone;
  EXPECT_NEAR(distance(rig.at("calf_l"), rig.at("thigh_l")),
              distance(place("Character1_LeftLeg"), place("Character1_LeftUpLeg")), 1e-9);
  oxr::Solver solver;
  std::ifstream in(kData / "daz_cmu_02_03.bvh", std::ios::binary);
  oxr::TargetSkeleton skeleton;
  oxr::retarget_stream(in, "daz.bvh", options, solver, [&](const oxr::ClipInfo& info) { skeleton = info.skeleton; },
                       {});
  const auto at = [&](const char* bone) {
    return skeleton.rest_world[static_cast<std::size_t>(skeleton.index_of(bone))];
  };
  for (const auto& [from, to] : {std::pair{"thigh_l", "calf_l"}, {"upperarm_r", "lowerarm_r"}, {"calf_r", "foot_r"}})
    EXPECT_NEAR(distance(at(from), at(to)), distance(rig.at(from), rig.at(to)), 1e-9) << from;
}

// ASCII files of FBX 7.4 and 6.1 (three limb nodes; the spine turns 0, 45, 90 degrees about Z over
// three frames at 30 fps), the take by name and by number, and sampled at another rate:
//   Hips (0, 100, 0) +- Spine (0, 10, 0) +- Head (0, 50, 0)
//   frame 2: Head = Spine + Rz(90) (0, 50, 0) = (0, 110, 0) + (-50, 0, 0).
class FbxAsciiCapture : public testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Versions, FbxAsciiCapture,
                         testing::Values("three_joints_ascii.fbx", "three_joints_fbx6100.fbx"));

TEST_P(FbxAsciiCapture, ReadsTakesByNameOrNumberAtAnyRate) {
  const fs::path file = kData / GetParam();
  const auto head_at = [&](oxr::FbxCapture& capture, std::int64_t frame) {
    const oxr::bvh::Header& header = capture.header();
    std::vector<double> values(static_cast<std::size_t>(header.channel_count));
    capture.rewind();
    for (std::int64_t f = 0; f <= frame; ++f) EXPECT_TRUE(capture.read_frame(values));
    std::vector<oxr::Quat> local(3), world(3);
    std::vector<Vec3> places(3);
    oxr::file_joint_poses(header, values, true, local, world, places);
    return places[2];
  };
  oxr::FbxCapture by_name(file, {"Take 001", {}});
  ASSERT_EQ(by_name.header().frame_count, 3);
  EXPECT_DOUBLE_EQ(by_name.header().frame_time, 1.0 / 30);
  EXPECT_EQ(by_name.takes()[0].last_frame, 2);
  EXPECT_LT(distance(head_at(by_name, 0), {0, 160, 0}), 1e-9);
  EXPECT_LT(distance(head_at(by_name, 2), {-50, 110, 0}), 1e-4);  // keys are float32
  oxr::FbxCapture at_60(file, {"1", 60.0});
  ASSERT_EQ(at_60.header().frame_count, 5);
  EXPECT_LT(distance(head_at(at_60, 4), {-50, 110, 0}), 1e-4);
  EXPECT_THROW(oxr::FbxCapture(file, {"2", {}}), oxr::UsageError);
}

// An FBX character that faces +X (the mannequin written by the FBX writer, its root a quarter turn
// about Y) is read as facing +X: driven by the same capture, every joint lands where the character
// facing +Z puts it, turned by that quarter turn.
TEST(FbxCharacter, FacingPlusXMovesAsFacingPlusZTurned) {
  const fs::path capture = kData / "daz_cmu_02_03.bvh";
  const Written written = retarget_to(capture, {});
  const oxr::Quat quarter{0, std::sqrt(0.5), 0, std::sqrt(0.5)};  // about +Y: +Z to +X
  std::vector<Scene> results;
  for (const bool turned : {false, true}) {
    oxr::ClipInfo info = written.info;
    oxr::TargetSkeleton& skeleton = info.skeleton;
    if (turned) {
      const auto root = static_cast<std::size_t>(skeleton.root);
      ASSERT_EQ(skeleton.rest_world[root], (Vec3{0, 0, 0}));
      skeleton.rest[root] = oxr::mul(quarter, skeleton.rest[root]);
      for (Vec3& p : skeleton.rest_world) p = oxr::rotate(quarter, p);
      for (oxr::Quat& q : skeleton.rest_world_rotation) q = oxr::mul(quarter, q);
    }
    const fs::path character = scratch(turned ? "facing_x.fbx" : "facing_z.fbx");
    auto writer = oxr::make_pose_writer(oxr::Format::Fbx, character, info);
    writer->write_frame(0, {{}, skeleton.rest, skeleton.offsets, {}, {}});
    writer->finish();
    oxr::RetargetOptions options;
    options.fbx_character = oxr::FbxCharacter::read(character, options.units);
    options.rig = std::make_shared<const oxr::RigPositions>(options.fbx_character->rig);
    options.format = oxr::Format::Fbx;
    const fs::path output = scratch(turned ? "walk_x.fbx" : "walk_z.fbx");
    oxr::Solver solver;
    oxr::retarget_file(capture, output, options, solver);
    results.push_back(load_plain(output));
    ASSERT_TRUE(results.back());
  }
  const ufbx_scene& facing_z = *results[0];
  const ufbx_scene& facing_x = *results[1];
  ASSERT_EQ(facing_z.anim_stacks.count, 1u);
  const double end = facing_z.anim_stacks[0]->time_end;
  EXPECT_GT(end, 1.0);
  double worst = 0;
  std::size_t compared = 0;
  for (const ufbx_node* node : facing_z.nodes) {
    if (node->bone == nullptr) continue;
    const ufbx_node* twin = ufbx_find_node_len(&facing_x, node->name.data, node->name.length);
    ASSERT_NE(twin, nullptr) << node->name.data;
    for (int k = 0; k <= 4; ++k) {
      const double time = end * k / 4;
      const Vec3 expected = oxr::rotate(quarter, world_at(facing_z.anim, node, time));
      worst = std::max(worst, distance(world_at(facing_x.anim, twin, time), expected));
    }
    ++compared;
  }
  EXPECT_EQ(compared, written.info.skeleton.names.size());
  EXPECT_LT(worst, 1e-5 * written.height);
}

// Damaged and hostile files, as captures and as characters (skeleton and skinned mesh): one line
// naming the problem, never a crash, memory within ufbx's bound.
TEST(FbxCapture, RefusesDamagedFilesInOneLine) {
  const fs::path fbx = scratch("good.fbx");
  retarget_to(kData / "daz_cmu_02_03.bvh", {{oxr::Format::Fbx, fbx}});
  std::ifstream in(fbx, std::ios::binary);
  const std::string good((std::istreambuf_iterator<char>(in)), {});
  std::vector<std::string> cases;
  for (const std::size_t cut : {0ul, 20ul, 27ul, 400ul, good.size() / 2}) cases.push_back(good.substr(0, cut));
  // An array that claims to be compressed and is not.
  std::string compressed = good;
  const std::size_t at = compressed.find("KeyValueFloat");
  ASSERT_NE(at, std::string::npos);
  compressed[at + 13 + 1 + 4] = 1;  // after the name: the type, the count, then the encoding
  cases.push_back(compressed);
  // ASCII: a count of a billion, and nesting ten thousand deep.
  cases.push_back(
      "; FBX 7.4.0 project file\nObjects: {\nGeometry: 1, \"Geometry::a\", \"Mesh\" {\n"
      "Vertices: *1000000000 {\na: 1,2,3\n}\n}\n}\n");
  std::string deep = "; FBX 7.4.0 project file\n";
  for (int i = 0; i < 10000; ++i) deep += "A: {\n";
  cases.push_back(deep + std::string(10000, '}'));
  cases.push_back("; FBX 7.4.0 project file\nObjects: {\n}\n");  // no skeleton
  for (const std::string& bytes : cases) {
    try {
      oxr::FbxCapture capture(std::as_bytes(std::span(bytes.data(), bytes.size())), {});
      std::vector<double> values(static_cast<std::size_t>(capture.header().channel_count));
      while (capture.read_frame(values)) {
      }
      ADD_FAILURE() << "accepted " << bytes.size() << " bytes";
    } catch (const oxr::ToolError& error) {
      const std::string text = error.what();
      EXPECT_FALSE(text.empty());
      EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
    const fs::path file = scratch("damaged.fbx");
    std::ofstream(file, std::ios::binary) << bytes;
    try {
      oxr::FbxCharacter::read(file, oxr::Units::Cm);
      ADD_FAILURE() << "a character from " << bytes.size() << " bytes";
    } catch (const oxr::Error& error) {
      const std::string text = error.what();
      EXPECT_NE(text.find("damaged.fbx"), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
  }
  // The whole file is a character with the body as its skinned mesh.
  EXPECT_TRUE(oxr::FbxCharacter::read(fbx, oxr::Units::Cm)->mesh);
}

}  // namespace
