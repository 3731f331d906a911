#include "OxSkeletonTreeKZ.h"

namespace
{
struct FKZBone
{
	const TCHAR* name;
	const TCHAR* parent;
};

// The hierarchy in build order; each parent precedes its children.
// clang-format off
constexpr FKZBone KZBones[] = {
	{"Hips", "None"},
	{"Spine", "Hips"},
	{"Spine1", "Spine"},
	{"Spine2", "Spine1"},
	{"Neck", "Spine2"},
	{"Head", "Neck"},
	{"HeadTop_End", "Head"},
	{"LeftEye", "Head"},
	{"RightEye", "Head"},
	{"LeftShoulder", "Spine2"},
	{"LeftArm", "LeftShoulder"},
	{"LeftForeArm", "LeftArm"},
	{"LeftHand", "LeftForeArm"},
	{"LeftHandMiddle1", "LeftHand"},
	{"LeftHandMiddle2", "LeftHandMiddle1"},
	{"LeftHandMiddle3", "LeftHandMiddle2"},
	{"LeftHandMiddle4", "LeftHandMiddle3"},
	{"LeftHandThumb1", "LeftHand"},
	{"LeftHandThumb2", "LeftHandThumb1"},
	{"LeftHandThumb3", "LeftHandThumb2"},
	{"LeftHandThumb4", "LeftHandThumb3"},
	{"LeftHandIndex1", "LeftHand"},
	{"LeftHandIndex2", "LeftHandIndex1"},
	{"LeftHandIndex3", "LeftHandIndex2"},
	{"LeftHandIndex4", "LeftHandIndex3"},
	{"LeftHandRing1", "LeftHand"},
	{"LeftHandRing2", "LeftHandRing1"},
	{"LeftHandRing3", "LeftHandRing2"},
	{"LeftHandRing4", "LeftHandRing3"},
	{"LeftHandPinky1", "LeftHand"},
	{"LeftHandPinky2", "LeftHandPinky1"},
	{"LeftHandPinky3", "LeftHandPinky2"},
	{"LeftHandPinky4", "LeftHandPinky3"},
	{"RightShoulder", "Spine2"},
	{"RightArm", "RightShoulder"},
	{"RightForeArm", "RightArm"},
	{"RightHand", "RightForeArm"},
	{"RightHandMiddle1", "RightHand"},
	{"RightHandMiddle2", "RightHandMiddle1"},
	{"RightHandMiddle3", "RightHandMiddle2"},
	{"RightHandMiddle4", "RightHandMiddle3"},
	{"RightHandThumb1", "RightHand"},
	{"RightHandThumb2", "RightHandThumb1"},
	{"RightHandThumb3", "RightHandThumb2"},
	{"RightHandThumb4", "RightHandThumb3"},
	{"RightHandIndex1", "RightHand"},
	{"RightHandIndex2", "RightHandIndex1"},
	{"RightHandIndex3", "RightHandIndex2"},
	{"RightHandIndex4", "RightHandIndex3"},
	{"RightHandRing1", "RightHand"},
	{"RightHandRing2", "RightHandRing1"},
	{"RightHandRing3", "RightHandRing2"},
	{"RightHandRing4", "RightHandRing3"},
	{"RightHandPinky1", "RightHand"},
	{"RightHandPinky2", "RightHandPinky1"},
	{"RightHandPinky3", "RightHandPinky2"},
	{"RightHandPinky4", "RightHandPinky3"},
	{"RightUpLeg", "Hips"},
	{"RightLeg", "RightUpLeg"},
	{"RightFoot", "RightLeg"},
	{"RightToeBase", "RightFoot"},
	{"RightToe_End", "RightToeBase"},
	{"LeftUpLeg", "Hips"},
	{"LeftLeg", "LeftUpLeg"},
	{"LeftFoot", "LeftLeg"},
	{"LeftToeBase", "LeftFoot"},
	{"LeftToe_End", "LeftToeBase"},
};
// clang-format on

constexpr int32 KZBoneCount = static_cast<int32>(sizeof(KZBones) / sizeof(KZBones[0]));
static_assert(KZBoneCount == 67);

// Rest rotations of the first thumb bones, stored as written (not normalised).
constexpr TQuat<double> LeftThumbRest(0.07319722, 0.5296374, 0.3196864, 0.7822576);
constexpr TQuat<double> RightThumbRest(-0.07319722, 0.5296374, -0.3196864, 0.7822576);
constexpr int32 LeftThumbPosition = 17;
constexpr int32 RightThumbPosition = 41;
} // namespace

OxSkeletonTreeKZ::OxSkeletonTreeKZ() = default;

OxSkeletonTreeKZ::OxSkeletonTreeKZ(const OxSkeletonTreeKZ& other) = default;

OxSkeletonTreeKZ& OxSkeletonTreeKZ::operator=(const OxSkeletonTreeKZ& other) = default;

OxSkeletonTreeKZ::~OxSkeletonTreeKZ() = default;

void OxSkeletonTreeKZ::buildTree()
{
	root_name = FName(TEXT("Hips"));
	for (int32 row = 0; row < KZBoneCount; ++row)
	{
		buildNode(row, FString(KZBones[row].name), FString(KZBones[row].parent), node_map, bone_names);
	}
}

void OxSkeletonTreeKZ::setTPose(TArray<FName>& names, TArray<TTransform<double>>& transforms)
{
	for (const FKZBone& bone : KZBones)
	{
		names.Add(FName(bone.name));
	}
	for (int32 position = 0; position < KZBoneCount; ++position)
	{
		TTransform<double> transform = TTransform<double>::Identity;
		if (position == LeftThumbPosition)
		{
			transform.SetRotation(LeftThumbRest);
		}
		else if (position == RightThumbPosition)
		{
			transform.SetRotation(RightThumbRest);
		}
		transforms.Add(transform);
	}
}
