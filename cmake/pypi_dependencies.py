"""Prints where the PyPI packages of kavrel's C++ dependencies are, for
CMakeLists.txt, as CMake `set()` lines to include:

    KAVREL_PYPI_TBB_DIR      the directory of TBBConfig.cmake (tbb-devel)
    KAVREL_PYPI_TBB_VERSION  its version
    KAVREL_PYPI_BOOST_INCLUDE  boost-headers' include directory
    KAVREL_PYPI_BOOST_VERSION  its version
    KAVREL_TBB_RPATH         where the runtime package tbb puts libtbb,
                             relative to where the module is installed

Only the packages installed in the Python that runs this (the one that
builds the module) count; a missing one is left unset, and CMake then looks
for the system's.
"""

import importlib.metadata
import os
import sysconfig


def cmake_set(name, value):
    print(f'set({name} "{value}")')


def dist_file(dist, suffix):
    for f in dist.files or ():
        if str(f).replace(os.sep, "/").endswith(suffix):
            return dist.locate_file(f).resolve()
    return None


def main():
    try:
        tbb = importlib.metadata.distribution("tbb-devel")
    except importlib.metadata.PackageNotFoundError:
        tbb = None
    config = tbb and dist_file(tbb, "/cmake/tbb/TBBConfig.cmake")
    if config:
        cmake_set("KAVREL_PYPI_TBB_DIR", config.parent.as_posix())
        cmake_set("KAVREL_PYPI_TBB_VERSION", tbb.version)
        # The runtime package tbb installs libtbb.so.12 into the scheme's
        # data directory, under lib/; the module goes into platlib.
        paths = sysconfig.get_paths()
        rel = os.path.relpath(os.path.join(paths["data"], "lib"), paths["platlib"])
        cmake_set("KAVREL_TBB_RPATH", "$ORIGIN/" + rel.replace(os.sep, "/"))

    try:
        boost = importlib.metadata.distribution("boost-headers")
    except importlib.metadata.PackageNotFoundError:
        boost = None
    if boost:
        import boost_headers

        cmake_set("KAVREL_PYPI_BOOST_INCLUDE", os.fspath(boost_headers.get_include()).replace(os.sep, "/"))
        cmake_set("KAVREL_PYPI_BOOST_VERSION", boost.version)


if __name__ == "__main__":
    main()
