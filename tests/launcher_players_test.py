#!/usr/bin/env python3
"""The players' identifiers that the launcher derives from eth0's address and
writes into the media database, end to end in a throw-away appliance."""

import unittest

from launcher_appliance import DATABASE, LauncherAppliance

STEP_1 = "TAVRIN START MANAGER (Step 1/3) ...\n"
STEP_2 = "TAVRIN START MANAGER (Step 2/3) ... ...\n"

# Local players 1 to 20 and rows that must keep their identifier: a player
# that is not local, local players above 20, and a row whose islocal is not
# exactly "1".
PLAYERS = ([(n, "old", "1") for n in range(1, 21) if n != 7] +
           [(7, "old", "0"), (21, "old", "1"), (99, "old", "1"), (100, "old", "01")])
UNTOUCHED = {7, 21, 99, 100}

# Holds the media database locked until it is killed.
HOLD_LOCK = """
import sqlite3, time
db = sqlite3.connect("%s", isolation_level=None)
db.execute("BEGIN EXCLUSIVE")
print("locked", flush=True)
time.sleep(3600)
""" % DATABASE


class PlayersTest(unittest.TestCase):
    def setUp(self):
        self.app = LauncherAppliance().__enter__()
        self.addCleanup(self.app.__exit__, None, None, None)

    # The database is only ever opened by sqlite3 inside the appliance, so
    # that no path can lead SQLite to the host's own files.
    def make_database(self):
        self.app.remove(DATABASE)
        rows = ",".join("(%d, '%s', '%s')" % row for row in PLAYERS)
        self.app.run("sqlite3 %s" % DATABASE, check=True, input=(
            "CREATE TABLE Players (PK_PlayerID INTEGER PRIMARY KEY, Player_MAC TEXT, islocal TEXT);"
            "INSERT INTO Players VALUES %s;" % rows))

    def identifiers(self):
        rows = self.app.run("sqlite3 %s 'SELECT PK_PlayerID, Player_MAC FROM Players'" % DATABASE,
                            check=True).stdout.split()
        return {int(row.split("|")[0]): row.split("|")[1] for row in rows}

    def run_to_step_2(self):
        """Runs the launcher until the players are done; returns what it printed
        between the two step lines."""
        launcher = self.app.launch()
        self.app.wait_out(STEP_2)
        launcher.kill()
        out = self.app.out()
        return out[out.index(STEP_1) + len(STEP_1):out.index(STEP_2)]

    def set_eth0(self, address):
        self.app.run("ip addr flush dev eth0" + (" && ip addr add %s dev eth0" % address
                                                 if address else ""), check=True)

    def test_identifiers_from_the_address_of_eth0(self):
        for address, suffix in [("192.168.1.25/24", "25"), ("10.0.0.5/8", "05"),
                                ("192.168.1.100/24", "00")]:
            with self.subTest(address=address):
                self.make_database()
                self.set_eth0(address)
                printed = self.run_to_step_2()
                self.assertEqual("using Server IP:%s\n" % address.split("/")[0], printed)
                expected = {n: "00:00:00:11:%s:%02d" % (suffix, n)
                            for n in range(1, 21) if n not in UNTOUCHED}
                expected.update({n: "old" for n in UNTOUCHED})
                self.assertEqual(expected, self.identifiers())

    def test_older_ifconfig_form(self):
        self.app.double("/sbin/ifconfig", """cat <<'EOF'
eth0      Link encap:Ethernet  HWaddr 00:04:20:12:34:56
          inet addr:10.0.0.5  Bcast:10.0.0.255  Mask:255.0.0.0
          inet6 addr: fe80::204:20ff:fe12:3456/64 Scope:Link
          UP BROADCAST RUNNING MULTICAST  MTU:1500  Metric:1
EOF""")
        self.make_database()
        self.assertEqual("using Server IP:10.0.0.5\n", self.run_to_step_2())
        self.assertEqual("00:00:00:11:05:03", self.identifiers()[3])

    def test_no_ipv4_address_updates_nothing(self):
        cases = [
            # (what ifconfig prints, or None for the real one on an eth0 without
            #  an IPv4 address; the lines printed)
            (None, "using Server IP:\n"
                   "no IPv4 address on eth0, player identifiers left unchanged\n"),
            ("        inet 192.168.1.25\"; DROP TABLE Players; --  netmask 255.255.255.0",
             "using Server IP:192.168.1.25\";\n"
             "\"192.168.1.25\";\" is not an IPv4 address, player identifiers left unchanged\n"),
            ("        inet 192.168.1.256  netmask 255.255.255.0",
             "using Server IP:192.168.1.256\n"
             "\"192.168.1.256\" is not an IPv4 address, player identifiers left unchanged\n"),
        ]
        for ifconfig, printed in cases:
            with self.subTest(ifconfig=ifconfig):
                self.make_database()
                if ifconfig is None:
                    self.set_eth0(None)
                else:
                    self.app.double("/sbin/ifconfig", "echo '%s'" % ifconfig.replace("'", "'\\''"))
                self.assertEqual(printed, self.run_to_step_2())
                self.assertEqual({n: "old" for n, _, _ in PLAYERS}, self.identifiers())

    def test_database_failures_are_reported_per_player(self):
        # A missing file is created, empty, and then lacks the table.
        self.app.remove(DATABASE)
        self.assertEqual("using Server IP:192.168.1.25\n" +
                         "exception: no such table: Players\n" * 20, self.run_to_step_2())
        self.assertEqual("", self.app.read(DATABASE))

        self.app.remove("/usr/share/tavrinWS/db")
        self.assertEqual("using Server IP:192.168.1.25\n" +
                         "exception: unable to open database file\n" * 20, self.run_to_step_2())

        # A database that another process holds locked fails at once, player by player.
        self.app.run("mkdir -p /usr/share/tavrinWS/db", check=True)
        self.make_database()
        holder = self.app.spawn("/usr/bin/python3 -c '%s'" % HOLD_LOCK)
        self.assertEqual("locked\n", holder.popen.stdout.readline())
        self.assertEqual("using Server IP:192.168.1.25\n" +
                         "exception: database is locked\n" * 20, self.run_to_step_2())
        holder.kill()
        self.assertEqual({n: "old" for n, _, _ in PLAYERS}, self.identifiers())


if __name__ == "__main__":
    unittest.main()
