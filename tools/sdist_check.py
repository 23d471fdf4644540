"""Builds a wheel from a source distribution alone and compares it with the wheel built in the
source tree: the same files, and the same bytes for everything but the compiled module.

    python tools/sdist_check.py SDIST WHEEL --work DIR

Exits 1 and lists the differences when they disagree.
"""

import argparse
import pathlib
import shutil
import subprocess
import sys
import tarfile
import zipfile


def build_wheel(sdist: pathlib.Path, work: pathlib.Path) -> pathlib.Path:
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    with tarfile.open(sdist) as archive:
        archive.extractall(work, filter="data")
    (source,) = (path for path in work.iterdir() if path.is_dir())
    out = work / "wheelhouse"
    pip = [sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", out, source]
    subprocess.run(pip, check=True)
    (wheel,) = out.glob("*.whl")
    return wheel


def contents(wheel: pathlib.Path) -> dict[str, bytes]:
    with zipfile.ZipFile(wheel) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def differences(built: dict[str, bytes], expected: dict[str, bytes]) -> list[str]:
    # The module's bytes and its line in RECORD may differ with the build directory's path.
    compared_loosely = (".so", "/RECORD")
    found = [f"only from the sdist: {name}" for name in sorted(built.keys() - expected.keys())]
    found += [f"missing from the sdist's wheel: {name}" for name in sorted(expected.keys() - built.keys())]
    found += [
        f"differs: {name}"
        for name in sorted(built.keys() & expected.keys())
        if not name.endswith(compared_loosely) and built[name] != expected[name]
    ]
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sdist", type=pathlib.Path)
    parser.add_argument("wheel", type=pathlib.Path, help="the wheel built in the source tree, before repair")
    parser.add_argument("--work", type=pathlib.Path, required=True, help="a directory this check may wipe")
    args = parser.parse_args()
    built = build_wheel(args.sdist.resolve(), args.work.resolve())
    if built.name != args.wheel.name:
        print(f"the sdist gives {built.name}, the source tree {args.wheel.name}")
        return 1
    found = differences(contents(built), contents(args.wheel))
    print("\n".join(found) or f"{built.name}: the same files as the source tree's wheel")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
