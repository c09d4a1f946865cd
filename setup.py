"""Builds kovarkit._engine with the project's CMake (the same kovcore as the
programs, the same compiler flags); the package metadata is in pyproject.toml."""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        tree = os.path.join(os.path.abspath(self.build_temp), "cmake")
        configure = ["cmake", "-S", ROOT, "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
                     "-DKOVARIND_TESTS=OFF", f"-DPython_EXECUTABLE={sys.executable}",
                     f"-DKOVARKIT_EXT_DIR={target_dir}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", tree, "--target", "kovarkit_engine", "-j",
                        os.environ.get("KOVARKIT_JOBS", "2")], check=True)


setup(ext_modules=[Extension("kovarkit._engine", sources=[])],
      cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": "build-pip"}})
