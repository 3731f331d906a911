#include "OxHuman_Skeleton.h"
#include "OxRetarget_KZ_UE.h"
#include "TestMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace
{
using namespace TestMath;

Quat Euler(double roll, double pitch, double yaw)
{
	return Quat::MakeFromEuler(Vec(roll, pitch, yaw));
}

double TolFor(FName bone)
{
	return bone.ToString().Contains("thumb") ? kThumbTol : kTol;
}

bool IsCurlBone(OxRetarget_KZ_UE& retargeter, FName bone)
{
	return retargeter.getDesSkeleton()->exclude_bones.Contains(bone);
}

void ExpectRotationNear(const Quat& actual, const Quat& expected, double tol, const std::string& what)
{
	EXPECT_TRUE(actual.Equals(expected, tol)) << what << ": " << *actual.ToString() << " vs " << *expected.ToString();
}

TEST(RetargeterSetup, BeforeInitEverythingIsEmptyAndHarmless)
{
	OxRetarget_KZ_UE retargeter;
	EXPECT_TRUE(retargeter.getMetaBoneName().IsEmpty());
	EXPECT_EQ(retargeter.getSrcSkeleton(), nullptr);
	retargeter.updateSrcSkeleton(TArray<FName>{FName("Hips")}, TArray<Transform>{Transform(Euler(10, 0, 0))});
	retargeter.updateDesSkeleton(false);
	retargeter.updateDesSkeleton(true);
	EXPECT_EQ(retargeter.getMetaBonePose(FName("pelvis")).Rotation, Quat::Identity);
	EXPECT_EQ(retargeter.getTPose(FName("pelvis")).Rotation, Quat::Identity);
}

TEST(RetargeterSetup, InitTakesTheBuiltInPairingAndStartsInTheTPose)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	const OxHuman_Skeleton pairing;
	const TArray<FName> meta = retargeter.getMetaBoneName();
	ASSERT_EQ(meta.Num(), 52);
	ASSERT_EQ(pairing.ue_bone_names.Num(), 52);
	for (int32 i = 0; i < meta.Num(); ++i)
	{
		EXPECT_EQ(meta[i], FName(pairing.ue_bone_names[i]));
		const Transform pose = retargeter.getMetaBonePose(meta[i]);
		const Transform t_pose = retargeter.getTPose(meta[i]);
		EXPECT_EQ(pose.Rotation, t_pose.Rotation) << *meta[i].ToString();
	}
	EXPECT_EQ(meta[0], FName("pelvis"));
	EXPECT_EQ(meta[51], FName("ball_r"));
	// Unknown names read as the identity.
	EXPECT_EQ(retargeter.getMetaBonePose(FName("tail_01")).Rotation, Quat::Identity);
	EXPECT_EQ(retargeter.getTPose(FName("tail_01")).Rotation, Quat::Identity);
	EXPECT_EQ(retargeter.getSrcSkeleton()->getParentName(FName("Spine")), FName("Hips"));
	EXPECT_EQ(retargeter.getDesSkeleton()->exclude_bones.Num(), 24);
}

TEST(RetargeterSetup, SecondInitStartsOverAndCopiesAreIndependent)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	retargeter.init();
	EXPECT_EQ(retargeter.getMetaBoneName().Num(), 52);

	retargeter.updateSrcSkeleton(TArray<FName>{FName("Spine")}, TArray<Transform>{Transform(Euler(0, 20, 0))});
	retargeter.updateDesSkeleton(false);
	const Transform solved = retargeter.getMetaBonePose(FName("spine_01"));

	OxRetarget_KZ_UE copy(retargeter);
	EXPECT_NE(copy.getDesSkeleton(), retargeter.getDesSkeleton());
	EXPECT_EQ(copy.getMetaBonePose(FName("spine_01")).Rotation, solved.Rotation);

	// Changing the copy leaves the original alone, and the other way round.
	copy.updateSrcSkeleton(TArray<FName>{FName("Spine")}, TArray<Transform>{Transform(Euler(0, -40, 0))});
	copy.updateDesSkeleton(false);
	EXPECT_EQ(retargeter.getMetaBonePose(FName("spine_01")).Rotation, solved.Rotation);
	EXPECT_NE(copy.getMetaBonePose(FName("spine_01")).Rotation, solved.Rotation);

	OxRetarget_KZ_UE assigned;
	assigned = copy;
	// Self-assignment keeps the trees.
	const OxRetarget_KZ_UE& alias = assigned;
	assigned = alias;
	copy.init();
	EXPECT_EQ(assigned.getMetaBoneName().Num(), 52);
	EXPECT_NE(assigned.getMetaBonePose(FName("spine_01")).Rotation, solved.Rotation);
	EXPECT_EQ(copy.getMetaBonePose(FName("spine_01")).Rotation, copy.getTPose(FName("spine_01")).Rotation);
}

