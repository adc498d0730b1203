#!/usr/bin/env python3
"""A wide-area line in front of the mirrors: round-trip delay and one shared downstream rate.

    relay.py --rtt-ms 40 --mbit 100 UPSTREAM...

Listens on one loopback port per UPSTREAM and prints them as one JSON line, {"ports": [...]}, in
the order given. An UPSTREAM is a port on 127.0.0.1, or two, "PLAIN,HTTP2": then a connection
that opens with HTTP/2's preface goes to the second and any other to the first, so that one
address answers both HTTP/2 with prior knowledge and HTTP/1.1, which nginx before 1.25 cannot.

Every byte is held for half the round trip in each direction; a new connection's first bytes
reach the mirror no earlier than one and a half round trips after the connect, as if its TCP
handshake had crossed the line first. The bytes towards the client also pass, in the order they
were read, through one queue shared by all connections of all ports and drained at the line's
rate, like the one bottleneck of a home line: a connection never has more than CAP bytes waiting
for it (plus what is on its way after it), beyond which the relay stops reading from the mirror
and TCP's own flow control holds the sender back.

Standard input takes one command a line; each answers with one JSON line:
    stats   per port: connections open now, the most open at once and those accepted since the
            last "stats", all and (_http2) those that went to the HTTP/2 upstream; bytes sent
            towards the clients; the relay's own CPU seconds so far. Then the counts start again
            from the connections open now.
    open    per port: connections open now, without starting the counts again.
End of input ends the relay.
"""

import argparse
import asyncio
import collections
import json
import os
import re
import sys

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
# Bytes of one connection waiting for the line before reading from the mirror pauses. A read
# brings up to 256 KiB; with room for less than two, the line runs dry between them.
CAP = 512 * 1024


class Line:
    """The shared downstream queue, kept as the time its last byte leaves: a chunk queued now
    leaves once everything queued before it has, at the line's rate."""

    def __init__(self, loop, bytes_per_second):
        self.loop = loop
        self.rate = bytes_per_second
        self.free_at = 0.0
        self.sent = 0

    def leave(self, size):
        start = max(self.loop.time(), self.free_at)
        self.free_at = start + size / self.rate
        self.sent += size
        return self.free_at


class Pipe:
    """One direction of a connection: chunks held until their time, then written in order.

    The source is paused while more than the limit is held or while the sink's own buffer is
    full, so neither the relay's memory nor the queue grows without bound."""

    def __init__(self, loop, delay, line=None, earliest=0.0, limit=CAP):
        self.loop = loop
        self.delay = delay
        self.line = line
        self.earliest = earliest
        self.limit = limit
        self.chunks = collections.deque()  # (when, bytes, or None for the end of the stream)
        self.held = 0
        self.timer = None
        self.source = None
        self.sink = None
        self.sink_full = False
        self.source_paused = False
        self.end_queued = False
        self.ended = False  # the end of the stream was written
        self.on_end = None

    def push(self, data):
        when = (self.line.leave(len(data)) if self.line else self.loop.time()) + self.delay
        self.chunks.append((max(when, self.earliest), data))
        self.held += len(data)
        self.schedule()
        self.flow()

    def push_end(self):
        if self.end_queued:
            return
        self.end_queued = True
        when = max(self.loop.time() + self.delay, self.earliest)
        if self.chunks:
            when = max(when, self.chunks[-1][0])
        self.chunks.append((when, None))
        self.schedule()

    def schedule(self):
        if self.timer is None and self.chunks and self.sink is not None:
            self.timer = self.loop.call_at(self.chunks[0][0], self.deliver)

    def deliver(self):
        self.timer = None
        # A timer may fire a hair early; a chunk due within the tolerance goes now.
        now = self.loop.time() + 1e-4
        while self.chunks and self.chunks[0][0] <= now:
            _, data = self.chunks.popleft()
            if data is None:
                self.ended = True
                if self.sink.can_write_eof():
                    self.sink.write_eof()
                if self.on_end:
                    self.on_end()
                return
            self.sink.write(data)
            self.held -= len(data)
        self.schedule()
        self.flow()

    def flow(self):
        pause = self.held >= self.limit or self.sink_full
        if self.source is None or pause == self.source_paused:
            return
        self.source_paused = pause
        if self.source.is_closing():
            return
        if pause:
            self.source.pause_reading()
        else:
            self.source.resume_reading()

    def drop(self):
        if self.timer:
            self.timer.cancel()
            self.timer = None
        self.chunks.clear()


class Port:
    def __init__(self, given):
        upstreams = [int(p) for p in given.split(",")]
        self.upstream = upstreams[0]
        self.http2_upstream = upstreams[1] if len(upstreams) > 1 else None
        self.open = self.most = self.accepted = 0
        self.open_http2 = self.most_http2 = self.accepted_http2 = 0

    def count(self, http2):
        self.accepted += 1
        self.open += 1
        self.most = max(self.most, self.open)
        if http2:
            self.accepted_http2 += 1
            self.open_http2 += 1
            self.most_http2 = max(self.most_http2, self.open_http2)

    def uncount(self, http2):
        self.open -= 1
        if http2:
            self.open_http2 -= 1

    def counts(self, restart):
        result = {"open": self.open, "most": self.most, "accepted": self.accepted,
                  "most_http2": self.most_http2, "accepted_http2": self.accepted_http2}
        if restart:
            self.most, self.accepted = self.open, 0
            self.most_http2, self.accepted_http2 = self.open_http2, 0
        return result


