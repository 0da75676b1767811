#!/usr/bin/env python3
"""merloxd's own cost and the punctuality of its feeds, against a shared simulator.

1. Feed lateness under load: both cores kept busy by other processes, the guard feeds
   at a 100 ms interval; the lateness of each feed against its schedule (when the
   guard hands it to the driver), p50/p99/max, read from the guard's status (it keeps
   the last 4096). Then the same while a Prometheus server scrapes the guard's
   /metrics every second.
2. CPU time per hour of guarding at a 1 s interval with five checks (memory, disk,
   file, tcp, process), from /proc/PID/stat, as a share of one core.
3. Private memory of the guard (Private_Clean + Private_Dirty of smaps_rollup).

Usage: merloxd_bench.py BUILD_DIR [--quick]
"""
import json
import multiprocessing
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

LATENESS_P99_GOAL_MS = 10.0
CPU_GOAL_PERCENT = 0.2
MEMORY_GOAL_MIB = 8.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def busy() -> None:
    while True:
        pass


def wait_for(condition, seconds=20.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as file:
        fields = file.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


def private_mib(pid: int) -> float:
    total_kib = 0
    with open(f"/proc/{pid}/smaps_rollup") as file:
        for line in file:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                total_kib += int(line.split()[1])
    return total_kib / 1024


class Guard:
    """merloxd run; simulator "" for a card simulated in its own process."""

    def __init__(self, build: str, folder: str, simulator: str, config: str) -> None:
        self.state = os.path.join(folder, "state")
        path = os.path.join(folder, "guard.toml")
        with open(path, "w") as file:
            file.write(config)
        self.log = open(os.path.join(folder, "merloxd.log"), "w")
        self.process = subprocess.Popen(
            [os.path.join(build, "merloxd"), "run", "--config", path, "--state-dir", self.state,
             "--simulate=" + simulator if simulator else "--simulate"], stdout=self.log, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL)
        self.control = os.path.join(self.state, "control.sock")
        assert wait_for(lambda: os.path.exists(self.control)), "merloxd did not start"

    def status(self) -> dict:
        with socket.socket(socket.AF_UNIX) as client:
            client.connect(self.control)
            client.sendall(b'{"op":"status"}\n')
            answer = b""
            while not answer.endswith(b"\n"):
                answer += client.recv(65536)
        return json.loads(answer)["status"]

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=30)
        self.log.close()


WATCHDOG = """[watchdog]
card = "serial:0x0000004D584F0001"
timeout = "60s"
interval = "%s"
"""


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def scraper(folder: str, port: int) -> tuple:
    """A Prometheus server scraping the guard's endpoint every second, and its address."""
    config = os.path.join(folder, "prometheus.yml")
    with open(config, "w") as file:
        file.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: merloxd\n"
                   "    static_configs:\n      - targets: [\"127.0.0.1:%d\"]\n" % port)
    address = "127.0.0.1:%d" % free_port()
    return subprocess.Popen(
        ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" +
         os.path.join(folder, "prometheus"), "--web.listen-address=" + address],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL), address


def ready(address: str) -> bool:
    try:
        with urllib.request.urlopen("http://%s/-/ready" % address, timeout=1) as answer:
            return answer.status == 200
    except OSError:
        return False


def scrapes(address: str) -> int:
    """How many scrapes of the guard Prometheus has made in the last 10 minutes."""
    query = urllib.parse.urlencode({"query": 'count_over_time(up{job="merloxd"}[10m])'})
    with urllib.request.urlopen("http://%s/api/v1/query?%s" % (address, query)) as answer:
        result = json.loads(answer.read())["data"]["result"]
    return int(result[0]["value"][1]) if result else 0


def lateness(build: str, folder: str, simulator: str, feeds: int, scraped: bool) -> dict:
    workers = [multiprocessing.Process(target=busy, daemon=True)
               for _ in range(os.cpu_count() or 2)]
    for worker in workers:
        worker.start()
    port = free_port()
    prometheus, address = scraper(folder, port) if scraped else (None, "")
    try:
        # Scraping from the guard's first feed on.
        assert not scraped or wait_for(lambda: ready(address), 60), "prometheus did not start"
        guard = Guard(build, folder, simulator,
                      WATCHDOG % "100ms" + '[http]\nlisten = "127.0.0.1:%d"\n' % port)
        try:
            assert wait_for(lambda: guard.status()["feeds"] >= feeds, feeds * 0.1 + 60)
            figures = dict(guard.status()["feed_lateness_ms"])
            # With both cores busy Prometheus itself gets little time: the scrapes it
            # managed are part of the figure.
            figures["scrapes"] = scrapes(address) if scraped else 0
            assert not scraped or figures["scrapes"] >= 3, figures
            return figures
        finally:
            guard.stop()
    finally:
        if prometheus:
            prometheus.terminate()
            prometheus.wait(timeout=30)
        for worker in workers:
            worker.terminate()


