"""vigild's command line and short modes, run for real inside a throw-away appliance."""
# labels: threads

import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "appliance"))
from appliance import Appliance, wait_for  # noqa: E402

VIGILD = "/usr/share/tavrinWS/bin/vigild"
BANNER = "--- Tavrin Monitor ---"
HYPHENS = "-" * 59
HELP = ("\n\n" + HYPHENS + "\n"
        "       TAVRIN Monitor Version 1.1.1.14\n" + HYPHENS + "\n"
        "usage:\nmonitor = Start Monitor as daemon\n"
        "-p | --pipemode: Send Syslog Messages for processing\n"
        "-z | --daemon: Daemon Mode\n"
        "-o | --ondemand: command - Execute on-demand command")
UPDATE_SERVER = "update.tavrin-music.net"


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.app = Appliance().__enter__()
        self.addCleanup(self.app.close)

    def vigild(self, args, input=None):
        return self.app.run(VIGILD + " " + args, input=input)

    def test_help_is_exact_and_wins_over_later_arguments(self):
        for args in ("--help", "--help -z", "monitor --help -p"):
            result = self.vigild(args)
            self.assertEqual((0, HELP), (result.returncode, result.stdout), args)
            self.assertEqual([BANNER], self.app.log())
            self.app.remove("/var/log/tavrin/monitor.log")

    def test_daemon_mode_wins_over_later_help(self):
        daemon = self.app.spawn(VIGILD + " -z --help")
        wait_for(lambda: "Daemonizing..." in self.app.log(), message="no daemon mode")
        daemon.signal(signal.SIGINT)
        status, out, _ = daemon.wait()
        self.assertEqual(2, status)
        self.assertNotIn("usage:", out)

    def test_no_recognised_argument_logs_banner_only(self):
        for args in ("", "monitor", "-x --Help daemon"):
            result = self.vigild(args)
            self.assertEqual((0, "", ""), (result.returncode, result.stdout, result.stderr), args)
            self.assertEqual([BANNER], self.app.log(), args)
            self.app.remove("/var/log/tavrin/monitor.log")

    def test_on_demand_answers_one_line(self):
        cases = [
            ("-o --help", '{"command":"--help", "value":""}\n'),
            ("--ondemand -z", '{"command":"-z", "value":""}\n'),
            ("-o foo -p", '{"command":"foo", "value":""}\n'),
            ("monitor -o 'a \"b'", '{"command":"a "b", "value":""}\n'),
        ]
        for args, answer in cases:
            result = self.vigild(args)
            self.assertEqual((0, answer), (result.returncode, result.stdout), args)

    def test_on_demand_without_command_name_is_a_usage_error(self):
        for args in ("-o", "--ondemand", "monitor -o"):
            result = self.vigild(args)
            self.assertEqual(64, result.returncode, args)
            self.assertEqual("", result.stdout)
            self.assertIn("needs a command name", result.stderr)

    def test_pipe_mode_logs_every_line(self):
        for args in ("-p", "--pipemode", "unknown -p"):
            result = self.vigild(args, input="a\n\nb")
            self.assertEqual((0, ""), (result.returncode, result.stdout), args)
            self.assertEqual([BANNER, "a", "", "b"], self.app.log())
            self.app.remove("/var/log/tavrin/monitor.log")

    def test_log_lines_carry_local_time(self):
        with open("/usr/share/zoneinfo/Asia/Kolkata", "rb") as zone:
            self.app.write("/etc/localtime", zone.read())
        result = self.app.run("date '+%Y-%m-%d %H:%M'; " + VIGILD + " -p", input="x\n")
        now = result.stdout.strip()
        lines = self.app.read("/var/log/tavrin/monitor.log").split("\n")
        self.assertEqual(3, len(lines))
        for line, message in zip(lines, [BANNER, "x"]):
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - ")
            self.assertTrue(line.startswith(now[:13]), line + " vs " + now)
            self.assertEqual(message, line[22:])

    def test_missing_log_directory_is_not_created(self):
        self.app.remove("/var/log/tavrin")
        result = self.vigild("-p", input="lost\n")
        self.assertEqual((0, "", ""), (result.returncode, result.stdout, result.stderr))
        self.assertFalse(self.app.exists("/var/log/tavrin"))

    def test_sigint_in_pipe_mode_logs_and_exits_with_two(self):
        daemon = self.app.spawn(VIGILD + " -p", stdin=subprocess.PIPE)
        wait_for(lambda: self.app.log() == [BANNER], message="no banner")
        daemon.signal(signal.SIGINT)
        # Its input stays open: the signal alone must end pipe mode.
        daemon.popen.wait(timeout=30)
        status, out, err = daemon.wait()
        self.assertEqual((2, "", ""), (status, out, err))
        self.assertEqual([BANNER, "Close due to Signal"], self.app.log())

    # The signal lands while the main thread is in the middle of writing log
    # lines and allocating: the closing line must still come out whole.
    def test_sigint_while_logging_still_logs_whole_line(self):
        for _ in range(3):
            daemon = self.app.spawn(VIGILD + " -p", stdin=subprocess.PIPE)
            line = "x" * 300 + "\n"

            def feed():
                try:
                    while True:
                        daemon.popen.stdin.write(line * 50)
                except (BrokenPipeError, ValueError, OSError):
                    pass

            feeder = threading.Thread(target=feed, daemon=True)
            feeder.start()
            wait_for(lambda: len(self.app.log()) > 2000, message="pipe mode logs nothing")
            daemon.signal(signal.SIGINT)
            status = daemon.popen.wait(timeout=30)
            feeder.join(timeout=10)
            self.assertEqual(2, status)
            lines = self.app.read("/var/log/tavrin/monitor.log").split("\n")
            self.assertEqual("", lines[-1])
            for text in lines[:-1]:
                self.assertRegex(text, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - ")
            self.assertEqual(1, self.app.log().count("Close due to Signal"))
            self.app.remove("/var/log/tavrin/monitor.log")

    def test_testsyslog_sends_sample_to_system_log(self):
        listener = self.app.spawn(
            "/usr/bin/python3 -c \"import socket\n"
            "s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n"
            "s.bind('/dev/log')\n"
            "print(s.recv(65536).decode(), flush=True)\"")
        wait_for(lambda: self.app.exists("/dev/log"), message="no /dev/log listener")
        result = self.vigild("--testsyslog")
        self.assertEqual((0, ""), (result.returncode, result.stdout))
        _, received, _ = listener.wait()
        self.assertRegex(received, r"^<134>")
        self.assertTrue(received.rstrip("\n").endswith(
            'JSON::{"jsonsample": { "key1": "value1", "key2": {"key21":"value21", '
            '"key22":"value22"},"key3": ["value31","value32"]}}'), received)


class DownloadBandwidthTest(unittest.TestCase):
    def setUp(self):
        self.app = Appliance().__enter__()
        self.addCleanup(self.app.close)

    def test_speed_of_real_download_from_update_server(self):
        probe = tempfile.mkdtemp(prefix="update-server-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", probe]))
        os.makedirs(probe + "/preflight")
        with open(probe + "/preflight/probe", "wb") as f:
            f.write(b"\0" * 200000)
        server = self.app.add_host("198.51.100.1", "eth0", "198.51.100.10")
        server.serve_http(probe)
        self.app.write("/etc/hosts", "127.0.0.1 localhost\n198.51.100.1 %s\n" % UPDATE_SERVER)
        # wget quotes the file name with ASCII quotes in the C locale and with
        # U+2018/U+2019 under UTF-8.
        for lang in ("C", "C.UTF-8"):
            result = self.app.run(VIGILD + " -o downloadbwidth", env={"LANG": lang})
            self.assertEqual(0, result.returncode)
            self.assertRegex(result.stdout,
                             r'^\{"command":"downloadbwidth", "value":"\(\d+(\.\d+)? [KMG]?b/s\)\n"\}\n$',
                             lang)

    def test_report_lines_of_every_quoting(self):
        cases = [
            ("2026-12-11 05:18:14 (2.72 Gb/s) - '/dev/null' saved [200000/200000]", "(2.72 Gb/s)\n"),
            ("2026-12-11 05:18:14 (812 Mb/s) - \u2018/dev/null\u2019 saved [200000/200000]",
             "(812 Mb/s)\n"),
            ("2014-03-05 17:04:09 (1.50 Mb/s) - \u00bb\u00bb/dev/null\u00ab\u00ab saved [5/5]",
             "(1.50 Mb/s)\n"),
            ("Connecting to update server failed: Connection refused.", ""),
        ]
        for report, value in cases:
            self.app.double("/usr/bin/wget", "printf '%%s\\n' 'Saving to: /dev/null' >&2\n"
                            "printf '%%s\\n' \"%s\" >&2" % report.replace('"', '\\"'))
            result = self.app.run(VIGILD + " -o downloadbwidth", text=False)
            self.assertEqual(
                ('{"command":"downloadbwidth", "value":"%s"}\n' % value).encode(), result.stdout,
                report)

    def test_without_network_the_value_is_empty(self):
        result = self.app.run(VIGILD + " -o downloadbwidth")
        self.assertEqual((0, '{"command":"downloadbwidth", "value":""}\n'),
                         (result.returncode, result.stdout))


if __name__ == "__main__":
    unittest.main()
