// Skeleton recognition runs once per file, before the first frame: its cost beside reading the
// file's header (the least a file costs before its frames), measured in the same run; and a
// character's, once per run.
#include "BvhReader.h"
#include "CharacterMap.h"
#include "Recognition.h"
#include "Retarget.h"
#include "Rig.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

const char* const kFiles[] = {"cmu_02_01_walk.bvh", "biovision3dsmax_cmu_jumpingjacks.bvh", "daz_cmu_02_03.bvh",
                              "mayarig_dfki_walk.bvh", "smpl_wham.bvh"};

// The file's text up to its first frame: the header alone.
std::string header_text(int file) {
  std::ifstream in(std::string(OX_TEST_DATA_DIR) + "/" + kFiles[file], std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  return all.substr(0, all.find('\n', all.find("Frame Time:")) + 1);
}

void BM_Recognition_ReadHeader(benchmark::State& state) {
  const std::string text = header_text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::istringstream in(text);
    oxr::bvh::Reader reader(in);
    benchmark::DoNotOptimize(reader.header().joints.size());
  }
  state.SetLabel(kFiles[state.range(0)]);
}
BENCHMARK(BM_Recognition_ReadHeader)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

void BM_Recognition_Recognise(benchmark::State& state) {
  const std::string text = header_text(static_cast<int>(state.range(0)));
  std::istringstream in(text);
  oxr::bvh::Reader reader(in);
  const oxr::SkeletonDescription skeleton = oxr::describe_skeleton(reader.header(), true);
  for (auto _ : state) {
    const oxr::SkeletonRecognition recognition = oxr::recognise_skeleton(skeleton, {});
    benchmark::DoNotOptimize(recognition.pairs.size());
  }
  state.SetLabel(kFiles[state.range(0)]);
}
BENCHMARK(BM_Recognition_Recognise)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

// A character's target recognition (the joint of each target bone, its facing and its canonical rest,
// from the bind pose) on a 100-joint character in Mixamo's naming: 52 deforming joints of the body,
// twist bones, finger and head ends, IK chains no vertex follows and face helpers.
oxr::CharacterJoints hundred_joint_character() {
  oxr::CharacterJoints joints;
  const auto add = [&](const std::string& name, int parent, const oxr::Vec3& at, bool deforms = true) {
    joints.names.push_back("mixamorig:" + name);
    joints.parents.push_back(parent);
    joints.order.push_back(static_cast<int>(joints.names.size()) - 1);
    joints.bind.push_back(oxr::scale_vector(at, 0.01));
    joints.rotations.push_back(oxr::kIdentity);
    joints.skin.push_back(true);
    joints.deforms.push_back(deforms);
    joints.nameable.push_back(true);
    return static_cast<int>(joints.names.size()) - 1;
  };
  const auto at = [](const char* bone) { return oxr::mannequin_t_pose_position(bone); };
  const int hips = add("Hips", -1, at("pelvis"));
  const int spine = add("Spine", hips, at("spine_01"));
  const int spine1 = add("Spine1", spine, at("spine_03"));
  const int spine2 = add("Spine2", spine1, at("spine_05"));
  const int neck = add("Neck", spine2, at("neck_01"));
  const int head = add("Head", neck, at("head"));
  add("HeadTop_End", head, oxr::add(at("head"), {0, 18, 0}));
  for (int k = 0; k < 13; ++k) add("Face" + std::to_string(k), head, oxr::add(at("head"), {k - 6.0, 8, 9}));
  for (const auto& [s, side] : {std::pair{"l", "Left"}, std::pair{"r", "Right"}}) {
    const auto bone = [&, s = std::string(s)](const char* name) { return at((std::string(name) + "_" + s).c_str()); };
    const std::string L = side;
    const int shoulder = add(L + "Shoulder", spine2, bone("clavicle"));
    const int arm = add(L + "Arm", shoulder, bone("upperarm"));
    add(L + "ArmTwist", arm, oxr::scale_vector(oxr::add(bone("upperarm"), bone("lowerarm")), 0.5));
    const int forearm = add(L + "ForeArm", arm, bone("lowerarm"));
    add(L + "ForeArmTwist", forearm, oxr::scale_vector(oxr::add(bone("lowerarm"), bone("hand")), 0.5));
    const int hand = add(L + "Hand", forearm, bone("hand"));
    for (const auto& [finger, name] :
         {std::pair{"thumb", "Thumb"}, std::pair{"index", "Index"}, std::pair{"middle", "Middle"},
          std::pair{"ring", "Ring"}, std::pair{"pinky", "Pinky"}}) {
      int up = hand;
      for (const char* k : {"1", "2", "3"})
        up = add(L + "Hand" + name + k, up, bone((std::string(finger) + "_0" + k).c_str()));
      add(L + "Hand" + name + "4", up,
          oxr::add(bone((std::string(finger) + "_03").c_str()), {s[0] == 'l' ? 2.0 : -2.0, 0, 0}));
    }
    const int thigh = add(L + "UpLeg", hips, bone("thigh"));
    add(L + "UpLegTwist", thigh, oxr::scale_vector(oxr::add(bone("thigh"), bone("calf")), 0.5));
    const int leg = add(L + "Leg", thigh, bone("calf"));
    const int foot = add(L + "Foot", leg, bone("foot"));
    const int toe = add(L + "ToeBase", foot, bone("ball"));
    add(L + "Toe_End", toe, oxr::add(bone("ball"), {0, 0, 6}));
    // An IK leg beside the deforming one, as rigs export their controls.
    int ik = hips;
    for (const char* name : {"thigh", "calf", "foot"}) ik = add(L + "IK_" + name, ik, bone(name), false);
  }
  while (joints.names.size() < 100) add("Helper" + std::to_string(joints.names.size()), hips, at("pelvis"), false);
  return joints;
}

void BM_Character_Recognise(benchmark::State& state) {
  const oxr::CharacterJoints joints = hundred_joint_character();
  for (auto _ : state) {
    const oxr::CharacterMapping mapping = oxr::map_character(joints, "character.glb", {}, {});
    const oxr::Quat facing = oxr::character_facing(joints, mapping);
    benchmark::DoNotOptimize(oxr::canonical_turns(joints, mapping, facing).size());
  }
  state.counters["joints"] = static_cast<double>(joints.names.size());
  state.counters["bones played"] =
      static_cast<double>(oxr::map_character(joints, "character.glb", {}, {}).roles.size());
}
BENCHMARK(BM_Character_Recognise)->Unit(benchmark::kMicrosecond);

}  // namespace
