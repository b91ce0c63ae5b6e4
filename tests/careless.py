"""What the careless-caller tests of both modules share: values whose conversion changes the list
being read, and a SIGINT sent to the test process while a long call runs, as Ctrl-C would."""

import os
import signal
import threading
import time


def interrupted(call, delay=0.2):
    """Runs `call` with a SIGINT delivered `delay` seconds in; returns True when the call raised
    KeyboardInterrupt and False when it finished first. A signal still in flight when the call
    returns is waited for, so it cannot escape into the next test. Python's own handler is in place
    for the call whatever the process inherited (a background job of a shell starts with SIGINT
    ignored)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            call()
        except KeyboardInterrupt:
            timer.join()
            return True
        try:
            timer.join()
            time.sleep(0.05)  # lets the handler run here, inside the try
        except KeyboardInterrupt:
            pass
        return False
    finally:
        signal.signal(signal.SIGINT, previous)


class Mutating:
    """An integer (or float) whose conversion runs `action` first, as hostile or careless code can."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


def replace_with_garbage(items):
    """An action that empties `items` and refills it with more junk objects than it held, so the
    list's item array moves."""
    def action():
        items.clear()
        items.extend(object() for _ in range(64))
    return action
