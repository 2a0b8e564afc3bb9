"""A scene of orv-render seen from above: the listener's path and where it faces,
the sources and their paths, with times."""
from __future__ import annotations

import math
import os
from typing import Any, Union

import numpy as np

from ..scene import SceneLike, load_scene
from .common import new_figure, save_figure

REST_POSE = {"position": [0.0, 0.0, 0.0], "front": [0.0, 0.0, -1.0], "up": [0.0, 1.0, 0.0]}


class ListenerPath:
    """The listener's keyframes, each completed with the values it carries over."""

    def __init__(self, keyframes: list[dict[str, Any]]):
        self.keys = []
        last = dict(REST_POSE, time=0.0)
        for key in keyframes or [dict(REST_POSE, time=0.0)]:
            last = {name: np.array(key.get(name, last[name]), dtype=float)
                    for name in ("position", "front", "up")} | {"time": float(key["time"])}
            self.keys.append(last)

    def pose(self, time: float):
        """Position, front, up at ``time``: linear, with the directions normalised
        (close enough to the tool's turn for a picture)."""
        keys = self.keys
        if time <= keys[0]["time"]:
            a = b = keys[0]
            f = 0.0
        elif time >= keys[-1]["time"]:
            a = b = keys[-1]
            f = 0.0
        else:
            i = max(j for j, k in enumerate(keys) if k["time"] <= time)
            a, b = keys[i], keys[i + 1]
            span = b["time"] - a["time"]
            f = 0.0 if span <= 0 else (time - a["time"]) / span
        def mix(name):
            return (1 - f) * a[name] + f * b[name]

        def unit(v):
            return v / (np.linalg.norm(v) or 1.0)
        return mix("position"), unit(mix("front")), unit(mix("up"))

    def to_world(self, time: float, relative: list[float]) -> np.ndarray:
        """A listener-space point (x right, y up, z front) in the world at ``time``."""
        eye, front, up = self.pose(time)
        right = np.cross(front, up)
        right /= np.linalg.norm(right) or 1.0
        up = np.cross(right, front)
        x, y, z = relative
        return eye + x * right + y * up + z * front


def _plays(event: dict[str, Any], duration: float) -> list[tuple[float, list[float]]]:
    """Each play of an event: its time and position (in the event's space)."""
    repeat = event.get("repeat")
    time = float(event["time"])
    position = [float(v) for v in event.get("position", [0, 0, 0])]
    if not repeat:
        return [(time, position)]
    interval = float(repeat["interval"])
    count = repeat.get("count")
    if count is None:
        count = max(1, math.ceil((duration - time) / interval)) if interval > 0 else 1
    step = [float(v) for v in repeat.get("step", [0, 0, 0])]
    plays = []
    for k in range(int(count)):
        at = time + k * interval
        if at >= duration:
            break
        plays.append((at, [p + k * s for p, s in zip(position, step)]))
    return plays


def _draw_paths(axes, listener: ListenerPath, event: dict[str, Any],
                plays: list[tuple[float, list[float]]], duration: float, colour: str,
                label: str) -> None:
    """A moving source: each play's path through its position keyframes (timed from
    the play's start, shifted by the repeat's step), with its start and end times."""
    keys = event["positions"]
    base = [float(v) for v in event.get("position", [0, 0, 0])]
    relative = event.get("mode") == "relative"
    stop = min(float(event.get("stop", duration)), duration)
    for number, (start, offset) in enumerate(plays):
        shift = [o - b for o, b in zip(offset, base)]  # the step of this repeat
        times = [start + float(key["time"]) for key in keys if start + float(key["time"]) <= stop]
        if not times:
            continue
        points = np.array([
            listener.to_world(t, [float(v) + d for v, d in zip(key["position"], shift)])
            if relative else np.array([float(v) + d for v, d in zip(key["position"], shift)])
            for t, key in zip(times, keys)])
        axes.plot(points[:, 0], points[:, 2], marker=".", color=colour, linestyle="-",
                  linewidth=1.5, label=f"{label}, moving, {start:g} s)" if number == 0 else None)
        axes.annotate("", xy=(points[-1, 0], points[-1, 2]),
                      xytext=(points[-2, 0], points[-2, 2]) if len(points) > 1 else None,
                      arrowprops=dict(arrowstyle="-|>", color=colour) if len(points) > 1 else None)
        for t, point in ((times[0], points[0]), (times[-1], points[-1])):
            axes.annotate(f"{t:g} s", (point[0], point[2]), textcoords="offset points",
                          xytext=(4, 4), fontsize="x-small", color=colour)


