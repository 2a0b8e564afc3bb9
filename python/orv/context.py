"""Pythonic access to an Orv context: buffers, voices, the listener and rendering."""
from __future__ import annotations

import atexit
import collections
import ctypes
import dataclasses
import enum
import os
import threading
import weakref
from typing import Callable, Iterable, Optional, Sequence, Union

import numpy as np

from . import _native

VectorLike = Sequence[float]
PathLike = Union[str, os.PathLike]

_SPACES = {"local": _native.SPACE_LOCAL, "listener": _native.SPACE_LISTENER,
           "world": _native.SPACE_WORLD}
_OPTIONS = {"load_control": _native.OPTION_LOAD_CONTROL,
            "doppler_factor": _native.OPTION_DOPPLER_FACTOR,
            "speed_of_sound": _native.OPTION_SPEED_OF_SOUND,
            "offline": _native.OPTION_OFFLINE}
_BITS = {np.dtype(np.uint8): 8, np.dtype(np.int16): 16, np.dtype(np.float32): 32}

# A frame count this package never asks for; see Context._arm.
_MARKER_FRAMES = 0


class OrvError(RuntimeError):
    """A failure the library reported; ``str(error)`` is the library's own text."""


@dataclasses.dataclass(frozen=True)
class Room:
    """The room around the listener (the library's ``ReverbParam``).

    The defaults are a small, fairly dry room, as orv-render's.
    """
    reflectivity: float = 0.5
    """How much the walls reflect, 0..1; the reverb level grows with its fourth power."""
    volume: float = 60.0
    """Cubic metres; the reverb time grows with it."""
    area: float = 100.0
    """Square metres of wall; the reverb time falls with it."""
    size: float = 3.0
    """Metres; sources beyond 1.5 times this send less to the reverb."""
    enclosure: float = 1.0
    """How closed the space is, 0 (open air) .. 1."""

    def _param(self) -> _native.ReverbParam:
        return _native.ReverbParam(self.reflectivity, self.volume, self.area, self.size,
                                   self.enclosure)


class VoiceState(enum.IntEnum):
    """What a voice is doing (``ORV_VOICE_*``)."""
    ENDED = _native.VOICE_ENDED
    WAITING = _native.VOICE_WAITING
    PLAYING = _native.VOICE_PLAYING


def _vector(value: VectorLike, name: str) -> _native.Vector3:
    values = [float(v) for v in value]
    if len(values) != 3:
        raise ValueError(f"{name} must have three coordinates, not {len(values)}")
    return _native.Vector3(*values)


class Buffer:
    """Sound data copied into the library; play it with :meth:`Context.play`.

    Freed by :meth:`free`, when garbage collected, or when its context closes.
    Voices already playing keep their data.
    """

    def __init__(self, context: "Context", handle: int, frames: int, channels: int, rate: float):
        self._context = context
        self._handle: Optional[int] = handle
        self.frames = frames
        """Length in frames."""
        self.channels = channels
        """1 (mono, positioned binaurally) or 2 (stereo, never spatialized)."""
        self.rate = rate
        """Sampling rate in Hz; the library resamples to the context's rate."""

    @property
    def handle(self) -> int:
        """The library's handle; raises OrvError once freed."""
        if self._handle is None or self._context.closed:
            raise OrvError("The buffer has been freed.")
        return self._handle

    def free(self) -> None:
        """Gives the buffer back to the library. Further plays of it fail."""
        if self._handle is not None and not self._context.closed:
            self._context._call("FreeBuffer", self._handle)
        self._handle = None

    def __del__(self) -> None:
        if self._handle is not None:
            self._context._release_later("FreeBuffer", self._handle)

    def __repr__(self) -> str:
        return f"<orv.Buffer {self.frames} frames, {self.channels} ch, {self.rate:g} Hz>"


