"""A program that goes on until a signal (merloxctl watch, wdg keepalive, merloxsim
serve), and waiting for a condition, for the tests that run whole processes."""
import os
import re
import subprocess
import threading
import time


def until(condition, seconds=10.0, step=0.05):
    """Whether the condition held before the time ran out (asked once more at the end)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


class RunningProcess:
    """The program runs in a session of its own, so that a signal sent to it reaches
    every process it started (Wine's among them); its output lines are collected as
    they come, line ends of either kind removed."""

    def __init__(self, *command):
        self.process = subprocess.Popen(list(command), stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True,
                                        stdin=subprocess.DEVNULL, start_new_session=True)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\r\n"))

    def wait_for(self, pattern, seconds=60):
        """Whether a line matching pattern came before the time ran out or the program ended."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if any(re.search(pattern, line) for line in self.lines):
                return True
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        return False

    def stop(self, signal_number):
        """Sends the signal and returns the exit code and what went to the error stream."""
        os.killpg(self.process.pid, signal_number)
        code = self.process.wait(timeout=60)
        self.reader.join(timeout=10)
        errors = self.process.stderr.read().replace("\r\n", "\n")
        self.process.stdout.close()
        self.process.stderr.close()
        return code, errors
