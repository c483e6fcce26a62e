"""vigild_fixture.py -- `vigild -z` running in a throw-away appliance, and the
clients that the end-to-end tests and the benchmark talk to it with.

    with Daemon() as daemon:
        daemon.wait_listening()
        async with daemon.connect() as ws:      # python3-websockets, "monitoring"
            await ws.send("statscache")
        raw = daemon.raw_client()               # frame by frame, for bad input
        daemon.out()                            # its standard output so far

The daemon listens on port 7081 inside the appliance's own network namespace.
Clients reach it through sockets made in that namespace (setns on a helper
thread), so nothing listens on the host.
"""

import base64
import ctypes
import os
import re
import socket
import struct
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "appliance"))
from appliance import Appliance, wait_for  # noqa: E402

VIGILD = "/usr/share/tavrinWS/bin/vigild"
OUT = "/tmp/vigild.out"
ERR = "/tmp/vigild.err"
PORT = 7081
CONF = "MASTER=001122AABBCC\nVERSION_TWSS=1.2\nUPDATELEVEL=3\n"
CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL("libc.so.6", use_errno=True)


def raise_fd_limit():
    """Lets this process (and what it starts) hold thousands of sockets."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def sockets_in(pid, count=1, port=PORT, address="127.0.0.1"):
    """count TCP sockets connected to address:port inside the network namespace
    of process pid. The connecting thread alone enters the namespace."""
    result = {}

    def work():
        fd = os.open("/proc/%d/ns/net" % pid, os.O_RDONLY)
        try:
            if _libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
        finally:
            os.close(fd)
        socks = []
        try:
            for _ in range(count):
                socks.append(socket.create_connection((address, port), timeout=10))
        except BaseException as e:
            for s in socks:
                s.close()
            result["error"] = e
            return
        result["socks"] = socks

    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    if "error" in result:
        raise result["error"]
    for s in result["socks"]:
        s.settimeout(None)
    return result["socks"]


class RawClient:
    """A websocket client written against the wire, for what a library client
    will not send: binary and broken frames, megabytes, fragments, resets."""

    def __init__(self, sock, protocol="monitoring"):
        self.sock = sock
        self.buffer = bytearray()
        if protocol is not None:
            self._handshake(protocol)

    def _handshake(self, protocol):
        key = base64.b64encode(os.urandom(16)).decode()
        request = ("GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n"
                   "Sec-WebSocket-Protocol: %s\r\n\r\n" % (PORT, key, protocol))
        self.sock.sendall(request.encode())
        while b"\r\n\r\n" not in self.buffer:
            self._fill(10)
        head, rest = bytes(self.buffer).split(b"\r\n\r\n", 1)
        self.buffer = bytearray(rest)
        if not head.startswith(b"HTTP/1.1 101"):
            raise AssertionError("handshake refused: %r" % head)

    def _fill(self, timeout):
        self.sock.settimeout(timeout)
        data = self.sock.recv(65536)  # small enough that consuming a frame stays cheap
        if not data:
            raise EOFError("server closed the connection")
        self.buffer += data

    @staticmethod
    def frame(payload, opcode=1, fin=True):
        """One masked client frame."""
        if isinstance(payload, str):
            payload = payload.encode()
        head = bytes([(0x80 if fin else 0) | opcode])
        n = len(payload)
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack("!H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack("!Q", n)
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload)) if n < 4096 else \
            (int.from_bytes(payload, "big") ^ int.from_bytes((mask * (n // 4 + 1))[:n], "big")
             ).to_bytes(n, "big")
        return head + mask + masked

    def send(self, payload, opcode=1, fin=True):
        self.sock.sendall(self.frame(payload, opcode, fin))

    def read_frame(self, timeout=10):
        """(fin, opcode, payload) of the next frame from the server."""
        while True:
            if len(self.buffer) >= 2:
                b0, b1 = self.buffer[0], self.buffer[1]
                n, at = b1 & 0x7F, 2
                if n == 126 and len(self.buffer) >= 4:
                    n, at = struct.unpack("!H", self.buffer[2:4])[0], 4
                elif n == 127 and len(self.buffer) >= 10:
                    n, at = struct.unpack("!Q", self.buffer[2:10])[0], 10
                if (b1 & 0x7F) < 126 or at > 2:
                    if b1 & 0x80:
                        raise AssertionError("server frames must not be masked")
                    if len(self.buffer) >= at + n:
                        payload = bytes(self.buffer[at:at + n])
                        del self.buffer[:at + n]
                        return bool(b0 & 0x80), b0 & 0x0F, payload
            self._fill(timeout)

    def read_text(self, timeout=10):
        """The next text frame, which must be a whole message."""
        fin, opcode, payload = self.read_frame(timeout)
        if (fin, opcode) != (True, 1):
            raise AssertionError("expected one whole text frame, got fin=%s opcode=%d" %
                                 (fin, opcode))
        return payload.decode()

    def reset(self):
        """Drops the connection with a TCP reset: no close frame, no FIN."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self):
        self.sock.close()


