#pragma once

#include "OxSkeletonTree.h"

// The source skeleton: 67 bones rooted at "Hips" ("Spine", "LeftHandThumb1", ...), with a rest pose of
// identity rotations except the first thumb bones. Bones exist after init.
class OXRETARGET_API OxSkeletonTreeKZ : public OxSkeletonTree
{
public:
	OxSkeletonTreeKZ();
	OxSkeletonTreeKZ(const OxSkeletonTreeKZ& other);
	OxSkeletonTreeKZ& operator=(const OxSkeletonTreeKZ& other);
	~OxSkeletonTreeKZ() override;

protected:
	void buildTree() override;
	void setTPose(TArray<FName>& names, TArray<TTransform<double>>& transforms) override;
};