TEST(RetargeterSetup, CustomPairingRepeatsNamesAndIgnoresSurplusTargetNames)
{
	OxRetarget_KZ_UE retargeter;
	const TArray<FString> kz{FString("hips"), FString("LEFTARM"), FString("hips")};
	const TArray<FString> ue{FString("PELVIS"), FString("upperarm_l"), FString("spine_01"), FString("neck_01")};
	retargeter.init(kz, ue);
	const TArray<FName> meta = retargeter.getMetaBoneName();
	ASSERT_EQ(meta.Num(), 3);
	EXPECT_EQ(meta[0], FName("pelvis"));
	EXPECT_EQ(meta[2], FName("spine_01"));

	// Names in other letter case reach the bones: the left arm drives upperarm_l.
	retargeter.updateSrcSkeleton(TArray<FName>{FName("leftarm"), FName("NoSuchBone")},
		TArray<Transform>{Transform(Euler(0, 0, 45), Vec(5, 5, 5)), Transform(Euler(90, 0, 0))});
	retargeter.updateDesSkeleton(false);
	EXPECT_NE(
		retargeter.getMetaBonePose(FName("upperarm_l")).Rotation, retargeter.getTPose(FName("upperarm_l")).Rotation);
	// Only the rotation travelled.
	EXPECT_EQ(retargeter.getSrcSkeleton()->get_pose_in_local(FName("LeftArm")).Translation, Vec::ZeroVector);
	// neck_01 was beyond the source list and is not a meta bone.
	EXPECT_EQ(retargeter.getMetaBonePose(FName("neck_01")).Rotation, retargeter.getTPose(FName("neck_01")).Rotation);
}

TEST(RetargeterSetupDeathTest, ShorterTargetListStops)
{
	OxRetarget_KZ_UE retargeter;
	EXPECT_DEATH(
		retargeter.init(TArray<FString>{FString("Hips"), FString("Spine")}, TArray<FString>{FString("pelvis")}),
		"Array index out of bounds: 1 from an array of size 1");
}

TEST(RetargeterSolve, SourceAtItsTPoseGivesEveryWorldDeltaBoneItsLocalTPose)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	retargeter.updateDesSkeleton(false);
	for (const FName& bone : retargeter.getMetaBoneName())
	{
		if (IsCurlBone(retargeter, bone))
		{
			continue;
		}
		const Transform pose = retargeter.getMetaBonePose(bone);
		ExpectRotationNear(pose.Rotation, retargeter.getTPose(bone).Rotation, TolFor(bone), *bone.ToString());
		EXPECT_TRUE(pose.Translation.Equals(Vec::ZeroVector, kTol)) << *bone.ToString();
		EXPECT_TRUE(pose.Scale3D.Equals(Vec::OneVector, kTol)) << *bone.ToString();
	}
}

