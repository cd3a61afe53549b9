#!/usr/bin/env python3
"""The whole program against the validating test node, end to end."""
import base64
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

from chain import DEV_FEE_ADDRESS, Chain, parse_tx, read_compact_size, segwit_address
from testnode import Reply, TestNode

CPU = os.environ.get("MARLVANE_CPU_MINER", "")
TEST_MINER = os.environ.get("MARLVANE_TEST_MINER", "")

PAYOUT = segwit_address("tmrv", 0, bytes(range(20)))
# A find is a 1 in 2^40 chance per nonce: none in any test's time.
HARD_TARGET = "0000000000ffff" + "0" * 50
ACCEPTED = re.compile(r"  \[\+\] ACCEPTED! Blocks found: (\d+)\n\n")


BOX = "  |          [*] BLOCK FOUND! [*]           |\n"


def submitted_finds(out, node, devices):
    """(device, block hex) of every block sent, in order: each found-block box
    that goes on to "Submitting block" is the next submitblock request."""
    blocks = [r.params[0] for r in node.requests_for("submitblock")]
    by = []
    for box in out.split(BOX)[1:]:
        if "  [*] Submitting block" in box:
            named = FOUND_BY.search(box)
            by.append(int(named.group(1)) if devices > 1 else 0)
    assert len(by) == len(blocks), (len(by), len(blocks))
    return list(zip(by, blocks))


def extra_nonce(block_hex):
    """The 4-byte push after the height in a block's coinbase input script."""
    block = bytes.fromhex(block_hex)
    _, pos = read_compact_size(block, 80)
    coinbase, _ = parse_tx(block, pos)
    script = coinbase.inputs[0][1]
    at = 1 if 0x51 <= script[0] <= 0x60 else 1 + script[0]
    assert script[at] == 4, script.hex()
    return int.from_bytes(script[at + 1:at + 5], "little")


def api_get(port, path, method="GET", timeout=5):
    """(status, content type, body) of one request to the miner's API."""
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), method=method,
                                     data=b"{}" if method in ("POST", "PUT") else None)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as reply:
            return reply.status, reply.headers.get("Content-Type"), reply.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, None, ""


class Thermometer:
    """The stand-in management library's busy card, device 0 of the test
    engine, whose temperature the test sets; device 1 has no reading."""

    def __init__(self, celsius):
        assert os.environ.get("MARLVANE_FAKE_NVML"), "MARLVANE_FAKE_NVML is not set"
        with tempfile.NamedTemporaryFile("w", suffix=".temp", delete=False) as f:
            self.path = f.name
        self.set(celsius)
        self.env = {"MARLVANE_TEST_NVML": os.environ["MARLVANE_FAKE_NVML"],
                    "MARLVANE_TEST_TEMPERATURE_FILE": self.path}

    def set(self, celsius):
        with open(self.path, "w") as t:
            t.write(str(celsius))

    def close(self):
        os.unlink(self.path)


