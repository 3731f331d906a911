#include "Containers/UnrealString.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{
TCHAR ToLowerChar(TCHAR C)
{
	return static_cast<TCHAR>(std::tolower(static_cast<unsigned char>(C)));
}

bool MatchesAt(const TCHAR* Text, const TCHAR* Sub, SIZE_T SubLength, ESearchCase::Type SearchCase)
{
	for (SIZE_T Index = 0; Index < SubLength; ++Index)
	{
		const bool Same = SearchCase == ESearchCase::IgnoreCase ? ToLowerChar(Text[Index]) == ToLowerChar(Sub[Index])
																: Text[Index] == Sub[Index];
		if (!Same)
		{
			return false;
		}
	}
	return true;
}
} // namespace

int32 FCString::Stricmp(const TCHAR* A, const TCHAR* B)
{
	for (;; ++A, ++B)
	{
		const int32 CA = static_cast<unsigned char>(ToLowerChar(*A));
		const int32 CB = static_cast<unsigned char>(ToLowerChar(*B));
		if (CA != CB || CA == 0)
		{
			return CA - CB;
		}
	}
}

int32 FCString::Strlen(const TCHAR* Text)
{
	return static_cast<int32>(std::strlen(Text));
}

TCHAR& FString::operator[](int32 Index)
{
	checkf(Index >= 0 && Index < Len(), "String index out of bounds: Index %d from a string with a length of %d", Index,
		Len());
	return Data[static_cast<SIZE_T>(Index)];
}

const TCHAR& FString::operator[](int32 Index) const
{
	checkf(Index >= 0 && Index < Len(), "String index out of bounds: Index %d from a string with a length of %d", Index,
		Len());
	return Data[static_cast<SIZE_T>(Index)];
}

FString& FString::AppendChars(const TCHAR* Text, int32 Count)
{
	CountCheck(Count);
	if (Count > 0)
	{
		Data.append(Text, static_cast<SIZE_T>(Count));
	}
	return *this;
}

int32 FString::Find(
	const TCHAR* SubStr, ESearchCase::Type SearchCase, ESearchDir::Type SearchDir, int32 StartPosition) const
{
	if (SubStr == nullptr)
	{
		return INDEX_NONE;
	}
	const SIZE_T SubLength = std::strlen(SubStr);
	const SIZE_T Length = Data.size();
	if (SubLength > Length)
	{
		return INDEX_NONE;
	}
	const SIZE_T LastStart = Length - SubLength;
	if (SearchDir == ESearchDir::FromStart)
	{
		SIZE_T First = 0;
		if (StartPosition != INDEX_NONE)
		{
			First = StartPosition < 0 ? 0 : static_cast<SIZE_T>(StartPosition);
		}
		for (SIZE_T Start = First; Start <= LastStart; ++Start)
		{
			if (MatchesAt(Data.data() + Start, SubStr, SubLength, SearchCase))
			{
				return static_cast<int32>(Start);
			}
		}
		return INDEX_NONE;
	}
	SIZE_T Last = LastStart;
	if (StartPosition != INDEX_NONE)
	{
		if (StartPosition < static_cast<int32>(SubLength))
		{
			return INDEX_NONE;
		}
		const SIZE_T Limit = static_cast<SIZE_T>(StartPosition) - SubLength;
		Last = Limit < LastStart ? Limit : LastStart;
	}
	for (SIZE_T Start = Last + 1; Start-- > 0;)
	{
		if (MatchesAt(Data.data() + Start, SubStr, SubLength, SearchCase))
		{
			return static_cast<int32>(Start);
		}
	}
	return INDEX_NONE;
}

bool FString::Equals(const FString& Other, ESearchCase::Type SearchCase) const
{
	if (SearchCase == ESearchCase::CaseSensitive)
	{
		return Data == Other.Data;
	}
	return Data.size() == Other.Data.size() &&
		MatchesAt(Data.data(), Other.Data.data(), Data.size(), ESearchCase::IgnoreCase);
}

FString FString::ToLower() const
{
	FString Result(*this);
	for (TCHAR& C : Result.Data)
	{
		C = ToLowerChar(C);
	}
	return Result;
}

FString FString::Left(int32 Count) const
{
	const int32 Clamped = Count < 0 ? 0 : (Count > Len() ? Len() : Count);
	return FString(Clamped, Data.data());
}

FString FString::Mid(int32 Start, int32 Count) const
{
	const int32 First = Start < 0 ? 0 : (Start > Len() ? Len() : Start);
	const int32 Available = Len() - First;
	const int32 Clamped = Count < 0 ? 0 : (Count > Available ? Available : Count);
	return FString(Clamped, Data.data() + First);
}

FString FString::Printf(const TCHAR* Format, ...)
{
	// Measure, then format: two passes over the arguments.
	va_list Args;
	va_start(Args, Format);
	// The analyser does not see va_start through the static member's declaration.
	const int Length = std::vsnprintf(nullptr, 0, Format, Args); // NOLINT(clang-analyzer-valist.Uninitialized)
	va_end(Args);
	FString Result;
	if (Length > 0)
	{
		Result.Data.resize(static_cast<SIZE_T>(Length));
		va_start(Args, Format);
		std::vsnprintf(Result.Data.data(), static_cast<SIZE_T>(Length) + 1, Format, Args);
		va_end(Args);
	}
	return Result;
}

FString FString::SanitizeFloat(double Value)
{
	for (int Precision = 1; Precision <= 17; ++Precision)
	{
		char Buffer[40];
		std::snprintf(Buffer, sizeof(Buffer), "%.*g", Precision, Value);
		if (std::strtod(Buffer, nullptr) == Value || Value != Value)
		{
			return FString(Buffer);
		}
	}
	return Printf("%.17g", Value);
}

uint32 GetTypeHash(const FString& Text)
{
	// FNV-1a over the lower-case text, matching the case-insensitive ==.
	uint32 Hash = 2166136261u;
	for (const TCHAR C : Text.View())
	{
		Hash = (Hash ^ static_cast<unsigned char>(ToLowerChar(C))) * 16777619u;
	}
	return Hash;
}
