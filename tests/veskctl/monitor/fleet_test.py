#!/usr/bin/env python3
"""A fleet end to end: two simulated machines, each with `veskctl monitor --metrics-listen`,
Prometheus scraping both with the shipped alert rules, and Alertmanager routing to a webhook
receiver in this process. A drive failed on the second machine reaches the receiver as that
machine's alert, and is resolved once the rebuild ended and the drive was replaced.

usage: fleet_test.py VESKCTL

Prometheus and Alertmanager run the configurations shipped in docs/monitoring/ with only their
intervals, targets, ports and receiver changed. Exit 77 (skipped) when Prometheus, Alertmanager or
PyYAML is not installed, or veskctl was built without metrics."""
import http.server
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from datetime import datetime

try:
    import yaml
except ImportError:
    yaml = None

DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "docs",
                    "monitoring")
PROMETHEUS, ALERTMANAGER = "/usr/bin/prometheus", "/usr/bin/prometheus-alertmanager"
FAILED = "KS1A00000002"  # a member of the RAID 1 "System"; the controller has a spare
FAILED_ID = "5a7a0000-0000-4000-8000-000000000001"
WAIT = 60  # seconds any one condition may take on a loaded machine
END = time.monotonic() + 240  # and all of them together, well within ctest's time-out


class Failure(Exception):
    pass


def skip(why):
    print(f"skipped: {why}")
    sys.exit(77)


def wait_for(what, condition, timeout=WAIT):
    """condition()'s first true value, polled; Failure naming `what` after `timeout` seconds."""
    deadline = min(time.monotonic() + timeout, END)
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"no {what} within {timeout} s")
        time.sleep(0.2)


def get_json(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        return json.load(response)


class Processes:
    """Everything the test starts, each in a process group of its own, stopped whatever happens."""

    def __init__(self, folder):
        self.folder, self.started = folder, []

    def start(self, name, command, env=None):
        log = open(os.path.join(self.folder, f"{name}.log"), "w+")
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT, env=env, start_new_session=True)
        self.started.append((name, process, log))
        return process, log

    def stop(self):
        for _, process, _ in self.started:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
        for name, process, log in self.started:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
            log.close()

    def logs(self):
        for name, _, log in self.started:
            log.seek(0)
            print(f"--- {name}\n{log.read()[-3000:]}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(processes, name, command_for_port, ready_path):
    """Start a server on a free loopback port, again on another should someone take it first;
    its port once it answers `ready_path`."""
    for _ in range(3):
        port = free_port()
        process, log = processes.start(name, command_for_port(port))

        def ready():
            if process.poll() is not None:
                return "exited"
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}{ready_path}", timeout=2):
                    return "ready"
            except (urllib.error.URLError, OSError):
                return None

        if wait_for(f"answer of {name}", ready) == "ready":
            return port
        log.seek(0)
        if "address already in use" not in log.read():
            raise Failure(f"{name} ended at its start (exit {process.returncode})")
    raise Failure(f"{name} found no free port")


class Receiver(http.server.ThreadingHTTPServer):
    """The webhook receiver: every notification Alertmanager posts, with when it came."""

    def __init__(self):
        self.notifications, self.lock = [], threading.Lock()
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                with receiver.lock:
                    receiver.notifications.append((time.monotonic(), self.path, body))
                self.send_response(200)
                self.end_headers()

            def log_message(self, *_):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def alerts(self, status=None, since=0):
        """(time, path, receiver, alert) of every alert posted since `since`, of that status."""
        with self.lock:
            return [(at, path, body["receiver"], alert) for at, path, body in self.notifications
                    for alert in body["alerts"]
                    if at >= since and (status is None or alert["status"] == status)]


class Machine:
    """A simulated machine of its own state file, on the manual clock, and its monitor."""

    def __init__(self, veskctl, folder, name):
        self.veskctl, self.name = veskctl, name
        self.state = os.path.join(folder, f"{name}.json")
        self.env = dict(os.environ, VESK_SIM_CLOCK="manual")

    def run(self, *arguments):
        result = subprocess.run([self.veskctl, "--state", self.state, *arguments],
                                capture_output=True, text=True, env=self.env, timeout=WAIT)
        if result.returncode != 0:
            raise Failure(f"veskctl {' '.join(arguments)} on {self.name}: exit "
                          f"{result.returncode}, {result.stderr.strip()}")
        return result.stdout

    def start_monitor(self, processes):
        process, log = processes.start(
            f"monitor-{self.name}",
            [self.veskctl, "--state", self.state, "monitor", "--interval", "0.2",
             "--metrics-listen", "127.0.0.1:0"], env=self.env)

        def port():
            log.seek(0)
            found = re.search(r"serving metrics at http://127\.0\.0\.1:(\d+)/metrics", log.read())
            if not found and process.poll() is not None:
                raise Failure(f"the monitor of {self.name} ended (exit {process.returncode})")
            return found and int(found[1])

        return wait_for(f"metrics address from the monitor of {self.name}", port)


