#include "CoreMinimal.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{
std::string Text(FName Name)
{
	return std::string(*Name.ToString());
}

TEST(FNameTest, EqualityIgnoresCaseAndComparesNumberSuffix)
{
	EXPECT_EQ(FName("Bone_2"), FName("bone_2"));
	EXPECT_EQ(FName("Bone_2"), FName("BONE_2"));
	EXPECT_FALSE(FName("Bone_2") == FName("Bone_3"));
	EXPECT_FALSE(FName("Bone_2") == FName("Bone"));
	EXPECT_FALSE(FName("Bone") == FName("Bones"));
	EXPECT_EQ(FName("Bone_2").GetPlainNameString().ToStdString(), "Bone");
	// Made from a base and the internal number (suffix + 1).
	EXPECT_EQ(FName("Bone", 3), FName("Bone_2"));
	// "_0" is the number 0, which differs from no number at all.
	EXPECT_FALSE(FName("Bone_0") == FName("Bone"));
}

TEST(FNameTest, SuffixWithLeadingZeroStaysInText)
{
	const FName Padded("spine_01");
	EXPECT_FALSE(Padded == FName("spine_1"));
	EXPECT_EQ(Padded.GetNumber(), NAME_NO_NUMBER_INTERNAL);
	EXPECT_EQ(Padded.GetPlainNameString().ToStdString(), "spine_01");
	EXPECT_EQ(Text(Padded), "spine_01");
	EXPECT_EQ(Padded, FName("SPINE_01"));
}

TEST(FNameTest, TextsThatAreNotSplit)
{
	// No base before the underscore, no digits, or only digits: the whole text is the name.
	for (const TCHAR* Whole : {"_5", "Bone_", "42"})
	{
		EXPECT_EQ(FName(Whole).GetNumber(), NAME_NO_NUMBER_INTERNAL) << Whole;
		EXPECT_EQ(Text(FName(Whole)), Whole);
	}
}

TEST(FNameTest, EmptyAndNoneGiveNone)
{
	for (const TCHAR* Spelling : {"", "None", "none", "NONE"})
	{
		SCOPED_TRACE(Spelling);
		const FName Name(Spelling);
		EXPECT_TRUE(Name.IsNone());
		EXPECT_TRUE(Name == NAME_None);
		EXPECT_EQ(Name, FName());
		EXPECT_EQ(Name, FName(NAME_None));
	}
	EXPECT_TRUE(FName(static_cast<const TCHAR*>(nullptr)).IsNone());
	EXPECT_EQ(Text(FName()), "None");
	EXPECT_FALSE(FName("Hips").IsNone());
	EXPECT_FALSE(FName("Hips") == NAME_None);
	// A numbered None is a name of its own.
	EXPECT_FALSE(FName("None_1").IsNone());
}

TEST(FNameTest, ToStringKeepsEachSpellingAndReattachesNumber)
{
	const FName Mixed("Hips");
	const FName Upper("HIPS");
	EXPECT_EQ(Mixed, Upper);
	EXPECT_EQ(Text(Mixed), "Hips");
	EXPECT_EQ(Text(Upper), "HIPS");
	EXPECT_EQ(Text(FName("Bone_2")), "Bone_2");
	EXPECT_EQ(Text(FName("bone_2")), "bone_2");
	EXPECT_EQ(Text(FName("Bone", 3)), "Bone_2");
	EXPECT_EQ(Text(FName("Bone_0")), "Bone_0");

	FString Out("stale");
	FName("LeftArm_7").ToString(Out);
	EXPECT_EQ(Out.ToStdString(), "LeftArm_7");

	const FString Source("Spine_3");
	EXPECT_EQ(FName(Source), FName("spine_3"));
}

TEST(FNameTest, HashIsEqualForEqualNames)
{
	EXPECT_EQ(GetTypeHash(FName("Bone_2")), GetTypeHash(FName("BONE_2")));
	EXPECT_EQ(GetTypeHash(FName("Hips")), GetTypeHash(FName("hips")));
	EXPECT_EQ(GetTypeHash(FName("")), GetTypeHash(FName("None")));
	EXPECT_NE(GetTypeHash(FName("Bone_2")), GetTypeHash(FName("Bone_3")));
}

// 8 threads each make the same shared texts (in differing letter case) and texts of their own,
// interleaved; afterwards every result must match a name made on the main thread.
TEST(FNameTest, NamesMadeConcurrentlyAgree)
{
	constexpr int kThreads = 8;
	constexpr int kRounds = 200;
	const std::vector<std::string> Shared = {"Shared_Hips", "shared_hips", "SHARED_Spine_4", "Shared_Spine_4", "Head"};
	const auto OwnText = [](int Thread, int Round)
	{ return "Thread" + std::to_string(Thread) + "_Bone" + std::to_string(Round) + "_" + std::to_string(Round % 5); };
	std::vector<std::vector<FName>> Made(kThreads);
	std::vector<std::thread> Threads;
	for (int Thread = 0; Thread < kThreads; ++Thread)
	{
		Threads.emplace_back(
			[&, Thread]
			{
				for (int Round = 0; Round < kRounds; ++Round)
				{
					for (const std::string& Spelling : Shared)
					{
						Made[Thread].push_back(FName(Spelling.c_str()));
					}
					Made[Thread].push_back(FName(OwnText(Thread, Round).c_str()));
				}
			});
	}
	for (std::thread& Thread : Threads)
	{
		Thread.join();
	}

	const std::size_t PerRound = Shared.size() + 1;
	for (int Thread = 0; Thread < kThreads; ++Thread)
	{
		ASSERT_EQ(Made[Thread].size(), PerRound * kRounds);
		for (std::size_t Index = 0; Index < Made[Thread].size(); ++Index)
		{
			const std::size_t Slot = Index % PerRound;
			const std::string Expected =
				Slot < Shared.size() ? Shared[Slot] : OwnText(Thread, static_cast<int>(Index / PerRound));
			ASSERT_EQ(Made[Thread][Index], FName(Expected.c_str()));
			ASSERT_EQ(Text(Made[Thread][Index]), Expected);
		}
		EXPECT_EQ(Made[Thread][0], Made[Thread][1]);
		EXPECT_EQ(Made[Thread][2], Made[Thread][3]);
		EXPECT_FALSE(Made[Thread][0] == Made[Thread][2]);
	}
	EXPECT_FALSE(Made[0][Shared.size()] == Made[1][Shared.size()]);
}
} // namespace
