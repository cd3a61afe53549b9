#!/usr/bin/env python3
"""The whole program against the Stratum test server, which takes its work
from the validating test node as a solo pool server does."""
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from chain import Chain
from mining_test import TEST_MINER, Base, api_get, free_port
from stratum_server import DIFF1_TARGET, StratumServer

# A share is about 1 in 4,300 nonces and a block 1 in 65,536: the CPU
# engine finds several shares a second and a block now and then.
SHARE_DIFF = 0.000001
BLOCK_BITS = 0x1F00FFFF
# The test engine at GPU speed hashes only the first nonces of each launch,
# so that finds come at a rate the test can count.
FAST = {"MARLVANE_TEST_RATE": "5000000000", "MARLVANE_TEST_SKIM": "512"}
SUMMARY = re.compile(r"  Shares: (\d+) found, (\d+) accepted, (\d+) rejected, (\d+) stale\n")


class PoolBase(Base):
    def pool(self, chain=None, node=None, **kw):
        node = node or self.node(chain or Chain(dev_fee=False, bits=BLOCK_BITS))
        pool = StratumServer(node, **kw).start()
        self.cleanups.append(pool.stop)
        return pool

    def pool_miner(self, urls, *args, worker="rig1", password="x", **kw):
        urls = [urls] if isinstance(urls, str) else urls
        more = []
        for url in urls[1:]:
            more += ["-o", url]
        return self.miner(urls[0], *more, "-u", worker, "-p", password, *args, address=None, **kw)

    def shares_summary(self, out):
        match = SUMMARY.search(out)
        self.assertTrue(match, out[-2000:])
        return tuple(int(g) for g in match.groups())


