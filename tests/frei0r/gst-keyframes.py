#!/usr/bin/python3
"""Renders an FFV1 clip through GStreamer's frei0r-filter-korvane with keyframed properties.

gst-launch has no syntax for GStreamer's controller, so this is the smallest application that uses
it: each keyframed property gets a linear InterpolationControlSource bound absolutely (the values
are the frei0r values, 0 to 1), and the base transform samples it at each frame's stream time.

usage: gst-keyframes.py CLIP OUT_PATTERN FPS PROPERTY=FRAME:VALUE[,FRAME:VALUE...] | PROPERTY=VALUE ...
OUT_PATTERN is multifilesink's (frames numbered from 0, e.g. out%d.png). Exit status 0 on EOS.
"""
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstController", "1.0")
from gi.repository import Gst, GstController  # noqa: E402


def main(argv):
    if len(argv) < 4:
        sys.stderr.write(__doc__)
        return 2
    clip, pattern, fps = argv[1], argv[2], float(argv[3])
    Gst.init(None)
    pipeline = Gst.parse_launch(
        f'filesrc location="{clip}" ! matroskademux ! avdec_ffv1 ! videoconvert ! video/x-raw,format=RGBA ! '
        "frei0r-filter-korvane name=sort ! videoconvert ! video/x-raw,format=RGBA ! pngenc snapshot=false ! "
        f'multifilesink location="{pattern}"')
    sort = pipeline.get_by_name("sort")
    for setting in argv[4:]:
        name, value = setting.split("=", 1)
        if ":" not in value:
            sort.set_property(name, float(value))
            continue
        source = GstController.InterpolationControlSource()
        source.set_property("mode", GstController.InterpolationMode.LINEAR)
        for key in value.split(","):
            frame, number = key.split(":")
            source.set(int(round(int(frame) * Gst.SECOND / fps)), float(number))
        sort.add_control_binding(GstController.DirectControlBinding.new_absolute(sort, name, source))

    pipeline.set_state(Gst.State.PLAYING)
    message = pipeline.get_bus().timed_pop_filtered(120 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    if message is None:
        sys.stderr.write("gst-keyframes: no end of stream within 120 s\n")
        return 1
    if message.type == Gst.MessageType.ERROR:
        error, debug = message.parse_error()
        sys.stderr.write(f"gst-keyframes: {error.message} ({debug})\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
