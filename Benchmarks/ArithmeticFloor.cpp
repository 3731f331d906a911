#include "ArithmeticFloor.h"

#include <cmath>
#include <map>

#include "OxHuman_Skeleton.h"

ArithmeticFloor::ArithmeticFloor(OxRetarget_KZ_UE& retargeter) {
  OxSkeletonTreeKZ& source = *retargeter.getSrcSkeleton();
  OxSkeletonTreeUE& target = *retargeter.getDesSkeleton();
  const TArray<FName> src_names = source.getBoneNames();
  const TArray<FName> des_names = target.getBoneNames();
  for (const FName& name : src_names) src_parent_.push_back(src_names.Find(source.getParentName(name)));
  src_world_.resize(src_parent_.size());

  // Target bone -> paired source bone, from the built-in pairing.
  const OxHuman_Skeleton pairing;
  std::map<int, int> source_of;
  for (int i = 0; i < pairing.kz_bone_names.Num(); ++i) {
    source_of[des_names.Find(FName(pairing.ue_bone_names[i]))] = src_names.Find(FName(pairing.kz_bone_names[i]));
  }
  // Target bones in build order are parents-first, as is the built-in pairing.
  for (int des = 0; des < des_names.Num(); ++des) {
    const FName name = des_names[des];
    Step step{};
    step.des = des;
    step.parent = des_names.Find(target.getParentName(name));
    const auto paired = source_of.find(des);
    if (paired == source_of.end()) {
      step.kind = Kind::Unpaired;
      step.des_t_pose_world = target.get_t_pose_in_local(name).GetRotation();  // the local T-pose
    } else if (const int32* sign = target.exclude_bones.Find(name)) {
      step.kind = Kind::Curl;
      step.src = paired->second;
      step.half_angle_sign = *sign * (UE_DOUBLE_PI / 360.0);
    } else {
      step.kind = Kind::WorldDelta;
      step.src = paired->second;
      step.conj_src_t_pose_world = source.get_t_pose_in_world(src_names[step.src]).GetRotation().Inverse();
      step.des_t_pose_world = target.get_t_pose_in_world(name).GetRotation();
    }
    steps_.push_back(step);
    const FString text = name.ToString();
    bool finger = false;
    for (const char* word : {"thumb", "index", "middle", "ring", "pinky"}) finger = finger || text.Contains(word);
    if (finger) {
      step.kind = Kind::FingerRest;
      step.des_t_pose_world = target.get_t_pose_in_local(name).GetRotation();  // the local T-pose
    }
    rest_steps_.push_back(step);
  }
  des_world_.resize(static_cast<size_t>(des_names.Num()));
  des_local_.resize(static_cast<size_t>(des_names.Num()));
}

void ArithmeticFloor::source_world(const TQuat<double>* source_local) {
  for (size_t i = 0; i < src_parent_.size(); ++i) {
    const int parent = src_parent_[i];
    src_world_[i] = parent < 0 ? source_local[i] : src_world_[static_cast<size_t>(parent)] * source_local[i];
  }
}

void ArithmeticFloor::complete_target_world() {
  for (const Step& step : steps_) {
    if (step.kind == Kind::Curl || step.kind == Kind::FingerRest) {
      const TQuat<double>& local = des_local_[static_cast<size_t>(step.des)];
      des_world_[static_cast<size_t>(step.des)] =
          step.parent < 0 ? local : des_world_[static_cast<size_t>(step.parent)] * local;
    }
  }
}

void ArithmeticFloor::solve(const TQuat<double>* source_local, bool fingers_t_pose) {
  source_world(source_local);
  static const TQuat<double> identity = TQuat<double>::Identity;
  for (const Step& step : fingers_t_pose ? rest_steps_ : steps_) {
    const TQuat<double>& parent_world = step.parent < 0 ? identity : des_world_[static_cast<size_t>(step.parent)];
    TQuat<double>& world = des_world_[static_cast<size_t>(step.des)];
    TQuat<double>& local = des_local_[static_cast<size_t>(step.des)];
    switch (step.kind) {
      case Kind::WorldDelta:
        world = src_world_[static_cast<size_t>(step.src)] * step.conj_src_t_pose_world * step.des_t_pose_world;
        local = parent_world.Inverse() * world;
        break;
      case Kind::Curl: {
        const TQuat<double>& q = source_local[step.src];
        const double roll = std::atan2(-2.0 * (q.W * q.X + q.Y * q.Z), 1.0 - 2.0 * (q.X * q.X + q.Y * q.Y));
        const double half = roll * (180.0 / UE_DOUBLE_PI) * step.half_angle_sign;
        // Phalanges hang only below phalanges: nobody reads a curl bone's world rotation.
        local = TQuat<double>(0.0, 0.0, std::sin(half), std::cos(half));
        break;
      }
      case Kind::FingerRest:
        // Finger bones hang only below finger bones: nobody reads their world rotation.
        local = step.des_t_pose_world;
        break;
      case Kind::Unpaired:
        local = step.des_t_pose_world;
        world = parent_world * local;
        break;
    }
  }
}
