"""Installs the vantrel package that the project's CMake build assembled.

    make python                                   # builds build/python/vantrel
    python3 -m pip install --no-build-isolation python/

Nothing is fetched or compiled here: the package folder of the build (the
module _vantrel, libdorvik beside it, and the Python sources) is installed
as it is. VANTREL_BUILD_DIR names another build folder than ../build.
"""

import os
import pathlib

from setuptools import setup

HERE = pathlib.Path(__file__).resolve().parent
BUILD = pathlib.Path(os.environ.get("VANTREL_BUILD_DIR", HERE.parent / "build"))
PACKAGE = BUILD / "python" / "vantrel"

if not any(PACKAGE.glob("_vantrel*.so")):
    raise SystemExit(f"no built module in {PACKAGE}: run `make python` first (or set VANTREL_BUILD_DIR)")

setup(
    name="vantrel",
    version="17.0.0",
    description="Vantrel tag access: current values, history as NumPy arrays and pandas frames",
    packages=["vantrel"],
    package_dir={"vantrel": os.path.relpath(PACKAGE, HERE)},
    package_data={"vantrel": ["_vantrel*.so", "libdorvik.so*"]},
    python_requires=">=3.9",
    install_requires=["numpy", "pandas"],
    zip_safe=False,
)
