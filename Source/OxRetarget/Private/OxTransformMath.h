#pragma once

#include "CoreMinimal.h"

// Shortcuts of the engine's transform algebra that give the same bits as A * B and Inverse(X)
// (zero translation components may differ in sign only). They skip the work that cannot change the
// result: rotating a zero vector, dividing by a scale of exactly one, and, for poses that are
// rotations alone, everything but the quaternion product.
namespace OxTransformMath
{
inline bool isZero(const TVector<double>& V)
{
	return V.X == 0.0 && V.Y == 0.0 && V.Z == 0.0;
}

inline bool isOne(const TVector<double>& V)
{
	return V.X == 1.0 && V.Y == 1.0 && V.Z == 1.0;
}

// No translation and a scale of exactly one.
inline bool hasOnlyRotation(const TTransform<double>& X)
{
	return isZero(X.Translation) && isOne(X.Scale3D);
}

// All four components finite. X - X is +0 for a finite X and NaN for an infinity or a NaN, so the
// sum is +0 exactly when every component is finite (one test, no branch per component).
inline bool isFinite(const TQuat<double>& Q)
{
	return FMath::IsFinite((Q.X - Q.X) + (Q.Y - Q.Y) + (Q.Z - Q.Z) + (Q.W - Q.W));
}

// A plain pose: a finite rotation alone (no translation, a scale of exactly one). Products and
// inverses of plain poses are rotations alone.
inline bool isPlain(const TTransform<double>& X)
{
	return hasOnlyRotation(X) && isFinite(X.Rotation);
}

inline bool hasNegative(const TVector<double>& V)
{
	return V.X < 0.0 || V.Y < 0.0 || V.Z < 0.0;
}

// A * B with A applied first: rotation = B.rot x A.rot, translation = B.rot(B.scale o A.translation)
// + B.translation, scale = A.scale o B.scale; negative scales take the engine's matrix route.
// A zero A.translation under a finite B.rot and B.scale rotates to zero, leaving B.translation.
inline void compose(TTransform<double>& Out, const TTransform<double>& A, const TTransform<double>& B)
{
	if (hasNegative(A.Scale3D) || hasNegative(B.Scale3D))
	{
		Out = A * B;
		return;
	}
	const TQuat<double> Rotation = B.Rotation * A.Rotation;
	const TVector<double> Scale = A.Scale3D * B.Scale3D;
	if (isZero(A.Translation) && isFinite(B.Rotation) && FMath::IsFinite(B.Scale3D.X) && FMath::IsFinite(B.Scale3D.Y) &&
		FMath::IsFinite(B.Scale3D.Z))
	{
		Out.Translation = B.Translation;
	}
	else
	{
		Out.Translation = B.Rotation.RotateVector(B.Scale3D * A.Translation) + B.Translation;
	}
	Out.Rotation = Rotation;
	Out.Scale3D = Scale;
}

inline TTransform<double> compose(const TTransform<double>& A, const TTransform<double>& B)
{
	TTransform<double> Out;
	compose(Out, A, B);
	return Out;
}

// The one place that composes rotation-only poses. Out = A * B as above; the caller passes
// RotationsOnly when it knows that A has no translation and a unit scale and that B is plain. Then
// the full route would give rotation = B.rot x A.rot, scale = 1 o 1 = 1 and translation =
// B.translation = 0, so only the quaternion product is computed and only Out's rotation is written:
// Out must already hold no translation and a unit scale (a default-constructed transform does).
// Returns whether Out is plain. Out must not be A or B.
FORCEINLINE bool compose(
	TTransform<double>& Out, const TTransform<double>& A, const TTransform<double>& B, bool RotationsOnly)
{
	if (RotationsOnly)
	{
		Out.Rotation = B.Rotation * A.Rotation;
		return isFinite(Out.Rotation);
	}
	compose(Out, A, B);
	return isPlain(Out);
}

// Inverse(X). A plain X inverts to its conjugate rotation: the reciprocal scale is one and the
// rotated, negated translation is zero. The caller may vouch for a plain X with Plain.
FORCEINLINE TTransform<double> inverse(const TTransform<double>& X, bool Plain)
{
	if (Plain)
	{
		return TTransform<double>(X.Rotation.Inverse(), TVector<double>::ZeroVector, TVector<double>::OneVector);
	}
	return X.Inverse();
}

inline TTransform<double> inverse(const TTransform<double>& X)
{
	return inverse(X, isPlain(X));
}
} // namespace OxTransformMath
