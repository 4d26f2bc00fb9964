"""Builds the Python module ptseg.  The project's own CMake builds the
extension ptseg._ptseg (configured with -DPTSEG_PYTHON=ON, the library
linked into it), and setuptools packages it with the Python part of the
package, python/ptseg.  Run through pip; pyproject.toml has the commands.

setuptools' work folders go to build-py/: build/ is where the project's
CMake builds usually go.
"""
import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.errors import CompileError

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = "build-py"


def version():
    """The project's version, from the project() call of CMakeLists.txt."""
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(ptseg\s+VERSION\s+([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    """Builds the extension with CMake and copies it where setuptools
    packages it from."""

    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise CompileError("building ptseg needs the cmake program (3.16 or later) on PATH, "
                               "and flex, a C++17 compiler and libutf8proc-dev: on Debian, "
                               "apt-get install cmake flex g++ libutf8proc-dev")
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = [
            cmake, "-S", HERE, "-B", build,
            "-DCMAKE_BUILD_TYPE=Release", "-DPTSEG_PYTHON=ON", "-DBUILD_TESTING=OFF",
            "-DPTSEG_BUILD_REFERENCE=OFF",
            # The library goes inside the extension, not beside it.
            "-DBUILD_SHARED_LIBS=OFF",
            # The interpreter running this build is the one the module is for.
            "-DPython3_EXECUTABLE=" + sys.executable,
        ]
        try:
            import pybind11
        except ImportError:
            pass  # CMake looks for pybind11's CMake files in the usual places
        else:
            configure.append("-Dpybind11_DIR=" + pybind11.get_cmake_dir())
        self._run(configure, "configuring with cmake")
        self._run([cmake, "--build", build, "--target", "ptseg_python",
                   "--parallel", str(os.cpu_count() or 1)], "building with cmake")
        built = os.path.join(build, "python", "ptseg",
                             "_ptseg" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not os.path.exists(built):
            raise CompileError("cmake did not build %s" % built)
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)

    @staticmethod
    def _run(command, what):
        print(" ".join(command), flush=True)
        if subprocess.run(command).returncode != 0:
            raise CompileError("%s failed: see the messages above" % what)


# egg_info wants its folder to exist already.
os.makedirs(os.path.join(HERE, WORK), exist_ok=True)
setup(
    version=version(),
    packages=["ptseg"],
    package_dir={"": "python"},
    package_data={"ptseg": ["__init__.pyi", "py.typed"]},
    ext_modules=[Extension("ptseg._ptseg", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": WORK}, "egg_info": {"egg_base": WORK}},
    zip_safe=False,
)
