#include "UObject/NameTypes.h"

#include <cctype>
#include <cstring>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace
{
// Entry 0 of both tables is "None". Comparison entries are keyed by the lower-case text; display
// entries by the exact text, so each spelling keeps its letter case.
class FNameTable
{
public:
	FNameTable() { Add("None", 4); }

	static FNameTable& Get()
	{
		static FNameTable Table;
		return Table;
	}

	// Returns (comparison index, display index) of the text, adding it when new.
	std::pair<uint32, uint32> Add(const TCHAR* Text, SIZE_T Length)
	{
		const std::string_view Exact(Text, Length);
		{
			const std::shared_lock Lock(Mutex);
			const auto Found = DisplayIndices.find(Exact);
			if (Found != DisplayIndices.end())
			{
				return {DisplayToComparison[Found->second], Found->second};
			}
		}
		const std::unique_lock Lock(Mutex);
		const auto Found = DisplayIndices.find(Exact);
		if (Found != DisplayIndices.end())
		{
			return {DisplayToComparison[Found->second], Found->second};
		}
		std::string Lower(Exact);
		for (char& C : Lower)
		{
			C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
		}
		uint32 Comparison;
		const auto FoundLower = ComparisonIndices.find(Lower);
		if (FoundLower != ComparisonIndices.end())
		{
			Comparison = FoundLower->second;
		}
		else
		{
			Comparison = static_cast<uint32>(ComparisonIndices.size());
			ComparisonIndices.emplace(std::move(Lower), Comparison);
		}
		const auto Display = static_cast<uint32>(DisplayTexts.size());
		DisplayTexts.emplace_back(Exact);
		DisplayToComparison.push_back(Comparison);
		DisplayIndices.emplace(std::string_view(DisplayTexts.back()), Display);
		return {Comparison, Display};
	}

	std::string GetText(uint32 DisplayIndex)
	{
		const std::shared_lock Lock(Mutex);
		return DisplayTexts[DisplayIndex];
	}

private:
	std::shared_mutex Mutex;
	std::deque<std::string> DisplayTexts;
	std::deque<uint32> DisplayToComparison;
	std::unordered_map<std::string_view, uint32> DisplayIndices;
	std::unordered_map<std::string, uint32> ComparisonIndices;
};

// Splits "Base_12" into "Base" and internal number 13. A suffix with a leading zero ("_01"), an empty
// base, or a number too large keeps the whole text and no number.
int32 SplitNumber(const TCHAR* Text, SIZE_T& Length)
{
	SIZE_T Digits = 0;
	while (Digits < Length && std::isdigit(static_cast<unsigned char>(Text[Length - 1 - Digits])))
	{
		++Digits;
	}
	if (Digits == 0 || Digits >= Length || Text[Length - 1 - Digits] != '_' || Length - 1 - Digits == 0)
	{
		return NAME_NO_NUMBER_INTERNAL;
	}
	const TCHAR* First = Text + Length - Digits;
	if (Digits > 9 || (Digits > 1 && First[0] == '0'))
	{
		return NAME_NO_NUMBER_INTERNAL;
	}
	int32 Value = 0;
	for (SIZE_T Index = 0; Index < Digits; ++Index)
	{
		Value = Value * 10 + (First[Index] - '0');
	}
	Length -= Digits + 1;
	return Value + 1;
}
} // namespace

FName::FName(const TCHAR* Text)
{
	if (Text == nullptr)
	{
		return;
	}
	SIZE_T Length = std::strlen(Text);
	const int32 InNumber = SplitNumber(Text, Length);
	Assign(Text, Length, InNumber);
}

FName::FName(const TCHAR* Base, int32 InNumber)
{
	Assign(Base ? Base : "", Base ? std::strlen(Base) : 0, InNumber);
}

void FName::Assign(const TCHAR* Text, SIZE_T Length, int32 InNumber)
{
	Number = InNumber;
	if (Length == 0)
	{
		ComparisonIndex = 0;
		DisplayIndex = 0;
		return;
	}
	const auto [Comparison, Display] = FNameTable::Get().Add(Text, Length);
	ComparisonIndex = Comparison;
	DisplayIndex = Display;
}

FString FName::GetPlainNameString() const
{
	return FString(std::string_view(FNameTable::Get().GetText(DisplayIndex)));
}

void FName::ToString(FString& Out) const
{
	Out = GetPlainNameString();
	if (Number != NAME_NO_NUMBER_INTERNAL)
	{
		Out += FString::Printf("_%d", Number - 1);
	}
}

FString FName::ToString() const
{
	FString Out;
	ToString(Out);
	return Out;
}
