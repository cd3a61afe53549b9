"""A JSON-RPC 1.0 node for tests, on a free port of 127.0.0.1.

It checks HTTP basic credentials (a wrong pair gets HTTP 401 with an empty
body, as a real node answers), records every request, and answers either
from a script of canned replies or from its chain model (chain.py).
"""
import base64
import http.server
import json
import socketserver
import threading
import time


class Reply:
    """One canned answer: a body with a status, possibly late, or a dropped connection."""

    def __init__(self, body=b"", status=200, delay=0.0, drop=False,
                 content_type="application/json"):
        self.body = body.encode() if isinstance(body, str) else body
        self.status = status
        self.delay = delay
        self.drop = drop
        self.content_type = content_type

    @staticmethod
    def result(value, delay=0.0):
        return Reply(json.dumps({"result": value, "error": None, "id": "m"},
                                separators=(",", ":")), delay=delay)

    @staticmethod
    def error(code, message=None, status=500):
        err = {"code": code}
        if message is not None:
            err["message"] = message
        return Reply(json.dumps({"result": None, "error": err, "id": "m"},
                                separators=(",", ":")), status=status)

    @staticmethod
    def dropped(delay=0.0):
        return Reply(drop=True, delay=delay)


class Request:
    def __init__(self, path, headers, body):
        self.path = path
        self.headers = headers  # lower-case names
        self.body = body
        try:
            self.json = json.loads(body)
        except ValueError:
            self.json = None
        self.method = self.json.get("method") if isinstance(self.json, dict) else None
        self.params = self.json.get("params") if isinstance(self.json, dict) else None
        self.at = time.monotonic()


class Outage:
    """A stretch of time in which the node answers some requests one way."""

    def __init__(self, method, seconds, reply, after):
        self.method, self.seconds, self.reply, self.after = method, seconds, reply, after
        self.since = self.until = None  # monotonic; set when it begins

    def answer(self, request):
        if self.since is None and request.method == self.after:
            self.since = request.at
            self.until = request.at + self.seconds
        if self.since is None or request.at >= self.until:
            return None
        return self.reply if self.method in (request.method, "*") else None


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that gives a request up (a miner stopping) is no error.
        import sys
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


class TestNode:
    def __init__(self, user="rpcuser", password="hollowgates", chain=None, port=0):
        self.user = user
        self.password = password
        self.chain = chain
        self.requests = []
        self._scripts = {}  # method name (or "*") -> list of Reply
        self._outages = []
        self._flaky = None  # (probability, replies, random source)
        self._delays = {}   # method name -> seconds the chain's answer waits
        self._queue_depth = None  # requests worked on at once; more get 503
        self._in_flight = 0
        self.busy_replies = 0
        self._publisher = None
        self._connections = set()  # open client connections, closed at a stop
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._server = _Server(("127.0.0.1", port), self._handler_class())
        self.port = self._server.server_address[1]
        self.url = "http://127.0.0.1:%d" % self.port
        self._thread = None

    # -- control -------------------------------------------------------------
    def start(self):
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()
        return self

    def publish_blocks(self, port):
        """Publish "hashblock" over ZMQ on 127.0.0.1:port whenever the chain's
        tip changes, as a node started with -zmqpubhashblock does: the topic,
        the hash and a 4-byte little-endian sequence number."""
        try:
            import zmq
        except ImportError:
            # A Python of its own (pyenv, say) beside the system's python3-zmq.
            import sys
            sys.path.append("/usr/lib/python3/dist-packages")
            import zmq
        context = zmq.Context.instance()
        socket = context.socket(zmq.PUB)
        socket.setsockopt(zmq.LINGER, 0)
        socket.bind("tcp://127.0.0.1:%d" % port)

        def run():
            tip, sequence = self.chain.tip, 0
            while not self._stopping.wait(0.01):
                if self.chain.tip == tip:
                    continue
                tip = self.chain.tip
                socket.send_multipart([b"hashblock", bytes.fromhex(tip),
                                       sequence.to_bytes(4, "little")])
                sequence += 1
            socket.close()

        self._publisher = threading.Thread(target=run, daemon=True)
        self._publisher.start()
        return "tcp://127.0.0.1:%d" % port

    def stop(self):
        self._stopping.set()
        if self._publisher:
            self._publisher.join()
        self._server.shutdown()
        self._server.server_close()
        # A stopped node answers nothing more, kept-alive connections included.
        import socket
        with self._lock:
            connections, self._connections = list(self._connections), set()
        for c in connections:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._thread.join()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def script(self, method, *replies):
        """Answer the next requests for method ("*": any method) with these replies."""
        with self._lock:
            self._scripts.setdefault(method, []).extend(replies)

    def outage(self, method, seconds, reply, after):
        """From the first request for the method after, and for seconds, answer
        every request for method ("*": any method) with reply: a node
        restarting (Reply.dropped()) or warming up (Reply.error(-28, ...)).
        The Outage returned tells when it began and ended."""
        outage = Outage(method, seconds, reply, after)
        with self._lock:
            self._outages.append(outage)
        return outage

    def flaky(self, probability, replies, seed=1):
        """Answer each request, with this probability, with one of replies
        instead: a node that now and then fails for reasons of its own."""
        import random
        with self._lock:
            self._flaky = (probability, list(replies), random.Random(seed))

    def slow(self, method, seconds):
        """Make the chain's answers to method come this many seconds late, as a
        busy node's do; the chain acts on the request only then."""
        with self._lock:
            self._delays[method] = seconds

    def work_queue(self, depth):
        """Answer HTTP 503 "Work queue depth exceeded", as a busy node does,
        to a request that arrives while depth others are being worked on."""
        with self._lock:
            self._queue_depth = depth

    def _enter(self):
        with self._lock:
            if self._queue_depth is not None and self._in_flight >= self._queue_depth:
                self.busy_replies += 1
                return False
            self._in_flight += 1
            return True

    def _leave(self):
        with self._lock:
            self._in_flight -= 1

    def requests_for(self, method):
        with self._lock:
            return [r for r in self.requests if r.method == method]

    # -- serving -------------------------------------------------------------
    def _next_reply(self, request):
        with self._lock:
            self.requests.append(request)
            for outage in self._outages:
                reply = outage.answer(request)
                if reply is not None:
                    return reply
            if self._flaky:
                probability, replies, rng = self._flaky
                if rng.random() < probability:
                    return rng.choice(replies)
            for key in (request.method, "*"):
                queue = self._scripts.get(key)
                if queue:
                    return queue.pop(0)
            delay = self._delays.get(request.method, 0.0)
        if delay and self._stopping.wait(delay):
            return Reply.dropped()
        if self.chain is not None:
            return self.chain.answer(request)
        return Reply.error(-32601, "Method not found")

    def _authorized(self, header):
        expected = "Basic " + base64.b64encode(
            ("%s:%s" % (self.user, self.password)).encode()).decode()
        return header == expected

    def _handler_class(self):
        node = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def setup(self):
                super().setup()
                with node._lock:
                    node._connections.add(self.connection)

            def finish(self):
                with node._lock:
                    node._connections.discard(self.connection)
                super().finish()

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length)
                headers = {k.lower(): v for k, v in self.headers.items()}
                if not node._authorized(headers.get("authorization", "")):
                    with node._lock:
                        node.requests.append(Request(self.path, headers, body))
                    self.send_response(401)
                    self.send_header("WWW-Authenticate", 'Basic realm="jsonrpc"')
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if not node._enter():
                    reply = Reply("Work queue depth exceeded", status=503, content_type="text/plain")
                else:
                    try:
                        reply = node._next_reply(Request(self.path, headers, body))
                    finally:
                        node._leave()
                if reply.delay and node._stopping.wait(reply.delay):
                    self.close_connection = True
                    return
                if reply.drop:
                    self.close_connection = True
                    return
                self.send_response(reply.status)
                self.send_header("Content-Type", reply.content_type)
                self.send_header("Content-Length", str(len(reply.body)))
                self.end_headers()
                try:
                    self.wfile.write(reply.body)
                except (BrokenPipeError, ConnectionResetError):
                    self.close_connection = True

        return Handler


