#include "OxKZ_Log.h"

#include <cstdio>
#include <mutex>

namespace
{
std::mutex SinkMutex;

OxKZ_Log::Sink& currentSink()
{
	static OxKZ_Log::Sink sink;
	return sink;
}

void writeLine(const FString& line)
{
	const std::lock_guard<std::mutex> lock(SinkMutex);
	if (currentSink())
	{
		currentSink()(line);
		return;
	}
	std::fputs(*line, stdout);
	std::fputc('\n', stdout);
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
	const std::lock_guard<std::mutex> lock(SinkMutex);
	Sink previous = std::move(currentSink());
	currentSink() = std::move(sink);
	return previous;
}
