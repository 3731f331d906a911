// A downstream program: retargets one source pose and prints every meta bone's pose and T-pose.
#include "OxRetarget_KZ_UE.h"
#include "OxSkeletonTree.h"

#include <cstdio>

int main()
{
	OxRetarget_KZ_UE retargeter;
	retargeter.init();

	// Raise the left arm by 60 degrees about the forward axis and bend the left index finger.
	TArray<FName> names;
	TArray<TTransform<double>> transforms;
	names.Add(FName(TEXT("LeftArm")));
	transforms.Add(TTransform<double>(TQuat<double>::MakeFromEuler(TVector<double>(60.0, 0.0, 0.0))));
	names.Add(FName(TEXT("LeftHandIndex1")));
	transforms.Add(TTransform<double>(TQuat<double>::MakeFromEuler(TVector<double>(30.0, 0.0, 0.0))));
	retargeter.updateSrcSkeleton(names, transforms);
	retargeter.updateDesSkeleton(false);

	const TArray<FName> meta_bones = retargeter.getMetaBoneName();
	for (const FName& bone : meta_bones)
	{
		const TQuat<double> pose = retargeter.getMetaBonePose(bone).GetRotation();
		const TQuat<double> t_pose = retargeter.getTPose(bone).GetRotation();
		std::printf("%-12s pose (% .6f, % .6f, % .6f, % .6f)  t-pose (% .6f, % .6f, % .6f, % .6f)\n", *bone.ToString(),
			pose.X, pose.Y, pose.Z, pose.W, t_pose.X, t_pose.Y, t_pose.Z, t_pose.W);
	}
	std::printf("%d meta bones\n", meta_bones.Num());
	return meta_bones.Num() == 52 ? 0 : 1;
}
