"""Shared fixtures and reference signals for the orv package's tests.

The library is found as orv.Context finds it (ctest sets ORV_LIBRARY to the
built liborv.so)."""
from __future__ import annotations

import os
import pathlib

import numpy as np
import pytest

import orv

RATE = 48000
SOURCE_DIR = pathlib.Path(os.environ.get("ORV_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parents[2]))
DRY = orv.Room(reflectivity=0.0, enclosure=0.0)
"""No reverb: levels come from the direct sound alone."""


def library_version() -> int:
    with orv.Context(rate=RATE, threads=1) as ctx:
        return ctx.version


VERSION = library_version()
needs_v2 = pytest.mark.skipif(
    VERSION < 2, reason="needs interface version 2, which this liborv.so does not offer yet")


def noise(seconds: float, amplitude: float = 0.5, seed: int = 7) -> np.ndarray:
    """White noise with a fixed seed, float32 in -amplitude..amplitude."""
    rng = np.random.default_rng(seed)
    return rng.uniform(-amplitude, amplitude, int(seconds * RATE)).astype(np.float32)


def rms_db(samples: np.ndarray) -> np.ndarray:
    """RMS per column in dBFS."""
    return 10.0 * np.log10(np.mean(np.asarray(samples, np.float64) ** 2, axis=0) + 1e-30)


def steady(audio: np.ndarray, first_s: float = 0.3, last_s: float = 0.8) -> np.ndarray:
    """The part of a render where a sound played at once surely sounds: a version 1
    library starts plays up to a few thousand frames late on the wall clock."""
    return audio[int(first_s * RATE):int(last_s * RATE)]


@pytest.fixture
def ctx():
    with orv.Context(rate=RATE, threads=2) as context:
        context.listener(room=DRY)
        yield context
