"""launcher_appliance.py -- a throw-away appliance made ready for the launcher.

scripts/appliance-files puts the doubles, the preference file, the web folders
and a media database in place and gives the appliance an eth0; on top of that
the monitor is replaced by a double that records its start and stays up, and
the time zone is Europe/Berlin. The launcher's standard output and error go to
files inside the appliance, so a test can read them while it runs.

    with LauncherAppliance() as app:
        launcher = app.launch()
        app.wait_out("TAVRIN START MANAGER (Step 2/3) ... ...")
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "appliance"))

from appliance import Appliance, wait_for  # noqa: E402  (re-exported)

APPLIANCE_FILES = os.path.join(HERE, "..", "scripts", "appliance-files")
BIN = "/usr/share/tavrinWS/bin"
LAUNCHER = BIN + "/launcher"
CALLS = "/var/log/appliance-doubles.log"
DATABASE = "/usr/share/tavrinWS/db/tavrinmedia"
PREFS = "/var/lib/squeezeboxserver/prefs/server.prefs"
OUT = "/tmp/launcher.out"
ERR = "/tmp/launcher.err"

# Its console output must never reach the launcher's console.
MONITOR_DOUBLE = """echo 'vigild started' >> %s
echo 'vigild trace on stdout'
echo 'vigild trace on stderr' >&2
while :; do sleep 60; done""" % CALLS


class LauncherAppliance(Appliance):
    def __init__(self, eth0="192.168.1.25/24"):
        super().__init__()
        self.eth0 = eth0

    def start(self):
        super().start()
        self.run("%s / --eth0 %s" % (os.path.abspath(APPLIANCE_FILES), self.eth0), check=True)
        self.write("/etc/timezone", "Europe/Berlin\n")
        # The real vigild is mounted read-only over the double's place.
        self.run("umount %s/vigild 2> /dev/null; true" % BIN)
        self.double(BIN + "/vigild", MONITOR_DOUBLE)

    def launch(self, arguments=""):
        """Starts the launcher; its output lands in OUT and ERR."""
        for path in (OUT, ERR):
            self.write(path, "")
        return self.spawn("%s %s > %s 2> %s" % (LAUNCHER, arguments, OUT, ERR))

    def out(self):
        return self.read(OUT)

    def err(self):
        return self.read(ERR)

    def calls(self):
        """The lines that the doubles recorded, in order."""
        return self.read(CALLS).splitlines()

    def wait_out(self, text, timeout=30):
        return wait_for(lambda: text in self.out(), timeout,
                        message="launcher did not print %r; it printed:\n%s" % (text, self.out()))

    def wait_calls(self, line, count=1, timeout=30):
        return wait_for(lambda: self.calls().count(line) >= count, timeout,
                        message="%r not recorded %d times: %s" % (line, count, self.calls()))
