"""Retargeting of KZ skeleton motion onto the UE mannequin, on numpy arrays.

    import oxretarget
    motion = oxretarget.read_bvh("walk.bvh")                  # rotations (F, J, 4), library axes
    take = oxretarget.read_motion("take.fbx", take="Walk")    # BVH or FBX captures alike
    r = oxretarget.Retargeter()
    poses = r.solve(motion.joint_names, motion.rotations)     # (F, 52, 4), rows in r.meta_bones order
    oxretarget.retarget_file("walk.bvh", "walk.json")         # the oxretarget tool's pipeline

Quaternions are x y z w unless order="wxyz" is given to solve. Rotations are local (relative to the
parent bone). Errors from the tool's reader and pipeline raise oxretarget.Error with the tool's
one-line text.
"""

from ._oxretarget import Error, Motion, Retargeter, __version__, read_bvh, read_motion, retarget_file

__all__ = ["Error", "Motion", "Retargeter", "read_bvh", "read_motion", "retarget_file"]

for _name in __all__:
    globals()[_name].__module__ = __name__
del _name
