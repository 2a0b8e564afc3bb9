"""Pictures of Orv's data and output (matplotlib).

``python3 -m orv.plot hrtf [FILE.orvhrtf]``, ``render OUT.wav`` and
``scene SCENE.json``; each writes a PNG or an SVG, chosen by the output's extension.
"""
from .common import parse_size, save_figure
from .hrtf import plot_hrtf
from .render import plot_render
from .scene import plot_scene

__all__ = ["parse_size", "plot_hrtf", "plot_render", "plot_scene", "save_figure"]
