#include "OxSkeletonTree.h"

#include "OxKZ_Log.h"
#include "OxPoseCache.h"

OxSkeletonTree::OxSkeletonTree() = default;

OxSkeletonTree::OxSkeletonTree(const OxSkeletonTree& other)
	: node_map(other.node_map)
	, bone_names(other.bone_names)
	, root_name(other.root_name)
	, pose_cache(other.pose_cache != nullptr ? std::make_unique<OxPoseCache>(*other.pose_cache, node_map) : nullptr)
{
}

OxSkeletonTree& OxSkeletonTree::operator=(const OxSkeletonTree& other)
{
	if (this != &other)
	{
		node_map = other.node_map;
		bone_names = other.bone_names;
		root_name = other.root_name;
		pose_cache = other.pose_cache != nullptr ? std::make_unique<OxPoseCache>(*other.pose_cache, node_map) : nullptr;
	}
	return *this;
}

OxSkeletonTree::~OxSkeletonTree() = default;

// The two virtuals below are meant to be overridden by every concrete skeleton;
// the base versions only report that they were reached.

void OxSkeletonTree::buildTree()
{
	// A plain tree has no bones.
	UE_LOG(LogTemp, Warning, TEXT("should no be here"));
}

void OxSkeletonTree::setTPose(TArray<FName>& names, TArray<TTransform<double>>& transforms)
{
	(void)names;
	(void)transforms;
	UE_LOG(LogTemp, Warning, TEXT("should no be here"));
}

void OxSkeletonTree::buildNode(int bone_index, FString bone_name, FString parent_bone_name,
	TMap<FName, OxSkeletonTreeNode>& map, TArray<FName>& names)
{
	(void)bone_index;
	if (&map == &node_map)
	{
		pose_cache.reset();
	}
	OxSkeletonTreeNode node;
	node.name = FName(*bone_name);
	node.parent_name = FName(*parent_bone_name);
	map.Add(node.name, node);
	names.Add(node.name);
}

void OxSkeletonTree::init()
{
	buildTree();

	// Children in bone_names order: for each listed parent P, every other listed bone whose parent is P.
	const int32 count = bone_names.Num();
	TArray<FName> parents;
	parents.Reserve(count);
	for (const FName& name : bone_names)
	{
		parents.Add(getParentName(name));
	}
	for (int32 i = 0; i < count; ++i)
	{
		const FName parent = bone_names[i];
		OxSkeletonTreeNode& node = node_map.FindChecked(parent);
		for (int32 j = 0; j < count; ++j)
		{
			if (j != i && parents[j] == parent)
			{
				node.children.Add(bone_names[j]);
			}
		}
	}
	// The hierarchy is complete: from here on poses are read and written by node number.
	pose_cache = std::make_unique<OxPoseCache>(node_map);

	TArray<FName> tpose_names;
	TArray<TTransform<double>> tpose_transforms;
	setTPose(tpose_names, tpose_transforms);
	pose_cache->update(tpose_names, tpose_transforms);
	for (int32 k = 0; k < tpose_names.Num(); ++k)
	{
		const int32 index = pose_cache->find(tpose_names[k]);
		if (index == INDEX_NONE)
		{
			continue;
		}
		OxSkeletonTreeNode& node = node_map.GetPair(index).Value;
		node.t_pose_in_local = node.pose_in_local;
		node.t_pose_in_world = pose_cache->world(index);
	}
}

OxPoseCache& OxSkeletonTree::poseCache()
{
	if (pose_cache == nullptr)
	{
		pose_cache = std::make_unique<OxPoseCache>(node_map);
	}
	return *pose_cache;
}

FName OxSkeletonTree::getParentName(FName bone)
{
	const OxSkeletonTreeNode* node = node_map.Find(bone);
	return node != nullptr ? node->parent_name : FName();
}

void OxSkeletonTree::update(const TArray<FName>& names, const TArray<TTransform<double>>& transforms)
{
	poseCache().update(names, transforms);
}

void OxSkeletonTree::set_pose_in_local(FName name, TTransform<double> transform)
{
	const int32 index = node_map.FindIndex(name);
	if (index != INDEX_NONE)
	{
		poseCache().setLocalPose(index, transform);
	}
}

TArray<FName> OxSkeletonTree::getBoneNames()
{
	return bone_names;
}

TTransform<double> OxSkeletonTree::get_pose_in_local(FName name)
{
	const OxSkeletonTreeNode* node = node_map.Find(name);
	return node != nullptr ? node->pose_in_local : TTransform<double>::Identity;
}

TTransform<double> OxSkeletonTree::get_pose_in_world(FName name)
{
	// Node numbers are positions in node_map: the name is resolved in the map at hand.
	const int32 index = node_map.FindIndex(name);
	return index != INDEX_NONE ? poseCache().world(index) : TTransform<double>::Identity;
}

TTransform<double> OxSkeletonTree::get_t_pose_in_local(FName name)
{
	const OxSkeletonTreeNode* node = node_map.Find(name);
	return node != nullptr ? node->t_pose_in_local : TTransform<double>::Identity;
}

TTransform<double> OxSkeletonTree::get_t_pose_in_world(FName name)
{
	const OxSkeletonTreeNode* node = node_map.Find(name);
	return node != nullptr ? node->t_pose_in_world : TTransform<double>::Identity;
}

void OxSkeletonTree::printTree()
{
	OxKZ_Log::printString(FString(TEXT("------ skeleton tree ------")));
	if (!node_map.Contains(root_name))
	{
		return;
	}
	printBoneNameInfo(root_name, 0);
}

void OxSkeletonTree::printBoneNameInfo(FName bone, int depth)
{
	FString prefix;
	for (int level = 0; level < depth; ++level)
	{
		prefix.AppendChars(TEXT("|--"), 3);
	}
	const OxSkeletonTreeNode node = node_map.FindChecked(bone);
	OxKZ_Log::printString(prefix + bone.ToString());
	OxKZ_Log::printTransform(prefix + TEXT(" >> local"), node.pose_in_local);
	for (const FName& child : node.children)
	{
		printBoneNameInfo(child, depth + 1);
	}
}
