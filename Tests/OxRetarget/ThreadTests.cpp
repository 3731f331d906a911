// Several retargeters on several threads, one per thread, with names made concurrently: every thread
// must get exactly what a lone thread gets. Run under ThreadSanitizer in CI.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "OxRetarget_KZ_UE.h"
#include "TestMath.h"

namespace
{
using namespace TestMath;

// Solves a fixed sequence of frames and returns every meta bone's rotation of the last one.
std::vector<double> Solve(int seed)
{
	// Names made here race with the other threads' names, new and existing alike.
	for (int i = 0; i < 200; ++i)
	{
		const FName fresh(("Extra_" + std::to_string(seed) + "_" + std::to_string(i)).c_str());
		const FName shared(("Shared_" + std::to_string(i % 17)).c_str());
		EXPECT_FALSE(fresh == shared);
	}
	OxRetarget_KZ_UE retargeter;
	retargeter.init();
	const TArray<FName> names = retargeter.getSrcSkeleton()->getBoneNames();
	for (int frame = 0; frame < 50; ++frame)
	{
		TArray<Transform> transforms;
		for (int32 b = 0; b < names.Num(); ++b)
		{
			const double angle = 0.5 * frame + 3.0 * b;
			transforms.Add(Transform(TQuat<double>::MakeFromEuler(TVector<double>(angle, -0.7 * angle, 0.3 * angle))));
		}
		retargeter.updateSrcSkeleton(names, transforms);
		retargeter.updateDesSkeleton(frame % 5 == 0);
	}
	std::vector<double> result;
	for (const FName& bone : retargeter.getMetaBoneName())
	{
		const TQuat<double> q = retargeter.getMetaBonePose(bone).Rotation;
		result.insert(result.end(), {q.X, q.Y, q.Z, q.W});
	}
	return result;
}

TEST(Threads, RetargetersOnSeveralThreadsMatchALoneThread)
{
	const std::vector<double> expected = Solve(-1);
	constexpr int kThreads = 6;
	std::vector<std::vector<double>> results(kThreads);
	std::vector<std::thread> threads;
	for (int t = 0; t < kThreads; ++t)
	{
		threads.emplace_back([&results, t] { results[static_cast<size_t>(t)] = Solve(t); });
	}
	for (std::thread& thread : threads)
	{
		thread.join();
	}
	for (const std::vector<double>& result : results)
	{
		EXPECT_EQ(result, expected);
	}
	// Names made on other threads are found again, in any letter case.
	EXPECT_EQ(FName("extra_3_199"), FName("Extra_3_199"));
	EXPECT_TRUE(FName("Extra_3_199").ToString().Equals(FString("Extra_3_199"), ESearchCase::CaseSensitive));
}
} // namespace
