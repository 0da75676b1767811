#!/usr/bin/env python3
"""merloxd as a whole process, against a shared simulator (merloxsim serve) whose card
outlives it: heartbeats sent with merloxctl notify keep the card fed until they stop;
pause and resume; the guard killed, and the card resets the simulated host at its
timeout; clean stops; a second guard; bad configurations, with nothing armed; bad
messages on the control channel; the card unplugged and plugged in again.

Usage: merloxd_test.py PATH/TO/merloxd PATH/TO/merloxctl PATH/TO/merloxsim
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "bindings", "python"))
from running_process import RunningProcess as Process, until  # noqa: E402
from merlox.guard import GuardNotRunning, GuardRefused, Heartbeat, status  # noqa: E402

MERLOXD = MERLOXCTL = MERLOXSIM = ""
NAME = "merloxd-test-%d" % os.getpid()
SERIAL = "0x0000004D584F0001"  # the first card merloxsim serve plugs in



def ctl(*args, control=None):
    env = dict(os.environ)
    if control:
        env["MERLOXD_CONTROL"] = control
    return subprocess.run([MERLOXCTL, "--simulator", NAME, *args], capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL, env=env)


def ctl_json(*args, control=None):
    result = ctl("--json", *args, control=control)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def sim_card():
    """The card the guards watch, as the simulator sees it: the plugged one."""
    return next(card for card in ctl_json("sim", "state")["cards"] if card["plugged"])


def host_resets():
    return [event for event in ctl_json("sim", "log")["events"] if event["event"] == "host_reset"]


WATCHDOG = """[watchdog]
card = "serial:%s"
timeout = "2s"
interval = "200ms"
grace = "400ms"
""" % SERIAL


class Guard:
    """merloxd run in a state directory of its own, with this configuration."""

    def __init__(self, folder, config, *extra):
        self.folder = folder
        self.config = os.path.join(folder, "guard.toml")
        with open(self.config, "w") as file:
            file.write(config)
        self.state = os.path.join(folder, "state")
        self.control = os.path.join(self.state, "control.sock")
        self.process = Process(MERLOXD, "run", "--config", self.config, "--state-dir",
                               self.state, "--simulate=" + NAME, *extra)

    def wait_for(self, pattern, seconds=10):
        return self.process.wait_for(pattern, seconds)

    def status(self):
        return ctl_json("guard", "status", control=self.control)

    def stop(self, signal_number=signal.SIGTERM):
        if self.process.process.poll() is not None:
            return self.process.process.returncode, ""
        return self.process.stop(signal_number)


class MerloxdTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Process(MERLOXSIM, "serve", "--name", NAME, "--cards", "1")
        assert cls.server.wait_for(r"serving 1 simulated cards? as"), cls.server.lines

    @classmethod
    def tearDownClass(cls):
        code, errors = cls.server.stop(signal.SIGINT)
        assert code == 0, errors

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="merloxd-test-")
        self.guards = []
        self.watched = os.path.join(self.folder, "watched")
        with open(self.watched, "w") as file:
            file.write("x")

    def tearDown(self):
        for guard in self.guards:
            guard.stop(signal.SIGKILL)
        # Whatever a test left armed must not reset the host in the next one.
        ctl("wdg", "stop", "-s", SERIAL)
        shutil.rmtree(self.folder, ignore_errors=True)

    def guard(self, config, *extra):
        guard = Guard(self.folder, config, *extra)
        self.guards.append(guard)
        return guard

    def file_check(self):
        return '[[check]]\nname = "watched"\ntype = "file"\npath = "%s"\nmax_age = "1h"\n' % (
            self.watched)

    def test_heartbeats_keep_the_card_fed_until_they_stop_then_the_host_resets(self):
        guard = self.guard(WATCHDOG + '[[check]]\nname = "app"\ntype = "heartbeat"\n'
                           'interval = "100ms"\n')
        self.assertTrue(guard.wait_for(r"armed card \d+ with a timeout of 2 s"), guard.process.lines)
        registered = ctl("notify", "app", "--timeout", "500ms", control=guard.control)
        self.assertEqual(registered.returncode, 0, registered.stderr)
        resets = len(host_resets())
        pets = sim_card()["pets"]
        for _ in range(15):  # 3 s: longer than the card's timeout
            time.sleep(0.2)
            self.assertEqual(ctl("notify", "app", control=guard.control).returncode, 0)
        self.assertGreater(sim_card()["pets"], pets + 8)
        self.assertEqual(len(host_resets()), resets, "fed while the application pinged")
        status = guard.status()
        self.assertTrue(status["armed"])
        self.assertEqual(status["checks"][0]["healthy"], True, status)
        self.assertNotIn("reset", status["actions"])

        self.assertTrue(guard.wait_for(r"acting: app failing past its grace", 5),
                        guard.process.lines)
        self.assertTrue(until(lambda: len(host_resets()) == resets + 1, 4))
        self.assertEqual(guard.status()["actions"], {"reset": 1})
        code, errors = guard.stop()
        self.assertEqual(code, 0, errors)

    def test_reboot_asks_for_a_restart_and_the_backstop_resets_the_host_when_none_follows(self):
        events = lambda kind: [event for event in ctl_json("sim", "log")["events"]
                               if event["event"] == kind]
        shutdowns, resets = len(events("shutdown")), len(events("host_reset"))
        guard = self.guard(WATCHDOG.replace('timeout = "2s"', 'timeout = "30s"') +
                           'on_failure = "reboot"\nreboot_backstop = "2s"\n'
                           '[[check]]\nname = "app"\ntype = "heartbeat"\n')
        self.assertTrue(until(lambda: len(events("shutdown")) == shutdowns + 1), guard.process.lines)
        self.assertEqual(events("shutdown")[-1]["flags"], 6, "a forced restart")
        asked = time.monotonic()
        self.assertEqual(sim_card()["timeout_s"], 2, "the backstop, not the 30 s timeout")
        # The simulated Windows does not restart: the card ends it at the backstop.
        self.assertTrue(until(lambda: len(events("host_reset")) == resets + 1, 5))
        self.assertGreater(time.monotonic() - asked, 1.0)

    def test_python_heartbeat_unregisters_on_a_clean_exit_and_not_on_an_exception(self):
        config = WATCHDOG + '[[check]]\nname = "app"\ntype = "heartbeat"\ninterval = "100ms"\n'
        guard = self.guard(config)
        self.assertTrue(until(lambda: os.path.exists(guard.control)), guard.process.lines)
        with self.assertRaises(GuardNotRunning):
            Heartbeat("app", 1.0, address=os.path.join(self.folder, "none.sock"))
        with self.assertRaisesRegex(GuardRefused, 'no heartbeat check is named "other"'):
            Heartbeat("other", 1.0, address=guard.control)
        with self.assertRaises(ValueError):
            Heartbeat("app", 0.05, address=guard.control)

        with Heartbeat("app", 0.5, address=guard.control) as heartbeat:
            for _ in range(12):
                time.sleep(0.2)
                heartbeat.ping()
            self.assertTrue(status(guard.control)["checks"][0]["healthy"])
        time.sleep(1.5)  # past the timeout and the grace: unregistered, not watched
        check = status(guard.control)["checks"][0]
        self.assertTrue(check["healthy"], check)
        self.assertIn("unregistered", check["detail"])
        self.assertEqual(status(guard.control)["actions"], {})

        # The guard restarts and forgets the name: the next ping registers it again.
        heartbeat = Heartbeat("app", 0.5, address=guard.control)
        self.assertEqual(guard.stop(signal.SIGINT)[0], 0)
        restarted = self.guard(config)
        self.assertTrue(until(lambda: os.path.exists(restarted.control)), restarted.process.lines)
        heartbeat.ping()
        self.assertTrue(until(lambda: "last ping" in
                              status(restarted.control)["checks"][0]["detail"], 3))

        class Failure(Exception):
            pass

        with self.assertRaises(Failure):
            with heartbeat:
                raise Failure()
        self.assertTrue(restarted.wait_for(r"acting: app failing past its grace", 5),
                        "an application that failed is not unregistered")

    def test_a_pause_feeds_whatever_the_checks_say_until_resume(self):
        guard = self.guard(WATCHDOG + 'startup_grace = "3s"\n[[check]]\nname = "app"\n'
                           'type = "heartbeat"\n')
        self.assertTrue(until(lambda: os.path.exists(guard.control)), guard.process.lines)
        paused = ctl("guard", "pause", "1m", "--reason", "new disk", control=guard.control)
        self.assertEqual(paused.returncode, 0, paused.stderr)
        time.sleep(4)  # past the startup grace and the grace
        status = guard.status()
        self.assertTrue(status["paused"])
        self.assertEqual(status["pause_reason"], "new disk")
        self.assertEqual(status["decision"], "paused")
        self.assertEqual(status["actions"], {})
        text = ctl("guard", "status", control=guard.control).stdout
        self.assertIn("PAUSED until", text)
        self.assertIn("app (heartbeat): FAILING since", text)
        self.assertEqual(ctl("guard", "resume", control=guard.control).returncode, 0)
        self.assertTrue(guard.wait_for(r"acting: app failing past its grace", 3),
                        guard.process.lines)

    def test_a_guard_killed_leaves_the_card_to_reset_the_host_at_its_timeout(self):
        guard = self.guard(WATCHDOG + self.file_check())
        self.assertTrue(until(lambda: sim_card()["pets"] >= 3 and sim_card()["watchdog_running"]))
        resets = len(host_resets())
        guard.stop(signal.SIGKILL)
        killed = time.monotonic()
        self.assertTrue(until(lambda: len(host_resets()) == resets + 1, 5))
        self.assertGreater(time.monotonic() - killed, 1.0, "not before its timeout")
        time.sleep(1)
        self.assertEqual(len(host_resets()), resets + 1, "exactly once")

        again = self.guard(WATCHDOG + self.file_check())
        self.assertTrue(again.wait_for(r"ended with the card armed and no clean stop"),
                        again.process.lines)

    def test_a_clean_stop_disarms_unless_told_not_to(self):
        for disarm in (True, False):
            with self.subTest(stop_disarms=disarm):
                config = WATCHDOG + ("" if disarm else "stop_disarms = false\n")
                guard = self.guard(config + self.file_check())
                self.assertTrue(until(lambda: sim_card()["pets"] >= 2 and
                                      sim_card()["watchdog_running"]))
                code, errors = guard.stop(signal.SIGINT)
                self.assertEqual(code, 0, errors)
                self.assertEqual(sim_card()["watchdog_running"], not disarm)
                ctl("wdg", "stop", "-s", SERIAL)

    def test_a_second_guard_on_the_same_state_directory_is_refused(self):
        first = self.guard(WATCHDOG + self.file_check())
        self.assertTrue(first.wait_for(r"control channel on"), first.process.lines)
        second = subprocess.run([MERLOXD, "run", "--config", first.config, "--state-dir",
                                 first.state, "--simulate=" + NAME], capture_output=True,
                                text=True, timeout=30, stdin=subprocess.DEVNULL)
        self.assertEqual(second.returncode, 1)
        self.assertIn("another merloxd uses the state directory " + first.state, second.stdout)
        self.assertEqual(first.status()["checks"][0]["name"], "watched", "the first serves on")

    def test_bad_configurations_are_refused_with_their_line_and_nothing_armed(self):
        card = '[watchdog]\ncard = "serial:%s"\n' % SERIAL
        cases = [
            (card + 'timeout = "0s"\n',
             'guard.toml:3:11: [watchdog]: timeout "0s" is outside 1 s to 18 h 12 min 15 s'),
            (card + 'timeout = "3s"\ninterval = "2s"\n',
             "guard.toml:4:12: [watchdog]: interval 2 s is too long for a timeout of 3 s"),
            (card + 'on_failure = "explode"\n',
             'guard.toml:3:14: [watchdog]: on_failure "explode" is neither "reboot" nor "reset"'),
            (card + 'colour = "red"\n', "guard.toml:3:10: [watchdog]: unknown key colour"),
            (card + '[[check]]\nname = "x"\ntype = "heartbeat"\nport = 5\n',
             'guard.toml:6:8: [[check]] "x": unknown key port'),
            ('[watchdog]\ntimeout = "3s"\n', "guard.toml:1:1: [watchdog]: card is missing"),
        ]
        pets = sim_card()["pets"]
        path = os.path.join(self.folder, "guard.toml")
        for config, message in cases:
            with open(path, "w") as file:
                file.write(config)
            for command in ("run", "check"):
                with self.subTest(config=config, command=command):
                    result = subprocess.run([MERLOXD, command, "--config", path,
                                             "--simulate=" + NAME], capture_output=True,
                                            text=True, timeout=30, stdin=subprocess.DEVNULL)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertIn(message, result.stderr)
        self.assertFalse(sim_card()["watchdog_running"])
        self.assertEqual(sim_card()["pets"], pets)

    def test_the_documented_example_is_a_configuration_check_accepts(self):
        docs = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                            "merloxd.md")
        with open(docs) as file:
            text = file.read()
        example = text.split("### An example", 1)[1].split("```toml\n", 1)[1].split("```", 1)[0]
        path = os.path.join(self.folder, "example.toml")
        with open(path, "w") as file:
            file.write(example)
        result = subprocess.run([MERLOXD, "check", "--config", path, "--simulate=" + NAME],
                                capture_output=True, text=True, timeout=60)
        # Read and run: its card and its D: drive are not on this machine (exit 1).
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("billing (heartbeat): fed by an application's pings", result.stdout)

    def test_no_simulator_of_that_name(self):
        result = subprocess.run([MERLOXD, "check", "--config", "unused.toml",
                                 "--simulate=nobody-%d" % os.getpid()], capture_output=True,
                                text=True, timeout=30)
        self.assertEqual(result.returncode, 2)
        self.assertIn("no shared simulator \"nobody-%d\" runs" % os.getpid(), result.stderr)

    def test_bad_messages_on_the_control_channel_are_answered_and_the_feeding_goes_on(self):
        guard = self.guard(WATCHDOG + self.file_check())
        self.assertTrue(until(lambda: os.path.exists(guard.control)))
        with socket.socket(socket.AF_UNIX) as client:
            client.connect(guard.control)
            stream = client.makefile("rwb")
            for message in (b"hello", b"{}", b'{"op":"halt"}', b'\xff\xfe{"op":"status"}',
                            b'{"op":"ping","name":"watched"}'):
                stream.write(message + b"\n")
                stream.flush()
                answer = json.loads(stream.readline())
                self.assertFalse(answer["ok"], message)
                self.assertTrue(answer["error"])
        pets = sim_card()["pets"]
        self.assertTrue(until(lambda: sim_card()["pets"] >= pets + 3))

    def test_a_card_plugged_in_again_is_found_by_its_serial_number_and_armed_again(self):
        guard = self.guard(WATCHDOG + self.file_check())
        self.assertTrue(until(lambda: sim_card()["pets"] >= 2 and sim_card()["watchdog_running"]))
        old = sim_card()["card"]
        self.assertEqual(ctl("sim", "replug", str(old)).returncode, 0)
        self.assertTrue(guard.wait_for(r"did not take the feed"), guard.process.lines)
        self.assertTrue(until(lambda: sim_card()["card"] != old and
                              sim_card()["watchdog_running"] and sim_card()["pets"] >= 2))
        self.assertEqual(guard.status()["serial"], SERIAL)


if __name__ == "__main__":
    MERLOXD, MERLOXCTL, MERLOXSIM = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0], "-v"])
