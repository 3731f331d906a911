#include "OxSkeletonTreeUE.h"

namespace
{
struct FUEBone
{
	const TCHAR* name;
	const TCHAR* parent;
	int index;
};

// The hierarchy in build order with the index each bone is built with; parents precede children.
// clang-format off
constexpr FUEBone UEBones[] = {
	{"root", "None", 0},
	{"pelvis", "root", 1},
	{"spine_01", "pelvis", 2},
	{"spine_02", "spine_01", 3},
	{"spine_03", "spine_02", 4},
	{"spine_04", "spine_03", 5},
	{"spine_05", "spine_04", 6},
	{"neck_01", "spine_05", 7},
	{"neck_02", "neck_01", 8},
	{"head", "neck_02", 9},
	{"clavicle_l", "spine_05", 10},
	{"upperarm_l", "clavicle_l", 11},
	{"lowerarm_l", "upperarm_l", 12},
	{"hand_l", "lowerarm_l", 20},
	{"index_metacarpal_l", "hand_l", 22},
	{"index_01_l", "index_metacarpal_l", 22},
	{"index_02_l", "index_01_l", 22},
	{"index_03_l", "index_02_l", 22},
	{"middle_metacarpal_l", "hand_l", 22},
	{"middle_01_l", "middle_metacarpal_l", 22},
	{"middle_02_l", "middle_01_l", 22},
	{"middle_03_l", "middle_02_l", 22},
	{"pinky_metacarpal_l", "hand_l", 22},
	{"pinky_01_l", "pinky_metacarpal_l", 22},
	{"pinky_02_l", "pinky_01_l", 22},
	{"pinky_03_l", "pinky_02_l", 22},
	{"ring_metacarpal_l", "hand_l", 22},
	{"ring_01_l", "ring_metacarpal_l", 22},
	{"ring_02_l", "ring_01_l", 22},
	{"ring_03_l", "ring_02_l", 22},
	{"thumb_01_l", "hand_l", 22},
	{"thumb_02_l", "thumb_01_l", 22},
	{"thumb_03_l", "thumb_02_l", 22},
	{"clavicle_r", "spine_05", 21},
	{"upperarm_r", "clavicle_r", 22},
	{"lowerarm_r", "upperarm_r", 23},
	{"hand_r", "lowerarm_r", 24},
	{"index_metacarpal_r", "hand_r", 22},
	{"index_01_r", "index_metacarpal_r", 22},
	{"index_02_r", "index_01_r", 22},
	{"index_03_r", "index_02_r", 22},
	{"middle_metacarpal_r", "hand_r", 22},
	{"middle_01_r", "middle_metacarpal_r", 22},
	{"middle_02_r", "middle_01_r", 22},
	{"middle_03_r", "middle_02_r", 22},
	{"pinky_metacarpal_r", "hand_r", 22},
	{"pinky_01_r", "pinky_metacarpal_r", 22},
	{"pinky_02_r", "pinky_01_r", 22},
	{"pinky_03_r", "pinky_02_r", 22},
	{"ring_metacarpal_r", "hand_r", 22},
	{"ring_01_r", "ring_metacarpal_r", 22},
	{"ring_02_r", "ring_01_r", 22},
	{"ring_03_r", "ring_02_r", 22},
	{"thumb_01_r", "hand_r", 22},
	{"thumb_02_r", "thumb_01_r", 22},
	{"thumb_03_r", "thumb_02_r", 22},
	{"thigh_r", "pelvis", 25},
	{"calf_r", "thigh_r", 26},
	{"foot_r", "calf_r", 27},
	{"ball_r", "foot_r", 28},
	{"thigh_l", "pelvis", 29},
	{"calf_l", "thigh_l", 30},
	{"foot_l", "calf_l", 31},
	{"ball_l", "foot_l", 32},
};
// clang-format on

struct FUERest
{
	const TCHAR* name;
	// Euler angles in degrees: roll (X), pitch (Y), yaw (Z).
	double roll;
	double pitch;
	double yaw;
};

// The rest pose in its own order; "root" is not listed and keeps the identity.
// clang-format off
constexpr FUERest UERest[] = {
	{"pelvis", 180.0, 87.947094, 90.0},
	{"thigh_l", 8.475115, 2.678201, -0.869042},
	{"thigh_r", 8.475115, 2.678206, 179.130959},
	{"calf_l", 0.0, 0.000004, 1.033199},
	{"calf_r", 0.0, 0.000004, 1.033199},
	{"foot_l", 0.0, -2.823041, 0.000001},
	{"foot_r", 0.0, -2.823041, 0.000001},
	{"spine_01", 0.0, -0.000214, 10.950071},
	{"spine_02", 0.0, -0.000002, -7.320823},
	{"spine_03", 0.0, -0.000361, -9.506168},
	{"spine_04", -0.000001, 0.000005, -8.532876},
	{"spine_05", 0.0, 0.000001, 1.532682},
	{"neck_01", 0.0, -0.000001, 23.154494},
	{"neck_02", 0.0, 0.0, -0.904565},
	{"head", 0.0, 0.0, -11.425708},
	{"clavicle_l", 170.141708, -82.423617, -159.40193},
	{"clavicle_r", 170.150783, -82.420908, 20.589075},
	{"upperarm_l", -4.607825, 5.0, 3.305341},
	{"upperarm_r", -4.607873, 5.0, 3.304659},
	{"lowerarm_l", 0.0, 0.0, 0.0},
	{"lowerarm_r", 0.0, 0.0, 0.0},
	{"hand_l", -90.0, 0.0, 0.0},
	{"hand_r", -90.0, 0.0, 0.0},
	{"ball_l", 0.0, 0.0, 90.0},
	{"ball_r", 0.0, 0.0, 90.0},
	{"index_metacarpal_l", 16.129854, -6.176649, 1.785598},
	{"index_01_l", -10.584877, 4.193131, 0.0},
	{"index_02_l", 0.0, 0.0, 0.0},
	{"index_03_l", 0.0, 0.0, 0.0},
	{"middle_metacarpal_l", -1.240803, 1.65687, 5.057843},
	{"middle_01_l", -3.625077, 4.021227, 0.0},
	{"middle_02_l", 0.0, 0.0, 0.0},
	{"middle_03_l", 0.0, 0.0, 0.0},
	{"pinky_metacarpal_l", -26.582506, 20.973636, -11.676988},
	{"pinky_01_l", 0.248406, -0.778259, 0.0},
	{"pinky_02_l", 0.0, 0.0, 0.0},
	{"pinky_03_l", 0.0, 0.0, 0.0},
	{"ring_metacarpal_l", -11.482458, 13.279007, 0.487861},
	{"ring_01_l", -0.668688, -0.881425, 0.0},
	{"ring_02_l", 0.0, 0.0, 0.0},
	{"ring_03_l", 0.0, 0.0, 0.0},
	{"thumb_01_l", 80.717055, -34.544107, -22.007815},
	{"thumb_02_l", -1.050861, 6.203325, 0.0},
	{"thumb_03_l", 0.0, 0.0, 0.0},
	{"index_metacarpal_r", 16.129851, -6.176649, 1.785601},
	{"index_01_r", -10.584879, 4.193127, 0.0},
	{"index_02_r", 0.0, 0.0, 0.0},
	{"index_03_r", 0.0, 0.0, 0.0},
	{"middle_metacarpal_r", -1.240803, 1.656871, 5.057843},
	{"middle_01_r", -3.625075, 4.021235, 0.0},
	{"middle_02_r", 0.0, 0.0, 0.0},
	{"middle_03_r", 0.0, 0.0, 0.0},
	{"pinky_metacarpal_r", -26.582506, 20.973635, -11.676991},
	{"pinky_01_r", 0.248407, -0.778261, 0.0},
	{"pinky_02_r", 0.0, 0.0, 0.0},
	{"pinky_03_r", 0.0, 0.0, 0.0},
	{"ring_metacarpal_r", -11.482459, 13.279008, 0.487862},
	{"ring_01_r", -0.668684, -0.881422, 0.0},
	{"ring_02_r", 0.0, 0.0, 0.0},
	{"ring_03_r", 0.0, 0.0, 0.0},
	{"thumb_01_r", 80.717051, -34.544106, -22.007816},
	{"thumb_02_r", -1.050857, 6.203327, 0.0},
	{"thumb_03_r", 0.0, 0.0, 0.0},
};
// clang-format on

static_assert(sizeof(UEBones) / sizeof(UEBones[0]) == 64);
static_assert(sizeof(UERest) / sizeof(UERest[0]) == 63);

constexpr const TCHAR* ExcludeBonesLeft[] = {"index_01_l", "index_02_l", "index_03_l", "middle_01_l", "middle_02_l",
	"middle_03_l", "pinky_01_l", "pinky_02_l", "pinky_03_l", "ring_01_l", "ring_02_l", "ring_03_l"};
constexpr const TCHAR* ExcludeBonesRight[] = {"index_01_r", "index_02_r", "index_03_r", "middle_01_r", "middle_02_r",
	"middle_03_r", "pinky_01_r", "pinky_02_r", "pinky_03_r", "ring_01_r", "ring_02_r", "ring_03_r"};
} // namespace

