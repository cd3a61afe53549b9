#!/usr/bin/env python3
"""The whole program against the validating test node, end to end."""
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from chain import DEV_FEE_ADDRESS, Chain, segwit_address
from testnode import Reply, TestNode

CPU = os.environ.get("MARLVANE_CPU_MINER", "")
TEST_MINER = os.environ.get("MARLVANE_TEST_MINER", "")

PAYOUT = segwit_address("tmrv", 0, bytes(range(20)))
# A find is a 1 in 2^40 chance per nonce: none in any test's time.
HARD_TARGET = "0000000000ffff" + "0" * 50
ACCEPTED = re.compile(r"  \[\+\] ACCEPTED! Blocks found: (\d+)\n\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Miner:
    """The miner as a subprocess whose output is collected as it comes."""

    def __init__(self, url, *args, binary=None, address=PAYOUT, cwd=None, grid=("1", "32"),
                 env=None):
        cmd = [binary or CPU, "-o", url]
        if grid:
            cmd += ["-B", grid[0], "-T", grid[1]]
        if address is not None:
            cmd += ["-a", address]
        self.proc = subprocess.Popen(cmd + list(args), stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, cwd=cwd or tempfile.gettempdir(),
                                     env=dict(os.environ, **(env or {})))
        self._chunks = []
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for chunk in iter(lambda: self.proc.stdout.read1(65536), b""):
            with self._lock:
                self._chunks.append(chunk)

    @property
    def out(self):
        with self._lock:
            return b"".join(self._chunks).decode("utf-8", "replace")

    def wait_for(self, pattern, count=1, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(re.findall(pattern, self.out)) >= count:
                return self.out
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError("no %d x %r in:\n%s" % (count, pattern, self.out[-3000:]))

    def stop(self, sig=signal.SIGINT, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        self.proc.wait(timeout)
        self._reader.join(5)
        self.proc.stdout.close()
        return self.proc.returncode, self.out

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(5)
        self.proc.stdout.close()


class Base(unittest.TestCase):
    def setUp(self):
        self.assertTrue(CPU, "MARLVANE_CPU_MINER is not set")
        self.cleanups = []

    def tearDown(self):
        for f in reversed(self.cleanups):
            f()

    def node(self, chain=None, port=0):
        node = TestNode(chain=chain or Chain(payout_address=PAYOUT), port=port).start()
        self.cleanups.append(node.stop)
        return node

    def miner(self, node_or_url, *args, **kw):
        url = node_or_url if isinstance(node_or_url, str) else node_or_url.url
        m = Miner(url, *args, **kw)
        self.cleanups.append(m.kill)
        return m

    def assertOrderlyEnd(self, status, out, blocks):
        self.assertEqual(status, 0)
        self.assertRegex(out, r"\n  \[\*\] Shutting down\.\.\.\n  Hashes: \d+ in \d+\.\d s  "
                              r"\(\d+\.\d\d [KMGT]?H/s\)\n  Blocks found: %d\n\n$" % blocks)


class MiningTest(Base):
    def test_blocks_found_pass_the_nodes_checks_and_are_counted(self):
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        m = self.miner(node)
        m.wait_for(ACCEPTED, count=3)
        status, out = m.stop()
        found = [int(n) for n in ACCEPTED.findall(out)]
        self.assertEqual(found, list(range(1, len(found) + 1)))
        self.assertOrderlyEnd(status, out, len(found))
        accepted = [v for v, _ in chain.verdicts if v is None]
        self.assertEqual(len(accepted), len(found), chain.verdicts)
        self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])

        self.assertIn("  RPC:     %s\n  Address: %s\n\n" % (node.url, PAYOUT), out)
        self.assertIn("  [*] Running hash sanity check...\n"
                      "  [*] CPU hash (nonce=0): 999fa94f9306479a23f7c0e0e93a559176728575ed3dffa9f654245e2132c5d4\n"
                      "  [*] CPU hash (nonce=1): 07027199ac3b5dabee156dfa7abb9e8565b8cce86105491fadb14e442e11fee0\n"
                      "  [+] Sanity check passed\n\n"
                      "  [*] Dev fee: 1% per block (22-byte script)\n"
                      "  [*] Requesting block template...\n"
                      "  [+] New block at height 1001\n"
                      "  [*] Mining height 1001 | diff 0.0000 | 4 txns\n"
                      "  [*] Target: 7fffff0000000000000000000000000000000000000000000000000000000000\n", out)
        self.assertIn("  [+] CPU verified: hash meets target\n"
                      "  [*] Coinbase: 49.50000000 MRV to miner, 0.50000000 MRV dev fee", out)
        self.assertIn("  [+] New block at height 1002\n", out)

    def test_tip_moving_by_itself_refreshes_the_work(self):
        chain = Chain(target=HARD_TARGET)
        node = self.node(chain)
        m = self.miner(node)
        m.wait_for(r"Mining height 1001 ")
        self.assertIn("  [*] Target: " + HARD_TARGET + "\n", m.out)
        chain.advance()
        m.wait_for(r"\n  \[\*\] New block on chain, refreshing\.\.\.\n  \[\*\] Requesting block "
                   r"template\.\.\.\n  \[\+\] New block at height 1002\n", timeout=15)
        self.assertOrderlyEnd(*m.stop(signal.SIGTERM), blocks=0)
        self.assertGreaterEqual(len(node.requests_for("getbestblockhash")), 1)

    def test_target_from_bits_when_the_template_has_none(self):
        chain = Chain(bits=0x1d00ffff)
        chain.send_target = False
        m = self.miner(self.node(chain))
        out = m.wait_for(r"  \[\*\] Target: .*\n")
        self.assertIn("  [*] Mining height 1001 | diff 2.0000 | 4 txns\n"
                      "  [*] Target: 00000000ffff0000000000000000000000000000000000000000000000000000\n", out)
        self.assertOrderlyEnd(*m.stop(), blocks=0)

    def test_rejected_submission_is_reported_and_not_retried(self):
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        node.script("submitblock", Reply.result("bad-cb-amount"))
        m = self.miner(node)
        out = m.wait_for(ACCEPTED)
        self.assertIn("  [!] REJECTED by node.\n  [*] (May already be stale)\n"
                      "  [!] Node says: bad-cb-amount\n", out)
        status, out = m.stop()
        # The tip is polled beside the search, on its own connection.
        methods = [r.method for r in node.requests if r.method != "getbestblockhash"]
        first = methods.index("submitblock")
        self.assertEqual(methods[first + 1], "getblocktemplate", "a verdict is never retried")
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))

    def test_dropped_submission_is_sent_again_not_lost(self):
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        node.script("submitblock", Reply.dropped(), Reply.dropped(), Reply.dropped())
        m = self.miner(node)
        out = m.wait_for(ACCEPTED, timeout=40)
        retries = re.findall(r"  \[!\] No answer from the node \(RPC: .*\); sending the block "
                             r"again in \d s \(\d of 5\)\n", out)
        self.assertGreaterEqual(len(retries), 1, out)
        self.assertNotIn("REJECTED", out)
        status, out = m.stop()
        blocks = [r.params[0] for r in node.requests_for("submitblock")]
        self.assertGreaterEqual(blocks.count(blocks[0]), len(retries) + 1, "the same block again")
        self.assertEqual([v for v, h in chain.verdicts if h == blocks[0]], [None])
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))

    def test_false_positive_is_not_submitted(self):
        self.assertTrue(TEST_MINER, "MARLVANE_TEST_MINER is not set")
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        m = self.miner(node, binary=TEST_MINER)
        out = m.wait_for(ACCEPTED)
        self.assertIn("  [!] CPU says hash does NOT meet target!\n"
                      "  [!] GPU false positive - skipping submission.\n\n"
                      "  [*] Requesting block template...\n", out)
        self.assertOrderlyEnd(*m.stop(), blocks=len(ACCEPTED.findall(m.out)))
        self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])

    def test_long_coinbase_message_is_cut_to_fit(self):
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        with tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False) as f:
            f.write("coinbase=" + "x" * 150 + "\n")
        self.cleanups.append(lambda: os.unlink(f.name))
        m = self.miner(node, "-c", f.name)
        out = m.wait_for(ACCEPTED)
        self.assertEqual(out.count("  [!] Coinbase message cut to 89 of 150 bytes: a coinbase "
                                   "input script holds at most 100 bytes, 89 of them for the "
                                   "message\n"), 1)
        m.stop()
        self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])

    def test_template_listing_its_mutable_members_first(self):
        # "transactions" appears as a value in "mutable" before it is a member.
        chain = Chain(payout_address=PAYOUT, mutable_first=True)
        self.assertEqual(next(iter(chain.template())), "mutable")
        m = self.miner(self.node(chain))
        out = m.wait_for(ACCEPTED, count=2)
        self.assertIn("  [*] Mining height 1001 | diff 0.0000 | 4 txns\n", out)
        m.stop()
        self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])
        self.assertGreaterEqual(len(chain.accepted), 2)

    def test_a_block_refused_once_is_never_sent_again(self):
        # The node caches its template: after the refusal the same header
        # comes back, and the search goes on after the refused nonce.
        chain = Chain(payout_address=PAYOUT)
        chain.reject_next = "rejected-for-reasons-of-its-own"
        node = self.node(chain)
        m = self.miner(node)
        out = m.wait_for(ACCEPTED)
        status, out = m.stop()
        self.assertIn("  [!] Node says: rejected-for-reasons-of-its-own\n", out)
        self.assertRegex(out, r"  \[\*\] Same header as the last job: going on from nonce \d+\n")
        blocks = [r.params[0] for r in node.requests_for("submitblock")]
        self.assertEqual(len(set(blocks)), len(blocks), "a block sent twice")
        self.assertEqual(chain.verdicts[0][0], "rejected-for-reasons-of-its-own")
        self.assertIsNone(chain.verdicts[1][0])
        self.assertEqual(chain.verdicts[0][1][:72], chain.verdicts[1][1][:72], "same parent")
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))

    def test_two_sessions_on_one_address_never_search_the_same_header(self):
        # A target that takes both a while, so that each gets to submit.
        chain = Chain(payout_address=PAYOUT, target="00000fff" + "f" * 56)
        node = self.node(chain)
        first, second = self.miner(node), self.miner(node)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not (
                first.out.count("Submitting block") and second.out.count("Submitting block")
                and len(chain.accepted) >= 4):
            time.sleep(0.1)
        first.stop()
        second.stop()
        self.assertGreaterEqual(first.out.count("Submitting block"), 1)
        self.assertGreaterEqual(second.out.count("Submitting block"), 1)
        headers = [r.params[0][:160] for r in node.requests_for("submitblock")]
        self.assertEqual(len(set(headers)), len(headers), "the same header from both")
        self.assertNotIn("duplicate", [v for v, _ in chain.verdicts])
        self.assertEqual({v for v, _ in chain.verdicts} - {None, "bad-prevblk"}, set())

    def test_exhausted_nonce_range_gets_a_new_merkle_root(self):
        # At GPU speed one header's nonces last under a second: the next
        # template has the same time, and only the extra nonce tells them apart.
        self.assertTrue(TEST_MINER, "MARLVANE_TEST_MINER is not set")
        chain = Chain(target=HARD_TARGET)
        node = self.node(chain)
        m = self.miner(node, binary=TEST_MINER, grid=("65536", "256"),
                       env={"MARLVANE_TEST_SKIM": "64"})
        out = m.wait_for(r"Nonce space exhausted", count=4, timeout=10)
        m.stop()
        jobs = re.findall(r"  \[\*\] Target: .*\n  \[\*\] CPU hash \(nonce=0\): ([0-9a-f]{64})\n", out)
        self.assertGreaterEqual(len(jobs), 4)
        self.assertEqual(len(set(jobs)), len(jobs), "a header searched twice")
        templates = [r for r in node.requests_for("getblocktemplate")]
        self.assertGreaterEqual(len(templates), 4)
        self.assertEqual(chain.height, 1000, "one template, unchanged")
        self.assertEqual(out.count("New block at height"), 1)

    def test_heights_a_node_encodes_as_opcodes(self):
        # A fresh chain's first sixteen blocks carry OP_1..OP_16 as their height.
        for height in (1, 16, 17, 127, 128, 2 ** 23):
            with self.subTest(height=height):
                chain = Chain(payout_address=PAYOUT, height=height - 1)
                node = TestNode(chain=chain).start()
                try:
                    m = Miner(node.url)
                    try:
                        m.wait_for(ACCEPTED)
                    finally:
                        m.kill()
                finally:
                    node.stop()
                self.assertIsNone(chain.verdicts[0][0], chain.verdicts[0][0])
                self.assertGreaterEqual(chain.height, height)

    def test_a_slow_tip_poll_does_not_stop_the_search(self):
        chain = Chain(target=HARD_TARGET)
        node = self.node(chain)
        node.script("getbestblockhash", Reply.result(chain.tip, delay=12.0))
        m = self.miner(node)
        deadline = time.monotonic() + 15
        while not node.requests_for("getbestblockhash") and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(node.requests_for("getbestblockhash"), "no poll")
        seen = len(m.out)
        time.sleep(6.5)
        during = [int(n) for n in re.findall(r"\r  \[[^]]+\] h=1001 \| n=(\d+)/4G", m.out[seen:])]
        self.assertGreaterEqual(len(during), 2, m.out[-2000:])
        self.assertEqual(during, sorted(during))
        self.assertLess(during[0], during[-1], "the search went on while the poll waited")
        start = time.monotonic()
        status, out = m.stop()
        self.assertLess(time.monotonic() - start, 5.0, "a stop does not wait for a slow poll")
        self.assertOrderlyEnd(status, out, 0)

    def test_a_steady_tip_brings_no_refresh(self):
        chain = Chain(target=HARD_TARGET)
        node = self.node(chain)
        m = self.miner(node)
        m.wait_for(r"Mining height 1001 ")
        time.sleep(12)
        status, out = m.stop()
        self.assertNotIn("New block on chain", out)
        self.assertEqual(len(node.requests_for("getblocktemplate")), 1)
        self.assertGreaterEqual(len(node.requests_for("getbestblockhash")), 2)
        self.assertOrderlyEnd(status, out, 0)

    def test_a_device_that_fails_for_good_ends_the_session(self):
        self.assertTrue(TEST_MINER, "MARLVANE_TEST_MINER is not set")
        m = self.miner(self.node(Chain(target=HARD_TARGET)), binary=TEST_MINER,
                       env={"MARLVANE_TEST_FAIL_AFTER": "20"})
        m.proc.wait(15)
        status, out = m.stop()
        self.assertEqual(status, 1)
        self.assertIn("\nError: an illegal memory access was encountered (test engine)\n"
                      "\n  [*] Shutting down...\n", out)
        self.assertRegex(out, r"  Blocks found: 0\n\n$")


