"""The soak's clients (soak.py): every kind of client the soak runs through the
relay, each checking every byte it gets against what was sent, and the mix of
kinds. Loopback only; every operation has a deadline.
"""
import asyncio, random, socket, struct, time

MIB = 1 << 20
CHUNK = 256 * 1024
# The bytes of every transfer: the stream from offset o is PATTERN repeated,
# starting at o, so any received slice can be compared where it stands.
PATTERN = random.Random(7).randbytes(MIB)
PAT2 = PATTERN + PATTERN
NAME = b"localhost"
DEADLINE = 5.0  # the relay's handshake deadline here (--handshake-deadline)
OP_TIMEOUT = 60.0
# A stalled client still open this long after its first byte is stuck: the
# deadline plus room for a machine shared with other work.
STUCK = DEADLINE + 10
HOLD = 15.0  # how long a client that never reads keeps its download open
BULK_EVERY = 8  # a tunnel client's every 8th operation moves 10 MB


def expected(offset, n):
    o = offset % MIB
    return PAT2[o:o + n]


async def send_pattern(writer, offset, n):
    """Writes the pattern's bytes offset..offset+n, a chunk at a time."""
    sent = 0
    while sent < n:
        k = min(CHUNK, n - sent)
        writer.write(expected(offset + sent, k))
        await writer.drain()
        sent += k


def first_difference(data, offset):
    want = expected(offset, len(data))
    return next(i for i in range(len(data)) if data[i] != want[i])


# --- the clients ----------------------------------------------------------------
class Refused(Exception):
    """The relay or the upstream said no (expected while Dante is down)."""


class Short(Exception):
    """The stream ended or broke before every byte came: lost bytes, unless a flap explains it."""


class Wrong(Exception):
    """A byte differs from what was sent, or a reply says so: always a fault."""


