#!/usr/bin/python3
"""A small RTSP server for the tests: serves an MP4 clip (H.264, optionally
AAC) in an endless loop at rtsp://127.0.0.1:PORT/MOUNT.

Each client gets its own pipeline, played from the clip's start. The loop
uses segment seeks, so running time, and with it the RTP time stamps, goes on
without a jump when the clip starts over. Prints "ready" once it listens."""

import argparse
import ctypes
import signal
import sys
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


def die_with_parent():
    # A test that crashes must not leave the server behind.
    PR_SET_PDEATHSIG = 1
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    except OSError:
        pass


def launch_line(clip, audio):
    line = (
        f'( filesrc location="{clip}" ! qtdemux name=d '
        "d.video_0 ! queue name=qv ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 "
    )
    if audio:
        line += "d.audio_0 ! queue name=qa ! aacparse ! rtpmp4gpay name=pay1 pt=97 "
    return line + ")"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--clip", required=True)
    parser.add_argument("--mount", default="/stream")
    parser.add_argument("--audio", action="store_true", help="serve the clip's first audio stream too")
    args = parser.parse_args()

    die_with_parent()
    Gst.init(None)
    loop = GLib.MainLoop()

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch_line(args.clip, args.audio))
    factory.set_shared(False)
    # Interleaved in the RTSP connection: no datagrams to lose on a busy machine.
    factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)
    factory.connect("media-configure", lambda _f, media: configure(media))
    server.get_mount_points().add_factory(args.mount, factory)
    if server.attach(None) == 0:
        print(f"cannot listen on port {args.port}", file=sys.stderr, flush=True)
        return 1

    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    print("ready", flush=True)
    loop.run()
    return 0


def configure(media):
    """Loops the clip with segment seeks: at the end of each pass the demuxer
    goes back to the start without a flush, so running time, and with it the
    RTP time stamps, goes on without a jump."""
    bin_ = media.get_element()
    demux = bin_.get_by_name("d")
    pipeline = bin_
    while pipeline.get_parent() is not None:
        pipeline = pipeline.get_parent()
    handled = {"seqnum": None}

    def seek(flags, start=0, seqnum=None):
        event = Gst.Event.new_seek(1.0, Gst.Format.TIME, flags | Gst.SeekFlags.SEGMENT, Gst.SeekType.SET, start,
                                   Gst.SeekType.NONE, -1)
        if seqnum is not None:
            event.set_seqnum(seqnum)
        demux.send_event(event)
        return False

    def on_upstream(_pad, info):
        # The server seeks by itself when a client plays; such a seek must
        # keep the loop going rather than end at the clip's end.
        event = info.get_event()
        if event.type != Gst.EventType.SEEK:
            return Gst.PadProbeReturn.OK
        _rate, _format, flags, _start_type, start, _stop_type, _stop = event.parse_seek()
        if flags & Gst.SeekFlags.SEGMENT:
            return Gst.PadProbeReturn.OK
        # Every stream passes the same seek on; one is enough.
        if event.get_seqnum() != handled["seqnum"]:
            handled["seqnum"] = event.get_seqnum()
            seek(flags, max(start, 0), event.get_seqnum())
        return Gst.PadProbeReturn.DROP

    def on_sync_message(_bus, message):
        if message.type == Gst.MessageType.SEGMENT_DONE:
            # From the main loop, not from the streaming thread that posted it.
            GLib.idle_add(seek, Gst.SeekFlags.NONE)

    def restart():
        # The flush drops the segment the payloaders carry, and a PLAY that
        # asks for the stream's rate before the new one has come through
        # aborts the server: a busy machine leaves it that long. Answer no
        # request until every payloader has its segment again.
        seek(Gst.SeekFlags.FLUSH)
        pads = [pay.get_static_pad("src") for pay in (bin_.get_by_name(n) for n in ("pay0", "pay1")) if pay]
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and any(
                pad.get_sticky_event(Gst.EventType.SEGMENT, 0) is None for pad in pads):
            time.sleep(0.01)

    for name in ("qv", "qa"):
        queue = bin_.get_by_name(name)
        if queue is not None:
            queue.get_static_pad("sink").add_probe(Gst.PadProbeType.EVENT_UPSTREAM, on_upstream)
    bus = pipeline.get_bus()
    bus.enable_sync_message_emission()
    bus.connect("sync-message", on_sync_message)
    media.connect("prepared", lambda _media: restart())


if __name__ == "__main__":
    sys.exit(main())
