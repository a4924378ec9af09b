"""Builds the extension hostswitch._core with the library's own CMake build.

setuptools runs CMake on the repository's root (this folder's parent, where the C++ sources
are) for the one target hostswitch_python and puts the module where the wheel wants it. So the
module is compiled with the flags and warnings of every other build of the library, from one
description of it. Needs CMake >= 3.25, a C++20 compiler and the library's build dependencies
(scripts/install-deps build). HOSTSWITCH_CMAKE_BUILD_DIR keeps the CMake build folder
somewhere lasting, so a second install compiles only what changed; a folder already configured
(one with HOSTSWITCH_PYTHON on, such as the release preset's) is built as it stands, keeping its
options.

A wheel or sdist for a public index would be made by scikit-build-core instead, which pip fetches
from that index into its isolated build, with a pyproject.toml at the repository's root.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent.parent


def project_version():
    # The one version is the CMake project's.
    text = (ROOT / "CMakeLists.txt").read_text()
    found = re.search(r"^project\(hostswitch VERSION ([0-9.]+)", text, re.MULTILINE)
    if found is None:
        sys.exit(f"no project version in {ROOT / 'CMakeLists.txt'}")
    return found.group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        import pybind11

        build = pathlib.Path(os.environ.get("HOSTSWITCH_CMAKE_BUILD_DIR") or
                             pathlib.Path(self.build_temp) / "cmake").resolve()
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DHOSTSWITCH_PYTHON=ON",
            "-DBUILD_TESTING=OFF", "-DHOSTSWITCH_BENCH=OFF", "-DHOSTSWITCH_MAN=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        ]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        if not (build / "CMakeCache.txt").exists():
            subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "hostswitch_python",
                        "-j", jobs], check=True)
        built = sorted((build / "python" / "hostswitch").glob("_core*.so"))
        if len(built) != 1:
            sys.exit(f"expected one _core module in {build / 'python' / 'hostswitch'}, "
                     f"found {[p.name for p in built]}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(version=project_version(), ext_modules=[CMakeExtension("hostswitch._core")],
      cmdclass={"build_ext": CMakeBuild})