TEST(RetargeterSolve, FingerRollBecomesASignedTurnAboutZ)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	// A roll of 30 degrees, with a translation and scale set directly on the source bones.
	const Transform rolled(Euler(30, 0, 0), Vec(1, 2, 3), Vec(2, 2, 2));
	retargeter.getSrcSkeleton()->set_pose_in_local(FName("LeftHandIndex1"), rolled);
	retargeter.getSrcSkeleton()->set_pose_in_local(FName("RightHandIndex1"), rolled);
	retargeter.updateDesSkeleton(false);

	const double s = std::sin(15.0 * UE_DOUBLE_PI / 180.0);
	const double c = std::cos(15.0 * UE_DOUBLE_PI / 180.0);
	const Transform left = retargeter.getMetaBonePose(FName("index_01_l"));
	const Transform right = retargeter.getMetaBonePose(FName("index_01_r"));
	ExpectRotationNear(left.Rotation, Quat(0, 0, s, c), kTol, "index_01_l");
	ExpectRotationNear(right.Rotation, Quat(0, 0, -s, c), kTol, "index_01_r");
	EXPECT_EQ(left.Translation, rolled.Translation);
	EXPECT_EQ(right.Scale3D, rolled.Scale3D);
	// The unrolled phalanges get the identity rotation, not their T-pose.
	EXPECT_EQ(retargeter.getMetaBonePose(FName("index_02_l")).Rotation.W, 1.0);
}

TEST(RetargeterSolve, FingersInTPoseFlagPutsEveryFingerBoneBackBitForBit)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	TArray<FName> names;
	TArray<Transform> transforms;
	for (const char* bone : {"LeftHandIndex1", "LeftHandThumb1", "RightHandPinky2", "LeftHand", "RightHandRing3"})
	{
		names.Add(FName(bone));
		transforms.Add(Transform(Euler(25, -10, 40)));
	}
	retargeter.updateSrcSkeleton(names, transforms);
	retargeter.updateDesSkeleton(false);
	retargeter.updateDesSkeleton(true);
	int fingers = 0;
	for (const FName& bone : retargeter.getMetaBoneName())
	{
		const FString text = bone.ToString();
		const bool finger = text.Contains("thumb") || text.Contains("index") || text.Contains("middle") ||
			text.Contains("ring") || text.Contains("pinky");
		if (!finger)
		{
			continue;
		}
		++fingers;
		const Transform pose = retargeter.getMetaBonePose(bone);
		const Transform t_pose = retargeter.getTPose(bone);
		EXPECT_EQ(pose.Rotation, t_pose.Rotation) << *text;
		EXPECT_EQ(pose.Translation, t_pose.Translation) << *text;
		EXPECT_EQ(pose.Scale3D, t_pose.Scale3D) << *text;
	}
	EXPECT_EQ(fingers, 30);
	// The hand still follows the source.
	EXPECT_NE(retargeter.getMetaBonePose(FName("hand_l")).Rotation, retargeter.getTPose(FName("hand_l")).Rotation);
}

TEST(RetargeterSolve, RotatingTheSourceRootRotatesEveryWorldDeltaTargetOnTheLeft)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	const Quat r = Euler(20, -35, 70);
	retargeter.updateSrcSkeleton(TArray<FName>{FName("Hips")}, TArray<Transform>{Transform(r)});
	retargeter.updateDesSkeleton(false);
	OxSkeletonTreeUE* target = retargeter.getDesSkeleton();
	for (const FName& bone : retargeter.getMetaBoneName())
	{
		if (IsCurlBone(retargeter, bone))
		{
			continue;
		}
		const Quat expected = r * target->get_t_pose_in_world(bone).Rotation;
		ExpectRotationNear(target->get_pose_in_world(bone).Rotation, expected, TolFor(bone), *bone.ToString());
	}
}

TEST(RetargeterSolve, WorldDeltaCarriesTheSourceChangeOntoTheTargetWorldTPose)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	TArray<FName> names;
	TArray<Transform> transforms;
	int k = 0;
	for (const char* bone :
		{"Hips", "Spine", "Spine1", "LeftShoulder", "LeftArm", "LeftForeArm", "LeftHand", "LeftHandThumb1"})
	{
		names.Add(FName(bone));
		transforms.Add(Transform(Euler(7.0 * k, 11.0 - 3.0 * k, 5.0 * k - 20.0)));
		++k;
	}
	retargeter.updateSrcSkeleton(names, transforms);
	retargeter.updateDesSkeleton(false);
	OxSkeletonTreeKZ* source = retargeter.getSrcSkeleton();
	OxSkeletonTreeUE* target = retargeter.getDesSkeleton();
	const OxHuman_Skeleton pairing;
	for (int32 i = 0; i < pairing.kz_bone_names.Num(); ++i)
	{
		const FName src(pairing.kz_bone_names[i]);
		const FName des(pairing.ue_bone_names[i]);
		if (IsCurlBone(retargeter, des))
		{
			continue;
		}
		// New world rotation = SW x conj(ST) x TT.
		const Quat expected = source->get_pose_in_world(src).Rotation *
			source->get_t_pose_in_world(src).Rotation.Inverse() * target->get_t_pose_in_world(des).Rotation;
		ExpectRotationNear(target->get_pose_in_world(des).Rotation, expected, TolFor(des), *des.ToString());
	}
}

