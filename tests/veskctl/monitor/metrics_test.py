#!/usr/bin/env python3
"""The Prometheus metrics of veskctl against what `veskctl show --json` says of the same machine.

usage: metrics_test.py agree VESKCTL             `veskctl metrics` agrees value by value with show
       metrics_test.py promtool VESKCTL PROMTOOL  its output passes `promtool check metrics`
       metrics_test.py listen VESKCTL             so do scrapes of `monitor --metrics-listen`

Exit 77 (skipped) when veskctl was built without metrics or promtool is not installed."""
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)",?')


def parse(text):
    """{name: {frozenset(labels): value}} of a text exposition."""
    samples = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        match = SAMPLE.match(line)
        assert match, f"not a sample line: {line!r}"
        name, labels, value = match.groups()
        pairs = LABEL.findall(labels or "")
        decoded = {k: re.sub(r'\\(.)', lambda m: "\n" if m[1] == "n" else m[1], v)
                   for k, v in pairs}
        key = frozenset(decoded.items())
        assert key not in samples.setdefault(name, {}), f"series twice: {line!r}"
        samples[name][key] = float(value)
    return samples


def expected(topology):
    """The series `show --json` implies, {name: {frozenset(labels): value}}."""
    want = {}

    def put(name, labels, value):
        want.setdefault(name, {})[frozenset(labels.items())] = float(value)

    kinds = {3: "initialize", 4: "verify", 5: "verify and repair", 6: "rebuild"}
    for c in topology["controllers"]:
        put("vesk_controller_info", {"id": c["id"], "name": c["name"], "type": c["typeName"],
                                     "driver_version": c["osDriverVersion"]}, 1)
        for a in c["arrays"]:
            labels = {"id": a["id"], "name": a["name"], "controller_id": c["id"]}
            put("vesk_array_size_bytes", labels, a["totalSize"])
            put("vesk_array_free_bytes", labels, a["freeSize"])
        for v in c["volumes"]:
            labels = {"id": v["id"], "name": v["name"], "controller_id": c["id"],
                      "array_id": v["arrayId"]}
            put("vesk_volume_size_bytes", labels, v["size"])
            put("vesk_volume_state", dict(labels, state=v["stateName"]), v["state"])
            put("vesk_volume_raid_level", dict(labels, raid_level=v["raidLevelName"]),
                v["raidLevel"])
            if v["progress"] is not None:
                kind = kinds.get(v["state"], "layout change")
                put("vesk_volume_progress_ratio", dict(labels, kind=kind), v["progress"] / 100)
            put("vesk_volume_verify_errors", labels, v["verifyErrors"])
            put("vesk_volume_verify_bad_blocks", labels, v["verifyBadBlocks"])
            put("vesk_volume_data_lost", labels, 1 if v["dataLost"] else 0)
        for d in c["drives"]:
            labels = {"id": d["id"], "serial": d["serial"], "controller_id": c["id"]}
            put("vesk_drive_status", dict(labels, status=d["statusName"]), d["status"])
            put("vesk_drive_usage", dict(labels, usage=d["usageName"]), d["usage"])
            put("vesk_drive_size_bytes", labels, d["totalSize"])
    return want


def differences(samples, topology, where):
    """Every way the topology's series in `samples` differ from those of `topology`."""
    problems = []
    for name, series in expected(topology).items():
        got = samples.get(name, {})
        for labels in series.keys() - got.keys():
            problems.append(f"{where}: {name}{dict(labels)} missing")
        for labels in got.keys() - series.keys():
            problems.append(f"{where}: {name}{dict(labels)} has no element in show --json")
        for labels in series.keys() & got.keys():
            if series[labels] != got[labels]:
                problems.append(f"{where}: {name}{dict(labels)} is {got[labels]}, "
                                f"show --json says {series[labels]}")
    return problems


