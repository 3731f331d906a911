#include "OxKZ_Log.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace
{
// Serialises the sink's calls across threads. Recursive, so that a sink may print or replace the sink.
std::recursive_mutex sink_mutex;
// Set while this thread runs the sink: a line printed from inside the sink goes to standard output.
thread_local bool in_sink = false;

// Shared, so that a sink replaced from inside itself lives until its call returns.
std::shared_ptr<const OxKZ_Log::Sink>& currentSink()
{
	static std::shared_ptr<const OxKZ_Log::Sink> sink;
	return sink;
}

void writeLine(const FString& line)
{
	const std::lock_guard<std::recursive_mutex> lock(sink_mutex);
	const std::shared_ptr<const OxKZ_Log::Sink> sink = currentSink();
	if (sink == nullptr || in_sink)
	{
		std::fputs(*line, stdout);
		std::fputc('\n', stdout);
		return;
	}
	struct InSinkScope
	{
		InSinkScope() { in_sink = true; }
		~InSinkScope() { in_sink = false; }
		InSinkScope(const InSinkScope&) = delete;
		InSinkScope& operator=(const InSinkScope&) = delete;
	} scope;
	(*sink)(line);
}

FString number(double value)
{
	return FString::Printf("%.17g", value);
}
} // namespace

void OxKZ_Log::printString(FString text)
{
	writeLine(text);
}

void OxKZ_Log::printTransform(FString label, TTransform<double> transform)
{
	writeLine(label + " " + formatTransform(transform));
}

FString OxKZ_Log::formatTransform(const TTransform<double>& transform)
{
	const TQuat<double>& r = transform.GetRotation();
	const TVector<double>& t = transform.GetTranslation();
	const TVector<double>& s = transform.GetScale3D();
	return "R=(" + number(r.X) + ", " + number(r.Y) + ", " + number(r.Z) + ", " + number(r.W) + ") T=(" + number(t.X) +
		", " + number(t.Y) + ", " + number(t.Z) + ") S=(" + number(s.X) + ", " + number(s.Y) + ", " + number(s.Z) + ")";
}

OxKZ_Log::Sink OxKZ_Log::setSink(Sink sink)
{
	const std::lock_guard<std::recursive_mutex> lock(sink_mutex);
	const std::shared_ptr<const Sink> previous = std::move(currentSink());
	currentSink() = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
	return previous != nullptr ? *previous : Sink();
}
