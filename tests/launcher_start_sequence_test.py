#!/usr/bin/env python3
"""The launcher's start sequence, end to end in a throw-away appliance: its
console, the files it writes, the command lines it runs and their order."""

import datetime
import re
import signal
import unittest

from launcher_appliance import BIN, CALLS, PREFS, LauncherAppliance, wait_for

HYPHENS = "-" * 59
PAGE = ("<!DOCTYPE html><html><head><meta http-equiv=\"content-type\" content=\"text/html; "
        "charset=UTF-8\"><title>Tavrin Music Server</title><style type='text/css'>html, body "
        "{height: 100%; }.parent { width: 100%; height: 100%; display: table; text-align: "
        "center; }.parent > .child { display: table-cell; vertical-align: middle; }</style>"
        "</head><body><section class=\"parent\"><div class=\"child\">Tavrin Music Server<br>"
        "Status: running</div></section></body></html>")
STEP_1 = "TAVRIN START MANAGER (Step 1/3) ...\n"

SEQUENCE_OUTPUT = (
    "\n\n" + HYPHENS + "\n"
    "       TAVRIN START MANAGER Version 1.1.01.07\n" + HYPHENS + "\n"
    "getting ready ...\n"
    "using language: DE from Timezone: Europe/Berlin\n" + STEP_1 +
    "using Server IP:192.168.1.25\n"
    "TAVRIN START MANAGER (Step 2/3) ... ...\n"
    "Querying Outputs, starting our internal Outputmanager:\n"
    "\n"
    "zonestart: outputs ready\n"
    "TAVRIN START MANAGER (Step 3/3) ... ... ...\n")

# Stand-ins that record how they were called and succeed, so that every
# forced kill after "&&" runs too.
RECORDING_KILLERS = {
    "/usr/bin/killall": "echo \"killall $*\" >> %s" % CALLS,
    "/usr/bin/pkill": "echo \"pkill $*\" >> %s" % CALLS,
}