class Machine:
    """veskctl on a state file of its own, on the manual simulated clock."""

    def __init__(self, veskctl, folder):
        self.veskctl, self.state = veskctl, os.path.join(folder, "state.json")
        self.env = dict(os.environ, VESK_SIM_CLOCK="manual")

    def run(self, *arguments):
        result = subprocess.run([self.veskctl, "--state", self.state, *arguments],
                                capture_output=True, text=True, env=self.env)
        assert result.returncode == 0, f"veskctl {' '.join(arguments)}: {result.stderr}"
        return result.stdout

    def show(self):
        return json.loads(self.run("--json", "show"))

    def make_everything_happen(self):
        """A failed and a rebuilding volume, a missing drive, a spare, running work."""
        self.run("sim", "reset")
        self.run("remove-drive", "KN2K00004102", "--force")
        self.run("rebuild-volume", "Data", "--drives", "KN2K00004104")
        self.run("sim", "advance", "20000")


def agree(veskctl):
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        machine = Machine(veskctl, folder)
        # Like show, metrics only reads: a machine nobody saved yet is the demo, and nothing is
        # created.
        fresh = Machine(veskctl, os.path.join(folder, "nothing-here"))
        problems += differences(parse(fresh.run("metrics")), fresh.show(), "demo")
        if os.path.exists(os.path.join(folder, "nothing-here")):
            problems.append("metrics created the state file's folder")

        machine.make_everything_happen()
        samples = parse(machine.run("metrics"))
        topology = machine.show()
        problems += differences(samples, topology, "after a rebuild started")
        states = {dict(k)["state"] for k in samples.get("vesk_volume_state", {})}
        if not {"failed", "rebuilding"} <= states:
            problems.append(f"the machine was not in the states this test needs: {states}")
        health = {name: samples.get(name, {}).get(frozenset()) for name in (
            "vesk_refresh_failures_total", "vesk_refresh_duration_seconds",
            "vesk_last_successful_refresh_timestamp_seconds")}
        if not (health["vesk_refresh_failures_total"] == 0
                and health["vesk_refresh_duration_seconds"] > 0
                and health["vesk_last_successful_refresh_timestamp_seconds"] > time.time() - 600):
            problems.append(f"the refresh's health is wrong: {health}")

        # The finished rebuild leaves no progress behind.
        machine.run("wait", "Data")
        samples = parse(machine.run("metrics"))
        problems += differences(samples, machine.show(), "after the rebuild")
        if "vesk_volume_progress_ratio" in samples:
            problems.append("progress reported with no work running")
    return problems


def refused(machine, arguments, code, message):
    result = subprocess.run([machine.veskctl, "--state", machine.state, *arguments],
                            capture_output=True, text=True, env=machine.env, timeout=20)
    if (result.returncode, result.stderr) != (code, message):
        return [f"{' '.join(arguments)}: exit {result.returncode}, {result.stderr!r}; "
                f"expected exit {code}, {message!r}"]
    return []


