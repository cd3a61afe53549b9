"""A small chain model for the test node: templates with real transactions
and an independent check of every submitted block.

Nothing here uses the program's code: SHA-256 comes from hashlib, Whirlpool
from OpenSSL's legacy provider through ctypes, addresses from the encoder
below.
"""
import ctypes
import ctypes.util
import hashlib
import random
import struct
import threading

from testnode import Reply

# -- hashes --------------------------------------------------------------------


def sha256d(data):
    return hashlib.sha256(hashlib.sha256(data).digest()).digest()


class _OpenSslWhirlpool:
    def __init__(self):
        lib = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
        lib.OSSL_PROVIDER_load.restype = ctypes.c_void_p
        lib.OSSL_PROVIDER_load.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        lib.EVP_get_digestbyname.restype = ctypes.c_void_p
        lib.EVP_get_digestbyname.argtypes = [ctypes.c_char_p]
        lib.EVP_Digest.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                                   ctypes.POINTER(ctypes.c_uint), ctypes.c_void_p, ctypes.c_void_p]
        self._providers = [lib.OSSL_PROVIDER_load(None, b"legacy"),
                           lib.OSSL_PROVIDER_load(None, b"default")]
        self._md = lib.EVP_get_digestbyname(b"whirlpool")
        if not self._md:
            raise RuntimeError("OpenSSL has no whirlpool digest")
        self._lib = lib
        self._lock = threading.Lock()

    def digest(self, data):
        out = ctypes.create_string_buffer(64)
        n = ctypes.c_uint(0)
        with self._lock:
            if not self._lib.EVP_Digest(data, len(data), out, ctypes.byref(n), self._md, None):
                raise RuntimeError("EVP_Digest failed")
        return out.raw[:n.value]


_whirlpool = None


def pow_value(header):
    """Whirlpool-512 of the header, halves XORed, as a 256-bit little-endian number."""
    global _whirlpool
    if _whirlpool is None:
        _whirlpool = _OpenSslWhirlpool()
    d = _whirlpool.digest(header)
    return int.from_bytes(bytes(a ^ b for a, b in zip(d[:32], d[32:])), "little")


def bits_to_target(bits):
    exponent, mantissa = bits >> 24, bits & 0x7FFFFF
    if bits & 0x800000:
        return 0
    if exponent <= 3:
        return mantissa >> (8 * (3 - exponent))
    return mantissa << (8 * (exponent - 3)) if exponent <= 32 else 0


# -- addresses -----------------------------------------------------------------

BECH32_CHARSET = "qpzry9x8gf2tvdw0s3jn54khce6mua7l"
BECH32M_CONST = 0x2BC830A3


def _polymod(values):
    gen = [0x3B6A57B2, 0x26508E6D, 0x1EA119FA, 0x3D4233DD, 0x2A1462B3]
    chk = 1
    for v in values:
        top = chk >> 25
        chk = ((chk & 0x1FFFFFF) << 5) ^ v
        for i in range(5):
            if (top >> i) & 1:
                chk ^= gen[i]
    return chk


def _hrp_expand(hrp):
    return [ord(c) >> 5 for c in hrp] + [0] + [ord(c) & 31 for c in hrp]


def _convert_bits(data, frm, to, pad):
    acc = bits = 0
    out = []
    for v in data:
        acc = (acc << frm) | v
        bits += frm
        while bits >= to:
            bits -= to
            out.append((acc >> bits) & ((1 << to) - 1))
    if pad and bits:
        out.append((acc << (to - bits)) & ((1 << to) - 1))
    return out


def segwit_address(hrp, version, program, bech32m=None):
    if bech32m is None:
        bech32m = version > 0
    data = [version] + _convert_bits(program, 8, 5, True)
    pm = _polymod(_hrp_expand(hrp) + data + [0] * 6) ^ (BECH32M_CONST if bech32m else 1)
    return hrp + "1" + "".join(BECH32_CHARSET[d] for d in data + [(pm >> 5 * (5 - i)) & 31 for i in range(6)])


