"""The cues of an HRTF data set: level and time differences between the ears over
azimuth, one curve per elevation ring, and magnitude responses."""
from __future__ import annotations

import os
from typing import Optional, Union

import matplotlib
import numpy as np

from .. import hrtf
from .common import new_figure, save_figure


def _full_circle(ring: hrtf.Ring, values_right: np.ndarray, values_left: np.ndarray):
    """Azimuths -180..180 with the right ear's values; the left half mirrors the right
    half with the ears exchanged, as the library does."""
    azimuths = np.concatenate([-ring.azimuths[::-1], ring.azimuths])
    values = np.concatenate([values_left[::-1], values_right])
    keep = np.concatenate([[True], np.diff(azimuths) > 0])  # 0 and 180 only once
    return azimuths[keep], values[keep]


def plot_hrtf(output: Union[str, os.PathLike], source: Optional[Union[str, os.PathLike]] = None,
              size: tuple[int, int] = (1200, 900), rate: float = hrtf.CARRIED_RATE) -> None:
    """Draws an ORVHRTFD data set (None: the carried one) at ``rate`` Hz into ``output``."""
    rings = hrtf.read_hrtf(source)
    name = os.path.basename(os.fspath(source)) if source else "the carried set"
    figure = new_figure(size)
    figure.suptitle(f"HRTF data set: {name} ({len(rings)} rings, "
                    f"{sum(len(r.azimuths) for r in rings)} directions, "
                    f"{rings[0].left.shape[1]} taps at {rate / 1000:g} kHz)")
    ild_axes, itd_axes, image_axes, lines_axes = figure.subplots(2, 2).flat
    colours = matplotlib.colormaps["viridis"](np.linspace(0, 0.95, len(rings)))
    for ring, colour in zip(rings, colours):
        label = f"{ring.elevation:g}°"
        ild_axes.plot(ring.azimuths, hrtf.level_difference_db(ring), color=colour, label=label)
        itd_axes.plot(ring.azimuths, 1000 * hrtf.time_difference_s(ring, rate), color=colour,
                      label=label)
    for axes, what in ((ild_axes, "level difference, right − left (dB)"),
                       (itd_axes, "time difference, left later (ms)")):
        axes.set_xlabel("azimuth (degrees, 90 = right)")
        axes.set_ylabel(what)
        axes.set_xlim(0, 180)
        axes.set_xticks(range(0, 181, 30))
        axes.grid(alpha=0.3)
    ild_axes.set_title("Interaural level difference per elevation ring")
    itd_axes.set_title("Interaural time difference per elevation ring")
    # Outside the axes: inside, the rings' curves fill every corner.
    itd_axes.legend(title="elevation", fontsize="x-small", loc="center left",
                    bbox_to_anchor=(1.02, 0.5))

    horizontal = min(rings, key=lambda r: abs(r.elevation))
    fft_size = 1024
    frequencies = np.fft.rfftfreq(fft_size, 1.0 / rate)
    right_db = hrtf.magnitude_db(horizontal.right, fft_size)
    left_db = hrtf.magnitude_db(horizontal.left, fft_size)
    azimuths, image = _full_circle(horizontal, right_db, left_db)
    top = float(np.max(image))
    shown = frequencies >= 100.0
    mesh = image_axes.pcolormesh(frequencies[shown] / 1000, azimuths, image[:, shown],
                                 shading="nearest", vmin=top - 50, vmax=top, cmap="magma")
    image_axes.set_xscale("log")
    image_axes.set_xlabel("frequency (kHz)")
    image_axes.set_ylabel("azimuth (degrees)")
    image_axes.set_yticks(range(-180, 181, 60))
    image_axes.set_title(f"Right ear magnitude at elevation {horizontal.elevation:g}°")
    figure.colorbar(mesh, ax=image_axes, label="dB")

    for azimuth, colour in zip((0, 45, 90, 135, 180), ("C0", "C1", "C2", "C3", "C4")):
        index = int(np.argmin(np.abs(horizontal.azimuths - azimuth)))
        shown = horizontal.azimuths[index]
        lines_axes.semilogx(frequencies[1:], right_db[index, 1:], color=colour,
                            label=f"{shown:g}° right ear")
        lines_axes.semilogx(frequencies[1:], left_db[index, 1:], color=colour, linestyle="--",
                            label=f"{shown:g}° left ear")
    lines_axes.set_xlim(100, rate / 2)
    lines_axes.set_ylim(top - 50, top + 5)
    lines_axes.set_xlabel("frequency (Hz)")
    lines_axes.set_ylabel("magnitude (dB)")
    lines_axes.set_title(f"Magnitude responses at elevation {horizontal.elevation:g}°")
    lines_axes.grid(alpha=0.3, which="both")
    lines_axes.legend(fontsize="x-small", ncol=2)
    save_figure(figure, output, size)
