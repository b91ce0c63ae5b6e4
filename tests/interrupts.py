"""Sends the test process a SIGINT while a long call runs, as Ctrl-C in a terminal would."""

import os
import signal
import threading
import time


def interrupted(call, delay=0.2):
    """Runs `call` with a SIGINT delivered `delay` seconds in; returns True when the call raised
    KeyboardInterrupt and False when it finished first. A signal still in flight when the call
    returns is waited for, so it cannot escape into the next test."""
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