class TcpProxy:
    """A relay from a port of 127.0.0.1 to another that can fall silent
    without closing anything, as a connection looks to its peer when the
    other host is gone or a NAT on the way forgot it."""

    def __init__(self, target_port):
        import socket
        self._target = target_port
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen()
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self._silent = threading.Event()
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        self._sockets = []
        self._threads = [threading.Thread(target=self._accept, daemon=True)]
        self._threads[0].start()

    def _accept(self):
        import socket
        while not self._stopping.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            with self._lock:
                self._sockets.append(client)
            if self._silent.is_set():
                continue  # held open, never answered
            try:
                upstream = socket.create_connection(("127.0.0.1", self._target))
            except OSError:
                client.close()
                continue
            with self._lock:
                self._sockets.append(upstream)
            for src, dst in ((client, upstream), (upstream, client)):
                t = threading.Thread(target=self._pump, args=(src, dst), daemon=True)
                self._threads.append(t)
                t.start()

    def _pump(self, src, dst):
        import select
        while not self._stopping.is_set():
            if self._silent.is_set():
                time.sleep(0.05)  # nothing read, nothing passed on
                continue
            try:
                if not select.select([src], [], [], 0.1)[0]:
                    continue
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
            except (OSError, ValueError):
                break

    def _close_all(self):
        with self._lock:
            sockets, self._sockets = self._sockets, []
        for s in sockets:
            try:
                s.close()
            except OSError:
                pass

    def fall_silent(self):
        self._silent.set()

    def resume(self):
        """Closes what was held open, and relays new connections again."""
        self._close_all()
        self._silent.clear()

    def stop(self):
        self._stopping.set()
        for t in self._threads:
            t.join()
        self._close_all()
        self._listener.close()


class TipMover:
    """Moves the chain's tip by itself every interval seconds."""

    def __init__(self, chain, interval):
        self._chain = chain
        self._interval = interval
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.wait(self._interval):
            self._chain.advance()

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        self._thread.join()


def main():
    """A node for the demo: serves the chain model until interrupted."""
    import argparse
    import signal
    from chain import Chain

    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("--port", type=int, default=18899)
    parser.add_argument("--user", default="rpcuser")
    parser.add_argument("--password", default="hollowgates")
    parser.add_argument("--payout", help="address whose script every coinbase must pay")
    parser.add_argument("--bits", type=lambda text: int(text, 16), default=0x207FFFFF,
                        help="compact target of the templates, in hex")
    args = parser.parse_args()

    chain = Chain(payout_address=args.payout, bits=args.bits, tx_count=6)
    node = TestNode(args.user, args.password, chain, port=args.port).start()
    print("test node on %s (height %d)" % (node.url, chain.height), flush=True)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    done.wait()
    node.stop()
    accepted = sum(1 for verdict, _ in chain.verdicts if verdict is None)
    print("test node: %d submissions, %d accepted after independent checks, tip height %d"
          % (len(chain.verdicts), accepted, chain.height), flush=True)
    for verdict, _ in chain.verdicts:
        if verdict is not None:
            print("test node: rejected: %s" % verdict, flush=True)


if __name__ == "__main__":
    main()
