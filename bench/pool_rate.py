#!/usr/bin/env python3
"""Shares at GPU speed: a rig of 8 test-engine devices at 5 GH/s each mines
for the Stratum test server at a share difficulty that gives about 200
shares a second. Prints the rig's counted rate against the 40 GH/s it
should reach, the shares a second, and the shares found, sent and judged
on both sides: none may be lost.

    bench/pool_rate.py [SECONDS]   (default 60)

The test engine hashes only the first nonces of each launch while counting
the whole launch, so that the host keeps up; the share difficulty is set
from how many nonces it really hashes.
"""
import os
import re
import signal
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests"))
from chain import Chain  # noqa: E402
from stratum_server import DIFF1_TARGET, StratumServer  # noqa: E402
from testnode import TestNode  # noqa: E402

DEVICES = 8
RATE = 5 * 10 ** 9
# 2^27 nonces a launch (128 a thread): about 37 launches a second on each device.
GRID = ["-B", "4096", "-T", "256"]
LAUNCH = 4096 * 256 * 128
HASHED = 64                # nonces the engine really hashes of each launch
SHARES_A_SECOND = 200


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    launches = DEVICES * RATE / LAUNCH
    # A find ends a launch early and the next hashes its first nonces
    # again, so shares a launch are q / (1 - q) for q the odds of a find
    # among HASHED nonces: q from the shares wanted, the odds from q.
    per_launch = SHARES_A_SECOND / launches
    q = per_launch / (1 + per_launch)
    odds = 1 / (1 - (1 - q) ** (1 / HASHED))           # hashed nonces a share
    difficulty = DIFF1_TARGET / (2 ** 256 / odds)
    chain = Chain(dev_fee=False, bits=0x1D00FFFF)       # no block in the run
    node = TestNode(chain=chain).start()
    pool = StratumServer(node, difficulty=difficulty).start()
    miner = os.path.join(here, "..", "build", "tests", "marlvane-test-miner")
    env = dict(os.environ, MARLVANE_TEST_DEVICES=str(DEVICES), MARLVANE_TEST_RATE=str(RATE),
               MARLVANE_TEST_SKIM=str(HASHED))
    proc = subprocess.Popen([miner, "-o", pool.url, "-u", "rig", "-p", "x", "-d", "all"] + GRID,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    pool.wait_for(lambda: len(pool.shares) > 0, what="the first share")
    start, first = time.monotonic(), len(pool.shares)
    time.sleep(seconds)
    window = time.monotonic() - start
    in_window = len(pool.shares) - first
    proc.send_signal(signal.SIGINT)
    out = proc.communicate(timeout=60)[0].decode("utf-8", "replace")
    time.sleep(0.5)
    pool.stop()
    node.stop()

    hashes = re.search(r"  Hashes: (\d+) in ([\d.]+) s", out)
    shares = re.search(r"  Shares: (\d+) found, (\d+) accepted, (\d+) rejected, (\d+) stale", out)
    if not hashes or not shares:
        print(out[-3000:])
        sys.exit("no summary")
    counted = int(hashes.group(1)) / float(hashes.group(2))
    found, accepted, rejected, stale = (int(g) for g in shares.groups())
    judged = len(pool.shares)
    pool_accepted = len(pool.accepted_shares())
    print("devices %d x %.1f GH/s, share difficulty %.3g (1 share in %.0f hashed nonces)"
          % (DEVICES, RATE / 1e9, difficulty, odds))
    print("counted rate   %.2f GH/s of %.2f GH/s: %.2f %%"
          % (counted / 1e9, DEVICES * RATE / 1e9, 100 * counted / (DEVICES * RATE)))
    print("shares         %.1f a second over %.0f s" % (in_window / window, window))
    print("miner          found %d, accepted %d, rejected %d, stale %d" % (found, accepted, rejected, stale))
    print("pool           received %d, accepted %d" % (judged, pool_accepted))
    lost = found - judged
    print("lost           %d (found by the miner, never received by the pool)" % lost)
    print("false positive %s" % ("1 (the test engine's first find, caught on the host)"
                                 if "GPU false positive" in out else "none"))
    ok = counted >= 0.99 * DEVICES * RATE and lost == 0 and accepted == pool_accepted
    print("verdict        %s" % ("PASS" if ok else "FAIL"))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
