"""What every picture shares: a headless backend, the figure's size and saving it."""
from __future__ import annotations

import os
import pathlib
import re
from typing import Union

import matplotlib

matplotlib.use("Agg")  # files only; no display is needed or wanted

import matplotlib.pyplot as plt  # noqa: E402

DPI = 100
"""Figures are laid out at this many pixels per inch, so a size in pixels is exact."""


def parse_size(text: str) -> tuple[int, int]:
    """``"1200x800"`` -> ``(1200, 800)``."""
    match = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", text)
    if not match or int(match[1]) < 50 or int(match[2]) < 50:
        raise ValueError(f"size must be WIDTHxHEIGHT in pixels, each at least 50, not {text!r}")
    return int(match[1]), int(match[2])


def new_figure(size: tuple[int, int]):
    """A figure of ``size`` pixels."""
    return plt.figure(figsize=(size[0] / DPI, size[1] / DPI), dpi=DPI, layout="constrained")


def save_figure(figure, path: Union[str, os.PathLike], size: tuple[int, int]) -> None:
    """Saves as PNG or SVG by extension. The SVG's width and height are set to the
    size in pixels (matplotlib writes points), so both formats show at the asked size."""
    path = pathlib.Path(path)
    kind = path.suffix.lower().lstrip(".")
    if kind not in ("png", "svg"):
        raise ValueError(f"the picture must be .png or .svg, not {path.name!r}")
    figure.savefig(path, format=kind, dpi=DPI)
    plt.close(figure)
    if kind == "svg":
        text = path.read_text(encoding="utf-8")
        text = re.sub(r'width="[\d.]+pt" height="[\d.]+pt"',
                      f'width="{size[0]}px" height="{size[1]}px"', text, count=1)
        path.write_text(text, encoding="utf-8")
