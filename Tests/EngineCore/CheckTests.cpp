#include "CoreMinimal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

namespace
{
DEFINE_LOG_CATEGORY(LogOxCheckTest);

int32 Opaque(int32 Value)
{
	// Keeps the compiler from folding the failing conditions below.
	volatile int32 Copy = Value;
	return Copy;
}

// ---------------------------------------------------------------------------------------------
// Checks stop the process

TEST(CheckDeathTest, ArrayIndexOutOfBounds)
{
	TArray<int32> Values{1, 2, 3};
	const TArray<int32>& Const = Values;
	EXPECT_DEATH((void)Values[Opaque(5)], "Array index out of bounds: 5 from an array of size 3\n");
	EXPECT_DEATH((void)Const[Opaque(3)], "Array index out of bounds: 3 from an array of size 3\n");
	EXPECT_DEATH((void)Values[Opaque(-1)], "Array index out of bounds: -1 from an array of size 3\n");
	EXPECT_DEATH(Values.RemoveAt(Opaque(1), 3), "Array index out of bounds: 3 from an array of size 3\n");
	EXPECT_DEATH((void)TArray<int32>().Last(), "Array index out of bounds: -1 from an array of size 0\n");
}

// Negative counts are checked like indices, and a null text is not a text to compare with.
TEST(CheckDeathTest, NegativeCountsAndNullText)
{
	TArray<int32> Values{1, 2, 3};
	EXPECT_DEATH(Values.AddDefaulted(Opaque(-1)), "Negative element count -1\n");
	EXPECT_DEATH(Values.RemoveAt(1, Opaque(-1)), "Negative element count -1\n");
	EXPECT_DEATH(Values.SetNum(Opaque(-2)), "Negative element count -2\n");
	EXPECT_DEATH((void)FString(Opaque(-1), "abc"), "Negative character count -1\n");
	const TCHAR* volatile Null = nullptr;
	EXPECT_DEATH((void)(FString("abc") == Null), "FString compared with a null text\n");
	// Zero counts stay harmless.
	Values.AddDefaulted(0);
	Values.RemoveAt(3, 0);
	EXPECT_EQ(Values.Num(), 3);
	EXPECT_TRUE(FString(0, "abc").IsEmpty());
}

TEST(CheckDeathTest, MapFindCheckedOfAbsentKey)
{
	TMap<FName, int32> Map;
	Map.Add(FName("Hips"), 1);
	EXPECT_DEATH((void)Map.FindChecked(FName("Spine")), "Key not found in map");
	EXPECT_DEATH((void)Map[FName("Hips_1")], "Key not found in map");
	const TMap<FName, int32>& Const = Map;
	EXPECT_DEATH((void)Const.FindChecked(FName("Head")), "Key not found in map");
}

TEST(CheckDeathTest, CheckPrintsExpressionFileLineAndMessage)
{
	const int32 Value = Opaque(1);
	// Each check sits alone on its line, so the expected line number does not depend on layout.
	const std::string CheckLine = std::to_string(__LINE__ + 1);
	const auto FailCheck = [Value] { check(Value > 2); };
	const std::string CheckfLine = std::to_string(__LINE__ + 1);
	const auto FailCheckf = [Value] { checkf(Value == 2, "Value was %d, wanted %s", Value, "two"); };
	EXPECT_DEATH(
		FailCheck(), "Assertion failed: Value > 2 \\[File:[^]]*CheckTests\\.cpp\\] \\[Line: " + CheckLine + "\\]");
	EXPECT_DEATH(FailCheckf(),
		"Assertion failed: Value == 2 \\[File:[^]]*CheckTests\\.cpp\\] \\[Line: " + CheckfLine +
			"\\]\nValue was 1, wanted two\n");

	EXPECT_DEATH(checkNoEntry(), "Enclosing block should never be called \\[File:[^]]*CheckTests\\.cpp\\]");
	// A passing check has no effect.
	check(Value == 1);
	checkf(Value == 1, "unused %d", Value);
}

// ---------------------------------------------------------------------------------------------
// Logging

struct FCapturedRecord
{
	std::string Category;
	ELogVerbosity Verbosity;
	std::string File;
	int32 Line;
	std::string Message;
};

bool EndsWith(const std::string& Text, const std::string& Suffix)
{
	return Text.size() >= Suffix.size() && Text.compare(Text.size() - Suffix.size(), Suffix.size(), Suffix) == 0;
}

TEST(LogTest, SinkReceivesOneRecordPerCall)
{
	std::vector<FCapturedRecord> Seen;
	FLogSink Previous = FMsg::SetSink(
		[&Seen](const FLogRecord& Record) {
			Seen.push_back({Record.Category, Record.Verbosity, Record.File, Record.Line, Record.Message});
		});
	const int32 ExpectedLine = __LINE__ + 1;
	UE_LOG(LogTemp, Warning, TEXT("x %d"), 3);
	UE_LOG(LogOxCheckTest, Verbose, TEXT("plain"));
	UE_LOG(LogTemp, Error, TEXT("%s|%.2f"), "Hips", 0.5);
	// Put the previous sink back before asserting; SetSink hands ours back.
	const FLogSink Ours = FMsg::SetSink(std::move(Previous));
	EXPECT_TRUE(static_cast<bool>(Ours));

	ASSERT_EQ(Seen.size(), 3u);
	EXPECT_EQ(Seen[0].Category, "LogTemp");
	EXPECT_EQ(Seen[0].Verbosity, ELogVerbosity::Warning);
	EXPECT_EQ(Seen[0].Message, "x 3");
	EXPECT_TRUE(EndsWith(Seen[0].File, "CheckTests.cpp")) << Seen[0].File;
	EXPECT_EQ(Seen[0].Line, ExpectedLine);
	EXPECT_EQ(Seen[1].Category, "LogOxCheckTest");
	EXPECT_EQ(Seen[1].Verbosity, ELogVerbosity::Verbose);
	EXPECT_EQ(Seen[1].Message, "plain");
	EXPECT_EQ(Seen[1].Line, ExpectedLine + 1);
	EXPECT_EQ(Seen[2].Message, "Hips|0.50");
}

// The default sink writes one line to standard error; a death test captures it.
TEST(LogDeathTest, DefaultSinkWritesToStandardError)
{
	EXPECT_DEATH(
		{
			UE_LOG(LogTemp, Warning, TEXT("x %d"), 3);
			std::abort();
		},
		"LogTemp: Warning: x 3 \\[[^]]*CheckTests\\.cpp:[0-9]+\\]");
}

// A sink that logs from inside itself neither deadlocks nor recurses: the inner record goes to
// standard error, and the sink may put the previous sink back from inside itself.
TEST(LogDeathTest, SinkThatLogsAndReplacesItselfFinishes)
{
	EXPECT_EXIT(
		{
			::alarm(10); // a deadlock ends in SIGALRM
			int32 Calls = 0;
			FLogSink Previous;
			Previous = FMsg::SetSink(
				[&Calls, &Previous](const FLogRecord& Record)
				{
					++Calls;
					UE_LOG(LogTemp, Display, TEXT("inner %s"), Record.Message);
					FMsg::SetSink(Previous);
				});
			UE_LOG(LogTemp, Warning, TEXT("outer"));
			UE_LOG(LogTemp, Warning, TEXT("after"));
			std::_Exit(Calls == 1 ? 0 : 1);
		},
		::testing::ExitedWithCode(0), "LogTemp: Display: inner outer .*\n.*LogTemp: Warning: after ");
}

// ---------------------------------------------------------------------------------------------
// Allocator

TEST(MemoryTest, CountsGrowWithArraysButNotWhenRefilledWithinCapacity)
{
	TArray<int32> Values;
	const uint64 BeforeGrowth = FMemory::GetAllocationCount();
	for (int32 Index = 0; Index < 1000; ++Index)
	{
		Values.Add(Index);
	}
	EXPECT_GT(FMemory::GetAllocationCount(), BeforeGrowth);

	Values.Reset();
	const int32 Capacity = Values.Max();
	const uint64 BeforeRefill = FMemory::GetAllocationCount();
	for (int32 Index = 0; Index < Capacity; ++Index)
	{
		Values.Add(-Index);
	}
	EXPECT_EQ(FMemory::GetAllocationCount(), BeforeRefill);
	EXPECT_EQ(Values.Num(), Capacity);

	const int64 LiveBefore = FMemory::GetLiveAllocationCount();
	{
		TArray<int32> Scoped;
		Scoped.Add(1);
		EXPECT_EQ(FMemory::GetLiveAllocationCount(), LiveBefore + 1);
	}
	EXPECT_EQ(FMemory::GetLiveAllocationCount(), LiveBefore);
}
} // namespace