class PoolTest(PoolBase):
    def test_a_session_with_the_pool_from_subscription_to_accepted_shares(self):
        pool = self.pool(difficulty=SHARE_DIFF)
        m = self.pool_miner(pool.url, worker="rig1", password="secret")
        pool.wait_for(lambda: len(pool.accepted_shares()) >= 10, what="10 shares")
        status, out = m.stop()
        self.assertEqual(status, 0)
        first = [msg for msg in pool.lines("in")][:3]
        self.assertEqual(first[0]["method"], "mining.subscribe")
        self.assertEqual(first[0]["params"], ["marlvane-miner/1.1"])
        self.assertEqual(first[1]["method"], "mining.authorize")
        self.assertEqual(first[1]["params"], ["rig1", "secret"])
        self.assertEqual(first[2]["method"], "mining.extranonce.subscribe")
        self.assertIn("  Pool:    %s\n  Worker:  rig1\n" % pool.url, out)
        self.assertIn("  [+] Pool %s: worker rig1 authorized\n" % pool.url, out)
        self.assertIn("  [*] Mining height 1001 | pool job 1 | share diff 1e-06\n", out)
        self.assertNotIn("Dev fee", out)
        for submit in pool.lines("in", "mining.submit"):
            worker, job, en2, ntime, nonce = submit["params"]
            self.assertEqual(worker, "rig1")
            self.assertRegex(en2, r"^[0-9a-f]{8}$")
            self.assertRegex(ntime + nonce, r"^[0-9a-f]{16}$")
        # Every share sent was judged, and the pool's count and ours agree.
        found, accepted, rejected, stale = self.shares_summary(out)
        self.assertEqual(found, len(pool.shares))
        self.assertEqual(accepted, len(pool.accepted_shares()))
        self.assertEqual((rejected, stale), (0, 0))

    def test_a_block_found_through_the_pool_is_accepted_by_the_node(self):
        pool = self.pool(difficulty=SHARE_DIFF)
        m = self.pool_miner(pool.url)
        m.wait_for(r"  \[\+\] ACCEPTED! Blocks found: 1\n", timeout=60)
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertIn("A share at the network's target: the pool sends the block", out)
        self.assertIsNone(pool.blocks[0][1], "the node's verdict")
        self.assertGreaterEqual(len(pool.node.chain.accepted), 1)
        self.assertRegex(out, r"Blocks found: [1-9]\d*\n\n$")

    def test_a_new_difficulty_counts_from_the_next_job(self):
        # Easier shares announced without a job: the job in hand keeps its
        # difficulty, so a miner that took the new one at once would send
        # shares the pool calls low.
        pool = self.pool(difficulty=SHARE_DIFF * 64)
        m = self.pool_miner(pool.url)
        m.wait_for(r"share diff 6\.4e-05\n")
        pool.set_difficulty(SHARE_DIFF, then_job=False)
        time.sleep(3)
        self.assertEqual([s for s in pool.shares if s[5]], [])
        before = len(pool.shares)
        pool.new_job(clean=False)
        m.wait_for(r"share diff 1e-06\n")
        pool.wait_for(lambda: len(pool.shares) >= before + 20, what="shares at the new difficulty")
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertEqual([s for s in pool.shares if s[5]], [], "no share below its job's difficulty")
        found, accepted, rejected, stale = self.shares_summary(out)
        self.assertEqual((found, accepted, rejected, stale), (len(pool.shares), len(pool.shares), 0, 0))

    def test_a_clean_job_moves_the_devices_at_once_and_a_plain_one_next(self):
        pool = self.pool(difficulty=SHARE_DIFF)
        m = self.pool_miner(pool.url, "-d", "all", env={"MARLVANE_TEST_DEVICES": "2"},
                            binary=TEST_MINER)
        pool.wait_for(lambda: len(pool.accepted_shares()) >= 5, what="shares")
        # A plain job: the old one still counts, the devices take the new one next.
        second = pool.new_job(clean=False)
        pool.wait_for(lambda: any(s[1] == second.id for s in pool.shares), what="a share of job 2")
        # A clean one: the pool forgets the others, the devices leave them at once.
        third = pool.new_job(clean=True)
        at = time.monotonic()
        pool.wait_for(lambda: any(s[1] == third.id for s in pool.shares), what="a share of job 3")
        time.sleep(1.0)
        late = [t for t, d, line in pool.transcript
                if d == "in" and t > at + 0.5 and '"mining.submit"' in line and '"%s"' % third.id not in line]
        self.assertEqual(late, [], "shares of a void job half a second after the clean job")
        status, out = m.stop()
        self.assertEqual(status, 0)
        found, accepted, rejected, stale = self.shares_summary(out)
        not_found = sum(1 for s in pool.shares if s[5] == "Job not found")
        self.assertEqual((found, accepted, rejected, stale),
                         (len(pool.shares), len(pool.accepted_shares()), 0, not_found))

    def test_extranonce2_sizes_and_each_device_its_own(self):
        for size in (2, 4, 8):
            with self.subTest(size=size):
                pool = self.pool(difficulty=SHARE_DIFF, extranonce2_size=size)
                m = self.pool_miner(pool.url, "-d", "all", binary=TEST_MINER,
                                    env=dict(FAST, MARLVANE_TEST_DEVICES="3"))
                pool.wait_for(lambda: len(pool.accepted_shares()) >= 60, what="60 shares")
                status, out = m.stop()
                self.assertEqual(status, 0)
                values = {int(s[2], 16) for s in pool.shares}
                self.assertTrue(all(len(s[2]) == 2 * size for s in pool.shares))
                # Device i of 3 rolls i, i + 3, ...: all three residues appear,
                # and no share was sent twice.
                self.assertEqual({v % 3 for v in values}, {0, 1, 2})
                self.assertEqual([s for s in pool.shares if s[5]], [])

    def test_a_new_extranonce_counts_from_the_next_job(self):
        pool = self.pool(difficulty=SHARE_DIFF)
        m = self.pool_miner(pool.url)
        pool.wait_for(lambda: len(pool.accepted_shares()) >= 3, what="shares")
        pool.set_extranonce(pool.clients[0], bytes.fromhex("abcdef"), 3)
        time.sleep(1)
        job = pool.new_job(clean=False)
        pool.wait_for(lambda: any(s[1] == job.id for s in pool.shares), what="a share of the new job")
        pool.wait_for(lambda: sum(1 for s in pool.shares if s[1] == job.id) >= 5, what="shares")
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertEqual([s for s in pool.shares if s[5]], [])
        self.assertTrue(all(len(s[2]) == 6 for s in pool.shares if s[1] == job.id))

    def test_each_kind_of_rejection_is_said_and_counted(self):
        pool = self.pool(difficulty=SHARE_DIFF)
        pool.reject_next = ["duplicate", "low", "worker", "job"]
        m = self.pool_miner(pool.url)
        pool.wait_for(lambda: len(pool.accepted_shares()) >= 5, what="shares after the rejections")
        m.wait_for(r"\| shares=\d+/3/1")
        status, out = m.stop()
        self.assertEqual(status, 0)
        for reason in ("Duplicate share", "Low difficulty share", "Unauthorized worker"):
            self.assertIn("  [!] Share rejected by the pool: %s\n" % reason, out)
        self.assertIn("  [!] Share stale by the pool: Job not found\n", out)
        found, accepted, rejected, stale = self.shares_summary(out)
        self.assertEqual((found, rejected, stale), (len(pool.shares), 3, 1))
        self.assertEqual(accepted, len(pool.shares) - 4)

    def test_a_refused_worker_alone_ends_the_program(self):
        pool = self.pool(difficulty=SHARE_DIFF, workers={"rig1": "right"})
        m = self.pool_miner(pool.url, worker="rig1", password="wrong")
        m.proc.wait(30)
        status, out = m.stop()
        self.assertEqual(status, 1)
        self.assertIn("Error: the pool refused worker rig1: Unauthorized worker\n", out)
        self.assertEqual(pool.lines("in", "mining.submit"), [])

    def test_a_refused_worker_moves_to_the_next_url(self):
        refusing = self.pool(difficulty=SHARE_DIFF, workers={})
        serving = self.pool(node=refusing.node, difficulty=SHARE_DIFF)
        m = self.pool_miner([refusing.url, serving.url])
        serving.wait_for(lambda: len(serving.accepted_shares()) >= 3, what="shares at the second pool")
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertIn("  Backup:  %s\n" % serving.url, out)
        self.assertIn("Error: the pool refused worker rig1: Unauthorized worker\n", out)
        self.assertIn("  [!] Mining on %s instead: " % serving.url, out)

    def test_a_lost_connection_pauses_the_devices_and_a_reconnect_resumes_them(self):
        pool = self.pool(difficulty=SHARE_DIFF)
        port = free_port()
        m = self.pool_miner(pool.url, "--api", "127.0.0.1:%d" % port)
        pool.wait_for(lambda: len(pool.accepted_shares()) >= 3, what="shares")

        def state():
            s = json.loads(api_get(port, "/summary")[2])
            return s["devices"][0]["state"], s["pool"]["connected"]
        pool.wait_for(lambda: state() == ("mining", True), timeout=5, what="the API to show the pool")
        summary = json.loads(api_get(port, "/summary")[2])
        self.assertEqual(summary["pool"]["url"], pool.url)
        self.assertEqual(summary["pool"]["difficulty"], SHARE_DIFF)
        self.assertGreaterEqual(summary["pool"]["shares"]["accepted"], 1)
        pool.silent = True  # the reconnection is held back until the test looks
        pool.drop_clients()
        lost_at = time.monotonic()
        m.wait_for(r"  \[!\] Lost the pool at %s: " % re.escape(pool.url))
        pool.wait_for(lambda: state() == ("idle", False), timeout=5, what="the devices to pause")
        self.assertLess(time.monotonic() - lost_at, 1.5)
        pool.silent = False
        pool.drop_clients()
        connections = pool.connections
        pool.wait_for(lambda: pool.connections > connections and state() == ("mining", True),
                      timeout=40, what="the reconnection")
        shares = len(pool.accepted_shares())
        pool.wait_for(lambda: len(pool.accepted_shares()) > shares, what="shares after it")
        status, body = api_get(port, "/metrics")[::2]
        self.assertIn('marlvane_shares_total{result="accepted"} ', body)
        self.assertIn("marlvane_pool_difficulty 1e-06\n", body)
        status, out = m.stop()
        self.assertEqual(status, 0)

    def test_whatever_the_pool_sends_the_miner_goes_on(self):
        pool = self.pool(difficulty=SHARE_DIFF)
        m = self.pool_miner(pool.url)
        pool.wait_for(lambda: len(pool.accepted_shares()) >= 2, what="shares")
        good = pool.lines("out", "mining.notify")[-1]["params"]
        bad = [
            "this is not json",
            "x" * (70 * 1024),
            json.dumps([1, 2, 3]),
            json.dumps({"id": None, "method": "mining.notify", "params": good[:5]}),
            json.dumps({"id": None, "method": "mining.notify", "params": good[:5] + [7, "b", "c", True]}),
            json.dumps({"id": None, "method": "mining.notify",
                        "params": good[:1] + ["zz" * 32] + good[2:]}),
            json.dumps({"id": None, "method": "mining.set_difficulty", "params": ["high"]}),
            json.dumps({"id": None, "method": "mining.set_difficulty", "params": [-1]}),
            json.dumps({"id": None, "method": "mining.set_extranonce", "params": [5]}),
            json.dumps({"id": 77, "method": "mining.get_moon", "params": []}),
            json.dumps({"id": 9999, "result": True, "error": None}),
            json.dumps({"id": None, "method": "client.show_message", "params": ["maintenance at noon"]}),
        ]
        for line in bad:
            pool.broadcast(line)
        shares = len(pool.accepted_shares())
        pool.wait_for(lambda: len(pool.accepted_shares()) >= shares + 5, what="shares after the noise")
        job = pool.new_job(clean=True)
        pool.wait_for(lambda: any(s[1] == job.id for s in pool.shares), what="a share of a good job")
        status, out = m.stop()
        self.assertEqual(status, 0)
        for said in ("sent a line that is not JSON", "sent a line over 64 KB",
                     "sent the unknown method mining.get_moon",
                     "answered a request never sent", "The pool says: maintenance at noon"):
            self.assertEqual(out.count(said), 1, said)
        # Each fault said once, in its own words.
        skipped = re.findall(r"  \[!\] Pool job skipped: (.*)\n", out)
        self.assertEqual(len(skipped), 3, out)
        self.assertEqual(len(set(skipped)), 3, skipped)
        self.assertEqual(len(re.findall(r"\[!\] The pool at .*: .*difficulty.*; ignored\n", out)), 1, out)
        self.assertEqual(len(re.findall(r"\[!\] The pool at .*: .*extranonce.*; ignored\n", out)), 1, out)

        self.assertIn('{"error":[-3,"Method not found",null],"id":77,"result":null}',
                      [line for _, d, line in pool.transcript if d == "in"])
        self.assertNotIn("Lost the pool", out)


