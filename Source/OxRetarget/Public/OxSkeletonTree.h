#pragma once

#include "CoreMinimal.h"
#include "OxRetargetApi.h"

#include <memory>

class OxPoseCache;

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

	// The tree's index and world-pose cache, for the library's own solver (the type is private to
	// the library). Built by init; on a tree that was not built, a cache of what node_map holds.
	OxPoseCache& poseCache();

	// Prints the outline from the root through OxKZ_Log: a header line, then per bone its name and its
	// local pose, depth-first, indented with "|--" per level. Only the header for an unbuilt tree.
	void printTree();

protected:
	// Fills node_map and bone_names through buildNode and sets root_name. The base only logs.
	virtual void buildTree();
	// Appends the rest pose as parallel arrays of names and transforms. The base only logs.
	virtual void setTPose(TArray<FName>& names, TArray<TTransform<double>>& transforms);

	// Adds one bone to map (replacing a node of the same name) and appends its name to names.
	// An empty parent text or "None" makes a root. bone_index is not used. Adding to this tree's own
	// node_map changes its hierarchy: the pose cache is rebuilt when next needed.
	void buildNode(int bone_index, FString bone_name, FString parent_bone_name, TMap<FName, OxSkeletonTreeNode>& map,
		TArray<FName>& names);

	// Poses are written through update and set_pose_in_local, the hierarchy through buildNode: the
	// world-pose cache does not see other writes.
	TMap<FName, OxSkeletonTreeNode> node_map;
	TArray<FName> bone_names;
	FName root_name;

private:
	void printBoneNameInfo(FName bone, int depth);

	// The index and world-pose cache, built by init and dropped by buildNode when it changes this
	// tree's hierarchy.
	std::unique_ptr<OxPoseCache> pose_cache;
};
