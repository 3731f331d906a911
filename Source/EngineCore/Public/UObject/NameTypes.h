#pragma once

#include "Containers/UnrealString.h"
#include "CoreTypes.h"
#include "Templates/TypeHash.h"

enum EName
{
	NAME_None = 0,
};

// Number stored for a name without a numeric suffix; a suffix n is stored as n + 1.
inline constexpr int32 NAME_NO_NUMBER_INTERNAL = 0;

// The engine's name: an entry of a process-wide, thread-safe name table plus an optional number.
// Equality ignores letter case and compares the number suffix ("Bone_2" is base "Bone", number 2;
// "spine_01" keeps its suffix in the text because of the leading zero). "" and "None" give None.
// ToString gives the text in the letter case it was made with.
class CORE_API FName
{
public:
	FName() = default;
	FName(EName) {}
	FName(const TCHAR* Text);
	FName(const FString& Text)
		: FName(*Text)
	{
	}
	// Base text and number as the caller gives them (Number is the internal one: suffix + 1, or 0).
	FName(const TCHAR* Base, int32 InNumber);

	bool IsNone() const { return ComparisonIndex == 0 && Number == NAME_NO_NUMBER_INTERNAL; }

	FString ToString() const;
	void ToString(FString& Out) const;
	// The text without its number suffix.
	FString GetPlainNameString() const;

	int32 GetNumber() const { return Number; }
	uint32 GetComparisonIndex() const { return ComparisonIndex; }
	uint32 GetDisplayIndex() const { return DisplayIndex; }

	friend bool operator==(FName A, FName B) { return A.ComparisonIndex == B.ComparisonIndex && A.Number == B.Number; }
	friend bool operator==(FName A, EName) { return A.IsNone(); }

	// Orders by comparison entry, then number; stable within a process, not alphabetical.
	bool FastLess(FName Other) const
	{
		return ComparisonIndex != Other.ComparisonIndex ? ComparisonIndex < Other.ComparisonIndex
														: Number < Other.Number;
	}

private:
	void Assign(const TCHAR* Text, SIZE_T Length, int32 InNumber);

	uint32 ComparisonIndex = 0;
	uint32 DisplayIndex = 0;
	int32 Number = NAME_NO_NUMBER_INTERNAL;
};

inline uint32 GetTypeHash(FName Name)
{
	return HashCombine(Name.GetComparisonIndex() * 0x9E3779B1u, static_cast<uint32>(Name.GetNumber()));
}
