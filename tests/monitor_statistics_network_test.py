#!/usr/bin/python3
# labels: threads
"""The collector's network category on a simulated network: how the Hubstation
is found (configured address, neighbour table, address from start-up, nothing),
hosts that answer some or none of the pings, names that do not resolve, and
configuration values that try to reach the shell.

The Hubstation's hardware address spells its serial, so the real `arp -an`
finds it once the appliance has talked to it. collector-pass feeds requests
through the queue, as the router does; fed on standard input it lets a test
change the network between two passes.
"""

import json
import os
import queue
import re
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "appliance"))
from appliance import PYTHON, TAVRIN_BIN, Appliance, wait_for  # noqa: E402

COLLECTOR = TAVRIN_BIN + "/collector-pass"
# The public host the monitor pings for "internet".
INTERNET_HOST = "www.google.com"
HUB = "198.51.100.2"
HUB_MAC = "00:04:20:ab:cd:ef"
SERIAL = "000420ABCDEF"
NO_REPLY = {"Avg": 0, "Loss": 100, "Max": 0, "Min": 0}

# Answers only the even-numbered echo requests, so that two of ping's four go
# unanswered. The kernel of the host is told to ignore pings itself.
HALF_RESPONDER = r"""
import socket, struct, sys
def checksum(data):
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data + b"\0" * (len(data) % 2)))
    total = (total >> 16) + (total & 0xffff)
    return ~(total + (total >> 16)) & 0xffff
sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
print("ready", flush=True)
while True:
    packet, (source, _) = sock.recvfrom(65535)
    icmp = packet[(packet[0] & 0x0f) * 4:]
    kind, _, _, ident, seq = struct.unpack("!BBHHH", icmp[:8])
    if kind != 8 or seq % 2:
        continue
    reply = struct.pack("!BBHHH", 0, 0, 0, ident, seq) + icmp[8:]
    sock.sendto(reply[:2] + struct.pack("!H", checksum(reply)) + reply[4:], (source, 0))
"""


def network_of(text):
    """The "network" object of a statistics document."""
    return json.loads(text)["network"]


class Collector:
    """collector-pass fed on standard input: one request per ask()."""

    def __init__(self, app):
        self.process = app.spawn(COLLECTOR, stdin=subprocess.PIPE)
        self.replies = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.popen.stdout:
            match = re.match(r"Reply complete:(true|false) message:(.*)$", line)
            if match:
                self.replies.put(match.group(2))

    def ask(self, categories):
        self.process.popen.stdin.write(categories + "\n")
        self.process.popen.stdin.flush()
        return self.replies.get(timeout=60)


def collect_once(app, categories="network"):
    result = app.run(COLLECTOR + " " + categories, timeout=120)
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    return re.search(r"^Reply complete:(?:true|false) message:(.*)$", result.stdout, re.M).group(1)