def listen(veskctl):
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        machine = Machine(veskctl, folder)
        machine.run("sim", "reset")
        monitor = subprocess.Popen(
            [veskctl, "--state", machine.state, "monitor", "--interval", "0.1",
             "--metrics-listen", "127.0.0.1:0"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=machine.env)
        # A monitor that hangs is killed, and the test fails saying so, within a minute.
        watchdog = threading.Timer(60, monitor.kill)
        watchdog.start()
        try:
            line = monitor.stderr.readline()  # the monitor names its port first
            match = re.match(r"veskctl: serving metrics at (http://127\.0\.0\.1:(\d+)/metrics)\n",
                             line)
            if not match:
                return [f"the monitor did not say where it serves: {line!r}"]
            url, port = match[1], match[2]

            def agreed(where):
                # The monitor catches up within a tick or two; a watchdog, not a timing check.
                for _ in range(100):
                    text = urllib.request.urlopen(url, timeout=5).read().decode()
                    samples = parse(text)
                    found = differences(samples, machine.show(), where)
                    if not found:
                        return samples, []
                    time.sleep(0.1)
                return samples, found

            samples, found = agreed("first scrape")
            problems += found
            # Nothing else is served there, and nothing but reading.
            for path, method, status in (("/", "GET", 404), ("/metrics", "POST", 405)):
                try:
                    urllib.request.urlopen(urllib.request.Request(
                        url.replace("/metrics", path), method=method, data=None), timeout=5)
                    problems.append(f"{method} {path} was answered")
                except urllib.error.HTTPError as e:
                    if e.code != status:
                        problems.append(f"{method} {path}: {e.code}, expected {status}")
            machine.make_everything_happen()
            machine.run("delete-volume", "Scratch", "--force")
            samples, found = agreed("after a drive left, a rebuild started and a volume went")
            problems += found
            events = {dict(k)["kind"]: v for k, v in samples.get("vesk_events_total", {}).items()}
            for kind in ("present", "drive-missing", "job-started", "removed"):
                if events.get(kind, 0) < 1:
                    problems.append(f"no {kind} event counted: {events}")
            # The only monitor is the one that records: what it saw, it appended to the journal.
            # Its records are counted once appended, just after the look that derived them: the
            # scrape waits for them as for the topology.
            wanted = ("present", "drive-missing", "job-started", "removed")
            for _ in range(100):
                records = {dict(k)["kind"]: v for k, v in parse(
                    urllib.request.urlopen(url, timeout=5).read().decode()).get(
                        "vesk_journal_records_total", {}).items()}
                if all(records.get(kind, 0) >= 1 for kind in wanted):
                    break
                time.sleep(0.1)
            for kind in wanted:
                if records.get(kind, 0) < 1:
                    problems.append(f"no {kind} record counted: {records}")

            # A look that fails counts, keeps the time of the last success and the topology.
            with open(machine.state, "w") as f:
                f.write("not a state file")
            for _ in range(100):
                failed = parse(urllib.request.urlopen(url, timeout=5).read().decode())
                if failed["vesk_refresh_failures_total"][frozenset()] >= 1:
                    break
                time.sleep(0.1)
            time.sleep(0.3)  # more looks, all failing
            later = parse(urllib.request.urlopen(url, timeout=5).read().decode())
            success = "vesk_last_successful_refresh_timestamp_seconds"
            if (failed["vesk_refresh_failures_total"][frozenset()] < 1
                    or later[success] != failed[success]
                    or later["vesk_volume_state"] != samples["vesk_volume_state"]):
                problems.append("a failed look is not told as one: " + ", ".join(
                    f"{name} {later.get(name)}" for name in ("vesk_refresh_failures_total",
                                                             success, "vesk_volume_state")))

            problems += refused(machine, ["monitor", "--metrics-listen", f"127.0.0.1:{port}"], 1,
                                f"veskctl: cannot serve metrics at 127.0.0.1:{port} (the port is "
                                "taken, or the address is not this machine's): Address already in "
                                "use\n")
        finally:
            monitor.terminate()
            monitor.wait(timeout=10)
            watchdog.cancel()
        if monitor.returncode != 0:
            problems.append(f"the monitor ended with {monitor.returncode} on SIGTERM")
        for address in ("localhost:9842", "127.0.0.1:65536", "::1:9842", "127.0.0.1"):
            problems += refused(machine, ["monitor", "--metrics-listen", address], 2,
                                f"veskctl: --metrics-listen: '{address}' is not ADDR:PORT (an IPv4 "
                                "address, or an IPv6 address in brackets, and a port from 0 to "
                                "65535)\n")
        problems += refused(machine, ["monitor", "--once", "--metrics-listen", "127.0.0.1:0"], 2,
                            "--once excludes --metrics-listen\nRun with --help or --help-all for "
                            "more information.\n")
    return problems


def promtool(veskctl, tool):
    if not tool or not os.path.exists(tool):
        print("skipped: promtool is not installed (Debian's prometheus; scripts/setup.sh "
              "installs it)")
        sys.exit(77)
    with tempfile.TemporaryDirectory() as folder:
        machine = Machine(veskctl, folder)
        machine.make_everything_happen()
        text = machine.run("metrics")
    result = subprocess.run([tool, "check", "metrics"], input=text, capture_output=True,
                            text=True)
    return [] if result.returncode == 0 else [f"promtool: {result.stdout}{result.stderr}"]


def main():
    mode, veskctl = sys.argv[1:3]
    with tempfile.TemporaryDirectory() as folder:
        probe = subprocess.run([veskctl, "--state", os.path.join(folder, "s"), "metrics"],
                               capture_output=True, text=True)
    if "not built in" in probe.stderr:
        print(f"skipped: {probe.stderr.strip()}")
        sys.exit(77)
    problems = {"agree": agree, "listen": listen}[mode](veskctl) if mode != "promtool" else \
        promtool(veskctl, sys.argv[3])
    for problem in problems:
        print(problem)
    print(f"{len(problems)} problem(s)")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
