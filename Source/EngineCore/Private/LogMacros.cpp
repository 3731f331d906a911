#include "Logging/LogMacros.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

DEFINE_LOG_CATEGORY(LogTemp);

namespace
{
// Serialises the sink's calls across threads. Recursive, so that a sink may log or replace the sink.
std::recursive_mutex GSinkMutex;
// Set while this thread runs the sink: a record logged from inside the sink goes to standard error.
thread_local bool GInSink = false;

// Shared, so that a sink replaced from inside itself lives until its call returns.
std::shared_ptr<const FLogSink>& CurrentSink()
{
	static std::shared_ptr<const FLogSink> Sink;
	return Sink;
}

void WriteToStandardError(const FLogRecord& Record)
{
	std::fprintf(stderr, "%s: %s: %s [%s:%d]\n", Record.Category, ToString(Record.Verbosity), Record.Message,
		Record.File, Record.Line);
}
} // namespace

const TCHAR* ToString(ELogVerbosity Verbosity)
{
	switch (Verbosity)
	{
	case ELogVerbosity::NoLogging:
		return "NoLogging";
	case ELogVerbosity::Fatal:
		return "Fatal";
	case ELogVerbosity::Error:
		return "Error";
	case ELogVerbosity::Warning:
		return "Warning";
	case ELogVerbosity::Display:
		return "Display";
	case ELogVerbosity::Log:
		return "Log";
	case ELogVerbosity::Verbose:
		return "Verbose";
	case ELogVerbosity::VeryVerbose:
		return "VeryVerbose";
	}
	return "Unknown";
}

void FMsg::Logf(
	const TCHAR* File, int32 Line, const FLogCategoryBase& Category, ELogVerbosity Verbosity, const TCHAR* Format, ...)
{
	// Measure, then format: two passes over the arguments.
	va_list Args;
	va_start(Args, Format);
	const int Length = std::vsnprintf(nullptr, 0, Format, Args);
	va_end(Args);
	std::string Message(Length > 0 ? static_cast<SIZE_T>(Length) : 0, '\0');
	if (Length > 0)
	{
		va_start(Args, Format);
		std::vsnprintf(Message.data(), Message.size() + 1, Format, Args);
		va_end(Args);
	}

	const FLogRecord Record{Category.GetCategoryName(), Verbosity, File, Line, Message.c_str()};
	const std::lock_guard<std::recursive_mutex> Lock(GSinkMutex);
	const std::shared_ptr<const FLogSink> Sink = CurrentSink();
	if (Sink == nullptr || GInSink)
	{
		WriteToStandardError(Record);
		return;
	}
	struct FInSinkScope
	{
		FInSinkScope() { GInSink = true; }
		~FInSinkScope() { GInSink = false; }
		FInSinkScope(const FInSinkScope&) = delete;
		FInSinkScope& operator=(const FInSinkScope&) = delete;
	} InSink;
	(*Sink)(Record);
}

FLogSink FMsg::SetSink(FLogSink Sink)
{
	const std::lock_guard<std::recursive_mutex> Lock(GSinkMutex);
	const std::shared_ptr<const FLogSink> Previous = std::move(CurrentSink());
	CurrentSink() = Sink ? std::make_shared<const FLogSink>(std::move(Sink)) : nullptr;
	return Previous != nullptr ? *Previous : FLogSink();
}
