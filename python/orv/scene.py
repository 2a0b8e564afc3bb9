"""Rendering orv-render scenes (see docs/scenes.md) into numpy arrays.

The scene is rendered by the ``orv-render`` tool, the same host the command
line uses, so a scene sounds the same from Python and from the shell.
"""
from __future__ import annotations

import copy
import json
import os
import pathlib
import shutil
import subprocess
import tempfile
from typing import Any, NamedTuple, Optional, Union

import numpy as np

from . import _native
from .context import OrvError
from .wavfile import read_wav

SceneLike = Union[str, os.PathLike, dict]


class Rendered(NamedTuple):
    """A rendered scene."""
    audio: np.ndarray
    """``(frames, 2)`` float32, left and right."""
    rate: int
    """Sampling rate in Hz."""
    summary: str
    """orv-render's summary: levels, voices, the library's messages."""


def find_render_tool(path: Optional[Union[str, os.PathLike]] = None) -> str:
    """Where ``orv-render`` is: ``path`` if given, else ``$ORV_RENDER``, else the tool
    installed with this package, else one built in this source tree, else on PATH."""
    if path is not None:
        return os.fspath(path)
    if os.environ.get("ORV_RENDER"):
        return os.environ["ORV_RENDER"]
    package = pathlib.Path(__file__).resolve().parent
    candidates = []
    try:
        from . import _install
        prefix = (package / _install.PACKAGE_TO_PREFIX).resolve()
        candidates.append(prefix / _install.BINDIR / "orv-render")
    except ImportError:
        pass
    build = package.parent.parent / "build"
    if build.is_dir():
        folders = sorted((d for d in build.iterdir() if d.is_dir()),
                         key=lambda d: (d.name != "release", -d.stat().st_mtime))
        candidates += [d / "tools" / "orv-render" / "orv-render" for d in folders]
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    found = shutil.which("orv-render")
    if found:
        return found
    raise OrvError("orv-render was not found: build Orv's tools, install them, "
                   "or set ORV_RENDER to the tool's path.")


def _absolute_sound_files(scene: dict, base: pathlib.Path) -> dict:
    """A copy of ``scene`` whose sound files are absolute paths (resolved from ``base``),
    since the scene is written to a temporary folder."""
    scene = copy.deepcopy(scene)
    for sound in (scene.get("sounds") or {}).values():
        if isinstance(sound, dict) and isinstance(sound.get("file"), str):
            sound["file"] = str((base / sound["file"]).resolve())
    return scene


def render_scene(scene: SceneLike, *, rate: Optional[int] = None, threads: Optional[int] = None,
                 block: Optional[int] = None, seconds: Optional[float] = None,
                 library: Optional[Union[str, os.PathLike]] = None,
                 tool: Optional[Union[str, os.PathLike]] = None,
                 base: Optional[Union[str, os.PathLike]] = None) -> Rendered:
    """Renders a scene with orv-render and returns its audio.

    Args:
        scene: a scene file's path, or the scene itself as a dict (the JSON format
            of docs/scenes.md).
        rate, threads, block, seconds: override the scene's ``sampleRate``,
            ``threads``, ``blockSize`` and ``duration``.
        library: the ``liborv.so`` to render with (default as for :class:`orv.Context`).
        tool: the ``orv-render`` to run (default: :func:`find_render_tool`).
        base: folder that a dict scene's sound files are relative to (default: the
            current folder).

    Raises:
        OrvError: with orv-render's message when the scene or the render fails.
    """
    command = [find_render_tool(tool)]
    where = _native.find_library(library)
    if os.path.sep in where:
        command += ["--library", where]
    for option, value in (("--rate", rate), ("--threads", threads), ("--block", block),
                          ("--seconds", seconds)):
        if value is not None:
            command += [option, str(value)]
    with tempfile.TemporaryDirectory(prefix="orv-scene-") as folder:
        if isinstance(scene, dict):
            path = pathlib.Path(folder) / "scene.json"
            fixed = _absolute_sound_files(scene, pathlib.Path(base or os.getcwd()))
            path.write_text(json.dumps(fixed))
        else:
            path = pathlib.Path(scene)
        output = pathlib.Path(folder) / "out.wav"
        done = subprocess.run(command + [str(path), "-o", str(output)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            message = done.stderr.strip() or done.stdout.strip()
            raise OrvError(message or f"orv-render exited with status {done.returncode}")
        audio, out_rate = read_wav(output)
    return Rendered(audio, out_rate, done.stdout)


def load_scene(scene: SceneLike) -> dict[str, Any]:
    """The scene as a dict, from a path or a dict."""
    if isinstance(scene, dict):
        return scene
    with open(scene, encoding="utf-8") as f:
        return json.load(f)
