// A downstream measure of the per-frame solve: the installed library against the arithmetic floor
// (Benchmarks/ArithmeticFloor.cpp, compiled here with this project's flags), on the same random
// poses, in alternating blocks of frames so that other work on the machine weighs on both alike.
// Prints, for the fingers following the source and in their T-pose, the thread CPU time per frame of
// each and their ratio: the median of five runs and the range.
#include "ArithmeticFloor.h"
#include "OxRetarget_KZ_UE.h"
#include "OxSkeletonTreeKZ.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

namespace
{
constexpr int Poses = 16;
constexpr int BlockFrames = 2000;
constexpr int Blocks = 100;
constexpr int Runs = 5;

double threadSeconds()
{
	timespec now;
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
	return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing
{
	double library;
	double floor;
};

// Nanoseconds per frame of the library (set the source bones by name, solve) and of the floor.
Timing measure(OxRetarget_KZ_UE& retargeter, ArithmeticFloor& floor, const TArray<FName>& names,
	const std::vector<TArray<TTransform<double>>>& transforms, const std::vector<std::vector<TQuat<double>>>& rotations,
	bool fingers)
{
	double library = 0;
	double reference = 0;
	double sink = 0;
	for (int block = 0; block < Blocks; ++block)
	{
		const double start = threadSeconds();
		for (int frame = 0; frame < BlockFrames; ++frame)
		{
			retargeter.updateSrcSkeleton(names, transforms[frame % Poses]);
			retargeter.updateDesSkeleton(fingers);
		}
		const double middle = threadSeconds();
		for (int frame = 0; frame < BlockFrames; ++frame)
		{
			floor.solve(rotations[frame % Poses].data(), fingers);
			sink += floor.local(12).X;
		}
		const double end = threadSeconds();
		library += middle - start;
		reference += end - middle;
	}
	const double frames = static_cast<double>(Blocks) * BlockFrames;
	std::printf("%s", sink == 12345.0 ? " " : ""); // keeps the floor's results alive
	return {library / frames * 1e9, reference / frames * 1e9};
}
} // namespace

int main()
{
	OxSkeletonTreeKZ tree;
	tree.init();
	const TArray<FName> names = tree.getBoneNames();
	std::vector<TArray<TTransform<double>>> transforms;
	std::vector<std::vector<TQuat<double>>> rotations;
	std::mt19937_64 random(42);
	std::normal_distribution<double> normal;
	for (int pose = 0; pose < Poses; ++pose)
	{
		TArray<TTransform<double>> transform;
		std::vector<TQuat<double>> rotation;
		for (int bone = 0; bone < names.Num(); ++bone)
		{
			TQuat<double> q(normal(random), normal(random), normal(random), normal(random));
			q.Normalize();
			transform.Add(TTransform<double>(q));
			rotation.push_back(q);
		}
		transforms.push_back(transform);
		rotations.push_back(rotation);
	}
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	ArithmeticFloor floor(retargeter);
	for (const bool fingers : {false, true})
	{
		std::vector<Timing> runs;
		std::vector<double> ratios;
		for (int run = 0; run < Runs; ++run)
		{
			runs.push_back(measure(retargeter, floor, names, transforms, rotations, fingers));
			ratios.push_back(runs.back().library / runs.back().floor);
		}
		std::vector<double> sorted = ratios;
		std::sort(sorted.begin(), sorted.end());
		const Timing& median =
			runs[static_cast<std::size_t>(std::find(ratios.begin(), ratios.end(), sorted[Runs / 2]) - ratios.begin())];
		std::printf("fingers %s: library %.0f ns, floor %.0f ns per frame; library / floor %.3f (%.3f to %.3f)\n",
			fingers ? "in T-pose" : "follow", median.library, median.floor, sorted[Runs / 2], sorted.front(),
			sorted.back());
	}
	return 0;
}