TWO_DEVICES = {"MARLVANE_CPU_DEVICES": "2"}
FOUND_BY = re.compile(r"  Found by: GPU #(\d)\n")
RIG_SUMMARY = re.compile(r"\n  \[\*\] Shutting down\.\.\.\n  Hashes: (\d+) in \d+\.\d s  "
                         r"\(\d+\.\d\d [KMGT]?H/s\)\n"
                         r"    GPU #0: (\d+) hashes  \(\d+\.\d\d [KMGT]?H/s\)(, failed)?\n"
                         r"    GPU #1: (\d+) hashes  \(\d+\.\d\d [KMGT]?H/s\)(, failed)?\n"
                         r"  Blocks found: (\d+)\n\n$")


class RigTest(Base):
    """Two devices in one process: the CPU backend split in two."""

    def rig(self, chain, fail=None, args=("-d", "all")):
        env = dict(TWO_DEVICES)
        if fail:
            env["MARLVANE_CPU_FAIL"] = fail
        node = self.node(chain)
        return node, self.miner(node, *args, env=env)

    def test_both_devices_find_blocks_on_headers_of_their_own(self):
        # A target that takes each device a fraction of a second, so that
        # both win blocks and both sometimes find one at the same height.
        chain = Chain(payout_address=PAYOUT, target="00000fff" + "f" * 56)
        node, m = self.rig(chain, args=("-d", "0,1"))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not (
                {"0", "1"} <= set(FOUND_BY.findall(m.out)) and len(chain.accepted) >= 6
                and re.search(r"\r  \[[^]]+\] h=\d+ \| blk=\d+ \| #0 \d", m.out)):
            time.sleep(0.1)
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertEqual(set(FOUND_BY.findall(out)), {"0", "1"}, out[-3000:])
        self.assertIn("  GPU #0: ", out)
        self.assertIn("  GPU #1: ", out)
        self.assertIn("  Grid:    1 blocks x 32 threads\n", out)
        self.assertRegex(out, r"\r  \[\d+\.\d\d [KMGT]?H/s\] h=\d+ \| blk=\d+ "
                              r"\| #0 \d+\.\d\d [KMGT]?H/s \| #1 \d+\.\d\d [KMGT]?H/s   ")
        # Every block sent is accepted and sent once: a find on a parent the
        # other device has just replaced is dropped, not submitted.
        self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])
        blocks = [r.params[0] for r in node.requests_for("submitblock")]
        self.assertEqual(len(set(b[:160] for b in blocks)), len(blocks), "a header sent twice")
        summary = RIG_SUMMARY.search(out)
        self.assertIsNotNone(summary, out[-1500:])
        total, first, second = int(summary.group(1)), int(summary.group(2)), int(summary.group(4))
        self.assertEqual(total, first + second)
        self.assertGreater(first, 0)
        self.assertGreater(second, 0)
        self.assertEqual(int(summary.group(6)), len(ACCEPTED.findall(out)))
        self.assertEqual(len(chain.accepted), len(ACCEPTED.findall(out)))

    def test_a_failing_device_stops_alone(self):
        chain = Chain(payout_address=PAYOUT, target="0000ffff" + "f" * 56)
        _, m = self.rig(chain, fail="1:20")
        out = m.wait_for(r"Error: GPU #1: ")
        seen = len(chain.accepted)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not (
                len(chain.accepted) >= seen + 3 and "| #1 failed   " in m.out):
            time.sleep(0.1)
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertEqual(out.count("Error:"), 1)
        self.assertIn("\nError: GPU #1: an illegal memory access was encountered "
                      "(injected into CPU device 1)\n", out)
        after = out[out.index("Error: GPU #1"):]
        self.assertGreaterEqual(len(ACCEPTED.findall(after)), 3, "device 0 went on mining")
        self.assertNotIn("Found by: GPU #1", after)
        self.assertRegex(out, r"\| #0 \d+\.\d\d [KMGT]?H/s \| #1 failed   ")
        summary = RIG_SUMMARY.search(out)
        self.assertIsNotNone(summary, out[-1500:])
        self.assertEqual((summary.group(3), summary.group(5)), (None, ", failed"))
        self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])

    def test_every_device_failing_ends_the_session(self):
        _, m = self.rig(Chain(target=HARD_TARGET), fail="0:30,1:10")
        m.proc.wait(30)
        status, out = m.stop()
        self.assertEqual(status, 1)
        self.assertEqual(out.count("Error:"), 2)
        self.assertLess(out.index("Error: GPU #1: "), out.index("Error: GPU #0: "))
        summary = RIG_SUMMARY.search(out)
        self.assertIsNotNone(summary, out[-1500:])
        self.assertEqual((summary.group(3), summary.group(5)), (", failed", ", failed"))

    def test_a_device_that_cannot_start_is_left_out(self):
        # Device 1 fails at its first launch; a list of one good device mines.
        chain = Chain(payout_address=PAYOUT)
        _, m = self.rig(chain, fail="1:0")
        m.wait_for(ACCEPTED, count=3)
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertEqual(set(FOUND_BY.findall(out)), {"0"})
        self.assertEqual(out.count("Error: GPU #1: "), 1)

    def test_a_new_tip_moves_every_device(self):
        chain = Chain(target=HARD_TARGET)
        node, m = self.rig(chain)
        m.wait_for(r"Mining height 1001 ")
        chain.advance()
        out = m.wait_for(r"Mining height 1002 ", timeout=20)
        status, out = m.stop()
        self.assertIn("  [*] New block on chain, refreshing...\n"
                      "  [*] Requesting block template...\n"
                      "  [+] New block at height 1002\n", out)
        # One template for both devices each time.
        self.assertEqual(len(node.requests_for("getblocktemplate")), 2)
        self.assertEqual(status, 0)



