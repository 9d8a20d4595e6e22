"""Builds the compiled part of korvo with the repository's CMake project.

    /usr/bin/python3 -m pip install --no-build-isolation ./python

The extension comes from the same sources, flags and target (_korvo) as a
build of the repository; this folder must stay inside it. Needs cmake, a
C++20 compiler and the Debian packages pybind11-dev, python3-dev,
libcli11-dev and libfftw3-dev.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
REPOSITORY = HERE.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if not (REPOSITORY / "CMakeLists.txt").exists():
            raise RuntimeError(f"korvo's CMake project is not at {REPOSITORY}: "
                               "build from a checkout of the repository")
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run(["cmake", "-S", str(REPOSITORY), "-B", str(build),
                        "-DCMAKE_BUILD_TYPE=Release", "-DKORVO_TESTS=OFF", "-DKORVO_BENCH=OFF",
                        "-DKORVO_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}"],
                       check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "_korvo", "--parallel",
                        str(os.cpu_count() or 1)], check=True)
        built = next((build / "python" / "korvo").glob("_korvo*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


def version():
    """The CMake project's version, which the commands and korvo.__version__ carry."""
    text = (REPOSITORY / "CMakeLists.txt").read_text()
    found = re.search(r"project\(korvo VERSION (\d+\.\d+\.\d+)", text)
    if not found:
        raise RuntimeError(f"no project(korvo VERSION x.y.z) in {REPOSITORY / 'CMakeLists.txt'}")
    return found.group(1)


setup(version=version(), ext_modules=[Extension("korvo._korvo", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
