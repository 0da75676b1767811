#!/usr/bin/env python3
"""The status page in headless Chromium: merloxd on a shared simulator serves it,
Chromium runs its script against /status.json, and the rendered page shows the card's
values and a failing check as failing. Screenshots (wide and narrow) are kept in
ARTIFACTS.

Usage: status_page_test.py MERLOXSIM MERLOXD MERLOXCTL ARTIFACTS
"""
import html.parser
import os
import subprocess
import sys
import tempfile
import unittest
from typing import Dict, List, Optional, Tuple

from guard_under_test import SERIAL_A, SERIAL_B, GuardOnSimulator, until

MERLOXSIM = MERLOXD = MERLOXCTL = ARTIFACTS = ""
# A check that fails from the start (its file never exists); grace keeps the guard
# from acting on it.
MISSING = """
[[check]]
name = "missing"
type = "file"
path = "/nonexistent/merloxd-status-page-test"
max_age = "1h"
interval = "200ms"
"""


def chromium(profile: str, *args: str) -> "subprocess.CompletedProcess[str]":
    # As root (CI) Chromium runs only without its sandbox; its profile and home are the
    # test's own; the budget lets the page's script fetch /status.json and draw before
    # the DOM or the picture is taken.
    return subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                           "--no-first-run", "--disable-dev-shm-usage",
                           "--user-data-dir=" + profile, "--virtual-time-budget=5000", *args],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
                          env={**os.environ, "HOME": profile})


class Elements(html.parser.HTMLParser):
    """Every element with the attributes of its own and the text inside it, by the
    data-card, data-check and data-field attributes the page sets."""

    def __init__(self) -> None:
        super().__init__()
        self.open: List[Tuple[str, Dict[str, Optional[str]], List[str]]] = []
        self.found: List[Tuple[str, Dict[str, Optional[str]], str]] = []

    def handle_starttag(self, tag: str, attrs: List[Tuple[str, Optional[str]]]) -> None:
        if tag in ("meta", "br", "img", "input", "link"):  # HTML's elements without an end
            return
        self.open.append((tag, dict(attrs), []))

    def handle_endtag(self, tag: str) -> None:
        while self.open:
            name, attrs, text = self.open.pop()
            joined = "".join(text)
            self.found.append((name, attrs, joined))
            if self.open:
                self.open[-1][2].append(joined)
            if name == tag:
                return

    def handle_data(self, data: str) -> None:
        if self.open:
            self.open[-1][2].append(data)

    def one(self, **attribute: str) -> Tuple[Dict[str, Optional[str]], str]:
        (key, value), = attribute.items()
        matches = [(attrs, text) for _, attrs, text in self.found
                   if attrs.get(key.replace("_", "-")) == value]
        assert len(matches) == 1, "%s=%s: %d elements" % (key, value, len(matches))
        return matches[0]


class StatusPageTest(unittest.TestCase):
    def test_the_rendered_page_shows_cards_and_checks(self) -> None:
        folder = tempfile.TemporaryDirectory(prefix="merloxd-status-page-")
        self.addCleanup(folder.cleanup)
        with GuardOnSimulator(MERLOXSIM, MERLOXD, MERLOXCTL, folder.name, MISSING) as guard:
            guard.sim("sensors", "0", "27", "61")
            guard.sim("inputs", "0", "0x05")
            self.assertTrue(until(lambda: any(not c["healthy"] for c in
                                              guard.guard_status()["checks"]), 15))
            # The cache lets the readings be a second old.
            self.assertTrue(until(lambda: bool(guard.status()["cards"][0]["inputs"][2] == 1), 15))
            profile = os.path.join(folder.name, "profile")
            page = chromium(profile, "--dump-dom", guard.url + "/")
            self.assertEqual(page.returncode, 0, page.stderr)
            elements = Elements()
            elements.feed(page.stdout)

            card, text = elements.one(data_card=SERIAL_A)
            self.assertEqual(card["class"], "up")
            for shown in ("Card 0", "0x8080", "27.00 °C", "61.0 %", "0.0 · 0.0 · 0.0 · 0.0 mV",
                          "last 10 minutes"):
                self.assertIn(shown, text)
            other, text = elements.one(data_card=SERIAL_B)
            self.assertEqual(other["class"], "up")
            for shown in ("Card 1", "22.50 °C", "45.0 %", "250.0 · 500.0 · 750.0 · 1000.0 mV"):
                self.assertIn(shown, text)
            # The plot: a line each for temperature and humidity, on each card.
            lines = [attrs for name, attrs, _ in elements.found if name == "polyline"]
            self.assertEqual(len(lines), 4)
            self.assertTrue(all(attrs["points"] for attrs in lines))
            lit = [attrs["data-channel"] for _, attrs, _ in elements.found
                   if attrs.get("class") == "bit on"]
            self.assertEqual(lit[:2], ["0", "2"], "inputs 0 and 2 of the first card")

            failing, text = elements.one(data_check="missing")
            self.assertEqual(failing["class"], "failing")
            self.assertIn("failing since", text)
            healthy, text = elements.one(data_check="flag")
            self.assertEqual(healthy["class"], "healthy")
            self.assertIn("healthy", text)
            self.assertEqual(elements.one(id="armed")[1], "armed")
            self.assertEqual(elements.one(id="safe-mode")[1], "no")
            self.assertEqual(elements.one(id="paused")[1], "no")

            os.makedirs(ARTIFACTS, exist_ok=True)
            for name, size in (("status-page.png", "1100,900"),
                               ("status-page-narrow.png", "390,1400")):
                path = os.path.join(ARTIFACTS, name)
                if os.path.exists(path):
                    os.remove(path)
                shot = chromium(profile, "--hide-scrollbars", "--window-size=" + size,
                                "--screenshot=" + path, guard.url + "/")
                self.assertEqual(shot.returncode, 0, shot.stderr)
                with open(path, "rb") as picture:
                    self.assertEqual(picture.read(8), b"\x89PNG\r\n\x1a\n")


if __name__ == "__main__":
    MERLOXSIM, MERLOXD, MERLOXCTL, ARTIFACTS = sys.argv[1:5]
    unittest.main(argv=[sys.argv[0], "-v"])
