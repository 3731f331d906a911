#include "OxSkeletonTree.h"
#include "TestMath.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
using namespace TestMath;

// A small test skeleton:
//   root
//    +- A      (rest: 90 deg about Z)
//    |   +- B  (rest: identity)
//    +- C      (rest: identity; parent given in lower case as "ROOT")
// bone_names order is root, B, A, C: B is built before its parent.
class TestTree : public OxSkeletonTree
{
public:
	using OxSkeletonTree::bone_names;
	using OxSkeletonTree::node_map;
	using OxSkeletonTree::root_name;

	std::vector<std::pair<std::string, std::string>> bones = {
		{"root", "None"}, {"B", "A"}, {"A", "root"}, {"C", "ROOT"}};
	std::vector<std::pair<std::string, Transform>> rest = {
		{"A", Transform(Quat::MakeFromEuler(Vec(0, 0, 90)), Vec(5, 6, 7), Vec(2, 2, 2))},
		{"root", Transform::Identity},
		{"Unknown", Transform(Quat::MakeFromEuler(Vec(10, 0, 0)))},
	};

protected:
	void buildTree() override
	{
		root_name = FName("root");
		int index = 0;
		for (const auto& [bone, parent] : bones)
		{
			buildNode(index++, FString(bone.c_str()), FString(parent.c_str()), node_map, bone_names);
		}
	}
	void setTPose(TArray<FName>& names, TArray<Transform>& transforms) override
	{
		for (const auto& [bone, transform] : rest)
		{
			names.Add(FName(bone.c_str()));
			transforms.Add(transform);
		}
	}
};

std::vector<std::string> Strings(const TArray<FName>& names)
{
	std::vector<std::string> result;
	for (const FName& name : names)
	{
		result.push_back(*name.ToString());
	}
	return result;
}

TEST(SkeletonTreeConstruction, LinksChildrenInBoneNamesOrderAndFindsParentsByAnyCase)
{
	TestTree tree;
	tree.init();
	EXPECT_EQ(tree.node_map.Num(), 4);
	EXPECT_THAT(Strings(tree.bone_names), ::testing::ElementsAre("root", "B", "A", "C"));
	// C's parent text "ROOT" links it to "root"; children follow bone_names, not build or rest order.
	EXPECT_THAT(Strings(tree.node_map.FindChecked(FName("root")).children), ::testing::ElementsAre("A", "C"));
	EXPECT_THAT(Strings(tree.node_map.FindChecked(FName("A")).children), ::testing::ElementsAre("B"));
	EXPECT_TRUE(tree.node_map.FindChecked(FName("B")).children.IsEmpty());

	EXPECT_TRUE(tree.getParentName(FName("root")).IsNone());
	EXPECT_EQ(tree.getParentName(FName("b")), FName("A"));
	EXPECT_TRUE(tree.getParentName(FName("Nope")).IsNone());
	EXPECT_TRUE(tree.getParentName(FName()).IsNone());
}

TEST(SkeletonTreeConstruction, EmptyParentTextMakesARootAndDuplicateNamesKeepTheLaterNode)
{
	TestTree tree;
	tree.bones = {{"root", ""}, {"A", "root"}, {"A", "None"}};
	tree.rest.clear();
	tree.init();
	EXPECT_EQ(tree.node_map.Num(), 2);
	EXPECT_EQ(tree.bone_names.Num(), 3);
	EXPECT_TRUE(tree.getParentName(FName("root")).IsNone());
	// The later "A" replaced the earlier one: it is a root now and nobody's child.
	EXPECT_TRUE(tree.getParentName(FName("A")).IsNone());
	EXPECT_TRUE(tree.node_map.FindChecked(FName("root")).children.IsEmpty());
}

TEST(SkeletonTreeConstruction, PlainTreeLogsTwiceAndStaysEmpty)
{
	struct Captured
	{
		std::string message;
		int line;
		std::string file;
	};
	std::vector<Captured> records;
	FLogSink previous = FMsg::SetSink(
		[&records](const FLogRecord& record)
		{
			EXPECT_STREQ(record.Category, "LogTemp");
			EXPECT_EQ(record.Verbosity, ELogVerbosity::Warning);
			records.push_back({record.Message, record.Line, record.File});
		});
	OxSkeletonTree tree;
	tree.init();
	FMsg::SetSink(previous);

	ASSERT_EQ(records.size(), 2u);
	EXPECT_EQ(records[0].message, "should no be here");
	EXPECT_EQ(records[1].message, "should no be here");
	EXPECT_EQ(records[0].line, 36);
	EXPECT_EQ(records[1].line, 43);
	EXPECT_THAT(records[0].file, ::testing::EndsWith("Source/OxRetarget/Private/OxSkeletonTree/OxSkeletonTree.cpp"));
	EXPECT_TRUE(SameBits(tree.get_pose_in_world(FName("root")), Transform::Identity));
}

