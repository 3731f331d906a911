#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "TestMath.h"

namespace
{
using namespace TestMath;

TEST(TransformTest, IdentityConstants)
{
	EXPECT_EQ(Transform::Identity.Rotation, Quat::Identity);
	EXPECT_EQ(Transform::Identity.Translation, Vec(0, 0, 0));
	EXPECT_EQ(Transform::Identity.Scale3D, Vec(1, 1, 1));
	EXPECT_EQ(Vec::ZeroVector, Vec(0, 0, 0));
	EXPECT_EQ(Vec::OneVector, Vec(1, 1, 1));
	EXPECT_EQ(Transform().Scale3D, Vec::OneVector);
	EXPECT_EQ(Transform::Identity.TransformPosition(Vec(1, -2, 3)), Vec(1, -2, 3));
}

// A = (rot qz90, T (1,2,3), S (2,2,2)), B = (rot qx90, T (10,0,0), S (1,3,1)); A first.
//   scale       = SA o SB              = (2, 6, 2)
//   translation = qx90(SB o TA) + TB   = qx90(1, 6, 3) + (10,0,0) = (1, -3, 6) + (10,0,0) = (11, -3, 6)
//                 (qx90 maps (x, y, z) to (x, -z, y))
//   rotation    = qx90 * qz90          = (.5, -.5, .5, .5)
//                 X --qz90--> Y --qx90--> Z
TEST(TransformTest, CompositionAppliesLeftFirst)
{
	const Transform A(Quat(0, 0, kHalf, kHalf), Vec(1, 2, 3), Vec(2, 2, 2));
	const Transform B(Quat(kHalf, 0, 0, kHalf), Vec(10, 0, 0), Vec(1, 3, 1));
	const Transform C = A * B;
	ExpectQuatNear(C.Rotation, Quat(0.5, -0.5, 0.5, 0.5));
	ExpectVecNear(C.Translation, Vec(11, -3, 6));
	ExpectVecNear(C.Scale3D, Vec(2, 6, 2));
	ExpectVecNear(C.Rotation.RotateVector(Vec(1, 0, 0)), Vec(0, 0, 1));
}

// With a uniform scale in B the product is again a scale-rotate-translate, so it moves points as A
// then B does.
TEST(TransformTest, CompositionMovesPointsAsAThenB)
{
	std::mt19937_64 Random(21);
	std::uniform_real_distribution<double> Coord(-50, 50);
	std::uniform_real_distribution<double> Positive(0.2, 3);
	for (int Round = 0; Round < 100; ++Round)
	{
		const Transform A(RandomUnitQuat(Random), Vec(Coord(Random), Coord(Random), Coord(Random)),
			Vec(Positive(Random), Positive(Random), Positive(Random)));
		const Transform B(
			RandomUnitQuat(Random), Vec(Coord(Random), Coord(Random), Coord(Random)), Vec(Positive(Random)));
		const Transform C = A * B;
		const Vec P(Coord(Random), Coord(Random), Coord(Random));
		ExpectVecNear(C.TransformPosition(P), B.TransformPosition(A.TransformPosition(P)), kPointTol);
	}
}

// A negative scale component anywhere takes the matrix route. The cases are chosen so that the
// product is representable: B's scale has one magnitude, or A has no rotation.
struct FNegativeScaleCase
{
	const char* Label;
	Quat RotationA;
	Vec ScaleA;
	Quat RotationB;
	Vec ScaleB;
};

TEST(TransformTest, NegativeScaleUsesMatrixRoute)
{
	const Quat R1 = Quat::MakeFromEuler(Vec(10, 20, 30));
	const Quat R2 = Quat::MakeFromEuler(Vec(-40, 15, 70));
	const FNegativeScaleCase Cases[] = {
		{"negative in A", R1, Vec(-1, 2, 0.5), R2, Vec(3, 3, 3)},
		{"negative in B", R1, Vec(1, 2, 0.5), R2, Vec(-2, -2, -2)},
		// X: (-1.5) * (-2) = 3, positive; Y, Z negative.
		{"both negative in X", R1, Vec(-1.5, 1, 4), R2, Vec(-2, -2, -2)},
		{"non-uniform B, unrotated A", Quat::Identity, Vec(1, -2, 3), R2, Vec(-1, 2, -0.5)},
	};
	const Vec Points[] = {Vec(0, 0, 0), Vec(1, 0, 0), Vec(0, 1, 0), Vec(0, 0, 1), Vec(1.5, -2, 3), Vec(-7, 4, 9)};
	for (const FNegativeScaleCase& Case : Cases)
	{
		SCOPED_TRACE(Case.Label);
		const Transform A(Case.RotationA, Vec(1, 2, 3), Case.ScaleA);
		const Transform B(Case.RotationB, Vec(4, 5, 6), Case.ScaleB);
		const Transform C = A * B;
		EXPECT_EQ(C.Scale3D, Case.ScaleA * Case.ScaleB);
		EXPECT_NEAR(C.Rotation.SizeSquared(), 1.0, kTol);
		for (const Vec& P : Points)
		{
			ExpectVecNear(C.TransformPosition(P), B.TransformPosition(A.TransformPosition(P)), kPointTol);
		}
	}
}

// An axis of the product matrix that collapses to zero leaves no rotation to recover: the matrix
// route then gives the identity rotation, keeps the product scale and the matrix origin.
TEST(TransformTest, ZeroScaleAxisOnMatrixRouteGivesIdentityRotation)
{
	const Quat R1 = Quat::MakeFromEuler(Vec(10, 20, 30));
	const Quat R2 = Quat::MakeFromEuler(Vec(-40, 15, 70));
	const Transform A(R1, Vec(1, 2, 3), Vec(0, 2, -1));
	const Transform B(R2, Vec(4, 5, 6), Vec(-2, -2, -2));
	const Transform C = A * B;
	EXPECT_EQ(C.Rotation, Quat::Identity);
	EXPECT_EQ(C.Scale3D, Vec(0, -4, 2));
	// The origin of the product is where A's origin lands under B.
	ExpectVecNear(C.Translation, B.TransformPosition(A.Translation), kPointTol);
}

TEST(TransformDeathTest, MatrixRouteNeedsUnitRotations)
{
	const Transform A(Quat(0, 0, 0, 1.5), Vec(1, 2, 3), Vec(-1, 1, 1));
	const Transform B(Quat::Identity, Vec(0, 0, 0), Vec(1, 1, 1));
	EXPECT_DEATH((void)(A * B), "negative scale");
	EXPECT_DEATH((void)(B * A), "negative scale");
}

TEST(TransformTest, InverseOfZeroScaleIsExactlyIdentity)
{
	const Quat Rotation = Quat::MakeFromEuler(Vec(10, 20, 30));
	for (const Vec& Scale : {Vec(0, 0, 0), Vec(1e-9, -5e-9, 0), Vec(static_cast<double>(UE_SMALL_NUMBER))})
	{
		const Transform Inverse = Transform(Rotation, Vec(1, 2, 3), Scale).Inverse();
		EXPECT_EQ(Inverse.Rotation, Quat::Identity);
		EXPECT_EQ(Inverse.Translation, Vec::ZeroVector);
		EXPECT_EQ(Inverse.Scale3D, Vec::OneVector);
	}
}

TEST(TransformTest, InverseWithOneZeroScaleGivesZeroReciprocal)
{
	const Transform X(Quat::MakeFromEuler(Vec(0, 0, 90)), Vec(1, 2, 3), Vec(2, 0, -4));
	const Transform Inverse = X.Inverse();
	EXPECT_EQ(Inverse.Scale3D, Vec(0.5, 0, -0.25));
	EXPECT_FALSE(Inverse.ContainsNaN());
	// T' = -conj(q)(S' o T) = -qz(-90)(0.5, 0, -0.75) = -(0, -0.5, -0.75)
	ExpectVecNear(Inverse.Translation, Vec(0, 0.5, 0.75));
}

TEST(TransformTest, TimesInverseIsIdentity)
{
	std::mt19937_64 Random(22);
	std::uniform_real_distribution<double> Coord(-100, 100);
	std::uniform_real_distribution<double> Positive(0.25, 4);
	for (int Round = 0; Round < 200; ++Round)
	{
		const Transform X(RandomUnitQuat(Random), Vec(Coord(Random), Coord(Random), Coord(Random)),
			Vec(Positive(Random), Positive(Random), Positive(Random)));
		const Transform Product = X * X.Inverse();
		ExpectQuatNear(Product.Rotation, Quat::Identity);
		ExpectVecNear(Product.Translation, Vec::ZeroVector);
		ExpectVecNear(Product.Scale3D, Vec::OneVector);
	}
}
} // namespace
