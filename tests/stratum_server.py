"""A Stratum v1 pool server for tests, on a free port of 127.0.0.1.

It works as a solo pool server does: it asks the test node for a template
over JSON-RPC, hands every miner a job built from it (its own coinbase with
room for the extranonces, the merkle branch), checks every share with the
chain's own proof of work, and passes a share that meets the network
target on to the node as a block. Nothing here uses the program's code.

The tests drive it: difficulty changes, clean jobs, new extranonces, forced
rejections, raw lines of any kind, disconnects and silence. Every line that
comes and goes is kept, in order, for the tests and the transcript.
"""
import base64
import json
import socket
import socketserver
import struct
import threading
import time
import urllib.request

from chain import compact_size, height_script, pow_value, sha256d

# Difficulty 1: 0x00000000FFFF followed by zeros, as pool servers of
# Bitcoin-format chains have it.
DIFF1_TARGET = 0xFFFF << 208
# A 22-byte witness program the pool pays.
POOL_SCRIPT = bytes.fromhex("0014") + bytes(range(100, 120))

# Error codes pool servers send with a rejected share.
ERRORS = {"job": (21, "Job not found"), "duplicate": (22, "Duplicate share"),
          "low": (23, "Low difficulty share"), "worker": (24, "Unauthorized worker"),
          "ntime": (20, "ntime out of range")}