def load_yaml(name):
    with open(os.path.join(DOCS, name)) as f:
        return yaml.safe_load(f)


def prometheus_config(folder, monitors, alertmanager_port):
    """The shipped prometheus.yml, scraping and evaluating every second, the monitors as its
    targets (each machine's name as its instance), this Alertmanager, the shipped rules."""
    config = load_yaml("prometheus.yml")
    config["global"].update(scrape_interval="1s", evaluation_interval="1s")
    config["rule_files"] = [os.path.join(DOCS, rule) for rule in config["rule_files"]]
    config["alerting"]["alertmanagers"][0]["static_configs"] = [
        {"targets": [f"127.0.0.1:{alertmanager_port}"]}]
    for job in config["scrape_configs"]:  # no exporter here: only the monitors are scraped
        job["static_configs"] = [
            {"targets": [f"127.0.0.1:{port}"], "labels": {"instance": name}}
            for name, port in monitors.items()] if job["job_name"] == "vesk-monitor" else []
    path = os.path.join(folder, "prometheus.yml")
    with open(path, "w") as f:
        json.dump(config, f)  # JSON is YAML
    return path


def alertmanager_config(folder, receiver_url):
    """The shipped alertmanager.yml, sending at once to the receiver of this test."""
    config = load_yaml("alertmanager.yml")
    config["route"].update(group_wait="1s", group_interval="1s")
    (receiver,) = config["receivers"]
    (webhook,) = receiver["webhook_configs"]
    if webhook.get("send_resolved") is not True:
        raise Failure("the shipped alertmanager.yml does not send resolved alerts")
    webhook["url"] = receiver_url
    path = os.path.join(folder, "alertmanager.yml")
    with open(path, "w") as f:
        json.dump(config, f)
    return path


def prometheus_alerts(port):
    """(alertname, instance, state) of every alert Prometheus holds, pending or firing."""
    alerts = get_json(f"http://127.0.0.1:{port}/api/v1/alerts")["data"]["alerts"]
    return {(a["labels"]["alertname"], a["labels"].get("instance"), a["state"]) for a in alerts}


