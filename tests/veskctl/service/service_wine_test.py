#!/usr/bin/env python3
"""veskctl.exe's Windows service under Wine's own service control manager, the way an
administrator uses it: install, start, a drill seen in the journal and by the --program given at
install, stop, uninstall, and each refusal with its message and exit code. Every wait is bounded.

usage: service_wine_test.py VESKCTL_WINE    (scripts/test.sh's wrapper: wine veskctl.exe --simulate,
                                            in the Wine prefix $WINEPREFIX)"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

wrapper = sys.argv[1]
prefix = os.environ["WINEPREFIX"]
wine_env = dict(os.environ, WINEDEBUG="-all")
failures = []
SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\veskctl"


def veskctl(*arguments):
    result = subprocess.run([wrapper, *arguments], capture_output=True, timeout=120)
    return (result.returncode, result.stdout.decode("utf-8", "replace").replace("\r", ""),
            result.stderr.decode("utf-8", "replace").replace("\r", ""))


def expect(what, got, wanted):
    if got != wanted:
        failures.append(f"{what}: got {got!r}, expected {wanted!r}")


def refused(arguments, code, message):
    got = veskctl(*arguments)
    expect(" ".join(arguments), (got[0], got[2]), (code, "veskctl: " + message + "\n"))


def status():
    code, out, _ = veskctl("--json", "service", "status")
    return code, json.loads(out)["service"]


def source_registered():
    return subprocess.run(["wine", "reg", "query", SOURCE_KEY], env=wine_env,
                          capture_output=True, timeout=60).returncode == 0


def console_answers(port):
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=10)
    except urllib.error.HTTPError:
        pass  # an answer all the same
    except OSError:
        return False
    return True


def until(what, condition, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.5)
    failures.append(f"{what}: not within {seconds} s")
    return False


# Wine ends its services once no other program runs in the prefix, and starts the auto-start
# ones whenever the prefix starts: a program that waits on its input keeps the prefix up for the
# whole test. The prefix's own processes (services.exe) start from wineboot, with no pipe of ours
# to hold open.
def boot():
    subprocess.run(["wine", "wineboot"], env=wine_env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=True)


boot()  # a prefix made afresh is made before the session starts in it
session = subprocess.Popen(["wine", "cmd"], env=wine_env, stdin=subprocess.PIPE,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
boot()
with tempfile.TemporaryDirectory() as folder:
    state = os.path.join(folder, "machine.json")
    delivered = os.path.join(folder, "delivered.txt")
    program = os.path.join(folder, "page.cmd")
    # A page program as a .cmd, which Windows runs through cmd.exe: it appends its words.
    with open(program, "w", newline="\r\n") as f:
        f.write(f"@echo %*>>\"Z:{delivered.replace('/', chr(92))}\"\n")
    not_installed = "service: vesk-monitor is not installed (veskctl service install installs it)"

    if status() != (2, {"name": "vesk-monitor", "installed": False}):
        sys.exit("vesk-monitor is installed in this prefix already: the test needs a fresh one")
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        port = free.getsockname()[1]
    code, out, err = veskctl("--state", state, "--lock-timeout", "0", "service", "install",
                             "--program", program,
                             "--interval", "0.5", "--failure-reminder", "60", "--syslog",
                             "--console", "--port", str(port))
    # Wine's service control manager lacks three of the hardening settings.
    expect("install", (code, err), (0, "".join(
        f"veskctl: warning: this system does not take the service's {what} (error 124): the "
        "service runs without it\n" for what in ("recovery on failure exits", "privileges",
                                                 "service SID"))))
    refused(["--state", state, "service", "install", "--syslog"], 2,
            "service: vesk-monitor is installed already (veskctl service uninstall removes it)")
    expect("the event source is registered", source_registered(), True)

    code, service = status()
    expect("status after install", (code, service["state"], service["since"]), (0, "stopped", None))
    line = service["commandLine"]
    for part in ("veskctl.exe --simulate --state ",
                 "machine.json --lock-timeout 0 service run --interval 0.5 ",
                 f"--failure-reminder 60 --syslog --console --port {port}", "--program Z:"):
        if part not in line:
            failures.append(f"the command line {line!r} lacks {part!r}")

    expect("start", veskctl("service", "start")[:2], (0, "Started vesk-monitor.\n"))
    refused(["service", "start"], 2, "service: vesk-monitor is running already")
    code, service = status()
    expect("status when running", (code, service["state"]), (0, "running"))
    if not (service.get("since") or "").endswith("Z"):
        failures.append(f"status names no start time: {service}")

    until("the console inside the service answers", lambda: console_answers(port))
    # A drill on the same machine, through the same prefix: the service's monitor records it and
    # runs the program.
    expect("the drill", veskctl("--state", state, "sim", "fail-drive", "KS1A00000004")[0], 0)

    def journaled():
        code, out, _ = veskctl("--state", state, "--json", "events")
        return code == 0 and any(json.loads(record).get("kind") == "drive-failed"
                                 for record in out.splitlines() if record.strip())

    until("the drill in the journal", journaled)
    until("the drill delivered to the program", lambda: os.path.exists(delivered) and
          "drive-failed" in open(delivered, encoding="utf-8", errors="replace").read())

    expect("stop", veskctl("service", "stop")[:2], (0, "Stopped vesk-monitor.\n"))
    refused(["service", "stop"], 2, "service: vesk-monitor is not running")
    expect("the console ended with the service", console_answers(port), False)
    expect("status after stop", status()[1]["state"], "stopped")
    expect("uninstall", veskctl("service", "uninstall")[:2], (0, "Uninstalled vesk-monitor.\n"))
    expect("the event source is removed", source_registered(), False)
    refused(["service", "uninstall"], 2, not_installed)
    refused(["service", "start"], 2, not_installed)
    refused(["service", "stop"], 2, not_installed)
    refused(["service", "run"], 2, "service run is for the service control manager, which starts "
            "it: use veskctl service start, or veskctl monitor to follow the machine here")

    # A monitor that cannot start (its journal's folder is a file) stops the service with its own
    # exit code.
    broken = os.path.join(program, "machine.json")
    expect("install on a state file that cannot be",
           veskctl("--state", broken, "service", "install")[0], 0)
    refused(["service", "start"], 1, "service: vesk-monitor did not start: it is stopped (exit code "
            "1; veskctl monitor with the same options says why)")
    expect("uninstall after the failed start", veskctl("service", "uninstall")[0], 0)

session.stdin.close()
session.wait(timeout=60)
subprocess.run(["wineserver", "-k"], env=wine_env, timeout=60)
for failure in failures:
    print(failure)
print(f"{len(failures)} problem(s)")
sys.exit(1 if failures else 0)
