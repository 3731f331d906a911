#include "OxSkeletonTree.h"

#include "OxKZ_Log.h"

OxSkeletonTree::OxSkeletonTree() = default;

OxSkeletonTree::OxSkeletonTree(const OxSkeletonTree& other) = default;

OxSkeletonTree& OxSkeletonTree::operator=(const OxSkeletonTree& other) = default;

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
	buildIndex();

	TArray<FName> tpose_names;
	TArray<TTransform<double>> tpose_transforms;
	setTPose(tpose_names, tpose_transforms);
	update(tpose_names, tpose_transforms);
	for (int32 k = 0; k < tpose_names.Num(); ++k)
	{
		const int32 index = findBoneIndex(tpose_names[k]);
		if (index == INDEX_NONE)
		{
			continue;
		}
		OxSkeletonTreeNode& node = node_map.GetPair(index).Value;
		node.t_pose_in_local = node.pose_in_local;
		node.t_pose_in_world = worldPoseAt(index);
	}
}

void OxSkeletonTree::buildIndex()
{
	const int32 count = node_map.Num();
	parent_index.Reset();
	world_cache.Reset();
	world_valid.Reset();
	for (int32 index = 0; index < count; ++index)
	{
		parent_index.Add(findBoneIndex(node_map.GetPair(index).Value.parent_name));
		world_cache.Add(TTransform<double>::Identity);
		world_valid.Add(0);
	}
	// Every chain must end at a root: a cycle would make world poses undefined.
	for (int32 index = 0; index < count; ++index)
	{
		int32 steps = 0;
		for (int32 at = parent_index[index]; at != INDEX_NONE; at = parent_index[at])
		{
			checkf(++steps <= count, "Skeleton tree has a parent cycle through bone %s",
				*node_map.GetPair(index).Key.ToString());
		}
	}
	// Child lists by node index, for invalidation.
	child_start.Reset();
	child_indices.Reset();
	for (int32 index = 0; index < count; ++index)
	{
		child_start.Add(child_indices.Num());
		for (int32 child = 0; child < count; ++child)
		{
			if (parent_index[child] == index)
			{
				child_indices.Add(child);
			}
		}
	}
	child_start.Add(child_indices.Num());
	path_scratch.Reset();
	path_scratch.Reserve(count);
	update_names.Reset();
	update_indices.Reset();
}

FName OxSkeletonTree::getParentName(FName bone)
{
	const OxSkeletonTreeNode* node = node_map.Find(bone);
	return node != nullptr ? node->parent_name : FName();
}

void OxSkeletonTree::update(const TArray<FName>& names, const TArray<TTransform<double>>& transforms)
{
	if (parent_index.Num() != node_map.Num())
	{
		buildIndex();
	}
	if (!(names == update_names))
	{
		update_names = names;
		update_indices.Reset();
		for (const FName& name : names)
		{
			update_indices.Add(findBoneIndex(name));
		}
	}
	for (int32 i = 0; i < names.Num(); ++i)
	{
		const TTransform<double>& transform = transforms[i];
		const int32 index = update_indices[i];
		if (index != INDEX_NONE)
		{
			setLocalRotationAt(index, transform.GetRotation());
		}
	}
}

void OxSkeletonTree::set_pose_in_local(FName name, TTransform<double> transform)
{
	if (parent_index.Num() != node_map.Num())
	{
		buildIndex();
	}
	const int32 index = findBoneIndex(name);
	if (index != INDEX_NONE)
	{
		setLocalPoseAt(index, transform);
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
	const int32 index = findBoneIndex(name);
	return index != INDEX_NONE ? worldPoseAt(index) : TTransform<double>::Identity;
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

const TTransform<double>& OxSkeletonTree::worldPoseAt(int32 index)
{
	if (parent_index.Num() != node_map.Num())
	{
		buildIndex();
	}
	if (world_valid[index])
	{
		return world_cache[index];
	}
	// Collect the stale chain up to the first valid ancestor, then compose it top-down:
	// world(bone) = local(bone) * world(parent), with the identity above the root.
	path_scratch.Reset();
	int32 at = index;
	while (at != INDEX_NONE && !world_valid[at])
	{
		path_scratch.Add(at);
		at = parent_index[at];
	}
	TTransform<double> world = at != INDEX_NONE ? world_cache[at] : TTransform<double>::Identity;
	for (int32 k = path_scratch.Num() - 1; k >= 0; --k)
	{
		const int32 node = path_scratch[k];
		world = node_map.GetPair(node).Value.pose_in_local * world;
		world_cache[node] = world;
		world_valid[node] = 1;
	}
	return world_cache[index];
}

void OxSkeletonTree::setLocalPoseAt(int32 index, const TTransform<double>& transform)
{
	node_map.GetPair(index).Value.pose_in_local = transform;
	invalidateWorld(index);
}

void OxSkeletonTree::setLocalRotationAt(int32 index, const TQuat<double>& rotation)
{
	node_map.GetPair(index).Value.pose_in_local.SetRotation(rotation);
	invalidateWorld(index);
}

void OxSkeletonTree::invalidateWorld(int32 index)
{
	// Valid world poses are closed under ancestors, so a stale node has only stale descendants.
	if (!world_valid[index])
	{
		return;
	}
	world_valid[index] = 0;
	for (int32 k = child_start[index]; k < child_start[index + 1]; ++k)
	{
		invalidateWorld(child_indices[k]);
	}
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
