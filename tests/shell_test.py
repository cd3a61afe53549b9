#!/usr/bin/env python3
"""The shell as a black box: run the real binaries and compare exact bytes."""
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

CPU = os.environ.get("MARLVANE_CPU_MINER", "")
GPU = os.environ.get("MARLVANE_GPU_MINER", "")

USAGE = (
    "Marlvane GPU Miner v1.1 - Whirlpool-512 CUDA\n\n"
    "Usage: {prog} [options]\n\n"
    "  -c FILE      Config file (default: marlvane-miner.conf)\n"
    "  -o URL       RPC URL (default http://127.0.0.1:8899)\n"
    "  -u USER      RPC username\n"
    "  -p PASS      RPC password\n"
    "  -a ADDRESS   Mining payout address (required)\n"
    "  -d DEVICE    CUDA device ID, a list (0,2,3) or all (default 0)\n"
    "  -B BLOCKS    Grid blocks (default auto)\n"
    "  -T THREADS   Threads/block (default 256)\n"
    "  --benchmark  Hashrate benchmark only\n"
    "  --list-gpus  List CUDA devices\n"
    "  --cli        Force terminal mode (no GUI)\n"
    "  --rpc-cookie FILE\n"
    "               RPC user and password from the node's cookie file\n"
    "  --log FILE   Append every line printed, with its time, to FILE\n"
    "  --temp-limit C\n"
    "               Pause a GPU at C degrees (50-110) until it cools to C - 5\n"
    "  --api HOST:PORT\n"
    "               Serve /summary (JSON) and /metrics (Prometheus)\n"
    "  --zmq URL    The node's hashblock publisher, e.g. tcp://127.0.0.1:28332\n"
    "  --pool-ca FILE\n"
    "               Certificate authorities that stratum+ssl:// pools are checked against\n"
    "  --version    Show the version, commit and CUDA architectures\n"
    "  -h, --help   Show this help\n"
    "\nCommand-line flags override config file values.\n"
    "Place marlvane-miner.conf next to the .exe for auto-detection.\n"
    "-o stratum+tcp://HOST:PORT (or stratum+ssl://) mines for a pool as worker -u\n"
    "with password -p; each further -o is a backup, tried in order.\n"
)

NO_ADDRESS = (
    "Error: mining address not set!\n"
    "  Edit marlvane-miner.conf and set your address=... line,\n"
    "  or use:  marlvane-gpu-miner -a YOUR_ADDRESS\n"
)

BANNER = (
    "\n"
    "  +=====================================================+\n"
    "  |            [*] Marlvane GPU Miner [*]               |\n"
    "  |            Whirlpool-512 CUDA v1.1                  |\n"
    "  |            {title:<40}|\n"
    "  +=====================================================+\n\n"
)


