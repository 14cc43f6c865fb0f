# SPDX-License-Identifier: GPL-3.0-or-later
"""A TCP proxy on 127.0.0.1 that can freeze the connections it carries, as a network that stops
delivering without closing anything: a frozen connection forwards nothing either way and stays
open, while new connections pass.

  serve UPSTREAM_PORT PORT_FILE CONTROL_SOCKET LOG [DUMP_DIR]
        listens on a free port (written to PORT_FILE once it listens) and forwards every
        connection to 127.0.0.1:UPSTREAM_PORT. Commands on the Unix socket CONTROL_SOCKET, one a
        line, each answered with a line:
          freeze [SECONDS]  freezes the connections open now, for SECONDS or until "thaw"
          thaw              thaws every frozen connection
          list              the open connections ("ID frozen|live")
        SIGUSR1 freezes the open connections until SIGUSR2 thaws them. LOG gets a line per
        event: "TIME open ID", "TIME close ID DOWN_BYTES UP_BYTES", "TIME freeze ID...",
        "TIME thaw ID...", "TIME refused ID" (upstream down: the client is reset). With DUMP_DIR,
        what each connection forwarded to its client, less the HTTP head and ICY metadata, goes
        to DUMP_DIR/ID.mp3: the audio the server sent to the player.
  ctl CONTROL_SOCKET COMMAND...
        sends one command and prints the answer.
  selftest
        checks the proxy against a small ICY server of its own.

Back-pressure is kept: a chunk is read only after the previous one was taken by the other side,
so the proxy adds only a chunk of buffering to what the kernel already holds.
"""
import asyncio
import os
import signal
import socket
import struct
import sys
import time

CHUNK = 16384


class IcyStripper:
    """Takes the HTTP head and the ICY metadata out of a server's response, leaving the audio."""

    def __init__(self):
        self.head = b""
        self.in_head = True
        self.metaint = 0
        self.to_meta = 0
        self.skip = 0

    def feed(self, data):
        out = []
        if self.in_head:
            self.head += data
            end = self.head.find(b"\r\n\r\n")
            if end < 0:
                return b""
            self.in_head = False
            data = self.head[end + 4 :]
            for line in self.head[:end].split(b"\r\n"):
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"icy-metaint":
                    self.metaint = int(value.strip() or 0)
            self.to_meta = self.metaint
        while data:
            if self.skip:
                n = min(self.skip, len(data))
                data, self.skip = data[n:], self.skip - n
            elif not self.metaint:
                out.append(data)
                data = b""
            elif self.to_meta:
                n = min(self.to_meta, len(data))
                out.append(data[:n])
                data, self.to_meta = data[n:], self.to_meta - n
            else:
                self.skip = data[0] * 16
                data = data[1:]
                self.to_meta = self.metaint
        return b"".join(out)


class Proxy:
    def __init__(self, upstream_port, log_path, dump_dir):
        self.upstream_port = upstream_port
        self.log = open(log_path, "a", buffering=1)
        self.dump_dir = dump_dir
        self.conns = {}
        self.next_id = 1

    def event(self, text):
        self.log.write("%.3f %s\n" % (time.time(), text))

    async def client(self, creader, cwriter):
        cid = self.next_id
        self.next_id += 1
        try:
            ureader, uwriter = await asyncio.open_connection("127.0.0.1", self.upstream_port)
        except OSError:
            # The server is down. A client must see the connection fail at once, as if refused,
            # not a connection that answers nothing.
            self.event("refused %d" % cid)
            sock = cwriter.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            cwriter.close()
            return
        # A small write buffer keeps the back-pressure end to end.
        cwriter.transport.set_write_buffer_limits(high=CHUNK)
        uwriter.transport.set_write_buffer_limits(high=CHUNK)
        gate = asyncio.Event()
        gate.set()
        conn = {"gate": gate, "down": 0, "up": 0, "thaw": None}
        self.conns[cid] = conn
        self.event("open %d" % cid)
        dump = open(os.path.join(self.dump_dir, "%d.mp3" % cid), "wb") if self.dump_dir else None
        strip = IcyStripper()

        def down(data):
            conn["down"] += len(data)
            if dump:
                dump.write(strip.feed(data))

        def up(data):
            conn["up"] += len(data)

        tasks = [asyncio.ensure_future(self.pump(ureader, cwriter, gate, down)),
                 asyncio.ensure_future(self.pump(creader, uwriter, gate, up))]
        await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        for t in tasks:
            t.cancel()
        for w in (cwriter, uwriter):
            w.close()
        if dump:
            dump.close()
        del self.conns[cid]
        self.event("close %d %d %d" % (cid, conn["down"], conn["up"]))

    @staticmethod
    async def pump(reader, writer, gate, seen):
        try:
            while True:
                await gate.wait()
                data = await reader.read(CHUNK)
                if not data:
                    return
                # Frozen while this read waited: the chunk waits too.
                await gate.wait()
                seen(data)
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            return

    def freeze(self, seconds=None):
        ids = sorted(cid for cid, c in self.conns.items() if c["gate"].is_set())
        for cid in ids:
            self.conns[cid]["gate"].clear()
        self.event("freeze %s" % " ".join(map(str, ids)) if ids else "freeze")
        if seconds is not None:
            asyncio.get_running_loop().call_later(seconds, self.thaw, ids)
        return ids

    def thaw(self, ids=None):
        ids = sorted(self.conns) if ids is None else [i for i in ids if i in self.conns]
        ids = [i for i in ids if not self.conns[i]["gate"].is_set()]
        for cid in ids:
            self.conns[cid]["gate"].set()
        self.event("thaw %s" % " ".join(map(str, ids)) if ids else "thaw")
        return ids

    async def control(self, reader, writer):
        try:
            line = (await reader.readline()).decode().split()
            if line and line[0] == "freeze":
                ids = self.freeze(float(line[1]) if len(line) > 1 else None)
                answer = "frozen %s" % " ".join(map(str, ids))
            elif line and line[0] == "thaw":
                answer = "thawed %s" % " ".join(map(str, self.thaw()))
            elif line and line[0] == "list":
                answer = " ".join("%d:%s" % (cid, "live" if c["gate"].is_set() else "frozen")
                                  for cid, c in sorted(self.conns.items()))
            else:
                answer = "error: freeze [SECONDS] | thaw | list"
            writer.write((answer.strip() + "\n").encode())
            await writer.drain()
        finally:
            writer.close()


