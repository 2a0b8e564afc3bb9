"""Each picture command writes a non-empty image of the asked size."""
from __future__ import annotations

import re
import struct
import subprocess
import sys

import numpy as np
import pytest

import orv
from conftest import SOURCE_DIR


def image_size(path) -> tuple[int, int]:
    data = path.read_bytes()
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        return struct.unpack(">II", data[16:24])  # IHDR's width and height
    match = re.search(rb'<svg[^>]*width="(\d+)px" height="(\d+)px"', data)
    assert match, "no size in the SVG"
    return int(match[1]), int(match[2])


@pytest.mark.parametrize("command,extension", [("hrtf", "png"), ("render", "svg"),
                                               ("scene", "png")])
def test_plot_command_writes_an_image_of_the_asked_size(tmp_path, command, extension):
    args = []
    if command == "render":
        t = np.arange(48000) / 48000
        pan = np.stack([np.cos(t), np.sin(t)], axis=1)
        orv.write_wav(tmp_path / "in.wav", 0.3 * np.sin(2 * np.pi * 440 * t)[:, None] * pan, 48000)
        args = [str(tmp_path / "in.wav")]
    elif command == "scene":
        args = [str(SOURCE_DIR / "examples" / "scenes" / "demo.json")]
    output = tmp_path / f"out.{extension}"
    subprocess.run([sys.executable, "-m", "orv.plot", command, *args, "-o", str(output),
                    "--size", "640x480"], check=True)
    assert output.stat().st_size > 1000
    assert image_size(output) == (640, 480)


def test_plot_refuses_an_unknown_format(tmp_path):
    done = subprocess.run([sys.executable, "-m", "orv.plot", "hrtf", "-o",
                           str(tmp_path / "x.jpg")], capture_output=True, text=True)
    assert done.returncode == 1 and ".png or .svg" in done.stderr
