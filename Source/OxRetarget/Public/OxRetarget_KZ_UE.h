#pragma once

#include "OxRetargetApi.h"
#include "OxSkeletonTreeKZ.h"
#include "OxSkeletonTreeUE.h"

// Retargets poses of the source skeleton (KZ) onto the target skeleton (UE). Per frame: feed the
// source pose with updateSrcSkeleton, solve with updateDesSkeleton, read getMetaBonePose.
// One retargeter per thread; calls on one retargeter must not overlap.
class OXRETARGET_API OxRetarget_KZ_UE
{
public:
	UE_USE_ENGINE_ALLOCATOR()

	OxRetarget_KZ_UE();
	// Copies are independent: both skeleton trees are copied deeply.
	OxRetarget_KZ_UE(const OxRetarget_KZ_UE& other);
	OxRetarget_KZ_UE& operator=(const OxRetarget_KZ_UE& other);
	virtual ~OxRetarget_KZ_UE();

	// Takes the built-in pairing and builds both skeletons in their T-pose. A second call starts over.
	void init();
	// As init, with a pairing of one's own: kz_bone_names[i] drives ue_bone_names[i]. Needs
	// ue_bone_names.Num() >= kz_bone_names.Num(); names compare without regard to letter case.
	void init(const TArray<FString>& kz_bone_names, const TArray<FString>& ue_bone_names);

	// Sets the rotation of each named source bone (translations and scales are ignored; unknown names
	// are skipped). Needs transforms.Num() >= names.Num(). Does nothing before init.
	void updateSrcSkeleton(const TArray<FName>& names, const TArray<TTransform<double>>& transforms) const;

	// Solves the target's local poses from the current source pose, pair by pair in pairing order.
	// With fingers_in_t_pose every target bone named after a finger keeps its T-pose.
	// Does nothing before init.
	void updateDesSkeleton(bool fingers_in_t_pose) const;

	// The target bones of the pairing, in pairing order.
	TArray<FName> getMetaBoneName() const;
	// The target bone's current pose relative to its parent; the identity for an unknown name or before init.
	TTransform<double> getMetaBonePose(FName name);
	// The target bone's T-pose relative to its parent; the identity for an unknown name or before init.
	TTransform<double> getTPose(FName name);

	// The two trees, for inspection (printTree, world poses); null before init. Changes made through
	// them take effect: the solver reads exclude_bones and the current poses on every call.
	OxSkeletonTreeKZ* getSrcSkeleton() const { return src_skeleton; }
	OxSkeletonTreeUE* getDesSkeleton() const { return des_skeleton; }

private:
	// First index whose entry equals name without regard to case, or -1. Nothing in the library calls
	// it; it is kept for callers of the designed interface.
	int32 getIndex(FString name, TArray<FString> list);

	void releaseSkeletons();
	// Resolves the pairing to node numbers and per-pair rules once the trees exist.
	void preparePairs();
	// Whether the target tree's exclude_bones still holds what preparePairs planned with.
	bool curlRulesAsPlanned() const;

	// One pair, decided at init.
	struct FPairPlan
	{
		int32 src_index;
		int32 des_index;
		int32 des_parent_index;
		// Side sign of a finger phalanx bone from exclude_bones, 0 for the world-delta rule.
		int32 curl_sign;
		bool is_finger;
		// The two world T-poses below and the target's local T-pose are plain rotations.
		bool rest_is_plain;
		// Inverse of the source bone's world T-pose, and the target bone's world T-pose.
		TTransform<double> inverse_src_t_pose_world;
		TTransform<double> des_t_pose_world;
	};

	TMap<FName, FName> bone_name_map;
	OxSkeletonTreeKZ* src_skeleton = nullptr;
	OxSkeletonTreeUE* des_skeleton = nullptr;
	TArray<FName> src_bone_names;
	TArray<FName> des_bone_names;
	TArray<FPairPlan> pair_plans;
	// The target's exclude_bones entries as preparePairs saw them, in the map's order.
	TArray<TPair<FName, int32>> planned_curl_rules;
};
