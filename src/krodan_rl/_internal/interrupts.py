"""Ctrl-C for the commands: one line and exit status 130, whatever the libraries underneath do
with the interrupt.

Two things stand in the way. A KeyboardInterrupt raised while Python runs a callback whose
exceptions it ignores (a library's garbage-collection callback, a ``__del__``) is printed as
"Exception ignored" and lost, and the command plays on; ``keep_interrupts`` raises it again in
the main thread instead. And an interrupt that lands in a compilation of JAX's leaves its
runtime in a state that crashes in the interpreter's finalisation; where JAX is loaded,
``end_interrupted`` therefore runs the exit handlers and leaves without that finalisation, once
everything the command keeps has been closed by the ``finally`` blocks the interrupt unwound
through. (Elsewhere the command returns as usual: skipping the finalisation there would leave
multiprocessing's semaphores to the resource tracker, which warns about them.)
"""

from __future__ import annotations

import _thread
import atexit
import contextlib
import os
import sys
import time
from typing import Any

__all__ = ["INTERRUPTED", "end_interrupted", "keep_interrupts"]

#: The exit status of a command ended by Ctrl-C, as shells report a process ended by SIGINT.
INTERRUPTED = 130


def keep_interrupts() -> None:
    """Makes a KeyboardInterrupt that Python would ignore (raised in a callback) reach the main
    thread again, where the command's handler sees it."""
    if getattr(sys.unraisablehook, "keeps_interrupts", False):
        return
    previous = sys.unraisablehook

    def hook(unraisable: Any) -> None:
        if isinstance(unraisable.exc_value, KeyboardInterrupt):
            # The SIGINT handler runs again in the main thread once this hook has returned: a
            # signal raised from here, or a thread waited for, would land in the hook and be
            # ignored in turn (should it land in another such callback, this hook runs again).
            _thread.start_new_thread(_interrupt_main_soon, ())
            return
        previous(unraisable)

    hook.keeps_interrupts = True  # type: ignore[attr-defined]
    sys.unraisablehook = hook


def _interrupt_main_soon() -> None:
    time.sleep(0.01)
    _thread.interrupt_main()


def end_interrupted(line: str) -> int:
    """Prints ``line`` on standard error and gives ``INTERRUPTED``, the status to exit with.
    Where JAX is loaded, ends the process here instead, with that status, after the exit
    handlers but without the interpreter's finalisation (see the module's docstring)."""
    # On a terminal the line replaces a progress bar drawn in place, rather than trailing it.
    erase = "\r\033[K" if sys.stderr.isatty() else ""
    print(erase + line, file=sys.stderr)
    if "jax" not in sys.modules:
        return INTERRUPTED
    # The exit handlers still run (Ray's, multiprocessing's): what crashes comes later, in the
    # finalisation of the runtime's own state.
    atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr):
        # A reader gone, a stream closed: nothing more can be said.
        with contextlib.suppress(OSError, ValueError):
            stream.flush()
    os._exit(INTERRUPTED)
