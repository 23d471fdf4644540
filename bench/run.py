"""Runs every benchmark of the engine and prints its figures as ratios measured in one run.

Each module `bench/bench_*.py` defines `run(quick: bool) -> list[tuple[str, str]]`, returning
(figure, value) rows. `python bench/run.py [--quick] [NAME ...]` runs all of them, or those named.
"""

import argparse
import importlib.util
import os
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def load(path: pathlib.Path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller workloads, for a smoke run")
    parser.add_argument("names", nargs="*", help="benchmark names, e.g. primitives (default: all)")
    parser.add_argument("--build-dir", help="CMake build directory of the C++ benchmark programs ($KEST_BUILD_DIR)")
    args = parser.parse_args()
    if args.build_dir:
        os.environ["KEST_BUILD_DIR"] = str(pathlib.Path(args.build_dir).resolve())
    sys.path.insert(0, str(HERE))
    paths = sorted(HERE.glob("bench_*.py"))
    if args.names:
        paths = [p for p in paths if p.stem.removeprefix("bench_") in args.names]
    for path in paths:
        print(f"== {path.stem.removeprefix('bench_')}")
        for figure, value in load(path).run(args.quick):
            print(f"  {figure:<64} {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
