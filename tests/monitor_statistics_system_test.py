#!/usr/bin/python3
# labels: threads
"""The collector's system and services categories in the test appliance: the
music service's port with and without a listener, load figures from the real
top (and from a double where fixed figures are needed), top missing, df with
and without figures, and the version values of /etc/tavrin.conf.

collector-pass feeds the collector one request through the queue, as the
router does, and prints its reply.
"""

import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "appliance"))
from appliance import TAVRIN_BIN, Appliance, wait_for  # noqa: E402

COLLECTOR = TAVRIN_BIN + "/collector-pass"

# top -b -n 1 of Debian 12 under LC_NUMERIC=de_DE.UTF-8, trimmed, with fixed figures.
TOP_DECIMAL_COMMA = """[ "$*" = "-b -n 1" ] || exit 1
cat <<'EOF'
top - 07:36:18 up 53 min,  0 user,  load average: 0,15, 0,10, 0,05
Tasks: 120 total,   1 running, 119 sleeping,   0 stopped,   0 zombie
%Cpu(s):  0,0 us,  0,0 sy,  0,0 ni,100,0 id,  0,0 wa,  0,0 hi,  0,0 si,  0,0 st
MiB Mem :  24105,2 total,  23397,2 free,    491,8 used,    513,0 buff/cache
MiB Swap:      0,0 total,      0,0 free,      0,0 used.  23613,4 avail Mem

    PID USER      PR  NI    VIRT    RES    SHR S  %CPU  %MEM     TIME+ COMMAND
      1 root      20   0   13964   8344   5548 S   0,0   0,0   0:00.02 python3
EOF"""

ALL_CPU_MEMBERS = ["Avg1", "Avg15", "Avg5", "Cores", "Tasks_Running", "Tasks_Sleeping",
                   "Tasks_Total", "Tasks_Zombie", "Uptime"]


def collect(app, categories, env=None):
    """(complete, document text) of the one reply to categories."""
    result = app.run(COLLECTOR + " '%s'" % categories, timeout=120, env=env)
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    match = re.search(r"^Reply complete:(true|false) message:(.*)$", result.stdout, re.M)
    return match.group(1) == "true", match.group(2)


def system_of(app, env=None):
    complete, text = collect(app, "system", env)
    if complete:
        raise AssertionError("a system-only reply must not be complete: " + text)
    return json.loads(text)["system"], text


class SystemTest(unittest.TestCase):

    def test_music_service_port_is_open_only_with_a_listener(self):
        for listening in (True, False):
            with self.subTest(listening=listening), Appliance() as app:
                if listening:
                    app.spawn("/usr/bin/python3 -m http.server 9000 --bind 127.0.0.1"
                              " --directory /tmp")
                    wait_for(lambda: app.run("ss -Hltn 'sport = :9000'").stdout.strip(), 10,
                             0.05, "music service stand-in did not listen")
                system, _ = system_of(app)
                self.assertIs(listening, system["serviceTMS"])

    def test_load_figures_from_top(self):
        def decimal_comma(app):
            app.run("localedef -i de_DE -f UTF-8 de_DE.UTF-8", check=True)
            app.double("/usr/bin/top", TOP_DECIMAL_COMMA)

        def process_named(name):
            def start(app):
                app.spawn("/usr/bin/python3 -c \"open('/proc/self/comm', 'w').write('%s');"
                          " import time; time.sleep(300)\"" % name)
                wait_for(lambda: name in app.run("ps -eo comm").stdout, 10, 0.05,
                         "no process named " + name)
            return start

        # Each case: how the appliance is prepared, the collector's environment,
        # and the cpu member expected (None: all nine members).
        cases = [
            ("decimal comma", decimal_comma, {"LC_NUMERIC": "de_DE.UTF-8"},
             '"cpu":{"Avg1":0.14999999999999999,"Avg15":0.050000000000000003,'
             '"Avg5":0.10000000000000001,"Cores":%(cores)d,"Tasks_Running":1,'
             '"Tasks_Sleeping":119,"Tasks_Total":120,"Tasks_Zombie":0,"Uptime":'),
            # Its process line adds its CPU time after the zombie count's line
            # feed: the figures still read right.
            ("command named zombie", process_named("zombie"), {}, None),
            # A wide top shows a name with blanks whole; its words add figures
            # that cannot be told from the real ones.
            ("more than seven figures", process_named("x total, zombie"), {"COLUMNS": "200"},
             '"cpu":{"Cores":%(cores)d,"Uptime":'),
            ("top missing", lambda app: app.remove("/usr/bin/top"), {}, '"cpu":-1,'),
        ]
        for name, prepare, env, expected in cases:
            with self.subTest(name), Appliance() as app:
                prepare(app)
                cores = sum(1 for line in app.read("/proc/cpuinfo").split("\n")
                            if "processor" in line)
                system, text = system_of(app, env)
                if expected is None:
                    self.assertEqual(ALL_CPU_MEMBERS, sorted(system["cpu"]))
                    self.assertEqual(0, system["cpu"]["Tasks_Zombie"])
                    self.assertEqual(cores, system["cpu"]["Cores"])
                else:
                    self.assertIn(expected % {"cores": cores}, text)

    def test_disk_figures_from_df(self):
        # /dev/sda1 does not exist here: the real df prints nothing, doubles
        # print what df would.
        cases = [
            ("real df", None, '"disk":-1'),
            ("figures", "printf ' Used Avail\\n   3G   25G\\n'", '"disk":{"Free":25,"Used":3}'),
            # awk then prints a lone blank.
            ("heading only", "printf ' Used Avail\\n'", '"disk":-1'),
            ("nothing", "exit 1", '"disk":-1'),
        ]
        for name, script, expected in cases:
            with self.subTest(name), Appliance() as app:
                if script:
                    app.double("/usr/bin/df",
                               '[ "$*" = "-BG /dev/sda1 --output=used,avail" ] || exit 1\n' +
                               script)
                _, text = system_of(app)
                self.assertIn(expected, text)

    def test_services_are_the_configured_versions(self):
        cases = [
            ("VERSION_TWSS=1.1\nUPDATELEVEL=2\n", '{"services":{"updatelevel":"2","version":"1.1"}}'),
            ("VERSION_TWSS=\nUPDATELEVEL=2=3\n", '{"services":{"updatelevel":"2","version":""}}'),
            ('VERSION_TWSS=1.1/"b"\n', '{"services":{"updatelevel":"","version":"1.1\\/\\"b\\""}}'),
        ]
        for config, expected in cases:
            with self.subTest(config=config), Appliance() as app:
                app.write("/etc/tavrin.conf", config)
                self.assertEqual((False, expected), collect(app, "services,services"))


if __name__ == "__main__":
    unittest.main()
