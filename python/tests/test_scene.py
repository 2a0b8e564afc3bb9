"""Scenes rendered through orv-render, and the WAV files between them."""
from __future__ import annotations

import numpy as np
import pytest

import orv
from orv.scene import find_render_tool
from conftest import SOURCE_DIR, rms_db

try:
    find_render_tool()
    HAVE_TOOL = True
except orv.OrvError:
    HAVE_TOOL = False
needs_tool = pytest.mark.skipif(not HAVE_TOOL, reason="orv-render is not built")

SIDE_MARGIN_DB = 6.0


@needs_tool
def test_scene_file_renders_with_the_source_on_the_right():
    rendered = orv.render_scene(SOURCE_DIR / "examples" / "scenes" / "tests_right.json")
    assert rendered.rate == 48000
    assert rendered.audio.shape == (72000, 2) and rendered.audio.dtype == np.float32
    level = rms_db(rendered.audio[4800:])
    assert level[1] - level[0] > SIDE_MARGIN_DB


@needs_tool
def test_scene_dict_renders_and_its_mistakes_raise_the_tool_message():
    scene = {"duration": 0.25, "sounds": {"a": {"generator": "sine", "duration": 0.2}},
             "events": [{"time": 0, "sound": "a", "mode": "local"}]}
    rendered = orv.render_scene(scene, rate=32000)
    assert rendered.audio.shape == (8000, 2) and rendered.rate == 32000
    scene["events"][0]["volme"] = 1
    with pytest.raises(orv.OrvError, match=r"\$\.events\[0\]\.volme: unknown key"):
        orv.render_scene(scene)


@pytest.mark.parametrize("encoding,tolerance", [("float", 0.0), ("pcm16", 0.5 / 32768)])
def test_wav_round_trip(tmp_path, encoding, tolerance):
    audio = np.random.default_rng(3).uniform(-1, 1, (1001, 2)).astype(np.float32)
    orv.write_wav(tmp_path / "x.wav", audio, 44100, encoding)
    back, rate = orv.read_wav(tmp_path / "x.wav")
    assert rate == 44100 and back.shape == audio.shape
    np.testing.assert_allclose(back, audio, atol=tolerance)
