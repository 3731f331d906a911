#pragma once

#include "CoreTypes.h"

inline uint32 HashCombine(uint32 A, uint32 B)
{
	// Boost-style mixing; good enough for small maps keyed by names.
	return A ^ (B + 0x9e3779b9u + (A << 6) + (A >> 2));
}

inline uint32 GetTypeHash(int32 Value)
{
	return static_cast<uint32>(Value);
}
inline uint32 GetTypeHash(uint32 Value)
{
	return Value;
}
inline uint32 GetTypeHash(int64 Value)
{
	return static_cast<uint32>(Value) ^ static_cast<uint32>(static_cast<uint64>(Value) >> 32);
}