class Daemon:
    """vigild -z in its own appliance, standard output and error in files."""

    def __init__(self, conf=CONF, env=None, command=VIGILD + " -z"):
        self.conf = conf
        self.env = env
        self.command = command
        self.app = None
        self.process = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        self.app = Appliance()
        self.app.start()
        if self.conf is not None:
            self.app.write("/etc/tavrin.conf", self.conf)
        self.process = self.app.spawn("%s > %s 2> %s" % (self.command, OUT, ERR), env=self.env)
        return self

    def close(self):
        if self.app:
            self.app.close()
            self.app = None

    # --- what it says --------------------------------------------------------

    def _output(self, fd, path):
        # While vigild runs, its own descriptor is the cheapest way to the file.
        try:
            with open("/proc/%d/fd/%d" % (self.process.pid, fd), "rb") as f:
                return f.read().decode(errors="replace")
        except (OSError, AssertionError):
            return self.app.read(path) if self.app.exists(path) else ""

    def out(self):
        return self._output(1, OUT)

    def err(self):
        return self._output(2, ERR)

    def count(self, line):
        """How many whole lines of standard output equal line."""
        return self.out().split("\n").count(line)

    def wait_out(self, pattern, timeout=30, after=0):
        """Waits for a line matching the regular expression pattern (from
        character offset after on); returns the match."""
        regex = re.compile(pattern, re.M)
        return wait_for(lambda: regex.search(self.out(), after), timeout, 0.05,
                        "no line matching %r on vigild's stdout\n%s" % (pattern, self.out()[-3000:]))

    def wait_count(self, line, count, timeout=30):
        wait_for(lambda: self.count(line) >= count, timeout, 0.05,
                 "expected %d lines %r, saw %d" % (count, line, self.count(line)))

    def requests(self):
        """The texts of the requests the router emitted, in order."""
        return re.findall(r"^Emit Id:\d+ From Router Subscribers: 1: SysStats, Message:(.*)$",
                          self.out(), re.M)

    def documents(self):
        """The texts the collector emitted for the router, in order."""
        return re.findall(r"^Emit Id:\d+ From SysStats Subscribers: 1: Router, Message:(.*)$",
                          self.out(), re.M)

    # --- how it is doing -----------------------------------------------------

    def status(self):
        """VmRSS and VmHWM in kB."""
        with open("/proc/%d/status" % self.process.pid) as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        return {k: int(fields[k].split()[0]) for k in ("VmRSS", "VmHWM")}

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def alive(self):
        return self.process.popen.poll() is None

    def sanitizer_reports(self):
        """Lines of standard error in which a sanitizer reports a fault."""
        return [line for line in self.err().split("\n")
                if re.search(r"Sanitizer|runtime error:", line)]

    # --- clients -------------------------------------------------------------

    def sockets(self, count=1):
        return sockets_in(self.app.pid, count)

    def socket(self):
        return self.sockets(1)[0]

    def wait_listening(self, timeout=30):
        def accepts():
            try:
                self.socket().close()
                return True
            except OSError:
                return False
        wait_for(accepts, timeout, 0.05, "vigild does not listen on port %d" % PORT)

    def raw_client(self, protocol="monitoring"):
        return RawClient(self.socket(), protocol)

    def connect(self, protocols=("monitoring",), sock=None, **kwargs):
        """A python3-websockets client connection (use with async with)."""
        import websockets
        options = dict(subprotocols=list(protocols) if protocols else None, max_size=None,
                       open_timeout=60, ping_interval=None)
        options.update(kwargs)
        return websockets.connect("ws://127.0.0.1:%d/" % PORT, sock=sock or self.socket(),
                                  **options)
