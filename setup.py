"""Builds the module's C++ extension with the project's own CMake build (the rest of the
package is declared in pyproject.toml)."""
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    """Configures the library alone (static, no tests or tools) for this interpreter and builds
    the module target, then puts it where setuptools packs the extension."""

    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_SHARED_LIBS=OFF",
            "-DZANTREL_TESTS=OFF", "-DZANTREL_TOOLS=OFF", "-DZANTREL_BENCH=OFF",
            "-DZANTREL_EXAMPLES=OFF", "-DZANTREL_PYTHON=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ccache"):
            configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "zantrel_python",
                        "-j", jobs], check=True)
        built = next((build_dir / "python" / "zantrel").glob("_zantrel*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[Extension("zantrel._zantrel", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
