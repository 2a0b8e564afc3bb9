"""Voice control of interface version 2: moving, stopping, looping, scheduled starts,
gain and speed, and loading an HRTF set. Skipped on a version 1 library."""
from __future__ import annotations

import numpy as np
import pytest

import orv
from conftest import RATE, SOURCE_DIR, needs_v2, noise, rms_db

pytestmark = needs_v2

SIDE_MARGIN_DB = 6.0
"""At azimuth 90 the carried set puts the near ear about 12 dB above the far ear."""
GAIN_TOLERANCE_DB = 0.5
SILENCE_DB = -90.0


def test_moved_voice_glides_to_the_other_side(ctx):
    voice = ctx.play(ctx.buffer(noise(0.5)), position=(2, 0, 0), space="listener", loop=True)
    before = rms_db(ctx.render(RATE // 2)[RATE // 4:])
    voice.move((-2, 0, 0))
    ctx.render(RATE // 10)  # the glide
    after = rms_db(ctx.render(RATE // 4))
    assert before[1] - before[0] > SIDE_MARGIN_DB
    assert after[0] - after[1] > SIDE_MARGIN_DB
    assert voice.state == orv.VoiceState.PLAYING


def test_stop_silences_a_loop_within_10_ms(ctx):
    voice = ctx.play(ctx.buffer(noise(0.05)), space="local", loop=True)
    assert rms_db(ctx.render(RATE // 5)[RATE // 10:]).max() > -20
    voice.stop()
    ctx.render(RATE // 100)
    assert rms_db(ctx.render(RATE // 10)).max() < SILENCE_DB
    assert voice.state == orv.VoiceState.ENDED


def test_loop_outlasts_its_buffer_and_a_one_shot_ends(ctx):
    short = ctx.buffer(noise(0.1))
    looped = ctx.play(short, position=(0, 0, 2), space="listener", loop=True)
    once = ctx.play(short, position=(0, 0, 2), space="listener")
    audio = ctx.render(RATE)
    assert looped.state == orv.VoiceState.PLAYING
    assert once.state == orv.VoiceState.ENDED
    # Ten repetitions later the loop alone plays at an even level.
    late = [rms_db(audio[a:a + RATE // 10]).max() for a in (RATE // 2, 8 * RATE // 10)]
    assert late[0] == pytest.approx(late[1], abs=GAIN_TOLERANCE_DB)


def test_scheduled_start_lands_on_its_frame(ctx):
    click = np.zeros(64, np.float32)
    click[0] = 1.0
    start = ctx.frame + 1000
    voice = ctx.play(ctx.buffer(click), space="local", start=start)
    assert voice.state == orv.VoiceState.WAITING
    audio = ctx.render(2048)
    assert np.flatnonzero(np.abs(audio).max(axis=1) > 1e-6)[0] == 1000


def test_volume_ramps_to_its_new_gain(ctx):
    voice = ctx.play(ctx.buffer(noise(0.2)), space="local", loop=True)
    full = rms_db(ctx.render(RATE // 4)[RATE // 8:])
    voice.volume = 0.5
    ctx.render(RATE // 10)
    half = rms_db(ctx.render(RATE // 8))
    np.testing.assert_allclose(full - half, 6.02, atol=GAIN_TOLERANCE_DB)
    assert voice.volume == 0.5
    voice.speed = 1.5
    assert voice.speed == 1.5


def test_released_voice_is_refused(ctx):
    voice = ctx.play(ctx.buffer(noise(0.1)), space="local")
    voice.release()
    with pytest.raises(orv.OrvError, match="released"):
        voice.stop()


def test_load_hrtf_takes_a_data_set_and_refuses_garbage(ctx):
    ctx.load_hrtf(SOURCE_DIR / "data" / "kemar_48k_128.orvhrtf")
    with pytest.raises(orv.OrvError, match="Invalid ORV HRTF data"):
        ctx.load_hrtf(b"ORVHRTFD garbage")