class MiningWaitTest(Base):
    """Cases that go through the 5-second waits."""

    def test_node_down_at_start_then_up(self):
        port = free_port()
        m = self.miner("http://127.0.0.1:%d" % port)
        out = m.wait_for(r"Invalid template, retrying\.\.\.", count=2, timeout=15)
        self.assertEqual(out.count("  [*] Requesting block template...\n"
                                   "  [!] Invalid template, retrying...\n"), 2)
        self.assertEqual(out.count("  [!] Reason: RPC: Couldn't connect to server\n"), 1,
                         "the same reason is said once")
        self.node(Chain(payout_address=PAYOUT), port=port)
        m.wait_for(ACCEPTED, timeout=15)
        status, out = m.stop(signal.SIGTERM)
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))

    def test_stop_during_a_wait_ends_after_it(self):
        m = self.miner("http://127.0.0.1:%d" % free_port())
        m.wait_for(r"Invalid template, retrying\.\.\.")
        start = time.monotonic()
        status, out = m.stop(signal.SIGINT)
        self.assertGreater(time.monotonic() - start, 3.0, "the wait is not cut short")
        self.assertEqual(out.count("Requesting block template"), 1)
        self.assertOrderlyEnd(status, out, 0)

    def test_undecodable_payout_address_repeats_every_five_seconds(self):
        m = self.miner(self.node(), address="mrv1notanaddress")
        out = m.wait_for(r"Failed to build block header", count=2, timeout=15)
        self.assertEqual(out.count("  [!] Cannot decode address: mrv1notanaddress\n"
                                   "  [!] Failed to build block header\n"), 2)
        self.assertEqual(out.count("New block at height"), 1)
        self.assertOrderlyEnd(*m.stop(), blocks=0)

    def test_template_with_a_bad_previous_hash_is_refused(self):
        node = self.node()
        bad = Chain().template()
        bad["previousblockhash"] = "abcd"
        node.script("getblocktemplate", Reply.result(bad))
        m = self.miner(node)
        out = m.wait_for(ACCEPTED, timeout=15)
        self.assertIn("  [!] Invalid template, retrying...\n"
                      "  [!] Reason: previousblockhash is not a 32-byte hash: abcd\n", out)
        m.stop()

    def test_wrong_credentials_are_explained(self):
        node = self.node()
        m = self.miner(node, "-p", "wrong")
        out = m.wait_for(r"Invalid template")
        self.assertIn("  [!] Reason: HTTP 401 from the node: check rpc_user and rpc_password\n", out)
        self.assertOrderlyEnd(*m.stop(), blocks=0)


if __name__ == "__main__":
    unittest.main()
