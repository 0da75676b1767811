#!/usr/bin/env python3
"""merloxsim serve and the processes that share its cards: merloxctl runs, each a
process of its own, against one running simulator; one killed mid-wait; a watchdog
left unfed; the sim commands; a second simulator of the same name; no simulator.

Usage: merloxsim_test.py [--wine WINE-RUN] PATH/TO/merloxsim PATH/TO/merloxctl

With --wine, merloxsim.exe and merloxctl.exe run under Wine through the given runner,
all in the build tree's one Wine prefix, so that they reach each other's pipes; a
SIGINT reaches them as the console's Ctrl+C, and a SIGKILL ends a Windows process
as abruptly as on Linux.
"""
import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest

from running_process import RunningProcess, until

RUNNER = []  # the runner under Wine, else nothing
MERLOXSIM = ""
MERLOXCTL = ""
EXIT_OK, EXIT_FAILED = 0, 1
NAME = "merloxsim-test-%d" % os.getpid()
# Wine turns the program's line ends into CRLF on the console's pipes.
NEWLINE = re.compile(r"\r\n")


def Process(*command):
    return RunningProcess(*RUNNER, *command)


def run(*command):
    result = subprocess.run([*RUNNER, *command], capture_output=True, text=True, timeout=60,
                            stdin=subprocess.DEVNULL)
    result.stdout = NEWLINE.sub("\n", result.stdout)
    result.stderr = NEWLINE.sub("\n", result.stderr)
    return result


def ctl(*args):
    return run(MERLOXCTL, "--simulator", NAME, *args)


def ctl_json(*args):
    result = ctl("--json", *args)
    assert result.returncode == EXIT_OK, result.stderr
    return json.loads(result.stdout)



def card(state, card_id):
    return next(entry for entry in state["cards"] if entry["card"] == card_id)


class SharedSimulatorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Process(MERLOXSIM, "serve", "--name", NAME, "--cards", "2")
        if not cls.server.wait_for(r"serving 2 simulated cards as \"%s\"" % NAME):
            cls.server.stop(signal.SIGKILL)
            raise AssertionError(cls.server.lines)

    @classmethod
    def tearDownClass(cls):
        code, errors = cls.server.stop(signal.SIGINT)
        assert code == EXIT_OK, errors
        assert "merloxsim: stopped" in cls.server.lines, cls.server.lines

    def test_a_second_simulator_of_the_same_name_is_refused(self):
        result = run(MERLOXSIM, "serve", "--name", NAME)
        self.assertEqual(result.returncode, EXIT_FAILED)
        self.assertIn("already running", result.stderr)

    def test_no_simulator_gets_a_clear_message(self):
        for args in (["list"], ["sim", "state"]):
            with self.subTest(args=args):
                result = run(MERLOXCTL, "--simulator", "nobody-%d" % os.getpid(), *args)
                self.assertEqual(result.returncode, EXIT_FAILED)
                self.assertIn("no shared simulator named", result.stderr)
                self.assertIn("merloxsim serve --name", result.stderr)

    def test_watchdog_armed_by_one_run_is_running_in_the_next(self):
        self.assertEqual(ctl("wdg", "timeout", "1", "60s").returncode, EXIT_OK)
        self.assertEqual(ctl("wdg", "start", "1").returncode, EXIT_OK)
        status = ctl("wdg", "status", "1")
        self.assertIn("watchdog running", status.stdout)
        self.assertIn('the shared simulator "%s"' % NAME, status.stderr)
        state = card(ctl_json("sim", "state"), 1)
        self.assertTrue(state["watchdog_running"])
        self.assertEqual(state["timeout_s"], 60)
        self.assertEqual(ctl("wdg", "stop", "1").returncode, EXIT_OK)

    def test_keepalive_stopped_armed_lets_the_host_reset_once(self):
        resets = lambda: [event for event in ctl_json("sim", "log")["events"]
                          if event["event"] == "host_reset" and event["card"] == 0]
        before = len(resets())
        keepalive = Process(MERLOXCTL, "--simulator", NAME, "wdg", "keepalive", "0",
                            "--interval", "200ms", "--timeout", "1s", "--leave-armed")
        self.assertTrue(keepalive.wait_for(r"pet"), keepalive.lines)
        time.sleep(1.5)  # fed: no reset
        self.assertEqual(len(resets()), before)
        code, errors = keepalive.stop(signal.SIGINT)
        self.assertEqual(code, EXIT_OK, errors)
        self.assertTrue(until(lambda: len(resets()) == before + 1, 5))
        time.sleep(1.2)
        self.assertEqual(len(resets()), before + 1, "one reset, then the watchdog stops")
        self.assertFalse(card(ctl_json("sim", "state"), 0)["watchdog_running"])
        self.assertIn("card 0 reset the host", ctl("sim", "log").stdout)

    def test_a_process_killed_mid_wait_leaves_no_handle_and_others_carry_on(self):
        handles = lambda: card(ctl_json("sim", "state"), 1)["open_handles"]
        self.assertTrue(until(lambda: handles() == 0))
        watch = Process(MERLOXCTL, "--simulator", NAME, "watch", "1")
        self.assertTrue(until(lambda: handles() > 0), watch.lines)
        time.sleep(0.3)  # its waits are in the driver by now
        watch.stop(signal.SIGKILL)
        self.assertTrue(until(lambda: handles() == 0), "the killed process's handles stay open")
        self.assertEqual(ctl("wdg", "pet", "1").returncode, EXIT_OK)

    def test_sim_commands_round_trip(self):
        plugged = ctl_json("sim", "plug", "0x8081")["card"]
        self.assertEqual(ctl_json("sim", "serial", str(plugged), "0x0000004D584F0C03")["serial"],
                         "0x0000004D584F0C03")
        listing = ctl("list").stdout
        self.assertIn("product 0x8081", listing)
        self.assertIn("serial 0x0000004D584F0C03", listing)
        self.assertEqual(ctl_json("sim", "sensors", str(plugged), "30", "50")["card"], plugged)
        self.assertIn("30.00 C", ctl("sensors", "-s", "0x0000004D584F0C03").stdout)
        self.assertEqual(ctl_json("sim", "inputs", str(plugged), "0x05")["inputs"], 5)
        self.assertEqual(ctl_json("di", "read", "-s", "0x0000004D584F0C03")["inputs"], 5)
        self.assertEqual(ctl_json("sim", "advance", "2s")["advanced_ms"], 2000)
        self.assertEqual(ctl("sim", "expire", str(plugged)).returncode, EXIT_FAILED)  # not running
        replugged = ctl_json("sim", "replug", str(plugged))["new_card"]
        self.assertGreater(replugged, plugged)
        self.assertFalse(card(ctl_json("sim", "state"), plugged)["plugged"])
        self.assertEqual(ctl_json("sim", "unplug", str(replugged)), {"card": replugged,
                                                                      "plugged": False})
        self.assertNotIn("product 0x8081", ctl("list").stdout)
        missing = ctl("sim", "unplug", "9999")
        self.assertEqual(missing.returncode, EXIT_FAILED)
        self.assertIn("no card 9999", missing.stderr)


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if arguments[:1] == ["--wine"]:
        RUNNER = [arguments[1]]
        arguments = arguments[2:]
    MERLOXSIM, MERLOXCTL = arguments[0], arguments[1]
    unittest.main(argv=[sys.argv[0], "-v"])