class PoolTlsTest(PoolBase):
    def test_a_pool_behind_tls_checked_against_the_given_authority(self):
        stunnel = shutil.which("stunnel4") or shutil.which("stunnel")
        if not stunnel:
            self.skipTest("stunnel4 is not installed (scripts/install-deps.sh installs it)")
        pool = self.pool(difficulty=SHARE_DIFF)
        work = tempfile.mkdtemp()
        self.cleanups.append(lambda: shutil.rmtree(work, ignore_errors=True))
        cert, key = os.path.join(work, "pool.crt"), os.path.join(work, "pool.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        port = free_port()
        conf = os.path.join(work, "stunnel.conf")
        with open(conf, "w") as f:
            f.write("foreground = yes\npid =\n[pool]\naccept = 127.0.0.1:%d\nconnect = 127.0.0.1:%d\n"
                    "cert = %s\nkey = %s\n" % (port, pool.port, cert, key))
        tls = subprocess.Popen([stunnel, conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.cleanups.append(lambda: (tls.terminate(), tls.wait(10)))
        url = "stratum+ssl://127.0.0.1:%d" % port
        pool.wait_for(lambda: subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port],
                                             input=b"", capture_output=True).returncode == 0,
                      what="the TLS listener")

        # Not trusted by the system: refused, said, and tried again.
        m = self.pool_miner(url)
        m.wait_for(r"Cannot reach the pool at %s: .*certificate" % re.escape(url), timeout=20)
        m.stop()
        self.assertEqual(pool.lines("in", "mining.subscribe"), [])

        m = self.pool_miner(url, "--pool-ca", cert)
        pool.wait_for(lambda: len(pool.accepted_shares()) >= 3, what="shares over TLS")
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertNotIn("Cannot reach", out)


class PoolSlowTest(PoolBase):
    """Timings of minutes: the pool's silence and the return to the first URL."""

    def test_a_pool_silent_for_two_minutes_is_connected_to_again(self):
        pool = self.pool(difficulty=SHARE_DIFF)
        m = self.pool_miner(pool.url)
        pool.wait_for(lambda: len(pool.accepted_shares()) >= 1, what="a share")
        pool.silent = True
        silent_at = time.monotonic()
        connections = pool.connections
        m.wait_for(r"it said nothing for 2 minutes", timeout=150)
        self.assertGreater(time.monotonic() - silent_at, 110)
        pool.silent = False
        pool.wait_for(lambda: pool.connections > connections, what="a new connection")
        shares = len(pool.accepted_shares())
        pool.wait_for(lambda: len(pool.accepted_shares()) > shares, what="shares after it")
        status, out = m.stop()
        self.assertEqual(status, 0)

    def test_failover_to_the_second_pool_and_back_to_the_first(self):
        first = self.pool(difficulty=SHARE_DIFF)
        second = self.pool(node=first.node, difficulty=SHARE_DIFF)
        m = self.pool_miner([first.url, second.url])
        first.wait_for(lambda: len(first.accepted_shares()) >= 2, what="shares at the first pool")
        first_port = first.port
        first.stop()
        lost_at = time.monotonic()
        second.wait_for(lambda: len(second.shares) >= 1, timeout=60, what="shares at the second pool")
        to_second = time.monotonic() - lost_at
        # Back on its port: the miner tries the first pool again every 5 minutes.
        again = StratumServer(first.node, difficulty=SHARE_DIFF, port=first_port).start()
        self.cleanups.append(again.stop)
        back_at = time.monotonic()
        again.wait_for(lambda: len(again.shares) >= 1, timeout=330, what="shares at the first pool again")
        back = time.monotonic() - back_at
        status, out = m.stop()
        self.assertEqual(status, 0)
        self.assertIn("  [!] Mining on %s instead: " % second.url, out)
        self.assertIn("  [+] Back to %s: " % first.url, out)
        print("\nfailover: work from the second pool %.1f s after the first was lost; "
              "back on the first %.1f s after it returned (%.1f s after the loss)"
              % (to_second, back, time.monotonic() - lost_at))
        self.assertLess(to_second, 15)


if __name__ == "__main__":
    unittest.main()
