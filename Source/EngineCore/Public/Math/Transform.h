#pragma once

#include "Math/Matrix.h"

namespace UE::Math
{

// Rotation, translation and per-axis scale; applied to a point as scale, then rotation, then translation.
template <typename T> struct TTransform
{
	TQuat<T> Rotation{0, 0, 0, 1};
	TVector<T> Translation{0, 0, 0};
	TVector<T> Scale3D{1, 1, 1};

	static const TTransform Identity;

	constexpr TTransform() = default;
	explicit TTransform(const TQuat<T>& InRotation)
		: Rotation(InRotation)
	{
	}
	TTransform(const TQuat<T>& InRotation, const TVector<T>& InTranslation,
		const TVector<T>& InScale3D = TVector<T>::OneVector)
		: Rotation(InRotation)
		, Translation(InTranslation)
		, Scale3D(InScale3D)
	{
	}

	const TQuat<T>& GetRotation() const { return Rotation; }
	void SetRotation(const TQuat<T>& InRotation) { Rotation = InRotation; }
	const TVector<T>& GetTranslation() const { return Translation; }
	const TVector<T>& GetLocation() const { return Translation; }
	void SetTranslation(const TVector<T>& InTranslation) { Translation = InTranslation; }
	void SetLocation(const TVector<T>& InTranslation) { Translation = InTranslation; }
	const TVector<T>& GetScale3D() const { return Scale3D; }
	void SetScale3D(const TVector<T>& InScale3D) { Scale3D = InScale3D; }

	bool IsRotationNormalized() const { return Rotation.IsNormalized(); }

	// Returns A * B with A applied first:
	//   rotation = B.rot x A.rot, translation = B.rot(B.scale o A.translation) + B.translation,
	//   scale = A.scale o B.scale.
	// A negative scale component takes the matrix route.
	static void Multiply(TTransform* Out, const TTransform* A, const TTransform* B)
	{
		if (A->Scale3D.X < T(0) || A->Scale3D.Y < T(0) || A->Scale3D.Z < T(0) || B->Scale3D.X < T(0) ||
			B->Scale3D.Y < T(0) || B->Scale3D.Z < T(0))
		{
			MultiplyUsingMatrixWithScale(Out, A, B);
			return;
		}
		const TQuat<T> QuatA = A->Rotation;
		const TQuat<T> QuatB = B->Rotation;
		const TVector<T> TranslateA = A->Translation;
		const TVector<T> TranslateB = B->Translation;
		const TVector<T> ScaleA = A->Scale3D;
		const TVector<T> ScaleB = B->Scale3D;
		Out->Rotation = QuatB * QuatA;
		Out->Translation = QuatB.RotateVector(ScaleB * TranslateA) + TranslateB;
		Out->Scale3D = ScaleA * ScaleB;
	}

	TTransform operator*(const TTransform& Other) const
	{
		TTransform Output;
		Multiply(&Output, this, &Other);
		return Output;
	}
	TTransform& operator*=(const TTransform& Other) { return *this = *this * Other; }

	// The inverse: the identity when every |scale| is within 1e-8; otherwise the conjugate rotation,
	// the safe reciprocal scale and translation -(conj(rot)(invScale o translation)).
	TTransform Inverse() const
	{
		if (Scale3D.IsNearlyZero(UE_SMALL_NUMBER))
		{
			return TTransform();
		}
		const TQuat<T> InvRotation = Rotation.Inverse();
		const TVector<T> InvScale = GetSafeScaleReciprocal(Scale3D, UE_SMALL_NUMBER);
		const TVector<T> ScaledTranslation = InvScale * Translation;
		const TVector<T> InvTranslation = -InvRotation.RotateVector(ScaledTranslation);
		return TTransform(InvRotation, InvTranslation, InvScale);
	}

	// 1/s per component, 0 where |s| is within Tolerance.
	static TVector<T> GetSafeScaleReciprocal(const TVector<T>& Scale, T Tolerance = UE_SMALL_NUMBER)
	{
		TVector<T> Result;
		Result.X = FMath::Abs(Scale.X) <= Tolerance ? T(0) : T(1) / Scale.X;
		Result.Y = FMath::Abs(Scale.Y) <= Tolerance ? T(0) : T(1) / Scale.Y;
		Result.Z = FMath::Abs(Scale.Z) <= Tolerance ? T(0) : T(1) / Scale.Z;
		return Result;
	}

	TMatrix<T> ToMatrixWithScale() const
	{
		return TMatrix<T>::FromRotationTranslationScale(Rotation, Translation, Scale3D);
	}

	TVector<T> TransformPosition(const TVector<T>& V) const { return Rotation.RotateVector(Scale3D * V) + Translation; }
	TVector<T> TransformVector(const TVector<T>& V) const { return Rotation.RotateVector(Scale3D * V); }

	bool Equals(const TTransform& Other, T Tolerance = UE_KINDA_SMALL_NUMBER) const
	{
		return Rotation.Equals(Other.Rotation, Tolerance) && Translation.Equals(Other.Translation, Tolerance) &&
			Scale3D.Equals(Other.Scale3D, Tolerance);
	}
	bool ContainsNaN() const { return Rotation.ContainsNaN() || Translation.ContainsNaN() || Scale3D.ContainsNaN(); }

	FString ToString() const
	{
		return FString::Printf("%.17g,%.17g,%.17g|%.17g,%.17g,%.17g,%.17g|%.17g,%.17g,%.17g", Translation.X,
			Translation.Y, Translation.Z, Rotation.X, Rotation.Y, Rotation.Z, Rotation.W, Scale3D.X, Scale3D.Y,
			Scale3D.Z);
	}

private:
	// M = matrix(A) * matrix(B), scaling removed, each axis signed by the product scale, rotation
	// taken from M, translation its origin, scale A.scale o B.scale.
	static void MultiplyUsingMatrixWithScale(TTransform* Out, const TTransform* A, const TTransform* B)
	{
		checkf(A->IsRotationNormalized() && B->IsRotationNormalized(),
			"Transform composition with negative scale needs unit rotations");
		const TVector<T> DesiredScale = A->Scale3D * B->Scale3D;
		TMatrix<T> M = A->ToMatrixWithScale() * B->ToMatrixWithScale();
		M.RemoveScaling(UE_SMALL_NUMBER);
		const TVector<T> Signs(FMath::FloatSelectSign(DesiredScale.X), FMath::FloatSelectSign(DesiredScale.Y),
			FMath::FloatSelectSign(DesiredScale.Z));
		M.SetAxis(0, M.GetScaledAxis(0) * Signs.X);
		M.SetAxis(1, M.GetScaledAxis(1) * Signs.Y);
		M.SetAxis(2, M.GetScaledAxis(2) * Signs.Z);
		Out->Rotation = M.ToQuat();
		Out->Translation = M.GetOrigin();
		Out->Scale3D = DesiredScale;
	}
};

template <typename T> constexpr TTransform<T> TTransform<T>::Identity{};

} // namespace UE::Math

using UE::Math::TTransform;
using FTransform = TTransform<double>;
