#include "HAL/UnrealMemory.h"

#include "Misc/AssertionMacros.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{
std::atomic<uint64> GAllocationCount{0};
std::atomic<int64> GLiveAllocations{0};

// Each block carries a small header in front of the aligned pointer: the offset back to the
// pointer malloc returned, so that Free and Realloc need no size.
struct FBlockHeader
{
	SIZE_T Offset;
	SIZE_T Size;
};

void* AllocateAligned(SIZE_T Count, uint32 Alignment)
{
	const SIZE_T Align = Alignment < alignof(FBlockHeader) ? alignof(FBlockHeader) : Alignment;
	if (Count > SIZE_MAX / 2)
	{
		return nullptr;
	}
	void* Raw = std::malloc(Count + Align + sizeof(FBlockHeader));
	if (Raw == nullptr)
	{
		return nullptr;
	}
	const auto RawAddress = reinterpret_cast<uintptr_t>(Raw);
	const uintptr_t First = RawAddress + sizeof(FBlockHeader);
	const SIZE_T Offset = ((First + Align - 1) & ~(static_cast<uintptr_t>(Align) - 1)) - RawAddress;
	char* const Block = static_cast<char*>(Raw) + Offset;
	auto* Header = reinterpret_cast<FBlockHeader*>(Block) - 1;
	Header->Offset = Offset;
	Header->Size = Count;
	return Block;
}
} // namespace

void* FMemory::Malloc(SIZE_T Count, uint32 Alignment)
{
	void* Result = TryMalloc(Count, Alignment);
	checkf(Result != nullptr, "Out of memory allocating %zu bytes", Count);
	return Result;
}

void* FMemory::TryMalloc(SIZE_T Count, uint32 Alignment)
{
	void* Result = AllocateAligned(Count, Alignment);
	if (Result != nullptr)
	{
		GAllocationCount.fetch_add(1, std::memory_order_relaxed);
		GLiveAllocations.fetch_add(1, std::memory_order_relaxed);
	}
	return Result;
}

void* FMemory::Realloc(void* Original, SIZE_T Count, uint32 Alignment)
{
	if (Original == nullptr)
	{
		return Malloc(Count, Alignment);
	}
	if (Count == 0)
	{
		Free(Original);
		return nullptr;
	}
	const auto* Header = static_cast<const FBlockHeader*>(Original) - 1;
	void* Result = Malloc(Count, Alignment);
	std::memcpy(Result, Original, Header->Size < Count ? Header->Size : Count);
	Free(Original);
	return Result;
}

void FMemory::Free(void* Original)
{
	if (Original == nullptr)
	{
		return;
	}
	GLiveAllocations.fetch_sub(1, std::memory_order_relaxed);
	const auto* Header = static_cast<const FBlockHeader*>(Original) - 1;
	std::free(static_cast<char*>(Original) - Header->Offset);
}

void* FMemory::Memcpy(void* Dest, const void* Src, SIZE_T Count)
{
	return std::memcpy(Dest, Src, Count);
}

void* FMemory::Memzero(void* Dest, SIZE_T Count)
{
	return std::memset(Dest, 0, Count);
}

uint64 FMemory::GetAllocationCount()
{
	return GAllocationCount.load(std::memory_order_relaxed);
}

int64 FMemory::GetLiveAllocationCount()
{
	return GLiveAllocations.load(std::memory_order_relaxed);
}
