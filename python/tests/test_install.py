"""The installed package finds the installed library, tool and data by itself."""
from __future__ import annotations

import os
import subprocess
import sys

import pytest

BUILD_DIR = os.environ.get("ORV_BUILD_DIR")
CMAKE = os.environ.get("ORV_CMAKE", "cmake")


@pytest.mark.skipif(not BUILD_DIR, reason="ORV_BUILD_DIR (set by ctest) names no build to install")
def test_installed_package_uses_its_own_installation(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", str(prefix)], check=True,
                   capture_output=True)
    probe = ("import orv, orv.hrtf, orv.scene\n"
             "with orv.Context() as ctx: print(ctx.library_path)\n"
             "print(orv.hrtf.carried_set_path())\n"
             "print(orv.scene.find_render_tool())\n")
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("ORV_LIBRARY", "ORV_RENDER", "PYTHONPATH")}
    environment["PYTHONPATH"] = str(prefix / "share" / "orv" / "python")
    done = subprocess.run([sys.executable, "-c", probe], cwd=tmp_path, env=environment,
                          capture_output=True, text=True, check=True)
    found = done.stdout.split()
    assert len(found) == 3
    for path in found:
        assert os.path.realpath(path).startswith(os.path.realpath(prefix)), path
        assert os.path.isfile(path)