async def serve(upstream_port, port_file, control_path, log_path, dump_dir):
    proxy = Proxy(upstream_port, log_path, dump_dir)
    server = await asyncio.start_server(proxy.client, "127.0.0.1", 0)
    if os.path.exists(control_path):
        os.unlink(control_path)
    ctl = await asyncio.start_unix_server(proxy.control, control_path)
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGUSR1, proxy.freeze)
    loop.add_signal_handler(signal.SIGUSR2, proxy.thaw)
    done = loop.create_future()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, done.set_result, None)
    port = server.sockets[0].getsockname()[1]
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % port)
    os.rename(port_file + ".tmp", port_file)
    await done
    server.close()
    ctl.close()
    os.unlink(control_path)


async def selftest():
    """A fake ICY server behind the proxy: a frozen connection stays open and delivers nothing
    while a new one passes; thawed, it delivers again; the dump holds the audio alone."""
    import tempfile

    failures = []
    audio = bytes(range(250)) * 64  # 16000 bytes of "audio"
    metaint = 1000

    async def icy_server(reader, writer):
        await reader.readuntil(b"\r\n\r\n")
        writer.write(b"HTTP/1.0 200 OK\r\nicy-metaint: %d\r\n\r\n" % metaint)
        for i in range(0, len(audio), metaint):
            meta = b"StreamTitle='x';" if i % 3000 == 0 else b""
            writer.write(audio[i : i + metaint] + bytes([len(meta) // 16]) + meta)
            await writer.drain()
            await asyncio.sleep(0.01)
        writer.close()

    async def receive(reader, seconds):
        got = b""
        try:
            while True:
                chunk = await asyncio.wait_for(reader.read(65536), seconds)
                if not chunk:
                    return got, True
                got += chunk
        except asyncio.TimeoutError:
            return got, False

    upstream = await asyncio.start_server(icy_server, "127.0.0.1", 0)
    with tempfile.TemporaryDirectory() as d:
        proxy = Proxy(upstream.sockets[0].getsockname()[1], os.path.join(d, "log"), d)
        server = await asyncio.start_server(proxy.client, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        r1, w1 = await asyncio.open_connection("127.0.0.1", port)
        w1.write(b"GET / HTTP/1.0\r\nIcy-MetaData: 1\r\n\r\n")
        first = await asyncio.wait_for(r1.read(65536), 5)
        if not first:
            failures.append("nothing came through before the freeze")
        frozen = proxy.freeze()
        # A chunk already read when the freeze came may still be on its way.
        await receive(r1, 0.1)
        during, closed = await receive(r1, 0.5)
        if during or closed:
            failures.append("a frozen connection delivered %d bytes%s" % (len(during), " and closed" if closed else ""))
        r2, w2 = await asyncio.open_connection("127.0.0.1", port)
        w2.write(b"GET / HTTP/1.0\r\n\r\n")
        second, closed2 = await receive(r2, 5)
        if not closed2 or len(second) < len(audio):
            failures.append("a new connection did not pass during the freeze")
        proxy.thaw(frozen)
        rest, closed = await receive(r1, 5)
        if not rest or not closed:
            failures.append("the thawed connection did not deliver the rest")
        for w in (w1, w2):
            w.close()
        for _ in range(100):  # the proxy closes its side once it sees the end
            if not proxy.conns:
                break
            await asyncio.sleep(0.02)
        with open(os.path.join(d, "%d.mp3" % frozen[0]), "rb") as f:
            dumped = f.read()
            if dumped != audio:
                failures.append("the dump is not the audio without its metadata (%d bytes, %d expected)"
                                % (len(dumped), len(audio)))
        server.close()
    upstream.close()
    for f in failures:
        print("FAIL: " + f)
    if not failures:
        print("PASS: freeze, pass-through, thaw and the dump")
    return not failures


def ctl(control_path, command):
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(5)
        s.connect(control_path)
        s.sendall((command + "\n").encode())
        print(s.makefile().readline().strip())


if __name__ == "__main__":
    if len(sys.argv) >= 6 and sys.argv[1] == "serve":
        asyncio.run(serve(int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5],
                          sys.argv[6] if len(sys.argv) > 6 else None))
    elif len(sys.argv) >= 4 and sys.argv[1] == "ctl":
        ctl(sys.argv[2], " ".join(sys.argv[3:]))
    elif sys.argv[1:] == ["selftest"]:
        sys.exit(0 if asyncio.run(selftest()) else 1)
    else:
        print(__doc__)
        sys.exit(2)