TEST(RetargeterSolve, ParentListedAfterItsChildIsReachedOnTheSecondCall)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init(TArray<FString>{FString("LeftHand"), FString("LeftForeArm")},
		TArray<FString>{FString("hand_l"), FString("lowerarm_l")});
	retargeter.updateSrcSkeleton(TArray<FName>{FName("LeftForeArm")}, TArray<Transform>{Transform(Euler(0, 0, 60))});
	OxSkeletonTreeKZ* source = retargeter.getSrcSkeleton();
	OxSkeletonTreeUE* target = retargeter.getDesSkeleton();
	const FName hand("LeftHand");
	const Quat expected = source->get_pose_in_world(hand).Rotation *
		source->get_t_pose_in_world(hand).Rotation.Inverse() * target->get_t_pose_in_world(FName("hand_l")).Rotation;

	retargeter.updateDesSkeleton(false);
	EXPECT_FALSE(target->get_pose_in_world(FName("hand_l")).Rotation.Equals(expected, 1e-6));
	retargeter.updateDesSkeleton(false);
	ExpectRotationNear(target->get_pose_in_world(FName("hand_l")).Rotation, expected, kTol, "hand_l");
}

TEST(RetargeterSolve, ResultsStayRotationsOnlyForAnyRotationInput)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	TArray<FName> names;
	TArray<Transform> transforms;
	int k = 0;
	for (const FName& bone :
		{FName("Hips"), FName("Spine2"), FName("RightArm"), FName("LeftUpLeg"), FName("LeftHandRing1")})
	{
		names.Add(bone);
		transforms.Add(Transform(Euler(13.0 * k, 17.0 * k - 30.0, 29.0 * k), Vec(3, 4, 5), Vec(2, 3, 4)));
		++k;
	}
	retargeter.updateSrcSkeleton(names, transforms);
	retargeter.updateDesSkeleton(false);
	for (const FName& bone : retargeter.getMetaBoneName())
	{
		const Transform pose = retargeter.getMetaBonePose(bone);
		EXPECT_TRUE(pose.Translation.Equals(Vec::ZeroVector, kTol)) << *bone.ToString();
		EXPECT_TRUE(pose.Scale3D.Equals(Vec::OneVector, kTol)) << *bone.ToString();
		EXPECT_NEAR(pose.Rotation.SizeSquared(), 1.0, 10 * TolFor(bone)) << *bone.ToString();
	}
}
} // namespace

namespace
{
// Once warm, a frame (feed, solve with either flag, read back) takes no heap memory.
TEST(RetargeterSolve, FrameAllocatesNothingOnceWarm)
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	OxSkeletonTreeKZ* source = retargeter.getSrcSkeleton();
	const TArray<FName> names = source->getBoneNames();
	TArray<Transform> first;
	TArray<Transform> second;
	for (int32 i = 0; i < names.Num(); ++i)
	{
		first.Add(Transform(Euler(3.0 * i, -2.0 * i, i)));
		second.Add(Transform(Euler(-i, 5.0, 2.0 * i)));
	}
	const TArray<FName> meta = retargeter.getMetaBoneName();
	retargeter.updateSrcSkeleton(names, first);
	retargeter.updateDesSkeleton(false);

	const uint64 before = FMemory::GetAllocationCount();
	double sum = 0.0;
	for (const bool flag : {false, true, false})
	{
		retargeter.updateSrcSkeleton(names, flag ? first : second);
		retargeter.updateDesSkeleton(flag);
		for (const FName& bone : meta)
		{
			sum += retargeter.getMetaBonePose(bone).Rotation.W;
		}
	}
	EXPECT_EQ(FMemory::GetAllocationCount(), before);
	EXPECT_NE(sum, 0.0);
}
} // namespace
