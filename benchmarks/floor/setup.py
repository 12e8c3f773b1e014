# The floor extension, built only into the benchmarks' own environment.
from setuptools import Extension, setup

setup(
    name="zelvo-floor",
    version="0.1.0",
    ext_modules=[Extension("zelvo_floor", ["floor.c"], extra_compile_args=["-O2"])],
)
