"""The C records of ``orv/orv.h`` in ctypes, and finding and opening ``liborv.so``.

Nothing here is Pythonic; :mod:`orv.context` builds the friendly classes on it.
"""
from __future__ import annotations

import ctypes
import os
import pathlib
from typing import Optional, Sequence

MAGIC = 0x4F5256
MAX_RENDER_FRAMES = 65536

SPACE_LOCAL, SPACE_LISTENER, SPACE_WORLD = 0, 1, 2
VOICE_ENDED, VOICE_WAITING, VOICE_PLAYING = 0, 1, 2
OPTION_LOAD_CONTROL, OPTION_DOPPLER_FACTOR, OPTION_SPEED_OF_SOUND, OPTION_OFFLINE = 1, 2, 3, 4


class Vector3(ctypes.Structure):
    _fields_ = [("x", ctypes.c_float), ("y", ctypes.c_float), ("z", ctypes.c_float)]


LowPassCallback = ctypes.CFUNCTYPE(None, ctypes.POINTER(Vector3), ctypes.POINTER(ctypes.c_float),
                                   ctypes.c_void_p)
LogCallback = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)


class InitParam(ctypes.Structure):
    _fields_ = [("samplingRate", ctypes.c_double),
                ("lowPassCallback", LowPassCallback),
                ("lowPassUserData", ctypes.c_void_p),
                ("numThreads", ctypes.c_int32),
                ("maxPolyphonics", ctypes.c_int32),
                ("logCallback", LogCallback),
                ("logUserData", ctypes.c_void_p)]


class BufferParam(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p),
                ("bits", ctypes.c_int32),
                ("numChannels", ctypes.c_int32),
                ("numSamples", ctypes.c_int32),
                ("samplingRate", ctypes.c_double)]


class PlayParam(ctypes.Structure):
    _fields_ = [("volume", ctypes.c_float),
                ("speed", ctypes.c_float),
                ("referenceDistance", ctypes.c_float)]


class ReverbParam(ctypes.Structure):
    _fields_ = [("reflectivity", ctypes.c_float),
                ("roomVolume", ctypes.c_float),
                ("roomArea", ctypes.c_float),
                ("roomSize", ctypes.c_float),
                ("enclosure", ctypes.c_float)]


class VoiceParam(ctypes.Structure):
    """``OrvVoiceParam`` of interface version 2."""
    _fields_ = [("volume", ctypes.c_float),
                ("speed", ctypes.c_float),
                ("referenceDistance", ctypes.c_float),
                ("space", ctypes.c_int32),
                ("loop", ctypes.c_int32),
                ("position", Vector3),
                ("velocity", Vector3),
                ("startFrame", ctypes.c_int64)]


# Opaque handles travel as plain pointers.
_ctx = ctypes.c_void_p
_handle = ctypes.c_void_p
_vec = ctypes.POINTER(Vector3)

_V1_MEMBERS = [
    ("context", _ctx),
    ("Init", ctypes.CFUNCTYPE(None, _ctx, ctypes.POINTER(InitParam))),
    ("Destroy", ctypes.CFUNCTYPE(None, _ctx)),
    ("CheckError", ctypes.CFUNCTYPE(ctypes.c_char_p, _ctx)),
    ("CreateBuffer", ctypes.CFUNCTYPE(_handle, _ctx, ctypes.POINTER(BufferParam))),
    ("FreeBuffer", ctypes.CFUNCTYPE(None, _ctx, _handle)),
    ("Respatialize", ctypes.CFUNCTYPE(None, _ctx, _vec, _vec, _vec, ctypes.POINTER(ReverbParam))),
    ("PlayAbsolute", ctypes.CFUNCTYPE(None, _ctx, _handle, _vec, ctypes.POINTER(PlayParam))),
    ("PlayRelative", ctypes.CFUNCTYPE(None, _ctx, _handle, _vec, ctypes.POINTER(PlayParam))),
    ("PlayLocal", ctypes.CFUNCTYPE(None, _ctx, _handle, ctypes.POINTER(PlayParam))),
    ("Render", ctypes.CFUNCTYPE(None, _ctx, ctypes.POINTER(ctypes.c_float), ctypes.c_int)),
]

