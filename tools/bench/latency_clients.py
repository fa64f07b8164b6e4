"""The latency benchmark's far side and clients (latency.py): an echo server
and a keep-alive HTTP/1.1 origin near the upstreams, and the clients whose
times make the rows. Every wait is bounded.
"""
import asyncio, random, socket, struct, time

from peers import Samples, delay_counts

USER, PASSWORD = "sovelinlat", "latpass"
PAGE = b"<html><body>" + b"x" * 1000 + b"</body></html>\n"
STEP_TIMEOUT = 5.0  # a sample slower than 100 round trips has failed


# --- near the upstream: an echo server and a keep-alive HTTP/1.1 origin -------------
async def near(echo_port, origin_port):
    async def echo(reader, writer):
        try:
            while data := await reader.read(1 << 16):
                writer.write(data)
                await writer.drain()
        except OSError:
            pass
        writer.close()

    async def origin(reader, writer):
        try:
            while True:
                head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1").lower()
                lines = head.split("\r\n")
                method, version = lines[0].split()[0], lines[0].split()[-1]
                fields = dict(line.split(":", 1) for line in lines[1:] if ":" in line)
                length = int(fields.get("content-length", "0"))
                if length:
                    await reader.readexactly(length)
                connection = fields.get("connection", "")
                close = "close" in connection or (version == "http/1.0" and
                                                  "keep-alive" not in connection)
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                             b"%s\r\n" % (len(PAGE), b"Connection: close\r\n" if close else b""))
                if method != "head":
                    writer.write(PAGE)
                await writer.drain()
                if close:
                    break
        except (OSError, ValueError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass
        writer.close()

    await asyncio.start_server(echo, "127.0.0.1", echo_port, backlog=512)
    await asyncio.start_server(origin, "127.0.0.1", origin_port, backlog=512)
    await asyncio.sleep(7200)


# --- clients; each returns seconds from its connect() to the byte back ------------
class Failed(Exception):
    pass


async def connect(port):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return reader, writer


async def socks_reply(reader):
    head = await reader.readexactly(4)
    if head[1] != 0:
        raise Failed("SOCKS reply %d" % head[1])
    size = {1: 4, 4: 16}.get(head[3])
    if size is None:
        size = (await reader.readexactly(1))[0]
    await reader.readexactly(size + 2)


async def echoed_byte(reader, writer):
    writer.write(b"x")
    if await reader.read(1) != b"x":
        raise Failed("no echo")


async def socks5(port, echo, optimistic=False):
    start = time.perf_counter()
    reader, writer = await connect(port)
    try:
        request = b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack(">H", echo)
        if optimistic:
            writer.write(b"\x05\x01\x00" + request + b"x")
        else:
            writer.write(b"\x05\x01\x00")
        if await reader.readexactly(2) != b"\x05\x00":
            raise Failed("method refused")
        if not optimistic:
            writer.write(request)
        await socks_reply(reader)
        if optimistic:
            if await reader.read(1) != b"x":
                raise Failed("no echo")
        else:
            await echoed_byte(reader, writer)
        return time.perf_counter() - start
    finally:
        writer.close()


async def http_connect(port, echo):
    start = time.perf_counter()
    reader, writer = await connect(port)
    try:
        writer.write(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (echo, echo))
        head = await reader.readuntil(b"\r\n\r\n")
        if head.split(b" ", 2)[1] != b"200":
            raise Failed(head.split(b"\r\n")[0].decode(errors="replace"))
        await echoed_byte(reader, writer)
        return time.perf_counter() - start
    finally:
        writer.close()


async def response(reader):
    """One response; returns whether the connection ends with it."""
    head = await reader.readuntil(b"\r\n\r\n")
    lines = head.decode("latin-1").lower().split("\r\n")
    if lines[0].split()[1] != "200":
        raise Failed(lines[0])
    fields = dict((k.strip(), v.strip()) for k, v in
                  (line.split(":", 1) for line in lines[1:] if ":" in line))
    if "content-length" in fields:
        body = await reader.readexactly(int(fields["content-length"]))
        ends = False
    elif "chunked" in fields.get("transfer-encoding", ""):
        body = b""
        while size := int((await reader.readline()).split(b";")[0], 16):
            body += await reader.readexactly(size)
            await reader.readline()
        while (await reader.readline()) not in (b"\r\n", b""):
            pass
        ends = False
    else:
        body, ends = await reader.read(), True
    if body != PAGE:
        raise Failed("wrong page")
    closing = fields.get("connection", "") + fields.get("proxy-connection", "")
    keep = "keep-alive" in closing if lines[0].startswith("http/1.0") else "close" not in closing
    return ends or not keep


async def ten_gets(port, origin, count=10):
    """Ten GETs on as few client connections as the proxy allows; returns the
    time and the client connections used."""
    request = (b"GET http://127.0.0.1:%d/page HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
               b"Proxy-Connection: keep-alive\r\nUser-Agent: latency-bench\r\n\r\n"
               % (origin, origin))
    start = time.perf_counter()
    writer, connections = None, 0
    try:
        for _ in range(count):
            for attempt in range(2):
                reused = writer is not None
                if not reused:
                    reader, writer = await connect(port)
                    connections += 1
                writer.write(request)
                try:
                    ends = await response(reader)
                    break
                except asyncio.IncompleteReadError as e:
                    if not reused or e.partial:  # only a reused, already closed one is retried
                        raise
                    writer.close()
                    writer = None
            if ends:
                writer.close()
                writer = None
        return time.perf_counter() - start, connections
    finally:
        if writer is not None:
            writer.close()


async def bounded(coroutine, seconds=STEP_TIMEOUT):
    try:
        return await asyncio.wait_for(coroutine, seconds)
    except asyncio.TimeoutError:
        raise Failed("no answer in %.0f s" % seconds)
    except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, ValueError,
            IndexError) as e:
        raise Failed(type(e).__name__)



