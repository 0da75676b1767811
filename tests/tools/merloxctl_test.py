#!/usr/bin/env python3
"""Tests of merloxctl against simulated cards: human and JSON output, status
messages and exit codes, and the watch mode ended by SIGINT.

Usage: merloxctl_test.py PATH/TO/merloxctl
"""
import json
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

MERLOXCTL = None
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


def run(*args, timeout=60):
    return subprocess.run([MERLOXCTL, "--simulate", *args], capture_output=True, text=True,
                          timeout=timeout)


class ListTest(unittest.TestCase):
    def test_human_output_names_each_card_with_watchdog_and_sensors(self):
        result = run("list")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertRegex(result.stdout,
                         r'card 0: product 0x8080, "MERLOX-8 demo A", serial 0x0000004D584F0A01\n'
                         r'  watchdog: stopped \(status byte 0x00\)\n'
                         r'  sensors: 22\.5 C, 45\.0 % relative humidity\n'
                         r'card 1: product 0x8081, "MERLOX-8 demo B", serial 0x0000004D584F0B02\n')

    def test_json_output_parses_and_carries_the_same_facts(self):
        result = run("--json", "list")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        cards = json.loads(result.stdout)["cards"]
        self.assertEqual([card["card"] for card in cards], [0, 1])
        self.assertEqual([card["product"] for card in cards], ["0x8080", "0x8081"])
        self.assertEqual(cards[1]["name"], "MERLOX-8 demo B")
        self.assertEqual(cards[0]["serial"], "0x0000004D584F0A01")
        self.assertEqual(cards[0]["watchdog"],
                         {"status": 0, "running": False, "events_enabled": False,
                          "has_reset_host": False})
        self.assertAlmostEqual(cards[0]["temperature_c"], 22.5, places=2)
        self.assertAlmostEqual(cards[1]["humidity_percent"], 60.0, places=2)


class CommandTest(unittest.TestCase):
    # (arguments, expected stdout pattern): each command's effect as the card reports it.
    CASES = [
        (["wdg", "status", "0"], r"watchdog of card 0: stopped \(status byte 0x00\)"),
        (["wdg", "start", "-3"], None),  # 52: two cards are open
        (["wdg", "start", "-2"], r"watchdog of card -2: started"),
        (["wdg", "timeout", "1", "2500"], r"watchdog timeout of card 1: 2000 ms"),
        (["sensors", "1"], r"card 1: 31\.0 C \(87\.8 F\), 60\.0 % relative humidity"),
        (["ai", "0"], r"analog input 0: 249\.98\d*\n(.*\n){2}analog input 3: 1000\.01"),
        (["di", "0"], r"inputs 7\.\.0 of card 0: 00000000"),
        (["do", "0", "165"], r"outputs 7\.\.0 of card 0: 10100101"),
        (["do", "1", "set", "6", "1"], r"outputs 7\.\.0 of card 1: 01000000"),
        (["speaker", "0", "440"], r"speaker of card 0: 440"),
    ]

    def test_commands(self):
        for args, pattern in self.CASES:
            with self.subTest(args=args):
                result = run(*args)
                if pattern is None:
                    self.assertEqual(result.returncode, EXIT_FAILED)
                    self.assertIn("several cards are open", result.stderr)
                    self.assertIn("(status 52)", result.stderr)
                else:
                    self.assertEqual(result.returncode, EXIT_OK, result.stderr)
                    self.assertRegex(result.stdout, pattern)

    def test_json_of_a_command(self):
        result = run("--json", "do", "0", "set", "2", "1")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual(json.loads(result.stdout), {"card": 0, "outputs": 4})


BAD_NUMBER = "a card number outside 0..31 that is not a selector, or a channel out of range"


class FailureTest(unittest.TestCase):
    # (arguments, status, message): a bad card number or argument is reported with
    # the library's status and its meaning, and exits 1.
    STATUSES = [
        (["wdg", "status", "40"], 1413, BAD_NUMBER),
        (["wdg", "pet", "-1"], 1413, BAD_NUMBER),
        (["sensors", "9"], 2, "no open card with this number"),
        (["speaker", "0", "70000"], 87, "an argument is out of range"),
        (["watch", "12"], 2, "no open card with this number"),
    ]

    def test_statuses_human(self):
        for args, status, message in self.STATUSES:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, EXIT_FAILED)
                self.assertEqual(result.stdout, "")
                self.assertIn(f"{message} (status {status})", result.stderr)

    def test_statuses_json(self):
        for args, status, message in self.STATUSES:
            with self.subTest(args=args):
                result = run("--json", *args)
                self.assertEqual(result.returncode, EXIT_FAILED)
                error = json.loads(result.stdout)["error"]
                self.assertEqual((error["status"], error["message"]), (status, message))

    def test_usage_errors_exit_2(self):
        for args in (["frobnicate"], ["wdg", "status"], ["wdg", "status", "zero"],
                     ["do", "0", "256"], ["do", "0", "set", "8", "1"], ["--colour", "list"]):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, EXIT_USAGE)
                self.assertIn("merloxctl:", result.stderr)


class WatchTest(unittest.TestCase):
    def watch_until_sigint(self, *args):
        process = subprocess.Popen([MERLOXCTL, "--simulate", *args, "watch"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # A hung merloxctl must not hang the test.
        watchdog = threading.Timer(30, process.kill)
        watchdog.start()
        try:
            first = process.stdout.readline()
            # With --simulate, input 0 of each card changes every 400 ms.
            event = process.stdout.readline()
            process.send_signal(signal.SIGINT)
            started = time.monotonic()
            rest, errors = process.communicate(timeout=20)
            return process.returncode, first, event + rest, errors, time.monotonic() - started
        finally:
            watchdog.cancel()
            if process.poll() is None:
                process.kill()
                process.wait()

    def test_sigint_aborts_the_waits_and_exits_0(self):
        code, first, rest, errors, elapsed = self.watch_until_sigint()
        self.assertEqual(first, "watching cards 0, 1; Ctrl+C stops\n")
        self.assertEqual(code, EXIT_OK, errors)
        self.assertRegex(rest, r"^card [01]: inputs 7\.\.0 00000001 \(changed 00000001\) "
                               r"at timestamp \d+\n")
        self.assertTrue(rest.endswith("stopped\n"), rest)
        self.assertEqual(errors, "")
        self.assertLess(elapsed, 5.0)

    def test_json_watch_prints_one_object_per_line(self):
        code, first, rest, errors, _ = self.watch_until_sigint("--json")
        self.assertEqual(code, EXIT_OK, errors)
        self.assertEqual(json.loads(first), {"watching": [{"card": 0}, {"card": 1}]})
        events = [json.loads(line) for line in rest.splitlines()]
        self.assertEqual(events[-1], {"stopped": True})
        self.assertEqual({key: events[0][key] for key in ("event", "inputs", "changed")},
                         {"event": "inputs", "inputs": 1, "changed": 1})
        self.assertIn(events[0]["card"], (0, 1))


if __name__ == "__main__":
    MERLOXCTL = sys.argv.pop(1)
    unittest.main(verbosity=2)
