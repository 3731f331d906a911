#pragma once

#include "CoreTypes.h"
#include "HAL/UnrealMemory.h"
#include "Misc/AssertionMacros.h"

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

// The engine's dynamic array: contiguous, deep-copied, storage from FMemory. Indexing is checked.
template <typename T> class TArray
{
	using FStorage = std::vector<T, TEngineAllocator<T>>;

public:
	using ElementType = T;
	using SizeType = int32;

	TArray() = default;
	TArray(std::initializer_list<T> Items)
		: Data(Items)
	{
	}
	TArray(const T* Items, int32 Count)
		: Data(Items, Items + CheckedCount(Count))
	{
	}

	int32 Num() const { return static_cast<int32>(Data.size()); }
	bool IsEmpty() const { return Data.empty(); }
	bool IsValidIndex(int32 Index) const { return Index >= 0 && Index < Num(); }
	int32 Max() const { return static_cast<int32>(Data.capacity()); }

	T& operator[](int32 Index)
	{
		RangeCheck(Index);
		return Data[static_cast<SIZE_T>(Index)];
	}
	const T& operator[](int32 Index) const
	{
		RangeCheck(Index);
		return Data[static_cast<SIZE_T>(Index)];
	}
	T& Last(int32 IndexFromTheEnd = 0) { return (*this)[Num() - IndexFromTheEnd - 1]; }
	const T& Last(int32 IndexFromTheEnd = 0) const { return (*this)[Num() - IndexFromTheEnd - 1]; }

	T* GetData() { return Data.data(); }
	const T* GetData() const { return Data.data(); }

	// Appends a copy of Item and returns its index.
	int32 Add(const T& Item)
	{
		Data.push_back(Item);
		return Num() - 1;
	}
	int32 Add(T&& Item)
	{
		Data.push_back(std::move(Item));
		return Num() - 1;
	}
	template <typename... ArgsType> int32 Emplace(ArgsType&&... Args)
	{
		Data.emplace_back(std::forward<ArgsType>(Args)...);
		return Num() - 1;
	}
	int32 AddUnique(const T& Item)
	{
		const int32 Index = Find(Item);
		return Index != INDEX_NONE ? Index : Add(Item);
	}
	int32 AddDefaulted(int32 Count = 1)
	{
		CountCheck(Count);
		const int32 Index = Num();
		Data.resize(Data.size() + static_cast<SIZE_T>(Count));
		return Index;
	}
	void Append(const TArray& Other) { Data.insert(Data.end(), Other.Data.begin(), Other.Data.end()); }
	void Insert(const T& Item, int32 Index)
	{
		checkf(Index >= 0 && Index <= Num(), "Array index out of bounds: %lld into an array of size %lld",
			static_cast<long long>(Index), static_cast<long long>(Num()));
		Data.insert(Data.begin() + Index, Item);
	}
	void RemoveAt(int32 Index, int32 Count = 1)
	{
		CountCheck(Count);
		if (Count == 0)
		{
			return;
		}
		RangeCheck(Index);
		RangeCheck(Index + Count - 1);
		Data.erase(Data.begin() + Index, Data.begin() + Index + Count);
	}
	// Removes every element equal to Item; returns how many were removed.
	int32 Remove(const T& Item)
	{
		const SIZE_T Before = Data.size();
		Data.erase(std::remove(Data.begin(), Data.end(), Item), Data.end());
		return static_cast<int32>(Before - Data.size());
	}

	// Index of the first element equal to Item, or INDEX_NONE.
	int32 Find(const T& Item) const
	{
		for (int32 Index = 0; Index < Num(); ++Index)
		{
			if (Data[static_cast<SIZE_T>(Index)] == Item)
			{
				return Index;
			}
		}
		return INDEX_NONE;
	}
	bool Contains(const T& Item) const { return Find(Item) != INDEX_NONE; }

	void Reserve(int32 Count)
	{
		CountCheck(Count);
		Data.reserve(static_cast<SIZE_T>(Count));
	}
	void SetNum(int32 Count)
	{
		CountCheck(Count);
		Data.resize(static_cast<SIZE_T>(Count));
	}
	// Empties the array; Slack elements of storage are kept (0 frees it).
	void Empty(int32 Slack = 0)
	{
		CountCheck(Slack);
		Data.clear();
		if (Slack == 0)
		{
			Data.shrink_to_fit();
		}
		else
		{
			Data.reserve(static_cast<SIZE_T>(Slack));
		}
	}
	// Empties the array and keeps its storage.
	void Reset() { Data.clear(); }

	friend bool operator==(const TArray& A, const TArray& B) { return A.Data == B.Data; }

	auto begin() { return Data.begin(); }
	auto end() { return Data.end(); }
	auto begin() const { return Data.begin(); }
	auto end() const { return Data.end(); }

private:
	// Counts of elements are checked like indices: a negative one stops the process.
	static void CountCheck(int32 Count) { checkf(Count >= 0, "Negative element count %d", Count); }
	static int32 CheckedCount(int32 Count)
	{
		CountCheck(Count);
		return Count;
	}
	void RangeCheck(int32 Index) const
	{
		checkf(Index >= 0 && Index < Num(), "Array index out of bounds: %lld from an array of size %lld",
			static_cast<long long>(Index), static_cast<long long>(Num()));
	}

	FStorage Data;
};
