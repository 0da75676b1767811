#!/usr/bin/env python3
"""merloxd.exe under Wine serves its endpoint to this Linux process: /metrics with the
simulated card (--simulate, MERLOXSIM.dll beside merloxd.exe) that promtool accepts,
/status.json, HEAD, and a POST refused.

Usage: windows_metrics_test.py WINE-RUN MERLOXD.EXE
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

from guard_under_test import free_port, get, stop_process, until
from running_process import RunningProcess

WINE_RUN = MERLOXD = ""
SERIAL = "0x0000004D584F0A01"  # the card --simulate plugs in


class WindowsMetricsTest(unittest.TestCase):
    def test_merloxd_exe_serves_a_linux_client(self) -> None:
        folder = tempfile.TemporaryDirectory(prefix="merloxd-wine-metrics-")
        self.addCleanup(folder.cleanup)
        port = free_port()
        config = os.path.join(folder.name, "guard.toml")
        with open(config, "w", encoding="utf-8") as file:
            file.write(f"""[watchdog]
card = "serial:{SERIAL}"
timeout = "30s"
interval = "500ms"

[http]
listen = "127.0.0.1:{port}"
""")
        # Wine takes the file names as they are: / is a separator there too.
        guard = RunningProcess(WINE_RUN, MERLOXD, "run", "--simulate", "--config", config,
                               "--state-dir", os.path.join(folder.name, "state"))
        self.addCleanup(stop_process, guard)
        self.assertTrue(guard.wait_for(r"metrics and status page at http://127\.0\.0\.1:%d/" % port,
                                       120), guard.lines)
        url = "http://127.0.0.1:%d" % port
        armed = 'merlox_watchdog_armed{card="%s"} 1' % SERIAL
        self.assertTrue(until(lambda: armed in get(url + "/metrics")[1], 60), guard.lines)

        code, text, headers = get(url + "/metrics")
        self.assertEqual(code, 200)
        temperature = re.search(r'^merlox_temperature_celsius\{card="%s"\} (\S+)$' % SERIAL,
                                text, re.M)
        assert temperature, text
        self.assertAlmostEqual(float(temperature.group(1)), 22.5, delta=0.01)
        self.assertIn('merlox_up{card="%s"} 1' % SERIAL, text)
        lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                              text=True, timeout=30)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)

        code, body, _ = get(url + "/status.json")
        self.assertEqual(code, 200)
        self.assertEqual(json.loads(body)["cards"][0]["card"], SERIAL)
        code, body, headers = get(url + "/", method="HEAD")
        self.assertEqual((code, body), (200, ""))
        self.assertGreater(int(headers["Content-Length"]), 1000)
        code, _, headers = get(url + "/metrics", method="POST")
        self.assertEqual(code, 405)
        self.assertEqual(headers["Allow"], "GET, HEAD")


if __name__ == "__main__":
    WINE_RUN, MERLOXD = sys.argv[1:3]
    unittest.main(argv=[sys.argv[0], "-v"])
