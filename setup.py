"""Builds the compiled part of qzws with the project's CMake build.

The version is the one of project() in CMakeLists.txt. Environment:
  CMAKE_ARGS       further arguments for the CMake configuration
  QZWS_BUILD_DIR   an existing CMake build folder to build the module in
                   (it must be configured for the interpreter that runs pip)
"""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = pathlib.Path(__file__).resolve().parent


def project_version():
    text = (SOURCE / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*qzws\s+VERSION\s+([0-9][0-9.]*)", text)
    if not found:
        raise RuntimeError("CMakeLists.txt: no project(qzws VERSION ...)")
    return found.group(1)


def pybind11_cmake_dir():
    """Where the pybind11 of the build environment keeps its CMake files, if
    it came as a Python package; otherwise CMake finds the system's."""
    try:
        import pybind11
    except ImportError:
        return None
    return pybind11.get_cmake_dir()


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError("building qzws needs cmake (3.18 or newer)")
        build_dir = os.environ.get("QZWS_BUILD_DIR")
        if build_dir:
            build_dir = pathlib.Path(build_dir).resolve()
        else:
            build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
            arguments = [
                "-S", str(SOURCE), "-B", str(build_dir),
                "-DCMAKE_BUILD_TYPE=Release",
                "-DQZWS_BUILD_TESTS=OFF", "-DQZWS_BUILD_TOOLS=OFF", "-DQZWS_BUILD_PYTHON=ON",
                "-DPython3_EXECUTABLE=" + sys.executable,
            ]
            if pybind11_cmake_dir():
                arguments.append("-Dpybind11_DIR=" + pybind11_cmake_dir())
            arguments += shlex.split(os.environ.get("CMAKE_ARGS", ""))
            subprocess.run([cmake] + arguments, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(self.parallel or os.cpu_count() or 1)
        subprocess.run([cmake, "--build", str(build_dir), "--target", "qzws_python", "-j", jobs], check=True)
        built = sorted((build_dir / "python" / "qzws").glob("_qzws.*.so"))
        if len(built) != 1:
            raise RuntimeError("the CMake build left no single _qzws module in %s" % (build_dir / "python" / "qzws"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    version=project_version(),
    packages=["qzws"],
    package_dir={"": "python"},
    package_data={"qzws": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("qzws._qzws", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
    # Beside the CMake builds in build/, which .gitignore keeps out.
    options={"build": {"build_base": "build/pip"}},
)