def cpu_seconds(pid):
    """User and system time a process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Miner:
    """The miner as a subprocess whose output is collected as it comes."""

    def __init__(self, url, *args, binary=None, address=PAYOUT, cwd=None, grid=("1", "32"),
                 env=None, journal=False):
        cmd = [binary or CPU, "-o", url]
        if grid:
            cmd += ["-B", grid[0], "-T", grid[1]]
        if address is not None:
            cmd += ["-a", address]
        env = dict(os.environ, **(env or {}))
        # Standard output a pipe that systemd's JOURNAL_STREAM names, as the
        # journal's stream is under a service.
        read_end, write_end = os.pipe()
        if journal:
            st = os.fstat(write_end)
            env["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)
        self.proc = subprocess.Popen(cmd + list(args), stdout=write_end, stderr=subprocess.STDOUT,
                                     cwd=cwd or tempfile.gettempdir(), env=env)
        os.close(write_end)
        self._stream = os.fdopen(read_end, "rb")
        self._chunks = []
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for chunk in iter(lambda: self._stream.read1(65536), b""):
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
        self._stream.close()
        return self.proc.returncode, self.out

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(5)
        self._stream.close()


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
        blocks = [r.params[0] for r in node.requests_for("submitblock")]
        self.assertEqual(blocks.count(blocks[0]), 1, "a verdict is never retried")
        # The node may know better: a fresh template is asked for after it.
        methods = [r.method for r in node.requests]
        self.assertIn("getblocktemplate", methods[methods.index("submitblock") + 1:])
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
                      "  [!] GPU false positive - skipping submission.\n\n", out)
        # Nothing was sent for it: the next box is the next find.
        after = out[out.index("GPU false positive"):]
        self.assertLess(after.index("BLOCK FOUND"), after.index("Submitting block"))
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
        blocks = [r.params[0] for r in node.requests_for("submitblock")]
        self.assertEqual(len(set(blocks)), len(blocks), "a block sent twice")
        self.assertEqual(chain.verdicts[0][0], "rejected-for-reasons-of-its-own")
        self.assertIsNone(chain.verdicts[1][0])
        refused, accepted = chain.verdicts[0][1][:160], chain.verdicts[1][1][:160]
        self.assertEqual(refused[:152], accepted[:152], "the same header searched on")
        nonce = lambda header: int.from_bytes(bytes.fromhex(header[152:]), "little")
        self.assertGreater(nonce(accepted), nonce(refused), "after the refused nonce")
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

    def test_headers_that_run_out_step_the_extra_nonce_without_asking_the_node(self):
        # At GPU speed one header's nonces last under a second. Each device
        # goes straight on with the next extra nonce of its own sequence
        # (device i of n: base + i + n k), so no header is searched twice and
        # the node is asked for a template only when its tip moves.
        self.assertTrue(TEST_MINER, "MARLVANE_TEST_MINER is not set")
        for devices in (1, 3):
            with self.subTest(devices=devices):
                # One find in about 20 headers of 128 nonces searched each.
                chain = Chain(payout_address=PAYOUT, target="%064x" % (2 ** 256 // 2560))
                node = TestNode(chain=chain).start()
                m = Miner(node.url, "-d", "all", binary=TEST_MINER, grid=("65536", "256"),
                          env={"MARLVANE_TEST_SKIM": "64", "MARLVANE_TEST_DEVICES": str(devices)})
                try:
                    m.wait_for(ACCEPTED, count=8, timeout=60)
                finally:
                    status, out = m.stop()
                    node.stop()
                self.assertEqual(status, 0)
                finds = submitted_finds(out, node, devices)
                self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])
                steps = {}
                for device, block in finds:
                    steps.setdefault(device, set()).add(extra_nonce(block))
                first = extra_nonce(finds[0][1]) - finds[0][0]
                for device, extras in steps.items():
                    self.assertEqual({(e - first - device) % devices for e in extras}, {0},
                                     "device %d of %d off its sequence" % (device, devices))
                self.assertGreater(max(len(e) for e in steps.values()), 1, "no header ran out")
                # Every request brought a new tip, but the last may be cut by the stop.
                self.assertLessEqual(out.count("Requesting block template"),
                                     out.count("New block at height") + 1,
                                     "a template only for a new tip")

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

    def test_an_undecodable_payout_address_ends_before_any_node_request(self):
        node = self.node()
        m = self.miner(node, address="mrv1notanaddress")
        m.proc.wait(10)
        status, out = m.stop()
        self.assertEqual((status, out), (1, "Error: cannot decode the payout address: mrv1notanaddress\n"))
        self.assertEqual(node.requests, [])

    def test_a_commitment_offered_where_segwit_is_not_active_is_left_out(self):
        chain = Chain(payout_address=PAYOUT, segwit=False)
        self.assertIn("default_witness_commitment", chain.template())
        self.assertEqual(chain.template()["rules"], [])
        m = self.miner(self.node(chain))
        m.wait_for(ACCEPTED, count=2)
        m.stop()
        self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])
        block = bytes.fromhex(chain.verdicts[0][1])
        coinbase, _ = parse_tx(block, read_compact_size(block, 80)[1])
        self.assertFalse(coinbase.has_witness)
        self.assertEqual([s for _, s in coinbase.outputs if s.startswith(bytes.fromhex("6a24aa21a9ed"))], [])

    def test_a_poll_sent_before_the_template_is_no_news(self):
        # The chain moves once by itself, then only by the miner's own blocks:
        # a poll that saw the tip before the miner's block was accepted must
        # not send the session after it again.
        chain = Chain(payout_address=PAYOUT, target=HARD_TARGET)
        node = self.node(chain)
        m = self.miner(node)
        m.wait_for(r"Mining height 1001 ")
        deadline = time.monotonic() + 10
        while not node.requests_for("getbestblockhash") and time.monotonic() < deadline:
            time.sleep(0.05)
        with chain.lock:
            chain.target = None
        chain.advance()
        m.wait_for(r"New block on chain", timeout=10)
        m.wait_for(ACCEPTED, count=3)
        status, out = m.stop()
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))
        self.assertEqual(out.count("New block on chain"), 1, out[-3000:])
        self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])


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
        # Its finds from before the failure may still be judged after the
        # line (the sender works on), but none on work handed out after it:
        # each acceptance is the next height, and a device is handed a
        # template only after its "Mining height" line.
        first = int(re.search(r"Mining height (\d+)", out).group(1))
        last_before = int(re.findall(r"Mining height (\d+)", out[:out.index("Error: GPU #1")])[-1])
        for box in after.split("[*] BLOCK FOUND! [*]"):
            accepted = re.search(r"ACCEPTED! Blocks found: (\d+)", box)
            if "Found by: GPU #1" in box and accepted:
                self.assertLessEqual(first + int(accepted.group(1)) - 1, last_before, box)
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
        # Each fails on its own thread: which is reported first is up to the machine.
        self.assertEqual(out.count("Error:"), 2)
        self.assertEqual(out.count("Error: GPU #0: "), 1)
        self.assertEqual(out.count("Error: GPU #1: "), 1)
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


    def test_after_its_own_block_no_find_on_that_parent_is_sent(self):
        # Both devices find all the time. After the rig's own block, the next
        # template fails, so that finds on the old parent still wait in the
        # queue while the node's tip is already past it: none may be sent.
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        node.script("getblocktemplate", Reply.result(chain.template()), Reply.error(-1, "busy"))
        m = self.miner(node, "-d", "all", env=TWO_DEVICES)
        m.wait_for(r"Reason: RPC error: busy")
        m.wait_for(ACCEPTED, count=2, timeout=20)
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertEqual([v for v, _ in chain.verdicts if v is not None], [])

    def test_a_device_at_the_temperature_limit_pauses_until_it_cools(self):
        # Device 0 is the stand-in library's busy card, whose temperature the
        # test writes; device 1 stays cold. Limit 80 C: paused at 80 and over,
        # resumed at 75 and under.
        self.assertTrue(TEST_MINER)
        card = Thermometer(70)
        self.cleanups.append(card.close)
        heat = card.set
        rate = 10 ** 9
        node = self.node(Chain(target=HARD_TARGET))
        m = self.miner(node, "-d", "all", "--temp-limit", "80", binary=TEST_MINER,
                       grid=("4096", "256"),
                       env=dict(card.env, MARLVANE_TEST_RATE=str(rate), MARLVANE_TEST_DEVICES="2",
                                MARLVANE_TEST_SKIM="0"))
        m.wait_for(r"Mining height 1001 ")
        time.sleep(2.5)
        heat(80)
        m.wait_for(r"\n  \[!\] GPU #0 at 80 C: paused\n", timeout=10)
        m.wait_for(r"\| #0 paused ", timeout=10)
        paused_at = time.monotonic()
        heat(76)
        time.sleep(4.5)
        self.assertNotIn("resumed", m.out, "resumed above the limit less 5")
        heat(75)
        m.wait_for(r"\n  \[\+\] GPU #0 at 75 C: resumed\n", timeout=10)
        paused_for = time.monotonic() - paused_at
        time.sleep(2.5)
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertNotIn("GPU #1 at", out)
        summary = RIG_SUMMARY.search(out)
        hot, cold = int(summary.group(2)), int(summary.group(4))
        self.assertLess(hot, cold - rate * (paused_for - 2.5), "GPU #0 went on while hot")

    def test_the_monitoring_api(self):
        # A rig of two CPU devices whose first block the node refuses: both
        # documents field by field, then the refusals.
        chain = Chain(payout_address=PAYOUT, target="00007fff" + "f" * 56)
        node = self.node(chain)
        node.script("submitblock", Reply.result("bad-txns-nonfinal"))
        port = free_port()
        # Credentials in the URL are for the node alone.
        url = node.url.replace("://", "://rpcuser:hollowgates@")
        m = self.miner(url, "-d", "all", "--api", "127.0.0.1:%d" % port, env=TWO_DEVICES)
        m.wait_for(ACCEPTED, count=2, timeout=30)
        time.sleep(1.5)

        status, kind, body = api_get(port, "/summary")
        self.assertEqual((status, kind), (200, "application/json"))
        summary = json.loads(body)
        self.assertEqual(set(summary), {"version", "uptime_s", "height", "hashrate", "hashes",
                                        "blocks", "node", "devices"})
        self.assertEqual(summary["version"], "1.1")
        self.assertGreater(summary["uptime_s"], 0)
        self.assertGreater(summary["height"], 1000)
        self.assertLessEqual(summary["height"], chain.height + 1)
        self.assertGreater(summary["hashrate"], 0)
        self.assertEqual(summary["hashes"], sum(d["hashes"] for d in summary["devices"]))
        blocks = summary["blocks"]
        self.assertEqual(set(blocks), {"found", "accepted", "rejected", "last_height", "last_time"})
        # The newest block the node took: its height and (wall-clock) time.
        self.assertIn(blocks["last_height"], [h for h in range(1001, chain.height + 1)])
        self.assertLess(abs(blocks["last_time"] - time.time()), 60)
        self.assertEqual(blocks["rejected"], 1)
        self.assertGreaterEqual(blocks["accepted"], 2)
        # Found counts every block verified on the host, the refused one too.
        self.assertGreaterEqual(blocks["found"], blocks["accepted"] + blocks["rejected"])
        self.assertLessEqual(blocks["accepted"], len(chain.accepted))
        self.assertEqual(summary["node"]["url"], node.url, "no credentials")
        self.assertGreaterEqual(summary["node"]["last_template_s"], 0)
        self.assertLess(summary["node"]["last_template_s"], 30)
        self.assertEqual([d["id"] for d in summary["devices"]], [0, 1])
        for d in summary["devices"]:
            self.assertEqual(set(d), {"id", "name", "hashrate", "hashes", "state", "temp_c",
                                      "power_w", "sm_clock_mhz"})
            self.assertTrue(d["name"])
            self.assertGreater(d["hashrate"], 0)
            self.assertGreater(d["hashes"], 0)
            self.assertEqual((d["temp_c"], d["power_w"], d["sm_clock_mhz"]), (None, None, None),
                             "the CPU engine has no sensors")

        status, kind, body = api_get(port, "/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(kind.startswith("text/plain"))
        samples = {}
        for line in body.splitlines():
            if line.startswith("#"):
                self.assertRegex(line, r"^# (HELP|TYPE) marlvane_\w+ ")
                continue
            name, value = line.rsplit(" ", 1)
            samples[name] = float(value)
        for device in ("0", "1"):
            self.assertGreater(samples['marlvane_hashes_total{device="%s"}' % device], 0)
            self.assertGreater(samples['marlvane_hashrate{device="%s"}' % device], 0)
            self.assertNotIn('marlvane_device_temperature_celsius{device="%s"}' % device, samples)
            self.assertNotIn('marlvane_device_power_watts{device="%s"}' % device, samples)
        self.assertEqual(samples['marlvane_blocks_total{result="rejected"}'], 1)
        self.assertGreaterEqual(samples['marlvane_blocks_total{result="found"}'],
                                samples['marlvane_blocks_total{result="accepted"}'] + 1)
        self.assertGreater(samples["marlvane_height"], 1000)
        self.assertGreaterEqual(samples["marlvane_template_age_seconds"], 0)
        self.assertLess(samples["marlvane_template_age_seconds"], 30)

        self.assertEqual(api_get(port, "/nothing")[0], 404)
        self.assertEqual(api_get(port, "/summary", "POST")[0], 405)
        self.assertEqual(api_get(port, "/metrics", "DELETE")[0], 405)
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertIn("  [*] API: http://127.0.0.1:%d/summary and /metrics\n" % port, out)

    def test_the_api_shows_each_device_as_it_is(self):
        # A held device is paused (0 up), a device whose launches all fail is
        # failed, within seconds and without spinning a core; a mining one
        # is up. The test engine: device 0 is the stand-in library's card.
        self.assertTrue(TEST_MINER)
        card = Thermometer(60)
        self.cleanups.append(card.close)
        port = free_port()
        started = time.monotonic()
        m = self.miner(self.node(Chain(target=HARD_TARGET)), "-d", "all", "--api",
                       "127.0.0.1:%d" % port, "--temp-limit", "80", binary=TEST_MINER,
                       grid=("4096", "256"),
                       env=dict(card.env, MARLVANE_TEST_RATE=str(10 ** 9), MARLVANE_TEST_DEVICES="2",
                                MARLVANE_TEST_SKIM="0", MARLVANE_TEST_LAUNCH_ERROR="1"))
        m.wait_for(r"\nError: GPU #1: 10 launches in a row failed: too many resources requested "
                   r"for launch\n", timeout=10)
        failed_in = time.monotonic() - started

        def states():
            summary = json.loads(api_get(port, "/summary")[2])
            metrics = api_get(port, "/metrics")[2]
            up = [float(re.search(r'marlvane_device_up\{device="%d"\} (\S+)' % i, metrics).group(1))
                  for i in (0, 1)]
            return [d["state"] for d in summary["devices"]], up

        deadline = time.monotonic() + 10
        while states() != (["mining", "failed"], [1, 0]) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(states(), (["mining", "failed"], [1, 0]))
        # Paced at 1 GH/s, device 0 sleeps through its launches: the process
        # needs a small share of one core, a spinning worker a whole one.
        before = cpu_seconds(m.proc.pid)
        time.sleep(4.0)
        used = cpu_seconds(m.proc.pid) - before
        card.set(85)
        m.wait_for(r"  \[!\] GPU #0 at 85 C: paused\n", timeout=5)
        deadline = time.monotonic() + 5
        while states() != (["paused", "failed"], [0, 0]) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(states(), (["paused", "failed"], [0, 0]))
        status, out = m.stop()
        self.assertEqual(status, 0)
        print("device failed %.1f s after the start; %.2f s of CPU in 4 s with one device "
              "failed" % (failed_in, used), file=sys.stderr)
        self.assertLess(failed_in, 5.0)
        self.assertLess(used, 2.0)
        self.assertIn("    GPU #1: 0 hashes", out)

    def test_a_crowd_of_slow_clients_does_not_keep_the_api_waiting(self):
        # A hundred idle connections, garbage, and 64 clients each sending a
        # byte of a request every 0.5 s, at once: /summary answers promptly
        # and the hash count grows.
        node = self.node(Chain(target=HARD_TARGET))
        port = free_port()
        m = self.miner(node, "--api", "127.0.0.1:%d" % port)
        m.wait_for(r"Mining height 1001 ")
        crowd = [socket.create_connection(("127.0.0.1", port)) for _ in range(100)]
        junk = socket.create_connection(("127.0.0.1", port))
        junk.sendall(bytes(range(256)) * 8 + b"\r\n\r\n")
        crowd.append(junk)
        tricklers = [socket.create_connection(("127.0.0.1", port)) for _ in range(64)]
        crowd += tricklers
        stop = threading.Event()

        def trickle():
            request = b"GET /summary HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"x" * 200
            for at in range(len(request)):
                for c in tricklers:
                    try:
                        c.send(request[at:at + 1])
                    except OSError:
                        pass
                if stop.wait(0.5):
                    return

        trickler = threading.Thread(target=trickle)
        trickler.start()
        waits, hashes = [], []
        try:
            time.sleep(2.0)
            for _ in range(5):
                started = time.monotonic()
                status, _, body = api_get(port, "/summary", timeout=10)
                waits.append(time.monotonic() - started)
                self.assertEqual(status, 200)
                hashes.append(json.loads(body)["hashes"])
                time.sleep(1.0)
        finally:
            stop.set()
            trickler.join()
            for c in crowd:
                c.close()
        print("api: /summary beside 165 slow or idle clients answered in %s s"
              % ", ".join("%.3f" % w for w in waits), file=sys.stderr)
        self.assertLess(max(waits), 2.0)
        self.assertEqual(hashes, sorted(hashes))
        self.assertLess(hashes[0], hashes[-1], "mining stopped")
        self.assertEqual(m.stop()[0], 0)

    def test_an_api_address_that_cannot_be_bound_ends_the_program(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            m = self.miner(self.node(), "--api", "127.0.0.1:%d" % port)
            m.proc.wait(20)
            status, out = m.stop()
        self.assertEqual(status, 1, out[-1000:])
        self.assertIn("Error: cannot start the API on 127.0.0.1:%d: cannot listen on" % port, out)

    def test_zmq_brings_each_new_tip_at_once(self):
        # Five new tips with the node's notifications, then five with the
        # 5-second poll alone: the seconds from each tip to its work, and
        # from each tip to the miner's next question about the tip.
        delays, asked = {}, {}
        for mode in ("zmq", "poll"):
            chain = Chain(payout_address=PAYOUT, target=HARD_TARGET)
            node = self.node(chain)
            args = ["--zmq", node.publish_blocks(free_port())] if mode == "zmq" else []
            m = self.miner(node, *args)
            m.wait_for(r"Mining height 1001 ")
            time.sleep(0.5)  # the subscription is made
            delays[mode], asked[mode] = [], []
            for height in range(1002, 1007):
                chain.advance()
                moved = time.monotonic()
                m.wait_for(r"Mining height %d " % height, timeout=15)
                delays[mode].append(time.monotonic() - moved)
                polls = [r.at for r in node.requests_for("getbestblockhash") if r.at >= moved]
                asked[mode].append(polls[0] - moved)
                time.sleep(0.3 + 0.7 * (height % 3))  # tips at no fixed phase of the poll
            status, out = m.stop()
            self.assertEqual(status, 0)
            node.stop()
        print("zmq: new work %.2f s after a tip on average (max %.2f); poll alone: %.2f s "
              "(max %.2f)" % (sum(delays["zmq"]) / 5, max(delays["zmq"]), sum(delays["poll"]) / 5,
                              max(delays["poll"])), file=sys.stderr)
        self.assertLess(max(delays["zmq"]), 1.0)
        self.assertLess(max(asked["zmq"]), 0.5, "the notification made the tip watcher ask at once")
        # The poll alone: within its 5 s, and not at once every time.
        self.assertLess(max(delays["poll"]), 6.0)
        self.assertGreater(max(asked["poll"]), 0.5)

    def test_a_temperature_limit_without_readings_is_said_once(self):
        node = self.node()
        m = self.miner(node, "--temp-limit", "80")
        m.wait_for(r"Mining height")
        time.sleep(2.5)
        status, out = m.stop()
        self.assertEqual(out.count("  [!] GPU #0 has no temperature reading: the limit of 80 C "
                                   "cannot be applied to it\n"), 1)

    def test_a_new_tip_pauses_every_device_until_its_template(self):
        # Two devices at 1 GH/s each; the template on the new tip takes 4 s
        # to come, and the devices must not search the passed parent meanwhile.
        self.assertTrue(TEST_MINER, "MARLVANE_TEST_MINER is not set")
        rate = 10 ** 9
        chain = Chain(target=HARD_TARGET)
        node = self.node(chain)
        m = self.miner(node, "-d", "all", binary=TEST_MINER, grid=("4096", "256"),
                       env={"MARLVANE_TEST_RATE": str(rate), "MARLVANE_TEST_DEVICES": "2",
                            "MARLVANE_TEST_SKIM": "0"})
        m.wait_for(r"Mining height 1001 ")
        start = time.monotonic()
        node.slow("getblocktemplate", 4.0)
        chain.advance()
        m.wait_for(r"Mining height 1002 ", timeout=20)
        time.sleep(1.0)
        seconds = time.monotonic() - start
        status, out = m.stop()
        self.assertEqual(status, 0)
        hashes = int(RIG_SUMMARY.search(out).group(1))
        self.assertLess(hashes, 2 * rate * (seconds - 3.0), "the devices searched a passed parent")
        self.assertGreater(hashes, 2 * rate * (seconds - 5.5), "the devices went on afterwards")


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

    def assertPromptStop(self, m, sig=signal.SIGINT, limit=3.0):
        start = time.monotonic()
        status, out = m.stop(sig)
        self.assertLess(time.monotonic() - start, limit, "a stop does not wait for the node")
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))
        return out

    def test_a_stop_during_a_wait_is_prompt(self):
        m = self.miner("http://127.0.0.1:%d" % free_port())
        m.wait_for(r"Invalid template, retrying\.\.\.")
        out = self.assertPromptStop(m)
        self.assertEqual(out.count("Requesting block template"), 1)

    def test_a_stop_during_a_slow_template_is_prompt(self):
        node = self.node()
        node.slow("getblocktemplate", 20.0)
        m = self.miner(node)
        m.wait_for(r"Requesting block template")
        while not node.requests_for("getblocktemplate"):
            time.sleep(0.05)
        out = self.assertPromptStop(m, signal.SIGTERM)
        self.assertNotIn("Invalid template", out, "a stop is no failure of the node's")

    def test_a_block_the_node_is_slow_to_take_is_printed_at_a_stop(self):
        # The node would answer the submission after 20 s: the stop gives it
        # a few seconds, then prints the block for the user to send, and
        # counts the other finds of that height instead of printing them.
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        node.slow("submitblock", 20.0)
        m = self.miner(node)
        m.wait_for(r"Submitting block")
        time.sleep(0.5)
        out = self.assertPromptStop(m, limit=6.0)
        printed = re.findall(r"\n  \[!\] Block NOT submitted: the miner was stopped before the node "
                             r"answered\.\n  \[\*\] Send it yourself with submitblock:\n([0-9a-f]+)\n", out)
        self.assertEqual(len(printed), 1, out[-3000:])
        self.assertNotIn("RPC: stopped", out, "a stop's own abort is no failure of the node's")
        self.assertEqual(printed[0], node.requests_for("submitblock")[0].params[0])
        self.assertRegex(out, r"  \[!\] Also not sent: \d+ more finds at height 1001 \(only one "
                              r"block per height can enter the chain\)\n")
        node.stop()
        self.assertIsNone(chain.submit(printed[0]), "the printed block is valid")

    def test_a_second_stop_ends_at_once(self):
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        node.slow("submitblock", 20.0)
        m = self.miner(node)
        m.wait_for(r"Submitting block")
        m.proc.send_signal(signal.SIGINT)
        time.sleep(0.5)
        start = time.monotonic()
        status, out = m.stop(signal.SIGINT)
        self.assertLess(time.monotonic() - start, 1.5)
        self.assertEqual(status, 0)
        self.assertRegex(out, r"  \[!\] Block NOT submitted: the miner was stopped before the node "
                              r"answered\.\n  \[\*\] Send it yourself with submitblock:\n[0-9a-f]+\n")

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

    def test_cookie_login_through_a_node_restart(self):
        # The cookie wins over -u/-p, and a restarted node's new cookie is
        # read after its first 401: the restarted node sees the old login
        # once, then accepts a block under the new one.
        chain = Chain(payout_address=PAYOUT)
        port = free_port()
        with tempfile.NamedTemporaryFile("w", suffix=".cookie", delete=False) as f:
            f.write("__cookie__:first\n")
        self.cleanups.append(lambda: os.unlink(f.name))
        first = TestNode(user="__cookie__", password="first", chain=chain, port=port).start()
        self.cleanups.append(first.stop)
        m = self.miner(first.url, "--rpc-cookie", f.name, "-u", "wrong", "-p", "wrong")
        m.wait_for(ACCEPTED)
        first.stop()
        with open(f.name, "w") as cookie:
            cookie.write("__cookie__:second\n")
        accepted = len(chain.accepted)
        second = TestNode(user="__cookie__", password="second", chain=chain, port=port).start()
        self.cleanups.append(second.stop)

        def login(password):
            return "Basic " + base64.b64encode(("__cookie__:" + password).encode()).decode()

        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not (
                len(chain.accepted) > accepted and
                any(r.method == "submitblock" and r.headers.get("authorization") == login("second")
                    for r in second.requests)):
            time.sleep(0.1)
        status, out = m.stop()
        self.assertOrderlyEnd(status, out, len(ACCEPTED.findall(out)))
        self.assertGreater(len(chain.accepted), accepted, "no block after the restart")
        logins = [r.headers.get("authorization") for r in second.requests]
        self.assertIn(login("first"), logins, "the old cookie was tried first\n" + out[-3000:])
        self.assertIn(login("second"), logins)
        self.assertNotIn("HTTP 401", out)

    def test_a_block_accepted_at_a_stop_leaves_no_other_on_its_parent_to_send(self):
        # Two devices keep finding on the tip while the node takes 1.5 s over
        # the first block; the stop comes meanwhile. The node accepts that
        # block within the stop's limit: the finds behind it are stale and
        # none of them is sent.
        chain = Chain(payout_address=PAYOUT)
        node = self.node(chain)
        node.slow("submitblock", 1.5)
        m = self.miner(node, "-d", "all", env=TWO_DEVICES)
        m.wait_for(r"Submitting block")
        time.sleep(0.3)
        status, out = m.stop()
        self.assertEqual(status, 0)
        parents = [r.params[0][8:72] for r in node.requests_for("submitblock")]
        self.assertEqual(len(parents), 1, "%d blocks sent for one height" % len(parents))
        self.assertEqual(chain.verdicts[0][0], None)
        self.assertEqual(len(ACCEPTED.findall(out)), 1, out[-3000:])
        self.assertNotIn("Block NOT submitted", out)
        self.assertNotIn("Also not sent", out)

    def test_a_missing_cookie_file_is_named(self):
        path = os.path.join(tempfile.gettempdir(), "no-such-dir", ".cookie")
        m = self.miner(self.node(), "--rpc-cookie", path)
        out = m.wait_for(r"Invalid template")
        self.assertIn("  [!] Reason: RPC: cannot read the cookie file %s\n" % path, out)
        self.assertOrderlyEnd(*m.stop(), blocks=0)


if __name__ == "__main__":
    unittest.main()
