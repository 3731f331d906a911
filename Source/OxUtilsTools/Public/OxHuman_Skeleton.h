#pragma once

#include "CoreMinimal.h"
#include "OxKZ_Log.h"

// The built-in pairing of source (KZ) bones with target (UE) bones: entry i of kz_bone_names drives
// entry i of ue_bone_names. Every target parent is listed before its children.
class OXUTILSTOOLS_API OxHuman_Skeleton
{
public:
	OxHuman_Skeleton();
	~OxHuman_Skeleton();

	// Number of pairs in the built-in table.
	static int32 numPairs();

	TArray<FString> kz_bone_names;
	TArray<FString> ue_bone_names;
};
