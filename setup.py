"""Builds the extension vorc._vorc for pip and python -m build: CMake
configures this tree for the running interpreter (only the library and the
module, Release) in the build folder setuptools chooses, builds the module
and hands it to setuptools, which packs it with vorc/__init__.py and the
type stubs. Needs cmake, a C++17 compiler and pybind11 (Debian:
python3-pybind11)."""
import os
import pathlib
import re
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent


def project_version():
    """The version of the project() call in CMakeLists.txt, the one place it is kept."""
    text = (HERE / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(vorc VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, extension):
        import pybind11

        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        configure = ["cmake", "-S", str(HERE), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DVORC_BUILD_TESTS=OFF", "-DVORC_BUILD_TOOLS=OFF", "-DVORC_BUILD_PYTHON=ON",
                     f"-DVORC_PYTHON={sys.executable}", f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "vorc_python", "--parallel",
                        str(os.cpu_count() or 2)], check=True)
        built = next((build / "python" / "vorc").glob("_vorc*.so"))
        target = pathlib.Path(self.get_ext_fullpath(extension.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built), str(target))


setup(
    version=project_version(),
    packages=["vorc"],
    package_dir={"": "python"},
    package_data={"vorc": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("vorc._vorc", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build-python"}},
    zip_safe=False,
)
