"""``python3 -m orv.plot hrtf|render|scene ...``: pictures as PNG or SVG."""
from __future__ import annotations

import argparse
import pathlib
import sys
from typing import Optional, Sequence

from .. import hrtf as hrtf_data
from .common import parse_size


def _size(text: str) -> tuple[int, int]:
    try:
        return parse_size(text)
    except ValueError as error:  # argparse shows only this type's message
        raise argparse.ArgumentTypeError(str(error)) from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="python3 -m orv.plot",
        description="Pictures of Orv's HRTF data, of a rendered file and of a scene. "
                    "The output's extension (.png or .svg) picks the format.")
    commands = parser.add_subparsers(dest="command", required=True)

    def add(name: str, help_text: str, input_help: str, optional_input: bool = False):
        command = commands.add_parser(name, help=help_text, description=help_text)
        command.add_argument("input", nargs="?" if optional_input else None, help=input_help)
        command.add_argument("-o", "--output", help="the picture to write (default: "
                             "the input's name with .png, or hrtf.png)")
        command.add_argument("--size", default=None, type=_size, metavar="WxH",
                             help="in pixels (default 1200x900)")
        return command

    hrtf = add("hrtf", "interaural level and time differences over azimuth per elevation "
               "ring, and magnitude responses", "an .orvhrtf data set (default: the carried "
               "set)", optional_input=True)
    hrtf.add_argument("--rate", type=float, default=hrtf_data.CARRIED_RATE,
                      help="the set's sampling rate in Hz (default 48000, the carried set's)")
    add("render", "level per ear, interaural level difference and spectrogram over time",
        "a WAV file, as orv-render writes it")
    add("scene", "the scene from above: listener path, sources and their paths, with times",
        "a scene JSON file")
    args = parser.parse_args(argv)

    size = args.size or (1200, 900)
    output = args.output or (pathlib.Path(args.input).stem + ".png" if args.input else "hrtf.png")
    try:
        if args.command == "hrtf":
            from .hrtf import plot_hrtf
            plot_hrtf(output, args.input, size, args.rate)
        elif args.command == "render":
            from .render import plot_render
            plot_render(output, args.input, size)
        else:
            from .scene import plot_scene
            plot_scene(output, args.input, size)
    except (OSError, ValueError, KeyError) as error:
        print(f"orv.plot {args.command}: {error}", file=sys.stderr)
        return 1
    print(output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
