#pragma once

#include "OxSkeletonTree.h"

// The target skeleton: the mannequin's 64 bones rooted at "root" ("pelvis", "spine_01", "thumb_01_l",
// ...), with its rest pose given as Euler angles, and the finger phalanx bones of both hands.
class OXRETARGET_API OxSkeletonTreeUE : public OxSkeletonTree
{
public:
	OxSkeletonTreeUE();
	OxSkeletonTreeUE(const OxSkeletonTreeUE& other);
	OxSkeletonTreeUE& operator=(const OxSkeletonTreeUE& other);
	~OxSkeletonTreeUE() override;

	// Fills exclude_bones: +1 for each bone of exclude_bones_l, then -1 for each of exclude_bones_r.
	// Calling it again leaves the same 24 entries.
	void init_exclude_bones();

	// Finger phalanx bone -> side sign (+1 left, -1 right); empty until init_exclude_bones.
	TMap<FName, int32> exclude_bones;
	// The index, middle, pinky and ring phalanx bones of the left hand, then of the right hand.
	TArray<FName> exclude_bones_l;
	TArray<FName> exclude_bones_r;

protected:
	void buildTree() override;
	void setTPose(TArray<FName>& names, TArray<TTransform<double>>& transforms) override;
};
