#!/usr/bin/env python3
"""Runs the built veskctl with --json the way a script would — every command for real and as a dry
run, failures and usage errors, show ELEMENT for each kind — and validates each output with a real
JSON Schema validator against docs/schema/veskctl.schema.json.

usage: json_schema_test.py VESKCTL SCHEMA"""
import json
import os
import re
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

try:
    import jsonschema
except ImportError:
    sys.exit("python3-jsonschema is missing; scripts/setup.sh installs it")

veskctl, schema_path = sys.argv[1:3]
with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)


def validator(definition):
    # The same document with another root, so that every $ref resolves in it.
    root = {key: value for key, value in schema.items() if key != "anyOf"}
    return jsonschema.Draft202012Validator(dict(root, **{"$ref": "#/$defs/" + definition}))


# Every command once for real, in an order in which each one is carried out, and what it prints.
COMMANDS = [
    "monitor --once",  # every element as present
    "show",
    "show c0a7",
    "show Array_0000 --json",  # two arrays share the name: a failure with candidates
    "show a0d0",
    "show Data",
    "show KN2K00004102",
    "create-volume --name bk --level 1 --drives KN2K00004104,KN2K00004105 --size 1T",
    "rename-volume bk bk2",
    "expand-volume bk2 1100G",
    "set-volume-cache bk2 write-back",
    "set-volume-rwh Data off",
    "initialize-volume bk2",
    "verify-volume Data --repair",
    "cancel-verify Data",
    "wait Data",  # cancelled: a failure with a result
    "change-layout System --level 0 --strip 64 --force",
    "jobs",
    "metrics",
    "wait System --timeout 1",  # timed out: a failure with a result
    "wait --all",
    "add-drives a0a7 --drives KS1A00000004",
    "sim advance 60000",
    "set-array-cache a0a7 on",
    "locate KS1A00000003 on",
    "write-cache KS1A00000003 off",
    "unmark-spare KS1A00000003",
    "mark-spare KS1A00000003",
    "mark-normal KS1A00000003",  # a normal drive: the driver refuses
    "reset-smart KS1A00000003",  # no SMART event: the driver refuses
    "clear-metadata KS1A00000003 --force",
    "set-read-patrol c0a7 on",
    "set-rohi c0d0 on",
    "delete-volume bk2 --force",
    "remove-drive KN2K00004102 --force",
    "rebuild-volume Data --drives KN2K00004104",
    "forget-drive KN2K00004102",  # removed, and its place taken
    "check",  # a failed volume, degraded ones, failed drives
    "monitor --once",  # the changes since the first: every kind of element, derived events
    "mark-volume-normal Scratch --force",  # KN2K00004104 holds none of its data
    "show Scratch",  # its data-loss mark
    "acknowledge-data-loss Scratch",
    "sim smart-event KS1A00000004",
    "sim fail-drive KS1A00000004",
    "sim pull-drive KS1A00000004",
    "sim insert-drive KS1A00000004 --blank",
    "sim media-errors Data 3 --bad-blocks 1",
    "sim reset --force",  # the volumes changed above are lost
    "jobs --history",  # the work that ended above
    "events",  # every record the runs above journaled
]
FAILURES = {"show Array_0000 --json", "wait Data", "wait System --timeout 1",
            "mark-normal KS1A00000003", "reset-smart KS1A00000003"}
# A veskctl built without prometheus-cpp refuses metrics.
if "not built in" in subprocess.run([veskctl, "--state", "/nonexistent/s", "metrics"],
                                    capture_output=True, text=True).stderr:
    FAILURES.add("metrics")
# Usage errors and refusals, each a failure object.
REFUSED = ["shwo", "create-volume --name x", "delete-volume System", "rename-volume Data \xff",
           "delete-volume f0a7a", "show nothing", "check --now"]

failures = []
ran = set()


def run(arguments, definition, ok):
    result = subprocess.run([veskctl, "--state", state, "--json"] + arguments,
                            capture_output=True)
    where = " ".join(arguments)
    try:
        document = json.loads(result.stdout.decode("utf-8"))
    except ValueError as e:
        failures.append(f"{where}: stdout is not one JSON value ({e}): {result.stdout[:200]!r}")
        return {}
    if document.get("status", {}).get("ok") is not ok:
        failures.append(f"{where}: expected ok={ok}: {json.dumps(document)[:400]}")
    for name in (definition, None):  # its own definition, then the schema as a whole
        v = validator(name) if name else jsonschema.Draft202012Validator(schema)
        for error in v.iter_errors(document):
            failures.append(f"{where}: against {name or 'the schema'}: {error.message} at "
                            f"{'/'.join(map(str, error.absolute_path))}")
    return document


