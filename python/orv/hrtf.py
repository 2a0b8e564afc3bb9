"""Reading ORVHRTFD data sets and the cues they carry: level and time differences
between the ears, and magnitude responses.

The format (little-endian, packed): ``ORVHRTFD``, int32 ring count; per ring a
float32 elevation and an int32 angle count; per angle a float32 azimuth (0..180,
clockwise: 90 is the right), an int32 tap count N and N float32 left-ear then N
right-ear samples. Sources on the left use the mirrored angle with the ears swapped.
"""
from __future__ import annotations

import dataclasses
import os
import pathlib
import struct
from typing import Optional, Union

import numpy as np

SIGNATURE = b"ORVHRTFD"
CARRIED_RATE = 48000.0
"""The carried set's rate: the format itself does not record one."""


@dataclasses.dataclass
class Ring:
    """The responses measured at one elevation."""
    elevation: float
    azimuths: np.ndarray
    """Degrees, ascending within 0..180."""
    left: np.ndarray
    """``(angles, taps)`` left-ear impulse responses."""
    right: np.ndarray
    """``(angles, taps)`` right-ear impulse responses."""


def carried_set_path() -> pathlib.Path:
    """The data set the library carries: installed beside the package, or in the
    source tree."""
    package = pathlib.Path(__file__).resolve().parent
    try:
        from . import _install
        installed = (package / _install.PACKAGE_TO_PREFIX).resolve() / _install.DATADIR
        if (installed / "kemar_48k_128.orvhrtf").is_file():
            return installed / "kemar_48k_128.orvhrtf"
    except ImportError:
        pass
    return package.parent.parent / "data" / "kemar_48k_128.orvhrtf"


def read_hrtf(source: Optional[Union[str, os.PathLike, bytes]] = None) -> list[Ring]:
    """Parses an ORVHRTFD data set (a path or its bytes; None: the carried set)."""
    if source is None:
        source = carried_set_path()
    data = bytes(source) if isinstance(source, (bytes, bytearray)) else pathlib.Path(source).read_bytes()
    if data[:8] != SIGNATURE:
        raise ValueError("not an ORVHRTFD data set")
    at = 8

    def take(fmt: str):
        nonlocal at
        size = struct.calcsize(fmt)
        if at + size > len(data):
            raise ValueError("ORVHRTFD data set truncated")
        values = struct.unpack_from(fmt, data, at)
        at += size
        return values

    (ring_count,) = take("<i")
    rings = []
    for _ in range(ring_count):
        elevation, angle_count = take("<fi")
        azimuths, lefts, rights = [], [], []
        for _ in range(angle_count):
            azimuth, taps = take("<fi")
            if taps < 4 or taps & (taps - 1):
                raise ValueError(f"bad tap count {taps}")
            samples = np.array(take(f"<{2 * taps}f"), dtype=np.float32)
            azimuths.append(azimuth)
            lefts.append(samples[:taps])
            rights.append(samples[taps:])
        rings.append(Ring(elevation, np.array(azimuths), np.array(lefts), np.array(rights)))
    return rings


def level_difference_db(ring: Ring) -> np.ndarray:
    """Right minus left ear energy per azimuth, in dB (positive: right louder)."""
    tiny = 1e-20
    right = np.sum(ring.right.astype(np.float64) ** 2, axis=1) + tiny
    left = np.sum(ring.left.astype(np.float64) ** 2, axis=1) + tiny
    return 10.0 * np.log10(right / left)


def time_difference_s(ring: Ring, rate: float = CARRIED_RATE, oversample: int = 16) -> np.ndarray:
    """How much later the left ear hears than the right, per azimuth, in seconds: the
    lag of the peak of the ears' cross-correlation below 1.5 kHz (where the time
    difference is the cue; above, the pinna's notches make false peaks), interpolated
    to 1/``oversample`` of a sample."""
    taps = ring.left.shape[1]
    n = 2 * taps * oversample
    left = np.fft.rfft(ring.left.astype(np.float64), 2 * taps, axis=1)
    right = np.fft.rfft(ring.right.astype(np.float64), 2 * taps, axis=1)
    frequencies = np.fft.rfftfreq(2 * taps, 1.0 / rate)
    # A raised-cosine roll-off from 1 to 2 kHz, so the band edge does not ring.
    band = np.clip((2000.0 - frequencies) / 1000.0, 0.0, 1.0)
    band = 0.5 - 0.5 * np.cos(np.pi * band)
    # Zero-padding the cross spectrum to n points interpolates the correlation.
    correlation = np.fft.irfft(left * np.conj(right) * band, n, axis=1)
    lag = np.argmax(correlation, axis=1)
    lag = np.where(lag > n // 2, lag - n, lag)
    return lag / (oversample * float(rate))


def magnitude_db(responses: np.ndarray, fft_size: int = 1024) -> np.ndarray:
    """Magnitude responses in dB of ``(…, taps)`` impulse responses, over
    ``fft_size // 2 + 1`` frequencies."""
    spectrum = np.abs(np.fft.rfft(responses.astype(np.float64), fft_size, axis=-1))
    return 20.0 * np.log10(np.maximum(spectrum, 1e-6))
