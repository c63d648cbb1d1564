"""The Python module frameprobe, for `pip install .`: CMake builds it with pybind11.

Only Debian's packages are needed (pybind11-dev, python3-dev, python3-numpy, python3-setuptools,
python3-wheel, and what scripts/install-deps.sh installs for the driver), so no other package
registry is asked:

    python3 -m venv --system-site-packages venv
    venv/bin/pip install --no-build-isolation .

The CMake build lives in build/pip and is kept, so that a second install rebuilds only what
changed. FP_BUILD_DIR=DIR takes the module a CMake build of this tree already made instead (a
preset's build/dev, say, for the same Python): nothing is configured or compiled, which is how the
suite's install.pip test installs the module its own tests ran against.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
BUILD = ROOT / "build" / "pip"
BUILD.mkdir(parents=True, exist_ok=True)
VERSION = re.search(r"project\(frameprobe VERSION ([0-9.]+)",
                    (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    """Builds the module's target with CMake for the Python running pip."""

    def build_extension(self, ext):
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        build = os.environ.get("FP_BUILD_DIR")
        if build:
            build = pathlib.Path(build).resolve()
        else:
            build = BUILD
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release", "-DFP_BUILD_TESTS=OFF",
                            f"-DPython_EXECUTABLE={sys.executable}"], check=True)
            subprocess.run(["cmake", "--build", str(build), "--target", "frameprobe_python"],
                           check=True)
        # The file's name carries the Python version and platform this interpreter loads.
        module = build / "python" / "frameprobe" / target.name
        if not module.is_file():
            sys.exit(f"setup.py: {build} holds no {module.name}: a build without the module "
                     "(a sanitizer build, or no pybind11) or for another Python")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(module, target)
        # The type stubs are written by the build (the counters' properties from their list).
        shutil.copyfile(build / "python" / "frameprobe" / "_frameprobe.pyi",
                        target.parent / "_frameprobe.pyi")


setup(
    name="frameprobe",
    version=VERSION,
    description="Images from a NUDP camera into numpy arrays",
    license="MIT",
    packages=["frameprobe"],
    package_dir={"frameprobe": "python/frameprobe"},
    package_data={"frameprobe": ["py.typed"]},
    ext_modules=[Extension("frameprobe._frameprobe", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy"],
    python_requires=">=3.9",
    options={"egg_info": {"egg_base": str(BUILD)}},
    zip_safe=False,
)
