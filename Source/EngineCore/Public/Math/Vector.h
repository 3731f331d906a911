#pragma once

#include "Containers/UnrealString.h"
#include "Math/UnrealMathUtility.h"

namespace UE::Math
{

template <typename T> struct TVector
{
	T X = 0;
	T Y = 0;
	T Z = 0;

	static const TVector ZeroVector;
	static const TVector OneVector;
	static const TVector UpVector;
	static const TVector ForwardVector;
	static const TVector RightVector;

	constexpr TVector() = default;
	constexpr TVector(T InX, T InY, T InZ)
		: X(InX)
		, Y(InY)
		, Z(InZ)
	{
	}
	explicit constexpr TVector(T InF)
		: X(InF)
		, Y(InF)
		, Z(InF)
	{
	}

	constexpr TVector operator+(const TVector& V) const { return {X + V.X, Y + V.Y, Z + V.Z}; }
	constexpr TVector operator-(const TVector& V) const { return {X - V.X, Y - V.Y, Z - V.Z}; }
	constexpr TVector operator-() const { return {-X, -Y, -Z}; }
	// Component-wise product.
	constexpr TVector operator*(const TVector& V) const { return {X * V.X, Y * V.Y, Z * V.Z}; }
	constexpr TVector operator*(T Scale) const { return {X * Scale, Y * Scale, Z * Scale}; }
	constexpr TVector operator/(T Scale) const { return {X / Scale, Y / Scale, Z / Scale}; }
	TVector& operator+=(const TVector& V)
	{
		X += V.X;
		Y += V.Y;
		Z += V.Z;
		return *this;
	}
	TVector& operator-=(const TVector& V)
	{
		X -= V.X;
		Y -= V.Y;
		Z -= V.Z;
		return *this;
	}
	TVector& operator*=(T Scale)
	{
		X *= Scale;
		Y *= Scale;
		Z *= Scale;
		return *this;
	}
	constexpr bool operator==(const TVector& V) const { return X == V.X && Y == V.Y && Z == V.Z; }

	// Cross product.
	constexpr TVector operator^(const TVector& V) const
	{
		return {Y * V.Z - Z * V.Y, Z * V.X - X * V.Z, X * V.Y - Y * V.X};
	}
	// Dot product.
	constexpr T operator|(const TVector& V) const { return X * V.X + Y * V.Y + Z * V.Z; }
	static constexpr TVector CrossProduct(const TVector& A, const TVector& B) { return A ^ B; }
	static constexpr T DotProduct(const TVector& A, const TVector& B) { return A | B; }

	T& operator[](int32 Index)
	{
		checkf(Index >= 0 && Index < 3, "Vector index out of range: %d", Index);
		return Index == 0 ? X : (Index == 1 ? Y : Z);
	}
	T operator[](int32 Index) const
	{
		checkf(Index >= 0 && Index < 3, "Vector index out of range: %d", Index);
		return Index == 0 ? X : (Index == 1 ? Y : Z);
	}

	T SizeSquared() const { return X * X + Y * Y + Z * Z; }
	T Size() const { return FMath::Sqrt(SizeSquared()); }
	bool IsNearlyZero(T Tolerance = UE_KINDA_SMALL_NUMBER) const
	{
		return FMath::Abs(X) <= Tolerance && FMath::Abs(Y) <= Tolerance && FMath::Abs(Z) <= Tolerance;
	}
	bool IsZero() const { return X == 0 && Y == 0 && Z == 0; }
	bool Equals(const TVector& V, T Tolerance = UE_KINDA_SMALL_NUMBER) const
	{
		return FMath::Abs(X - V.X) <= Tolerance && FMath::Abs(Y - V.Y) <= Tolerance && FMath::Abs(Z - V.Z) <= Tolerance;
	}
	// Unit vector in the same direction, or the zero vector when the length is within Tolerance.
	TVector GetSafeNormal(T Tolerance = UE_SMALL_NUMBER) const
	{
		const T SquareSum = SizeSquared();
		if (SquareSum == T(1))
		{
			return *this;
		}
		if (SquareSum < Tolerance)
		{
			return ZeroVector;
		}
		return *this * FMath::InvSqrt(SquareSum);
	}
	bool ContainsNaN() const { return !FMath::IsFinite(X) || !FMath::IsFinite(Y) || !FMath::IsFinite(Z); }

	FString ToString() const { return FString::Printf("X=%.17g Y=%.17g Z=%.17g", X, Y, Z); }
};

template <typename T> constexpr TVector<T> operator*(T Scale, const TVector<T>& V)
{
	return V * Scale;
}

template <typename T> constexpr TVector<T> TVector<T>::ZeroVector(0, 0, 0);
template <typename T> constexpr TVector<T> TVector<T>::OneVector(1, 1, 1);
template <typename T> constexpr TVector<T> TVector<T>::UpVector(0, 0, 1);
template <typename T> constexpr TVector<T> TVector<T>::ForwardVector(1, 0, 0);
template <typename T> constexpr TVector<T> TVector<T>::RightVector(0, 1, 0);

} // namespace UE::Math

using UE::Math::TVector;
using FVector = TVector<double>;