def run_lines(arguments, definition):
    # JSON Lines: every line one event or record, each against its definition and the schema as a
    # whole.
    result = subprocess.run([veskctl, "--state", state, "--json"] + arguments, capture_output=True)
    where = " ".join(arguments)
    lines = result.stdout.decode("utf-8").splitlines()
    if result.returncode != 0 or not lines:
        failures.append(f"{where}: exit {result.returncode}, {len(lines)} line(s)")
    for line in lines:
        try:
            document = json.loads(line)
        except ValueError as e:
            failures.append(f"{where}: a line is not one JSON value ({e}): {line[:200]!r}")
            continue
        for v in (validator(definition), jsonschema.Draft202012Validator(schema)):
            for error in v.iter_errors(document):
                failures.append(f"{where}: {error.message} at "
                                f"{'/'.join(map(str, error.absolute_path))} in {line[:300]}")


def check(where, document, definition):
    for error in validator(definition).iter_errors(document):
        failures.append(f"{where}: {error.message} at {'/'.join(map(str, error.absolute_path))}")


def run_serve():
    # The console's answers: each against its definition, and one event from the stream.
    console = subprocess.Popen([veskctl, "--state", state, "serve"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    try:
        address = console.stdout.readline().strip()
        base, token = address.split("/?token=")
        bearer = {"Authorization": "Bearer " + token}

        def get(path, headers=bearer):
            request = urllib.request.Request(base + path, headers=headers)
            try:
                with urllib.request.urlopen(request, timeout=60) as answer:
                    return json.loads(answer.read())
            except urllib.error.HTTPError as e:
                return json.loads(e.read())

        check("serve /api/topology", get("/api/topology"), "consoleTopology")
        check("serve /api/session", get("/api/session"), "consoleSession")
        check("serve /api/journal", get("/api/journal?limit=5"), "consoleJournal")
        check("serve /api/commands", get("/api/commands"), "consoleCommandTable")
        check("serve without the token", get("/api/topology", {}), "failure")
        csrf = get("/api/session")["csrf"]
        request = urllib.request.Request(
            base + "/api/commands", method="POST",
            data=json.dumps({"argv": ["delete-volume", "Data"], "dryRun": True}).encode(),
            headers=dict(bearer, **{"Content-Type": "application/json", "Origin": base,
                                    "X-Vesk-Token": csrf}))
        with urllib.request.urlopen(request, timeout=120) as answer:
            check("serve POST /api/commands dryRun", json.loads(answer.read()), "consoleDryRun")
        with urllib.request.urlopen(urllib.request.Request(base + "/api/events?after=0",
                                                           headers=bearer), timeout=60) as stream:
            line = ""
            while not line.startswith("data: "):
                line = stream.readline().decode()
            check("serve /api/events", json.loads(line[len("data: "):]), "journalRecord")
    except (OSError, ValueError) as e:
        failures.append(f"serve: {e}")
    finally:
        console.terminate()
        try:
            console.wait(timeout=30)
        except subprocess.TimeoutExpired:
            console.kill()
    ran.add("serve")


with tempfile.TemporaryDirectory() as folder:
    state = os.path.join(folder, "state.json")
    run_serve()
    # The console's watcher left what it knew; the first `monitor --once` below starts from nothing
    # and reports every element as present.
    os.remove(state + ".journal.last-known")
    run(["--help"], "help", True)
    run(["--version"], "version", True)
    for text in REFUSED:
        run(text.split(" "), "failure", False)
    for text in COMMANDS:
        arguments = text.split(" ")
        name = arguments[0]
        ran.add(name)
        if name in ("monitor", "events"):
            run_lines(arguments, name)
            continue
        if name == "wait":  # waits for nothing, and says for what it would
            run(["--dry-run"] + arguments, "waitDryRun", True)
        elif name not in ("show", "jobs", "metrics", "check"):  # they change nothing
            run(["--dry-run"] + arguments, "dryRun", text not in FAILURES)
        run(arguments, "failure" if text in FAILURES else name, text not in FAILURES)

    # Starting over loses the volume made since: the dry run says so, and without --force the
    # reset is refused with the same losses.
    run(["create-volume", "--name", "gone", "--level", "1", "--drives",
         "KN2K00004104,KN2K00004105"], "create-volume", True)
    predicted = run(["--dry-run", "sim", "reset"], "dryRun", True).get("prediction", {})
    refused = run(["sim", "reset"], "failure", False).get("status", {})
    if not any('"gone"' in loss for loss in predicted.get("losses", [])):
        failures.append(f"sim reset: the dry run does not lose the new volume: {predicted}")
    if refused.get("losses") != predicted.get("losses"):
        failures.append(f"sim reset: refused with other losses than predicted: {refused}")
    run(["sim", "reset", "--force"], "sim", True)

    # A command killed after it acted, before its record (strace kills it as it takes the
    # journal's lock): the next command journals it with the outcome unknown. Only a native
    # veskctl takes that lock with flock(2); under Wine the lock is the wineserver's.
    with open(veskctl, "rb") as program:
        native = program.read(4) == b"\x7fELF"
    try:
        if not native:
            raise FileNotFoundError("not a native veskctl")
        subprocess.run(["strace", "-f", "-qq", "-o", os.devnull, "-P", state + ".journal.lock",
                        "-e", "trace=flock", "-e", "inject=flock:signal=KILL:when=1",
                        veskctl, "--state", state, "rename-volume", "Data", "Data9"],
                       capture_output=True, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        traced = True
    except FileNotFoundError:
        print("no record of outcome unknown: " + ("strace is missing (scripts/setup.sh installs it)"
                                                  if native else "veskctl runs under Wine"))
        traced = False
    if traced:
        run(["sim", "advance", "1"], "sim", True)
        result = subprocess.run([veskctl, "--state", state, "--json", "events", "--kind", "command"],
                                capture_output=True, text=True)
        unknown = [line for line in result.stdout.splitlines()
                   if json.loads(line)["command"]["outcome"] == "unknown"]
        if len(unknown) != 1:
            failures.append(f"a killed command: {len(unknown)} record(s) of outcome unknown")
        for line in unknown:
            for v in (validator("journalRecord"), jsonschema.Draft202012Validator(schema)):
                for error in v.iter_errors(json.loads(line)):
                    failures.append(f"a killed command: {error.message} at "
                                    f"{'/'.join(map(str, error.absolute_path))} in {line[:300]}")

    # A verification that found errors: jobs shows what it found, and wait ends with a failure
    # that holds its result.
    demo = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "simulator",
                        "topologies", "demo.json")
    with open(demo, encoding="utf-8") as f:
        topology = json.load(f)
    topology["controllers"][1]["volumes"][0].update(latentErrors=7, latentBadBlocks=2)
    topology_path = os.path.join(folder, "errors.json")
    with open(topology_path, "w", encoding="utf-8") as f:
        json.dump(topology, f)
    run(["sim", "reset", "--topology", topology_path], "sim", True)
    run(["verify-volume", "Data"], "verify-volume", True)
    run(["sim", "advance", "600000"], "sim", True)
    run(["jobs"], "jobs", True)
    run(["wait", "Data"], "failure", False)
    for words in ("add ann", "list", "remove ann", "list"):
        run(["console-user"] + words.split(), "console-user", True)
    run(["console-user", "remove", "ann"], "failure", False)
    ran.add("console-user")
    # On Windows status answers (exit 2: not installed); elsewhere it fails, as every service
    # command does. tests/veskctl/service/service_wine_test.py runs the others.
    answer = subprocess.run([veskctl, "--json", "service", "status"], capture_output=True)
    windows = json.loads(answer.stdout.decode("utf-8")).get("status", {}).get("ok", False)
    run(["service", "status"], "service" if windows else "failure", windows)
    ran.add("service")

    # Every command veskctl offers has its definition and was run above.
    help_text = subprocess.run([veskctl, "--help"], capture_output=True, text=True).stdout
    offered = set(re.findall(r"^  ([a-z][a-z-]+) ", help_text.split("Subcommands:")[1], re.M))
    for name in sorted(offered - ran):
        failures.append(f"command {name} was not run here")
    for name in sorted(offered - set(schema["$defs"])):
        failures.append(f"command {name} has no definition in the schema")

for failure in failures:
    print(failure)
print(f"{len(failures)} problem(s)")
sys.exit(1 if failures else 0)
