#pragma once

#include "CoreMinimal.h"
#include "OxRetargetApi.h"

// One bone of a skeleton tree, held by value in the tree's map.
struct OXRETARGET_API OxSkeletonTreeNode
{
	FName name;
	// None for the root.
	FName parent_name;
	// Direct children in bone_names order.
	TArray<FName> children;
	// Current pose relative to the parent.
	TTransform<double> pose_in_local = TTransform<double>::Identity;
	TTransform<double> t_pose_in_local = TTransform<double>::Identity;
	// T-pose in the skeleton's root space.
	TTransform<double> t_pose_in_world = TTransform<double>::Identity;
};

// A named bone hierarchy with a current local pose and a T-pose per bone. Concrete skeletons supply
// the hierarchy (buildTree) and the rest pose (setTPose); init builds the tree from them.
// Every look-up ignores letter case; a name the tree lacks reads as the identity and is not written.
class OXRETARGET_API OxSkeletonTree
{
public:
	UE_USE_ENGINE_ALLOCATOR()

	OxSkeletonTree();
	OxSkeletonTree(const OxSkeletonTree& other);
	OxSkeletonTree& operator=(const OxSkeletonTree& other);
	virtual ~OxSkeletonTree();

	// Builds the hierarchy, links children in bone_names order and applies the T-pose. Once per tree.
	void init();

	// The bone's parent name; None for the root and for a name this tree does not have.
	FName getParentName(FName bone);

	// Sets the rotation of each named bone's local pose to transforms[i]'s rotation (translation and
	// scale are ignored). Unknown names are skipped; for a repeated name the last entry wins.
	// Needs transforms.Num() >= names.Num().
	void update(const TArray<FName>& names, const TArray<TTransform<double>>& transforms);

	// Replaces the bone's local pose as given, without normalising. Ignored for an unknown name.
	void set_pose_in_local(FName name, TTransform<double> transform);

	// The bone's current pose relative to its parent; the identity for an unknown name.
	TTransform<double> get_pose_in_local(FName name);

	// The bone's current pose in root space, composed from its local pose and its ancestors'
	// (local(bone) * (local(parent) * (... * (local(root) * identity)))). Identity for an unknown name.
	TTransform<double> get_pose_in_world(FName name);

	// The bone's T-pose relative to its parent; the identity for an unknown name.
	TTransform<double> get_t_pose_in_local(FName name);

	// The bone's T-pose in root space as recorded by init; the identity for an unknown name.
	TTransform<double> get_t_pose_in_world(FName name);

	// Every bone name in build order (a name built twice is listed twice); empty before init.
	TArray<FName> getBoneNames();

	// Prints the outline from the root through OxKZ_Log: a header line, then per bone its name and its
	// local pose, depth-first, indented with "|--" per level. Only the header for an unbuilt tree.
	void printTree();

protected:
	// Fills node_map and bone_names through buildNode and sets root_name. The base only logs.
	virtual void buildTree();
	// Appends the rest pose as parallel arrays of names and transforms. The base only logs.
	virtual void setTPose(TArray<FName>& names, TArray<TTransform<double>>& transforms);

	// Adds one bone to map (replacing a node of the same name) and appends its name to names.
	// An empty parent text or "None" makes a root. bone_index is not used.
	void buildNode(int bone_index, FString bone_name, FString parent_bone_name, TMap<FName, OxSkeletonTreeNode>& map,
		TArray<FName>& names);

	TMap<FName, OxSkeletonTreeNode> node_map;
	TArray<FName> bone_names;
	FName root_name;

private:
	friend class OxRetarget_KZ_UE;

	void printBoneNameInfo(FName bone, int depth);

	// Index of the bone's node (its position in node_map), or INDEX_NONE.
	int32 findBoneIndex(FName name) const { return node_map.FindIndex(name); }
	// Resolves parent indices and child lists once the hierarchy is complete; stops on a cycle.
	void buildIndex();
	// The world pose of node Index, composed parents-first and kept until a local pose above changes.
	const TTransform<double>& worldPoseAt(int32 index)
	{
		if (parent_index.Num() == node_map.Num() && index >= 0 && index < parent_index.Num())
		{
			uint8* const valid = world_valid.GetData();
			const int32* const position = dfs_position.GetData();
			TTransform<double>* const cache = world_cache.GetData();
			if (valid[position[index]])
			{
				return cache[index];
			}
			// The common case inline: pure rotations under a current, plain parent (or the root).
			const int32 parent = parent_index.GetData()[index];
			uint8* const plain = world_plain.GetData();
			if (non_plain_locals == 0 && (parent == INDEX_NONE || (valid[position[parent]] && plain[parent])))
			{
				const TQuat<double>& above = parent == INDEX_NONE ? TQuat<double>::Identity : cache[parent].Rotation;
				TTransform<double>& world = cache[index];
				if (!plain[index])
				{
					world.Translation = TVector<double>::ZeroVector;
					world.Scale3D = TVector<double>::OneVector;
				}
				world.Rotation = above * (&node_map.GetPair(0))[index].Value.pose_in_local.Rotation;
				plain[index] = world.Rotation.ContainsNaN() ? 0 : 1;
				valid[position[index]] = 1;
				return world;
			}
		}
		return composeWorldChain(index);
	}
	// Composes the stale world poses from node Index up to its first current ancestor.
	const TTransform<double>& composeWorldChain(int32 index);
	// Composes world(node) = local(node) * world(parent) into the cache; returns whether the result
	// is plain (no translation, unit scale, finite rotation).
	bool composeWorldAt(int32 node, const TTransform<double>& above, bool above_plain);
	// Whether the kept world pose of node Index (after worldPoseAt) has no translation, a scale of
	// exactly one and a finite rotation.
	bool isWorldPlainAt(int32 index) const { return world_plain.GetData()[index] != 0; }
	// Whether every local pose has no translation and a scale of exactly one: world poses are then
	// rotation products alone.
	bool hasOnlyRotations() const { return non_plain_locals == 0; }
	void setLocalPoseAt(int32 index, const TTransform<double>& transform);
	void setLocalRotationAt(int32 index, const TQuat<double>& rotation)
	{
		// Bounds are checked by the caller's index resolution; the tree's shape is fixed after init.
		(&node_map.GetPair(0))[index].Value.pose_in_local.Rotation = rotation;
		invalidateWorld(index);
	}
	// Marks the node's world pose and those below it as stale.
	void invalidateWorld(int32 index)
	{
		// Current world poses are closed under ancestors: a stale node has only stale descendants,
		// and a subtree occupies consecutive depth-first positions.
		const int32 first = dfs_position.GetData()[index];
		uint8* const valid = world_valid.GetData();
		if (valid[first])
		{
			FMemory::Memzero(valid + first, static_cast<SIZE_T>(subtree_size.GetData()[index]));
		}
	}

	// Per node (in node_map order): parent node, position in a depth-first order of the tree, and
	// the size of its subtree, which occupies the positions that follow it.
	TArray<int32> parent_index;
	TArray<int32> dfs_position;
	TArray<int32> subtree_size;
	// World pose per node, and per depth-first position whether it is current.
	TArray<TTransform<double>> world_cache;
	TArray<uint8> world_valid;
	// Per node: the kept world pose has zero translation, unit scale and a finite rotation.
	TArray<uint8> world_plain;
	// Number of local poses with a translation or a scale other than one.
	int32 non_plain_locals = 0;
	TArray<int32> path_scratch;
	// Names of the last update and their resolved node indices.
	TArray<FName> update_names;
	TArray<int32> update_indices;
};