_V2_MEMBERS = [
    ("Play", ctypes.CFUNCTYPE(_handle, _ctx, _handle, ctypes.POINTER(VoiceParam))),
    ("MoveVoice", ctypes.CFUNCTYPE(None, _ctx, _handle, _vec, _vec)),
    ("SetVoiceVolume", ctypes.CFUNCTYPE(None, _ctx, _handle, ctypes.c_float)),
    ("SetVoiceSpeed", ctypes.CFUNCTYPE(None, _ctx, _handle, ctypes.c_float)),
    ("StopVoice", ctypes.CFUNCTYPE(None, _ctx, _handle)),
    ("VoiceState", ctypes.CFUNCTYPE(ctypes.c_int32, _ctx, _handle)),
    ("ReleaseVoice", ctypes.CFUNCTYPE(None, _ctx, _handle)),
    ("FrameClock", ctypes.CFUNCTYPE(ctypes.c_int64, _ctx)),
    ("SetListenerVelocity", ctypes.CFUNCTYPE(None, _ctx, _vec)),
    ("LoadHrtf", ctypes.CFUNCTYPE(None, _ctx, ctypes.c_void_p, ctypes.c_int64)),
    ("SetOption", ctypes.CFUNCTYPE(None, _ctx, ctypes.c_int32, ctypes.c_double)),
    ("ClearError", ctypes.CFUNCTYPE(None, _ctx)),
]


class ContextTable(ctypes.Structure):
    """``OrvContext2``; its first eleven members are version 1's ``OrvContext``,
    so the same record serves a library that only fills those."""
    _fields_ = _V1_MEMBERS + _V2_MEMBERS


LIBRARY_NAMES = ("liborv.so.1", "liborv.so")


def _package_dir() -> pathlib.Path:
    return pathlib.Path(__file__).resolve().parent


def _installed_candidates() -> list[pathlib.Path]:
    """The library of the installation this package belongs to, if installed."""
    try:
        from . import _install  # written by ``cmake --install``
    except ImportError:
        return []
    prefix = (_package_dir() / _install.PACKAGE_TO_PREFIX).resolve()
    return [prefix / _install.LIBDIR / name for name in LIBRARY_NAMES]


def _build_tree_candidates() -> list[pathlib.Path]:
    """Libraries built in this source tree: build/release first, then the newest."""
    build = _package_dir().parent.parent / "build"
    if not build.is_dir():
        return []
    folders = sorted((d for d in build.iterdir() if d.is_dir()),
                     key=lambda d: (d.name != "release", -d.stat().st_mtime))
    return [d / name for d in folders for name in LIBRARY_NAMES]


def find_library(path: Optional[os.PathLike | str] = None) -> str:
    """Where ``liborv.so`` is: ``path`` if given, else ``$ORV_LIBRARY``, else the
    library installed with this package, else one built in this source tree, else
    whatever the dynamic loader finds as ``liborv.so.1``."""
    if path is not None:
        return os.fspath(path)
    if os.environ.get("ORV_LIBRARY"):
        return os.environ["ORV_LIBRARY"]
    for candidate in _installed_candidates() + _build_tree_candidates():
        if candidate.is_file():
            return str(candidate)
    return LIBRARY_NAMES[0]


_opened: dict[str, ctypes.CDLL] = {}


def open_library(path: Optional[os.PathLike | str] = None) -> tuple[ctypes.CDLL, str]:
    """Opens (once per path) and returns the library and the path it was found at."""
    where = find_library(path)
    if where not in _opened:
        library = ctypes.CDLL(where)
        library.OrvInitialize.restype = ctypes.c_char_p
        library.OrvInitialize.argtypes = [ctypes.c_size_t, ctypes.c_int32,
                                          ctypes.POINTER(ContextTable)]
        _opened[where] = library
    return _opened[where], where


def initialize(library: ctypes.CDLL, versions: Sequence[int] = (2, 1)) -> tuple[ContextTable, int]:
    """Fills a table with the first of ``versions`` the library accepts.

    Returns the table and its version; raises RuntimeError with the library's
    text of the last refusal when none is accepted."""
    failure = b""
    for version in versions:
        table = ContextTable()
        failure = library.OrvInitialize(MAGIC, version, ctypes.byref(table))
        if failure is None:
            return table, version
    raise RuntimeError(failure.decode("utf-8", "replace"))
