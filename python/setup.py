"""Builds the compiled part of the module with the project's CMake build
(the detector library and python/src), for the interpreter running pip, and
puts it in the package. The source tree around this folder is used as it
stands, so pip must build in place: pip 21.3 and later do.

    python3 -m venv --system-site-packages venv
    venv/bin/pip install --no-build-isolation --no-index ./python
"""
import os
import re
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(lintrace VERSION (\S+)", f.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, extension):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        target = os.path.abspath(os.path.dirname(self.get_ext_fullpath(extension.name)))
        jobs = os.environ.get("JOBS", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                        "-DLINTRACE_PYTHON=ON", "-DPython3_EXECUTABLE=" + sys.executable], check=True)
        subprocess.run(["cmake", "--build", build, "-j", jobs, "--target", "lintrace_python"], check=True)
        built = os.path.join(build, "python", "lintrace")
        name = next(f for f in os.listdir(built) if f.startswith("_lintrace") and f.endswith(".so"))
        os.makedirs(target, exist_ok=True)
        self.copy_file(os.path.join(built, name), os.path.join(target, os.path.basename(self.get_ext_fullpath(extension.name))))


setup(version=project_version(), ext_modules=[Extension("lintrace._lintrace", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