def cost(build: str, folder: str, simulator: str, seconds: float) -> tuple:
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def serve() -> None:  # a service that answers: every connection taken and closed
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            connection.close()

    threading.Thread(target=serve, daemon=True).start()
    watched = os.path.join(folder, "watched")
    pidfile = os.path.join(folder, "bench.pid")
    for path, text in ((watched, "x"), (pidfile, str(os.getpid()))):
        with open(path, "w") as file:
            file.write(text)
    checks = f"""
[[check]]
name = "memory"
type = "memory"
min_available = "1MiB"
[[check]]
name = "disk"
type = "disk"
path = "{folder}"
min_free = "1MiB"
[[check]]
name = "file"
type = "file"
path = "{watched}"
max_age = "1h"
[[check]]
name = "tcp"
type = "tcp"
host = "127.0.0.1"
port = {listener.getsockname()[1]}
[[check]]
name = "process"
type = "process"
pidfile = "{pidfile}"
"""
    guard = Guard(build, folder, simulator, WATCHDOG % "1s" + checks)
    try:
        time.sleep(3)  # started, the checks' threads running
        began, cpu_began = time.monotonic(), cpu_seconds(guard.process.pid)
        time.sleep(seconds)
        cpu = cpu_seconds(guard.process.pid) - cpu_began
        wall = time.monotonic() - began
        memory = private_mib(guard.process.pid)
        healthy = all(check["healthy"] for check in guard.status()["checks"])
        assert healthy, guard.status()["checks"]
        return cpu / wall * 100, cpu / wall * 3600, memory
    finally:
        guard.stop()
        listener.close()


def main(build: str, quick: bool) -> None:
    feeds, seconds = (100, 10) if quick else (400, 120)
    runtime = tempfile.mkdtemp(prefix="merloxd-bench-")
    os.environ["XDG_RUNTIME_DIR"] = runtime
    simulator_name = "bench-%d" % os.getpid()
    simulator = subprocess.Popen([os.path.join(build, "merloxsim"), "serve", "--name",
                                  simulator_name, "--cards", "1"], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        assert wait_for(lambda: os.path.exists(
            os.path.join(runtime, "merloxsim", simulator_name + ".sock")))
        late = lateness(build, tempfile.mkdtemp(dir=runtime), simulator_name, feeds, False)
        # Beside it, scraped as operators scrape it: Prometheus's server every second.
        scraped = (lateness(build, tempfile.mkdtemp(dir=runtime), simulator_name, feeds, True)
                   if shutil.which("prometheus") else None)
        percent, per_hour, memory = cost(build, tempfile.mkdtemp(dir=runtime), simulator_name,
                                         seconds)
    finally:
        simulator.send_signal(signal.SIGINT)
        simulator.wait(timeout=30)
    print("== merloxd (release build, shared simulator)")
    print(f"{'figure':52} {'measured':>12}   goal")
    title = f"feed lateness, {late['samples']} feeds at 100 ms, cores busy"
    print(f"{title + ', p50':52} {late['p50']:9.2f} ms   -")
    print(f"{title + ', p99':52} {late['p99']:9.2f} ms   < {LATENESS_P99_GOAL_MS} ms")
    print(f"{title + ', max':52} {late['max']:9.2f} ms   -")
    if scraped is None:
        print("prometheus not found: no feed lateness while scraped")
    else:
        title = "  the same, scraped by Prometheus every 1 s"
        print(f"{'  (scrapes Prometheus made meanwhile)':52} {scraped['scrapes']:9d}")
        print(f"{title + ', p50':52} {scraped['p50']:9.2f} ms   -")
        print(f"{title + ', p99':52} {scraped['p99']:9.2f} ms   < {LATENESS_P99_GOAL_MS} ms")
        print(f"{title + ', max':52} {scraped['max']:9.2f} ms   -")
    print(f"{'CPU at 1 s with five checks, share of one core':52} {percent:9.3f} %    "
          f"< {CPU_GOAL_PERCENT} %")
    print(f"{'  the same as CPU seconds per hour':52} {per_hour:9.1f} s    "
          f"< {CPU_GOAL_PERCENT * 36:.1f} s")
    print(f"{'private memory':52} {memory:9.2f} MiB  < {MEMORY_GOAL_MIB} MiB")


if __name__ == "__main__":
    main(sys.argv[1], "--quick" in sys.argv[2:])