TEST(SkeletonTreeTPose, AppliesRestRotationsOnlyAndRecordsWorldTPose)
{
	TestTree tree;
	tree.init();
	const Quat rz90 = Quat::MakeFromEuler(Vec(0, 0, 90));
	// The rest translation and scale of A do not take effect.
	ExpectTransformNear(tree.get_t_pose_in_local(FName("A")), Transform(rz90));
	ExpectTransformNear(tree.get_pose_in_local(FName("A")), Transform(rz90));
	// B inherits A's rotation in world space; bones not listed keep the identity.
	ExpectTransformNear(tree.get_t_pose_in_local(FName("B")), Transform::Identity);
	ExpectTransformNear(tree.get_t_pose_in_world(FName("B")), Transform::Identity);
	ExpectTransformNear(tree.get_pose_in_world(FName("B")), Transform(rz90));
	ExpectTransformNear(tree.get_t_pose_in_world(FName("A")), Transform(rz90));
}

TEST(SkeletonTreePoses, WorldPoseComposesLocalPosesFromTheRootDown)
{
	TestTree tree;
	tree.rest.clear();
	tree.init();
	// root
	//  +- A  (90 deg about Z, translation (1, 0, 0))
	//      +- B  (translation (0, 2, 0))
	// World translation of B = Rz90 (0, 2, 0) + (1, 0, 0) = (-1, 0, 0).
	const Quat rz90 = Quat::MakeFromEuler(Vec(0, 0, 90));
	tree.set_pose_in_local(FName("A"), Transform(rz90, Vec(1, 0, 0)));
	tree.set_pose_in_local(FName("B"), Transform(Quat::Identity, Vec(0, 2, 0)));
	const Transform world_b = tree.get_pose_in_world(FName("B"));
	ExpectTransformNear(world_b, Transform(rz90, Vec(-1, 0, 0)));

	// The association is local(B) * (local(A) * (local(root) * identity)), bit for bit.
	const Transform expected = tree.get_pose_in_local(FName("B")) *
		(tree.get_pose_in_local(FName("A")) * (tree.get_pose_in_local(FName("root")) * Transform::Identity));
	EXPECT_TRUE(SameBits(world_b, expected));

	// Changing A moves B on the next call.
	tree.set_pose_in_local(FName("A"), Transform(Quat::Identity, Vec(0, 0, 3)));
	ExpectTransformNear(tree.get_pose_in_world(FName("B")), Transform(Quat::Identity, Vec(0, 2, 3)));
	// Changing the root moves everything below it.
	tree.set_pose_in_local(FName("root"), Transform(Quat::Identity, Vec(10, 0, 0)));
	ExpectTransformNear(tree.get_pose_in_world(FName("B")), Transform(Quat::Identity, Vec(10, 2, 3)));
	ExpectTransformNear(tree.get_pose_in_world(FName("root")), tree.get_pose_in_local(FName("root")));
}

TEST(SkeletonTreePoses, NegativeScaleTakesTheMatrixRouteWithProductScale)
{
	TestTree tree;
	tree.rest.clear();
	tree.init();
	// A's scale has one magnitude, so the composition is exactly representable and points can be
	// checked; the signs make it a mirror.
	tree.set_pose_in_local(FName("A"), Transform(Quat::Identity, Vec(1, 0, 0), Vec(-2, 2, 2)));
	tree.set_pose_in_local(FName("B"), Transform(Quat::MakeFromEuler(Vec(0, 0, 90)), Vec(0, 1, 0), Vec(1, -3, 1)));
	const Transform world = tree.get_pose_in_world(FName("B"));
	EXPECT_DOUBLE_EQ(world.Scale3D.X, -2.0);
	EXPECT_DOUBLE_EQ(world.Scale3D.Y, -6.0);
	EXPECT_DOUBLE_EQ(world.Scale3D.Z, 2.0);
	// Points map as B's local transform followed by A's.
	const Vec point(0.5, -0.25, 2.0);
	const Vec through_chain = tree.get_pose_in_local(FName("A"))
								  .TransformPosition(tree.get_pose_in_local(FName("B")).TransformPosition(point));
	EXPECT_TRUE(world.TransformPosition(point).Equals(through_chain, 1e-9))
		<< *world.TransformPosition(point).ToString() << " vs " << *through_chain.ToString();
}

