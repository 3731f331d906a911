#pragma once

// What the test suites share: type aliases, the named tolerances, the one bit-equality rule,
// near-comparisons and random rotations.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "CoreMinimal.h"

namespace TestMath
{
using Quat = TQuat<double>;
using Vec = TVector<double>;
using Transform = TTransform<double>;

// A few operations on unit quaternions and on small exact numbers.
constexpr double kTol = 1e-12;
// One conversion from Euler angles: the rest poses of the skeletons.
constexpr double kRestPoseTol = 1e-15;
// Points carried through a chain of transforms with scales.
constexpr double kPointTol = 1e-9;
// Euler angles in degrees.
constexpr double kAngleTol = 1e-9;
// Bones driven through the source thumbs' rest quaternions, which are stored as written (0.99999998
// long) and never normalised: results drift from unit length by about 2e-7 at the third phalanx.
constexpr double kThumbTol = 1e-6;

constexpr double kHalf = 0.70710678118654752440; // sqrt(0.5)

// Bit-for-bit equality of results: the same bits, except that +0 and -0 count as equal (the
// library skips work whose result is a zero of either sign) and so do any two NaNs.
inline bool SameBits(double A, double B)
{
	if ((A == 0.0 && B == 0.0) || (std::isnan(A) && std::isnan(B)))
	{
		return true;
	}
	return std::memcmp(&A, &B, sizeof(double)) == 0;
}

inline ::testing::AssertionResult SameBits(const Transform& A, const Transform& B)
{
	const double AV[] = {A.Rotation.X, A.Rotation.Y, A.Rotation.Z, A.Rotation.W, A.Translation.X, A.Translation.Y,
		A.Translation.Z, A.Scale3D.X, A.Scale3D.Y, A.Scale3D.Z};
	const double BV[] = {B.Rotation.X, B.Rotation.Y, B.Rotation.Z, B.Rotation.W, B.Translation.X, B.Translation.Y,
		B.Translation.Z, B.Scale3D.X, B.Scale3D.Y, B.Scale3D.Z};
	for (int I = 0; I < 10; ++I)
	{
		if (!SameBits(AV[I], BV[I]))
		{
			return ::testing::AssertionFailure()
				<< "component " << I << ": " << *A.ToString() << " vs " << *B.ToString();
		}
	}
	return ::testing::AssertionSuccess();
}

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

inline void ExpectTransformNear(const Transform& Actual, const Transform& Expected, double Tol = kTol)
{
	ExpectQuatNear(Actual.Rotation, Expected.Rotation, Tol);
	ExpectVecNear(Actual.Translation, Expected.Translation, Tol);
	ExpectVecNear(Actual.Scale3D, Expected.Scale3D, Tol);
}

inline Quat RandomUnitQuat(std::mt19937_64& Random)
{
	std::normal_distribution<double> Normal;
	return Quat(Normal(Random), Normal(Random), Normal(Random), Normal(Random)).GetNormalized();
}
} // namespace TestMath
