// libFuzzer entry point: drives the retargeter's whole API from the input bytes. Any sequence of calls
// that meets the documented preconditions must neither crash nor touch memory it does not own.
//
// Preconditions kept here: parallel arrays are long enough, and negative scales only meet unit
// rotations (the matrix route of the composition requires them). The first byte picks one of two
// worlds: negative scales with unit, finite rotations; or any rotation (NaN, infinite, huge, zero)
// with scales that are never negative.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "OxKZ_Log.h"
#include "OxRetarget_KZ_UE.h"

namespace {

const char* const kNames[] = {"Hips",
                              "Spine",
                              "Spine1",
                              "Spine2",
                              "Neck",
                              "Head",
                              "HeadTop_End",
                              "LeftEye",
                              "LeftShoulder",
                              "LeftArm",
                              "LeftForeArm",
                              "LeftHand",
                              "LeftHandThumb1",
                              "LeftHandThumb4",
                              "LeftHandIndex1",
                              "LeftHandIndex3",
                              "LeftHandMiddle2",
                              "LeftHandRing1",
                              "LeftHandPinky3",
                              "RightArm",
                              "RightHand",
                              "RightHandIndex2",
                              "RightHandThumb2",
                              "LeftUpLeg",
                              "RightFoot",
                              "RightToe_End",
                              "root",
                              "pelvis",
                              "spine_02",
                              "spine_05",
                              "neck_01",
                              "head",
                              "clavicle_l",
                              "upperarm_l",
                              "hand_l",
                              "index_metacarpal_l",
                              "index_01_l",
                              "middle_02_r",
                              "ring_03_r",
                              "pinky_01_l",
                              "thumb_01_l",
                              "thumb_03_r",
                              "thigh_r",
                              "ball_l",
                              "HIPS",
                              "Pelvis",
                              "None",
                              "",
                              "Bone_2",
                              "spine_01_1"};

struct World {
  bool negative_scales = false;
};

double any_double(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
      return std::nan("");
    case 1:
      return INFINITY;
    case 2:
      return -INFINITY;
    case 3:
      return 0.0;
    case 4:
      return -0.0;
    case 5:
      return in.ConsumeFloatingPoint<double>();  // any finite value, huge ones included
    default:
      return in.ConsumeFloatingPointInRange<double>(-4.0, 4.0);
  }
}

FName any_name(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) return FName(in.ConsumeRandomLengthString(24).c_str());
  return FName(kNames[in.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)]);
}

TTransform<double> any_transform(FuzzedDataProvider& in, const World& world) {
  TQuat<double> rotation(any_double(in), any_double(in), any_double(in), any_double(in));
  TVector<double> translation(any_double(in), any_double(in), any_double(in));
  TVector<double> scale(any_double(in), any_double(in), any_double(in));
  if (world.negative_scales) {
    // Finite unit rotations only; scales may be negative or zero but not NaN.
    for (double* v : {&rotation.X, &rotation.Y, &rotation.Z, &rotation.W}) {
      if (!std::isfinite(*v) || std::fabs(*v) > 1e100) *v = 0.5;
    }
    rotation.Normalize();
    for (double* v : {&scale.X, &scale.Y, &scale.Z, &translation.X, &translation.Y, &translation.Z}) {
      if (!std::isfinite(*v) || std::fabs(*v) > 1e100) *v = -1.0;
    }
  } else {
    for (double* v : {&scale.X, &scale.Y, &scale.Z}) {
      if (!(*v >= 0.0)) *v = 0.0;  // NaN and negatives become zero
    }
  }
  return TTransform<double>(rotation, translation, scale);
}

TArray<FString> any_name_list(FuzzedDataProvider& in, int count) {
  TArray<FString> list;
  for (int i = 0; i < count; ++i) list.Add(any_name(in).ToString());
  return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    OxKZ_Log::setSink([](const FString&) {});
    return true;
  }();
  (void)quiet;
  FuzzedDataProvider in(data, size);
  World world;
  world.negative_scales = in.ConsumeBool();

  OxRetarget_KZ_UE retargeter;
  OxRetarget_KZ_UE other;
  for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
      case 0: {
        // The built-in set-up takes no input: mostly copy one made earlier, which is much cheaper.
        static const OxRetarget_KZ_UE prototype = [] {
          OxRetarget_KZ_UE made;
          made.init();
          return made;
        }();
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
          retargeter.init();
        } else {
          retargeter = prototype;
        }
        break;
      }
      case 1: {
        const int count = in.ConsumeIntegralInRange<int>(0, 60);
        const TArray<FString> kz = any_name_list(in, count);
        const TArray<FString> ue = any_name_list(in, count + in.ConsumeIntegralInRange<int>(0, 2));
        retargeter.init(kz, ue);
        break;
      }
      case 2: {
        const int count = in.ConsumeIntegralInRange<int>(0, 80);
        TArray<FName> names;
        TArray<TTransform<double>> transforms;
        for (int i = 0; i < count; ++i) {
          names.Add(any_name(in));
          transforms.Add(any_transform(in, world));
        }
        if (in.ConsumeBool()) transforms.Add(any_transform(in, world));
        retargeter.updateSrcSkeleton(names, transforms);
        break;
      }
      case 3:
      case 4:
        retargeter.updateDesSkeleton(in.ConsumeBool());
        break;
      case 5:
        if (OxSkeletonTreeKZ* source = retargeter.getSrcSkeleton()) {
          source->set_pose_in_local(any_name(in), any_transform(in, world));
        }
        break;
      case 6:
        if (OxSkeletonTreeUE* target = retargeter.getDesSkeleton()) {
          target->set_pose_in_local(any_name(in), any_transform(in, world));
        }
        break;
      case 7: {
        const FName name = any_name(in);
        (void)retargeter.getMetaBonePose(name);
        (void)retargeter.getTPose(name);
        if (OxSkeletonTreeUE* target = retargeter.getDesSkeleton()) {
          (void)target->get_pose_in_world(name);
          (void)target->get_t_pose_in_world(name);
          (void)target->getParentName(name);
        }
        if (OxSkeletonTreeKZ* source = retargeter.getSrcSkeleton()) (void)source->get_pose_in_world(name);
        break;
      }
      case 8:
        if (in.ConsumeBool()) {
          if (OxSkeletonTreeKZ* source = retargeter.getSrcSkeleton()) source->printTree();
        } else if (OxSkeletonTreeUE* target = retargeter.getDesSkeleton()) {
          target->printTree();
        }
        break;
      case 9:
        other = retargeter;
        break;
      case 10: {
        OxRetarget_KZ_UE copy(retargeter);
        copy.updateDesSkeleton(in.ConsumeBool());
        retargeter = copy;
        break;
      }
      case 11:
        (void)retargeter.getMetaBoneName();
        break;
    }
  }
  return 0;
}
