"""What the monitoring tests share: free ports on 127.0.0.1, a shared simulator
(merloxsim serve) and merloxd running on it with the HTTP endpoint, plain HTTP
requests, and the alert rules as docs/merloxd.md gives them."""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from typing import Any, Dict, List, Tuple

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
from running_process import RunningProcess, until  # noqa: E402, F401

DOCS = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "merloxd.md")
SERIAL_A, SERIAL_B = "0x0000004D584F0001", "0x0000004D584F0002"  # merloxsim serve's first two


def free_port() -> int:
    """A port nobody listens on now (the system's pick, released again)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port



def get(url: str, method: str = "GET", timeout: float = 10) -> Tuple[int, str, Dict[str, str]]:
    """Status, body and headers; an HTTP error status is an answer too."""
    request = urllib.request.Request(url, method=method)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status, response.read().decode(), dict(response.headers)
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode(), dict(error.headers)


def alert_rules() -> str:
    """The alert rules of docs/merloxd.md: the YAML block that begins with groups:."""
    with open(DOCS, encoding="utf-8") as docs:
        match = re.search(r"```yaml\n(groups:\n.*?)```", docs.read(), re.S)
    assert match, "docs/merloxd.md has no alert rules"
    return match.group(1)


def guard_config(port: int, folder: str, extra: str = "") -> str:
    """A guard on the simulator's first card, with a file check that fails when the
    file named "flag" goes, written to folder/guard.toml."""
    path = os.path.join(folder, "guard.toml")
    with open(path, "w", encoding="utf-8") as config:
        config.write(f"""[watchdog]
card = "serial:{SERIAL_A}"
timeout = "30s"
interval = "200ms"
grace = "1h"

[http]
listen = "127.0.0.1:{port}"

[[check]]
name = "flag"
type = "file"
path = "{os.path.join(folder, 'flag')}"
max_age = "1h"
interval = "200ms"
{extra}""")
    return path


class GuardOnSimulator:
    """merloxsim serve with two cards and merloxd run on them, stopped whatever happens
    once started (use it in a with statement)."""

    def __init__(self, merloxsim: str, merloxd: str, merloxctl: str, folder: str,
                 extra_config: str = "") -> None:
        self.merloxctl = merloxctl
        self.name = "monitoring-%d" % os.getpid()
        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        self.folder = folder
        self.processes: List[RunningProcess] = []
        open(os.path.join(folder, "flag"), "w").close()
        config = guard_config(self.port, folder, extra_config)
        try:
            simulator = self._start(merloxsim, "serve", "--name", self.name, "--cards", "2")
            assert simulator.wait_for(r"serving 2 simulated cards", 30), simulator.lines
            self.guard = self._start(merloxd, "run", "--simulate=" + self.name, "--config",
                                     config, "--state-dir", os.path.join(folder, "state"))
            assert self.guard.wait_for(r"metrics and status page at", 30), self.guard.lines
            assert until(lambda: bool(self.guard_status()["feeds"] > 0), 30), self.guard.lines
        except BaseException:
            self.stop()
            raise

    def _start(self, *command: str) -> RunningProcess:
        process = RunningProcess(*command)
        self.processes.append(process)
        return process

    def sim(self, *args: str) -> str:
        result = subprocess.run([self.merloxctl, "--simulator", self.name, "sim", *args],
                                capture_output=True, text=True, timeout=30,
                                stdin=subprocess.DEVNULL)
        assert result.returncode == 0, result.stderr
        return result.stdout

    def status(self) -> Dict[str, Any]:
        code, body, _ = get(self.url + "/status.json")
        assert code == 200, body
        document: Dict[str, Any] = json.loads(body)
        return document

    def guard_status(self) -> Dict[str, Any]:
        guard: Dict[str, Any] = self.status()["guard"]
        return guard

    def __enter__(self) -> "GuardOnSimulator":
        return self

    def __exit__(self, *exception: object) -> None:
        self.stop()

    def stop(self) -> None:
        """Stops merloxd, then the simulator: Ctrl+C, or killed when that is not enough."""
        for process in reversed(self.processes):
            stop_process(process)
        self.processes = []


def stop_process(process: RunningProcess) -> None:
    if process.process.poll() is not None:
        return
    try:
        process.stop(signal.SIGINT)
    except subprocess.TimeoutExpired:
        os.killpg(process.process.pid, signal.SIGKILL)
        process.process.wait()
