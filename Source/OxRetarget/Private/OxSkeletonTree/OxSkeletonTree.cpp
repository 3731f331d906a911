#include "OxSkeletonTree.h"

#include "../OxTransformMath.h"
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
	world_plain.Reset();
	non_plain_locals = 0;
	for (int32 index = 0; index < count; ++index)
	{
		const OxSkeletonTreeNode& node = node_map.GetPair(index).Value;
		parent_index.Add(findBoneIndex(node.parent_name));
		world_cache.Add(TTransform<double>::Identity);
		world_valid.Add(0);
		world_plain.Add(0);
		non_plain_locals += OxTransformMath::hasOnlyRotation(node.pose_in_local) ? 0 : 1;
	}
	// Depth-first order from every root, children in node order. A node left unvisited hangs on a
	// parent cycle, under which world poses are undefined.
	dfs_position.Reset();
	subtree_size.Reset();
	for (int32 index = 0; index < count; ++index)
	{
		dfs_position.Add(INDEX_NONE);
		subtree_size.Add(1);
	}
	int32 visited = 0;
	TArray<int32> stack;
	for (int32 root = 0; root < count; ++root)
	{
		if (parent_index[root] != INDEX_NONE)
		{
			continue;
		}
		stack.Add(root);
		while (!stack.IsEmpty())
		{
			const int32 node = stack.Last();
			stack.RemoveAt(stack.Num() - 1);
			dfs_position[node] = visited++;
			for (int32 child = count - 1; child >= 0; --child)
			{
				if (parent_index[child] == node)
				{
					stack.Add(child);
				}
			}
		}
	}
	for (int32 index = 0; index < count; ++index)
	{
		checkf(dfs_position[index] != INDEX_NONE, "Skeleton tree has a parent cycle through bone %s",
			*node_map.GetPair(index).Key.ToString());
	}
	// Subtree sizes, children before parents (deepest depth-first positions first).
	TArray<int32> node_at;
	node_at.SetNum(count);
	for (int32 index = 0; index < count; ++index)
	{
		node_at[dfs_position[index]] = index;
	}
	for (int32 position = count - 1; position >= 0; --position)
	{
		const int32 node = node_at[position];
		if (parent_index[node] != INDEX_NONE)
		{
			subtree_size[parent_index[node]] += subtree_size[node];
		}
	}
	path_scratch.SetNum(count);
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
	const int32 count = names.Num();
	checkf(transforms.Num() >= count, "Array index out of bounds: %lld from an array of size %lld",
		static_cast<long long>(transforms.Num()), static_cast<long long>(transforms.Num()));
	const TTransform<double>* const given = transforms.GetData();
	const int32* const indices = update_indices.GetData();
	for (int32 i = 0; i < count; ++i)
	{
		if (indices[i] != INDEX_NONE)
		{
			setLocalRotationAt(indices[i], given[i].Rotation);
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

const TTransform<double>& OxSkeletonTree::composeWorldChain(int32 index)
{
	if (parent_index.Num() != node_map.Num())
	{
		buildIndex();
	}
	checkf(index >= 0 && index < parent_index.Num(), "Array index out of bounds: %lld from an array of size %lld",
		static_cast<long long>(index), static_cast<long long>(parent_index.Num()));
	uint8* const valid = world_valid.GetData();
	const int32* const position = dfs_position.GetData();
	TTransform<double>* const cache = world_cache.GetData();
	if (valid[position[index]])
	{
		return cache[index];
	}
	// Collect the stale chain up to the first current ancestor, then compose it top-down:
	// world(bone) = local(bone) * world(parent), with the identity above the root.
	const int32* const parent = parent_index.GetData();
	int32* const path = path_scratch.GetData();
	int32 length = 0;
	int32 at = index;
	while (at != INDEX_NONE && !valid[position[at]])
	{
		path[length++] = at;
		at = parent[at];
	}
	const TTransform<double>* above = at != INDEX_NONE ? &cache[at] : &TTransform<double>::Identity;
	bool above_plain = at != INDEX_NONE ? world_plain.GetData()[at] != 0 : true;
	while (length > 0)
	{
		const int32 node = path[--length];
		above_plain = composeWorldAt(node, *above, above_plain);
		valid[position[node]] = 1;
		above = &cache[node];
	}
	return cache[index];
}

bool OxSkeletonTree::composeWorldAt(int32 node, const TTransform<double>& above, bool above_plain)
{
	TTransform<double>& world = world_cache.GetData()[node];
	const TTransform<double>& local = (&node_map.GetPair(0))[node].Value.pose_in_local;
	uint8& plain = world_plain.GetData()[node];
	if (non_plain_locals == 0 && above_plain)
	{
		// Both factors are pure rotations, the parent's finite: the product has no translation and
		// unit scale, as the full composition would give.
		if (!plain)
		{
			world.Translation = TVector<double>::ZeroVector;
			world.Scale3D = TVector<double>::OneVector;
		}
		world.Rotation = above.Rotation * local.Rotation;
		plain = OxTransformMath::isFinite(world.Rotation) ? 1 : 0;
	}
	else
	{
		OxTransformMath::compose(world, local, above);
		plain = OxTransformMath::hasOnlyRotation(world) && OxTransformMath::isFinite(world.Rotation) ? 1 : 0;
	}
	return plain != 0;
}

void OxSkeletonTree::setLocalPoseAt(int32 index, const TTransform<double>& transform)
{
	TTransform<double>& local = node_map.GetPair(index).Value.pose_in_local;
	non_plain_locals +=
		(OxTransformMath::hasOnlyRotation(transform) ? 0 : 1) - (OxTransformMath::hasOnlyRotation(local) ? 0 : 1);
	local = transform;
	invalidateWorld(index);
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
