"""vigild -z as a whole: the statistics directory check, the port already
taken, SIGINT, run for real inside a throw-away appliance."""
# labels: threads

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vigild_fixture import Appliance, Daemon, PORT, VIGILD  # noqa: E402

STATS_DIR = "/usr/share/tavrinWS/stats"
CHECK = "Check and Create Stats Directory"
CREATING = "Stats Directory does not exist, creating"
FAILED = "Could not create stats dir"
DAEMONIZING = "Daemonizing..."

# Holds port 7081 inside the appliance, the way another server would.
PORT_HOLDER = ("/usr/bin/python3 -c 'import socket, time\n"
               "s = socket.socket(socket.AF_INET6)\n"
               "s.bind((\"::\", %d)); s.listen()\n"
               "print(\"listening\", flush=True)\n"
               "time.sleep(3600)'" % PORT)


class PortTakenTest(unittest.TestCase):
    """With the port held by another program the router thread ends at once,
    which makes daemon mode a short run: each case is one whole start."""

    @classmethod
    def setUpClass(cls):
        cls.app = Appliance().__enter__()
        holder = cls.app.spawn(PORT_HOLDER)
        assert holder.popen.stdout.readline() == "listening\n"

    @classmethod
    def tearDownClass(cls):
        cls.app.close()

    def start(self):
        self.app.remove("/var/log/tavrin/monitor.log")
        return self.app.run(VIGILD + " -z", timeout=60)

    def test_statistics_directory_cases(self):
        def prepare_dir():
            self.app.run("mkdir -p %s" % STATS_DIR, check=True)

        def prepare_missing():
            self.app.remove(STATS_DIR)

        def prepare_file():
            self.app.remove(STATS_DIR)
            self.app.write(STATS_DIR, "not a directory")

        def prepare_dangling_link():
            self.app.remove(STATS_DIR)
            self.app.run("ln -s /nowhere/at/all %s" % STATS_DIR, check=True)

        cases = [
            ("directory present", prepare_dir, 0, [CHECK, DAEMONIZING], True),
            ("directory missing", prepare_missing, 0, [CHECK, CREATING, DAEMONIZING], True),
            ("plain file", prepare_file, 1, [CHECK, CREATING, FAILED], False),
            ("dangling link", prepare_dangling_link, 1, [CHECK, CREATING, FAILED], False),
        ]
        for name, prepare, status, log_start, started in cases:
            with self.subTest(name):
                prepare()
                result = self.start()
                self.assertEqual(status, result.returncode, result.stderr[-2000:])
                self.assertNotRegex(result.stderr, "Sanitizer|runtime error:")
                log = self.app.log()
                self.assertEqual(["--- Tavrin Monitor ---"] + log_start, log[:len(log_start) + 1])
                if started:
                    self.assertIn("Thread Router started", log)
                    # The router ends, and with it daemon mode.
                    lines = result.stdout.split("\n")
                    self.assertIn("libwebsocket init failed", lines)
                    self.assertEqual(["Exit with Status 0", ""], lines[-2:])
                    listing = self.app.run("stat -c %%F %s && ls -A %s" % (STATS_DIR, STATS_DIR))
                    self.assertEqual("directory\n", listing.stdout)  # and empty
                else:
                    self.assertEqual(log_start, log[1:])  # no thread was started
                    self.assertEqual("", result.stdout)

    def test_created_directory_has_group_write(self):
        self.app.remove(STATS_DIR)
        result = self.app.run("umask 002 && exec " + VIGILD + " -z", timeout=60)
        self.assertEqual(0, result.returncode)
        self.assertEqual("775\n", self.app.run("stat -c %%a %s" % STATS_DIR).stdout)


class InterruptTest(unittest.TestCase):
    def test_sigint_ends_a_serving_daemon_with_status_2(self):
        with Daemon() as daemon:
            daemon.wait_listening()
            client = daemon.raw_client()
            daemon.wait_out("^Client connection established$")
            daemon.process.signal(signal.SIGINT)
            status, _, _ = daemon.process.wait()
            self.assertEqual(2, status)
            # Not necessarily the last line: the collector may still log while
            # the process ends (long enough under ThreadSanitizer for passes).
            self.assertIn("Close due to Signal", daemon.app.log())
            self.assertNotIn("Exit with Status", daemon.out())
            self.assertEqual([], daemon.sanitizer_reports())
            client.close()


if __name__ == "__main__":
    unittest.main()
