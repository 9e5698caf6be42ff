"""tarvo: exact, robust and fast registration of 3-D point clouds.

Register a source cloud onto a target cloud and apply the result::

    import numpy as np
    import tarvo

    source = np.random.default_rng(0).random((500, 3))
    target = source + [0.5, 0.0, -0.25]
    result = tarvo.register(source, target, method="icp")
    print(result)                      # Registration(iterations=..., converged=True, ...)
    moved = result.apply(source)       # source mapped onto target
    normals = tarvo.estimate_normals(target, k=16)
    plane = tarvo.register(source, target, method="point_to_plane", target_normals=normals)

`METHODS` lists the method names `register` accepts.
"""

from ._tarvo import METHODS, Registration, __version__, estimate_normals, register

__all__ = ["METHODS", "Registration", "__version__", "estimate_normals", "register"]
