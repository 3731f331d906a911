#pragma once

#include "CoreTypes.h"
#include "HAL/UnrealMemory.h"
#include "Misc/AssertionMacros.h"

#include <string>
#include <string_view>

namespace ESearchCase
{
enum Type
{
	CaseSensitive,
	IgnoreCase,
};
}

namespace ESearchDir
{
enum Type
{
	FromStart,
	FromEnd,
};
}

struct CORE_API FCString
{
	// Compares two texts ignoring ASCII letter case: negative, zero or positive as strcmp.
	static int32 Stricmp(const TCHAR* A, const TCHAR* B);
	static int32 Strlen(const TCHAR* Text);
};

// The engine's string: owns its text, narrow characters here.
class CORE_API FString
{
public:
	FString() = default;
	FString(const TCHAR* Text)
		: Data(Text ? Text : "")
	{
	}
	// The first Count characters of Text; a negative Count stops the process.
	FString(int32 Count, const TCHAR* Text)
		: Data(Text, static_cast<SIZE_T>(CheckedCount(Count)))
	{
	}
	explicit FString(std::string_view Text)
		: Data(Text.data(), Text.size())
	{
	}

	// The text as a null-terminated C string.
	const TCHAR* operator*() const { return Data.c_str(); }

	int32 Len() const { return static_cast<int32>(Data.size()); }
	bool IsEmpty() const { return Data.empty(); }
	void Empty()
	{
		Data.clear();
		Data.shrink_to_fit();
	}
	void Reset() { Data.clear(); }

	TCHAR& operator[](int32 Index);
	const TCHAR& operator[](int32 Index) const;

	FString& Append(const FString& Text)
	{
		Data += Text.Data;
		return *this;
	}
	FString& Append(const TCHAR* Text)
	{
		Data += Text;
		return *this;
	}
	// Appends the first Count characters of Text.
	FString& AppendChars(const TCHAR* Text, int32 Count);
	FString& AppendChar(TCHAR Char)
	{
		Data += Char;
		return *this;
	}

	FString& operator+=(const FString& Text) { return Append(Text); }
	FString& operator+=(const TCHAR* Text) { return Append(Text); }
	FString& operator+=(TCHAR Char) { return AppendChar(Char); }

	friend FString operator+(const FString& A, const FString& B)
	{
		FString R(A);
		R += B;
		return R;
	}
	friend FString operator+(const FString& A, const TCHAR* B)
	{
		FString R(A);
		R += B;
		return R;
	}
	friend FString operator+(const TCHAR* A, const FString& B)
	{
		FString R(A);
		R += B;
		return R;
	}

	// Index of the first (or last) occurrence of SubStr, or INDEX_NONE. StartPosition -1 searches the
	// whole text; otherwise the search starts there (forward) or ends before it (backward).
	int32 Find(const TCHAR* SubStr, ESearchCase::Type SearchCase = ESearchCase::IgnoreCase,
		ESearchDir::Type SearchDir = ESearchDir::FromStart, int32 StartPosition = INDEX_NONE) const;
	int32 Find(const FString& SubStr, ESearchCase::Type SearchCase = ESearchCase::IgnoreCase,
		ESearchDir::Type SearchDir = ESearchDir::FromStart, int32 StartPosition = INDEX_NONE) const
	{
		return Find(*SubStr, SearchCase, SearchDir, StartPosition);
	}
	bool Contains(const TCHAR* SubStr, ESearchCase::Type SearchCase = ESearchCase::IgnoreCase) const
	{
		return Find(SubStr, SearchCase) != INDEX_NONE;
	}

	bool Equals(const FString& Other, ESearchCase::Type SearchCase = ESearchCase::CaseSensitive) const;
	// As in the engine, == ignores letter case.
	friend bool operator==(const FString& A, const FString& B) { return A.Equals(B, ESearchCase::IgnoreCase); }
	// B must be a text: a null pointer stops the process.
	friend bool operator==(const FString& A, const TCHAR* B)
	{
		checkf(B != nullptr, "FString compared with a null text");
		return FCString::Stricmp(*A, B) == 0;
	}

	FString ToLower() const;
	FString Left(int32 Count) const;
	FString Mid(int32 Start, int32 Count = INT32_MAX) const;

	// printf-style formatting into a new string.
	static FString Printf(const TCHAR* Format, ...)
#if defined(__GNUC__)
		__attribute__((format(printf, 1, 2)))
#endif
		;
	// Shortest text that reads back as the same double.
	static FString SanitizeFloat(double Value);

	std::string_view View() const
	{
		return {Data.data(), Data.size()};
	}
	std::string ToStdString() const
	{
		return std::string(View());
	}

private:
	// Counts of characters are checked like indices: a negative one stops the process.
	static void CountCheck(int32 Count)
	{
		checkf(Count >= 0, "Negative character count %d", Count);
	}
	static int32 CheckedCount(int32 Count)
	{
		CountCheck(Count);
		return Count;
	}

	std::basic_string<TCHAR, std::char_traits<TCHAR>, TEngineAllocator<TCHAR>> Data;
};

CORE_API uint32 GetTypeHash(const FString& Text);