def segwit_script(address):
    """The output script of a segwit address, or None."""
    hrp, _, data = address.rpartition("1")
    try:
        values = [BECH32_CHARSET.index(c) for c in data]
    except ValueError:
        return None
    if len(values) < 7 or _polymod(_hrp_expand(hrp) + values) not in (1, BECH32M_CONST):
        return None
    version, program = values[0], bytes(_convert_bits(values[1:-6], 5, 8, False))
    opcode = 0 if version == 0 else 0x50 + version
    return bytes([opcode, len(program)]) + program


# The development-fee address that the miner pays 1 % of every block to.
DEV_FEE_ADDRESS = "mrv1qt6hfwnaaswuwxsdeyqhh0a440vwu68mnqy54lq"

# -- transactions --------------------------------------------------------------


def compact_size(n):
    if n < 0xFD:
        return bytes([n])
    if n <= 0xFFFF:
        return b"\xfd" + struct.pack("<H", n)
    if n <= 0xFFFFFFFF:
        return b"\xfe" + struct.pack("<I", n)
    return b"\xff" + struct.pack("<Q", n)


def read_compact_size(data, pos):
    first = data[pos]
    if first < 0xFD:
        return first, pos + 1
    size = {0xFD: 2, 0xFE: 4, 0xFF: 8}[first]
    if pos + 1 + size > len(data):
        raise ValueError("truncated count")
    return int.from_bytes(data[pos + 1:pos + 1 + size], "little"), pos + 1 + size


class Tx:
    def __init__(self, raw, stripped, witness):
        self.raw = raw              # as serialised in the block
        self.stripped = stripped    # without marker, flag and witness
        self.has_witness = witness
        self.txid = sha256d(stripped)
        self.wtxid = sha256d(raw)


def parse_tx(data, pos):
    """One transaction from data at pos: (Tx, end). Raises ValueError on bad data."""
    start = pos

    def take(n):
        nonlocal pos
        if pos + n > len(data):
            raise ValueError("truncated transaction")
        chunk = data[pos:pos + n]
        pos += n
        return chunk

    version = take(4)
    witness = data[pos:pos + 2] == b"\x00\x01"
    if witness:
        take(2)
    body_start = pos
    n_in, pos = read_compact_size(data, pos)
    inputs = []
    for _ in range(n_in):
        prevout = take(36)
        n, pos = read_compact_size(data, pos)
        inputs.append((prevout, take(n), take(4)))
    n_out, pos = read_compact_size(data, pos)
    outputs = []
    for _ in range(n_out):
        value = struct.unpack("<q", take(8))[0]
        n, pos = read_compact_size(data, pos)
        outputs.append((value, take(n)))
    body_end = pos
    witnesses = []
    if witness:
        for _ in range(n_in):
            items = []
            count, pos = read_compact_size(data, pos)
            for _ in range(count):
                n, pos = read_compact_size(data, pos)
                items.append(take(n))
            witnesses.append(items)
    locktime = take(4)
    stripped = version + data[body_start:body_end] + locktime
    tx = Tx(data[start:pos], stripped, witness)
    tx.inputs, tx.outputs, tx.witnesses = inputs, outputs, witnesses
    return tx, pos


def make_tx(rng, segwit):
    """A well-formed spending transaction with random prevouts and scripts."""
    n_in = rng.randint(1, 2)
    body = compact_size(n_in)
    for _ in range(n_in):
        body += rng.randbytes(32) + struct.pack("<I", rng.randint(0, 3))
        script = b"" if segwit else rng.randbytes(rng.randint(70, 110))
        body += compact_size(len(script)) + script + b"\xfd\xff\xff\xff"
    n_out = rng.randint(1, 3)
    body += compact_size(n_out)
    for _ in range(n_out):
        body += struct.pack("<q", rng.randint(1000, 10 ** 8)) + b"\x16\x00\x14" + rng.randbytes(20)
    version, locktime = struct.pack("<I", 2), struct.pack("<I", 0)
    if not segwit:
        return version + body + locktime
    witness = b""
    for _ in range(n_in):
        witness += b"\x02" + b"\x47" + rng.randbytes(71) + b"\x21" + rng.randbytes(33)
    return version + b"\x00\x01" + body + witness + locktime


