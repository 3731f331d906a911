#pragma once

#include "CoreMinimal.h"

#include <functional>

#define OXUTILSTOOLS_API OX_DLL_EXPORT

// Diagnostic output of the utility library. By default each call writes lines to standard output;
// a program or test may route them elsewhere with setSink.
class OXUTILSTOOLS_API OxKZ_Log
{
public:
	// Receives each finished line, without its line break.
	using Sink = std::function<void(const FString& line)>;

	// Writes text as one line.
	static void printString(FString text);
	// Writes one line: the label, then the rotation (X, Y, Z, W), translation and scale with 17
	// significant digits, e.g. "label R=(0, 0, 0, 1) T=(0, 0, 0) S=(1, 1, 1)".
	static void printTransform(FString label, TTransform<double> transform);

	// Replaces the sink and returns the previous one; an empty sink restores standard output. The sink
	// is called from one thread at a time; a line printed from inside the sink, on its thread, goes to
	// standard output instead, and the sink may replace itself.
	static Sink setSink(Sink sink);

	// The text printTransform writes for a transform, after its label.
	static FString formatTransform(const TTransform<double>& transform);
};
