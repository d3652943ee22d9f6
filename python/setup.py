"""Packs the built plug-ins and the generated plug-in table with the sources.

The table (_plugins.py) and the libraries come from a CMake build folder:
TAVRIN_BUILD_DIR, else the build folder of the checkout this file sits in.
The copy CMake assembles in the build folder already holds both.
"""

import os
import runpy
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "tavrin")
SUFFIX = ".dll" if os.name == "nt" else ".so"


def generated_files():
    """(source, name in the package) of the table and each built library."""
    table = os.path.join(PACKAGE, "_plugins.py")
    if os.path.isfile(table):
        bin_dir = PACKAGE
    else:
        build = os.environ.get("TAVRIN_BUILD_DIR") or os.path.join(os.path.dirname(HERE), "build")
        table = os.path.join(build, "generated", "_plugins.py")
        bin_dir = os.path.join(build, "bin")
        if not os.path.isfile(table):
            raise SystemExit("tavrin: %s is missing: build the plug-ins first (cmake -S . -B "
                             "build && cmake --build build) or set TAVRIN_BUILD_DIR" % table)
    files = [(table, "_plugins.py")]
    for row in runpy.run_path(table)["PLUGINS"]:
        library = os.path.join(bin_dir, row[1] + SUFFIX)
        if os.path.isfile(library):
            files.append((library, row[1] + SUFFIX))
        else:
            print("tavrin: %s is not built; the package will look for it at run time" % library)
    return files


class BuildWithPlugins(build_py):
    def run(self):
        super().run()
        target = os.path.join(self.build_lib, "tavrin")
        os.makedirs(target, exist_ok=True)
        for source, name in generated_files():
            shutil.copy2(source, os.path.join(target, name))


class PlatformDistribution(Distribution):
    # The libraries inside are for this platform only.
    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithPlugins}, distclass=PlatformDistribution)
