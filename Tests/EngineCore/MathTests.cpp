#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "TestMath.h"

namespace
{
using namespace TestMath;

// q and -q are the same rotation.
void ExpectSameRotation(const Quat& Actual, const Quat& Expected, double Tol = kTol)
{
	const double Sign = (Actual | Expected) < 0 ? -1.0 : 1.0;
	ExpectQuatNear(Quat(Sign * Actual.X, Sign * Actual.Y, Sign * Actual.Z, Sign * Actual.W), Expected, Tol);
}

// Signed difference of two angles in degrees, in [-180, 180].
double AngleDiff(double A, double B)
{
	return std::remainder(A - B, 360.0);
}

Quat AxisAngleDeg(const Vec& Axis, double Degrees)
{
	return Quat(Axis, FMath::DegreesToRadians(Degrees));
}

const Quat kZ90(0, 0, kHalf, kHalf);
const Quat kX90(kHalf, 0, 0, kHalf);

// ---------------------------------------------------------------------------------------------
// Product and rotation

// qz90 * qx90 by hand (x1..w1 = qz90, x2..w2 = qx90, h = sqrt(.5)):
//   X = w1x2 + x1w2 + y1z2 - z1y2 = h*h            = .5
//   Y = w1y2 - x1z2 + y1w2 + z1x2 = h*h            = .5
//   Z = w1z2 + x1y2 - y1x2 + z1w2 = h*h            = .5
//   W = w1w2 - x1x2 - y1y2 - z1z2 = h*h            = .5
// Right factor first: Y --qx90--> Z --qz90--> Z;  X --qx90--> X --qz90--> Y.
TEST(QuatTest, ProductAppliesRightFactorFirst)
{
	const Quat Product = kZ90 * kX90;
	ExpectQuatNear(Product, Quat(0.5, 0.5, 0.5, 0.5));
	ExpectVecNear(Product.RotateVector(Vec(0, 1, 0)), Vec(0, 0, 1));
	ExpectVecNear(Product.RotateVector(Vec(1, 0, 0)), Vec(0, 1, 0));
	// The other order sends Y to -X.
	ExpectVecNear((kX90 * kZ90).RotateVector(Vec(0, 1, 0)), Vec(-1, 0, 0));

	std::mt19937_64 Random(11);
	std::uniform_real_distribution<double> Coord(-10, 10);
	for (int Round = 0; Round < 200; ++Round)
	{
		const Quat A = RandomUnitQuat(Random);
		const Quat B = RandomUnitQuat(Random);
		const Vec V(Coord(Random), Coord(Random), Coord(Random));
		ExpectVecNear((A * B).RotateVector(V), A.RotateVector(B.RotateVector(V)));
		EXPECT_NEAR(A.RotateVector(V).Size(), V.Size(), kTol);
		ExpectVecNear(A.UnrotateVector(A.RotateVector(V)), V);
	}
}

TEST(QuatTest, RotateVector)
{
	ExpectVecNear(kZ90.RotateVector(Vec(1, 0, 0)), Vec(0, 1, 0));
	ExpectVecNear(kZ90.RotateVector(Vec(0, 0, 5)), Vec(0, 0, 5));
	ExpectVecNear(kX90.RotateVector(Vec(1, 2, 3)), Vec(1, -3, 2));
	// 120 degrees about (1,1,1) cycles the axes.
	const Quat Cycle = AxisAngleDeg(Vec(1, 1, 1) * (1.0 / std::sqrt(3.0)), 120);
	ExpectVecNear(Cycle.RotateVector(Vec(1, 0, 0)), Vec(0, 1, 0));
}

// The threshold is the single-precision 1e-8 read as a double: 9.99999993922529e-9.
// Test quaternions are c * (1, -2, 2, -4) / 5, a unit direction scaled so that s = c^2.
TEST(QuatTest, NormalizeThreshold)
{
	EXPECT_NEAR(static_cast<double>(UE_SMALL_NUMBER), 9.99999993922529e-9, 1e-21);
	const auto Scaled = [](double SquareSum)
	{
		const double C = std::sqrt(SquareSum) / 5;
		return Quat(C, -2 * C, 2 * C, -4 * C);
	};

	Quat JustBelow = Scaled(9.9999999e-9);
	JustBelow.Normalize();
	EXPECT_EQ(JustBelow, Quat::Identity);

	// Above the single-precision constant though below the double 1e-8.
	Quat JustAbove = Scaled(9.99999997e-9);
	JustAbove.Normalize();
	ExpectQuatNear(JustAbove, Quat(0.2, -0.4, 0.4, -0.8));

	ExpectQuatNear(Quat(0, 0, 3, 4).GetNormalized(), Quat(0, 0, 0.6, 0.8));
	EXPECT_EQ(Quat(0, 0, 0, 0).GetNormalized(), Quat::Identity);
}

// ---------------------------------------------------------------------------------------------
// Euler angles (roll X, pitch Y, yaw Z) in degrees

TEST(QuatEulerTest, MakeFromEulerKnownValues)
{
	ExpectQuatNear(Quat::MakeFromEuler(Vec(0, 0, 90)), Quat(0, 0, kHalf, kHalf));
	ExpectQuatNear(Quat::MakeFromEuler(Vec(-90, 0, 0)), Quat(kHalf, 0, 0, kHalf));
	ExpectQuatNear(Quat::MakeFromEuler(Vec(0, -90, 0)), Quat(0, kHalf, 0, kHalf));
	EXPECT_EQ(Quat::MakeFromEuler(Vec(0, 0, 0)), Quat::Identity);
}

TEST(QuatEulerTest, MakeFromEulerIsYawThenNegatedPitchThenNegatedRoll)
{
	std::mt19937_64 Random(13);
	std::uniform_real_distribution<double> Angle(-179, 179);
	for (int Round = 0; Round < 200; ++Round)
	{
		const Vec Euler(Angle(Random), Angle(Random), Angle(Random));
		const Quat Expected = AxisAngleDeg(Vec(0, 0, 1), Euler.Z) * AxisAngleDeg(Vec(0, 1, 0), -Euler.Y) *
			AxisAngleDeg(Vec(1, 0, 0), -Euler.X);
		ExpectQuatNear(Quat::MakeFromEuler(Euler), Expected);
	}
}

TEST(QuatEulerTest, MakeFromEulerTakesRemainderBy360)
{
	ExpectQuatNear(Quat::MakeFromEuler(Vec(0, 0, 450)), Quat::MakeFromEuler(Vec(0, 0, 90)));
	ExpectQuatNear(Quat::MakeFromEuler(Vec(730, -400, 1000)), Quat::MakeFromEuler(Vec(10, -40, 280)));
	// -270 keeps its sign under the remainder: the half angle is -135, giving -q.
	ExpectSameRotation(Quat::MakeFromEuler(Vec(0, 0, -270)), Quat::MakeFromEuler(Vec(0, 0, 90)));
	ExpectSameRotation(Quat::MakeFromEuler(Vec(-350, 0, 0)), Quat::MakeFromEuler(Vec(10, 0, 0)));
}

TEST(QuatEulerTest, EulerInvertsMakeFromEuler)
{
	std::mt19937_64 Random(14);
	std::uniform_real_distribution<double> Angle(-179.9, 179.9);
	std::uniform_real_distribution<double> Pitch(-89, 89);
	for (int Round = 0; Round < 1000; ++Round)
	{
		const Vec In(Angle(Random), Pitch(Random), Angle(Random));
		const Vec Out = Quat::MakeFromEuler(In).Euler();
		EXPECT_NEAR(Out.X, In.X, kAngleTol);
		EXPECT_NEAR(Out.Y, In.Y, kAngleTol);
		EXPECT_NEAR(Out.Z, In.Z, kAngleTol);
	}
	// And the other way round, from arbitrary rotations away from the poles.
	for (int Round = 0; Round < 1000; ++Round)
	{
		const Quat Q = RandomUnitQuat(Random);
		if (std::abs(Q.Z * Q.X - Q.W * Q.Y) > 0.49)
		{
			continue;
		}
		ExpectSameRotation(Quat::MakeFromEuler(Q.Euler()), Q);
	}
}

TEST(QuatEulerTest, RollMatchesFormulaAndEulerX)
{
	constexpr double kRadToDeg = 180.0 / UE_DOUBLE_PI;
	std::mt19937_64 Random(15);
	for (int Round = 0; Round < 500; ++Round)
	{
		const Quat Q = RandomUnitQuat(Random);
		const double Roll = Q.EulerRoll();
		EXPECT_EQ(Q.Euler().X, Roll); // bit for bit
		if (std::abs(Q.Z * Q.X - Q.W * Q.Y) < 0.49)
		{
			const double Formula =
				std::atan2(-2 * (Q.W * Q.X + Q.Y * Q.Z), 1 - 2 * (Q.X * Q.X + Q.Y * Q.Y)) * kRadToDeg;
			EXPECT_NEAR(Roll, Formula, kTol);
		}
	}
}

// At pitch +-90, roll and yaw turn about the same axis. Writing a = yaw/2, b = roll/2 and
// h = sqrt(.5), MakeFromEuler(roll, 90, yaw) = h * (sin(a-b), -cos(a-b), sin(a-b), cos(a-b)), so
// only yaw - roll is known: Euler gives (0, 90, yaw - roll). At -90 it is yaw + roll.
TEST(QuatEulerTest, PitchSingularity)
{
	const double Combos[][2] = {{0, 0}, {30, 0}, {0, 45}, {-120, 70}, {170, -170}, {90, -90}, {45, 135}};
	for (const double Pitch : {90.0, -90.0})
	{
		for (const auto& Combo : Combos)
		{
			const double Roll = Combo[0];
			const double Yaw = Combo[1];
			SCOPED_TRACE(testing::Message() << "roll " << Roll << " pitch " << Pitch << " yaw " << Yaw);
			const Quat Q = Quat::MakeFromEuler(Vec(Roll, Pitch, Yaw));
			const Vec Euler = Q.Euler();
			EXPECT_EQ(Euler.Y, Pitch);
			EXPECT_EQ(Euler.X, 0.0);
			EXPECT_EQ(Q.EulerRoll(), 0.0);
			EXPECT_NEAR(AngleDiff(Euler.Z, Pitch > 0 ? Yaw - Roll : Yaw + Roll), 0.0, kAngleTol);
			EXPECT_GT(Euler.Z, -180.0);
			EXPECT_LE(Euler.Z, 180.0);
			ExpectSameRotation(Quat::MakeFromEuler(Euler), Q);
		}
	}
	// A pole reached without MakeFromEuler: -90 degrees about Y is pitch +90.
	const Vec Pole = AxisAngleDeg(Vec(0, 1, 0), -90).Euler();
	EXPECT_EQ(Pole.Y, 90.0);
	EXPECT_EQ(Pole.X, 0.0);
	EXPECT_NEAR(Pole.Z, 0.0, kAngleTol);
}
} // namespace
