#pragma once

#include "CoreTypes.h"

#include <cmath>

#define UE_DOUBLE_PI (3.141592653589793238462643383279502884197169399)
#define UE_PI UE_DOUBLE_PI
// The engine's tolerances are single-precision constants, also where doubles are compared.
#define UE_SMALL_NUMBER (1.e-8f)
#define UE_KINDA_SMALL_NUMBER (1.e-4f)
#define UE_DOUBLE_SMALL_NUMBER (1.e-8)
#define UE_DELTA (0.00001f)
#define UE_THRESH_QUAT_NORMALIZED (0.01f)

struct FMath
{
	template <typename T> static constexpr T Abs(T A) { return A < T(0) ? -A : A; }
	template <typename T> static constexpr T Min(T A, T B) { return B < A ? B : A; }
	template <typename T> static constexpr T Max(T A, T B) { return A < B ? B : A; }
	template <typename T> static constexpr T Clamp(T X, T Lo, T Hi) { return X < Lo ? Lo : (X < Hi ? X : Hi); }
	template <typename T> static constexpr T Square(T A) { return A * A; }
	// -1 for negative values, +1 otherwise (zero counts as positive).
	template <typename T> static constexpr T FloatSelectSign(T A) { return A < T(0) ? T(-1) : T(1); }

	static double Sqrt(double A) { return std::sqrt(A); }
	static double InvSqrt(double A) { return 1.0 / std::sqrt(A); }
	static double Sin(double A) { return std::sin(A); }
	static double Cos(double A) { return std::cos(A); }
	static void SinCos(double* S, double* C, double A)
	{
		*S = std::sin(A);
		*C = std::cos(A);
	}
	static double Asin(double A) { return std::asin(Clamp(A, -1.0, 1.0)); }
	static double Atan2(double Y, double X) { return std::atan2(Y, X); }
	// Floating-point remainder with the sign of X.
	static double Fmod(double X, double Y) { return std::fmod(X, Y); }

	static bool IsFinite(double A) { return std::isfinite(A); }
	static bool IsNaN(double A) { return std::isnan(A); }
	static bool IsNearlyZero(double A, double Tolerance = UE_SMALL_NUMBER) { return Abs(A) <= Tolerance; }
	static bool IsNearlyEqual(double A, double B, double Tolerance = UE_SMALL_NUMBER)
	{
		return Abs(A - B) <= Tolerance;
	}

	static constexpr double DegreesToRadians(double Degrees) { return Degrees * (UE_DOUBLE_PI / 180.0); }
	static constexpr double RadiansToDegrees(double Radians) { return Radians * (180.0 / UE_DOUBLE_PI); }
};