def cpu_device_line(prefix, device=0, devices=1):
    """What the CPU backend reports: the processor, its share of the
    threads, its memory."""
    name = "CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                name = line.split(":", 1)[1].strip(" ").rstrip("\n")
                break
    total = len(os.sched_getaffinity(0))
    threads = max(1, total * (device + 1) // devices - total * device // devices)
    mem_mb = (os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")) >> 20
    return "  %s#%d: %s (%d SMs, %d MB)\n" % (prefix, device, name, threads, mem_mb)


class Run:
    def __init__(self, binary, args, cwd, argv0=None, env=None):
        proc = subprocess.run([argv0 or binary] + args, executable=binary, cwd=cwd,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
                              env=dict(os.environ, **(env or {})))
        self.out = proc.stdout.decode("utf-8", "replace")
        self.err = proc.stderr.decode("utf-8", "replace")
        self.status = proc.returncode


class ShellTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(CPU, "MARLVANE_CPU_MINER is not set")
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
        return path

    def run_cpu(self, *args, argv0=None, env=None):
        return Run(CPU, list(args), self.dir, argv0, env)

    def assertRun(self, run, out, status):
        self.assertEqual(run.out, out)
        self.assertEqual(run.status, status)
        self.assertEqual(run.err, "")

    def test_help_prints_usage_with_the_program_path(self):
        for flag in ("-h", "--help"):
            self.assertRun(self.run_cpu(flag, "--bogus"), USAGE.format(prog=CPU), 0)
        self.assertRun(self.run_cpu("-h", argv0="some/path/miner"),
                       USAGE.format(prog="some/path/miner"), 0)

    def test_version_is_one_line_whatever_else_is_given(self):
        line = r"^marlvane-cpu-miner 1\.1 \(commit ([0-9a-f]{12}(-modified)?|unknown), " \
               r"CUDA architectures: none, a CPU build\)\n$"
        for args in (["--version"], ["-d", "all", "--version", "-o", "x"], ["--version", "--bogus"]):
            with self.subTest(args=args):
                run = self.run_cpu(*args)
                self.assertRegex(run.out, line)
                self.assertEqual((run.status, run.err), (0, ""))
        run = self.run_cpu("--bogus", "--version")
        self.assertEqual(run.status, 1, "an unknown option before it is still an error")
        if GPU:
            run = Run(GPU, ["--version"], self.dir)
            self.assertRegex(run.out, r"^marlvane-gpu-miner 1\.1 \(commit \S+, CUDA architectures: "
                                      r"(\d+ )*\d+\)\n$")
            self.assertEqual(run.status, 0)

    def test_unknown_or_incomplete_options(self):
        cases = [(["--bogus"], "--bogus"), (["-x", "-h"], "-x"), (["-o"], "-o"),
                 (["-a", "A", "-c"], "-c"), (["--benchmark", "-d"], "-d"), (["-help"], "-help")]
        for args, bad in cases:
            with self.subTest(args=args):
                self.assertRun(self.run_cpu(*args),
                               "Unknown option: %s\n" % bad + USAGE.format(prog=CPU), 1)

    def test_no_address(self):
        self.assertRun(self.run_cpu(), NO_ADDRESS, 1)
        self.assertRun(self.run_cpu("-a", "PUT_YOUR_MARLVANE_ADDRESS_HERE", "--cli"), NO_ADDRESS, 1)

    def test_config_files(self):
        crlf = self.write("crlf.conf", "# comment\r\ndevice = 1\r\nrpc_url=x\r\ndevice=3\r\n")
        spaced = self.write("spaced.conf", "  device=5\n")
        other = self.write("other.conf", "address=PUT_YOUR_MARLVANE_ADDRESS_HERE\n")
        missing = os.path.join(self.dir, "missing.conf")
        cases = [
            (["-c", crlf], "  [+] Loaded config: %s (2 settings)\n"
             "Error: device 3 not found (1 available)\n" % crlf, 1),
            # The key keeps its leading spaces and means nothing.
            (["-c", spaced], "  [+] Loaded config: %s (1 settings)\n" % spaced + NO_ADDRESS, 1),
            # With -c twice only the last file is read.
            (["-c", crlf, "-c", other], "  [+] Loaded config: %s (1 settings)\n" % other + NO_ADDRESS, 1),
            # The command line wins over the file.
            (["-c", crlf, "-d", "0"], "  [+] Loaded config: %s (2 settings)\n" % crlf + NO_ADDRESS, 1),
            (["-c", missing], "  [!] Cannot open config: %s\n" % missing + NO_ADDRESS, 1),
            (["-c", self.dir], "  [!] Cannot open config: %s\n" % self.dir + NO_ADDRESS, 1),
        ]
        for args, out, status in cases:
            with self.subTest(args=args):
                self.assertRun(self.run_cpu(*args), out, status)

    def test_default_config_beside_the_program_then_in_the_working_directory(self):
        bindir = os.path.join(self.dir, "bin")
        os.mkdir(bindir)
        link = os.path.join(bindir, "miner")
        os.symlink(CPU, link)
        beside = os.path.join(bindir, "marlvane-miner.conf")
        with open(beside, "w") as f:
            f.write("device=7\n")
        self.write("marlvane-miner.conf", "device=8\n")
        run = Run(CPU, [], self.dir, argv0=link)
        self.assertRun(run, "  [+] Loaded config: %s (1 settings)\n"
                       "Error: device 7 not found (1 available)\n" % beside, 1)
        run = Run(CPU, [], self.dir, argv0="miner")
        self.assertRun(run, "  [+] Loaded config: marlvane-miner.conf (1 settings)\n"
                       "Error: device 8 not found (1 available)\n", 1)

    def test_device_checks(self):
        self.assertRun(self.run_cpu("-d", "1"), "Error: device 1 not found (1 available)\n", 1)
        self.assertRun(self.run_cpu("-d", "-1"), "Error: device -1 not found (1 available)\n", 1)
        for threads in ("0", "257", "-4"):
            self.assertRun(self.run_cpu("-T", threads, "--benchmark"),
                           "Error: threads per block must be 1 to 256 (got %d)\n" % int(threads), 1)

    def test_device_lists(self):
        three = {"MARLVANE_CPU_DEVICES": "3"}
        bad = ('Error: bad device list "%s" (give one device number, numbers separated by '
               'commas, or all)\n')
        cases = [("0,0", 'Error: device 0 is listed twice in "0,0"\n'),
                 ("2,1,2", 'Error: device 2 is listed twice in "2,1,2"\n'),
                 ("0,3", "Error: device 3 not found (3 available)\n"),
                 ("3", "Error: device 3 not found (3 available)\n"),
                 ("0,", bad % "0,"), ("1,x", bad % "1,x"), (",", bad % ",")]
        for value, error in cases:
            with self.subTest(value=value):
                self.assertRun(self.run_cpu("-d", value, "--benchmark", env=three), error, 1)
        conf = self.write("list.conf", "device=1,1\n")
        self.assertRun(self.run_cpu("-c", conf, "--benchmark", env=three),
                       "  [+] Loaded config: %s (1 settings)\n"
                       'Error: device 1 is listed twice in "1,1"\n' % conf, 1)
        # A list is checked before the address, as one device always was.
        self.assertRun(self.run_cpu("-d", "0,1", env=three), NO_ADDRESS, 1)
        self.assertRun(self.run_cpu("--list-gpus", env=three),
                       "CUDA devices:\n" + "".join(cpu_device_line("", d, 3) for d in range(3)), 0)

    def test_list_gpus_wins_over_benchmark_and_needs_no_address(self):
        expected = "CUDA devices:\n" + cpu_device_line("")
        self.assertRun(self.run_cpu("--list-gpus", "--benchmark"), expected, 0)
        self.assertRun(self.run_cpu("--list-gpus", "-d", "9"), expected, 0)

    @unittest.skipUnless(GPU, "no CUDA build")
    def test_gpu_binary_without_a_device(self):
        if Run(GPU, ["--list-gpus"], self.dir).status == 0:
            self.skipTest("this machine has a CUDA device")
        for args in ([], ["--list-gpus"], ["--benchmark"], ["-a", "x"]):
            with self.subTest(args=args):
                self.assertRun(Run(GPU, args, self.dir), "Error: No CUDA devices found.\n", 1)
        self.assertRun(Run(GPU, ["--help"], self.dir), USAGE.format(prog=GPU), 0)

    def test_benchmark_stops_in_order_on_a_signal(self):
        # "all" on a machine of one device is that device, texts included.
        for sig, more in ((signal.SIGINT, []), (signal.SIGTERM, ["-d", "all"])):
            with self.subTest(sig=sig):
                proc = subprocess.Popen([CPU, "--benchmark", "-B", "2", "-T", "32"] + more,
                                        cwd=self.dir, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
                time.sleep(1.6)
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=20)
                out = out.decode()
                self.assertEqual(proc.returncode, 0)
                self.assertEqual(err, b"")
                head = (BANNER.format(title="Benchmark Mode (30s)") + cpu_device_line("GPU ") +
                        "  Grid: 2 blocks x 32 threads = 8192 hashes/launch\n"
                        "  Shared mem: 64 KB (T0 and T0 rotated by 8, one copy per half-warp lane)\n\n"
                        "  Warming up...\r"
                        "  Running 30s benchmark...                    \n\n")
                self.assertTrue(out.startswith(head), out[:600])
                body = out[len(head):]
                progress, _, box = body.rpartition("\r" + " " * 62 + "\n")
                self.assertRegex(progress, r"^(\r  \[ *\d+\.\ds / 30s\]  \d+\.\d\d [KMGT]?H/s"
                                           r"  \(peak \d+\.\d\d [KMGT]?H/s\)   )+$")
                m = re.fullmatch(
                    r"  \+=================== RESULTS ====================\+\n"
                    r"  \|  Duration:     +(\d+\.\d\d) seconds                 \|\n"
                    r"  \|  Launches:     +(\d+)                          \|\n"
                    r"  \|  Total hashes: (\d+) +\|\n"
                    r"  \|  Average:      (.{14})                \|\n"
                    r"  \|  Peak:         (.{14})                \|\n"
                    r"  \|  Hashes/launch:  8192                          \|\n"
                    r"  \|  Shared mem/blk: 64 KB \(16 lane copies\)       \|\n"
                    r"  \+================================================\+\n\n", box)
                self.assertIsNotNone(m, box)
                duration, launches, total = float(m.group(1)), int(m.group(2)), int(m.group(3))
                self.assertLess(duration, 30.0)
                # The stop cuts the last launch short; its nonces still count.
                self.assertLessEqual(total, launches * 8192)
                self.assertGreater(total, (launches - 1) * 8192)
                self.assertGreater(launches, 0)

    def test_benchmark_of_a_long_launch_stops_at_once(self):
        # 2^31 nonces a launch: minutes on a CPU, cut short by the stop.
        proc = subprocess.Popen([CPU, "--benchmark", "-B", "65536", "-T", "256"], cwd=self.dir,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1.5)
        start = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        self.assertLess(time.monotonic() - start, 2.0)
        self.assertEqual((proc.returncode, err), (0, b""))
        self.assertIn("  Grid: 65536 blocks x 256 threads = 2147483648 hashes/launch\n", out.decode())
        self.assertIn("  |  Hashes/launch:  2147483648                          |\n", out.decode())
        self.assertIn("RESULTS", out.decode())

    def rig_benchmark(self, devices, fail):
        """A two-device benchmark stopped by SIGINT after 2.5 s: its output."""
        env = dict(os.environ, MARLVANE_CPU_DEVICES="2", MARLVANE_CPU_FAIL=fail)
        proc = subprocess.Popen([CPU, "--benchmark", "-d", devices, "-B", "2", "-T", "32"],
                                cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=env)
        time.sleep(2.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
        self.assertEqual((proc.returncode, err), (0, b""))
        return out.decode()

    def test_benchmark_of_two_devices_at_once(self):
        out = self.rig_benchmark("all", "")
        head = (BANNER.format(title="Benchmark Mode (30s)") + cpu_device_line("GPU ", 0, 2) +
                cpu_device_line("GPU ", 1, 2) +
                "  Grid: 2 blocks x 32 threads = 8192 hashes/launch\n")
        self.assertTrue(out.startswith(head), out[:800])
        rate = r"\d+\.\d\d [KMGT]?H/s"
        m = re.search(r"  \|  Total hashes: (\d+) +\|\n"
                      r"  \|  Average:      (%s) +\|\n.*"
                      r"  \|  GPU #0  (%s) +\|\n"
                      r"  \|  GPU #1  (%s) +\|\n"
                      r"  \+================================================\+\n\n$" % (rate, rate, rate),
                      out, re.S)
        self.assertIsNotNone(m, out[-1200:])
        for line in re.findall(r"  \|  GPU #.*", out):
            self.assertEqual(len(line), len("  +" + "=" * 48 + "+"), line)
        self.assertGreater(int(m.group(1)), 0)

    def test_benchmark_goes_on_without_a_failing_device(self):
        out = self.rig_benchmark("0,1", "1:8")
        self.assertEqual(out.count("Error: "), 1)
        self.assertIn("\rError: GPU #1: an illegal memory access was encountered "
                      "(injected into CPU device 1)\n", out)
        self.assertRegex(out, r"  \|  GPU #0  \d+\.\d\d [KMGT]?H/s +\|\n"
                              r"  \|  GPU #1  failed +\|\n")
        # Both failing: status 1, no box.
        env = dict(os.environ, MARLVANE_CPU_DEVICES="2", MARLVANE_CPU_FAIL="0:2,1:3")
        run = subprocess.run([CPU, "--benchmark", "-d", "all", "-B", "2", "-T", "32"],
                             cwd=self.dir, capture_output=True, env=env, timeout=30)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout.decode().count("Error: GPU #"), 2)
        self.assertNotIn("RESULTS", run.stdout.decode())


if __name__ == "__main__":
    unittest.main()