class Voice:
    """One played sound. Control needs interface version 2; on a version 1 library
    a voice can only be played and forgotten."""

    def __init__(self, context: "Context", handle: Optional[int], volume: float, speed: float):
        self._context = context
        self._handle = handle
        self._volume = volume
        self._speed = speed

    def _live(self) -> int:
        self._context._require_v2("Voice control")
        if self._handle is None or self._context.closed:
            raise OrvError("The voice has been released.")
        return self._handle

    def move(self, position: VectorLike, velocity: Optional[VectorLike] = None) -> None:
        """Moves the voice from the next block on, gliding there. ``position`` is in
        the voice's space (metres); ``velocity`` (m/s, same space) drives the Doppler
        shift, and None keeps the last one."""
        p = _vector(position, "position")
        v = None if velocity is None else ctypes.byref(_vector(velocity, "velocity"))
        self._context._call("MoveVoice", self._live(), ctypes.byref(p), v)

    def stop(self) -> None:
        """Fades the voice out over about 5 ms; then it ends."""
        self._context._call("StopVoice", self._live())

    @property
    def volume(self) -> float:
        """Linear gain; setting it ramps there."""
        return self._volume

    @volume.setter
    def volume(self, value: float) -> None:
        self._context._call("SetVoiceVolume", self._live(), float(value))
        self._volume = float(value)

    @property
    def speed(self) -> float:
        """Playback rate (2 is an octave up); setting it ramps there."""
        return self._speed

    @speed.setter
    def speed(self, value: float) -> None:
        self._context._call("SetVoiceSpeed", self._live(), float(value))
        self._speed = float(value)

    @property
    def state(self) -> VoiceState:
        """Whether the voice waits for its start, plays, or has ended."""
        return VoiceState(self._context._call("VoiceState", self._live()))

    def release(self) -> None:
        """Gives the handle back: a one-shot plays on to its end, a loop stops."""
        if (self._handle is not None and not self._context.closed
                and self._context.version >= 2):
            self._context._call("ReleaseVoice", self._handle)
        self._handle = None

    def __del__(self) -> None:
        if self._handle is not None and self._context.version >= 2:
            self._context._release_later("ReleaseVoice", self._handle)


_open_contexts: "weakref.WeakSet[Context]" = weakref.WeakSet()


@atexit.register
def _close_open_contexts() -> None:
    # The library's threads may call back into Python; they must be gone
    # before the interpreter is.
    for context in list(_open_contexts):
        context.close()