def plot_scene(output: Union[str, os.PathLike], scene: SceneLike,
               size: tuple[int, int] = (1000, 900)) -> None:
    """Draws ``scene`` (a path or a dict) seen from above into ``output``."""
    data = load_scene(scene)
    duration = float(data.get("duration", 10.0))
    listener = ListenerPath(data.get("listener", []))
    figure = new_figure(size)
    axes = figure.subplots()
    title = os.path.basename(os.fspath(scene)) if not isinstance(scene, dict) else "scene"
    axes.set_title(f"{title} from above ({duration:g} s)")

    # The listener: its path, and arrows where it faces at each keyframe.
    times = np.linspace(0.0, duration, 400)
    path = np.array([listener.pose(t)[0] for t in times])
    axes.plot(path[:, 0], path[:, 2], color="black", linewidth=1.5, label="listener")
    facing: dict[tuple, list[float]] = {}
    for key in listener.keys:
        eye, front, _ = listener.pose(key["time"])
        where = tuple(np.round(np.concatenate([eye[[0, 2]], front[[0, 2]]]), 3))
        facing.setdefault(where, []).append(key["time"])
    for (x, z, fx, fz), at in facing.items():
        axes.annotate("", xy=(x + 0.8 * fx, z + 0.8 * fz), xytext=(x, z),
                      arrowprops=dict(arrowstyle="-|>", color="black", linewidth=1.2))
        label = ", ".join(f"{t:g}" for t in sorted(set(at))) + " s"
        axes.text(x + 1.05 * fx, z + 1.05 * fz, label, fontsize="x-small",
                  ha="center", va="center")
    axes.plot(path[0, 0], path[0, 2], "ko", markersize=7)

    # The sources: markers at each play, joined into a path for repeated ones.
    local = []
    for index, event in enumerate(data.get("events", [])):
        mode = event.get("mode")
        name = event.get("sound", "?")
        if mode == "local":
            local.append(name)
            continue
        plays = _plays(event, duration)
        if not plays:
            continue
        colour = f"C{index % 10}"
        if "positions" in event:
            _draw_paths(axes, listener, event, plays, duration, colour, f"{name} ({mode}")
            continue
        points = np.array([listener.to_world(t, p) if mode == "relative" else np.array(p)
                           for t, p in plays])
        marker = "o" if mode == "world" else "s"
        label = f"{name} ({mode}, {plays[0][0]:g}" + \
                (f"–{plays[-1][0]:g} s)" if len(plays) > 1 else " s)")
        axes.plot(points[:, 0], points[:, 2], marker=marker, color=colour, linestyle="-",
                  markersize=5, markerfacecolor=colour if mode == "world" else "white", label=label)
        for (t, _), point in ((plays[0], points[0]), (plays[-1], points[-1])):
            axes.annotate(f"{t:g} s", (point[0], point[2]), textcoords="offset points",
                          xytext=(4, 4), fontsize="x-small", color=colour)
    if local:
        axes.plot([], [], " ", label="local (not positioned): " + ", ".join(local))

    axes.set_aspect("equal", adjustable="datalim")
    axes.invert_yaxis()  # -z (the rest pose's front) points up the page
    axes.set_xlabel("x (m, right of the rest pose)")
    axes.set_ylabel("z (m; up the page is −z, the rest pose's front)")
    axes.grid(alpha=0.3)
    axes.legend(loc="best", fontsize="small")
    save_figure(figure, output, size)
