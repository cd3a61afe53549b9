#!/usr/bin/env python3
"""The miner as a service that runs for months: its log file beside the real
logrotate, a disk that refuses every write, SIGHUP, and the systemd journal."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from chain import Chain
from mining_test import ACCEPTED, HARD_TARGET, PAYOUT, Base, free_port
from testnode import Reply, TcpProxy

STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d ")
STATS = re.compile(r"^  \[[\d.]+ [KMGT]?H/s\] h=\d+ \| n=\d+/4G \| blk=\d+$")
# A block every few hundred thousand nonces: a steady flow of lines.
STEADY = "00003fff" + "f" * 56


class LogTest(Base):
    def log_dir(self):
        path = tempfile.mkdtemp()  # private: logrotate refuses a world-writable folder
        self.cleanups.append(lambda: shutil.rmtree(path))
        return path

    def logged(self, *paths):
        """The lines of the log files in order, each without its time."""
        lines = []
        for path in paths:
            with open(path) as f:
                text = f.read()
            self.assertTrue(text.endswith("\n"), path)
            for line in text[:-1].split("\n"):
                self.assertRegex(line, STAMP, "a line without its time in %s" % path)
                self.assertNotIn("\r", line)
                lines.append(STAMP.sub("", line))
        return lines

    def assertLogHoldsTheScreen(self, out, lines):
        """Every line the screen showed, in order and once, redraws aside;
        the log's own lines (block hex, statistics) aside too."""
        screen = [l for l in out.split("\n") if l.strip() and "\r" not in l]
        logged = [l for l in lines if not l.startswith("Block ") and not STATS.match(l)]
        self.assertEqual(logged, screen)

    def test_the_log_holds_every_line_with_its_time_and_each_block_with_its_verdict(self):
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        node.script("submitblock", Reply.result("bad-txns-nonfinal"))
        path = os.path.join(self.log_dir(), "miner.log")
        with open(path, "w") as f:
            f.write("an earlier run's line\n")
        m = self.miner(node, "--log", path)
        m.wait_for(ACCEPTED, count=2)
        time.sleep(2.5)  # a statistics line
        status, out = m.stop()
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))
        with open(path) as f:
            self.assertEqual(f.readline(), "an earlier run's line\n", "appended")
        with open(path) as f, open(path + ".new", "w") as new:
            new.write(f.read().split("\n", 1)[1])
        lines = self.logged(path + ".new")
        blocks = [r.params[0] for r in node.requests_for("submitblock")]
        self.assertIn("Block %s: rejected (bad-txns-nonfinal)" % blocks[0], lines)
        # Exactly the word: the node gave no reason for an acceptance.
        self.assertIn("Block %s: accepted" % blocks[1], lines)
        self.assertLogHoldsTheScreen(out, lines)
        self.assertEqual(len([l for l in lines if STATS.match(l)]), 1, "the statistics once a minute")

    def rotate(self, hup):
        """Three rotations by logrotate under a running miner, with `create`,
        and with or without a postrotate that sends SIGHUP: every line lands
        in one of the files, none twice, in order."""
        self.assertTrue(shutil.which("logrotate"), "logrotate is not installed "
                        "(scripts/install-deps.sh installs it)")
        folder = self.log_dir()
        path = os.path.join(folder, "miner.log")
        node = self.node(Chain(payout_address=PAYOUT, target="0000ffff" + "f" * 56))
        m = self.miner(node, "--log", path)
        m.wait_for(ACCEPTED)
        config = os.path.join(folder, "rotate.conf")
        with open(config, "w") as f:
            f.write("%s {\n    create 0640\n    rotate 10\n" % path)
            if hup:
                f.write("    postrotate\n        kill -HUP %d\n    endscript\n" % m.proc.pid)
            f.write("}\n")
        for _ in range(3):
            time.sleep(1.5)
            subprocess.run(["logrotate", "-f", "-s", os.path.join(folder, "state"), config],
                           check=True, timeout=30)
        time.sleep(1.5)
        self.assertIsNone(m.proc.poll(), "the miner ended at the rotation")
        status, out = m.stop()
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))
        files = [path + ".3", path + ".2", path + ".1", path]
        sizes = []
        for name in files:
            with open(name) as f:
                sizes.append(sum(1 for _ in f))
        print("log rotation %s SIGHUP: lines per file, oldest first: %s; %d lines on the screen"
              % ("with" if hup else "without", sizes,
                 len([l for l in out.split("\n") if l.strip() and "\r" not in l])), file=sys.stderr)
        # The lines after the last rotation are in the new file: the miner
        # followed it. (A slow machine may write nothing between two.)
        self.assertGreater(sizes[-1], 0, "the miner did not follow the rotation")
        self.assertLogHoldsTheScreen(out, self.logged(*files))

    def test_a_rotation_with_sighup_loses_no_line_and_doubles_none(self):
        self.rotate(hup=True)

    def test_a_rotation_without_sighup_is_followed_all_the_same(self):
        self.rotate(hup=False)

    def test_sighup_without_a_log_is_harmless(self):
        m = self.miner(self.node(Chain(payout_address=PAYOUT)))
        m.wait_for(ACCEPTED)
        m.proc.send_signal(signal.SIGHUP)
        before = len(ACCEPTED.findall(m.out))
        m.wait_for(ACCEPTED, count=before + 1)
        status, out = m.stop()
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))

    def test_a_log_that_cannot_be_written_is_said_once_and_mining_goes_on(self):
        m = self.miner(self.node(Chain(payout_address=PAYOUT)), "--log", "/dev/full")
        m.wait_for(ACCEPTED, count=5)
        status, out = m.stop()
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))
        self.assertEqual(out.count("  [!] Cannot write the log file /dev/full: No space left on device; "
                                   "its lines are kept and written when it works again\n"), 1)


