#pragma once

#include "CoreTypes.h"

// The engine allocator. Every container of the engine layer allocates through it, so its counters
// tell how many heap blocks the library's own code has taken.
struct CORE_API FMemory
{
	static constexpr SIZE_T DEFAULT_ALIGNMENT = 16;

	// Returns a block of at least Count bytes; never null (running out of memory stops the process).
	static void* Malloc(SIZE_T Count, uint32 Alignment = DEFAULT_ALIGNMENT);
	// As Malloc, but returns null when the memory cannot be had.
	static void* TryMalloc(SIZE_T Count, uint32 Alignment = DEFAULT_ALIGNMENT);
	static void* Realloc(void* Original, SIZE_T Count, uint32 Alignment = DEFAULT_ALIGNMENT);
	// Frees a block of Malloc; null is ignored.
	static void Free(void* Original);

	static void* Memcpy(void* Dest, const void* Src, SIZE_T Count);
	static void* Memzero(void* Dest, SIZE_T Count);

	// Number of Malloc and Realloc calls since the process started (all threads).
	static uint64 GetAllocationCount();
	// Number of blocks currently allocated.
	static int64 GetLiveAllocationCount();
};

// Gives a class operator new and delete that go through the engine allocator.
#define UE_USE_ENGINE_ALLOCATOR()                                                                                      \
	static void* operator new(SIZE_T Size)                                                                             \
	{                                                                                                                  \
		return FMemory::Malloc(Size);                                                                                  \
	}                                                                                                                  \
	static void operator delete(void* Ptr) noexcept                                                                    \
	{                                                                                                                  \
		FMemory::Free(Ptr);                                                                                            \
	}

// Standard-library allocator over FMemory, used by the engine containers.
template <typename T> struct TEngineAllocator
{
	using value_type = T;

	TEngineAllocator() = default;
	template <typename U> TEngineAllocator(const TEngineAllocator<U>&) noexcept {}

	T* allocate(SIZE_T Count)
	{
		const uint32 Alignment = alignof(T) > FMemory::DEFAULT_ALIGNMENT ? alignof(T) : FMemory::DEFAULT_ALIGNMENT;
		return static_cast<T*>(FMemory::Malloc(Count * sizeof(T), Alignment));
	}
	void deallocate(T* Ptr, SIZE_T) noexcept { FMemory::Free(Ptr); }

	template <typename U> bool operator==(const TEngineAllocator<U>&) const noexcept { return true; }
};
