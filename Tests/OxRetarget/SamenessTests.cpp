// The library against the literal reference: every double of every pose must be identical.

#include "../Reference/LiteralRetarget.h"
#include "OxRetarget_KZ_UE.h"
#include "TestMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace
{
using namespace TestMath;

struct Options
{
	// Non-unit rotations (length scaled by up to this much either way); 0 keeps rotations unit.
	double non_unit = 0.0;
	// Translations and scales written straight into source local poses.
	bool translations_and_scales = false;
	bool negative_scales = false;
	// Chance per frame of putting every perturbed source bone back to a pure rotation.
	double restore = 0.0;
	// Rotations scaled so far up that their products overflow.
	bool huge = false;
};

class Driver
{
public:
	Driver(uint64_t seed, const Options& options)
		: random_(seed)
		, options_(options)
	{
		for (const char* name : {"Hips", "Spine", "Spine1", "Spine2", "Neck", "Head", "HeadTop_End", "LeftEye",
				 "LeftShoulder", "LeftArm", "LeftForeArm", "LeftHand", "LeftHandThumb1", "LeftHandThumb2",
				 "LeftHandIndex1", "LeftHandIndex2", "LeftHandIndex3", "LeftHandMiddle1", "LeftHandRing2",
				 "LeftHandPinky3", "RightShoulder", "RightArm", "RightForeArm", "RightHand", "RightHandThumb1",
				 "RightHandIndex1", "RightHandMiddle2", "RightHandRing1", "RightHandPinky1", "LeftUpLeg", "LeftLeg",
				 "LeftFoot", "LeftToeBase", "RightUpLeg", "RightLeg", "RightFoot", "RightToeBase", "RightToe_End"})
		{
			source_names_.push_back(name);
		}
	}

	Quat RandomRotation()
	{
		std::normal_distribution<double> normal;
		Quat q(normal(random_), normal(random_), normal(random_), normal(random_));
		q.Normalize();
		if (options_.non_unit > 0.0)
		{
			std::uniform_real_distribution<double> factor(1.0 - options_.non_unit, 1.0 + options_.non_unit);
			const double f = factor(random_);
			q = Quat(q.X * f, q.Y * f, q.Z * f, q.W * f);
		}
		if (options_.huge)
		{
			std::uniform_int_distribution<int> pick(0, 19);
			if (pick(random_) == 0)
			{
				q = Quat(q.X * 1e160, q.Y * 1e160, q.Z * 1e160, q.W * 1e160);
			}
		}
		return q;
	}

	Vec RandomScale()
	{
		std::uniform_real_distribution<double> magnitude(0.25, 3.0);
		std::uniform_int_distribution<int> pick(0, 9);
		Vec s(magnitude(random_), magnitude(random_), magnitude(random_));
		if (options_.negative_scales)
		{
			for (int axis = 0; axis < 3; ++axis)
			{
				if (pick(random_) < 3)
				{
					s[axis] = -s[axis];
				}
			}
		}
		else if (pick(random_) == 0)
		{
			s = Vec(0, 0, 0);
		}
		return s;
	}

	// A random source pose: known names in any letter case, unknown and repeated names, more
	// transforms than names.
	void MakePose(TArray<FName>& names, TArray<Transform>& transforms)
	{
		std::uniform_int_distribution<int> count(0, 60);
		std::uniform_int_distribution<size_t> which(0, source_names_.size() - 1);
		std::uniform_int_distribution<int> pick(0, 9);
		const int n = count(random_);
		for (int i = 0; i < n; ++i)
		{
			std::string name = source_names_[which(random_)];
			const int variant = pick(random_);
			if (variant == 0)
			{
				for (char& c : name)
				{
					c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
				}
			}
			else if (variant == 1)
			{
				name += "_X";
			}
			names.Add(FName(name.c_str()));
			std::uniform_real_distribution<double> offset(-10.0, 10.0);
			transforms.Add(
				Transform(RandomRotation(), Vec(offset(random_), offset(random_), offset(random_)), RandomScale()));
		}
		transforms.Add(Transform(RandomRotation()));
	}

	// Writes whole local poses (translation and scale included) onto a few source bones of both.
	template <typename A, typename B> void SetWholePoses(A& library_tree, B& literal_tree)
	{
		std::uniform_real_distribution<double> chance(0.0, 1.0);
		if (chance(random_) < options_.restore)
		{
			for (const std::string& bone : perturbed_)
			{
				const FName name(bone.c_str());
				const Transform pose(library_tree.get_pose_in_local(name).Rotation);
				library_tree.set_pose_in_local(name, pose);
				literal_tree.set_pose_in_local(name, pose);
			}
			perturbed_.clear();
			return;
		}
		if (!options_.translations_and_scales)
		{
			return;
		}
		std::uniform_int_distribution<int> count(0, 4);
		std::uniform_int_distribution<size_t> which(0, source_names_.size() - 1);
		std::uniform_real_distribution<double> offset(-5.0, 5.0);
		const int n = count(random_);
		for (int i = 0; i < n; ++i)
		{
			const std::string& bone = source_names_[which(random_)];
			perturbed_.push_back(bone);
			const FName name(bone.c_str());
			const Transform pose(
				RandomRotation(), Vec(offset(random_), offset(random_), offset(random_)), RandomScale());
			library_tree.set_pose_in_local(name, pose);
			literal_tree.set_pose_in_local(name, pose);
		}
	}

	bool Flag()
	{
		std::uniform_int_distribution<int> pick(0, 3);
		return pick(random_) == 0;
	}

private:
	std::mt19937_64 random_;
	Options options_;
	std::vector<std::string> source_names_;
	std::vector<std::string> perturbed_;
};

template <typename Library, typename Literal> void ExpectSameTrees(Library& library, Literal& literal, int frame)
{
	for (const FName& bone : literal.names())
	{
		ASSERT_TRUE(SameBits(library.get_pose_in_local(bone), literal.get_pose_in_local(bone)))
			<< "frame " << frame << " local " << *bone.ToString();
		ASSERT_TRUE(SameBits(library.get_pose_in_world(bone), literal.get_pose_in_world(bone)))
			<< "frame " << frame << " world " << *bone.ToString();
		ASSERT_TRUE(SameBits(library.get_t_pose_in_world(bone), literal.get_t_pose_in_world(bone)))
			<< "frame " << frame << " world T-pose " << *bone.ToString();
	}
}

void RunFrames(OxRetarget_KZ_UE& library, literal::Retargeter& literal, Driver& driver, int frames)
{
	for (int frame = 0; frame < frames; ++frame)
	{
		TArray<FName> names;
		TArray<Transform> transforms;
		driver.MakePose(names, transforms);
		library.updateSrcSkeleton(names, transforms);
		literal.updateSrcSkeleton(names, transforms);
		driver.SetWholePoses(*library.getSrcSkeleton(), *literal.src_skeleton);
		const bool flag = driver.Flag();
		library.updateDesSkeleton(flag);
		literal.updateDesSkeleton(flag);
		// Every few frames solve twice, as a caller polling without a new pose would.
		if (frame % 7 == 0)
		{
			library.updateDesSkeleton(flag);
			literal.updateDesSkeleton(flag);
		}
		ExpectSameTrees(*library.getSrcSkeleton(), *literal.src_skeleton, frame);
		ExpectSameTrees(*library.getDesSkeleton(), *literal.des_skeleton, frame);
		for (const FName& bone : literal.getMetaBoneName())
		{
			ASSERT_TRUE(SameBits(library.getMetaBonePose(bone), literal.getMetaBonePose(bone)))
				<< "frame " << frame << " meta " << *bone.ToString();
		}
		if (::testing::Test::HasFatalFailure())
		{
			return;
		}
	}
}

// Parent after child (hand_l before lowerarm_l), a target listed twice, names in other letter case,
// a source name the skeleton lacks and a target name the skeleton lacks.
void InitCustom(OxRetarget_KZ_UE& library, literal::Retargeter& literal)
{
	const TArray<FString> kz{FString("LeftHand"), FString("LeftForeArm"), FString("leftarm"), FString("Spine2"),
		FString("LeftHandIndex1"), FString("LeftHandIndex1"), FString("Tail"), FString("Hips"), FString("Spine"),
		FString("RightHandThumb2"), FString("Hips")};
	const TArray<FString> ue{FString("hand_l"), FString("lowerarm_l"), FString("UPPERARM_L"), FString("spine_05"),
		FString("index_01_l"), FString("index_02_l"), FString("spine_03"), FString("pelvis"), FString("tail_01"),
		FString("thumb_02_r"), FString("pelvis")};
	library.init(kz, ue);
	literal.init(kz, ue);
}

// One scenario of random frames: the pairing, the seed, what the frames hold and how many.
struct Scenario
{
	const char* name;
	bool custom_pairing;
	uint64_t seed;
	Options options;
	int frames;
};

const Scenario kScenarios[] = {
	{"BuiltInPairingWithUnitAndNonUnitRotations", false, 1, {0.1, true, false, 0.5}, 1500},
	{"BuiltInPairingWithNegativeScales", false, 2, {0.0, true, true, 0.3}, 1000},
	{"CustomPairingOutOfOrderWithRepeatsAndUnknownNames", true, 3, {0.05, true, false, 0.5}, 1000},
	{"CustomPairingWithNegativeScales", true, 4, {0.0, true, true, 0.3}, 500},
	{"RotationsOnlyIncludingOverflowingOnes", false, 6, {0.2, false, false, 0.0, true}, 1000},
};

class SamenessScenario : public ::testing::TestWithParam<Scenario>
{
};

TEST_P(SamenessScenario, EveryPoseMatchesTheLiteralReference)
{
	const Scenario& scenario = GetParam();
	OxRetarget_KZ_UE library;
	literal::Retargeter literal;
	if (scenario.custom_pairing)
	{
		InitCustom(library, literal);
	}
	else
	{
		library.init();
		literal.init();
	}
	Driver driver(scenario.seed, scenario.options);
	RunFrames(library, literal, driver, scenario.frames);
}

INSTANTIATE_TEST_SUITE_P(Sameness, SamenessScenario, ::testing::ValuesIn(kScenarios),
	[](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// A finite source world rotation whose product with the rest rotation overflows.
TEST(Sameness, OverflowInTheWorldDeltaMatches)
{
	OxRetarget_KZ_UE library;
	literal::Retargeter literal;
	library.init();
	literal.init();
	const TArray<FName> names{FName("LeftHandThumb1"), FName("RightHandThumb2")};
	const TArray<Transform> transforms{
		Transform(Quat(1.5e308, 1.5e308, 1.5e308, 1.5e308)), Transform(Quat(-1.5e308, 1.5e308, 1.5e308, -1.5e308))};
	library.updateSrcSkeleton(names, transforms);
	literal.updateSrcSkeleton(names, transforms);
	library.updateDesSkeleton(false);
	literal.updateDesSkeleton(false);
	ExpectSameTrees(*library.getDesSkeleton(), *literal.des_skeleton, 0);
	EXPECT_TRUE(std::isnan(library.getMetaBonePose(FName("thumb_01_l")).Translation.X));
}

TEST(Sameness, CopiedRetargeterStaysIdentical)
{
	OxRetarget_KZ_UE original;
	literal::Retargeter literal;
	original.init();
	literal.init();
	Driver driver(5, Options{0.0, false, false});
	RunFrames(original, literal, driver, 50);
	OxRetarget_KZ_UE copy(original);
	RunFrames(copy, literal, driver, 200);
}
// The finger map is public: changes made to it after init take effect, as the reference reads it on
// every call. Both sides get the same edits: a curl bone dropped, one added, one side flipped.
TEST(Sameness, FingerMapChangedAfterInitIsHonoured)
{
	OxRetarget_KZ_UE library;
	literal::Retargeter literal;
	library.init();
	literal.init();
	Driver driver(7, Options{0.0, true, false, 0.5});
	for (TMap<FName, int32>* rules : {&library.getDesSkeleton()->exclude_bones, &literal.des_skeleton->exclude_bones})
	{
		rules->Remove(FName("index_01_l"));
		rules->Add(FName("thumb_02_r"), -1);
		rules->Add(FName("ring_02_r"), 1);
	}
	RunFrames(library, literal, driver, 200);
	// index_01_l now follows the world-delta rule: not the pure turn about Z of the curl rule.
	library.updateDesSkeleton(false);
	literal.updateDesSkeleton(false);
	EXPECT_NE(library.getMetaBonePose(FName("index_01_l")).Rotation.X, 0.0);

	library.getDesSkeleton()->init_exclude_bones();
	literal.des_skeleton->init_exclude_bones();
	RunFrames(library, literal, driver, 200);
}
} // namespace
