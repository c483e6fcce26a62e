"""appliance.py -- a throw-away Tavrin appliance for tests.

The programs use fixed paths (/etc/tavrin.conf, /var/log/tavrin, /usr/share/tavrinWS,
/bin/ping ...). An Appliance runs the real, built binaries where those paths exist
only for it: private mount, PID and network namespaces (unshare, as root), with
/etc, /var and /usr as overlays whose changes land in a temporary folder and vanish
with it. Nothing a test does reaches the host's /etc, /var or /usr, and killall or
pkill inside reach only the appliance's own processes.

    with Appliance() as app:
        app.write("/etc/tavrin.conf", "MASTERIP=192.0.2.2\\n")
        app.double("/usr/bin/top", "echo ' load average: 0.15, 0.10, 0.05'")
        gateway = app.add_host("192.0.2.1", link="eth0", appliance_address="192.0.2.10")
        result = app.run("/usr/share/tavrinWS/bin/vigild --help")
        daemon = app.spawn("/usr/share/tavrinWS/bin/vigild -z")

The built programs (APPLIANCE_BIN, default build/bin) are mounted read-only at
/usr/share/tavrinWS/bin. Test hosts are network namespaces of their own, joined
to the appliance by a veth pair; they answer pings and may serve files over HTTP.
Run as a script, `appliance.py run -- CMD...` runs one command inside a fresh
appliance and exits with its status.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BIN = os.environ.get("APPLIANCE_BIN", os.path.join(HERE, "..", "..", "build", "bin"))
TAVRIN_BIN = "/usr/share/tavrinWS/bin"
LOG = "/var/log/tavrin/monitor.log"
PYTHON = "/usr/bin/python3"

# What a command inside sees of the environment: nothing of the caller's but
# the sanitizer settings.
BASE_ENV = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": "/root", "LANG": "C", "TERM": "dumb"}
PASSED_ENV = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS")

# Runs as PID 1 of the appliance once the mounts are made: it reaps orphans,
# so that no zombie shows in top's task counts.
INIT = """
import os, sys, time
print("ready", flush=True)
while True:
    try:
        os.waitpid(-1, 0)
    except ChildProcessError:
        time.sleep(0.2)
"""

SETUP = """
set -e
for d in etc var usr dev; do
  mkdir -p "$T/$d/up" "$T/$d/work"
  mount -t overlay overlay -o "lowerdir=/$d,upperdir=$T/$d/up,workdir=$T/$d/work" "/$d"
done
# A private /tmp; the checkout (and with it the built programs) may itself live
# under /tmp, so it is opened first and mounted back at its own path.
exec 3<"$REPO" 4<"$BIN"
mount -t tmpfs tmpfs /tmp
for keep in 3:"$REPO" 4:"$BIN"; do
  case ${{keep#*:}} in /tmp/*)
    [ -d "${{keep#*:}}" ] && continue
    mkdir -p "${{keep#*:}}"
    mount --no-canonicalize --bind "/proc/self/fd/${{keep%%:*}}" "${{keep#*:}}" ;;
  esac
done
exec 3<&- 4<&-
mkdir -p /var/log/tavrin {bin}
mount -t tmpfs tmpfs {bin}
for f in "$BIN"/*; do
  [ -f "$f" ] && [ -x "$f" ] || continue
  touch "{bin}/${{f##*/}}"
  mount --bind -o ro "$f" "{bin}/${{f##*/}}"
done
# No name server: look-ups of names missing from /etc/hosts fail at once and
# send nothing anywhere.
echo "nameserver 127.0.0.1" > /etc/resolv.conf.appliance
rm -f /etc/resolv.conf && mv /etc/resolv.conf.appliance /etc/resolv.conf
printf '127.0.0.1 localhost\\n::1 localhost\\n' > /etc/hosts
ip link set lo up
exec {python} -c "$INIT"
""".format(bin=TAVRIN_BIN, python=PYTHON)


def wait_for(condition, timeout=10.0, interval=0.05, message="condition not met"):
    """Polls condition() until it returns something true; returns that value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("%s (after %.1f s)" % (message, timeout))
        time.sleep(interval)


