#!/usr/bin/env python3
"""The dashboard in a real browser: headless Chromium loads the page from a
rig mining against the test node, and the test reads what it rendered."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from chain import Chain
from mining_test import HARD_TARGET, PAYOUT, TEST_MINER, TWO_DEVICES, Base, api_get, free_port

CHART_JS = "/usr/share/javascript/chart.js/chart.min.js"


def chromium():
    return shutil.which("chromium") or shutil.which("chromium-browser")


def browse(url, *args, timeout=90):
    """What Chromium prints for url, after the page's scripts ran for a few seconds."""
    profile = tempfile.mkdtemp()
    try:
        run = subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu",
                              "--no-first-run", "--user-data-dir=" + profile,
                              "--virtual-time-budget=8000", *args, url],
                             capture_output=True, timeout=timeout)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    return run.stdout.decode("utf-8", "replace"), run.stderr.decode("utf-8", "replace")


class DashboardTest(Base):
    def setUp(self):
        super().setUp()
        if not chromium():
            self.skipTest("Chromium is not installed (scripts/install-deps.sh installs Debian's chromium)")

    def rig(self, binary=None, env=TWO_DEVICES):
        chain = Chain(payout_address=PAYOUT, target=HARD_TARGET)  # no block: both keep mining
        node = self.node(chain)
        port = free_port()
        m = self.miner(node, "-d", "all", "--api", "127.0.0.1:%d" % port, binary=binary, env=env)

        def both_known():
            try:
                status, _, body = api_get(port, "/summary")
            except OSError:  # not listening yet
                return False
            devices = json.loads(body)["devices"] if status == 200 else []
            return len(devices) == 2 and all(d["hashrate"] > 0 or d["state"] == "failed" for d in devices)
        deadline = time.monotonic() + 30
        while not both_known():
            self.assertLess(time.monotonic(), deadline, "the API never showed both devices")
            time.sleep(0.2)
        return m, port

    def test_the_page_shows_each_device_and_the_curve_without_a_script_error(self):
        m, port = self.rig()
        base = "http://127.0.0.1:%d" % port
        status, kind, page = api_get(port, "/")
        self.assertEqual((status, kind), (200, "text/html; charset=utf-8"))
        # Everything from the rig itself: no address outside it.
        self.assertEqual(re.findall(r"""(?:src|href)=["'](?!/)""", page), [])
        self.assertNotIn("//cdn", page)
        status, kind, script = api_get(port, "/chart.js")
        self.assertEqual((status, kind), (200, "application/javascript"))
        if os.path.exists(CHART_JS):
            with open(CHART_JS, encoding="utf-8") as f:
                self.assertEqual(script, f.read(), "Debian's Chart.js, as it is")

        dom, log = browse(base + "/", "--dump-dom")
        self.assertIn("<tbody id=\"devices\">", dom, dom[-2000:])
        self.assertNotIn("data-js-errors", dom, log[-2000:])
        self.assertNotIn("Uncaught", log)
        rows = re.findall(r'<tr class="state-(\w+)" data-device="(\d)">(.*?)</tr>', dom)
        self.assertEqual([(state, device) for state, device, _ in rows], [("mining", "0"), ("mining", "1")])
        for _, _, cells in rows:
            self.assertRegex(cells, r"<td>\d+\.\d\d [KMG]?H/s</td>")
        points = re.search(r'<canvas id="chart"[^>]* data-points="(\d+)"', dom)
        self.assertTrue(points, dom[-2000:])
        self.assertGreaterEqual(int(points.group(1)), 1)
        self.assertRegex(dom, r'<span id="version">v1\.1</span>')
        self.assertIn('<span id="source-url">%s</span>' % m.proc.args[2], dom)

        # The curves' samples: one a minute, none yet in the first.
        history = json.loads(api_get(port, "/history")[2])
        self.assertEqual((history["interval_s"], history["devices"], history["samples"]), (60, [0, 1], []))

        shots = os.environ.get("MARLVANE_SCREENSHOTS") or tempfile.mkdtemp()
        for width, height in ((1280, 800), (390, 844)):
            path = os.path.join(shots, "dashboard-%dx%d.png" % (width, height))
            browse(base + "/", "--screenshot=" + path, "--window-size=%d,%d" % (width, height),
                   "--hide-scrollbars")
            with open(path, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        status, _ = m.stop()
        self.assertEqual(status, 0)

    def test_a_failed_device_stands_out(self):
        if not TEST_MINER:
            self.skipTest("MARLVANE_TEST_MINER is not set")
        m, port = self.rig(TEST_MINER, {"MARLVANE_TEST_DEVICES": "2", "MARLVANE_TEST_LAUNCH_ERROR": "1",
                                        "MARLVANE_TEST_RATE": "1000000"})
        dom, log = browse("http://127.0.0.1:%d/" % port, "--dump-dom")
        rows = re.findall(r'<tr class="state-(\w+)" data-device="(\d)">', dom)
        self.assertEqual(rows, [("mining", "0"), ("failed", "1")], log[-2000:])
        self.assertRegex(dom, r'<td class="state state-failed">failed</td>')
        m.stop()


if __name__ == "__main__":
    unittest.main()
