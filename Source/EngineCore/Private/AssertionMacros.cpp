#include "Misc/AssertionMacros.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void FDebug::CheckFailed(const TCHAR* Expr, const TCHAR* File, int32 Line, const TCHAR* Format, ...)
{
	char Message[1024];
	va_list Args;
	va_start(Args, Format);
	std::vsnprintf(Message, sizeof(Message), Format, Args);
	va_end(Args);
	std::fprintf(stderr, "Assertion failed: %s [File:%s] [Line: %d]\n%s\n", Expr, File, Line, Message);
	std::fflush(stderr);
	std::abort();
}
