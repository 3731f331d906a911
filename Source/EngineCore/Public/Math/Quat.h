#pragma once

#include "Math/Vector.h"

namespace UE::Math
{

// Rotation quaternion (X, Y, Z, W). Products are Hamilton products: in A * B, B acts first.
template <typename T> struct TQuat
{
	T X = 0;
	T Y = 0;
	T Z = 0;
	T W = 1;

	static const TQuat Identity;

	constexpr TQuat() = default;
	constexpr TQuat(T InX, T InY, T InZ, T InW)
		: X(InX)
		, Y(InY)
		, Z(InZ)
		, W(InW)
	{
	}
	// Rotation by AngleRad about the unit vector Axis.
	TQuat(const TVector<T>& Axis, T AngleRad)
	{
		T S;
		T C;
		FMath::SinCos(&S, &C, AngleRad * T(0.5));
		X = S * Axis.X;
		Y = S * Axis.Y;
		Z = S * Axis.Z;
		W = C;
	}

	// Hamilton product: the rotation Q applied first, then this one.
	constexpr TQuat operator*(const TQuat& Q) const
	{
		return {W * Q.X + X * Q.W + Y * Q.Z - Z * Q.Y, W * Q.Y - X * Q.Z + Y * Q.W + Z * Q.X,
			W * Q.Z + X * Q.Y - Y * Q.X + Z * Q.W, W * Q.W - X * Q.X - Y * Q.Y - Z * Q.Z};
	}
	TQuat& operator*=(const TQuat& Q) { return *this = *this * Q; }
	constexpr bool operator==(const TQuat& Q) const { return X == Q.X && Y == Q.Y && Z == Q.Z && W == Q.W; }
	// Four-component dot product.
	constexpr T operator|(const TQuat& Q) const { return X * Q.X + Y * Q.Y + Z * Q.Z + W * Q.W; }

	// Rotates V: V + 2W(q x V) + 2 q x (q x V), with q the vector part.
	TVector<T> RotateVector(const TVector<T>& V) const
	{
		const TVector<T> Q(X, Y, Z);
		const TVector<T> TT = (Q ^ V) * T(2);
		return V + (TT * W) + (Q ^ TT);
	}
	TVector<T> UnrotateVector(const TVector<T>& V) const { return Inverse().RotateVector(V); }

	// The conjugate; the inverse rotation of a unit quaternion.
	constexpr TQuat Inverse() const { return {-X, -Y, -Z, W}; }

	T SizeSquared() const { return X * X + Y * Y + Z * Z + W * W; }
	T Size() const { return FMath::Sqrt(SizeSquared()); }
	bool IsNormalized() const { return FMath::Abs(T(1) - SizeSquared()) <= T(UE_THRESH_QUAT_NORMALIZED); }
	// Scales to unit length: s = X^2 + Y^2 + Z^2 + W^2; below Tolerance the identity.
	void Normalize(T Tolerance = UE_SMALL_NUMBER)
	{
		const T SquareSum = SizeSquared();
		if (SquareSum >= Tolerance)
		{
			const T Scale = FMath::InvSqrt(SquareSum);
			X *= Scale;
			Y *= Scale;
			Z *= Scale;
			W *= Scale;
		}
		else
		{
			*this = Identity;
		}
	}
	TQuat GetNormalized(T Tolerance = UE_SMALL_NUMBER) const
	{
		TQuat Result(*this);
		Result.Normalize(Tolerance);
		return Result;
	}
	bool Equals(const TQuat& Q, T Tolerance = UE_KINDA_SMALL_NUMBER) const
	{
		const auto Near = [Tolerance](const TQuat& A, const TQuat& B)
		{
			return FMath::Abs(A.X - B.X) <= Tolerance && FMath::Abs(A.Y - B.Y) <= Tolerance &&
				FMath::Abs(A.Z - B.Z) <= Tolerance && FMath::Abs(A.W - B.W) <= Tolerance;
		};
		return Near(*this, Q) || Near(*this, TQuat(-Q.X, -Q.Y, -Q.Z, -Q.W));
	}
	bool ContainsNaN() const
	{
		return !FMath::IsFinite(X) || !FMath::IsFinite(Y) || !FMath::IsFinite(Z) || !FMath::IsFinite(W);
	}

	// From Euler angles in degrees, (X, Y, Z) = (roll, pitch, yaw), each reduced by the remainder by
	// 360: qz(yaw) * qy(-pitch) * qx(-roll).
	static TQuat MakeFromEuler(const TVector<T>& Euler)
	{
		constexpr T HalfDegToRad = T(UE_DOUBLE_PI) / T(180) / T(2);
		T SR;
		T CR;
		T SP;
		T CP;
		T SY;
		T CY;
		FMath::SinCos(&SR, &CR, FMath::Fmod(Euler.X, T(360)) * HalfDegToRad);
		FMath::SinCos(&SP, &CP, FMath::Fmod(Euler.Y, T(360)) * HalfDegToRad);
		FMath::SinCos(&SY, &CY, FMath::Fmod(Euler.Z, T(360)) * HalfDegToRad);
		return {CR * SP * SY - SR * CP * CY, -CR * SP * CY - SR * CP * SY, CR * CP * SY - SR * SP * CY,
			CR * CP * CY + SR * SP * SY};
	}

	// Euler angles in degrees (roll, pitch, yaw), the inverse of MakeFromEuler, pitch in [-90, 90].
	// At pitch +-90 roll and yaw turn about the same axis; all of that turn is then given to yaw and
	// roll is 0, so MakeFromEuler(Euler()) still gives back the rotation.
	TVector<T> Euler() const
	{
		const int32 Singularity = GetEulerSingularity();
		if (Singularity != 0)
		{
			return {T(0), T(90 * Singularity), NormalizeAxis(T(2) * FMath::Atan2(Z, W) * RadToDeg)};
		}
		const T Pitch = FMath::Asin(T(2) * (Z * X - W * Y) / SquareSumOrOne()) * RadToDeg;
		const T Yaw = FMath::Atan2(T(2) * (W * Z + X * Y), T(1) - T(2) * (Y * Y + Z * Z)) * RadToDeg;
		return {EulerRoll(), Pitch, Yaw};
	}

	// Euler().X alone, computed exactly as Euler computes it:
	// atan2(-2(WX + YZ), 1 - 2(X^2 + Y^2)) in degrees, or 0 at pitch +-90.
	T EulerRoll() const
	{
		if (GetEulerSingularity() != 0)
		{
			return T(0);
		}
		return FMath::Atan2(T(-2) * (W * X + Y * Z), T(1) - T(2) * (X * X + Y * Y)) * RadToDeg;
	}

	FString ToString() const { return FString::Printf("X=%.17g Y=%.17g Z=%.17g W=%.17g", X, Y, Z, W); }

private:
	static constexpr T RadToDeg = T(180) / T(UE_DOUBLE_PI);

	T SquareSumOrOne() const
	{
		const T SquareSum = SizeSquared();
		return SquareSum > T(0) ? SquareSum : T(1);
	}

	// +1 at pitch +90, -1 at pitch -90 (within the engine's threshold), else 0.
	int32 GetEulerSingularity() const
	{
		const T SingularityTest = Z * X - W * Y;
		const T Threshold = T(0.4999995) * SquareSumOrOne();
		return SingularityTest > Threshold ? 1 : (SingularityTest < -Threshold ? -1 : 0);
	}

	// Angle in degrees wrapped to (-180, 180].
	static T NormalizeAxis(T Angle)
	{
		Angle = FMath::Fmod(Angle, T(360));
		if (Angle > T(180))
		{
			Angle -= T(360);
		}
		else if (Angle <= T(-180))
		{
			Angle += T(360);
		}
		return Angle;
	}
};

template <typename T> constexpr TQuat<T> TQuat<T>::Identity(0, 0, 0, 1);

} // namespace UE::Math

using UE::Math::TQuat;
using FQuat = TQuat<double>;
