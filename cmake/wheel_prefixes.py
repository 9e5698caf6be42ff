"""Print the install prefixes of the Eigen and oneTBB wheels, one per line, for CMake."""
import importlib.metadata as metadata
import pathlib


def prefix_of(dist_name, marker, depth):
    """The directory `depth` levels above the wheel file whose path ends in `marker`."""
    try:
        dist = metadata.distribution(dist_name)
    except metadata.PackageNotFoundError:
        return None
    for entry in dist.files or ():
        if str(entry).replace("\\", "/").endswith(marker):
            return pathlib.Path(dist.locate_file(entry)).resolve().parents[depth]
    return None


# <prefix>/share/eigen3/cmake/Eigen3Config.cmake and <prefix>/lib/cmake/tbb/TBBConfig.cmake
for name, marker, depth in (("cmeel-eigen", "eigen3/cmake/Eigen3Config.cmake", 3),
                            ("tbb-devel", "cmake/tbb/TBBConfig.cmake", 3)):
    found = prefix_of(name, marker, depth)
    if found is not None:
        print(found)