class Side(asyncio.Protocol):
    """One end of a relayed connection; its pipes are the bytes it reads (out) and writes (into)."""

    def __init__(self, connection, out, into):
        self.connection = connection
        self.out = out
        self.into = into
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport
        transport.set_write_buffer_limits(high=CAP)
        self.out.source = transport
        self.into.sink = transport
        self.into.schedule()

    def data_received(self, data):
        if self.connection.choosing and self is self.connection.client:
            self.connection.choose(data)
        self.out.push(data)

    def eof_received(self):
        if self.connection.choosing and self is self.connection.client:
            self.connection.choose(b"")
        self.out.push_end()
        self.connection.half_closed(self)
        return True  # keep writing what the other side still sends

    def pause_writing(self):
        self.into.sink_full = True
        self.into.flow()

    def resume_writing(self):
        self.into.sink_full = False
        self.into.flow()

    def connection_lost(self, exc):
        self.connection.lost(self, exc)


class Connection:
    """A client's connection and the one it leads to upstream. Where the port has two
    upstreams, the client's first bytes choose, and it is counted once chosen."""

    def __init__(self, relay, port):
        loop = relay.loop
        now = loop.time()
        half = relay.rtt / 2
        self.relay = relay
        self.port = port
        self.up = Pipe(loop, half, earliest=now + 3 * half)
        self.down = Pipe(loop, half, line=relay.line, limit=CAP + int(relay.line.rate * half))
        self.client = Side(self, out=self.up, into=self.down)
        self.mirror = Side(self, out=self.down, into=self.up)
        self.counted = False
        self.closed = False
        self.http2 = False
        self.up.on_end = self.check_done
        self.down.on_end = self.check_done
        self.choosing = port.http2_upstream is not None
        self.seen = b""
        if not self.choosing:
            self.route(http2=False)

    def choose(self, data):
        """HTTP/2 if the first bytes are its preface; an end before them means HTTP/1.1."""
        self.seen += data[:len(PREFACE)]
        if data and len(self.seen) < len(PREFACE) and PREFACE.startswith(self.seen):
            return
        self.choosing = False
        self.route(http2=self.seen.startswith(PREFACE))

    def route(self, http2):
        self.http2 = http2
        self.port.count(http2)
        self.counted = True
        upstream = self.port.http2_upstream if http2 else self.port.upstream
        self.relay.start_task(self.relay.connect(self, upstream))

    def uncount(self):
        if self.counted:
            self.counted = False
            self.port.uncount(self.http2)

    def half_closed(self, side):
        # The client is done with the connection once it sends its end; counting it as open
        # until the mirror's answer to that has come back would let one run's connections
        # overlap the next run's.
        if side is self.client:
            self.uncount()

    def check_done(self):
        if self.up.ended and self.down.ended:
            self.close()

    def lost(self, side, exc):
        if side is self.client:
            self.uncount()
        if exc is not None or self.closed or self.choosing:
            self.close()
            return
        # A clean close still owes the other side what is on its way.
        (self.up if side is self.client else self.down).push_end()

    def close(self):
        if self.closed:
            return
        self.closed = True
        self.uncount()
        for pipe in (self.up, self.down):
            pipe.drop()
        for side in (self.client, self.mirror):
            if side.transport is not None and not side.transport.is_closing():
                side.transport.close()


class Relay:
    def __init__(self, loop, rtt, bytes_per_second, upstreams):
        self.loop = loop
        self.rtt = rtt
        self.line = Line(loop, bytes_per_second)
        self.ports = [Port(p) for p in upstreams]
        self.servers = []
        self.tasks = set()  # the loop keeps only weak references to its tasks

    async def start(self):
        for port in self.ports:
            server = await self.loop.create_server(lambda port=port: self.accept(port),
                                                   "127.0.0.1", 0, backlog=512)
            self.servers.append(server)
        return [s.sockets[0].getsockname()[1] for s in self.servers]

    def start_task(self, coroutine):
        task = self.loop.create_task(coroutine)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    def accept(self, port):
        return Connection(self, port).client

    async def connect(self, connection, upstream):
        try:
            await self.loop.create_connection(lambda: connection.mirror, "127.0.0.1", upstream)
        except OSError:
            connection.close()

    def stats(self, restart):
        times = os.times()
        return {"ports": [p.counts(restart) for p in self.ports], "sent": self.line.sent,
                "cpu": times.user + times.system}


async def serve(args):
    loop = asyncio.get_running_loop()
    relay = Relay(loop, args.rtt_ms / 1000, args.mbit * 1e6 / 8, args.upstream)
    ports = await relay.start()
    print(json.dumps({"ports": ports}), flush=True)
    commands = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(commands), sys.stdin)
    while line := await commands.readline():
        command = line.decode().strip()
        if command in ("stats", "open"):
            print(json.dumps(relay.stats(restart=command == "stats")), flush=True)
        elif command:
            print(json.dumps({"error": f"unknown command {command!r}"}), flush=True)
    for server in relay.servers:
        server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rtt-ms", type=float, required=True, help="round trip, milliseconds")
    parser.add_argument("--mbit", type=float, required=True,
                        help="rate towards the clients, Mbit/s, shared by all connections")
    parser.add_argument("upstream", nargs="+",
                        help="mirror port on 127.0.0.1, or PLAIN,HTTP2: two ports, chosen by the "
                        "client's first bytes")
    args = parser.parse_args()
    if args.rtt_ms < 0 or args.mbit <= 0:
        parser.error("need --rtt-ms >= 0 and --mbit > 0")
    for given in args.upstream:
        if not re.fullmatch(r"\d+(,\d+)?", given):
            parser.error(f"not a port or two: {given!r}")
    asyncio.run(serve(args))


if __name__ == "__main__":
    sys.exit(main())
