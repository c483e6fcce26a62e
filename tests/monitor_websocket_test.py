"""vigild's websocket service on port 7081, from real clients: python3-websockets
for documents and commands, the wire itself for frames, raw TCP for HTTP."""
# labels: threads

import asyncio
import json
import os
import re
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vigild_fixture import CONF, Daemon, wait_for  # noqa: E402

STATS_CLIENT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                            "tools", "stats-client")
ESTABLISHED = "Client connection established"
CLOSED = "Client closed connection"


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 120))


async def receive_until(ws, predicate, timeout=30):
    """Texts received until one satisfies predicate (that one included)."""
    texts = []
    async with asyncio.timeout(timeout):
        while not texts or not predicate(texts[-1]):
            texts.append(await ws.recv())
    return texts


def services_version(text):
    return json.loads(text).get("services", {}).get("version")


class WebsocketServiceTest(unittest.TestCase):
    """One daemon for all cases: each case opens and closes its own clients."""

    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon().__enter__()
        cls.daemon.wait_listening()
        # The answer to the first pass's request fills the cache.
        cls.daemon.wait_out(r"^Router got \d+$")

    @classmethod
    def tearDownClass(cls):
        cls.daemon.close()

    def setUp(self):
        self.daemon.app.write("/etc/tavrin.conf", CONF)

    def tearDown(self):
        self.assertTrue(self.daemon.alive(), self.daemon.err()[-3000:])
        self.assertEqual([], self.daemon.sanitizer_reports())

    def test_first_pass_asks_for_everything_and_caches_the_answer(self):
        emits = [l for l in self.daemon.out().split("\n") if l.startswith("Emit ")]
        self.assertEqual("Emit Id:2 From Router Subscribers: 1: SysStats, "
                         "Message:system,network,services", emits[0])

        async def ask():
            async with self.daemon.connect() as ws:
                self.assertEqual("monitoring", ws.subprotocol)
                await ws.send("statscache")
                return await ws.recv()
        cached = run(ask())
        # Unchanged and whole: the collector's own text.
        self.assertIn(cached, self.daemon.documents())
        document = json.loads(cached)
        self.assertEqual(["network", "services", "system"], list(document))
        self.assertEqual({"updatelevel": "3", "version": "1.2"}, document["services"])

    def test_shipped_client_prints_each_document_readably(self):
        result = self.daemon.app.run("/usr/bin/python3 %s --count 2" % STATS_CLIENT, timeout=60)
        self.assertEqual(0, result.returncode, result.stderr)
        lines = result.stdout.split("\n")
        self.assertEqual("connected to ws://127.0.0.1:7081/ (subprotocol monitoring)", lines[0])
        self.assertRegex(lines[1], r"^\d\d:\d\d:\d\d  document 1 \(\d+ bytes\)$")
        self.assertEqual(2, sum(1 for l in lines if " document " in l))
        self.assertIn("  network    gateway      -1 (failed)", lines)
        self.assertIn('  services   updatelevel  "3"', lines)
        self.assertIn('             version      "1.2"', lines)
        self.assertIn("             serviceTMS   false", lines)
        self.assertTrue(any(re.match(r"^  system     cpu          Avg1 \d", l) for l in lines),
                        result.stdout)

    def test_statscache_variants_send_the_cache_and_ask_again(self):
        for line in ("statscache", "statscache\n", "statscache/and more", "statscache//x/y\n"):
            requests = len(self.daemon.requests())

            async def ask():
                async with self.daemon.connect() as ws:
                    await ws.send(line)
                    return await ws.recv()
            self.assertIn(run(ask()), self.daemon.documents(), repr(line))
            wait_for(lambda: len(self.daemon.requests()) > requests, 10, 0.05,
                     "%r asked the collector for nothing" % line)

    def test_two_clients_get_every_broadcast_once_and_in_order(self):
        versions = ["order-%d" % i for i in range(5)]

        def services_only(text):
            return list(json.loads(text)) == ["services"]

        async def scenario():
            async with self.daemon.connect() as a, self.daemon.connect() as b, \
                    self.daemon.connect(protocols=("http-only",)) as http_only:
                self.assertEqual("http-only", http_only.subprotocol)
                for version in versions:
                    # Each answer carries its own version, so order shows.
                    self.daemon.app.write("/etc/tavrin.conf",
                                          CONF.replace("VERSION_TWSS=1.2", "VERSION_TWSS=" + version))
                    await a.send("stats/services")
                    await asyncio.to_thread(
                        self.daemon.wait_out, r'^Emit .* From SysStats .*"%s"' % version)
                # Every answer has reached both before the late client joins.
                first = [await receive_until(ws, lambda t: services_version(t) == versions[-1])
                         for ws in (a, b)]
                async with self.daemon.connect() as late:
                    await b.send("statscache")
                    rest = [await receive_until(ws, lambda t: services_version(t) == versions[-1]
                                                and "system" in json.loads(t))
                            for ws in (a, b, late)]
                    with self.assertRaises(asyncio.TimeoutError):
                        await asyncio.wait_for(http_only.recv(), 0.5)
            return first[0] + rest[0], first[1] + rest[1], rest[2]

        seen_a, seen_b, seen_late = run(scenario())
        for seen in (seen_a, seen_b):
            # A periodic request drained in the same collector pass as a
            # "stats/services" line merges with it into one full document, and
            # "statscache" sends the last full document again, whichever
            # version it holds: each version first shows up in its own turn.
            answers = []
            for text in seen:
                version = services_version(text)
                if version in versions and version not in answers:
                    answers.append(version)
            self.assertEqual(versions, answers)
        # a connected first and may have had one more answer of an earlier case.
        self.assertEqual(seen_a[-len(seen_b):], seen_b)
        # Joined after the answers were sent: gets only what came later (the
        # cache and the fresh document that statscache asked for).
        self.assertTrue(seen_late)
        self.assertEqual([], [t for t in seen_late if services_only(t)])

    def test_connections_are_traced_once_and_http_only_ones_not_at_all(self):
        before = (self.daemon.count(ESTABLISHED), self.daemon.count(CLOSED))

        async def scenario():
            async with self.daemon.connect(protocols=("http-only",)):
                async with self.daemon.connect(protocols=None):  # lands on http-only too
                    async with self.daemon.connect(protocols=("unknown", "monitoring")) as ws:
                        self.assertEqual("monitoring", ws.subprotocol)
                        await asyncio.to_thread(self.daemon.wait_count, ESTABLISHED, before[0] + 1)
        run(scenario())
        self.daemon.wait_count(CLOSED, before[1] + 1)
        self.assertEqual((before[0] + 1, before[1] + 1),
                         (self.daemon.count(ESTABLISHED), self.daemon.count(CLOSED)))

    def test_http_root_gets_bare_greeting_and_other_paths_nothing(self):
        cases = {"/": b"Hello World", "/index.html": b"", "/statscache": b""}
        answers = {}

        def fetch(path):
            sock = self.daemon.socket()
            sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
            sock.settimeout(30)
            data = b""
            # The library closes the connection after its idle time-out.
            while chunk := sock.recv(4096):
                data += chunk
            sock.close()
            answers[path] = data
        threads = [threading.Thread(target=fetch, args=(p,)) for p in cases]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(cases, answers)
        for path in cases:
            self.assertIn("requested URI: %s\n" % path, self.daemon.out())

    def test_document_longer_than_any_buffer_arrives_whole_in_one_frame(self):
        for length in (5000, 200000):
            version = "v%d-" % length + "x" * length
            self.daemon.app.write("/etc/tavrin.conf",
                                  CONF.replace("VERSION_TWSS=1.2", "VERSION_TWSS=" + version))
            client = self.daemon.raw_client()
            try:
                client.send("stats/services")
                while True:
                    text = client.read_text(30)  # fails on a fragment or a binary frame
                    if services_version(text) == version:
                        break
                self.assertEqual({"services": {"updatelevel": "3", "version": version}},
                                 json.loads(text))
                self.assertIn(text, self.daemon.documents())
            finally:
                client.close()


