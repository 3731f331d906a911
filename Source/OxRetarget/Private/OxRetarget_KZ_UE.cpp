#include "OxRetarget_KZ_UE.h"

#include "OxHuman_Skeleton.h"
#include "OxSkeletonTree/OxPoseCache.h"
#include "OxTransformMath.h"

#include <cstring>
#include <type_traits>
#include <utility>

namespace
{
// Words that make a target bone a finger bone for the finger rest rule.
constexpr const TCHAR* FingerWords[] = {TEXT("thumb"), TEXT("index"), TEXT("middle"), TEXT("ring"), TEXT("pinky")};

bool isFingerBone(FName bone)
{
	const FString text = bone.ToString();
	for (const TCHAR* word : FingerWords)
	{
		if (text.Find(word, ESearchCase::IgnoreCase, ESearchDir::FromStart, INDEX_NONE) != INDEX_NONE)
		{
			return true;
		}
	}
	return false;
}

// MakeFromEuler((0, 0, yaw)) with the work that cannot change its result left out: roll and pitch
// are zero (sin 0 = 0, cos 0 = 1), and a yaw within (-360, 360) is its own remainder by 360.
// X and Y come out as zeros of either sign.
FORCEINLINE TQuat<double> makeYawRotation(double yaw)
{
	if (!(FMath::Abs(yaw) < 360.0))
	{
		return TQuat<double>::MakeFromEuler(TVector<double>(0.0, 0.0, yaw));
	}
	constexpr double HalfDegToRad = UE_DOUBLE_PI / 180.0 / 2.0;
	double SY;
	double CY;
	FMath::SinCos(&SY, &CY, yaw * HalfDegToRad);
	return TQuat<double>(0.0, 0.0, SY, CY);
}
} // namespace

OxRetarget_KZ_UE::OxRetarget_KZ_UE() = default;

OxRetarget_KZ_UE::OxRetarget_KZ_UE(const OxRetarget_KZ_UE& other)
	: bone_name_map(other.bone_name_map)
	, src_skeleton(other.src_skeleton != nullptr ? new OxSkeletonTreeKZ(*other.src_skeleton) : nullptr)
	, des_skeleton(other.des_skeleton != nullptr ? new OxSkeletonTreeUE(*other.des_skeleton) : nullptr)
	, src_bone_names(other.src_bone_names)
	, des_bone_names(other.des_bone_names)
	, pair_plans(other.pair_plans)
	, planned_curl_rules(other.planned_curl_rules)
{
}

OxRetarget_KZ_UE& OxRetarget_KZ_UE::operator=(const OxRetarget_KZ_UE& other)
{
	// Copy, then swap: the copy leaves with the old trees.
	OxRetarget_KZ_UE copy(other);
	std::swap(bone_name_map, copy.bone_name_map);
	std::swap(src_skeleton, copy.src_skeleton);
	std::swap(des_skeleton, copy.des_skeleton);
	std::swap(src_bone_names, copy.src_bone_names);
	std::swap(des_bone_names, copy.des_bone_names);
	std::swap(pair_plans, copy.pair_plans);
	std::swap(planned_curl_rules, copy.planned_curl_rules);
	return *this;
}

OxRetarget_KZ_UE::~OxRetarget_KZ_UE()
{
	releaseSkeletons();
}

void OxRetarget_KZ_UE::releaseSkeletons()
{
	delete src_skeleton;
	src_skeleton = nullptr;
	delete des_skeleton;
	des_skeleton = nullptr;
}

void OxRetarget_KZ_UE::init()
{
	const OxHuman_Skeleton human_skeleton;
	init(human_skeleton.kz_bone_names, human_skeleton.ue_bone_names);
}

void OxRetarget_KZ_UE::init(const TArray<FString>& kz_bone_names, const TArray<FString>& ue_bone_names)
{
	// A second init starts from scratch rather than appending to the first pairing.
	releaseSkeletons();
	bone_name_map.Empty();
	src_bone_names.Empty();
	des_bone_names.Empty();
	pair_plans.Empty();
	planned_curl_rules.Empty();

	for (int32 i = 0; i < kz_bone_names.Num(); ++i)
	{
		const FString& kz_name = kz_bone_names[i];
		src_bone_names.Add(FName(*kz_name));
		const FString& ue_name = ue_bone_names[i];
		des_bone_names.Add(FName(*ue_name));
		bone_name_map.Add(FName(*kz_name), FName(*ue_name));
	}

	src_skeleton = new OxSkeletonTreeKZ();
	src_skeleton->init();
	des_skeleton = new OxSkeletonTreeUE();
	des_skeleton->init();
	des_skeleton->init_exclude_bones();
	preparePairs();
}

void OxRetarget_KZ_UE::preparePairs()
{
	OxPoseCache& source = src_skeleton->poseCache();
	OxPoseCache& target = des_skeleton->poseCache();
	pair_plans.Reserve(des_bone_names.Num());
	for (int32 i = 0; i < des_bone_names.Num(); ++i)
	{
		const FName des = des_bone_names[i];
		const FName src = src_bone_names[i];
		FPairPlan plan;
		plan.src_index = source.find(src);
		plan.des_index = target.find(des);
		plan.des_parent_index = plan.des_index != INDEX_NONE ? target.parentOf(plan.des_index) : INDEX_NONE;
		const int32* sign = des_skeleton->exclude_bones.Find(des);
		plan.curl_sign = sign != nullptr ? *sign : 0;
		plan.is_finger = isFingerBone(des);
		plan.inverse_src_t_pose_world = src_skeleton->get_t_pose_in_world(src).Inverse();
		plan.des_t_pose_world = des_skeleton->get_t_pose_in_world(des);
		plan.rest_is_plain = OxTransformMath::isPlain(plan.inverse_src_t_pose_world) &&
			OxTransformMath::isPlain(plan.des_t_pose_world) &&
			OxTransformMath::isPlain(des_skeleton->get_t_pose_in_local(des));
		pair_plans.Add(plan);
	}
	for (const TPair<FName, int32>& rule : des_skeleton->exclude_bones)
	{
		planned_curl_rules.Add(rule);
	}
}

