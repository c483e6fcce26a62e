#!/usr/bin/python3
# labels: threads
"""The statistics collector measures a whole simulated appliance network.

A gateway, a Hubstation and a stand-in for the public internet host are test
hosts in namespaces of their own, answering the real /bin/ping; the music
service is a web server on port 9000. Only df is a double: this machine has
no /dev/sda1. collector-pass feeds the collector one request through the
queue, as the router does, and prints its reply.
"""

import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "appliance"))
from appliance import Appliance, TAVRIN_BIN, wait_for  # noqa: E402

COLLECTOR = TAVRIN_BIN + "/collector-pass"
# The public host the monitor pings for "internet".
INTERNET_HOST = "www.google.com"

# Real df -BG output, with the figures of a 28 GB system disk.
DF_DOUBLE = """[ "$*" = "-BG /dev/sda1 --output=used,avail" ] || exit 1
printf ' Used Avail\\n   3G   25G\\n'"""


def replies(output):
    """(complete, message) of every reply that collector-pass printed."""
    return [(m.group(1) == "true", m.group(2))
            for m in re.finditer(r"^Reply complete:(true|false) message:(.*)$", output, re.M)]


def member_order(text):
    """The document with every object as a list of (name, value) in text order."""
    return json.loads(text, object_pairs_hook=list)


class DocumentTest(unittest.TestCase):

    def test_one_request_for_everything_measures_every_member(self):
        with Appliance() as app:
            app.add_host("192.0.2.1", link="eth0", appliance_address="192.0.2.10")
            app.add_host("198.51.100.2", link="eth1", appliance_address="198.51.100.10",
                         mac="00:04:20:ab:cd:ef")
            app.add_host("203.0.113.5", link="eth2", appliance_address="203.0.113.10")
            app.run("ip route add default via 192.0.2.1", check=True)
            app.write("/etc/hosts",
                      "127.0.0.1 localhost\n::1 localhost\n203.0.113.5 %s\n" % INTERNET_HOST)
            app.write("/etc/tavrin.conf", "MASTER=000420ABCDEF\nMASTERIP=198.51.100.2\n"
                      "VERSION_TWSS=1.1\nUPDATELEVEL=2\n")
            app.double("/usr/bin/df", DF_DOUBLE)
            app.spawn("/usr/bin/python3 -m http.server 9000 --bind 127.0.0.1 --directory /tmp")
            wait_for(lambda: app.run("ss -Hltn 'sport = :9000'").stdout.strip(), 10, 0.05,
                     "music service stand-in did not listen")

            uptime_before = float(app.read("/proc/uptime").split()[0])
            result = app.run(COLLECTOR + " system,network,services", timeout=120)
            uptime_after = float(app.read("/proc/uptime").split()[0])
            self.assertEqual(0, result.returncode, result.stderr)
            [(complete, text)] = replies(result.stdout)
            self.assertTrue(complete)

            # Compact, and every object's members in byte order of their names.
            self.assertNotRegex(text, r"\s")
            document = member_order(text)
            self.assertEqual(["network", "services", "system"], [name for name, _ in document])
            network, services, system = (dict(value) for _, value in document)
            self.assertEqual(["gateway", "hubstation", "internet"], list(network))
            self.assertEqual(["cpu", "disk", "serviceTMS"], list(system))
            for host in ("gateway", "hubstation", "internet"):
                self.assertEqual(["Avg", "Loss", "Max", "Min"], [n for n, _ in network[host]], host)
                ping = dict(network[host])
                self.assertEqual(0, ping["Loss"], host)
                self.assertTrue(0 < ping["Min"] <= ping["Avg"] <= ping["Max"] < 1000, ping)
            cpu = dict(system["cpu"])
            self.assertEqual(["Avg1", "Avg15", "Avg5", "Cores", "Tasks_Running", "Tasks_Sleeping",
                              "Tasks_Total", "Tasks_Zombie", "Uptime"], list(cpu))
            cores = [line for line in app.read("/proc/cpuinfo").split("\n") if "processor" in line]
            self.assertEqual(len(cores), cpu["Cores"])
            self.assertTrue(int(uptime_before) <= cpu["Uptime"] <= uptime_after, cpu)
            self.assertGreaterEqual(cpu["Tasks_Running"], 1)
            self.assertIn('"disk":{"Free":25,"Used":3},"serviceTMS":true}', text)
            self.assertIn('"services":{"updatelevel":"2","version":"1.1"}', text)

            self.assertEqual(["Thread SysStats started",
                              "Using tavrin.conf to resolve Hubstation IP",
                              "Using Hubstation IP 198.51.100.2"], app.log())


if __name__ == "__main__":
    unittest.main()
