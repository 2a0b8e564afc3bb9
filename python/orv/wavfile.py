"""Reading and writing WAV files with the standard library and numpy.

Python's ``wave`` module reads only integer PCM; orv-render writes 32-bit float,
so the RIFF chunks are read here directly.
"""
from __future__ import annotations

import os
import struct
from typing import Union

import numpy as np

_PCM, _FLOAT, _EXTENSIBLE = 1, 3, 0xFFFE


def read_wav(path: Union[str, os.PathLike]) -> tuple[np.ndarray, int]:
    """Reads a WAV file (integer PCM of 8, 16, 24 or 32 bits, or float of 32 or 64).

    Returns ``(samples, rate)``: float32 samples shaped ``(frames, channels)``,
    integers scaled to -1..1.
    """
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError(f"{os.fspath(path)}: not a RIFF WAVE file")
    fmt = None
    at = 12
    while at + 8 <= len(data):
        chunk, size = struct.unpack_from("<4sI", data, at)
        body = data[at + 8:at + 8 + size]
        if chunk == b"fmt ":
            tag, channels, rate, _, align, bits = struct.unpack_from("<HHIIHH", body)
            if tag == _EXTENSIBLE and len(body) >= 26:
                tag = struct.unpack_from("<H", body, 24)[0]  # the sub-format GUID's first bytes
            fmt = (tag, channels, rate, align, bits)
        elif chunk == b"data":
            if fmt is None:
                raise ValueError(f"{os.fspath(path)}: data before the format chunk")
            return _decode(body, *fmt, path=path)
        at += 8 + size + (size & 1)  # chunks are padded to even sizes
    raise ValueError(f"{os.fspath(path)}: no audio data")


def _decode(body: bytes, tag: int, channels: int, rate: int, align: int, bits: int,
            path) -> tuple[np.ndarray, int]:
    frames = len(body) // align
    body = body[:frames * align]
    if tag == _FLOAT and bits in (32, 64):
        samples = np.frombuffer(body, dtype=f"<f{bits // 8}").astype(np.float32)
    elif tag == _PCM and bits == 8:
        samples = (np.frombuffer(body, dtype=np.uint8).astype(np.float32) - 128.0) / 128.0
    elif tag == _PCM and bits == 16:
        samples = np.frombuffer(body, dtype="<i2").astype(np.float32) / 32768.0
    elif tag == _PCM and bits == 24:
        raw = np.frombuffer(body, dtype=np.uint8).reshape(-1, 3).astype(np.int32)
        value = raw[:, 0] | (raw[:, 1] << 8) | (raw[:, 2] << 16)
        value = np.where(value >= 1 << 23, value - (1 << 24), value)
        samples = value.astype(np.float32) / float(1 << 23)
    elif tag == _PCM and bits == 32:
        samples = (np.frombuffer(body, dtype="<i4").astype(np.float64) / 2.0**31).astype(np.float32)
    else:
        raise ValueError(f"{os.fspath(path)}: unsupported WAV encoding (format {tag}, {bits} bits)")
    return samples.reshape(frames, channels), rate


def write_wav(path: Union[str, os.PathLike], samples: np.ndarray, rate: int,
              encoding: str = "float") -> None:
    """Writes ``samples`` (``(frames,)`` or ``(frames, channels)``) as a WAV file,
    ``encoding`` ``"float"`` (32-bit) or ``"pcm16"`` (clipped to -1..1)."""
    array = np.asarray(samples, dtype=np.float32)
    if array.ndim == 1:
        array = array[:, None]
    channels = array.shape[1]
    if encoding == "float":
        tag, bits, body = _FLOAT, 32, array.astype("<f4").tobytes()
    elif encoding == "pcm16":
        # The same scale as reading, so that a round trip is exact to half a step.
        scaled = np.clip(np.round(array * 32768.0), -32768, 32767)
        tag, bits, body = _PCM, 16, scaled.astype("<i2").tobytes()
    else:
        raise ValueError(f"encoding must be 'float' or 'pcm16', not {encoding!r}")
    align = channels * bits // 8
    fmt = struct.pack("<HHIIHH", tag, channels, int(rate), int(rate) * align, align, bits)
    chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(body)) + body
    if len(body) & 1:
        chunks += b"\0"
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks)