bool OxRetarget_KZ_UE::curlRulesAsPlanned() const
{
	// Entries are compared as bytes: a name spelt in other letter case counts as a change, which
	// only costs a look-up per pair.
	static_assert(std::has_unique_object_representations_v<TPair<FName, int32>>);
	const TMap<FName, int32>& rules = des_skeleton->exclude_bones;
	return rules.Num() == planned_curl_rules.Num() &&
		(rules.IsEmpty() ||
			std::memcmp(&*rules.begin(), planned_curl_rules.GetData(),
				sizeof(TPair<FName, int32>) * static_cast<SIZE_T>(rules.Num())) == 0);
}

void OxRetarget_KZ_UE::updateSrcSkeleton(const TArray<FName>& names, const TArray<TTransform<double>>& transforms) const
{
	if (src_skeleton != nullptr)
	{
		src_skeleton->update(names, transforms);
	}
}

void OxRetarget_KZ_UE::updateDesSkeleton(bool fingers_in_t_pose) const
{
	if (src_skeleton == nullptr || des_skeleton == nullptr)
	{
		return;
	}
	OxPoseCache& source = src_skeleton->poseCache();
	OxPoseCache& target = des_skeleton->poseCache();
	// The finger map is public: when it no longer holds what init planned with, each pair's curl
	// rule is looked up again.
	const bool curl_rules_as_planned = curlRulesAsPlanned();
	for (const FPairPlan& plan : pair_plans)
	{
		// A target bone the tree lacks would only be computed and dropped.
		if (plan.des_index == INDEX_NONE)
		{
			continue;
		}
		if (fingers_in_t_pose && plan.is_finger)
		{
			const TTransform<double>& rest = target.node(plan.des_index).t_pose_in_local;
			if (plan.rest_is_plain)
			{
				target.setLocalPose(plan.des_index, rest.Rotation);
			}
			else
			{
				target.setLocalPose(plan.des_index, rest);
			}
			continue;
		}
		const bool has_src = plan.src_index != INDEX_NONE;
		int32 curl_sign = plan.curl_sign;
		if (!curl_rules_as_planned)
		{
			const int32* sign = des_skeleton->exclude_bones.Find(target.node(plan.des_index).name);
			curl_sign = sign != nullptr ? *sign : 0;
		}
		if (curl_sign != 0)
		{
			// Finger curl: the source roll about the bone's Z axis, signed by side; translation and
			// scale come from the source local pose.
			const TTransform<double>& src_local =
				has_src ? source.node(plan.src_index).pose_in_local : TTransform<double>::Identity;
			const double yaw = src_local.Rotation.EulerRoll() * static_cast<double>(curl_sign);
			if (!has_src || source.isLocalRotation(plan.src_index))
			{
				target.setLocalPose(plan.des_index, makeYawRotation(yaw));
			}
			else
			{
				TTransform<double> curled = src_local;
				curled.SetRotation(makeYawRotation(yaw));
				target.setLocalPose(plan.des_index, curled);
			}
			continue;
		}

		// World delta: L = (TT * (Inverse(ST) * SW)) * Inverse(PW).
		const TTransform<double>& src_world = has_src ? source.world(plan.src_index) : TTransform<double>::Identity;
		const bool src_plain = !has_src || source.isWorldPlain(plan.src_index);
		const bool has_parent = plan.des_parent_index != INDEX_NONE;
		const TTransform<double>& parent_world =
			has_parent ? target.world(plan.des_parent_index) : TTransform<double>::Identity;
		const bool parent_plain = !has_parent || target.isWorldPlain(plan.des_parent_index);
		if (plan.rest_is_plain && src_plain && parent_plain)
		{
			// Every product below takes the rotation-only route of compose while the delta is plain.
			TTransform<double> delta;
			if (OxTransformMath::compose(delta, plan.inverse_src_t_pose_world, src_world, true))
			{
				TTransform<double> des_world;
				TTransform<double> local;
				OxTransformMath::compose(des_world, plan.des_t_pose_world, delta, true);
				OxTransformMath::compose(local, des_world, OxTransformMath::inverse(parent_world, true), true);
				target.setLocalPose(plan.des_index, local.Rotation);
				continue;
			}
		}
		const TTransform<double> delta = OxTransformMath::compose(plan.inverse_src_t_pose_world, src_world);
		const TTransform<double> des_world = OxTransformMath::compose(plan.des_t_pose_world, delta);
		target.setLocalPose(
			plan.des_index, OxTransformMath::compose(des_world, OxTransformMath::inverse(parent_world)));
	}
}

TArray<FName> OxRetarget_KZ_UE::getMetaBoneName() const
{
	return des_bone_names;
}

TTransform<double> OxRetarget_KZ_UE::getMetaBonePose(FName name)
{
	return des_skeleton != nullptr ? des_skeleton->get_pose_in_local(name) : TTransform<double>::Identity;
}

TTransform<double> OxRetarget_KZ_UE::getTPose(FName name)
{
	return des_skeleton != nullptr ? des_skeleton->get_t_pose_in_local(name) : TTransform<double>::Identity;
}

int32 OxRetarget_KZ_UE::getIndex(FString name, TArray<FString> list)
{
	for (int32 i = 0; i < list.Num(); ++i)
	{
		if (name.Equals(list[i], ESearchCase::IgnoreCase))
		{
			return i;
		}
	}
	return -1;
}
