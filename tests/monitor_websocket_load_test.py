"""Bad input and load on vigild's port 7081: odd frames, a megabyte of text,
bursts of lines, clients that vanish or never read, garbage instead of HTTP,
a thousand clients at once. After each case the daemon still answers a fresh
client, and its memory stays bounded."""
# labels: threads

import asyncio
import json
import os
import re
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vigild_fixture import CONF, PORT, Daemon, RawClient, raise_fd_limit, wait_for  # noqa: E402

ESTABLISHED = "Client connection established"
CLOSED = "Client closed connection"


class Reader(threading.Thread):
    """Reads whole text frames from a raw client until told to stop or the
    connection ends; keeps the count and the distinct texts."""

    def __init__(self, client):
        super().__init__(daemon=True)
        self.client = client
        self.count = 0
        self.texts = set()
        self.ended = None
        self.start()

    def run(self):
        try:
            while True:
                text = self.client.read_text(timeout=300)
                self.count += 1
                self.texts.add(text)
        except (OSError, EOFError, AssertionError) as e:
            self.ended = e


def sink(client):
    """A client that sends but never reads: the smallest receive buffer, so
    that the kernel holds little for it."""
    client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    return client


class BadInputAndLoadTest(unittest.TestCase):
    """One daemon for all cases, like one appliance that meets them all."""

    @classmethod
    def setUpClass(cls):
        raise_fd_limit()
        # AddressSanitizer keeps freed memory in quarantine (256 MB by
        # default), which would hide whether the daemon's own use is bounded.
        asan = os.environ.get("ASAN_OPTIONS", "")
        cls.daemon = Daemon(env={"ASAN_OPTIONS": asan + ":quarantine_size_mb=4"}).__enter__()
        cls.daemon.wait_listening()
        cls.daemon.wait_out(r"^Router got \d+$")

    @classmethod
    def tearDownClass(cls):
        cls.daemon.close()

    def tearDown(self):
        self.assertTrue(self.daemon.alive(), self.daemon.err()[-3000:])
        self.assertEqual([], self.daemon.sanitizer_reports())
        self.assertServes()

    def assertServes(self):
        async def ask():
            async with self.daemon.connect() as ws:
                await ws.send("statscache")
                return await asyncio.wait_for(ws.recv(), 60)
        self.assertIn(asyncio.run(ask()), self.daemon.documents())

    def partial_requests(self):
        """Categories of the requests made by "stats" lines, in order."""
        return re.findall(r"^Emit Id:\d+ From  Subscribers: 1: SysStats, Message:(.*)$",
                          self.daemon.out(), re.M)

    def test_odd_messages_are_read_as_whole_lines_up_to_a_nul(self):
        before = len(self.partial_requests())
        client = self.daemon.raw_client()
        client.send("stats/fr", fin=False)
        client.send("ag", opcode=0, fin=False)
        client.send("ment", opcode=0)
        client.send("stats/nul\0/system")
        client.send("stats/binary", opcode=2)
        client.send(bytes(range(256)) * 64, opcode=2)
        client.send(b"\0" * 1000)
        client.send("stats/" + "y" * 10000)
        client.send("stats/last")
        wait_for(lambda: "last" in self.partial_requests()[before:], 120, 0.1,
                 "the lines were not all read")
        got = self.partial_requests()[before:]
        self.assertEqual(["fragment", "nul", "binary"], got[:3])
        self.assertEqual("last", got[-1])
        # The long line counts once, cut short but not split.
        self.assertEqual(5, len(got), got[:3] + [g[:20] for g in got[3:]])
        self.assertRegex(got[3], r"^y+$")
        self.assertLess(len(got[3]), 10000)
        client.close()

    def test_megabyte_text_does_not_hold_up_other_clients(self):
        big = self.daemon.raw_client()
        big.send("stats/" + "x" * (1 << 20))
        self.assertServes()  # while the megabyte is still being read
        big.reset()

    def test_burst_of_thousands_of_lines_reaches_every_reader(self):
        lines = 2000
        readers = [Reader(self.daemon.raw_client()) for _ in range(2)]
        flooder = self.daemon.raw_client()
        flooder_reader = Reader(flooder)
        flooder.sock.sendall(b"".join(RawClient.frame("statscache") for _ in range(lines)))
        # Each line sends the cached document to everybody.
        for r in readers + [flooder_reader]:
            wait_for(lambda: r.count >= lines, 120, 0.1,
                     "a reader got %d of %d documents" % (r.count, lines))
            self.assertIsNone(r.ended)
            self.assertTrue(r.texts <= set(self.daemon.documents()))
        for r in readers + [flooder_reader]:
            r.client.close()

    def test_clients_vanishing_during_broadcasts_leave_the_others_whole(self):
        lines = 1000
        closed = self.daemon.count(CLOSED)
        stay = [Reader(self.daemon.raw_client()) for _ in range(3)]
        vanish = [self.daemon.raw_client() for _ in range(10)]
        stay[0].client.sock.sendall(b"".join(RawClient.frame("statscache") for _ in range(lines)))
        wait_for(lambda: stay[1].count >= 50, 60, 0.05, "broadcasts did not start")
        for client in vanish[:5]:
            client.reset()
        for client in vanish[5:]:
            client.close()
        for r in stay:
            wait_for(lambda: r.count >= lines, 120, 0.1,
                     "a client that stayed got %d of %d documents" % (r.count, lines))
        self.daemon.wait_count(CLOSED, closed + 10)
        for r in stay:
            r.client.close()

    def test_clients_that_never_read_are_dropped_when_far_behind(self):
        # Large documents, so that the kernel's socket buffers, which take a
        # few megabytes for each client before the router holds anything back,
        # fill after some hundred of them.
        version = "big-" + "v" * 16000
        self.daemon.app.write("/etc/tavrin.conf",
                              CONF.replace("VERSION_TWSS=1.2", "VERSION_TWSS=" + version))
        self.addCleanup(self.daemon.app.write, "/etc/tavrin.conf", CONF)
        reader = Reader(self.daemon.raw_client())
        reader.client.send("statscache")
        wait_for(lambda: any(version in t for t in reader.texts), 60, 0.1, "no large document")
        before = self.daemon.status()["VmRSS"]
        closed = self.daemon.count(CLOSED)
        sleeper = sink(self.daemon.raw_client())
        flooders = [sink(self.daemon.raw_client()) for _ in range(4)]
        for f in flooders:
            f.sock.sendall(b"".join(RawClient.frame("statscache") for _ in range(1250)))
        # The router closes the connections that stopped reading, and only
        # those: the reader keeps up, stays, and gets every document.
        self.daemon.wait_count(CLOSED, closed + 5, 300)
        wait_for(lambda: reader.count >= 4096, 120, 0.1, "the reader got %d" % reader.count)
        count = reader.count
        reader.client.send("statscache")
        wait_for(lambda: reader.count > count, 60, 0.1, "the reader was dropped too")
        self.assertIsNone(reader.ended)
        # Seen from the server, the reader's is the one connection left.
        established = "ss -Htn state established '( sport = :%d )'" % PORT
        wait_for(lambda: len(self.daemon.app.run(established).stdout.splitlines()) == 1, 30, 0.1,
                 "connections besides the reader's remain")
        self.assertLess(self.daemon.status()["VmRSS"] - before, 32 * 1024)
        for client in [sleeper] + flooders:
            client.reset()  # reading out what the kernel still holds would crawl
        reader.client.close()

    def test_garbage_and_half_requests_on_the_port(self):
        opening = [
            os.urandom(65536),
            b"GET / HTTP/1.1\r\nHost: 127.0.0.1",  # never finished
            b"GET /" + b"a" * 100000 + b" HTTP/1.1\r\n\r\n",
            b"GET / HTTP/1.1\r\n" + b"X-Long: " + b"b" * 100000 + b"\r\n\r\n",
            b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + os.urandom(200),  # TLS hello
            b"\0" * 4096,
            b"\r\n\r\n\r\n",
            b"GARBAGE\r\n\r\n",
            b"GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            b"Sec-WebSocket-Version: 99\r\nSec-WebSocket-Protocol: monitoring\r\n\r\n",
        ]
        socks = self.daemon.sockets(len(opening))
        for sock, data in zip(socks, opening):
            try:
                sock.sendall(data)
            except OSError:
                pass  # the server may well hang up on such a start
        # A websocket that sends a frame no websocket has: reserved opcode,
        # reserved bits, unmasked.
        broken = self.daemon.raw_client()
        broken.sock.sendall(b"\x7b\x05hello" + RawClient.frame("x", opcode=0xB))
        self.assertServes()
        for sock in socks:
            sock.close()
        broken.close()

    def test_thousand_clients_connect_and_leave(self):
        clients = 1000
        rss = []

        async def round_trip():
            established = self.daemon.count(ESTABLISHED)
            closed = self.daemon.count(CLOSED)
            socks = self.daemon.sockets(clients)
            conns = await asyncio.gather(*[self.daemon.connect(sock=s).__aenter__() for s in socks])
            await asyncio.to_thread(self.daemon.wait_count, ESTABLISHED, established + clients, 120)
            await conns[-1].send("statscache")
            texts = await asyncio.gather(*[asyncio.wait_for(c.recv(), 120) for c in conns])
            self.assertEqual(1, len(set(texts)))
            self.assertIn(texts[0], self.daemon.documents())
            await asyncio.gather(*[c.close() for c in conns])
            await asyncio.to_thread(self.daemon.wait_count, CLOSED, closed + clients, 120)
            return json.loads(texts[0])

        for _ in range(3):
            asyncio.run(round_trip())
            rss.append(self.daemon.status()["VmRSS"])
        # What the first round took is reused by the next ones.
        self.assertLess(rss[2] - rss[0], 4 * 1024, rss)


if __name__ == "__main__":
    unittest.main()
