#pragma once

#include "Math/Quat.h"

namespace UE::Math
{

// 4x4 matrix in the row-vector convention: a point p maps to p * M, rows 0-2 are the images of the
// axes and row 3 is the origin. A * B applies A first.
template <typename T> struct TMatrix
{
	T M[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

	TMatrix operator*(const TMatrix& Other) const
	{
		TMatrix Result;
		for (int32 Row = 0; Row < 4; ++Row)
		{
			for (int32 Col = 0; Col < 4; ++Col)
			{
				Result.M[Row][Col] = M[Row][0] * Other.M[0][Col] + M[Row][1] * Other.M[1][Col] +
					M[Row][2] * Other.M[2][Col] + M[Row][3] * Other.M[3][Col];
			}
		}
		return Result;
	}

	TVector<T> GetScaledAxis(int32 Axis) const { return {M[Axis][0], M[Axis][1], M[Axis][2]}; }
	void SetAxis(int32 Axis, const TVector<T>& V)
	{
		M[Axis][0] = V.X;
		M[Axis][1] = V.Y;
		M[Axis][2] = V.Z;
	}
	TVector<T> GetOrigin() const { return {M[3][0], M[3][1], M[3][2]}; }

	// Scales each axis to unit length; an axis whose squared length is within Tolerance is left as is.
	void RemoveScaling(T Tolerance = UE_SMALL_NUMBER)
	{
		for (int32 Axis = 0; Axis < 3; ++Axis)
		{
			const T SquareSum = GetScaledAxis(Axis).SizeSquared();
			const T Scale = SquareSum > Tolerance ? FMath::InvSqrt(SquareSum) : T(1);
			M[Axis][0] *= Scale;
			M[Axis][1] *= Scale;
			M[Axis][2] *= Scale;
		}
	}

	// Rotation matrix (rows = rotated axes) scaled per axis, then translated.
	static TMatrix FromRotationTranslationScale(
		const TQuat<T>& Q, const TVector<T>& Translation, const TVector<T>& Scale)
	{
		const T X2 = Q.X + Q.X;
		const T Y2 = Q.Y + Q.Y;
		const T Z2 = Q.Z + Q.Z;
		const T XX = Q.X * X2, XY = Q.X * Y2, XZ = Q.X * Z2;
		const T YY = Q.Y * Y2, YZ = Q.Y * Z2, ZZ = Q.Z * Z2;
		const T WX = Q.W * X2, WY = Q.W * Y2, WZ = Q.W * Z2;
		TMatrix Result;
		Result.M[0][0] = (T(1) - (YY + ZZ)) * Scale.X;
		Result.M[0][1] = (XY + WZ) * Scale.X;
		Result.M[0][2] = (XZ - WY) * Scale.X;
		Result.M[1][0] = (XY - WZ) * Scale.Y;
		Result.M[1][1] = (T(1) - (XX + ZZ)) * Scale.Y;
		Result.M[1][2] = (YZ + WX) * Scale.Y;
		Result.M[2][0] = (XZ + WY) * Scale.Z;
		Result.M[2][1] = (YZ - WX) * Scale.Z;
		Result.M[2][2] = (T(1) - (XX + YY)) * Scale.Z;
		Result.M[3][0] = Translation.X;
		Result.M[3][1] = Translation.Y;
		Result.M[3][2] = Translation.Z;
		return Result;
	}

	// The rotation of an unscaled matrix, normalised; the identity when an axis is nearly zero.
	TQuat<T> ToQuat() const
	{
		if (GetScaledAxis(0).IsNearlyZero(UE_KINDA_SMALL_NUMBER) ||
			GetScaledAxis(1).IsNearlyZero(UE_KINDA_SMALL_NUMBER) ||
			GetScaledAxis(2).IsNearlyZero(UE_KINDA_SMALL_NUMBER))
		{
			return TQuat<T>::Identity;
		}
		TQuat<T> Q;
		const T Trace = M[0][0] + M[1][1] + M[2][2];
		if (Trace > T(0))
		{
			const T S = FMath::Sqrt(Trace + T(1)) * T(2);
			Q.W = T(0.25) * S;
			Q.X = (M[1][2] - M[2][1]) / S;
			Q.Y = (M[2][0] - M[0][2]) / S;
			Q.Z = (M[0][1] - M[1][0]) / S;
		}
		else if (M[0][0] > M[1][1] && M[0][0] > M[2][2])
		{
			const T S = FMath::Sqrt(T(1) + M[0][0] - M[1][1] - M[2][2]) * T(2);
			Q.W = (M[1][2] - M[2][1]) / S;
			Q.X = T(0.25) * S;
			Q.Y = (M[1][0] + M[0][1]) / S;
			Q.Z = (M[2][0] + M[0][2]) / S;
		}
		else if (M[1][1] > M[2][2])
		{
			const T S = FMath::Sqrt(T(1) + M[1][1] - M[0][0] - M[2][2]) * T(2);
			Q.W = (M[2][0] - M[0][2]) / S;
			Q.X = (M[1][0] + M[0][1]) / S;
			Q.Y = T(0.25) * S;
			Q.Z = (M[2][1] + M[1][2]) / S;
		}
		else
		{
			const T S = FMath::Sqrt(T(1) + M[2][2] - M[0][0] - M[1][1]) * T(2);
			Q.W = (M[0][1] - M[1][0]) / S;
			Q.X = (M[2][0] + M[0][2]) / S;
			Q.Y = (M[2][1] + M[1][2]) / S;
			Q.Z = T(0.25) * S;
		}
		Q.Normalize();
		return Q;
	}
};

} // namespace UE::Math

using UE::Math::TMatrix;
using FMatrix = TMatrix<double>;