class NetworkTest(unittest.TestCase):

    def test_hubstation_from_neighbour_table_then_from_start_up(self):
        with Appliance() as app:
            hub = app.add_host(HUB, link="eth1", appliance_address="198.51.100.10", mac=HUB_MAC)
            # The Hubstation must not re-enter the appliance's neighbour table on
            # its own (its kernel would re-check the appliance's address some
            # seconds after a ping): it knows the appliance's address for good.
            appliance_mac = re.search(r"link/ether (\S+)",
                                      app.run("ip -o link show eth1", check=True).stdout).group(1)
            hub.run("ip neigh replace 198.51.100.10 lladdr %s dev peer0 nud permanent" %
                    appliance_mac)
            app.write("/etc/tavrin.conf", "MASTER=%s\n" % SERIAL)
            # The appliance has talked to the Hubstation before the monitor starts.
            app.run("/bin/ping -c 1 " + HUB, check=True)
            collector = Collector(app)
            wait_for(lambda: "Using ARP to resolve Hubstation IP" in app.log(), 10, 0.05,
                     "collector did not start up")

            seen = len(app.log())
            hubstation = network_of(collector.ask("network"))["hubstation"]
            self.assertEqual(0, hubstation["Loss"])
            self.assertEqual(["Hubstation IP from ARP " + HUB, "Using Hubstation IP " + HUB,
                              "Ping Failed for Host " + INTERNET_HOST, "Ping Failed for Host "],
                             app.log()[seen:])

            # The Hubstation drops out of the neighbour table: the address that
            # start-up found is pinged instead.
            app.run("ip neigh flush dev eth1", check=True)
            self.assertEqual("", app.run("arp -an").stdout)
            seen = len(app.log())
            hubstation = network_of(collector.ask("network"))["hubstation"]
            self.assertEqual(0, hubstation["Loss"])
            self.assertEqual(["Hubstation IP from ARP ",
                              "Hubstation IP from last positive Query " + HUB,
                              "Using Hubstation IP " + HUB,
                              "Ping Failed for Host " + INTERNET_HOST, "Ping Failed for Host "],
                             app.log()[seen:])

    def test_hosts_that_answer_some_or_none_of_the_pings(self):
        with Appliance() as app:
            gateway = app.add_host("192.0.2.1", link="eth0", appliance_address="192.0.2.10")
            gateway.run("sysctl -qw net.ipv4.icmp_echo_ignore_all=1")
            hub = app.add_host(HUB, link="eth1", appliance_address="198.51.100.10")
            hub.run("sysctl -qw net.ipv4.icmp_echo_ignore_all=1")
            responder = subprocess.Popen(
                ["nsenter", "-t", str(hub.pid), "-n", "--", PYTHON, "-c", HALF_RESPONDER],
                stdout=subprocess.PIPE, text=True)
            self.addCleanup(responder.wait)
            self.addCleanup(responder.kill)
            self.assertEqual("ready\n", responder.stdout.readline())
            # The internet name leads to an address on which no host answers
            # ARP: ping reports errors besides the loss.
            app.add_host("203.0.113.5", link="eth2", appliance_address="203.0.113.10")
            app.write("/etc/hosts",
                      "127.0.0.1 localhost\n::1 localhost\n203.0.113.77 %s\n" % INTERNET_HOST)
            app.run("ip route add default via 192.0.2.1", check=True)
            app.write("/etc/tavrin.conf", "MASTERIP=%s\n" % HUB)

            network = network_of(collect_once(app))
            self.assertEqual(NO_REPLY, network["gateway"])
            self.assertEqual(NO_REPLY, network["internet"])
            half = network["hubstation"]
            self.assertEqual(50, half["Loss"])
            self.assertTrue(0 < half["Min"] <= half["Avg"] <= half["Max"], half)

    def test_nothing_to_ping_stores_the_failure_value(self):
        # No default route, no name server, and no usable Hubstation address;
        # values that would run commands must run nothing.
        cases = [
            ("MASTER=" + SERIAL + "\n", [
                "Using ARP to resolve Hubstation IP",
                "Hubstation IP from ARP ", "Using Hubstation IP ",
                "Ping Failed for Host " + INTERNET_HOST, "Ping Failed for Host ",
                "Ping Failed for Host "]),
            ("MASTER=;touch /tmp/y\nMASTERIP=\n", [
                "Using ARP to resolve Hubstation IP",
                "Hubstation IP from ARP ", "Using Hubstation IP ",
                "Ping Failed for Host " + INTERNET_HOST, "Ping Failed for Host ",
                "Ping Failed for Host "]),
            ("MASTER=%s\nMASTERIP=;touch /tmp/x\n" % SERIAL, [
                "Using tavrin.conf to resolve Hubstation IP",
                "Using Hubstation IP ;touch /tmp/x",
                "Ping Failed for Host " + INTERNET_HOST, "Ping Failed for Host ",
                "Ping Failed for Host ;touch /tmp/x"]),
        ]
        for config, log in cases:
            with self.subTest(config=config), Appliance() as app:
                # A neighbour that does not carry the serial.
                app.add_host(HUB, link="eth1", appliance_address="198.51.100.10",
                             mac="00:04:20:00:00:01")
                app.run("/bin/ping -c 1 " + HUB, check=True)
                app.write("/etc/tavrin.conf", config)
                text = collect_once(app)
                self.assertIn('{"network":{"gateway":-1,"hubstation":-1,"internet":-1}}', text)
                self.assertEqual(["Thread SysStats started"] + log, app.log())
                self.assertFalse(app.exists("/tmp/x") or app.exists("/tmp/y"))


if __name__ == "__main__":
    unittest.main()
