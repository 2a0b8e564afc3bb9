"""The package as a host uses it: positioned voices, buffers, the listener, rendering
and the library's errors. Runs against any interface version."""
from __future__ import annotations

import numpy as np
import pytest

import orv
from conftest import DRY, RATE, VERSION, noise, rms_db, steady

DISTANCE_LAW_TOLERANCE_DB = 1.0
"""The spatializer interpolates between measured directions; at one distance
against another the direction is the same, so little more than noise remains."""
SIDE_MARGIN_DB = 6.0
"""At azimuth 90 the carried set puts the near ear about 12 dB above the far ear."""
DTYPE_TOLERANCE_DB = 0.5
"""8-bit samples of a 0.5 noise are about 40 dB above their quantisation noise."""


def render_played(ctx: orv.Context, buffer: orv.Buffer, **play) -> np.ndarray:
    ctx.play(buffer, **play)
    return steady(ctx.render(RATE))


def test_positioned_voice_is_on_its_side_and_falls_6_db_per_doubled_distance(ctx):
    hiss = ctx.buffer(noise(1.0))
    right_2m = rms_db(render_played(ctx, hiss, position=(2, 0, 0), space="listener"))
    left_2m = rms_db(render_played(ctx, hiss, position=(-2, 0, 0), space="listener"))
    right_4m = rms_db(render_played(ctx, hiss, position=(4, 0, 0), space="listener"))

    assert right_2m[1] - right_2m[0] > SIDE_MARGIN_DB
    assert left_2m[0] - left_2m[1] > SIDE_MARGIN_DB
    # referenceDistance 1: the level goes as 1/d, so 2 m to 4 m is 6.02 dB.
    assert right_2m[1] - right_4m[1] == pytest.approx(6.02, abs=DISTANCE_LAW_TOLERANCE_DB)


def test_world_voice_follows_the_listener_turning(ctx):
    hiss = ctx.buffer(noise(1.0))
    # Two metres down -z, ahead of the rest pose. Facing +x, the listener's right
    # (front x up) is +z, so the sound is on its left; facing -x, on its right.
    ctx.listener(front=(1, 0, 0))
    turned = rms_db(render_played(ctx, hiss, position=(0, 0, -2)))
    ctx.listener(front=(-1, 0, 0))
    turned_back = rms_db(render_played(ctx, hiss, position=(0, 0, -2), space="world"))

    assert turned[0] - turned[1] > SIDE_MARGIN_DB
    assert turned_back[1] - turned_back[0] > SIDE_MARGIN_DB
    assert ctx.room == DRY


@pytest.mark.parametrize("dtype", [np.uint8, np.int16])
def test_integer_buffers_sound_as_their_float_equivalent(ctx, dtype):
    signal = noise(1.0)
    if dtype == np.uint8:
        samples = np.round(signal * 128 + 128).clip(0, 255).astype(np.uint8)
    else:
        samples = np.round(signal * 32768).astype(np.int16)
    as_float = rms_db(render_played(ctx, ctx.buffer(signal, RATE), position=(0, 0, 2),
                                    space="listener"))
    as_int = rms_db(render_played(ctx, ctx.buffer(samples, RATE), position=(0, 0, 2),
                                  space="listener"))
    np.testing.assert_allclose(as_int, as_float, atol=DTYPE_TOLERANCE_DB)


def test_stereo_buffer_played_locally_keeps_its_channels_and_level(ctx):
    left = noise(1.0)
    left_only = np.stack([left, np.zeros(RATE, np.float32)], axis=1)
    level = rms_db(render_played(ctx, ctx.buffer(left_only), space="local"))
    # A local voice at volume 1 is neither positioned nor attenuated.
    assert level[0] == pytest.approx(rms_db(left), abs=DTYPE_TOLERANCE_DB)
    assert level[0] - level[1] > 40


def test_render_gives_float32_frames_by_2_across_block_boundaries(ctx):
    ctx.block = 300
    audio = ctx.render(1000)
    assert audio.shape == (1000, 2) and audio.dtype == np.float32
    assert np.all(np.isfinite(audio))
    assert ctx.render(0).shape == (0, 2)


def test_library_failures_raise_its_text_every_time_and_only_when_they_happen(ctx):
    hiss = ctx.buffer(noise(0.1))
    # The same failure twice in a row must be seen twice although the stored
    # text does not change, and a good call after it must not raise.
    for _ in range(2):
        with pytest.raises(orv.OrvError, match=r"^NaN gain\.$"):
            ctx.play(hiss, position=(1, 0, 0), volume=float("nan"))
    ctx.play(hiss, position=(1, 0, 0))
    with pytest.raises(orv.OrvError, match=r"^Speed is not positive\.$"):
        ctx.play(hiss, space="local", speed=0.0)
    with pytest.raises(orv.OrvError, match=r"^Invalid listener orientation\.$"):
        ctx.listener(front=(0, 1, 0), up=(0, 1, 0))
    hiss.free()
    with pytest.raises(orv.OrvError, match="freed"):
        ctx.play(hiss, space="local")
    with pytest.raises(TypeError):
        ctx.buffer(np.zeros(10, np.int32))
    with pytest.raises(ValueError):
        ctx.buffer(np.zeros((10, 3), np.float32))


def test_lowpass_callable_filters_world_voices():
    levels = []
    for coefficient in (1.0, 0.0):
        with orv.Context(rate=RATE, lowpass=lambda position, c=coefficient: c) as context:
            context.listener(room=DRY)
            context.play(context.buffer(noise(1.0)), position=(0, 0, -2))
            levels.append(rms_db(steady(context.render(RATE))).max())
    # Coefficient 0 is the library's strongest filtering: white noise drops by
    # about 30 dB; 20 dB leaves room for the engine's own smoothing.
    assert levels[0] > -40 and levels[1] < levels[0] - 20


def test_init_failures_raise_the_library_text():
    with pytest.raises(orv.OrvError, match=r"^Invalid thread count: 0$"):
        orv.Context(threads=0)
    with pytest.raises(orv.OrvError, match=r"^Invalid sampling rate: 0\.0+$"):
        orv.Context(rate=0)


@pytest.mark.skipif(VERSION >= 2, reason="version 1 behaviour only")
def test_version_1_library_refuses_what_needs_version_2(ctx):
    hiss = ctx.buffer(noise(0.1))
    voice = ctx.play(hiss, position=(1, 0, 0))
    for action in (voice.stop, lambda: voice.move((0, 0, 1)), lambda: voice.state,
                   lambda: ctx.play(hiss, loop=True), lambda: ctx.load_hrtf(b"x")):
        with pytest.raises(orv.OrvError, match="needs interface version 2"):
            action()
