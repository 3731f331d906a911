#pragma once

#include "../OxTransformMath.h"
#include "OxSkeletonTree.h"

// The index and world-pose cache behind an OxSkeletonTree. Nodes are numbered in the storage order
// of the tree's node_map; a name is resolved to its number once (find) and everything after that
// works by number. Per node it keeps the parent's number, the node's place in a depth-first layout
// (a subtree occupies consecutive places), its world pose and whether that pose is current.
//
// Life: the tree builds it at the end of init from the finished hierarchy and drops it when
// buildNode changes that hierarchy. Local poses stay in the tree's nodes; every write to one goes
// through setLocalPose or update, so that the world poses below it are marked stale.
class OxPoseCache
{
public:
	UE_USE_ENGINE_ALLOCATOR()

	using FNodeMap = TMap<FName, OxSkeletonTreeNode>;

	// A per-node yes or no. A type of its own rather than uint8: a store through a character type may
	// alias anything, and the compiler would reload every array's storage after each flag written.
	enum class EFlag : uint8
	{
		No = 0,
		Yes = 1
	};
	static EFlag flag(bool value) { return value ? EFlag::Yes : EFlag::No; }

	// Resolves every node's parent and lays the tree out depth-first; stops on a parent cycle.
	explicit OxPoseCache(FNodeMap& tree_nodes);
	// A copy of other serving tree_nodes, which must be a copy of the map other serves.
	OxPoseCache(const OxPoseCache& other, FNodeMap& tree_nodes);
	OxPoseCache(const OxPoseCache&) = delete;
	OxPoseCache& operator=(const OxPoseCache&) = delete;

	// The node number of a bone, or INDEX_NONE for a name the tree lacks.
	int32 find(FName name) const { return nodes->FindIndex(name); }
	// The parent's node number, or INDEX_NONE for a root.
	int32 parentOf(int32 index) const { return parents[index]; }
	const OxSkeletonTreeNode& node(int32 index) const { return nodeAt(index); }

	// The node's pose in root space: world(node) = local(node) * world(parent), the identity above a
	// root, composed parents-first and kept until a local pose on the way to the root changes.
	FORCEINLINE const TTransform<double>& world(int32 index)
	{
		const EFlag* const current = world_current.GetData();
		const int32* const places = place.GetData();
		if (current[places[index]] == EFlag::No)
		{
			const int32 parent = parents.GetData()[index];
			if (parent == INDEX_NONE)
			{
				composeWorld(index, TTransform<double>::Identity, true);
			}
			else if (current[places[parent]] == EFlag::Yes)
			{
				composeWorld(index, world_poses.GetData()[parent], world_plain.GetData()[parent] == EFlag::Yes);
			}
			else
			{
				composeWorldChain(index);
			}
		}
		return world_poses.GetData()[index];
	}
	// Whether the node's world pose, as world() last returned it, is plain (OxTransformMath::isPlain).
	bool isWorldPlain(int32 index) const { return world_plain.GetData()[index] == EFlag::Yes; }
	// Whether the node's local pose has no translation and a scale of exactly one.
	bool isLocalRotation(int32 index) const { return local_rotation.GetData()[index] == EFlag::Yes; }

	// Replaces the node's local pose.
	void setLocalPose(int32 index, const TTransform<double>& pose)
	{
		nodeAt(index).pose_in_local = pose;
		local_rotation.GetData()[index] = flag(OxTransformMath::hasOnlyRotation(pose));
		invalidate(index);
	}
	// Makes the node's local pose the rotation alone: no translation, a scale of one.
	void setLocalPose(int32 index, const TQuat<double>& rotation)
	{
		TTransform<double>& local = nodeAt(index).pose_in_local;
		EFlag& is_rotation = local_rotation.GetData()[index];
		if (is_rotation == EFlag::No)
		{
			local.Translation = TVector<double>::ZeroVector;
			local.Scale3D = TVector<double>::OneVector;
			is_rotation = EFlag::Yes;
		}
		local.Rotation = rotation;
		invalidate(index);
	}
	// OxSkeletonTree::update: the rotations of the named bones (translation and scale stay), names
	// resolved once per new list.
	void update(const TArray<FName>& names, const TArray<TTransform<double>>& transforms);

private:
	// Node numbers come from find or parentOf, and the hierarchy does not change while the cache
	// lives, so the hot paths index the map's storage without a check.
	OxSkeletonTreeNode& nodeAt(int32 index) const { return node_storage[index].Value; }

	// The one routine that composes world poses: world(node) = local(node) * above, above being the
	// parent's current world pose (or the identity). A local rotation under a plain parent takes the
	// rotation-only route of OxTransformMath::compose.
	FORCEINLINE void composeWorld(int32 index, const TTransform<double>& above, bool above_plain)
	{
		TTransform<double>& world = world_poses.GetData()[index];
		EFlag& plain = world_plain.GetData()[index];
		const bool rotations_only = above_plain && local_rotation.GetData()[index] == EFlag::Yes;
		if (rotations_only && plain == EFlag::No)
		{
			// The rotation-only route writes the rotation alone; a plain kept pose has the rest already.
			world.Translation = TVector<double>::ZeroVector;
			world.Scale3D = TVector<double>::OneVector;
		}
		plain = flag(OxTransformMath::compose(world, nodeAt(index).pose_in_local, above, rotations_only));
		world_current.GetData()[place.GetData()[index]] = EFlag::Yes;
	}
	// Composes the stale world poses from the node up to its first current ancestor, top-down.
	void composeWorldChain(int32 index);
	// Whether names is, byte for byte, the list of the last update.
	bool isLastUpdateList(const TArray<FName>& names) const;
	// Resolves a new update list to node numbers and the subtrees it writes.
	void resolveUpdateList(const TArray<FName>& names);

	// Marks the node's world pose and those below it as stale.
	void invalidate(int32 index)
	{
		// Current world poses are closed under ancestors: a stale node has only stale descendants.
		const int32 first = place.GetData()[index];
		EFlag* const current = world_current.GetData();
		if (current[first] == EFlag::Yes)
		{
			FMemory::Memzero(current + first, sizeof(EFlag) * static_cast<SIZE_T>(subtree_size.GetData()[index]));
		}
	}

	FNodeMap* nodes;
	// The map's pairs: their storage moves only when the hierarchy changes, and the cache with it.
	TPair<FName, OxSkeletonTreeNode>* node_storage;
	// Per node: parent, place in the depth-first layout, size of the subtree rooted there.
	TArray<int32> parents;
	TArray<int32> place;
	TArray<int32> subtree_size;
	// Per node: kept world pose and whether it is plain; whether the local pose is a rotation alone.
	TArray<TTransform<double>> world_poses;
	TArray<EFlag> world_plain;
	TArray<EFlag> local_rotation;
	// Per depth-first place: whether the kept world pose is current.
	TArray<EFlag> world_current;
	// Scratch for composeWorldChain, one entry per node.
	TArray<int32> chain;
	// Names of the last update, their node numbers, and the listed nodes without a listed ancestor.
	TArray<FName> update_names;
	TArray<int32> update_nodes;
	TArray<int32> update_roots;
	// Scratch for resolveUpdateList, one entry per node, all zero between calls.
	TArray<EFlag> update_listed;
};
