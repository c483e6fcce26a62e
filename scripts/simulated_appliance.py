"""simulated_appliance.py -- a Tavrin appliance booting and running, for a
person to watch: a throw-away appliance (tests/appliance) with a gateway, a
Hubstation and an internet host to ping, a configuration file, a disk, a
music service port, doubles for the appliance's own programs (tws, beacond,
zonestart, the init scripts; scripts/appliance-files), the launcher starting
it all as at boot, and the monitor's websocket port relayed to the host's
127.0.0.1:7081. The launcher's console is shown with "launcher |" in front.

    python3 scripts/simulated_appliance.py [stats-client options]

starts all that, runs tools/stats-client against 127.0.0.1:7081 in the
foreground and tears everything down when the client ends (Ctrl-C). Run as
root: the appliance lives in namespaces of its own. Its addresses are
documentation addresses, reachable only from inside the appliance.
"""

import asyncio
import os
import signal
import socket
import subprocess
import sys
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "appliance"))
from appliance import Appliance, wait_for  # noqa: E402

PORT = 7081
# What the appliance starts at boot: the launcher, which runs its start
# sequence and then keeps tws and "vigild -z" running.
START_COMMAND = "/usr/share/tavrinWS/bin/launcher"
APPLIANCE_FILES = os.path.join(ROOT, "scripts", "appliance-files")
TIMEZONE = "Europe/Berlin"

GATEWAY = "192.0.2.1"
HUBSTATION = "198.51.100.2"
HUBSTATION_MAC = "02:00:5e:10:00:02"
INTERNET = "203.0.113.1"
INTERNET_NAME = "www.google.com"  # the host name the collector pings
CONF = ("MASTER=02005E100002\nMASTERIP=%s\nVERSION_TWSS=1.1.1.14\nUPDATELEVEL=2\n" % HUBSTATION)
# /dev/sda1 does not exist here: df answers as a 32 GB disk with 3 GB used.
DF = "printf '  Used Avail\\n    3G   25G\\n'"


def start_appliance():
    """The appliance with its hosts and files, vigild started in it."""
    app = Appliance()
    app.start()
    try:
        app.add_host(GATEWAY, link="eth0", appliance_address="192.0.2.10")
        app.run("ip route add default via %s" % GATEWAY, check=True)
        app.add_host(HUBSTATION, link="eth1", appliance_address="198.51.100.10",
                     mac=HUBSTATION_MAC)
        app.add_host(INTERNET, link="eth2", appliance_address="203.0.113.10")
        app.run("echo '%s %s' >> /etc/hosts" % (INTERNET, INTERNET_NAME), check=True)
        app.write("/etc/tavrin.conf", CONF)
        app.double("/bin/df", DF)
        # The music service's port, which the collector only tries to open.
        app.spawn("/usr/bin/python3 -m http.server 9000 --bind 127.0.0.1 --directory /tmp "
                  "> /dev/null 2>&1")
        app.run("%s / && echo %s > /etc/timezone" % (APPLIANCE_FILES, TIMEZONE), check=True)
        launcher = app.spawn(START_COMMAND)
        for stream in (launcher.popen.stdout, launcher.popen.stderr):
            threading.Thread(target=show_console, args=(stream,), daemon=True).start()
        wait_for(lambda: listening(app), 30, 0.1, "vigild does not listen on port %d" % PORT)
    except BaseException:
        app.close()
        raise
    return app


def show_console(stream):
    for line in stream:
        print("launcher | " + line, end="", flush=True)


def listening(app):
    result = app.run("ss -Hltn 'sport = :%d'" % PORT)
    return result.stdout.strip() != ""


def start_relay(app):
    """A listener on the host's 127.0.0.1:7081 whose connections continue to
    port 7081 inside the appliance. The listening socket is made here, in the
    host's network namespace, and handed to a relay process that runs in the
    appliance's."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind(("127.0.0.1", PORT))
    except OSError as e:
        raise SystemExit("cannot listen on the host's 127.0.0.1:%d: %s" % (PORT, e))
    listener.listen(128)
    relay = subprocess.Popen(
        ["nsenter", "-t", str(app.pid), "-n", "--", sys.executable, os.path.abspath(__file__),
         "relay", str(listener.fileno())], pass_fds=[listener.fileno()])
    listener.close()
    return relay


async def relay(listener_fd):
    listener = socket.socket(fileno=listener_fd)

    async def pipe(reader, writer):
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
        except OSError:
            pass
        finally:
            writer.close()

    async def handle(reader, writer):
        try:
            inner_reader, inner_writer = await asyncio.open_connection("127.0.0.1", PORT)
        except OSError:
            writer.close()
            return
        await asyncio.gather(pipe(reader, inner_writer), pipe(inner_reader, writer))

    server = await asyncio.start_server(handle, sock=listener)
    await server.serve_forever()


def main(argv):
    if len(argv) == 3 and argv[1] == "relay":
        asyncio.run(relay(int(argv[2])))
        return 0
    if os.geteuid() != 0:
        raise SystemExit("the simulated appliance needs root (namespaces); run it with sudo")
    # Ctrl-C is for the client; everything else ends when the client has.
    # Processes started from here inherit the ignored signal, so none of them
    # dies half-way or prints a trace of it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    print("starting the simulated appliance: gateway %s, Hubstation %s, %s at %s" %
          (GATEWAY, HUBSTATION, INTERNET_NAME, INTERNET), flush=True)
    app = start_appliance()
    relay_process = None
    try:
        relay_process = start_relay(app)
        print("the launcher has started vigild -z; its websocket port is relayed to ws://127.0.0.1:%d/ "
              "(Ctrl-C ends it all)" % PORT, flush=True)
        client = [sys.executable, os.path.join(ROOT, "tools", "stats-client"),
                  "--url", "ws://127.0.0.1:%d/" % PORT, "--retry", "10"] + argv[1:]
        return subprocess.call(
            client, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    finally:
        if relay_process:
            relay_process.kill()
            relay_process.wait()
        app.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