OxSkeletonTreeUE::OxSkeletonTreeUE()
{
	for (const TCHAR* name : ExcludeBonesLeft)
	{
		exclude_bones_l.Add(FName(name));
	}
	for (const TCHAR* name : ExcludeBonesRight)
	{
		exclude_bones_r.Add(FName(name));
	}
}

OxSkeletonTreeUE::OxSkeletonTreeUE(const OxSkeletonTreeUE& other) = default;

OxSkeletonTreeUE& OxSkeletonTreeUE::operator=(const OxSkeletonTreeUE& other) = default;

OxSkeletonTreeUE::~OxSkeletonTreeUE() = default;

void OxSkeletonTreeUE::buildTree()
{
	root_name = FName(TEXT("root"));
	for (const FUEBone& bone : UEBones)
	{
		buildNode(bone.index, FString(bone.name), FString(bone.parent), node_map, bone_names);
	}
}

void OxSkeletonTreeUE::setTPose(TArray<FName>& names, TArray<TTransform<double>>& transforms)
{
	for (const FUERest& rest : UERest)
	{
		names.Add(FName(rest.name));
	}
	for (const FUERest& rest : UERest)
	{
		TQuat<double> rotation = TQuat<double>::MakeFromEuler(TVector<double>(rest.roll, rest.pitch, rest.yaw));
		rotation.Normalize();
		transforms.Add(TTransform<double>(rotation, TVector<double>::ZeroVector, TVector<double>::OneVector));
	}
}

void OxSkeletonTreeUE::init_exclude_bones()
{
	for (const FName& name : exclude_bones_l)
	{
		exclude_bones.Add(name, 1);
	}
	for (const FName& name : exclude_bones_r)
	{
		exclude_bones.Add(name, -1);
	}
}