class StartSequenceTest(unittest.TestCase):
    def test_console_files_and_commands_up_to_the_services(self):
        with LauncherAppliance() as app:
            for path, script in RECORDING_KILLERS.items():
                app.double(path, script)
            app.double(BIN + "/zonestart", "echo zonestart >> %s\necho 'zonestart: outputs ready'"
                       % CALLS)
            app.write("/var/www/versions.txt", "left from the last boot\n" * 3)
            app.write("/usr/share/squeezeboxserver/HTML/Default/index.html", "the music server's own page\n")
            app.write(PREFS, "---\nlanguage: EN\nlibrarylanguage: EN\n  language: EN\n"
                             "language: FR\nlanguage:EN\n")
            app.run("echo 30 > /proc/sys/net/ipv4/tcp_fin_timeout", check=True)

            # Arguments change nothing.
            launcher = app.launch("--daemon -z extra")
            wait_for(lambda: "Services running" in app.err(), 40, message="sequence did not end")
            app.wait_calls("tws started")
            app.wait_calls("vigild started")
            app.wait_out("tws: web services up")
            launcher.signal(signal.SIGINT)
            status, _, _ = launcher.wait()

            out = app.out()
            self.assertEqual(SEQUENCE_OUTPUT, out[:len(SEQUENCE_OUTPUT)])
            rest = out[len(SEQUENCE_OUTPUT):].splitlines()
            self.assertEqual("Caught signal 2", rest.pop())
            self.assertEqual(1, status)
            # The two services start on the supervisor's first pass; tws talks
            # to the console, the monitor's chatter is discarded.
            stamp = [line for line in rest if line.startswith("  * TAVRIN WEB SERVICES (TWS): ")]
            self.assertEqual(1, len(stamp), rest)
            self.assertStampIsNow(stamp[0][len("  * TAVRIN WEB SERVICES (TWS): "):])
            self.assertCountEqual([stamp[0], "  *Monitor, Thread ID:3", "tws: web services up"], rest)
            self.assertEqual("Services running...:\n", app.err())

            calls = app.calls()
            self.assertEqual(1, calls.count("beacond started"), calls)
            calls.remove("beacond started")  # in the background: its moment is its own
            self.assertEqual([
                "killall tws", "pkill -SIGKILL -f tws",
                "killall beacond",
                "tavrinmediaserver stop", "pkill -SIGKILL -f squeezeboxserver",
                "killall vigild", "pkill -SIGKILL -f vigild",
                "avahi-daemon restart",
                "tavrinmediaserver start",
                "zonestart"], calls[:10])
            self.assertCountEqual(["tws started", "vigild started"], calls[10:])

            self.assertEqual("-- actual info since boot --\nStart Manager Daemon: 1.1.01.07\n",
                             app.read("/var/www/versions.txt"))
            page = app.read("/usr/share/squeezeboxserver/HTML/Default/index.html")
            self.assertEqual(449, len(PAGE))
            self.assertEqual(PAGE + "\n", page)
            self.assertEqual("---\nlanguage: DE\nlibrarylanguage: EN\n  language: EN\n"
                             "language: DE\nlanguage:EN\n", app.read(PREFS))
            self.assertEqual("60\n", app.read("/proc/sys/net/ipv4/tcp_fin_timeout"))

    def assertStampIsNow(self, stamp):
        self.assertRegex(stamp, r"^\d{4}-\d\d-\d\d_\d\d:\d\d:\d\d$")
        then = datetime.datetime.strptime(stamp, "%Y-%m-%d_%H:%M:%S")
        self.assertLess(abs((datetime.datetime.now() - then).total_seconds()), 120, stamp)

    def test_language_from_the_time_zone_file(self):
        cases = [
            # (contents of /etc/timezone or None for no file, text read, language)
            ("Europe/Vienna\n", "Europe/Vienna", "DE"),
            ("Europe/Stockholm", "Europe/Stockholm", "NO"),  # no newline at the end
            ("Europe/Berlin\nEurope/Paris\n", "Europe/Paris", "FR"),  # only the last line counts
            ("Europe/Berlin Europe/Rome\n", "Europe/Berlin Europe/Rome", "IT"),
            ("America/New_York\n", "America/New_York", "EN"),
            (None, "", "EN"),
        ]
        with LauncherAppliance() as app:
            for contents, text, language in cases:
                with self.subTest(timezone=contents):
                    app.write(PREFS, "language: XX\n")
                    if contents is None:
                        app.remove("/etc/timezone")
                    else:
                        app.write("/etc/timezone", contents)
                    launcher = app.launch()
                    app.wait_out(STEP_1)
                    launcher.kill()
                    self.assertIn("getting ready ...\nusing language: %s from Timezone: %s\n%s"
                                  % (language, text, STEP_1), app.out())
                    self.assertEqual("language: %s\n" % language, app.read(PREFS))

    def test_missing_web_folders_do_not_stop_the_sequence(self):
        with LauncherAppliance() as app:
            app.remove("/var/www")
            app.remove("/usr/share/squeezeboxserver/HTML")
            launcher = app.launch()
            app.wait_out("TAVRIN START MANAGER (Step 2/3) ... ...\n")
            launcher.kill()
            self.assertIn("getting ready ...\nCouldn't open index.html for 9000.\n"
                          "using language: DE", app.out())
            self.assertFalse(app.exists("/var/www"))
            self.assertFalse(app.exists("/usr/share/squeezeboxserver/HTML"))

    def test_stale_copies_of_every_service_are_stopped(self):
        with LauncherAppliance() as app:
            # Their output goes nowhere: a killed double's orphaned sleep
            # would otherwise hold the test's pipe open.
            stale = {name: app.spawn(command + " > /dev/null 2>&1") for name, command in [
                ("tws", BIN + "/tws"),
                ("beacond", BIN + "/beacond"),
                ("vigild", BIN + "/vigild -z"),
            ]}
            app.run("/etc/init.d/tavrinmediaserver start", check=True)
            for name in stale:
                app.wait_calls(name + " started")
            music_server = app.read("/var/lib/squeezeboxserver/squeezeboxserver.pid").strip()

            launcher = app.launch()
            app.wait_out(STEP_1)
            for name, process in stale.items():
                wait_for(lambda: process.popen.poll() is not None, 10,
                         message="stale %s still runs" % name)
            wait_for(lambda: not app.exists("/proc/%s" % music_server), 10,
                     message="stale music server still runs")
            # Its own kills by pattern must not reach the launcher itself.
            app.wait_out("TAVRIN START MANAGER (Step 3/3) ... ... ...\n")
            self.assertIsNone(launcher.popen.poll())
            launcher.kill()


if __name__ == "__main__":
    unittest.main()