class Soak:
    def __init__(self, relay_port, origin_port, end):
        self.relay_port, self.origin_port, self.end = relay_port, origin_port, end
        self.t0 = time.monotonic()
        self.flaps = []  # (start, end) of each time Dante was down, in soak seconds
        self.bytes_at = [0] * (int(end) + 400)  # verified bytes per second
        self.results = []  # (kind, start, end, outcome, detail)
        self.reused = self.requests = 0
        self.flap_start = None  # set while Dante is down
        self.lag_at = [0.0] * len(self.bytes_at)  # the client loop's worst lateness per second
        self.stall_closes = []  # seconds from a stall's first byte to the relay's close

    def now(self):
        return time.monotonic() - self.t0

    def count(self, n):
        self.bytes_at[min(int(self.now()), len(self.bytes_at) - 1)] += n

    def in_flap(self, start, end, grace=2.0):
        # A flap still running when the operation ends counts too.
        now = [(self.flap_start, 1e9)] if self.flap_start is not None else []
        return any(start <= fe + grace and end >= fs for fs, fe in self.flaps + now)

    def record(self, kind, start, outcome, detail=""):
        end = self.now()
        if outcome == "fail":  # lost bytes, unless a flap explains them
            outcome = "flap" if self.in_flap(start, end) else "lost"
        self.results.append((kind, start, end, outcome, detail))

    async def connect(self):
        return await asyncio.open_connection("127.0.0.1", self.relay_port, limit=MIB)

    async def tunnel(self, method):
        r, w = await self.connect()
        try:
            port = struct.pack(">H", self.origin_port)
            if method.startswith("socks5"):
                w.write(b"\x05\x01\x00")
                if await r.readexactly(2) != b"\x05\x00":
                    raise Refused("method")
                where = (b"\x03" + bytes([len(NAME)]) + NAME if method == "socks5-name"
                         else b"\x01" + socket.inet_aton("127.0.0.1"))
                w.write(b"\x05\x01\x00" + where + port)
                head = await r.readexactly(4)
                if head[1] != 0:
                    raise Refused("reply %d" % head[1])
                size = {1: 6, 4: 18}.get(head[3])
                if size is None:
                    size = (await r.readexactly(1))[0] + 2
                await r.readexactly(size)
            elif method.startswith("socks4"):
                w.write(b"\x04\x01" + port + (socket.inet_aton("127.0.0.1") + b"soak\x00"
                        if method == "socks4" else b"\x00\x00\x00\x01soak\x00" + NAME + b"\x00"))
                if (await r.readexactly(8))[1] != 0x5A:
                    raise Refused("rejected")
            else:
                w.write(b"CONNECT localhost:%d HTTP/1.1\r\nHost: localhost:%d\r\n\r\n"
                        % (self.origin_port, self.origin_port))
                head = await r.readuntil(b"\r\n\r\n")
                if head.split()[1] != b"200":
                    raise Refused(head.split(b"\r\n")[0].decode())
        except BaseException:
            w.close()
            raise
        return r, w

    async def read_pattern(self, r, offset, n):
        got = 0
        while got < n:
            data = await r.read(min(CHUNK, n - got))
            if not data:
                raise Short("%d of %d bytes" % (got, n))
            if data != expected(offset + got, len(data)):
                raise Wrong("byte %d of %d" % (got + first_difference(data, offset + got), n))
            got += len(data)
            self.count(len(data))

    async def expect_end(self, r):
        if await r.read(1):
            raise Wrong("bytes after the end")

    async def download(self, r, w, n, offset):
        w.write(b"D %d %d\n" % (n, offset))
        await self.read_pattern(r, offset, n)
        await self.expect_end(r)

    async def upload(self, r, w, n, offset, half_close):
        w.write(b"U %d %d\n" % (-1 if half_close else n, offset))
        await send_pattern(w, offset, n)
        if half_close:
            w.write_eof()
        answer = (await r.readline()).split()
        if len(answer) != 3 or answer[0] != b"OK":
            raise Short("no answer to an upload")
        got, bad = int(answer[1]), int(answer[2])
        if bad >= 0:
            raise Wrong("the origin saw byte %d of %d wrong" % (bad, n))
        if got != n:
            raise Short("the origin got %d of %d bytes" % (got, n))
        self.count(n)
        await self.expect_end(r)

    async def echo(self, r, w, rng):
        """An interactive session: a few KB each way, now and then, for seconds."""
        w.write(b"E\n")
        offset = rng.randrange(MIB)
        for _ in range(rng.randint(3, 20)):
            k = rng.randint(1, 16384)
            w.write(expected(offset, k))
            await self.read_pattern(r, offset, k)
            offset += k
            await asyncio.sleep(rng.uniform(0.2, 1.0))
        w.write_eof()
        await self.expect_end(r)

    async def tunnel_op(self, method, rng, bulk):
        choice = rng.random()
        # 1 KB to 1 MB, and 10 MB every few operations: a steady share of bulk
        # keeps the throughput of one minute comparable with another's.
        size = 10 * MIB if bulk else int(1024 * 10 ** (rng.random() * 3))
        offset = rng.randrange(MIB)
        r, w = await self.tunnel(method)
        try:
            if choice < (0.5 if bulk else 0.3):
                await self.download(r, w, size, offset)
            elif bulk or choice < 0.65:
                await self.upload(r, w, size, offset, half_close=choice >= (0.75 if bulk else 0.5))
            else:
                await self.echo(r, w, rng)
        finally:
            w.close()

    async def reset_op(self, rng):
        methods = ("socks5-name", "socks5-addr", "socks4", "socks4a", "http-connect")
        r, w = await self.tunnel(rng.choice(methods))
        try:
            offset = rng.randrange(MIB)
            part = rng.randint(1, 512) * 1024
            if rng.random() < 0.5:
                w.write(b"D %d %d\n" % (10 * MIB, offset))
                await self.read_pattern(r, offset, part)
            else:
                w.write(b"U %d %d\n" % (10 * MIB, offset) + expected(offset, part))
                await w.drain()
        finally:
            w.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                  struct.pack("ii", 1, 0))
            w.transport.abort()

    async def never_read_op(self, rng):
        r, w = await self.tunnel(rng.choice(("socks5-addr", "socks4", "http-connect")))
        try:
            w.write(b"D %d %d\n" % (10 * MIB, 0))
            await asyncio.sleep(HOLD)
        finally:
            if rng.random() < 0.5:
                w.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                      struct.pack("ii", 1, 0))
            w.transport.abort()

    async def stall_op(self, rng):
        """Half a request, then silence: the relay must end it at its deadline.
        Returns the seconds the relay took to close."""
        r, w = await self.connect()
        start = time.monotonic()
        try:
            variant = rng.randrange(4)
            if variant == 0:
                w.write(b"\x05\x02\x00")  # two methods announced, one sent
            elif variant == 1:
                w.write(b"\x05\x01\x00")
                if await r.readexactly(2) != b"\x05\x00":
                    raise Refused("method")
                w.write(b"\x05\x01\x00\x03\x09local")
            elif variant == 2:
                w.write(b"\x04\x01\x00\x50\x7f\x00")
            else:
                w.write(b"GET http://127.0.0.1:%d/d?n=1&o=0 HTTP/1.1\r\nHost: x\r\n"
                        % self.origin_port)
            try:
                while await asyncio.wait_for(r.read(4096), STUCK - (time.monotonic() - start)):
                    pass
            except ConnectionError:
                pass
            return time.monotonic() - start
        finally:
            w.close()

    async def http_request(self, conn, rng):
        n = int(100 * 10 ** (rng.random() * 4))
        offset, kind = rng.randrange(MIB), rng.choice("dc")
        r, w = conn
        w.write(b"GET http://127.0.0.1:%d/%s?n=%d&o=%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                b"Connection: keep-alive\r\n\r\n" % (self.origin_port, kind.encode(), n, offset,
                                                     self.origin_port))
        head = (await r.readuntil(b"\r\n\r\n")).decode().lower().split("\r\n")
        if head[0].split()[1] != "200":
            raise Refused(head[0])
        fields = dict(line.split(":", 1) for line in head[1:] if ":" in line)
        if "content-length" in fields:
            if int(fields["content-length"]) != n:
                raise Wrong("Content-Length %s for %d" % (fields["content-length"], n))
            await self.read_pattern(r, offset, n)
        elif "chunked" in fields.get("transfer-encoding", ""):
            got = 0
            while True:
                k = int((await r.readline()).split(b";")[0], 16)
                if k == 0:
                    break
                await self.read_pattern(r, offset + got, k)
                got += k
                if await r.readexactly(2) != b"\r\n":
                    raise Wrong("chunk framing")
            await r.readline()  # the empty trailer
            if got != n:
                raise Wrong("%d bytes chunked for %d" % (got, n))
        else:
            raise Wrong("no framing")
        return "close" not in fields.get("connection", "")

    async def http_client(self, rng):
        """GETs asking for keep-alive: the next one goes on the same connection
        when the response allows it (once more on a fresh one if that reused
        connection turns out closed before any byte of the answer)."""
        conn = None
        while self.now() < self.end:
            start = self.now()
            outcome, detail = "ok", ""
            try:
                for attempt in (0, 1):
                    fresh = conn is None
                    if fresh:
                        conn = await self.connect()
                    self.requests += 1
                    self.reused += not fresh
                    try:
                        keep = await asyncio.wait_for(self.http_request(conn, rng), OP_TIMEOUT)
                        break
                    except asyncio.IncompleteReadError as e:
                        conn[1].close()
                        conn = None
                        if fresh or e.partial:
                            raise
                if not keep:
                    conn[1].close()
                    conn = None
            except asyncio.TimeoutError:
                outcome, detail = "stuck", "no answer in %.0f s" % OP_TIMEOUT
            except Wrong as e:
                outcome, detail = "wrong", str(e)
            except (Refused, Short, OSError, asyncio.IncompleteReadError, ValueError,
                    IndexError) as e:
                outcome, detail = "fail", repr(e)
            if outcome != "ok" and conn is not None:
                conn[1].close()
                conn = None
            self.record("http-get", start, outcome, detail)
            await asyncio.sleep(self.pause(rng))
        if conn is not None:
            conn[1].close()

    async def watch_lag(self):
        """How late the client loop wakes: when the soak itself is starved of
        CPU, its timings (and its throughput) say so here."""
        while self.now() < self.end + OP_TIMEOUT:
            before = time.monotonic()
            await asyncio.sleep(0.1)
            lag = time.monotonic() - before - 0.1
            t = min(int(self.now()), len(self.lag_at) - 1)
            self.lag_at[t] = max(self.lag_at[t], lag)

    def pause(self, rng):
        return self.mean_pause * rng.uniform(0.5, 1.5)

    async def client(self, kind, index):
        rng = random.Random(index)
        await asyncio.sleep(rng.uniform(0, 5))
        if kind == "http-get":
            return await self.http_client(rng)
        ops = rng.randrange(BULK_EVERY)
        while self.now() < self.end:
            start = self.now()
            ops += 1
            try:
                if kind == "stall":
                    self.stall_closes.append(await self.stall_op(rng))
                    self.record(kind, start, "ok")
                else:
                    if kind == "reset":
                        op = self.reset_op(rng)
                    elif kind == "never-read":
                        op = self.never_read_op(rng)
                    else:
                        op = self.tunnel_op(kind, rng, ops % BULK_EVERY == 0)
                    await asyncio.wait_for(op, OP_TIMEOUT)
                    self.record(kind, start, "ok")
            except asyncio.TimeoutError:
                self.record(kind, start, "stuck", "no end in time")
            except Wrong as e:
                self.record(kind, start, "wrong", str(e))
            except (Refused, Short, OSError, asyncio.IncompleteReadError) as e:
                self.record(kind, start, "fail", repr(e))
            await asyncio.sleep(self.pause(rng))


def mix(clients):
    """Client kinds and how many of each, for about `clients` in all."""
    shares = [("socks5-name", 13), ("socks5-addr", 13), ("socks4", 13), ("socks4a", 13),
              ("http-connect", 13), ("http-get", 15), ("reset", 6), ("stall", 7),
              ("never-read", 7)]
    return [(kind, max(1, round(clients * share / 100))) for kind, share in shares]
