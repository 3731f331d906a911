#pragma once

#include <cstddef>
#include <cstdint>

// Fixed-width integer names of the engine.
using int8 = std::int8_t;
using int16 = std::int16_t;
using int32 = std::int32_t;
using int64 = std::int64_t;
using uint8 = std::uint8_t;
using uint16 = std::uint16_t;
using uint32 = std::uint32_t;
using uint64 = std::uint64_t;
using SIZE_T = std::size_t;

// Text is narrow here: TCHAR is a plain char and TEXT leaves the literal as it is.
using TCHAR = char;
#define TEXT(x) x

inline constexpr int32 INDEX_NONE = -1;

// Inlines a small function on a hot path whatever the compiler's own estimate.
#if defined(_MSC_VER)
#define FORCEINLINE __forceinline
#else
#define FORCEINLINE inline __attribute__((always_inline))
#endif

#if defined(_WIN32)
#define OX_DLL_EXPORT __declspec(dllexport)
#else
#define OX_DLL_EXPORT __attribute__((visibility("default")))
#endif

#define CORE_API OX_DLL_EXPORT
