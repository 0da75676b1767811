#!/usr/bin/env python3
"""merloxd scraped by a real Prometheus: a server on 127.0.0.1 scrapes merloxd on a
shared simulator every second and evaluates docs/merloxd.md's alert rules; its query
API shows the simulator's temperature, a check made to fail within two scrapes, and
a card unplugged as not up. promtool accepts the endpoint's text and the rules.

Usage: prometheus_test.py MERLOXSIM MERLOXD MERLOXCTL
"""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
from typing import Any, Dict, List, Tuple

from guard_under_test import (SERIAL_A, SERIAL_B, GuardOnSimulator, alert_rules, free_port,
                              get, stop_process, until)
from running_process import RunningProcess

MERLOXSIM = MERLOXD = MERLOXCTL = ""
SCRAPE_SECONDS = 1


class Prometheus:
    """A Prometheus server of the test's own, its data in folder."""

    def __init__(self, folder: str, target: str, rules: str) -> None:
        config = os.path.join(folder, "prometheus.yml")
        with open(config, "w", encoding="utf-8") as file:
            file.write(f"""global:
  scrape_interval: {SCRAPE_SECONDS}s
  evaluation_interval: {SCRAPE_SECONDS}s
rule_files: ["{rules}"]
scrape_configs:
  - job_name: merloxd
    static_configs:
      - targets: ["{target}"]
""")
        self.url = "http://127.0.0.1:%d" % free_port()
        self.process = RunningProcess(
            "prometheus", "--config.file=" + config,
            "--storage.tsdb.path=" + os.path.join(folder, "data"),
            "--web.listen-address=" + self.url[len("http://"):], "--log.level=warn")

    def api(self, path: str, **parameters: str) -> Dict[str, Any]:
        code, body, _ = get(self.url + "/api/v1/" + path + "?" +
                            urllib.parse.urlencode(parameters))
        assert code == 200, body
        data: Dict[str, Any] = json.loads(body)["data"]
        return data

    def samples(self, series: str, seconds: int = 60) -> List[Tuple[float, float]]:
        """The raw samples of one series over the last seconds: (time, value)."""
        result = self.api("query", query="%s[%ds]" % (series, seconds))["result"]
        return [(float(t), float(v)) for t, v in result[0]["values"]] if result else []

    def value(self, series: str) -> float:
        samples = self.samples(series)
        return samples[-1][1] if samples else float("nan")

    def ready(self) -> bool:
        try:
            code: int = get(self.url + "/-/ready", timeout=1)[0]
            return code == 200
        except OSError:
            return False


class PrometheusTest(unittest.TestCase):
    def setUp(self) -> None:
        self.folder = tempfile.TemporaryDirectory(prefix="merloxd-prometheus-")
        self.addCleanup(self.folder.cleanup)
        self.guard = GuardOnSimulator(MERLOXSIM, MERLOXD, MERLOXCTL, self.folder.name)
        self.addCleanup(self.guard.stop)
        self.rules = os.path.join(self.folder.name, "merloxd-alerts.yml")
        with open(self.rules, "w", encoding="utf-8") as file:
            file.write(alert_rules())

    def test_promtool_accepts_the_metrics_and_the_alert_rules(self) -> None:
        code, text, headers = get(self.guard.url + "/metrics")
        self.assertEqual(code, 200)
        self.assertEqual(headers["Content-Type"], "text/plain; version=0.0.4; charset=utf-8")
        lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                              text=True, timeout=30)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)
        rules = subprocess.run(["promtool", "check", "rules", self.rules], capture_output=True,
                               text=True, timeout=30)
        self.assertEqual(rules.returncode, 0, rules.stdout + rules.stderr)
        self.assertIn("SUCCESS: 3 rules found", rules.stdout)

    def test_a_prometheus_server_sees_the_cards_and_the_checks(self) -> None:
        self.guard.sim("sensors", "0", "31", "40")
        server = Prometheus(self.folder.name, self.guard.url[len("http://"):], self.rules)
        self.addCleanup(stop_process, server.process)
        self.assertTrue(until(server.ready, 20), server.process.lines)
        up = 'merlox_up{card="%s"}' % SERIAL_A
        self.assertTrue(until(lambda: len(server.samples(up)) >= 2, 15), "two scrapes")

        reading = subprocess.run([MERLOXCTL, "--simulator", self.guard.name, "--json", "sensors",
                                  "-s", SERIAL_A], capture_output=True, text=True, timeout=30)
        expected = json.loads(reading.stdout)["temperature_c"]
        temperature = server.value('merlox_temperature_celsius{card="%s"}' % SERIAL_A)
        self.assertAlmostEqual(temperature, expected, delta=0.005)
        self.assertAlmostEqual(temperature, 31, delta=0.01)

        # The check fails: within two scrapes of that, Prometheus has it failing.
        healthy = 'merlox_guard_check_healthy{check="flag"}'
        self.assertEqual(server.value(healthy), 1)
        failed_at = time.time()
        os.remove(os.path.join(self.guard.folder, "flag"))
        self.assertTrue(until(lambda: server.value(healthy) == 0, 15), "never seen failing")
        after = [v for t, v in server.samples(healthy) if t > failed_at]
        self.assertLessEqual(after.index(0.0), 1, "scrapes still healthy after the failure: %s"
                             % after)

        # Unplugged, the card is not up; the other goes on.
        self.guard.sim("unplug", "1")
        gone = 'merlox_up{card="%s"}' % SERIAL_B
        self.assertTrue(until(lambda: server.value(gone) == 0, 15), server.samples(gone))
        self.assertEqual(server.value(up), 1)

        # The alert rules are loaded and evaluated without error.
        groups = server.api("rules")["groups"]
        rules = {rule["name"]: rule for group in groups for rule in group["rules"]}
        self.assertEqual(len(rules), 3, rules.keys())
        self.assertTrue(until(lambda: all(rule["health"] == "ok" for group in
                                          server.api("rules")["groups"]
                                          for rule in group["rules"]), 10))


if __name__ == "__main__":
    MERLOXSIM, MERLOXD, MERLOXCTL = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0], "-v"])