def node_call(url, user, password, method, params=()):
    body = json.dumps({"id": 1, "method": method, "params": list(params)}).encode()
    request = urllib.request.Request(url, data=body, headers={
        "Authorization": "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode(),
        "Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=10) as reply:
        answer = json.loads(reply.read())
    if answer.get("error"):
        raise RuntimeError(answer["error"])
    return answer["result"]


def merkle_branch(txids):
    """The hashes a coinbase's txid is paired with on its way to the root."""
    branch, level = [], [None] + list(txids)
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        branch.append(level[1])
        level = [None] + [sha256d(level[i] + level[i + 1]) for i in range(2, len(level), 2)]
    return branch


def stratum_prev_hash(display_hex):
    """The previous hash as Stratum sends it: each 4-byte word of the
    internal order byte-swapped."""
    internal = bytes.fromhex(display_hex)[::-1]
    return b"".join(internal[i:i + 4][::-1] for i in range(0, 32, 4)).hex()


class Job:
    def __init__(self, job_id, template, difficulty, clean):
        self.id = job_id
        self.template = template
        self.difficulty = difficulty
        self.clean = clean
        self.height = template["height"]
        self.txs = [bytes.fromhex(t["data"]) for t in template["transactions"]]
        txids = [bytes.fromhex(t["txid"])[::-1] for t in template["transactions"]]
        self.branch = merkle_branch(txids)
        script_start = height_script(self.height)
        self.tag = b"\x09/testpool"
        self.commitment = bytes.fromhex(template["default_witness_commitment"])
        outputs = [(template["coinbasevalue"], POOL_SCRIPT), (0, self.commitment)]
        out = compact_size(len(outputs)) + b"".join(
            struct.pack("<q", v) + compact_size(len(s)) + s for v, s in outputs)
        self.script_start = script_start
        self.tail = self.tag + b"\xff\xff\xff\xff" + out + b"\x00\x00\x00\x00"

    def coinb1(self, extranonce_size):
        script_len = len(self.script_start) + 1 + extranonce_size + len(self.tag)
        return (struct.pack("<I", 1) + b"\x01" + b"\x00" * 32 + b"\xff" * 4 + compact_size(script_len)
                + self.script_start + bytes([extranonce_size]))

    def notify(self, extranonce_size):
        t = self.template
        return [self.id, stratum_prev_hash(t["previousblockhash"]), self.coinb1(extranonce_size).hex(),
                self.tail.hex(), [h.hex() for h in self.branch], "%08x" % t["version"], t["bits"],
                "%08x" % t["curtime"], self.clean]


class Client:
    def __init__(self, server, sock):
        self.server, self.sock = server, sock
        self.lock = threading.Lock()
        self.extranonce1 = server.next_extranonce1()
        self.extranonce2_size = server.extranonce2_size
        self.next_extranonce = None        # (extranonce1, size) from the next job on
        self.job_extranonces = {}          # job id -> (extranonce1, size) it was sent with
        self.subscribed = self.authorized = False
        self.worker = None

    def send(self, obj_or_line):
        line = obj_or_line if isinstance(obj_or_line, (bytes, str)) else json.dumps(obj_or_line)
        data = line.encode() if isinstance(line, str) else line
        with self.lock:
            self.server.log("out", data.decode("utf-8", "replace"))
            try:
                self.sock.sendall(data + b"\n")
            except OSError:
                pass


class StratumServer:
    def __init__(self, node, difficulty=1.0, extranonce2_size=4, workers=None, port=0):
        self.node = node
        self.difficulty = difficulty
        self.extranonce2_size = extranonce2_size
        self.workers = workers       # name -> password; None takes anyone
        self.lock = threading.Lock()
        self.clients = []
        self.jobs = {}
        self.job_serial = 0
        self.extranonce_serial = 0
        self.transcript = []         # (monotonic, "in"/"out", line)
        self.shares = []             # (worker, job id, extranonce2, ntime, nonce, error or None)
        self.blocks = []             # (block hex, the node's verdict)
        self.reject_next = []        # error keys forced on the next shares
        self.silent = False
        self.answer_submits = True
        self.connections = 0
        self._seen = set()
        self._stopping = False
        server = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                server._serve(self.request)

        class Listener(socketserver.ThreadingMixIn, socketserver.TCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self._listener = Listener(("127.0.0.1", port), Handler)
        self.port = self._listener.server_address[1]
        self.url = "stratum+tcp://127.0.0.1:%d" % self.port

    # -- control -------------------------------------------------------------
    def start(self):
        self.new_job(clean=True)
        threading.Thread(target=self._listener.serve_forever, kwargs={"poll_interval": 0.05},
                         daemon=True).start()
        return self

    def stop(self):
        self._stopping = True
        self._listener.shutdown()
        self._listener.server_close()
        self.drop_clients()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def log(self, direction, line):
        self.transcript.append((time.monotonic(), direction, line))

    def lines(self, direction, method=None):
        out = []
        for _, d, line in list(self.transcript):
            if d != direction:
                continue
            try:
                msg = json.loads(line)
            except ValueError:
                msg = None
            if method is None or (isinstance(msg, dict) and msg.get("method") == method):
                out.append(msg if msg is not None else line)
        return out

    def next_extranonce1(self):
        with self.lock:
            self.extranonce_serial += 1
            return struct.pack(">I", 0x10000000 + self.extranonce_serial)

    def new_job(self, clean=True):
        """A job from a fresh template, sent to every miner."""
        t = node_call(self.node.url, self.node.user, self.node.password, "getblocktemplate",
                      [{"rules": ["segwit"]}])
        with self.lock:
            self.job_serial += 1
            job = Job("%x" % self.job_serial, t, self.difficulty, clean)
            if clean:
                self.jobs.clear()
            self.jobs[job.id] = job
            clients = list(self.clients)
        for c in clients:
            self._send_job(c, job)
        return job

    def set_difficulty(self, difficulty, then_job=True):
        self.difficulty = difficulty
        self.broadcast({"id": None, "method": "mining.set_difficulty", "params": [difficulty]})
        if then_job:
            self.new_job(clean=False)

    def set_extranonce(self, client, extranonce1, size):
        client.next_extranonce = (extranonce1, size)
        client.send({"id": None, "method": "mining.set_extranonce", "params": [extranonce1.hex(), size]})

    def broadcast(self, obj_or_line):
        for c in list(self.clients):
            c.send(obj_or_line)

    def drop_clients(self):
        with self.lock:
            clients, self.clients = list(self.clients), []
        for c in clients:
            try:
                c.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            c.sock.close()

    def wait_for(self, predicate, timeout=30.0, what="the condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return
            time.sleep(0.02)
        raise AssertionError("timed out waiting for %s" % what)

    def accepted_shares(self):
        return [s for s in self.shares if s[5] is None]

    # -- one connection --------------------------------------------------------
    def _serve(self, sock):
        client = Client(self, sock)
        with self.lock:
            self.clients.append(client)
            self.connections += 1
        buffer = b""
        try:
            while not self._stopping:
                data = sock.recv(65536)
                if not data:
                    break
                buffer += data
                while b"\n" in buffer:
                    line, buffer = buffer.split(b"\n", 1)
                    self.log("in", line.decode("utf-8", "replace"))
                    if not self.silent:
                        self._handle(client, line)
        except OSError:
            pass
        finally:
            with self.lock:
                if client in self.clients:
                    self.clients.remove(client)
            sock.close()

    def _handle(self, client, line):
        msg = json.loads(line)
        method, params, rid = msg.get("method"), msg.get("params") or [], msg.get("id")
        if method == "mining.subscribe":
            client.subscribed = True
            client.send({"id": rid, "error": None, "result": [
                [["mining.set_difficulty", "1"], ["mining.notify", "1"]],
                client.extranonce1.hex(), client.extranonce2_size]})
        elif method == "mining.authorize":
            name, password = params[0], params[1]
            if self.workers is not None and self.workers.get(name) != password:
                client.send({"id": rid, "result": None, "error": [24, "Unauthorized worker", None]})
                return
            client.authorized, client.worker = True, name
            client.send({"id": rid, "result": True, "error": None})
            client.send({"id": None, "method": "mining.set_difficulty", "params": [self.difficulty]})
            with self.lock:
                jobs = sorted(self.jobs.values(), key=lambda j: int(j.id, 16))
            if jobs:
                self._send_job(client, jobs[-1], clean=True)
        elif method == "mining.extranonce.subscribe":
            client.send({"id": rid, "result": True, "error": None})
        elif method == "mining.submit":
            error = self._check_share(client, params)
            if self.answer_submits:
                client.send({"id": rid, "result": error is None,
                             "error": None if error is None else [error[0], error[1], None]})
        elif rid is not None:
            client.send({"id": rid, "result": None, "error": [20, "Unknown method", None]})

    def _send_job(self, client, job, clean=None):
        if client.next_extranonce:
            client.extranonce1, client.extranonce2_size = client.next_extranonce
            client.next_extranonce = None
        client.job_extranonces[job.id] = (client.extranonce1, client.extranonce2_size)
        params = job.notify(len(client.extranonce1) + client.extranonce2_size)
        if clean is not None:
            params[-1] = clean
        client.send({"id": None, "method": "mining.notify", "params": params})

    def _check_share(self, client, params):
        worker, job_id, en2_hex, ntime_hex, nonce_hex = params
        with self.lock:
            job = self.jobs.get(job_id)
            forced = self.reject_next.pop(0) if self.reject_next else None
        error = self._verdict(client, worker, job, job_id, en2_hex, ntime_hex, nonce_hex, forced)
        self.shares.append((worker, job_id, en2_hex, ntime_hex, nonce_hex, error and error[1]))
        return error

    def _verdict(self, client, worker, job, job_id, en2_hex, ntime_hex, nonce_hex, forced):
        if forced:
            return ERRORS[forced]
        if worker != client.worker:
            return ERRORS["worker"]
        if job is None or job_id not in client.job_extranonces:
            return ERRORS["job"]
        key = (job_id, en2_hex, ntime_hex, nonce_hex, client.extranonce1)
        if key in self._seen:
            return ERRORS["duplicate"]
        extranonce1, size = client.job_extranonces[job_id]
        en2 = bytes.fromhex(en2_hex)
        if len(en2) != size:
            return (20, "Incorrect size of extranonce2")
        if int(ntime_hex, 16) != job.template["curtime"]:
            return ERRORS["ntime"]
        coinbase = job.coinb1(len(extranonce1) + size) + extranonce1 + en2 + job.tail
        root = sha256d(coinbase)
        for h in job.branch:
            root = sha256d(root + h)
        t = job.template
        header = (struct.pack("<I", t["version"]) + bytes.fromhex(t["previousblockhash"])[::-1] + root
                  + struct.pack("<III", int(ntime_hex, 16), int(t["bits"], 16), int(nonce_hex, 16)))
        value = pow_value(header)
        if value > DIFF1_TARGET / job.difficulty:
            return ERRORS["low"]
        self._seen.add(key)
        if value <= int(t["target"], 16):
            self._submit_block(job, header, coinbase)
        return None

    def _submit_block(self, job, header, coinbase):
        # The coinbase in the block carries its witness: the reserved value.
        body = coinbase[4:-4]
        with_witness = coinbase[:4] + b"\x00\x01" + body + b"\x01\x20" + b"\x00" * 32 + coinbase[-4:]
        block = header + compact_size(1 + len(job.txs)) + with_witness + b"".join(job.txs)
        verdict = node_call(self.node.url, self.node.user, self.node.password, "submitblock",
                            [block.hex()])
        self.blocks.append((block.hex(), verdict))