class Context:
    """An Orv rendering context: the library's threads, its voices and its room.

    Use it as a context manager, or call :meth:`close`::

        with orv.Context(rate=48000, threads=2) as ctx:
            tone = ctx.buffer(np.sin(np.arange(48000) * 0.05).astype(np.float32), 48000)
            ctx.play(tone, position=(2, 0, 0), space="listener")
            audio = ctx.render(48000)          # (48000, 2) float32

    On creation the listener stands at the origin looking down -z with +y up
    (so +x is on its right) in the default :class:`Room`. A version 1 library
    renders one block ahead and places plays by the wall clock, so a play lands a
    block or two after the frames already rendered.

    Args:
        rate: output sampling rate in Hz.
        threads: rendering threads, the library's render thread included.
        polyphony: most positioned voices playing at once.
        block: frames per ``Render`` call when :meth:`render` asks for more.
        offline: render each block when asked, with every call before it applied
            from its first frame: the output does not depend on timing (version 2;
            a version 1 library renders ahead on the wall clock).
        library: path of ``liborv.so``; see :func:`orv.find_library` for the default.
        version: interface version to ask for; by default 2, then 1.
        lowpass: called with a world voice's position, returns its low-pass
            coefficient in 0..1 (1: unfiltered). Runs on the library's threads.
        log: called with each message the library logs; by default they are
            kept in :attr:`messages`.
    """

    def __init__(self, rate: float = 48000, threads: int = 2, polyphony: int = 64, *,
                 block: int = 512, offline: bool = True,
                 library: Optional[PathLike] = None, version: Optional[int] = None,
                 lowpass: Optional[Callable[[tuple[float, float, float]], float]] = None,
                 log: Optional[Callable[[str], None]] = None):
        if not 1 <= block <= _native.MAX_RENDER_FRAMES:
            raise ValueError(f"block must be 1..{_native.MAX_RENDER_FRAMES}, not {block}")
        self.rate = float(rate)
        """Output sampling rate in Hz."""
        self.block = int(block)
        """Frames per ``Render`` call in :meth:`render`."""
        self.messages: collections.deque[str] = collections.deque(maxlen=1000)
        """The library's latest log messages (when no ``log`` callable was given)."""
        self._lock = threading.RLock()
        self._pending: list[tuple[str, int]] = []
        self._handle: Optional[int] = None
        self._room = Room()
        self._pose: tuple[VectorLike, VectorLike, VectorLike] = ((0, 0, 0), (0, 0, -1), (0, 1, 0))

        try:
            self._library, self.library_path = _native.open_library(library)
        except OSError as error:
            raise OrvError(f"cannot load liborv.so ({error}); pass its path as library= "
                           f"or set ORV_LIBRARY") from None
        self.library_path: str
        """Where the library was loaded from."""
        try:
            self._table, self.version = _native.initialize(
                self._library, (version,) if version else (2, 1))
        except RuntimeError as error:
            raise OrvError(str(error)) from None
        self.version: int
        """The interface version in use: 2, or 1 for an older library."""
        self._handle = self._table.context

        self._callbacks = self._make_callbacks(lowpass, log)
        param = _native.InitParam(self.rate, self._callbacks[0], None, int(threads),
                                  int(polyphony), self._callbacks[1], None)
        try:
            self._call("Init", ctypes.byref(param))
        except OrvError:
            self._table.Destroy(self._handle)
            self._handle = None
            raise
        _open_contexts.add(self)
        if self.version >= 2 and offline:
            self.set_option("offline", 1)
        self.listener(*self._pose, room=self._room)

    def _make_callbacks(self, lowpass: Optional[Callable[[tuple[float, float, float]], float]],
                        log: Optional[Callable[[str], None]]) -> tuple:
        """The C callbacks, kept on the context so that they live as long as it."""
        low = _native.LowPassCallback()  # NULL: world voices unfiltered
        if lowpass is not None:
            def low_pass(position, result, _user):
                p = position.contents
                try:
                    result[0] = float(lowpass((p.x, p.y, p.z)))
                except Exception:
                    result[0] = 1.0  # a failing callable must not reach the library
            low = _native.LowPassCallback(low_pass)
        sink = log if log is not None else self.messages.append

        def on_log(message, _user):
            try:
                sink(message.decode("utf-8", "replace"))
            except Exception:
                pass
        return low, _native.LogCallback(on_log)

    # --- calls and errors -------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once :meth:`close` ran."""
        return self._handle is None

    def _require_v2(self, what: str) -> None:
        if self.version < 2:
            raise OrvError(f"{what} needs interface version 2; "
                           f"{self.library_path} offers version {self.version}.")

    def _arm(self) -> None:
        """Makes the next failure visible. The stored text stays until a later failure
        replaces it; version 2 clears it. Version 1 cannot, so a failure this package
        never causes otherwise (Render of zero frames) sets a known text to compare with."""
        if self.version >= 2:
            self._table.ClearError(self._handle)
            self._baseline = None
            return
        self._baseline = self._table.CheckError(self._handle)
        if self._baseline is not None and self._initialized:
            scratch = (ctypes.c_float * 2)()
            self._table.Render(self._handle, scratch, _MARKER_FRAMES)
            self._baseline = self._table.CheckError(self._handle)

    _initialized = False
    _baseline: Optional[bytes] = None

    def _release_later(self, name: str, handle: int) -> None:
        """For finalizers: they may run inside a call, between its error check's
        steps, so the handle is given back at the start of the next call."""
        if self._handle is not None:
            self._pending.append((name, handle))

    def _call(self, name: str, *args):
        """Calls a table function; raises OrvError with the library's text if it failed."""
        with self._lock:
            if self._handle is None:
                raise OrvError("The context is closed.")
            while self._pending:
                pending, handle = self._pending.pop()
                getattr(self._table, pending)(self._handle, handle)
            self._arm()
            result = getattr(self._table, name)(self._handle, *args)
            text = self._table.CheckError(self._handle)
            if text is not None and text != self._baseline:
                raise OrvError(text.decode("utf-8", "replace"))
            if name == "Init":
                self._initialized = True
            return result

    # --- the table, Pythonic ----------------------------------------------

    def buffer(self, samples: np.ndarray, rate: Optional[float] = None) -> Buffer:
        """Copies sound into the library.

        Args:
            samples: uint8 (offset binary), int16 or float32 samples, shaped
                ``(frames,)`` or ``(frames, 1)`` for mono and ``(frames, 2)`` for
                stereo. float64 is converted to float32.
            rate: its sampling rate in Hz; by default the context's.
        """
        array = np.asarray(samples)
        if array.dtype == np.float64:
            array = array.astype(np.float32)
        if array.dtype not in _BITS:
            raise TypeError(f"samples must be uint8, int16 or float32, not {array.dtype}")
        if array.ndim == 1:
            array = array[:, None]
        if array.ndim != 2 or array.shape[1] not in (1, 2):
            raise ValueError(f"samples must be shaped (frames,), (frames, 1) or (frames, 2), "
                             f"not {np.shape(samples)}")
        array = np.ascontiguousarray(array)
        frames, channels = array.shape
        buffer_rate = self.rate if rate is None else float(rate)
        param = _native.BufferParam(array.ctypes.data, _BITS[array.dtype], channels, frames,
                                    buffer_rate)
        handle = self._call("CreateBuffer", ctypes.byref(param))
        return Buffer(self, handle, frames, channels, buffer_rate)

    def play(self, buffer: Buffer, position: Optional[VectorLike] = None,
             space: Optional[str] = None, loop: bool = False, volume: float = 1.0,
             speed: float = 1.0, reference_distance: float = 1.0,
             start: Optional[int] = None, velocity: Optional[VectorLike] = None) -> Voice:
        """Plays a buffer and returns its :class:`Voice`.

        Args:
            buffer: what to play. Mono is rendered binaurally; stereo only gets
                the distance gain.
            position: metres, in the listener's space (x right, y up, z front) for
                ``space="listener"``, or in the world for ``space="world"``.
            space: ``"world"``, ``"listener"`` or ``"local"`` (not positioned); by
                default ``"world"`` when a position is given, else ``"local"``.
            loop: repeat the whole buffer seamlessly until stopped (version 2).
            volume: linear gain.
            speed: playback rate, > 0.
            reference_distance: no distance attenuation while the squared distance
                is at most this; beyond, 6 dB less per doubling of distance.
            start: output frame (see :attr:`frame`) of the voice's first sample;
                None starts as soon as possible (version 2).
            velocity: metres per second in the voice's space, for the Doppler shift
                (version 2).
        """
        if space is None:
            space = "local" if position is None else "world"
        if space not in _SPACES:
            raise ValueError(f"space must be one of {', '.join(_SPACES)}, not {space!r}")
        if space != "local" and position is None:
            raise ValueError(f"a {space} voice needs a position")
        origin = _vector(position if position is not None else (0, 0, 0), "position")
        if self.version >= 2:
            param = _native.VoiceParam(
                float(volume), float(speed), float(reference_distance), _SPACES[space],
                1 if loop else 0, origin,
                _vector(velocity if velocity is not None else (0, 0, 0), "velocity"),
                -1 if start is None else int(start))
            handle = self._call("Play", buffer.handle, ctypes.byref(param))
            return Voice(self, handle, float(volume), float(speed))
        if loop:
            self._require_v2("A looping voice")
        if start is not None:
            self._require_v2("A scheduled start")
        if velocity is not None:
            self._require_v2("A voice velocity")
        param = _native.PlayParam(float(volume), float(speed), float(reference_distance))
        if space == "local":
            self._call("PlayLocal", buffer.handle, ctypes.byref(param))
        else:
            name = "PlayRelative" if space == "listener" else "PlayAbsolute"
            self._call(name, buffer.handle, ctypes.byref(origin), ctypes.byref(param))
        return Voice(self, None, float(volume), float(speed))

    def listener(self, eye: VectorLike = (0, 0, 0), front: VectorLike = (0, 0, -1),
                 up: VectorLike = (0, 1, 0), room: Optional[Room] = None,
                 velocity: Optional[VectorLike] = None) -> None:
        """Places the listener in the world: at ``eye``, looking along ``front`` with
        ``up`` up (its right is ``front`` x ``up``). ``room`` None keeps the last room.
        ``velocity`` (m/s, version 2) drives the Doppler shift."""
        room = self._room if room is None else room
        e, f, u = _vector(eye, "eye"), _vector(front, "front"), _vector(up, "up")
        self._call("Respatialize", ctypes.byref(e), ctypes.byref(f), ctypes.byref(u),
                   ctypes.byref(room._param()))
        self._room = room
        if velocity is not None:
            self._require_v2("A listener velocity")
            self._call("SetListenerVelocity", ctypes.byref(_vector(velocity, "velocity")))

    @property
    def room(self) -> Room:
        """The room last given to :meth:`listener`."""
        return self._room

    def render(self, frames: int) -> np.ndarray:
        """Renders the next ``frames`` frames: a ``(frames, 2)`` float32 array, left
        and right, in ``Render`` calls of at most :attr:`block` frames."""
        frames = int(frames)
        if frames < 0:
            raise ValueError(f"frames must not be negative, not {frames}")
        out = np.zeros((frames, 2), dtype=np.float32)
        base = out.ctypes.data
        stride = 2 * ctypes.sizeof(ctypes.c_float)
        done = 0
        while done < frames:
            n = min(self.block, frames - done)
            pointer = ctypes.cast(base + done * stride, ctypes.POINTER(ctypes.c_float))
            self._call("Render", pointer, n)
            done += n
        return out

    def load_hrtf(self, source: Union[PathLike, bytes]) -> None:
        """Swaps in another HRTF data set (ORVHRTFD, as ``orv-hrtf-convert`` writes
        it; a path or its bytes) at a block boundary. Version 2."""
        self._require_v2("Loading an HRTF data set")
        data = source if isinstance(source, (bytes, bytearray)) else open(source, "rb").read()
        block = ctypes.create_string_buffer(bytes(data), len(data))
        self._call("LoadHrtf", block, len(data))

    @property
    def frame(self) -> int:
        """Frames rendered since the context started: the clock ``start`` counts in
        (version 2)."""
        self._require_v2("The frame clock")
        return int(self._call("FrameClock"))

    def set_option(self, name: str, value: float) -> None:
        """Sets ``"load_control"`` (0: the polyphony limit stays put), ``"offline"``,
        ``"doppler_factor"`` (0 turns Doppler off) or ``"speed_of_sound"`` (m/s).
        Version 2."""
        if name not in _OPTIONS:
            raise ValueError(f"option must be one of {', '.join(_OPTIONS)}, not {name!r}")
        self._require_v2(f"The option {name}")
        self._call("SetOption", _OPTIONS[name], float(value))

    def close(self) -> None:
        """Stops the library's threads and frees every buffer and voice."""
        with self._lock:
            if self._handle is not None:
                self._table.Destroy(self._handle)
                self._handle = None
                _open_contexts.discard(self)

    def __enter__(self) -> "Context":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{self.rate:g} Hz"
        return f"<orv.Context {state}, interface version {self.version}>"
