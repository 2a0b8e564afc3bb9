"""Orv from Python: real-time 3-D audio for headphones, rendered to numpy arrays.

A thin layer over ``liborv.so`` (through ctypes, nothing to compile)::

    import numpy as np, orv
    with orv.Context(rate=48000) as ctx:
        noise = ctx.buffer(np.random.default_rng(1).uniform(-0.3, 0.3, 48000).astype(np.float32))
        ctx.play(noise, position=(2, 0, 0), space="listener")   # two metres to the right
        audio = ctx.render(48000)                               # (48000, 2) float32

The library is found at the path given to :class:`Context`, else ``$ORV_LIBRARY``,
else beside this package when installed, else in this source tree's build folder.
Pictures: ``python3 -m orv.plot hrtf|render|scene ...``.
"""
from ._native import find_library
from .context import Buffer, Context, OrvError, Room, Voice, VoiceState
from .scene import Rendered, render_scene
from .wavfile import read_wav, write_wav

__all__ = ["Buffer", "Context", "OrvError", "Room", "Voice", "VoiceState", "Rendered",
           "find_library", "read_wav", "render_scene", "write_wav"]