async def paced(count, one, lead_in=3):
    """New connections 100-200 ms apart, start to start, overlapping as a
    browser's do; the first lead_in ones set the scene and are not counted."""
    samples, rng, tasks = Samples(), random.Random(count), []

    async def run(counted):
        try:
            seconds = await bounded(one())
            if counted:
                samples.add(seconds)
        except Failed as e:
            samples.failures.append(str(e))

    for i in range(count + lead_in):
        tasks.append(asyncio.create_task(run(i >= lead_in)))
        if len(samples.failures) >= 2 and not samples.times:
            break  # a proxy that cannot do this does not take the whole timeout
        await asyncio.sleep(rng.uniform(0.1, 0.2))
    await asyncio.gather(*tasks)
    return samples


async def page(count, one, burst=8):
    """Bursts of 8 new connections, one second apart; each after the first is
    timed until all 8 have their byte back."""
    samples, tasks = Samples(), []

    async def run(counted):
        start = time.perf_counter()
        results = await asyncio.gather(*(bounded(one()) for _ in range(burst)),
                                       return_exceptions=True)
        failed = [str(r) for r in results if isinstance(r, BaseException)]
        if failed:
            samples.failures.append(failed[0])
        elif counted:
            samples.add(time.perf_counter() - start)

    for i in range(count + 1):
        tasks.append(asyncio.create_task(run(i > 0)))
        if len(samples.failures) >= 2 and not samples.times:
            break
        await asyncio.sleep(1.0)
    await asyncio.gather(*tasks)
    return samples


async def gets(count, port, origin, control, key):
    samples, rng = Samples(), random.Random(count)
    for _ in range(count):
        before = delay_counts(control)[key]
        try:
            seconds, connections = await bounded(ten_gets(port, origin), 15)
            samples.add(seconds)
            samples.extra.append((connections, delay_counts(control)[key] - before))
        except Failed as e:
            samples.failures.append(str(e))
            if len(samples.failures) >= 2 and not samples.times:
                break
        await asyncio.sleep(rng.uniform(0.1, 0.2))
    return samples


def logged_in_lifetime(port, deadline):
    """How long an upstream keeps a connection that has logged in but sends no
    request (its negotiation timeout), up to deadline seconds."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(b"\x05\x01\x02")
        if s.recv(2) != b"\x05\x02":
            return "no password method"
        s.sendall(b"\x01%c%s%c%s" % (len(USER), USER.encode(), len(PASSWORD), PASSWORD.encode()))
        if s.recv(2) != b"\x01\x00":
            return "login refused"
        start = time.monotonic()
        s.settimeout(deadline)
        try:
            s.recv(1)
            return "closed after %.1f s" % (time.monotonic() - start)
        except socket.timeout:
            return "still open after %.0f s" % deadline
        except OSError as e:
            return "reset after %.1f s (%s)" % (time.monotonic() - start, e)


