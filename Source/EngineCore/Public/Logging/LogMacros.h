#pragma once

#include "CoreTypes.h"

#include <functional>

enum class ELogVerbosity : uint8
{
	NoLogging = 0,
	Fatal,
	Error,
	Warning,
	Display,
	Log,
	Verbose,
	VeryVerbose
};

CORE_API const TCHAR* ToString(ELogVerbosity Verbosity);

struct FLogCategoryBase
{
	const TCHAR* Name;
	ELogVerbosity DefaultVerbosity;

	const TCHAR* GetCategoryName() const { return Name; }
};

// One log record as handed to the sink; the texts live only for the duration of the call.
struct FLogRecord
{
	const TCHAR* Category;
	ELogVerbosity Verbosity;
	const TCHAR* File;
	int32 Line;
	const TCHAR* Message;
};

using FLogSink = std::function<void(const FLogRecord&)>;

struct CORE_API FMsg
{
	// Formats the message printf-style and hands one record to the current sink.
	static void Logf(const TCHAR* File, int32 Line, const FLogCategoryBase& Category, ELogVerbosity Verbosity,
		const TCHAR* Format, ...)
#if defined(__GNUC__)
		__attribute__((format(printf, 5, 6)))
#endif
		;

	// Replaces the sink and returns the previous one. An empty sink restores the default, which writes
	// "Category: Verbosity: message [File:line]" as one line to standard error. The sink is called
	// from one thread at a time; a record logged from inside the sink, on its thread, goes to the
	// default instead, and the sink may replace itself. A sink must not wait for other threads to log.
	static FLogSink SetSink(FLogSink Sink);
};

#define DECLARE_LOG_CATEGORY_EXTERN(CategoryName, DefaultVerbosity, CompileTimeVerbosity)                              \
	extern CORE_API FLogCategoryBase CategoryName

#define DEFINE_LOG_CATEGORY(CategoryName)                                                                              \
	FLogCategoryBase CategoryName                                                                                      \
	{                                                                                                                  \
#CategoryName, ELogVerbosity::Log                                                                              \
	}

DECLARE_LOG_CATEGORY_EXTERN(LogTemp, Log, All);

#if defined(__CPPCHECK__)
// The static checker does not know __VA_OPT__.
#define UE_LOG(CategoryName, Verbosity, ...) ((void)CategoryName)
#else
#define UE_LOG(CategoryName, Verbosity, Format, ...)                                                                   \
	FMsg::Logf(__FILE__, __LINE__, CategoryName, ELogVerbosity::Verbosity, Format __VA_OPT__(, ) __VA_ARGS__)
#endif