class JournalTest(Base):
    def test_under_the_journal_the_statistics_are_whole_lines(self):
        m = self.miner(self.node(Chain(payout_address=PAYOUT, target=STEADY)), journal=True)
        m.wait_for(r"\n  \[[\d.]+ [KMGT]?H/s\] h=\d+ \| n=\d+/4G \| blk=\d+\n", timeout=15)
        time.sleep(3.0)
        status, out = m.stop()
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))
        self.assertNotIn("\r", out)
        stats = [l for l in out.split("\n") if STATS.match(l)]
        self.assertEqual(len(stats), 1, "one line a minute, the first at once")

    def test_a_journal_stream_of_another_file_changes_nothing(self):
        env = {"JOURNAL_STREAM": "1:1"}
        m = self.miner(self.node(Chain(payout_address=PAYOUT, target=STEADY)), env=env)
        m.wait_for(r"\r  \[[\d.]+ [KMGT]?H/s\] h=\d+ \| n=\d+/4G \| blk=\d+   ", timeout=15)
        status, out = m.stop()
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))


class ZmqTest(Base):
    def test_a_silent_publisher_is_noticed_and_the_poll_carries_on(self):
        # The node's publisher behind a relay that falls silent as a dead
        # host does: the heartbeats notice within a minute, said once; the
        # 5-second poll brings new tips meanwhile; the publisher back is said
        # too, and brings tips at once again.
        chain = Chain(payout_address=PAYOUT, target=HARD_TARGET)
        node = self.node(chain)
        publisher = int(node.publish_blocks(free_port()).rsplit(":", 1)[1])
        relay = TcpProxy(publisher)
        self.cleanups.append(relay.stop)
        url = "tcp://127.0.0.1:%d" % relay.port
        m = self.miner(node, "--zmq", url)
        m.wait_for(r"Mining height 1001 ")
        time.sleep(1.0)  # subscribed

        def follow(height, limit):
            chain.advance()
            moved = time.monotonic()
            m.wait_for(r"Mining height %d " % height, timeout=limit + 5)
            return time.monotonic() - moved

        self.assertLess(follow(1002, 1.0), 1.0)
        relay.fall_silent()
        silent = time.monotonic()
        lost = "  [!] ZMQ: lost the publisher at %s; the 5-second poll goes on until it is back\n" % url
        m.wait_for(re.escape(lost), timeout=60)
        noticed_in = time.monotonic() - silent
        by_poll = follow(1003, 6.0)
        relay.resume()
        m.wait_for(re.escape("  [+] ZMQ: the publisher at %s answers again\n" % url), timeout=15)
        time.sleep(1.0)
        again = follow(1004, 1.0)
        status, out = m.stop()
        self.assertOrderlyEnd(status, out, 0)
        print("zmq: a silent publisher noticed after %.1f s; a tip by the poll meanwhile in %.1f s; "
              "after its return in %.2f s" % (noticed_in, by_poll, again), file=sys.stderr)
        self.assertLess(noticed_in, 60.0)
        self.assertEqual(out.count(lost), 1)
        self.assertLess(by_poll, 6.0)
        self.assertLess(again, 1.0)


if __name__ == "__main__":
    unittest.main()
