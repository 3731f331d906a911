// The one file of the pipeline that talks to the engine layer and the retargeting library. Everything
// else sees standard types through Solver.h.

#include "Solver.h"

#include "BvhReader.h"

#include <algorithm>
#include <string>
#include <vector>

// The engine layer defines a check() macro; nothing after these headers may use that name.
#include "OxHuman_Skeleton.h"
#include "OxKZ_Log.h"
#include "OxRetarget_KZ_UE.h"

namespace oxr {
namespace {

Quat to_quat(const TQuat<double>& q) { return {q.X, q.Y, q.Z, q.W}; }

std::string to_string(const FName& name) { return std::string(*name.ToString()); }

SkeletonData skeleton_data(OxSkeletonTree& tree) {
  tree.init();
  SkeletonData data;
  const TArray<FName> bones = tree.getBoneNames();
  for (const FName& bone : bones) {
    data.names.push_back(to_string(bone));
    const FName parent = tree.getParentName(bone);
    data.parents.push_back(parent.IsNone() ? -1 : bones.Find(parent));
    data.t_pose_local.push_back(to_quat(tree.get_t_pose_in_local(bone).GetRotation()));
    data.t_pose_world.push_back(to_quat(tree.get_t_pose_in_world(bone).GetRotation()));
  }
  return data;
}

TArray<FString> to_fstrings(const std::vector<std::string>& names) {
  TArray<FString> result;
  for (const std::string& name : names) result.Add(FString(name.c_str()));
  return result;
}

}  // namespace

int SkeletonData::index_of(std::string_view name) const {
  const std::string wanted = bvh::to_lower(name);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (bvh::to_lower(names[i]) == wanted) return static_cast<int>(i);
  }
  return -1;
}

const SkeletonData& source_skeleton() {
  static const SkeletonData data = [] {
    OxSkeletonTreeKZ tree;
    return skeleton_data(tree);
  }();
  return data;
}

const SkeletonData& target_skeleton() {
  static const SkeletonData data = [] {
    OxSkeletonTreeUE tree;
    return skeleton_data(tree);
  }();
  return data;
}

const Pairing& builtin_pairing() {
  static const Pairing pairing = [] {
    const OxHuman_Skeleton human;
    Pairing result;
    for (const FString& name : human.kz_bone_names) result.source.emplace_back(*name);
    for (const FString& name : human.ue_bone_names) result.target.emplace_back(*name);
    return result;
  }();
  return pairing;
}

std::string skeleton_outline(std::string_view kind) {
  std::string text;
  const OxKZ_Log::Sink previous = OxKZ_Log::setSink([&text](const FString& line) {
    text += *line;
    text += '\n';
  });
  if (kind == "ue") {
    OxSkeletonTreeUE tree;
    tree.init();
    tree.printTree();
  } else {
    OxSkeletonTreeKZ tree;
    tree.init();
    tree.printTree();
  }
  OxKZ_Log::setSink(previous);
  return text;
}

// A tree's nodes, which the library keeps for its subclasses: the solver reads the meta bones' poses
// from them by a pointer resolved once instead of looking each name up every frame.
struct TreeNodes : OxSkeletonTree {
  static const OxSkeletonTreeNode* find(OxSkeletonTree& tree, FName name) {
    return (tree.*(&TreeNodes::node_map)).Find(name);
  }
};

struct Solver::State {
  OxRetarget_KZ_UE retargeter;
  TArray<FName> source_names;
  TArray<TTransform<double>> source_pose;
  TArray<FName> meta;
  std::vector<std::string> meta_bones;
  std::vector<std::string> meta_parents;
  std::vector<Quat> meta_t_pose;
  std::vector<const OxSkeletonTreeNode*> meta_nodes;  // in the target tree; null for a name it lacks

  State() = default;
  State(const State& other)
      : retargeter(other.retargeter),
        source_names(other.source_names),
        source_pose(other.source_pose),
        meta(other.meta),
        meta_bones(other.meta_bones),
        meta_parents(other.meta_parents),
        meta_t_pose(other.meta_t_pose) {
    resolve();  // this copy's own tree
  }
  State& operator=(const State&) = delete;

  void resolve() {
    meta_nodes.clear();
    OxSkeletonTreeUE* target = retargeter.getDesSkeleton();
    for (const FName& bone : meta) meta_nodes.push_back(target != nullptr ? TreeNodes::find(*target, bone) : nullptr);
  }

  void describe() {
    for (const std::string& bone : source_skeleton().names) {
      source_names.Add(FName(bone.c_str()));
      source_pose.Add(TTransform<double>::Identity);
    }
    meta = retargeter.getMetaBoneName();
    OxSkeletonTreeUE* target = retargeter.getDesSkeleton();
    for (const FName& bone : meta) {
      meta_bones.push_back(to_string(bone));
      meta_parents.push_back(to_string(target->getParentName(bone)));
      meta_t_pose.push_back(to_quat(retargeter.getTPose(bone).GetRotation()));
    }
    resolve();
  }
};

Solver::Solver() : state_(std::make_unique<State>()) {
  state_->retargeter.init();
  state_->describe();
}

Solver::Solver(const std::vector<std::string>& source_names, const std::vector<std::string>& target_names)
    : state_(std::make_unique<State>()) {
  state_->retargeter.init(to_fstrings(source_names), to_fstrings(target_names));
  state_->describe();
}

Solver::Solver(const Solver& other) : state_(std::make_unique<State>(*other.state_)) {}

Solver& Solver::operator=(const Solver& other) {
  if (this != &other) state_ = std::make_unique<State>(*other.state_);
  return *this;
}

Solver::Solver(Solver&&) noexcept = default;
Solver& Solver::operator=(Solver&&) noexcept = default;
Solver::~Solver() = default;

const std::vector<std::string>& Solver::meta_bones() const { return state_->meta_bones; }
const std::vector<std::string>& Solver::meta_parents() const { return state_->meta_parents; }
const std::vector<Quat>& Solver::meta_t_pose() const { return state_->meta_t_pose; }

void Solver::solve(std::span<const Quat> source_local, bool fingers_t_pose, std::span<Quat> meta_out) {
  State& s = *state_;
  // Only the rotations change: the poses keep the identity's translation and scale from describe().
  TTransform<double>* const pose = s.source_pose.GetData();
  const std::size_t bones = std::min(static_cast<std::size_t>(s.source_names.Num()), source_local.size());
  for (std::size_t b = 0; b < bones; ++b) {
    const Quat& q = source_local[b];
    pose[b].Rotation = TQuat<double>(q[0], q[1], q[2], q[3]);
  }
  s.retargeter.updateSrcSkeleton(s.source_names, s.source_pose);
  s.retargeter.updateDesSkeleton(fingers_t_pose);
  for (std::size_t m = 0; m < s.meta_nodes.size() && m < meta_out.size(); ++m) {
    const OxSkeletonTreeNode* node = s.meta_nodes[m];
    meta_out[m] = node != nullptr ? to_quat(node->pose_in_local.Rotation) : kIdentity;
  }
}

Quat Solver::meta_pose(std::string_view bone) const {
  return to_quat(state_->retargeter.getMetaBonePose(FName(std::string(bone).c_str())).GetRotation());
}

}  // namespace oxr
