#pragma once

#include "Containers/Array.h"
#include "CoreTypes.h"
#include "Misc/AssertionMacros.h"
#include "Templates/TypeHash.h"

#include <utility>

template <typename KeyType, typename ValueType> struct TPair
{
	KeyType Key;
	ValueType Value;
};

// The engine's map: one value per key (key equality by ==, hashing by GetTypeHash), iterated in
// insertion order. Adding a present key replaces its value in place.
template <typename KeyType, typename ValueType> class TMap
{
public:
	using ElementType = TPair<KeyType, ValueType>;

	int32 Num() const { return Pairs.Num(); }
	bool IsEmpty() const { return Pairs.IsEmpty(); }

	// Inserts the pair, or replaces the value of a present key; returns the stored value.
	ValueType& Add(const KeyType& Key, const ValueType& Value)
	{
		const int32 Index = FindIndex(Key);
		if (Index != INDEX_NONE)
		{
			Pairs[Index].Value = Value;
			return Pairs[Index].Value;
		}
		return Pairs[Insert(Key, Value)].Value;
	}
	ValueType& Emplace(const KeyType& Key, ValueType&& Value)
	{
		const int32 Index = FindIndex(Key);
		if (Index != INDEX_NONE)
		{
			Pairs[Index].Value = std::move(Value);
			return Pairs[Index].Value;
		}
		return Pairs[Insert(Key, std::move(Value))].Value;
	}
	ValueType& FindOrAdd(const KeyType& Key)
	{
		const int32 Index = FindIndex(Key);
		return Pairs[Index != INDEX_NONE ? Index : Insert(Key, ValueType())].Value;
	}

	bool Contains(const KeyType& Key) const { return FindIndex(Key) != INDEX_NONE; }

	// The value of Key, or null when the key is absent.
	ValueType* Find(const KeyType& Key)
	{
		const int32 Index = FindIndex(Key);
		return Index != INDEX_NONE ? &Pairs[Index].Value : nullptr;
	}
	const ValueType* Find(const KeyType& Key) const
	{
		const int32 Index = FindIndex(Key);
		return Index != INDEX_NONE ? &Pairs[Index].Value : nullptr;
	}
	// The value of a key that must be present; an absent key stops the process.
	ValueType& FindChecked(const KeyType& Key)
	{
		ValueType* Value = Find(Key);
		checkf(Value != nullptr, "Key not found in map");
		return *Value;
	}
	const ValueType& FindChecked(const KeyType& Key) const
	{
		const ValueType* Value = Find(Key);
		checkf(Value != nullptr, "Key not found in map");
		return *Value;
	}
	ValueType& operator[](const KeyType& Key) { return FindChecked(Key); }
	const ValueType& operator[](const KeyType& Key) const { return FindChecked(Key); }

	// Position of Key in insertion order, or INDEX_NONE. Stable until a key is removed.
	int32 FindIndex(const KeyType& Key) const
	{
		if (Buckets.IsEmpty())
		{
			return INDEX_NONE;
		}
		const uint32 Mask = static_cast<uint32>(Buckets.Num() - 1);
		for (uint32 Slot = GetTypeHash(Key) & Mask;; Slot = (Slot + 1) & Mask)
		{
			const int32 Index = Buckets.GetData()[Slot];
			if (Index == INDEX_NONE)
			{
				return INDEX_NONE;
			}
			if (Pairs.GetData()[Index].Key == Key)
			{
				return Index;
			}
		}
	}
	ElementType& GetPair(int32 Index) { return Pairs[Index]; }
	const ElementType& GetPair(int32 Index) const { return Pairs[Index]; }

	// Removes Key; returns the number of pairs removed (0 or 1).
	int32 Remove(const KeyType& Key)
	{
		const int32 Index = FindIndex(Key);
		if (Index == INDEX_NONE)
		{
			return 0;
		}
		Pairs.RemoveAt(Index);
		Rehash(Buckets.Num());
		return 1;
	}

	void Reserve(int32 Count)
	{
		Pairs.Reserve(Count);
		if (Count * 2 > Buckets.Num())
		{
			Rehash(BucketCountFor(Count));
		}
	}
	void Empty()
	{
		Pairs.Empty();
		Buckets.Empty();
	}
	void Reset()
	{
		Pairs.Reset();
		Rehash(Buckets.Num());
	}

	TArray<KeyType> GetKeys() const
	{
		TArray<KeyType> Keys;
		Keys.Reserve(Num());
		for (const ElementType& Pair : Pairs)
		{
			Keys.Add(Pair.Key);
		}
		return Keys;
	}

	auto begin() { return Pairs.begin(); }
	auto end() { return Pairs.end(); }
	auto begin() const { return Pairs.begin(); }
	auto end() const { return Pairs.end(); }

private:
	template <typename V> int32 Insert(const KeyType& Key, V&& Value)
	{
		const int32 Index = Pairs.Add(ElementType{Key, std::forward<V>(Value)});
		if (Pairs.Num() * 2 > Buckets.Num())
		{
			Rehash(BucketCountFor(Pairs.Num()));
		}
		else
		{
			Place(Index);
		}
		return Index;
	}

	static int32 BucketCountFor(int32 Count)
	{
		int32 Buckets = 8;
		while (Buckets < Count * 2)
		{
			Buckets *= 2;
		}
		return Buckets;
	}

	void Rehash(int32 BucketCount)
	{
		Buckets.Reset();
		for (int32 Slot = 0; Slot < BucketCount; ++Slot)
		{
			Buckets.Add(INDEX_NONE);
		}
		for (int32 Index = 0; Index < Pairs.Num(); ++Index)
		{
			Place(Index);
		}
	}

	void Place(int32 Index)
	{
		const uint32 Mask = static_cast<uint32>(Buckets.Num() - 1);
		uint32 Slot = GetTypeHash(Pairs[Index].Key) & Mask;
		while (Buckets[static_cast<int32>(Slot)] != INDEX_NONE)
		{
			Slot = (Slot + 1) & Mask;
		}
		Buckets[static_cast<int32>(Slot)] = Index;
	}

	TArray<ElementType> Pairs;
	TArray<int32> Buckets;
};
