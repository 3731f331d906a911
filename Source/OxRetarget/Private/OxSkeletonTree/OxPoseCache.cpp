#include "OxPoseCache.h"

#include <cstring>
#include <type_traits>

OxPoseCache::OxPoseCache(FNodeMap& tree_nodes)
	: nodes(&tree_nodes)
	, node_storage(tree_nodes.IsEmpty() ? nullptr : &tree_nodes.GetPair(0))
{
	const int32 count = nodes->Num();
	parents.Reserve(count);
	world_poses.Reserve(count);
	for (int32 index = 0; index < count; ++index)
	{
		const OxSkeletonTreeNode& bone = nodes->GetPair(index).Value;
		parents.Add(nodes->FindIndex(bone.parent_name));
		world_poses.Add(TTransform<double>::Identity);
		world_plain.Add(EFlag::No);
		local_rotation.Add(flag(OxTransformMath::hasOnlyRotation(bone.pose_in_local)));
		world_current.Add(EFlag::No);
		place.Add(INDEX_NONE);
		subtree_size.Add(1);
	}
	// Depth-first places from every root, children in node order. A node left without a place hangs
	// on a parent cycle, under which world poses are undefined.
	int32 visited = 0;
	TArray<int32> stack;
	for (int32 root = 0; root < count; ++root)
	{
		if (parents[root] != INDEX_NONE)
		{
			continue;
		}
		stack.Add(root);
		while (!stack.IsEmpty())
		{
			const int32 index = stack.Last();
			stack.RemoveAt(stack.Num() - 1);
			place[index] = visited++;
			for (int32 child = count - 1; child >= 0; --child)
			{
				if (parents[child] == index)
				{
					stack.Add(child);
				}
			}
		}
	}
	for (int32 index = 0; index < count; ++index)
	{
		checkf(place[index] != INDEX_NONE, "Skeleton tree has a parent cycle through bone %s",
			*nodes->GetPair(index).Key.ToString());
	}
	// Subtree sizes, children before parents (deepest places first).
	TArray<int32> node_at;
	node_at.SetNum(count);
	for (int32 index = 0; index < count; ++index)
	{
		node_at[place[index]] = index;
	}
	for (int32 position = count - 1; position >= 0; --position)
	{
		const int32 index = node_at[position];
		if (parents[index] != INDEX_NONE)
		{
			subtree_size[parents[index]] += subtree_size[index];
		}
	}
	chain.SetNum(count);
}

OxPoseCache::OxPoseCache(const OxPoseCache& other, FNodeMap& tree_nodes)
	: nodes(&tree_nodes)
	, node_storage(tree_nodes.IsEmpty() ? nullptr : &tree_nodes.GetPair(0))
	, parents(other.parents)
	, place(other.place)
	, subtree_size(other.subtree_size)
	, world_poses(other.world_poses)
	, world_plain(other.world_plain)
	, local_rotation(other.local_rotation)
	, world_current(other.world_current)
	, chain(other.chain)
	, update_names(other.update_names)
	, update_nodes(other.update_nodes)
	, update_roots(other.update_roots)
	, update_listed(other.update_listed)
{
}

bool OxPoseCache::isLastUpdateList(const TArray<FName>& names) const
{
	// Byte equality implies name equality (it also compares the display entry, so the same names in
	// another letter case count as a new list, which only costs resolving it again).
	static_assert(std::has_unique_object_representations_v<FName>);
	return names.Num() == update_names.Num() &&
		(names.IsEmpty() ||
			std::memcmp(names.GetData(), update_names.GetData(), sizeof(FName) * static_cast<SIZE_T>(names.Num())) ==
				0);
}

void OxPoseCache::resolveUpdateList(const TArray<FName>& names)
{
	update_names = names;
	update_nodes.Reset();
	update_roots.Reset();
	for (const FName& name : names)
	{
		update_nodes.Add(find(name));
	}
	// The listed nodes with no listed ancestor: marking their subtrees stale covers every write.
	TArray<EFlag>& listed = update_listed;
	listed.SetNum(parents.Num());
	for (const int32 index : update_nodes)
	{
		if (index != INDEX_NONE)
		{
			listed[index] = EFlag::Yes;
		}
	}
	for (int32 index = 0; index < parents.Num(); ++index)
	{
		if (listed[index] == EFlag::No)
		{
			continue;
		}
		int32 above = parents[index];
		while (above != INDEX_NONE && listed[above] == EFlag::No)
		{
			above = parents[above];
		}
		if (above == INDEX_NONE)
		{
			update_roots.Add(index);
		}
	}
	FMemory::Memzero(listed.GetData(), sizeof(EFlag) * static_cast<SIZE_T>(listed.Num()));
}

void OxPoseCache::update(const TArray<FName>& names, const TArray<TTransform<double>>& transforms)
{
	if (!isLastUpdateList(names))
	{
		resolveUpdateList(names);
	}
	const int32 count = names.Num();
	checkf(transforms.Num() >= count, "Array index out of bounds: %lld from an array of size %lld",
		static_cast<long long>(transforms.Num()), static_cast<long long>(transforms.Num()));
	// The rotations in list order (the last of a repeated name wins), then the world poses below
	// them marked stale once per listed subtree.
	const TTransform<double>* const given = transforms.GetData();
	const int32* const indices = update_nodes.GetData();
	for (int32 i = 0; i < count; ++i)
	{
		if (indices[i] != INDEX_NONE)
		{
			nodeAt(indices[i]).pose_in_local.Rotation = given[i].Rotation;
		}
	}
	for (const int32 index : update_roots)
	{
		invalidate(index);
	}
}

void OxPoseCache::composeWorldChain(int32 index)
{
	// Collect the stale chain up to the first current ancestor, then compose it top-down.
	const EFlag* const current = world_current.GetData();
	const int32* const places = place.GetData();
	const int32* const parent = parents.GetData();
	int32* const path = chain.GetData();
	int32 length = 0;
	int32 at = index;
	while (at != INDEX_NONE && current[places[at]] == EFlag::No)
	{
		path[length++] = at;
		at = parent[at];
	}
	const TTransform<double>* above = at != INDEX_NONE ? &world_poses.GetData()[at] : &TTransform<double>::Identity;
	bool above_plain = at != INDEX_NONE ? world_plain.GetData()[at] == EFlag::Yes : true;
	while (length > 0)
	{
		const int32 node_index = path[--length];
		composeWorld(node_index, *above, above_plain);
		above = &world_poses.GetData()[node_index];
		above_plain = world_plain.GetData()[node_index] == EFlag::Yes;
	}
}
