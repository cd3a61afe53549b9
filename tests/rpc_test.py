#!/usr/bin/env python3
"""RpcClient on the wire, against the test node on 127.0.0.1."""
import base64
import os
import socket
import subprocess
import time
import unittest

from testnode import Reply, TestNode

PROBE = os.environ.get("MARLVANE_RPC_PROBE", "")
SLOW = os.environ.get("MARLVANE_SLOW_TESTS") == "1"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def probe(url, *ops, user="rpcuser", password="hollowgates", timeout=60):
    proc = subprocess.run([PROBE, url, user, password] + list(ops), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout)
    if proc.returncode != 0:
        raise AssertionError("rpc_probe failed: %r" % proc.stderr)
    return proc.stdout.decode("utf-8", "replace")


def fields(text):
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line and not line.startswith("tx "))


TEMPLATE = {
    "capabilities": ["proposal"], "version": 536870912, "rules": ["csv", "!segwit"],
    "vbavailable": {}, "vbrequired": 0,
    "previousblockhash": "00" * 31 + "ab",
    "transactions": [
        {"data": "0200aa", "txid": "11" * 32, "hash": "22" * 32, "depends": [], "fee": 1000,
         "sigops": 4, "weight": 560},
        {"data": "0200bb", "txid": "33" * 32, "hash": "44" * 32, "depends": [1], "fee": 2000,
         "sigops": 4, "weight": 840},
    ],
    "coinbaseaux": {}, "coinbasevalue": 5000003000, "longpollid": "ab" * 32 + "5",
    "target": "7fffff" + "00" * 29, "mintime": 1700000000, "mutable": ["time", "transactions", "prevblock"],
    "noncerange": "00000000ffffffff", "sigoplimit": 80000, "sizelimit": 4000000,
    "weightlimit": 4000000, "curtime": 1700000123, "bits": "207fffff", "height": 812345,
    "default_witness_commitment": "6a24aa21a9ed" + "55" * 32,
}


class RpcTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(PROBE, "MARLVANE_RPC_PROBE is not set")
        self.node = TestNode().start()

    def tearDown(self):
        self.node.stop()

    def test_request_bytes_on_the_wire(self):
        self.node.script("*", Reply.result(None), Reply.result("ab"), Reply.result(3),
                         Reply.result(None))
        probe(self.node.url, "getblocktemplate", "then", "getbestblockhash", "then",
              "getblockcount", "then", "submitblock", "00ff")
        bodies = [r.body for r in self.node.requests]
        self.assertEqual(bodies, [
            b'{"jsonrpc":"1.0","id":"m","method":"getblocktemplate","params":[{"rules":["segwit"]}]}',
            b'{"jsonrpc":"1.0","id":"m","method":"getbestblockhash","params":[]}',
            b'{"jsonrpc":"1.0","id":"m","method":"getblockcount","params":[]}',
            b'{"jsonrpc":"1.0","id":"m","method":"submitblock","params":["00ff"]}',
        ])
        auth = "Basic " + base64.b64encode(b"rpcuser:hollowgates").decode()
        for r in self.node.requests:
            self.assertEqual(r.path, "/")
            self.assertEqual(r.headers["content-type"], "application/json")
            self.assertEqual(r.headers["authorization"], auth)
            self.assertEqual(r.headers["content-length"], str(len(r.body)))

    def test_empty_credentials_are_still_sent(self):
        self.node.user = self.node.password = ""
        self.node.script("*", Reply.result("x"))
        self.assertEqual(probe(self.node.url, "getbestblockhash", user="", password=""), "x\n")
        self.assertEqual(self.node.requests[0].headers["authorization"], "Basic Og==")

    def test_wrong_credentials(self):
        out = probe(self.node.url, "getblocktemplate", "then", "getbestblockhash", "then",
                    "submit", "00", password="wrong")
        f = fields(out)
        self.assertEqual(f["valid"], "0")
        self.assertIn("HTTP 401", f["failure"])
        self.assertTrue(out.endswith("\n\nno_reply the reply has no result (HTTP 401)\n"), out)

    def test_transport_failures(self):
        closed = "http://127.0.0.1:%d" % free_port()
        self.assertEqual(probe(closed, "getbestblockhash"),
                         "exception: RPC: Couldn't connect to server\n")
        self.assertEqual(probe(closed, "submitblock", "00"), "false\n")
        self.assertEqual(probe(closed, "submit", "00"), "no_reply RPC: Couldn't connect to server\n")
        self.assertIn("failure=RPC: Couldn't connect to server", probe(closed, "getblocktemplate"))
        self.node.script("*", Reply.dropped(), Reply.dropped())
        self.assertEqual(probe(self.node.url, "getbestblockhash", "then", "getblockcount"),
                         "exception: RPC: Server returned nothing (no headers, no data)\n" * 2)

    def test_error_replies(self):
        spaces12 = '{"result":null,"error":' + " " * 12 + 'null,"x":{"message":"late"}}'
        spaces13 = '{"result":null,"error":' + " " * 13 + 'null,"x":{"message":"late"}}'
        spaces13_quiet = '{"result":null,"error":' + " " * 13 + "null}"
        cases = [
            (Reply.error(-8, "bad"), "exception: RPC error: bad\n"),
            (Reply.error(-1), '{"result":null,"error":{"code":-1},"id":"m"}\n'),
            (Reply('{"result":null,"error":null,"id":"m"}'), '{"result":null,"error":null,"id":"m"}\n'),
            (Reply('{"result":"x","error": null,"id":"m"}'), '{"result":"x","error": null,"id":"m"}\n'),
            (Reply(""), "\n"),
            (Reply(spaces12), spaces12 + "\n"),
            (Reply(spaces13), "exception: RPC error: late\n"),
            (Reply(spaces13_quiet), spaces13_quiet + "\n"),
        ]
        for reply, expected in cases:
            with self.subTest(body=reply.body):
                self.node.script("*", reply)
                self.assertEqual(probe(self.node.url, "call", "getbestblockhash", "[]"), expected)

    def test_getblocktemplate_from_a_realistic_reply(self):
        self.node.script("getblocktemplate", Reply.result(TEMPLATE))
        out = probe(self.node.url, "getblocktemplate")
        f = fields(out)
        self.assertEqual(f["valid"], "1")
        self.assertEqual(f["previous"], TEMPLATE["previousblockhash"])
        self.assertEqual(f["bits"], "207fffff")
        self.assertEqual(f["height"], "812345")
        self.assertEqual(f["version"], "536870912")
        self.assertEqual(f["curtime"], "1700000123")
        self.assertEqual(f["coinbasevalue"], "5000003000")
        self.assertEqual(f["target"], TEMPLATE["target"])
        self.assertEqual(f["commitment"], TEMPLATE["default_witness_commitment"])
        self.assertIn("tx data_len=6 txid=" + "11" * 32, out)
        self.assertIn("tx data_len=6 txid=" + "33" * 32, out)

    def test_template_failures_are_explained(self):
        cases = [
            (Reply.error(-10, "Bitcoin is downloading blocks..."),
             "RPC error: Bitcoin is downloading blocks..."),
            (Reply("<html><body>503 Service Unavailable</body></html>", status=503,
                   content_type="text/html"), "the node's reply has no result (HTTP 503)"),
            (Reply("", status=500), "empty reply from the node (HTTP 500)"),
            (Reply.result(None), "the template lacks previousblockhash or bits"),
        ]
        for reply, failure in cases:
            with self.subTest(failure=failure):
                self.node.script("*", reply)
                f = fields(probe(self.node.url, "getblocktemplate"))
                self.assertEqual((f["valid"], f["failure"]), ("0", failure))

    def test_submitblock_verdicts(self):
        cases = [
            (Reply('{"result":null,"error":null,"id":"m"}'), "true", "accepted"),
            (Reply('{"result": null,"error":null,"id":"m"}'), "true", "accepted"),
            (Reply.result("duplicate"), "true", "accepted"),
            (Reply.result("duplicate-invalid"), "false", "rejected"),
            (Reply.result("duplicate-inconclusive"), "false", "rejected"),
            (Reply.result("rejected"), "false", "rejected"),
            (Reply.result("high-hash"), "false", "rejected"),
            (Reply.error(-22, "Block decode failed"), "false", "rejected"),
            (Reply.error(-22), "false", "rejected"),
            # A node that cannot judge the block yet has given no verdict.
            (Reply.error(-28, "Loading block index..."), "false", "no_reply"),
            (Reply.error(-10, "Bitcoin is downloading blocks..."), "false", "no_reply"),
            (Reply.error(-32603, "Internal error"), "false", "no_reply"),
            (Reply.error(-28), "false", "no_reply"),
            (Reply("Work queue depth exceeded", status=503, content_type="text/plain"), "false",
             "no_reply"),
            (Reply('{"error":null,"id":"m"}'), "false", "no_reply"),
            (Reply.dropped(), "false", "no_reply"),
        ]
        for reply, answer, outcome in cases:
            with self.subTest(body=reply.body):
                self.node.script("*", reply, reply)
                out = probe(self.node.url, "submitblock", "00", "then", "submit", "00")
                self.assertEqual(out.split("\n")[0], answer)
                self.assertEqual(out.split("\n")[1].split(" ")[0], outcome)

    def test_bad_replies_never_crash(self):
        huge = Reply.result({"previousblockhash": "ab" * 32, "bits": "207fffff",
                             "transactions": [{"data": "00" * (15 << 20), "txid": "11" * 32}] * 2})
        cases = [
            Reply(""), Reply('{"result":{"previousblockhash":"aa","bi'), Reply('{"result":{"transactions":[{"data":"00"'),
            Reply(bytes(range(256)) * 64), Reply(b"\x00" * 1000 + b'"result"' + b"\xff" * 1000),
            huge,
        ]
        for reply in cases:
            with self.subTest(size=len(reply.body)):
                self.node.script("*", reply)
                out = probe(self.node.url, "getblocktemplate")
                self.assertIn("valid=", out)
        self.assertIn("transactions=2", out)
        self.assertIn("tx data_len=%d" % (30 << 20), out)

    def test_client_is_reused_after_failures(self):
        # (A connection dropped after being reused is retried by libcurl itself,
        # so the drop comes first, on a fresh connection.)
        self.node.script("*", Reply.dropped(), Reply.error(-8, "bad"), Reply.result("tip"))
        out = probe(self.node.url, "getbestblockhash", "then", "getbestblockhash", "then",
                    "getbestblockhash")
        self.assertEqual(out.splitlines(), [
            "exception: RPC: Server returned nothing (no headers, no data)",
            "exception: RPC error: bad", "tip"])

    def test_getblockcount(self):
        for reply, expected in ((Reply.result(812345), "812345"), (Reply.result(None), "0"),
                                (Reply(""), "0"), (Reply.result("0x10"), "16")):
            with self.subTest(body=reply.body):
                self.node.script("*", reply)
                self.assertEqual(probe(self.node.url, "getblockcount"), expected + "\n")

    def test_a_slow_node_is_waited_for(self):
        self.node.script("*", Reply.result("late", delay=2.0))
        start = time.monotonic()
        self.assertEqual(probe(self.node.url, "getbestblockhash"), "late\n")
        self.assertGreaterEqual(time.monotonic() - start, 2.0)

    @unittest.skipUnless(SLOW, "set MARLVANE_SLOW_TESTS=1 for the 30-second timeout")
    def test_total_timeout(self):
        self.node.script("*", Reply.result("never", delay=40.0))
        start = time.monotonic()
        self.assertEqual(probe(self.node.url, "getbestblockhash", timeout=60),
                         "exception: RPC: Timeout was reached\n")
        self.assertAlmostEqual(time.monotonic() - start, 30.0, delta=3.0)


if __name__ == "__main__":
    unittest.main()
