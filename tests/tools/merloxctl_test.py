#!/usr/bin/env python3
"""merloxctl as a whole process against simulated cards: human and JSON output, the
error stream, exit codes, and the commands that go on until Ctrl+C or SIGTERM.

Usage: merloxctl_test.py [--wine WINE-RUN] PATH/TO/merloxctl

With --wine, merloxctl.exe runs under Wine through the given runner, with its
simulated cards from MERLOXSIM.dll, and the tests that only the host can run (SIGTERM
has no meaning for a Windows console program) are skipped.
"""
import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest

from running_process import RunningProcess

COMMAND = []  # the runner (under Wine) and merloxctl
WINE = False
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
ISO_TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"
# Wine turns the program's line ends into CRLF on the console's pipes.
NEWLINE = re.compile(r"\r\n")


def run(*args, timeout=120):
    result = subprocess.run([*COMMAND, "--simulate", *args], capture_output=True, text=True,
                            timeout=timeout, stdin=subprocess.DEVNULL)
    result.stdout = NEWLINE.sub("\n", result.stdout)
    result.stderr = NEWLINE.sub("\n", result.stderr)
    return result


def Running(*args):
    """merloxctl --simulate with these arguments, until a signal."""
    return RunningProcess(*COMMAND, "--simulate", *args)


class ListTest(unittest.TestCase):
    def test_human_output_names_each_card_with_watchdog_and_sensors(self):
        result = run("list")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        # The Windows companion keeps the simulator's default name.
        name = '"MERLOX-8"' if WINE else '"MERLOX-8 demo A"'
        self.assertIn(f'card 0: product 0x8080, {name}, serial 0x0000004D584F0A01\n'
                      '  watchdog: stopped (status byte 0x00)\n'
                      '  sensors: 22.50 C, 45.00 % relative humidity\n'
                      'card 1: product 0x8081, ', result.stdout)

    def test_json_output_parses_and_carries_the_same_facts(self):
        result = run("list", "--json")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        cards = json.loads(result.stdout)["cards"]
        self.assertEqual([card["card"] for card in cards], [0, 1])
        self.assertEqual([card["serial"] for card in cards],
                         ["0x0000004D584F0A01", "0x0000004D584F0B02"])
        self.assertEqual(cards[0]["watchdog"],
                         {"status": 0, "running": False, "events_enabled": False,
                          "has_reset_host": False})
        self.assertEqual((cards[0]["temperature_c"], cards[1]["humidity_percent"]), (22.5, 60.0))


class CommandTest(unittest.TestCase):
    def test_a_command_in_json_names_its_card_resolved(self):
        result = run("do", "set", "--json", "-s", "0x0000004D584F0B02", "5", "1")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual(json.loads(result.stdout),
                         {"card": 1, "serial": "0x0000004D584F0B02", "outputs": 32})

    def test_version_is_the_headers(self):
        header = os.path.join(os.path.dirname(__file__), "..", "..", "include", "merlox.h")
        with open(header, encoding="ascii") as text:
            version = re.search(r'#define MERLOX_VERSION_STRING "([^"]+)"', text.read())[1]
        result = run("--version")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual(result.stdout.strip(), f"merloxctl {version}")

    def test_help_of_a_command(self):
        result = run("wdg", "timeout", "--help")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertIn("Usage: merloxctl wdg timeout (CARD | -s SERIAL) [DURATION] [OPTIONS]",
                      result.stdout)
        self.assertIn("--disable-timeout", result.stdout)

    def test_failures_go_to_the_error_stream_with_their_exit_codes(self):
        # (arguments, exit code, message); the same in JSON, as one object.
        cases = [
            (["wdg", "status", "40"], EXIT_USAGE, "card number 40 is outside -3..31"),
            (["wdg", "timeout", "0", "65536000"], EXIT_USAGE,
             "a watchdog timeout of 18 h 12 min 16 s is longer than the card can hold"),
            (["sensors", "9"], EXIT_FAILED,
             "sensors on card 9: no open card with this number (status 2)"),
            (["wdg", "start", "-3"], EXIT_FAILED, "several cards are open; give a card number (status 52)"),
        ]
        for args, code, message in cases:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, code)
                self.assertEqual(result.stdout, "")
                self.assertTrue(result.stderr.startswith("merloxctl: "), result.stderr)
                self.assertIn(message, result.stderr)
                result = run("--json", *args)
                self.assertEqual(result.returncode, code)
                self.assertEqual(result.stdout, "")
                error = json.loads(result.stderr)["error"]
                self.assertIn(error["message"].split(" (")[0], message)


class GoesOnTest(unittest.TestCase):
    """Commands that run until Ctrl+C (SIGINT, which Wine turns into the console's
    Ctrl+C) or SIGTERM, and then end cleanly."""

    def test_keepalive_until_ctrl_c_then_stops_the_watchdog(self):
        loop = Running("wdg", "keepalive", "1", "--interval", "200ms", "--timeout", "30s")
        self.assertTrue(loop.wait_for("watchdog armed"), loop.lines)
        time.sleep(1.0)
        code, errors = loop.stop(signal.SIGINT)
        lines = loop.lines
        self.assertEqual(code, EXIT_OK, errors)
        self.assertRegex(lines[0], f"^{ISO_TIME} card 1 \\(serial 0x0000004D584F0B02\\): watchdog "
                                   "armed with a timeout of 30 s, petting every 0.2 s")
        last = re.fullmatch(f"{ISO_TIME} card 1 \\(serial 0x0000004D584F0B02\\): petted (\\d+) "
                            "times; watchdog stopped", lines[-1])
        self.assertIsNotNone(last, lines)
        self.assertGreaterEqual(int(last.group(1)), 3)

    def test_keepalive_ended_by_sigterm_can_leave_the_watchdog_armed(self):
        if WINE:
            self.skipTest("SIGTERM: host only")
        loop = Running("--json", "wdg", "keepalive", "0", "--interval", "100ms", "--leave-armed")
        self.assertTrue(loop.wait_for('"armed":true'), loop.lines)
        time.sleep(0.5)
        code, errors = loop.stop(signal.SIGTERM)
        lines = loop.lines
        self.assertEqual(code, EXIT_OK, errors)
        last = json.loads(lines[-1])
        self.assertEqual(last["watchdog"], "left armed")
        self.assertGreaterEqual(last["pets"], 2)
        self.assertRegex(last["time"], ISO_TIME)

    def test_watch_prints_input_changes_with_the_time_until_ctrl_c(self):
        watch = Running("--json", "watch")
        self.assertTrue(watch.wait_for('"event":"inputs","inputs":1'), watch.lines)
        code, errors = watch.stop(signal.SIGINT)
        lines = watch.lines
        self.assertEqual(code, EXIT_OK, errors)
        events = [json.loads(line) for line in lines]
        self.assertEqual([e.get("watchdog_events") for e in events[:2]], ["enabled", "enabled"])
        self.assertTrue(all(re.fullmatch(ISO_TIME, e["time"]) for e in events))
        self.assertEqual(events[-1], {"time": events[-1]["time"], "stopped": True})


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if arguments[:1] == ["--wine"]:
        WINE = True
        COMMAND = [arguments[1]]
        arguments = arguments[2:]
    COMMAND.append(arguments[0])
    unittest.main(argv=[sys.argv[0], "-v"])
