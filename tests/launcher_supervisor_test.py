#!/usr/bin/env python3
"""The launcher's supervisor, end to end in a throw-away appliance: restarts of
tws and the monitor, the broadcaster left alone, and SIGINT."""
# labels: threads

import re
import signal
import unittest

from launcher_appliance import BIN, CALLS, LauncherAppliance, wait_for

STAMPED_LINE = re.compile(r"^  \* TAVRIN WEB SERVICES \(TWS\): \d{4}-\d\d-\d\d_\d\d:\d\d:\d\d$")
MONITOR_LINE = "  *Monitor, Thread ID:3"
MONITOR_STOPPED = "\n## monitor stopped! ##\n"

def exits_at_once(name):
    """A double that records the moment it started and ends at once."""
    return "echo %s $(date +%%s.%%N) >> %s" % (name, CALLS)


class SupervisorTest(unittest.TestCase):
    def setUp(self):
        self.app = LauncherAppliance().__enter__()
        self.addCleanup(self.app.__exit__, None, None, None)

    def starts(self, name):
        """The moments at which the double of name started."""
        pattern = re.compile(r"^%s (\d+\.\d+)$" % name)
        return [float(m.group(1)) for m in map(pattern.match, self.app.calls()) if m]

    def test_services_that_exit_at_once_are_restarted_at_their_pace(self):
        for name in ("tws", "vigild", "beacond"):
            self.app.double("%s/%s" % (BIN, name), exits_at_once(name))
        launcher = self.app.launch()
        wait_for(lambda: len(self.starts("tws")) >= 5, 60,
                 message="tws was not started five times: %s" % self.app.calls())
        launcher.signal(signal.SIGINT)
        status, _, _ = launcher.wait()
        self.assertEqual(1, status)

        # tws: its thread pauses a second after tws ends, then the next
        # supervisor pass (every 0.4 s) starts it again. The upper bounds
        # leave room for a loaded machine.
        tws = self.starts("tws")
        for gap in (b - a for a, b in zip(tws, tws[1:])):
            self.assertGreaterEqual(gap, 0.95, tws)
            self.assertLessEqual(gap, 2.0, tws)
        # The monitor is started again on the next pass, within 0.4 s.
        monitor = self.starts("vigild")
        gaps = [b - a for a, b in zip(monitor, monitor[1:])]
        self.assertGreaterEqual(len(gaps), 2 * len(tws), monitor)
        for gap in gaps:
            self.assertGreaterEqual(gap, 0.3, monitor)
            self.assertLessEqual(gap, 1.0, monitor)
        # The broadcaster is started once and never watched.
        self.assertEqual(1, len(self.starts("beacond")))

        # One line per start: a stamped line for tws, the monitor's own line
        # and its stop message on stderr. SIGINT may land between a line and
        # its start, or between a stop and its message.
        out = self.app.out().splitlines()
        stamped = [line for line in out if line.startswith("  * TAVRIN WEB")]
        for line in stamped:
            self.assertRegex(line, STAMPED_LINE)
        self.assertIn(len(stamped) - len(tws), (0, 1))
        self.assertIn(out.count(MONITOR_LINE) - len(monitor), (0, 1))
        err = self.app.err()
        self.assertTrue(err.startswith("Services running...:\n" + MONITOR_STOPPED), err)
        self.assertEqual("", err.replace("Services running...:\n", "", 1).replace(MONITOR_STOPPED, ""))
        self.assertIn(len(monitor) - err.count(MONITOR_STOPPED), (0, 1))

    def test_sigint_with_both_services_up(self):
        launcher = self.app.launch()
        self.app.wait_calls("tws started")
        self.app.wait_calls("vigild started")
        launcher.signal(signal.SIGINT)
        status, _, _ = launcher.wait(timeout=10)
        self.assertEqual(1, status)
        self.assertTrue(self.app.out().endswith("Caught signal 2\n"), self.app.out())
        self.assertEqual(1, self.app.out().count("Caught signal"))
        self.assertEqual("Services running...:\n", self.app.err())
        # The services outlive the launcher.
        for name in ("tws", "vigild", "beacond"):
            self.assertEqual(0, self.app.run("pgrep -x %s" % name).returncode, name)

    def test_sigint_during_the_start_sequence_ends_the_launcher_at_once(self):
        self.app.double(BIN + "/zonestart", "echo zonestart >> %s\nwhile :; do sleep 60; done" % CALLS)
        launcher = self.app.launch()
        self.app.wait_calls("zonestart")
        launcher.signal(signal.SIGINT)
        status, _, _ = launcher.wait(timeout=10)
        self.assertEqual(-signal.SIGINT, status)
        self.assertNotIn("Caught signal", self.app.out())
        self.assertNotIn("TAVRIN START MANAGER (Step 3/3)", self.app.out())


if __name__ == "__main__":
    unittest.main()