def _child_of(pid):
    """The host PID of the (single) child process of pid, or None."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        if int(fields[1]) == pid:
            return int(entry)
    return None


class Process:
    """A command started inside the appliance with Appliance.spawn."""

    def __init__(self, popen):
        self.popen = popen
        self._pid = None

    @property
    def pid(self):
        """Host PID of the command itself (nsenter's child, which exec'd it)."""
        if self._pid is None:
            self._pid = wait_for(lambda: _child_of(self.popen.pid), 5, 0.01,
                                 "spawned command did not start")
        return self._pid

    def signal(self, signo):
        os.kill(self.pid, signo)

    def wait(self, timeout=30):
        """Waits for the end; returns (status, stdout, stderr)."""
        out, err = self.popen.communicate(timeout=timeout)
        return self.popen.returncode, out, err

    def kill(self):
        if self.popen.poll() is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except (OSError, AssertionError):
                self.popen.kill()
        try:
            self.popen.communicate(timeout=10)
        except (subprocess.TimeoutExpired, ValueError):
            self.popen.kill()


class Host:
    """A test host: a network namespace of its own, linked to the appliance."""

    def __init__(self, address):
        self.address = address
        self.popen = subprocess.Popen(["unshare", "--net", "--", PYTHON, "-c",
                                       "import time\nprint('ready', flush=True)\n"
                                       "while True: time.sleep(3600)"],
                                      stdout=subprocess.PIPE, text=True)
        # Until unshare has made the namespace, the PID is still in the host's:
        # nothing may be done to it before "ready".
        if self.popen.stdout.readline().strip() != "ready":
            raise RuntimeError("test host did not start")
        self.pid = self.popen.pid
        self.servers = []

    def run(self, command):
        return subprocess.run(["nsenter", "-t", str(self.pid), "-n", "--", "sh", "-c", command],
                              check=True, capture_output=True, text=True)

    def serve_http(self, directory, port=80):
        """Serves directory over HTTP on port; returns once it listens."""
        server = subprocess.Popen(
            ["nsenter", "-t", str(self.pid), "-n", "--", PYTHON, "-m", "http.server", str(port),
             "--bind", self.address, "--directory", directory],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.servers.append(server)
        wait_for(lambda: self.run("ss -Hltn 'sport = :%d'" % port).stdout.strip(), 10, 0.05,
                 "HTTP server on the test host did not start")

    def close(self):
        for p in self.servers + [self.popen]:
            p.kill()
            p.wait()
        self.popen.stdout.close()


class Appliance:
    """One throw-away appliance; use it as a context manager."""

    def __init__(self):
        self.dir = None
        self.holder = None
        self.pid = None
        self.hosts = []
        self.processes = []

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="appliance-")
        env = {"PATH": BASE_ENV["PATH"], "T": self.dir, "BIN": os.path.realpath(BIN),
               "REPO": os.path.realpath(os.path.join(HERE, "..", "..")), "INIT": INIT}
        self.holder = subprocess.Popen(
            ["unshare", "--mount", "--pid", "--net", "--fork", "--mount-proc",
             "--propagation", "private", "--kill-child", "--", "/bin/sh", "-c", SETUP],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.holder.stdout.readline()
        if line.strip() != "ready":
            self.holder.kill()
            raise RuntimeError("appliance did not start: " + line + self.holder.stderr.read())
        self.pid = _child_of(self.holder.pid)

    def close(self):
        for p in self.processes:
            p.kill()
        for h in self.hosts:
            h.close()
        if self.holder:
            # Killing PID 1 of the appliance ends every process inside it.
            if self.pid:
                try:
                    os.kill(self.pid, signal.SIGKILL)
                except OSError:
                    pass
            self.holder.kill()
            self.holder.wait()
            self.holder.stdout.close()
            self.holder.stderr.close()
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    # --- files -------------------------------------------------------------
    # Every path is resolved inside the appliance (nsenter), never through
    # /proc/PID/root: an absolute symlink there (/etc/localtime ->
    # /usr/share/zoneinfo/...) would be followed into the host's own files.

    def _files(self, script, path, input=None, text=False):
        return subprocess.run(["nsenter", "-t", str(self.pid), "-m", "--", "/bin/sh", "-c",
                               script, "sh", path], input=input, capture_output=True,
                              text=text)

    def write(self, path, text, mode=0o644):
        """Puts a file at path, replacing whatever is there (a symlink too)."""
        data = text.encode() if isinstance(text, str) else text
        result = self._files('mkdir -p "$(dirname "$1")" && rm -f "$1" && cat > "$1" && '
                             'chmod %o "$1"' % mode, path, input=data)
        if result.returncode != 0:
            raise OSError("cannot write %s: %s" % (path, result.stderr.decode()))

    def double(self, path, script):
        """Puts a shell-script test double at path."""
        self.write(path, "#!/bin/sh\n" + script + "\n", 0o755)

    def read(self, path):
        result = self._files('cat "$1"', path)
        if result.returncode != 0:
            raise OSError("cannot read %s: %s" % (path, result.stderr.decode()))
        return result.stdout.decode(errors="replace")

    def exists(self, path):
        return self._files('test -e "$1" || test -L "$1"', path).returncode == 0

    def remove(self, path):
        self.run("rm -rf '%s'" % path, check=True)

    def log(self):
        """The messages of the monitor's log, without their time stamps."""
        text = self._files('cat "$1" 2>/dev/null', LOG).stdout.decode(errors="replace")
        messages = []
        for line in text.split("\n")[:-1]:
            match = re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - (.*)$", line, re.S)
            messages.append(match.group(1) if match else line)
        return messages

    # --- processes ---------------------------------------------------------

    def _command(self, command, env):
        full_env = dict(BASE_ENV)
        full_env.update({k: os.environ[k] for k in PASSED_ENV if k in os.environ})
        full_env.update(env or {})
        return (["nsenter", "-t", str(self.pid), "-m", "-p", "-n", "--", "env", "-i"] +
                ["%s=%s" % kv for kv in full_env.items()] + ["/bin/sh", "-c", command])

    def run(self, command, input=None, timeout=120, env=None, check=False, text=True):
        """Runs a shell command line inside and waits for it."""
        return subprocess.run(self._command(command, env), input=input, timeout=timeout,
                              capture_output=True, check=check, text=text)

    def spawn(self, command, env=None, stdin=subprocess.DEVNULL, text=True):
        """Starts a shell command line inside; "exec" makes the program the process."""
        popen = subprocess.Popen(self._command("exec " + command, env), stdin=stdin,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=text)
        process = Process(popen)
        self.processes.append(process)
        return process

    # --- network -----------------------------------------------------------

    def add_host(self, address, link, appliance_address, mac=None, prefix=24):
        """A test host at address, joined to the appliance's interface link, on
        which the appliance gets appliance_address. mac sets the host's hardware
        address."""
        host = Host(address)
        self.hosts.append(host)
        peer = "peer0"
        subprocess.run(["nsenter", "-t", str(host.pid), "-n", "--", "ip", "link", "add", peer,
                        "type", "veth", "peer", "name", link, "netns", str(self.pid)], check=True)
        mac_setting = " && ip link set %s address %s" % (peer, mac) if mac else ""
        host.run("ip link set lo up%s && ip addr add %s/%d dev %s && ip link set %s up" %
                 (mac_setting, address, prefix, peer, peer))
        self.run("ip addr add %s/%d dev %s && ip link set %s up" %
                 (appliance_address, prefix, link, link), check=True)
        return host


def main(argv):
    if len(argv) < 3 or argv[1] != "run" or argv[2] != "--":
        sys.stderr.write("usage: appliance.py run -- COMMAND [ARG...]\n")
        return 64
    with Appliance() as app:
        command = " ".join("'%s'" % a.replace("'", "'\\''") for a in argv[3:])
        result = subprocess.run(app._command("exec " + command, None))
        return result.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
