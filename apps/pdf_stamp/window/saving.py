"""Writing the settings from one thread, a moment after the last change.

Handlers run on threads of their own and a field changes on every keystroke:
`remember` only takes the values and sets a time; the saver's thread writes
them once the changes have paused. Preset changes, which the user waits for,
run on the same thread through `call`. `close` writes what is pending and ends
the thread.
"""

import concurrent.futures
import threading
import time

from pdf_stamp.window.settings import clean_values

DELAY_S = 0.5


class Saver:
    def __init__(self, settings, on_error, delay=DELAY_S):
        self.settings, self.on_error, self.delay = settings, on_error, delay
        self.cond = threading.Condition()
        self.calls = []  # (function, future) to run on the saver's thread
        self.due = None  # when the current values are to be written
        self.closing = False
        self.thread = threading.Thread(target=self.run, name="settings-saver", daemon=True)
        self.thread.start()

    def remember(self, values):
        """Takes `values` as the current ones; they are written after a pause."""
        with self.cond:
            self.settings.current = clean_values({**self.settings.current, **values})
            self.due = time.monotonic() + self.delay
            self.cond.notify()

    def call(self, function, *args):
        """Runs `function(*args)` on the saver's thread; its result, or its exception."""
        future = concurrent.futures.Future()
        with self.cond:
            if self.closing:
                raise RuntimeError("the settings are closed")
            self.calls.append((lambda: function(*args), future))
            self.cond.notify()
        return future.result()

    def flush(self):
        """Writes the pending values now."""
        with self.cond:
            if self.due is not None:
                self.due = time.monotonic()
                self.cond.notify()
        self.call(lambda: None)  # runs after that write

    def close(self):
        with self.cond:
            self.closing = True
            self.cond.notify()
        self.thread.join()

    def run(self):
        while True:
            with self.cond:
                while not (self.calls or self.closing or
                           (self.due is not None and time.monotonic() >= self.due)):
                    self.cond.wait(None if self.due is None else max(0.0, self.due - time.monotonic()))
                calls, self.calls = self.calls, []
                write = self.due is not None and (self.closing or time.monotonic() >= self.due)
                if write:
                    self.due = None
                ending = self.closing
            if write:
                try:
                    self.settings.save()
                except OSError as ex:
                    self.on_error(ex)
            for function, future in calls:
                try:
                    future.set_result(function())
                except BaseException as ex:  # handed to the caller
                    future.set_exception(ex)
            if ending:
                with self.cond:
                    if not self.calls:
                        return
