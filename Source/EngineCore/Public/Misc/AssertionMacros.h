#pragma once

#include "CoreTypes.h"

struct CORE_API FDebug
{
	// Prints "Assertion failed: Expr [File:F] [Line: L]" and the formatted message to standard error,
	// then aborts. All checks of the engine layer end here, in every build type.
	[[noreturn]] static void CheckFailed(const TCHAR* Expr, const TCHAR* File, int32 Line, const TCHAR* Format, ...)
#if defined(__GNUC__)
		__attribute__((format(printf, 4, 5)))
#endif
		;
};

#define check(expr)                                                                                                    \
	do                                                                                                                 \
	{                                                                                                                  \
		if (!(expr)) [[unlikely]]                                                                                      \
		{                                                                                                              \
			FDebug::CheckFailed(#expr, __FILE__, __LINE__, "%s", "");                                                  \
		}                                                                                                              \
	} while (0)

#if defined(__CPPCHECK__)
// The static checker does not know __VA_OPT__; it sees the check as a plain condition.
#define checkf(expr, ...) ((void)(expr))
#else
#define checkf(expr, format, ...)                                                                                      \
	do                                                                                                                 \
	{                                                                                                                  \
		if (!(expr)) [[unlikely]]                                                                                      \
		{                                                                                                              \
			FDebug::CheckFailed(#expr, __FILE__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__);                         \
		}                                                                                                              \
	} while (0)
#endif

#define checkNoEntry() FDebug::CheckFailed("Enclosing block should never be called", __FILE__, __LINE__, "%s", "")
