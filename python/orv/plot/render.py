"""A rendered stereo file over time: the level of each ear, the difference between
them, and a spectrogram."""
from __future__ import annotations

import os
from typing import Union

import numpy as np

from ..wavfile import read_wav
from .common import new_figure, save_figure

WINDOW_S = 0.05
"""Level windows: short enough to follow a footstep, long enough to be steady."""
DIFFERENCE_WINDOW_S = 0.25
"""Longer windows for the difference: independent noise in the two ears (a wide
ambience) makes short-window differences jitter by several dB."""
FLOOR_DB = -100.0


def window_levels_db(audio: np.ndarray, rate: int, window_s: float = WINDOW_S):
    """RMS level per channel in dBFS over consecutive windows: ``(times, levels)``
    with ``levels`` shaped ``(windows, channels)``."""
    step = max(1, int(round(window_s * rate)))
    windows = len(audio) // step
    trimmed = audio[:windows * step].astype(np.float64).reshape(windows, step, -1)
    rms = np.sqrt(np.mean(trimmed ** 2, axis=1))
    levels = 20.0 * np.log10(np.maximum(rms, 10 ** (FLOOR_DB / 20)))
    times = (np.arange(windows) + 0.5) * step / rate
    return times, levels


def plot_render(output: Union[str, os.PathLike], wav: Union[str, os.PathLike],
                size: tuple[int, int] = (1200, 900)) -> None:
    """Draws the stereo WAV file ``wav`` into ``output``."""
    audio, rate = read_wav(wav)
    if audio.shape[1] == 1:
        audio = np.repeat(audio, 2, axis=1)
    times, levels = window_levels_db(audio[:, :2], rate)
    figure = new_figure(size)
    figure.suptitle(f"{os.path.basename(os.fspath(wav))}: {len(audio) / rate:.2f} s at {rate} Hz")
    level_axes, difference_axes, spectrum_axes = figure.subplots(3, 1, sharex=True)
    level_axes.plot(times, levels[:, 0], label="left", color="C0")
    level_axes.plot(times, levels[:, 1], label="right", color="C3")
    peak = max(float(np.max(levels)), -60.0)
    level_axes.set_ylim(max(peak - 70, FLOOR_DB), peak + 5)
    level_axes.set_ylabel(f"RMS level (dBFS, {WINDOW_S * 1000:g} ms)")
    level_axes.set_title("Level per ear")
    level_axes.legend(loc="upper right", fontsize="small")
    level_axes.grid(alpha=0.3)

    # Where both ears are near silence the difference means nothing.
    long_times, long_levels = window_levels_db(audio[:, :2], rate, DIFFERENCE_WINDOW_S)
    audible = np.max(long_levels, axis=1) > peak - 60
    difference = np.where(audible, long_levels[:, 1] - long_levels[:, 0], np.nan)
    difference_axes.plot(long_times, difference, color="C2", marker=".", markersize=3)
    difference_axes.axhline(0, color="grey", linewidth=0.8)
    difference_axes.set_ylabel(f"right − left (dB, {DIFFERENCE_WINDOW_S * 1000:g} ms)")
    difference_axes.set_title("Interaural level difference (positive: louder on the right)")
    difference_axes.grid(alpha=0.3)

    mono = audio[:, :2].astype(np.float64).mean(axis=1)
    if len(mono) >= 1024:
        spectrum_axes.specgram(mono, NFFT=1024, Fs=rate, noverlap=512, cmap="magma",
                               vmin=-140, scale="dB")
    spectrum_axes.set_ylim(0, rate / 2)
    spectrum_axes.set_ylabel("frequency (Hz)")
    spectrum_axes.set_xlabel("time (s)")
    spectrum_axes.set_title("Spectrogram (left + right)")
    save_figure(figure, output, size)