def fleet(veskctl, folder, processes):
    machines = {name: Machine(veskctl, folder, name) for name in ("machine-a", "machine-b")}
    for machine in machines.values():
        machine.run("sim", "reset")
    monitors = {name: m.start_monitor(processes) for name, m in machines.items()}
    receiver = Receiver()
    receiver_url = f"http://127.0.0.1:{receiver.server_address[1]}/vesk"
    am_config = alertmanager_config(folder, receiver_url)
    am_port = serve(processes, "alertmanager", lambda port: [
        ALERTMANAGER, f"--config.file={am_config}",
        f"--storage.path={os.path.join(folder, 'alertmanager')}",
        f"--web.listen-address=127.0.0.1:{port}", "--cluster.listen-address="], "/-/ready")
    prom_config = prometheus_config(folder, monitors, am_port)
    prom_port = serve(processes, "prometheus", lambda port: [
        PROMETHEUS, f"--config.file={prom_config}",
        f"--storage.tsdb.path={os.path.join(folder, 'prometheus')}",
        f"--web.listen-address=127.0.0.1:{port}"], "/-/ready")
    prom = f"http://127.0.0.1:{prom_port}"

    # Both machines scraped, and the rules evaluated over what was scraped: a healthy fleet.
    def both_scraped():
        query = urllib.parse.quote("count by (instance) (vesk_drive_status)")
        result = get_json(f"{prom}/api/v1/query?query={query}")["data"]["result"]
        return {r["metric"]["instance"] for r in result} == set(machines) and time.time()

    scraped = wait_for("scrape of both machines", both_scraped)

    def evaluated():
        groups = get_json(f"{prom}/api/v1/rules")["data"]["groups"]
        return all(g["lastEvaluation"] and parse_time(g["lastEvaluation"]) > scraped + 1
                   for g in groups)

    wait_for("evaluation of the rules after the first scrapes", evaluated)
    # Not even while Prometheus started, before its first scrapes: a restart pages no one.
    query = urllib.parse.quote(
        'count by (alertname, instance) (count_over_time(ALERTS{alertstate="firing"}[1h]))')
    raised = [r["metric"] for r in get_json(f"{prom}/api/v1/query?query={query}")["data"]["result"]]
    if raised:
        raise Failure(f"a healthy fleet raised alerts: {raised}")

    # The drill: a member of machine-b's RAID 1 fails; the controller's spare takes its place.
    drill = time.monotonic()
    machines["machine-b"].run("sim", "fail-drive", FAILED)

    def drive_alert():
        return [a for _, _, _, a in receiver.alerts("firing", drill)
                if a["labels"]["alertname"] == "VeskDriveFailed"]

    alerts = wait_for("VeskDriveFailed at the receiver", drive_alert)
    print(f"drill to receiver: {time.monotonic() - drill:.1f} s")
    want = {"alertname": "VeskDriveFailed", "instance": "machine-b", "job": "vesk-monitor",
            "severity": "critical", "serial": FAILED, "id": FAILED_ID, "status": "failed",
            "controller_id": "c0a7a000-0000-4000-8000-000000000001"}
    summary = f"Drive {FAILED} ({FAILED_ID}) on machine-b is not normal: failed"
    for alert in alerts:
        if alert["labels"] != want:
            raise Failure(f"the alert's labels are {alert['labels']}, expected {want}")
        if alert["annotations"]["summary"] != summary:
            raise Failure(f"the alert's summary is {alert['annotations']['summary']!r}")

    # The volume is rebuilding onto the spare: not redundant, which VeskVolumeDegraded says after
    # a minute of it. Within this test's time it is pending, for machine-b only.
    wait_for("VeskVolumeDegraded pending for machine-b", lambda: (
        "VeskVolumeDegraded", "machine-b", "pending") in prometheus_alerts(prom_port))

    # The rebuild ends; the failed drive is pulled, a new one put in its bay and made the spare.
    repair = time.monotonic()
    b = machines["machine-b"]
    b.run("sim", "advance", "61000")
    b.run("sim", "pull-drive", FAILED)
    new = re.search(r"Inserted drive (\S+)\.", b.run("sim", "insert-drive", FAILED, "--blank"))[1]
    b.run("forget-drive", FAILED)
    b.run("mark-spare", new)
    b.run("check")

    def resolved():
        return [a for _, _, _, a in receiver.alerts("resolved", repair)
                if a["labels"]["alertname"] == "VeskDriveFailed"]

    alerts = wait_for("resolution of VeskDriveFailed at the receiver", resolved)
    print(f"repair to resolution: {time.monotonic() - repair:.1f} s")
    for alert in alerts:
        if alert["labels"] != want:
            raise Failure(f"the resolved alert's labels are {alert['labels']}, expected {want}")
    wait_for("the end of every alert in Prometheus", lambda: not prometheus_alerts(prom_port))

    # Only machine-b's alerts ever fired, to the shipped receiver, at the URL given it: its drive,
    # and its volume only if this machine was so slow that the rebuild outlasted the minute.
    fired = {(a["labels"]["alertname"], a["labels"].get("instance"), path, name)
             for _, path, name, a in receiver.alerts("firing")}
    fired.discard(("VeskVolumeDegraded", "machine-b", "/vesk", "vesk-operators"))
    if fired != {("VeskDriveFailed", "machine-b", "/vesk", "vesk-operators")}:
        raise Failure(f"fired: {sorted(fired, key=str)}")


def parse_time(text):
    """Seconds since the epoch of Prometheus' RFC 3339 time (nanoseconds cut to microseconds)."""
    text = re.sub(r"(\.\d{6})\d*", r"\1", text.replace("Z", "+00:00"))
    return datetime.fromisoformat(text).timestamp()


def main():
    veskctl = sys.argv[1]
    for tool, package in ((PROMETHEUS, "prometheus"), (ALERTMANAGER, "prometheus-alertmanager")):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (Debian's {package}; scripts/setup.sh installs it)")
    if yaml is None:
        skip("PyYAML is not installed (Debian's python3-yaml; scripts/setup.sh installs it)")
    with tempfile.TemporaryDirectory() as folder:
        probe = subprocess.run([veskctl, "--state", os.path.join(folder, "s"), "metrics"],
                               capture_output=True, text=True)
        if "not built in" in probe.stderr:
            skip(probe.stderr.strip())
        processes = Processes(folder)
        try:
            fleet(veskctl, folder, processes)
        except Failure as failure:
            processes.logs()
            print(f"FAILED: {failure}")
            sys.exit(1)
        except Exception:
            processes.logs()
            raise
        finally:
            processes.stop()
    print("the drill's alert reached the receiver for its machine only, and was resolved")


if __name__ == "__main__":
    main()