TEST(SkeletonTreePoses, UpdateChangesOnlyRotationsOfKnownBonesAndTheLastEntryWins)
{
	TestTree tree;
	tree.rest.clear();
	tree.init();
	const Transform original(Quat::Identity, Vec(1, 2, 3), Vec(4, 5, 6));
	tree.set_pose_in_local(FName("A"), original);

	const Quat first = Quat::MakeFromEuler(Vec(10, 20, 30));
	const Quat second = Quat(0.1, 0.2, 0.3, 0.9); // not normalised: stored as given
	TArray<FName> names{FName("a"), FName("Missing"), FName("A")};
	TArray<Transform> transforms{Transform(first, Vec(9, 9, 9), Vec(7, 7, 7)), Transform(first),
		Transform(second, Vec(8, 8, 8)), Transform(Quat(1, 0, 0, 0))};
	tree.update(names, transforms);

	const Transform after = tree.get_pose_in_local(FName("A"));
	EXPECT_EQ(after.Rotation, second);
	EXPECT_EQ(after.Translation, original.Translation);
	EXPECT_EQ(after.Scale3D, original.Scale3D);
	// The surplus transform is ignored; other bones are untouched.
	EXPECT_EQ(tree.get_pose_in_local(FName("B")).Rotation, Quat::Identity);

	// A repeated call with the same names uses the new transforms.
	transforms[2] = Transform(first);
	tree.update(names, transforms);
	EXPECT_EQ(tree.get_pose_in_local(FName("A")).Rotation, first);
	EXPECT_TRUE(tree.get_pose_in_world(FName("B")).Rotation.Equals(first, kTol));
}

TEST(SkeletonTreePoses, SetPoseKeepsBitsAndUnknownNamesReadAsIdentity)
{
	TestTree tree;
	tree.init();
	const Transform odd(Quat(0.5, 0.5, 0.5, 0.7), Vec(-1e-300, 3.5, 1e300), Vec(0.25, 3, 0));
	tree.set_pose_in_local(FName("C"), odd);
	EXPECT_TRUE(SameBits(tree.get_pose_in_local(FName("C")), odd));

	tree.set_pose_in_local(FName("Nobody"), odd);
	for (const FName name : {FName("Nobody"), FName(), FName("root_1")})
	{
		EXPECT_TRUE(SameBits(tree.get_pose_in_local(name), Transform::Identity));
		EXPECT_TRUE(SameBits(tree.get_pose_in_world(name), Transform::Identity));
		EXPECT_TRUE(SameBits(tree.get_t_pose_in_local(name), Transform::Identity));
		EXPECT_TRUE(SameBits(tree.get_t_pose_in_world(name), Transform::Identity));
	}
}

TEST(SkeletonTreePoses, TPosesSurviveUpdatesAndCopiesAreIndependent)
{
	TestTree tree;
	tree.init();
	const Transform t_local = tree.get_t_pose_in_local(FName("A"));
	const Transform t_world = tree.get_t_pose_in_world(FName("B"));

	TestTree copy(tree);
	tree.set_pose_in_local(FName("A"), Transform(Quat::MakeFromEuler(Vec(1, 2, 3)), Vec(1, 1, 1)));
	tree.update(TArray<FName>{FName("B")}, TArray<Transform>{Transform(Quat::MakeFromEuler(Vec(4, 5, 6)))});
	EXPECT_TRUE(SameBits(tree.get_t_pose_in_local(FName("A")), t_local));
	EXPECT_TRUE(SameBits(tree.get_t_pose_in_world(FName("B")), t_world));

	// The copy still has the T-pose as its current pose, in local and world space.
	EXPECT_TRUE(SameBits(copy.get_pose_in_local(FName("A")), t_local));
	EXPECT_TRUE(copy.get_pose_in_world(FName("B")).Equals(tree.get_t_pose_in_world(FName("A")), kTol));

	TestTree assigned;
	assigned = tree;
	copy.set_pose_in_local(FName("A"), Transform::Identity);
	EXPECT_TRUE(SameBits(assigned.get_pose_in_world(FName("B")), tree.get_pose_in_world(FName("B"))));
}

TEST(SkeletonTreeDeathTest, UpdateWithFewerTransformsThanNamesStops)
{
	TestTree tree;
	tree.init();
	TArray<FName> names{FName("A"), FName("B")};
	TArray<Transform> transforms{Transform::Identity};
	EXPECT_DEATH(tree.update(names, transforms), "Array index out of bounds: 1 from an array of size 1");
}

TEST(SkeletonTreeDeathTest, ParentCycleStopsAtInit)
{
	TestTree tree;
	tree.bones = {{"A", "B"}, {"B", "A"}};
	tree.rest.clear();
	EXPECT_DEATH(tree.init(), "parent cycle");
}
} // namespace