def height_script(height):
    """The height as a node pushes it and expects the coinbase script to
    begin: OP_0, OP_1..OP_16, else the shortest little-endian number."""
    if height == 0:
        return b"\x00"
    if 1 <= height <= 16:
        return bytes([0x50 + height])
    number = height.to_bytes((height.bit_length() + 7) // 8, "little")
    if number[-1] & 0x80:
        number += b"\x00"  # keeps the number positive
    return bytes([len(number)]) + number


def merkle_root(leaves):
    if not leaves:
        return b"\x00" * 32
    level = list(leaves)
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        level = [sha256d(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


WITNESS_HEADER = bytes.fromhex("6a24aa21a9ed")


def witness_commitment_script(txs):
    """The commitment output script for a block holding txs after its coinbase."""
    root = merkle_root([b"\x00" * 32] + [tx.wtxid for tx in txs])
    return WITNESS_HEADER + sha256d(root + b"\x00" * 32)


# -- the chain -------------------------------------------------------------------


class Chain:
    """Tip, templates and a validating submitblock; thread-safe."""

    def __init__(self, height=1000, bits=0x207FFFFF, target=None, coinbase_value=5000000000,
                 tx_count=4, payout_address=None, seed=1, curtime=1760000000, mutable_first=False,
                 segwit=True, dev_fee=True):
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.height = height          # height of the tip
        self.tip = self.rng.randbytes(32)[::-1].hex()
        self.bits = bits
        self.target = target          # None: the template carries the target of bits
        self.send_target = True
        self.coinbase_value = coinbase_value
        self.tx_count = tx_count
        self.payout_script = segwit_script(payout_address) if payout_address else None
        # A pool's blocks pay the pool alone: no fee to check.
        self.dev_fee_script = segwit_script(DEV_FEE_ADDRESS) if dev_fee else None
        self.curtime = curtime
        self.accepted = []            # block hashes, in order
        self.verdicts = []            # (verdict, block hex) of every submission
        self.reject_next = None       # a verdict forced on the next submission
        self.mutable_first = mutable_first  # list "mutable" before the members it names
        # Without segwit the rules do not name it, yet the template still
        # carries a commitment, as one real node sent it; a block that
        # carries it is refused.
        self.segwit = segwit
        self._new_transactions()

    def _new_transactions(self):
        self.txs = []
        for i in range(self.tx_count):
            raw = make_tx(self.rng, segwit=self.segwit and bool(i % 2))
            tx, end = parse_tx(raw, 0)
            assert end == len(raw)
            self.txs.append(tx)

    def _target_value(self):
        return int(self.target, 16) if self.target else bits_to_target(self.bits)

    def advance(self):
        """A block found by someone else."""
        with self.lock:
            self._extend(self.rng.randbytes(32)[::-1].hex())

    def _extend(self, block_hash):
        self.tip = block_hash
        self.height += 1
        self.curtime += 30
        self._new_transactions()

    def template(self):
        with self.lock:
            t = {
                "capabilities": ["proposal"], "version": 0x20000000,
                "rules": ["csv", "!segwit"] if self.segwit else [],
                "vbavailable": {}, "vbrequired": 0, "previousblockhash": self.tip,
                "transactions": [
                    {"data": tx.raw.hex(), "txid": tx.txid[::-1].hex(), "hash": tx.wtxid[::-1].hex(),
                     "depends": [], "fee": 1000 + i, "sigops": 4, "weight": 4 * len(tx.raw)}
                    for i, tx in enumerate(self.txs)],
                "coinbaseaux": {}, "coinbasevalue": self.coinbase_value,
                "longpollid": self.tip + str(self.height),
                "mintime": self.curtime - 600, "mutable": ["time", "transactions", "prevblock"],
                "noncerange": "00000000ffffffff", "sigoplimit": 80000, "sizelimit": 4000000,
                "weightlimit": 4000000, "curtime": self.curtime, "bits": "%08x" % self.bits,
                "height": self.height + 1,
                "default_witness_commitment": witness_commitment_script(self.txs).hex(),
            }
            if self.send_target:
                t["target"] = "%064x" % self._target_value()
            if self.mutable_first:
                t = {"mutable": t.pop("mutable"), **t}
            return t

    def answer(self, request):
        method = request.method
        if method == "getblocktemplate":
            return Reply.result(self.template())
        if method == "getbestblockhash":
            with self.lock:
                return Reply.result(self.tip)
        if method == "getblockcount":
            with self.lock:
                return Reply.result(self.height)
        if method == "submitblock":
            params = request.params or [""]
            return Reply.result(self.submit(params[0] if isinstance(params[0], str) else ""))
        return Reply.error(-32601, "Method not found")

    def submit(self, block_hex):
        with self.lock:
            verdict = self.reject_next or self._check(block_hex)
            self.reject_next = None
            self.verdicts.append((verdict, block_hex))
            if verdict is None:
                header = bytes.fromhex(block_hex[:160])
                block_hash = sha256d(header)[::-1].hex()
                self.accepted.append(block_hash)
                self._extend(block_hash)
            return verdict

    def _check(self, block_hex):
        """None for a valid block on the tip, else the node's reason."""
        try:
            block = bytes.fromhex(block_hex)
        except ValueError:
            return "block decode failed"
        if len(block) < 81:
            return "block decode failed"
        header = block[:80]
        version, prev, root, time, bits, _nonce = struct.unpack("<I32s32sIII", header)
        if sha256d(header)[::-1].hex() in self.accepted:
            return "duplicate"
        if prev[::-1].hex() != self.tip:
            return "bad-prevblk"
        if version != 0x20000000 or bits != self.bits:
            return "bad-diffbits" if bits != self.bits else "bad-version"
        if time != self.curtime:
            return "time-mismatch"
        if pow_value(header) > self._target_value():
            return "high-hash"
        try:
            count, pos = read_compact_size(block, 80)
            txs = []
            for _ in range(count):
                tx, pos = parse_tx(block, pos)
                txs.append(tx)
        except (ValueError, IndexError, struct.error):
            return "block decode failed"
        if pos != len(block) or not txs:
            return "bad-blk-length"
        if merkle_root([tx.txid for tx in txs]) != root:
            return "bad-txnmrklroot"
        coinbase, rest = txs[0], txs[1:]
        if len(coinbase.inputs) != 1 or coinbase.inputs[0][0] != b"\x00" * 32 + b"\xff" * 4:
            return "bad-cb-missing"
        script = coinbase.inputs[0][1]
        if not 2 <= len(script) <= 100:
            return "bad-cb-length"
        if script[:len(height_script(self.height + 1))] != height_script(self.height + 1):
            return "bad-cb-height"
        if sum(v for v, _ in coinbase.outputs) > self.coinbase_value:
            return "bad-cb-amount"
        if [tx.raw for tx in rest] != [tx.raw for tx in self.txs]:
            return "bad-txns-template"
        commitments = [s for _, s in coinbase.outputs if s[:6] == WITNESS_HEADER and len(s) >= 38]
        if not self.segwit:
            if commitments or any(tx.has_witness for tx in txs):
                return "unexpected-witness"
        elif not commitments:
            return "bad-witness-commitment-missing"
        elif coinbase.witnesses != [[b"\x00" * 32]]:
            return "bad-witness-nonce-size"
        elif commitments[-1][:38] != witness_commitment_script(rest):
            return "bad-witness-merkle-match"
        if self.dev_fee_script is None and self.payout_script is None:
            return None
        fee = self.coinbase_value // 100
        expected = []
        if self.payout_script is not None:
            expected.append((self.coinbase_value - fee, self.payout_script))
        expected.append((fee, self.dev_fee_script))
        paid = [(v, s) for v, s in coinbase.outputs if s[:6] != WITNESS_HEADER]
        if self.payout_script is not None and paid != expected:
            return "bad-cb-payout"
        if self.payout_script is None and paid[1:] != expected:
            return "bad-cb-devfee"
        return None
