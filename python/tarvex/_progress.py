"""The live progress line of `tarvex select` on a terminal."""

from __future__ import annotations

import sys
import time
from typing import Any


def on_terminal(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class ProgressLine:
    """A progress(stage, done, total) callback that redraws one line:
    the stage, the fraction of it done, the elapsed time and an estimate of
    what is left of the stage. Nothing is drawn before `delay` seconds, so
    short calls leave no trace; `clear()` removes what was drawn."""

    def __init__(self, label: str, stream, delay: float = 1.0, clock=time.monotonic):
        self.label = label
        self.stream = stream
        self.delay = delay
        self.clock = clock
        self.start = clock()
        self.drawn = False
        self._stage: str | None = None
        self._stage_start = self.start

    def __call__(self, stage: str, done: int, total: int) -> None:
        now = self.clock()
        if stage != self._stage:
            self._stage, self._stage_start = stage, now
        if now - self.start < self.delay:
            return
        text = f"{self.label}: {'starting' if stage == 'idle' else stage}"
        if total:
            fraction = min(done / total, 1.0)
            text += f" {fraction:.0%}"
            if 0 < fraction < 1:
                left = (now - self._stage_start) * (1 - fraction) / fraction
                text += f", about {left:.0f} s left"
        text += f", {now - self.start:.1f} s elapsed"
        self.stream.write(f"\r{text}\033[K")
        self.stream.flush()
        self.drawn = True

    def clear(self) -> None:
        if self.drawn:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.drawn = False


def select_full(*args: Any, stream: Any = None, **kwargs: Any) -> Any:
    """`gist_select_full(*args, **kwargs)`, with a progress line on `stream`
    (stderr by default) when it is a terminal."""
    from tarvex import _tarvex

    stream = sys.stderr if stream is None else stream
    if not on_terminal(stream):
        return _tarvex.gist_select_full(*args, **kwargs)
    line = ProgressLine("selecting", stream)
    try:
        return _tarvex._gist_select_full_progress(line, *args, **kwargs)
    finally:
        line.clear()
