#include "OxKZ_Log.h"
#include "OxSkeletonTreeKZ.h"
#include "OxSkeletonTreeUE.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
// Captures every line OxKZ_Log writes while alive.
class CapturedLog
{
public:
	CapturedLog()
	{
		previous_ = OxKZ_Log::setSink([this](const FString& line) { lines.emplace_back(*line); });
	}
	~CapturedLog() { OxKZ_Log::setSink(previous_); }

	std::vector<std::string> lines;

private:
	OxKZ_Log::Sink previous_;
};

// Lines come in pairs per bone: the name, then the " >> local" transform line.
int CountNameLines(const std::vector<std::string>& lines)
{
	int count = 0;
	for (size_t i = 1; i < lines.size(); i += 2)
	{
		++count;
	}
	return count;
}

TEST(PrintTree, SourceSkeletonPrintsHeaderThenOnePairPerBoneDepthFirst)
{
	OxSkeletonTreeKZ tree;
	tree.init();
	CapturedLog log;
	tree.printTree();

	ASSERT_EQ(log.lines.size(), 1u + 2u * 67u);
	EXPECT_EQ(CountNameLines(log.lines), 67);
	EXPECT_EQ(log.lines[0], "------ skeleton tree ------");
	EXPECT_EQ(log.lines[1], "Hips");
	EXPECT_EQ(log.lines[2], " >> local R=(0, 0, 0, 1) T=(0, 0, 0) S=(1, 1, 1)");
	EXPECT_EQ(log.lines[3], "|--Spine");
	EXPECT_EQ(log.lines[4].rfind("|-- >> local ", 0), 0u);
	EXPECT_EQ(log.lines[5], "|--|--Spine1");
	EXPECT_EQ(log.lines[7], "|--|--|--Spine2");
	EXPECT_EQ(log.lines[8].rfind("|--|--|-- >> local ", 0), 0u);
	// The whole spine subtree comes before the legs, right leg before left.
	std::vector<std::string> depth_one;
	for (size_t i = 1; i < log.lines.size(); i += 2)
	{
		const std::string& line = log.lines[i];
		if (line.rfind("|--", 0) == 0 && line.rfind("|--|--", 0) != 0)
		{
			depth_one.push_back(line.substr(3));
		}
	}
	EXPECT_THAT(depth_one, ::testing::ElementsAre("Spine", "RightUpLeg", "LeftUpLeg"));
	EXPECT_EQ(log.lines.back().rfind("|--|--|--|--|-- >> local ", 0), 0u);
	EXPECT_EQ(log.lines[log.lines.size() - 2], "|--|--|--|--|--LeftToe_End");
}

TEST(PrintTree, TargetSkeletonPrints64BonesAndShowsOnlyTheChangedPose)
{
	OxSkeletonTreeUE tree;
	tree.init();
	std::vector<std::string> before;
	{
		CapturedLog log;
		tree.printTree();
		before = log.lines;
	}
	ASSERT_EQ(before.size(), 1u + 2u * 64u);
	EXPECT_EQ(before[1], "root");
	EXPECT_EQ(before[3], "|--pelvis");

	tree.set_pose_in_local(FName("head"), TTransform<double>(TQuat<double>::Identity, TVector<double>(0, 0, 2)));
	CapturedLog log;
	tree.printTree();
	ASSERT_EQ(log.lines.size(), before.size());
	int differing = 0;
	for (size_t i = 0; i < before.size(); ++i)
	{
		if (before[i] != log.lines[i])
		{
			++differing;
			EXPECT_EQ(log.lines[i - 1].substr(log.lines[i - 1].rfind('-') + 1), "head");
			EXPECT_THAT(log.lines[i], ::testing::HasSubstr("T=(0, 0, 2)"));
		}
	}
	EXPECT_EQ(differing, 1);
}

TEST(PrintTree, UnbuiltTreePrintsOnlyTheHeader)
{
	OxSkeletonTreeKZ tree;
	CapturedLog log;
	tree.printTree();
	EXPECT_THAT(log.lines, ::testing::ElementsAre("------ skeleton tree ------"));
}
} // namespace
