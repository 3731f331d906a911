#pragma once

// The literal reference: the plainest correct skeleton tree and solver. Every access looks the bone
// up by name, every world pose is composed afresh by recursion up to the root, nothing is kept
// between calls, and the finger map is read on every solve. It takes the skeleton data (hierarchy,
// rest pose, finger map) from the library's own skeleton classes, so only the algorithms differ.
// Tests compare the library with it bit for bit; benchmarks measure against it.

#include "OxHuman_Skeleton.h"
#include "OxSkeletonTreeKZ.h"
#include "OxSkeletonTreeUE.h"

namespace literal
{
template <typename Skeleton> class Tree : public Skeleton
{
public:
	using Skeleton::bone_names;
	using Skeleton::node_map;

	void init()
	{
		this->buildTree();
		const int32 count = bone_names.Num();
		for (int32 i = 0; i < count; ++i)
		{
			const FName parent = bone_names[i];
			for (int32 j = 0; j < count; ++j)
			{
				if (j != i && getParentName(bone_names[j]) == parent)
				{
					node_map.FindChecked(parent).children.Add(bone_names[j]);
				}
			}
		}
		TArray<FName> tpose_names;
		TArray<TTransform<double>> tpose_transforms;
		this->setTPose(tpose_names, tpose_transforms);
		update(tpose_names, tpose_transforms);
		for (int32 k = 0; k < tpose_names.Num(); ++k)
		{
			const FName bone = tpose_names[k];
			if (node_map.Contains(bone))
			{
				node_map.FindChecked(bone).t_pose_in_local = node_map.FindChecked(bone).pose_in_local;
				node_map.FindChecked(bone).t_pose_in_world = get_pose_in_world(bone);
			}
		}
	}

	FName getParentName(FName bone)
	{
		return node_map.Contains(bone) ? node_map.FindChecked(bone).parent_name : FName();
	}

	void update(TArray<FName> names, TArray<TTransform<double>> transforms)
	{
		for (int32 i = 0; i < names.Num(); ++i)
		{
			const FName name = names[i];
			const TTransform<double> transform = transforms[i];
			if (node_map.Contains(name))
			{
				node_map.FindChecked(name).pose_in_local.SetRotation(transform.GetRotation());
			}
		}
	}

	void set_pose_in_local(FName name, TTransform<double> transform)
	{
		if (node_map.Contains(name))
		{
			node_map.FindChecked(name).pose_in_local = transform;
		}
	}

	TTransform<double> get_pose_in_local(FName name)
	{
		return node_map.Contains(name) ? node_map.FindChecked(name).pose_in_local : TTransform<double>::Identity;
	}

	TTransform<double> get_pose_in_world(FName name)
	{
		if (!node_map.Contains(name))
		{
			return TTransform<double>::Identity;
		}
		const TTransform<double> local = node_map.FindChecked(name).pose_in_local;
		const TTransform<double> parent_world = get_pose_in_world(getParentName(name));
		return local * parent_world;
	}

	TTransform<double> get_t_pose_in_local(FName name)
	{
		return node_map.Contains(name) ? node_map.FindChecked(name).t_pose_in_local : TTransform<double>::Identity;
	}

	TTransform<double> get_t_pose_in_world(FName name)
	{
		return node_map.Contains(name) ? node_map.FindChecked(name).t_pose_in_world : TTransform<double>::Identity;
	}

	const TArray<FName>& names() const { return bone_names; }
};

class Retargeter
{
public:
	Retargeter() = default;
	Retargeter(const Retargeter&) = delete;
	Retargeter& operator=(const Retargeter&) = delete;
	~Retargeter()
	{
		delete src_skeleton;
		delete des_skeleton;
	}

	void init()
	{
		const OxHuman_Skeleton pairing;
		init(pairing.kz_bone_names, pairing.ue_bone_names);
	}

	void init(const TArray<FString>& kz_bone_names, const TArray<FString>& ue_bone_names)
	{
		for (int32 i = 0; i < kz_bone_names.Num(); ++i)
		{
			src_bone_names.Add(FName(*kz_bone_names[i]));
			des_bone_names.Add(FName(*ue_bone_names[i]));
		}
		src_skeleton = new Tree<OxSkeletonTreeKZ>();
		src_skeleton->init();
		des_skeleton = new Tree<OxSkeletonTreeUE>();
		des_skeleton->init();
		des_skeleton->init_exclude_bones();
	}

	void updateSrcSkeleton(TArray<FName> names, TArray<TTransform<double>> transforms) const
	{
		src_skeleton->update(names, transforms);
	}

	void updateDesSkeleton(bool fingers_in_t_pose) const
	{
		static const TCHAR* const words[] = {TEXT("thumb"), TEXT("index"), TEXT("middle"), TEXT("ring"), TEXT("pinky")};
		for (int32 i = 0; i < des_bone_names.Num(); ++i)
		{
			const FName des = des_bone_names[i];
			bool is_finger = false;
			if (fingers_in_t_pose)
			{
				const FString text = des.ToString();
				for (const TCHAR* word : words)
				{
					if (text.Find(word, ESearchCase::IgnoreCase, ESearchDir::FromStart, -1) != -1)
					{
						is_finger = true;
						break;
					}
				}
			}
			if (is_finger)
			{
				des_skeleton->set_pose_in_local(des, des_skeleton->get_t_pose_in_local(des));
				continue;
			}
			const FName src = src_bone_names[i];
			const TTransform<double> SL = src_skeleton->get_pose_in_local(src);
			const TTransform<double> SW = src_skeleton->get_pose_in_world(src);
			const TTransform<double> ST = src_skeleton->get_t_pose_in_world(src);
			if (des_skeleton->exclude_bones.Contains(des))
			{
				const double s = static_cast<double>(des_skeleton->exclude_bones.FindChecked(des));
				const TVector<double> e = SL.GetRotation().Euler();
				const TQuat<double> q = TQuat<double>::MakeFromEuler(TVector<double>(0, 0, e.X * s));
				TTransform<double> R = SL;
				R.SetRotation(q);
				des_skeleton->set_pose_in_local(des, R);
				continue;
			}
			const TTransform<double> D = ST.Inverse() * SW;
			const TTransform<double> TT = des_skeleton->get_t_pose_in_world(des);
			const TTransform<double> TW = TT * D;
			const FName P = des_skeleton->getParentName(des);
			const TTransform<double> PW = des_skeleton->get_pose_in_world(P);
			const TTransform<double> L = TW * PW.Inverse();
			des_skeleton->set_pose_in_local(des, L);
		}
	}

	TTransform<double> getMetaBonePose(FName name) { return des_skeleton->get_pose_in_local(name); }
	TTransform<double> getTPose(FName name) { return des_skeleton->get_t_pose_in_local(name); }
	const TArray<FName>& getMetaBoneName() const { return des_bone_names; }

	Tree<OxSkeletonTreeKZ>* src_skeleton = nullptr;
	Tree<OxSkeletonTreeUE>* des_skeleton = nullptr;
	TArray<FName> src_bone_names;
	TArray<FName> des_bone_names;
};
} // namespace literal
