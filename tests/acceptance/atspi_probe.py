#!/usr/bin/python3
"""What a screen reader learns from the client over AT-SPI, for the acceptance scenarios.

    atspi_probe.py tree             the client's accessible objects, one JSON object a line, depth first,
                                    then {"role": "end", "seconds": S}
    atspi_probe.py listen SECONDS   the events a screen reader acts on, one JSON object a line as they
                                    come (after {"event": "ready"}), for SECONDS

Times are CLOCK_MONOTONIC seconds, the clock of the test program's steady_clock.
"""
import json
import sys
import time

import pyatspi
from gi.repository import GLib

APP = "renvora"
EVENTS = ("object:state-changed:focused", "object:state-changed:showing", "window:create")


def describe(o):
    d = {"role": o.getRoleName(), "name": o.name or "", "description": o.description or ""}
    try:
        d["states"] = [pyatspi.stateToString(s) for s in o.getState().getStates()]
    except Exception:  # an object gone meanwhile
        d["states"] = []
    return d


def text_of(o, d):
    """For a text field: its text, its box and the box of its last character (screen coordinates)."""
    try:
        t = o.queryText()
    except NotImplementedError:
        return
    d["text"] = t.getText(0, -1)
    box = o.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    d["box"] = [box.x, box.y, box.width, box.height]
    if t.characterCount > 0:
        d["last"] = list(t.getCharacterExtents(t.characterCount - 1, pyatspi.DESKTOP_COORDS))


def tree():
    start = time.monotonic()
    desktop = pyatspi.Registry.getDesktop(0)

    def walk(o, depth):
        d = describe(o)
        d["depth"] = depth
        if d["role"] in ("text", "password text"):
            text_of(o, d)
        print(json.dumps(d, ensure_ascii=False))
        for i in range(o.childCount):
            child = o.getChildAtIndex(i)
            if child is not None:
                walk(child, depth + 1)

    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == APP:
            walk(app, 0)
    print(json.dumps({"role": "end", "seconds": time.monotonic() - start}))


def listen(seconds):
    def on(event):
        try:
            d = describe(event.source)
        except Exception:
            d = {}
        d.update({"t": time.monotonic(), "event": event.type, "detail1": event.detail1})
        print(json.dumps(d, ensure_ascii=False), flush=True)

    for e in EVENTS:
        pyatspi.Registry.registerEventListener(on, e)
    GLib.timeout_add(int(seconds * 1000), pyatspi.Registry.stop)
    print(json.dumps({"event": "ready", "t": time.monotonic()}), flush=True)
    pyatspi.Registry.start()


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] == "tree":
        tree()
    elif len(sys.argv) == 3 and sys.argv[1] == "listen":
        listen(float(sys.argv[2]))
    else:
        sys.exit(__doc__)
