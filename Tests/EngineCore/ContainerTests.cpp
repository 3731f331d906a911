#include "CoreMinimal.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace
{
std::string Str(const FString& Text)
{
	return Text.ToStdString();
}

// ---------------------------------------------------------------------------------------------
// FString

//            0         1
//            01234567890123456
// Haystack: "Hello World Hello"
TEST(FStringFindTest, CaseAndDirection)
{
	const FString Haystack("Hello World Hello");
	EXPECT_EQ(Haystack.Find("hello"), 0); // IgnoreCase by default
	EXPECT_EQ(Haystack.Find("hello", ESearchCase::CaseSensitive), INDEX_NONE);
	EXPECT_EQ(Haystack.Find("World", ESearchCase::CaseSensitive), 6);
	EXPECT_EQ(Haystack.Find("HELLO", ESearchCase::IgnoreCase, ESearchDir::FromEnd), 12);
	EXPECT_EQ(Haystack.Find("hello", ESearchCase::CaseSensitive, ESearchDir::FromEnd), INDEX_NONE);
	EXPECT_EQ(Haystack.Find("Hello World Hello!"), INDEX_NONE);
	EXPECT_EQ(Haystack.Find(FString("WORLD")), 6);
	EXPECT_TRUE(Haystack.Contains("o w"));
	EXPECT_FALSE(Haystack.Contains("o w", ESearchCase::CaseSensitive));
}

TEST(FStringFindTest, StartPosition)
{
	const FString Haystack("Hello World Hello");
	// -1 searches the whole text in both directions.
	EXPECT_EQ(Haystack.Find("o", ESearchCase::CaseSensitive, ESearchDir::FromStart, -1), 4);
	EXPECT_EQ(Haystack.Find("o", ESearchCase::CaseSensitive, ESearchDir::FromEnd, -1), 16);
	// Forward: the match may begin at StartPosition.
	EXPECT_EQ(Haystack.Find("o", ESearchCase::CaseSensitive, ESearchDir::FromStart, 4), 4);
	EXPECT_EQ(Haystack.Find("o", ESearchCase::CaseSensitive, ESearchDir::FromStart, 5), 7);
	EXPECT_EQ(Haystack.Find("hello", ESearchCase::IgnoreCase, ESearchDir::FromStart, 1), 12);
	EXPECT_EQ(Haystack.Find("o", ESearchCase::CaseSensitive, ESearchDir::FromStart, 17), INDEX_NONE);
	// Backward: the match must end at or before StartPosition.
	EXPECT_EQ(Haystack.Find("Hello", ESearchCase::CaseSensitive, ESearchDir::FromEnd, 17), 12);
	EXPECT_EQ(Haystack.Find("Hello", ESearchCase::CaseSensitive, ESearchDir::FromEnd, 16), 0);
	EXPECT_EQ(Haystack.Find("Hello", ESearchCase::CaseSensitive, ESearchDir::FromEnd, 5), 0);
	EXPECT_EQ(Haystack.Find("Hello", ESearchCase::CaseSensitive, ESearchDir::FromEnd, 4), INDEX_NONE);
	EXPECT_EQ(Haystack.Find("o", ESearchCase::CaseSensitive, ESearchDir::FromEnd, 100), 16);
}

// The empty string occurs at every position: first at the start, last at the end.
TEST(FStringFindTest, EmptyStrings)
{
	const FString Text("abc");
	EXPECT_EQ(Text.Find(""), 0);
	EXPECT_EQ(Text.Find("", ESearchCase::CaseSensitive, ESearchDir::FromEnd), 3);
	EXPECT_EQ(Text.Find("", ESearchCase::CaseSensitive, ESearchDir::FromStart, 2), 2);
	EXPECT_EQ(FString().Find(""), 0);
	EXPECT_EQ(FString().Find("a"), INDEX_NONE);
	EXPECT_EQ(FString().Find("a", ESearchCase::IgnoreCase, ESearchDir::FromEnd), INDEX_NONE);
	EXPECT_EQ(Text.Find(static_cast<const TCHAR*>(nullptr)), INDEX_NONE);
}

TEST(FStringTest, AppendAndConcatenate)
{
	FString Text("ab");
	Text.AppendChars("cdefg", 2);
	Text.AppendChars("xyz", 0);
	EXPECT_EQ(Str(Text), "abcd");
	EXPECT_EQ(Text.Len(), 4);

	const FString Left("Left");
	const FString Right("Right");
	EXPECT_EQ(Str(Left + Right), "LeftRight");
	EXPECT_EQ(Str(Left + "_x"), "Left_x");
	EXPECT_EQ(Str("x_" + Right), "x_Right");
	EXPECT_EQ(Str(Left), "Left"); // operands untouched
}

TEST(FStringTest, EqualityIgnoresCaseButEqualsCanBeExact)
{
	const FString Hips("Hips");
	EXPECT_TRUE(Hips == FString("HIPS"));
	EXPECT_TRUE(Hips == "hips");
	EXPECT_FALSE(Hips == FString("Hip"));
	EXPECT_FALSE(Hips == "Hipss");
	EXPECT_FALSE(Hips.Equals(FString("HIPS")));
	EXPECT_FALSE(Hips.Equals(FString("HIPS"), ESearchCase::CaseSensitive));
	EXPECT_TRUE(Hips.Equals(FString("HIPS"), ESearchCase::IgnoreCase));
	EXPECT_TRUE(Hips.Equals(FString("Hips"), ESearchCase::CaseSensitive));
	EXPECT_FALSE(Hips.Equals(FString("Hipster"), ESearchCase::IgnoreCase));
	EXPECT_EQ(GetTypeHash(Hips), GetTypeHash(FString("hIPS")));
}

TEST(FStringTest, Printf)
{
	EXPECT_EQ(Str(FString::Printf("%s=%d", "Bone", 42)), "Bone=42");
	EXPECT_EQ(Str(FString::Printf("%.3f|%5s|%c", 1.5, "ab", 'z')), "1.500|   ab|z");
	EXPECT_TRUE(FString::Printf("%s", "").IsEmpty());
	// Longer than any small fixed buffer.
	const std::string Long(5000, 'q');
	const FString Formatted = FString::Printf("<%s>", Long.c_str());
	EXPECT_EQ(Formatted.Len(), 5002);
	EXPECT_EQ(Str(Formatted), "<" + Long + ">");
}

TEST(FStringTest, SanitizeFloatRoundTripsDoubles)
{
	const auto ExpectRoundTrip = [](double Value)
	{
		const FString Text = FString::SanitizeFloat(Value);
		const double Back = std::strtod(*Text, nullptr);
		EXPECT_EQ(std::memcmp(&Back, &Value, sizeof(double)), 0) << *Text;
	};
	for (const double Value : {0.0, -0.0, 1.0 / 3.0, 1e-310, 5e-324, DBL_MIN, DBL_MAX, -DBL_MAX, 1e22, HUGE_VAL})
	{
		ExpectRoundTrip(Value);
	}
	std::mt19937_64 Random(7);
	for (int Round = 0; Round < 2000; ++Round)
	{
		const uint64_t Bits = Random();
		double Value;
		std::memcpy(&Value, &Bits, sizeof(Value));
		if (std::isfinite(Value))
		{
			ExpectRoundTrip(Value);
		}
	}
	EXPECT_EQ(Str(FString::SanitizeFloat(0.1)), "0.1"); // shortest form
	EXPECT_EQ(Str(FString::SanitizeFloat(-2.5)), "-2.5");
}

// ---------------------------------------------------------------------------------------------
// TArray

TEST(TArrayTest, AddIndexIterateAndCopyDeeply)
{
	TArray<int32> Values;
	EXPECT_TRUE(Values.IsEmpty());
	for (int32 Index = 0; Index < 10; ++Index)
	{
		EXPECT_EQ(Values.Add(Index * Index), Index);
	}
	EXPECT_EQ(Values.Num(), 10);
	Values[3] = -1;
	EXPECT_EQ(Values[3], -1);
	EXPECT_EQ(Values.Last(), 81);
	int32 Sum = 0;
	for (const int32 Value : Values)
	{
		Sum += Value;
	}
	EXPECT_EQ(Sum, 285 - 9 - 1); // squares 0..9 sum to 285

	TArray<FString> Original{FString("a"), FString("b")};
	TArray<FString> Copy = Original;
	Copy[0] = FString("changed");
	Copy.Add(FString("c"));
	EXPECT_EQ(Original.Num(), 2);
	EXPECT_EQ(Str(Original[0]), "a");
	EXPECT_NE(Original.GetData(), Copy.GetData());
}

TEST(TArrayTest, FindContainsAndRemove)
{
	TArray<FName> Names{FName("Hips"), FName("Spine"), FName("Head"), FName("Spine")};
	EXPECT_EQ(Names.Find(FName("spine")), 1);
	EXPECT_EQ(Names.Find(FName("Tail")), INDEX_NONE);
	EXPECT_TRUE(Names.Contains(FName("HEAD")));
	EXPECT_FALSE(Names.Contains(FName("Head_1")));

	Names.RemoveAt(1);
	ASSERT_EQ(Names.Num(), 3);
	EXPECT_EQ(Names[0], FName("Hips"));
	EXPECT_EQ(Names[1], FName("Head"));
	EXPECT_EQ(Names[2], FName("Spine"));

	TArray<int32> Values{0, 1, 2, 3, 4, 5};
	Values.RemoveAt(1, 3);
	EXPECT_TRUE((Values == TArray<int32>{0, 4, 5}));
	Values.RemoveAt(2);
	EXPECT_TRUE((Values == TArray<int32>{0, 4}));
}

TEST(TArrayTest, ResetKeepsCapacityEmptyFreesIt)
{
	TArray<int32> Values;
	for (int32 Index = 0; Index < 100; ++Index)
	{
		Values.Add(Index);
	}
	const int32 Capacity = Values.Max();
	Values.Reset();
	EXPECT_EQ(Values.Num(), 0);
	EXPECT_EQ(Values.Max(), Capacity);
	Values.Empty();
	EXPECT_EQ(Values.Max(), 0);
}

// ---------------------------------------------------------------------------------------------
// TMap

TEST(TMapTest, AddReplacesFindReturnsNullForAbsentKeys)
{
	TMap<FName, int32> Map;
	EXPECT_EQ(Map.Find(FName("Hips")), nullptr);
	Map.Add(FName("Hips"), 1);
	Map.Add(FName("Spine"), 2);
	Map.Add(FName("HIPS"), 10);
	EXPECT_EQ(Map.Num(), 2);
	ASSERT_NE(Map.Find(FName("hips")), nullptr);
	EXPECT_EQ(*Map.Find(FName("hips")), 10);
	EXPECT_EQ(Map.FindChecked(FName("Spine")), 2);
	EXPECT_EQ(Map.Find(FName("Spine_1")), nullptr);
	EXPECT_TRUE(Map.Contains(FName("spine")));
	EXPECT_FALSE(Map.Contains(FName("Head")));

	const TMap<FName, int32>& Const = Map;
	EXPECT_EQ(Const.FindChecked(FName("Hips")), 10);
	EXPECT_EQ(Const.Find(FName("Head")), nullptr);

	Map.FindChecked(FName("Spine")) = 5;
	EXPECT_EQ(*Map.Find(FName("Spine")), 5);
}

TEST(TMapTest, IteratesInInsertionOrderAndReaddsAtTheEnd)
{
	TMap<FName, int32> Map;
	const char* Order[] = {"Zeta", "Alpha", "Mid", "Beta", "Omega"};
	for (int32 Index = 0; Index < 5; ++Index)
	{
		Map.Add(FName(Order[Index]), Index);
	}
	Map.Add(FName("alpha"), 100); // replaced in place, keeps its position
	const auto Listing = [&Map]
	{
		std::string Seen;
		for (const auto& Pair : Map)
		{
			Seen += std::string(*Pair.Key.ToString()) + "=" + std::to_string(Pair.Value) + " ";
		}
		return Seen;
	};
	EXPECT_EQ(Listing(), "Zeta=0 Alpha=100 Mid=2 Beta=3 Omega=4 ");

	EXPECT_EQ(Map.Remove(FName("MID")), 1);
	EXPECT_EQ(Map.Remove(FName("Mid")), 0);
	EXPECT_EQ(Map.Num(), 4);
	EXPECT_FALSE(Map.Contains(FName("Mid")));
	// The pairs after the removed one moved; they must still be found.
	EXPECT_EQ(*Map.Find(FName("Beta")), 3);
	EXPECT_EQ(*Map.Find(FName("Omega")), 4);

	Map.Add(FName("Mid"), 7);
	EXPECT_EQ(Listing(), "Zeta=0 Alpha=100 Beta=3 Omega=4 Mid=7 ");
}

// Half the keys share the base "Bone" and differ only by number; half have texts of their own.
// Every third key is then removed, which moves the pairs behind it.
TEST(TMapTest, ManyFNameKeys)
{
	constexpr int32 kCount = 1000;
	const auto KeyOf = [](int32 Index, bool Upper)
	{
		return FName(Index % 2 == 0 ? FString::Printf(Upper ? "BONE_%d" : "Bone_%d", Index)
									: FString::Printf(Upper ? "JOINT%dEND" : "Joint%dEnd", Index));
	};
	TMap<FName, int32> Map;
	for (int32 Index = 0; Index < kCount; ++Index)
	{
		Map.Add(KeyOf(Index, false), Index);
	}
	ASSERT_EQ(Map.Num(), kCount);
	EXPECT_EQ(Map.Find(FName("Bone_1")), nullptr);
	EXPECT_EQ(Map.Find(FName("Bone")), nullptr);
	for (int32 Index = 0; Index < kCount; Index += 3)
	{
		ASSERT_EQ(Map.Remove(KeyOf(Index, true)), 1);
	}
	EXPECT_EQ(Map.Num(), kCount - 334);
	for (int32 Index = 0; Index < kCount; ++Index)
	{
		const int32* Value = Map.Find(KeyOf(Index, true));
		if (Index % 3 == 0)
		{
			EXPECT_EQ(Value, nullptr) << Index;
		}
		else
		{
			ASSERT_NE(Value, nullptr) << Index;
			EXPECT_EQ(*Value, Index);
		}
	}
}

TEST(TMapTest, ManyInt32Keys)
{
	constexpr int32 kCount = 1000;
	// Negative and positive keys, with a stride that collides in the low bits.
	const auto KeyOf = [](int32 Index) { return (Index - 500) * 1024; };
	TMap<int32, int32> Map;
	for (int32 Index = 0; Index < kCount; ++Index)
	{
		Map.Add(KeyOf(Index), Index);
	}
	ASSERT_EQ(Map.Num(), kCount);
	for (int32 Index = 0; Index < kCount; ++Index)
	{
		EXPECT_EQ(Map.FindChecked(KeyOf(Index)), Index);
	}
	EXPECT_FALSE(Map.Contains(1));
	EXPECT_EQ(Map.GetPair(kCount - 1).Key, KeyOf(kCount - 1)); // insertion order
	Map.Reset();
	EXPECT_EQ(Map.Find(0), nullptr);
	Map.Add(3, 4);
	EXPECT_EQ(Map.FindChecked(3), 4);
}
} // namespace
