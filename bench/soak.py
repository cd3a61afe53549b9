#!/usr/bin/env python3
"""A long run of the miner as a rig owner's would be, for its memory: a rig
of two CPU devices against the test node, a new tip every 2 s, blocks found
all along, 5 % of the node's answers errors that judge nothing (-28, -10,
-32603), the API read every second. Prints the miner's resident size,
descriptors and threads every 10 s, and the growth after the first minute.

    bench/soak.py [SECONDS] [cpu|test]   (default 600 s on the test engine)

SOAK_WRAP runs the miner under a profiler, e.g. SOAK_WRAP="heaptrack -o
/tmp/soak" (the sizes printed are then the profiler's process's).

The test engine paces its devices like GPUs (1 GH/s each here) without the
CPU engine's threads per launch, whose stacks the C library caches: it is
the closer stand-in for a rig's host process.
"""
import os
import subprocess
import sys
import time
import urllib.request

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests"))
from chain import Chain, segwit_address  # noqa: E402
from testnode import Reply, TestNode, TipMover  # noqa: E402

WARM_UP = 60.0


def status(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return (int(fields["VmRSS"].split()[0]), int(fields["RssAnon"].split()[0]),
            len(os.listdir("/proc/%d/fd" % pid)), int(fields["Threads"]))


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 600.0
    engine = sys.argv[2] if len(sys.argv) > 2 else "test"
    build = os.path.join(here, "..", "build")
    if engine == "cpu":
        miner = os.path.join(build, "marlvane-cpu-miner")
        grid, target = ["-B", "1", "-T", "32"], "0000ffff" + "f" * 56
        env = {"MARLVANE_CPU_DEVICES": "2"}
    else:
        # 2^27 nonces a launch at 1 GH/s, 16 of them hashed: a find every
        # few seconds on each device.
        miner = os.path.join(build, "tests", "marlvane-test-miner")
        grid, target = ["-B", "4096", "-T", "256"], "%064x" % (2 ** 256 // 256)
        env = {"MARLVANE_TEST_DEVICES": "2", "MARLVANE_TEST_RATE": str(10 ** 9),
               "MARLVANE_TEST_SKIM": "16"}
    payout = segwit_address("tmrv", 0, bytes(range(20)))
    chain = Chain(payout_address=payout, target=target, tx_count=6)
    node = TestNode(chain=chain).start()
    node.flaky(0.05, [Reply.error(-28, "Loading block index..."),
                      Reply.error(-10, "Bitcoin is downloading blocks..."),
                      Reply.error(-32603, "Internal error")])
    mover = TipMover(chain, 2.0).start()
    api = 40000 + os.getpid() % 20000
    wrap = os.environ.get("SOAK_WRAP", "").split()
    proc = subprocess.Popen(wrap + [miner, "-o", node.url, "-a", payout, "-d", "all", "--api",
                             "127.0.0.1:%d" % api] + grid,
                            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                            env=dict(os.environ, **env))
    start = time.monotonic()
    samples = []
    # Anonymous memory is the heap, the stacks and the allocator's arenas;
    # the rest of the resident size is the program's and libraries' pages,
    # read in as code paths first run.
    print("   time     RSS KB    anon KB   fds threads  accepted  submissions")
    try:
        next_sample = start
        while time.monotonic() - start < seconds and proc.poll() is None:
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/summary" % api, timeout=2).read()
            except OSError:
                pass
            if time.monotonic() >= next_sample:
                rss, anon, fds, threads = status(proc.pid)
                t = time.monotonic() - start
                samples.append((t, rss, anon))
                print("%7.0f %10d %10d %5d %7d %9d %12d" % (t, rss, anon, fds, threads, len(chain.accepted),
                                                            len(chain.verdicts)), flush=True)
                next_sample += 10.0
            time.sleep(1.0)
    finally:
        proc.send_signal(2)
        proc.wait(30)
        mover.stop()
        node.stop()
    settled = [sample for sample in samples if sample[0] >= WARM_UP]
    if len(settled) >= 2:
        (t0, r0, a0), (t1, r1, a1) = settled[0], settled[-1]
        print("after the first minute: RSS %d KB at %.0f s, %d KB at %.0f s: %+.3f KB a second"
              % (r0, t0, r1, t1, (r1 - r0) / (t1 - t0)))
        print("                        anon %d KB at %.0f s, %d KB at %.0f s: %+.3f KB a second"
              % (a0, t0, a1, t1, (a1 - a0) / (t1 - t0)))


if __name__ == "__main__":
    main()
