#pragma once

// Comparisons and random rotations shared by the math and transform tests.

#include <gtest/gtest.h>

#include <random>

#include "CoreMinimal.h"

namespace MathTestUtil
{
constexpr double kTol = 1e-12;
constexpr double kHalf = 0.70710678118654752440; // sqrt(0.5)

using Quat = TQuat<double>;
using Vec = TVector<double>;

inline void ExpectQuatNear(const Quat& Actual, const Quat& Expected, double Tol = kTol)
{
	EXPECT_NEAR(Actual.X, Expected.X, Tol);
	EXPECT_NEAR(Actual.Y, Expected.Y, Tol);
	EXPECT_NEAR(Actual.Z, Expected.Z, Tol);
	EXPECT_NEAR(Actual.W, Expected.W, Tol);
}

inline void ExpectVecNear(const Vec& Actual, const Vec& Expected, double Tol = kTol)
{
	EXPECT_NEAR(Actual.X, Expected.X, Tol);
	EXPECT_NEAR(Actual.Y, Expected.Y, Tol);
	EXPECT_NEAR(Actual.Z, Expected.Z, Tol);
}

inline Quat RandomUnitQuat(std::mt19937_64& Random)
{
	std::normal_distribution<double> Normal;
	return Quat(Normal(Random), Normal(Random), Normal(Random), Normal(Random)).GetNormalized();
}
} // namespace MathTestUtil
