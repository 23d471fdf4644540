"""The wheel of `make wheel`, installed alone into a fresh virtual environment and used from outside
the source tree: it must carry everything it loads, so that it installs on any manylinux host."""

import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DIST = ROOT / "dist"
README = ROOT / "README.md"

# Loads ICU (the NFC test) and libcrypto (HMAC), then lists the shared libraries of the process.
LOADED_LIBRARIES_PROBE = """
import kest_engine_native as k
k.world_state_hash("key", '{"entities": {}}')
print(k.__file__)
for line in open("/proc/self/maps"):
    if ".so" in line:
        print(line.split()[-1])
"""

README_DOCTEST = f"""
import doctest, sys
failures, tried = doctest.testfile({str(README)!r}, module_relative=False)
sys.exit(failures > 0 or tried < 40)
"""


@pytest.fixture(scope="module")
def wheel() -> pathlib.Path:
    wheels = sorted(DIST.glob("*.whl"))
    assert len(wheels) == 1, f"missing test data: exactly one wheel in {DIST} (make wheel builds it), found {wheels}"
    return wheels[0]


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory) -> pathlib.Path:
    """A virtual environment that has seen nothing but the wheel: no system site packages, no index."""
    home = tmp_path_factory.mktemp("wheel-venv")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", home], check=True, timeout=120)
    python = home / "bin" / "python"
    install = [sys.executable, "-m", "pip", "--python", python, "install", "-q", "--no-index", "--no-deps", wheel]
    subprocess.run(install, check=True, timeout=300, env=os.environ | {"PIP_DISABLE_PIP_VERSION_CHECK": "1"})
    return home


def run_in(venv: pathlib.Path, cwd: pathlib.Path, *command) -> subprocess.CompletedProcess:
    """`command` from the venv's bin/, in `cwd`, with nothing of this checkout on any path."""
    env = {"PATH": f"{venv / 'bin'}{os.pathsep}{os.defpath}", "LC_ALL": "C.UTF-8"}
    done = subprocess.run(
        [venv / "bin" / command[0], *command[1:]], cwd=cwd, env=env, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def site_packages(venv: pathlib.Path) -> pathlib.Path:
    (found,) = (venv / "lib").glob("python3.*/site-packages")
    return found.resolve()


@pytest.mark.parametrize(
    "member",
    [
        r"kest_engine_native\.abi3\.so",
        r"kest_engine_native\.pyi",
        r"kest/__init__\.py",
        r"kest/cli\.py",
        r"kest/data/world\.json",
        r"kest/data/ruleset\.json",
        # The world page `kest serve` serves: files that are not Python travel in the package too.
        r"kest/server/page/index\.html",
        r"kest/server/page/page\.css",
        r"kest/server/page/page\.js",
        r"kest_engine_native\.libs/libicuuc-[0-9a-f]+\.so\.\d+(\.\d+)*",
        r"kest_engine_native\.libs/libicudata-[0-9a-f]+\.so\.\d+(\.\d+)*",
        r"kest_engine_native\.libs/libcrypto-[0-9a-f]+\.so\.\d+(\.\d+)*",
        r"kest_engine_native-[0-9.]+\.dist-info/entry_points\.txt",
    ],
)
def test_wheel_holds(wheel, member):
    names = zipfile.ZipFile(wheel).namelist()
    assert [name for name in names if re.fullmatch(member, name)], names


def test_wheel_is_one_manylinux_abi3_wheel_with_the_console_script(wheel):
    assert re.fullmatch(r"kest_engine_native-[0-9.]+-cp311-abi3-manylinux_\d+_\d+_x86_64\.whl", wheel.name)
    with zipfile.ZipFile(wheel) as archive:
        (entry_points,) = (name for name in archive.namelist() if name.endswith(".dist-info/entry_points.txt"))
        assert "kest = kest.cli:main" in archive.read(entry_points).decode()


def test_module_loads_the_libraries_inside_the_wheel(venv, tmp_path):
    module, *libraries = run_in(venv, tmp_path, "python", "-I", "-c", LOADED_LIBRARIES_PROBE).stdout.splitlines()
    installed = site_packages(venv)
    assert pathlib.Path(module).resolve().parent == installed
    carried = [pathlib.Path(path) for path in libraries if re.search(r"/lib(icu|crypto)", path)]
    assert {path.name.split("-")[0] for path in carried} >= {"libicuuc", "libicudata", "libcrypto"}, libraries
    assert all(path.resolve().parent == installed / "kest_engine_native.libs" for path in carried), carried


@pytest.mark.parametrize(
    ("command", "expected"),
    [
        (["python", "-I", "-c", README_DOCTEST], ""),
        (["kest", "--help"], "usage: kest"),
        (["python", "-I", "-m", "kest.cli", "--help"], "usage: "),
    ],
    ids=["readme-doctest", "console-script", "module-cli"],
)
def test_installed_wheel_works_outside_the_source_tree(venv, tmp_path, command, expected):
    assert expected in run_in(venv, tmp_path, *command).stdout
