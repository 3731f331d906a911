#include "OxKZ_Log.h"
#include "OxSkeletonTreeKZ.h"
#include "OxSkeletonTreeUE.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

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

// Lines after the header come in pairs per bone: the indented name, then the same indentation and
// the " >> local" transform line. Returns how many lines keep to that pattern.
int CountBonePairs(const std::vector<std::string>& lines)
{
	int count = 0;
	for (size_t i = 1; i + 1 < lines.size(); i += 2)
	{
		const std::string& name = lines[i];
		const size_t indent = name.find_first_not_of("|-");
		const bool paired = indent != std::string::npos && indent % 3 == 0 &&
			name.find(" >> local") == std::string::npos &&
			lines[i + 1].rfind(name.substr(0, indent) + " >> local R=(", 0) == 0;
		count += paired ? 1 : 0;
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
	EXPECT_EQ(CountBonePairs(log.lines), 67);
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
	EXPECT_EQ(CountBonePairs(before), 64);
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
// A sink that prints from inside itself neither deadlocks nor recurses: the inner line goes to
// standard output, and the sink may put the previous sink back from inside itself.
TEST(PrintTreeDeathTest, SinkThatPrintsAndReplacesItselfFinishes)
{
	EXPECT_EXIT(
		{
			::alarm(10); // a deadlock ends in SIGALRM
			int calls = 0;
			OxKZ_Log::Sink previous;
			previous = OxKZ_Log::setSink(
				[&calls, &previous](const FString& line)
				{
					++calls;
					OxKZ_Log::printString("inner " + line);
					OxKZ_Log::setSink(previous);
				});
			OxKZ_Log::printString(FString("outer"));
			OxKZ_Log::printString(FString("after"));
			std::fflush(stdout);
			std::_Exit(calls == 1 ? 0 : 1);
		},
		::testing::ExitedWithCode(0), "");
}
} // namespace
