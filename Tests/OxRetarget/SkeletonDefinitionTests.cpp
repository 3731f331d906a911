#include "OxSkeletonTreeKZ.h"
#include "OxSkeletonTreeUE.h"
#include "TestMath.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace
{
using namespace TestMath;

// Opens the protected members and the rest-pose hook of a concrete skeleton to the tests.
template <typename Tree> class Exposed : public Tree
{
public:
	using Tree::bone_names;
	using Tree::node_map;
	using Tree::root_name;
	using Tree::setTPose;

	std::vector<std::string> Children(const char* bone) { return Strings(node_map.FindChecked(FName(bone)).children); }

	static std::vector<std::string> Strings(const TArray<FName>& names)
	{
		std::vector<std::string> result;
		for (const FName& name : names)
		{
			result.push_back(*name.ToString());
		}
		return result;
	}
};

const std::vector<std::string> kKZOrder = {"Hips", "Spine", "Spine1", "Spine2", "Neck", "Head", "HeadTop_End",
	"LeftEye", "RightEye", "LeftShoulder", "LeftArm", "LeftForeArm", "LeftHand", "LeftHandMiddle1", "LeftHandMiddle2",
	"LeftHandMiddle3", "LeftHandMiddle4", "LeftHandThumb1", "LeftHandThumb2", "LeftHandThumb3", "LeftHandThumb4",
	"LeftHandIndex1", "LeftHandIndex2", "LeftHandIndex3", "LeftHandIndex4", "LeftHandRing1", "LeftHandRing2",
	"LeftHandRing3", "LeftHandRing4", "LeftHandPinky1", "LeftHandPinky2", "LeftHandPinky3", "LeftHandPinky4",
	"RightShoulder", "RightArm", "RightForeArm", "RightHand", "RightHandMiddle1", "RightHandMiddle2",
	"RightHandMiddle3", "RightHandMiddle4", "RightHandThumb1", "RightHandThumb2", "RightHandThumb3", "RightHandThumb4",
	"RightHandIndex1", "RightHandIndex2", "RightHandIndex3", "RightHandIndex4", "RightHandRing1", "RightHandRing2",
	"RightHandRing3", "RightHandRing4", "RightHandPinky1", "RightHandPinky2", "RightHandPinky3", "RightHandPinky4",
	"RightUpLeg", "RightLeg", "RightFoot", "RightToeBase", "RightToe_End", "LeftUpLeg", "LeftLeg", "LeftFoot",
	"LeftToeBase", "LeftToe_End"};

const std::vector<std::string> kUEOrder = {"root", "pelvis", "spine_01", "spine_02", "spine_03", "spine_04", "spine_05",
	"neck_01", "neck_02", "head", "clavicle_l", "upperarm_l", "lowerarm_l", "hand_l", "index_metacarpal_l",
	"index_01_l", "index_02_l", "index_03_l", "middle_metacarpal_l", "middle_01_l", "middle_02_l", "middle_03_l",
	"pinky_metacarpal_l", "pinky_01_l", "pinky_02_l", "pinky_03_l", "ring_metacarpal_l", "ring_01_l", "ring_02_l",
	"ring_03_l", "thumb_01_l", "thumb_02_l", "thumb_03_l", "clavicle_r", "upperarm_r", "lowerarm_r", "hand_r",
	"index_metacarpal_r", "index_01_r", "index_02_r", "index_03_r", "middle_metacarpal_r", "middle_01_r", "middle_02_r",
	"middle_03_r", "pinky_metacarpal_r", "pinky_01_r", "pinky_02_r", "pinky_03_r", "ring_metacarpal_r", "ring_01_r",
	"ring_02_r", "ring_03_r", "thumb_01_r", "thumb_02_r", "thumb_03_r", "thigh_r", "calf_r", "foot_r", "ball_r",
	"thigh_l", "calf_l", "foot_l", "ball_l"};

const Quat kLeftThumb(0.07319722, 0.5296374, 0.3196864, 0.7822576);
const Quat kRightThumb(-0.07319722, 0.5296374, -0.3196864, 0.7822576);

TEST(SkeletonKZ, HierarchyOrderRootAndChildren)
{
	Exposed<OxSkeletonTreeKZ> tree;
	tree.init();
	EXPECT_EQ(tree.node_map.Num(), 67);
	EXPECT_EQ(Exposed<OxSkeletonTreeKZ>::Strings(tree.bone_names), kKZOrder);
	EXPECT_EQ(tree.root_name, FName("Hips"));
	EXPECT_TRUE(tree.getParentName(FName("Hips")).IsNone());
	EXPECT_THAT(tree.Children("Hips"), ::testing::ElementsAre("Spine", "RightUpLeg", "LeftUpLeg"));
	EXPECT_THAT(tree.Children("Spine2"), ::testing::ElementsAre("Neck", "LeftShoulder", "RightShoulder"));
	EXPECT_THAT(tree.Children("Head"), ::testing::ElementsAre("HeadTop_End", "LeftEye", "RightEye"));
	EXPECT_THAT(tree.Children("LeftHand"),
		::testing::ElementsAre(
			"LeftHandMiddle1", "LeftHandThumb1", "LeftHandIndex1", "LeftHandRing1", "LeftHandPinky1"));
	EXPECT_THAT(tree.Children("RightHand"),
		::testing::ElementsAre(
			"RightHandMiddle1", "RightHandThumb1", "RightHandIndex1", "RightHandRing1", "RightHandPinky1"));
	EXPECT_TRUE(tree.Children("LeftToe_End").empty());
}

TEST(SkeletonKZ, RestPoseListsAll67WithTheThumbQuaternionsAsWritten)
{
	Exposed<OxSkeletonTreeKZ> tree;
	TArray<FName> names;
	TArray<Transform> transforms;
	tree.setTPose(names, transforms);
	ASSERT_EQ(names.Num(), 67);
	ASSERT_EQ(transforms.Num(), 67);
	EXPECT_EQ(Exposed<OxSkeletonTreeKZ>::Strings(names), kKZOrder);
	for (int32 p = 0; p < 67; ++p)
	{
		const Quat expected = p == 17 ? kLeftThumb : (p == 41 ? kRightThumb : Quat::Identity);
		// Stored exactly as written: no normalisation of the 0.99999998-long thumb quaternions.
		EXPECT_EQ(transforms[p].Rotation, expected) << p;
		EXPECT_EQ(transforms[p].Translation, Vec::ZeroVector);
		EXPECT_EQ(transforms[p].Scale3D, Vec::OneVector);
	}
	// Appends after what the arrays already hold.
	tree.setTPose(names, transforms);
	EXPECT_EQ(names.Num(), 134);
	EXPECT_EQ(names[67], FName("Hips"));
}

TEST(SkeletonKZ, WorldTPoseOfTheThumbsIsTheThumbRotationAndIdentityElsewhere)
{
	OxSkeletonTreeKZ tree;
	tree.init();
	for (const std::string& bone : kKZOrder)
	{
		const FName name(bone.c_str());
		const bool left_thumb = bone.rfind("LeftHandThumb", 0) == 0;
		const bool right_thumb = bone.rfind("RightHandThumb", 0) == 0;
		const Quat expected = left_thumb ? kLeftThumb : (right_thumb ? kRightThumb : Quat::Identity);
		const Transform world = tree.get_t_pose_in_world(name);
		EXPECT_TRUE(world.Rotation.Equals(expected, kRestPoseTol)) << bone;
		EXPECT_EQ(world.Translation, Vec::ZeroVector) << bone;
		const bool first_thumb = bone == "LeftHandThumb1" || bone == "RightHandThumb1";
		EXPECT_EQ(tree.get_t_pose_in_local(name).Rotation, first_thumb ? expected : Quat::Identity) << bone;
	}
}

TEST(SkeletonUE, HierarchyOrderRootAndChildren)
{
	Exposed<OxSkeletonTreeUE> tree;
	tree.init();
	EXPECT_EQ(tree.node_map.Num(), 64);
	EXPECT_EQ(Exposed<OxSkeletonTreeUE>::Strings(tree.bone_names), kUEOrder);
	EXPECT_EQ(tree.root_name, FName("root"));
	EXPECT_TRUE(tree.getParentName(FName("root")).IsNone());
	EXPECT_THAT(tree.Children("root"), ::testing::ElementsAre("pelvis"));
	EXPECT_THAT(tree.Children("pelvis"), ::testing::ElementsAre("spine_01", "thigh_r", "thigh_l"));
	EXPECT_THAT(tree.Children("spine_05"), ::testing::ElementsAre("neck_01", "clavicle_l", "clavicle_r"));
	EXPECT_THAT(tree.Children("hand_l"),
		::testing::ElementsAre(
			"index_metacarpal_l", "middle_metacarpal_l", "pinky_metacarpal_l", "ring_metacarpal_l", "thumb_01_l"));
	EXPECT_THAT(tree.Children("hand_r"),
		::testing::ElementsAre(
			"index_metacarpal_r", "middle_metacarpal_r", "pinky_metacarpal_r", "ring_metacarpal_r", "thumb_01_r"));
	EXPECT_TRUE(tree.Children("head").empty());
}

TEST(SkeletonUE, RestPoseComesFromEulerAnglesWithRootLeftAtIdentity)
{
	Exposed<OxSkeletonTreeUE> tree;
	TArray<FName> names;
	TArray<Transform> transforms;
	tree.setTPose(names, transforms);
	ASSERT_EQ(names.Num(), 63);
	ASSERT_EQ(transforms.Num(), 63);
	EXPECT_EQ(names[0], FName("pelvis"));
	EXPECT_EQ(names[62], FName("thumb_03_r"));
	EXPECT_FALSE(names.Contains(FName("root")));
	for (const Transform& transform : transforms)
	{
		EXPECT_EQ(transform.Translation, Vec::ZeroVector);
		EXPECT_EQ(transform.Scale3D, Vec::OneVector);
		EXPECT_NEAR(transform.Rotation.SizeSquared(), 1.0, kRestPoseTol);
	}

	tree.init();
	const double h = std::sqrt(0.5);
	EXPECT_TRUE(tree.get_t_pose_in_local(FName("hand_l")).Rotation.Equals(Quat(h, 0, 0, h), kRestPoseTol));
	EXPECT_TRUE(tree.get_t_pose_in_local(FName("ball_l")).Rotation.Equals(Quat(0, 0, h, h), kRestPoseTol));
	EXPECT_EQ(tree.get_t_pose_in_local(FName("lowerarm_l")).Rotation, Quat::Identity);
	EXPECT_EQ(tree.get_t_pose_in_local(FName("root")).Rotation, Quat::Identity);
	EXPECT_EQ(tree.get_t_pose_in_world(FName("root")).Rotation, Quat::Identity);
	// The pelvis rest pose is its Euler angles through MakeFromEuler, normalised.
	const Quat pelvis = Quat::MakeFromEuler(Vec(180, 87.947094, 90)).GetNormalized();
	EXPECT_EQ(tree.get_t_pose_in_local(FName("pelvis")).Rotation, pelvis);
	// World T-poses chain the rest rotations: spine_01 = pelvis x spine_01.
	const Quat spine = pelvis * Quat::MakeFromEuler(Vec(0, -0.000214, 10.950071)).GetNormalized();
	EXPECT_TRUE(tree.get_t_pose_in_world(FName("spine_01")).Rotation.Equals(spine, kRestPoseTol));
}

TEST(SkeletonUE, ExcludeBonesMapFingerPhalangesToTheirSide)
{
	OxSkeletonTreeUE tree;
	EXPECT_EQ(tree.exclude_bones_l.Num(), 12);
	EXPECT_EQ(tree.exclude_bones_r.Num(), 12);
	EXPECT_EQ(tree.exclude_bones_l[0], FName("index_01_l"));
	EXPECT_EQ(tree.exclude_bones_r[11], FName("ring_03_r"));
	tree.init();
	EXPECT_TRUE(tree.exclude_bones.IsEmpty());
	tree.init_exclude_bones();
	EXPECT_EQ(tree.exclude_bones.Num(), 24);
	EXPECT_EQ(tree.exclude_bones.FindChecked(FName("index_01_l")), 1);
	EXPECT_EQ(tree.exclude_bones.FindChecked(FName("ring_03_r")), -1);
	EXPECT_FALSE(tree.exclude_bones.Contains(FName("thumb_01_l")));
	EXPECT_FALSE(tree.exclude_bones.Contains(FName("index_metacarpal_l")));
	tree.init_exclude_bones();
	EXPECT_EQ(tree.exclude_bones.Num(), 24);
	EXPECT_EQ(tree.exclude_bones.FindChecked(FName("Pinky_02_R")), -1);

	// Copies carry the lists and the map.
	const OxSkeletonTreeUE copy(tree);
	EXPECT_EQ(copy.exclude_bones.Num(), 24);
	EXPECT_EQ(copy.exclude_bones_l, tree.exclude_bones_l);
}
} // namespace