class IgnoredLinesTest(unittest.TestCase):
    """A daemon whose only statistics request is the first pass's: any other
    request from the router would be one of these lines mistaken for a command."""

    def test_lines_that_ask_for_nothing(self):
        with Daemon() as daemon:
            daemon.wait_listening()
            daemon.wait_out(r"^Router got \d+$")
            lines = ["statscache\r\n", "", "\n", "Statscache", " statscache", "///", "stats",
                     "stats/", "hello/statscache", "statscache\n\n", "STATSCACHE"]
            client = daemon.raw_client()
            for line in lines:
                client.send(line)
            client.send("stats/services")  # processed after all of them
            daemon.wait_out(r"^Emit Id:\d+ From  Subscribers: 1: SysStats, Message:services$")
            daemon.wait_out(r'^Emit Id:\d+ From SysStats Subscribers: 1: Router, Message:\{"services"')
            client.send("stats/system")  # in a later pass than any of them
            daemon.wait_out(r"^Emit Id:\d+ From  Subscribers: 1: SysStats, Message:system$")
            self.assertEqual(["system,network,services"], daemon.requests())
            # Nothing was sent back but the two partial answers.
            texts = [json.loads(client.read_text()) for _ in range(2)]
            self.assertEqual([["services"], ["system"]], [list(t) for t in texts])
            client.close()
            self.assertEqual([], daemon.sanitizer_reports())


if __name__ == "__main__":
    unittest.main()
