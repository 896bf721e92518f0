#!/usr/bin/env python3
"""The console's HTTP answers, with a plain HTTP client against a real `veskctl serve` on the
simulated machine: every guard refuses what it is there to refuse (and nothing changes), the
answers carry their headers, and a destructive command needs the confirmation of its own dry run.

usage: console_api_test.py VESKCTL"""
import fcntl
import http.client
import json
import os
import resource
import select
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

VESKCTL = os.environ.get("VESKCTL") or (sys.argv.pop(1) if len(sys.argv) > 1 else "veskctl")


class Console:
    def __init__(self, folder, *arguments, env=None, preexec_fn=None):
        self.state = os.path.join(folder, "s.json")
        self.process = subprocess.Popen(
            [VESKCTL, "--simulate", "--state", self.state, "serve", *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=dict(os.environ, **(env or {})), preexec_fn=preexec_fn)
        line = self.process.stdout.readline().strip()
        if not line:
            raise RuntimeError("serve printed no address: " + self.process.stderr.read())
        self.base, self.token = line.split("/?token=")
        self.host = self.base[len("http://"):]
        self.csrf = self.get("/api/session")[1]["csrf"]

    def stop(self):
        self.process.terminate()
        self.returncode = self.process.wait(timeout=30)
        self.process.stdout.close()
        self.process.stderr.close()

    def ask(self, method, path, body=None, headers=None, auth=True):
        connection = http.client.HTTPConnection(self.host, timeout=120)
        sent = {"Host": self.host}
        if auth:
            sent["Authorization"] = "Bearer " + self.token
        sent.update(headers or {})
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in sent.items():
            connection.putheader(name, value)
        data = body.encode() if isinstance(body, str) else body
        if data is not None:
            connection.putheader("Content-Length", str(len(data)))
        connection.endheaders(data)
        answer = connection.getresponse()
        raw = answer.read()
        connection.close()
        try:
            document = json.loads(raw)
        except ValueError:
            document = raw.decode("utf-8", "replace")
        return answer, document

    def get(self, path, **kw):
        answer, document = self.ask("GET", path, **kw)
        return answer.status, document, answer

    def post(self, body, headers=None, path="/api/commands", **kw):
        sent = {"Content-Type": "application/json", "Origin": self.base, "X-Vesk-Token": self.csrf}
        sent.update(headers or {})
        sent = {k: v for k, v in sent.items() if v is not None}
        answer, document = self.ask("POST", path, json.dumps(body), sent, **kw)
        return answer.status, document

    def sign_in(self, token=None):
        """Opens the address with a token, as a browser does; answers the session's cookie."""
        status, document, answer = self.get("/?token=" + (token or self.token), auth=False)
        assert status == 303, document
        return answer.getheader("Set-Cookie").split(";")[0]

    def as_session(self, cookie):
        """The request headers of a page of that session, with the session's own CSRF value."""
        csrf = self.get("/api/session", auth=False, headers={"Cookie": cookie})[1]["csrf"]
        return {"Cookie": cookie, "X-Vesk-Token": csrf}

    def connect(self):
        host, port = self.host.rsplit(":", 1)
        s = socket.create_connection((host, int(port)))
        s.settimeout(30)
        return s

    def stream(self):
        """An open event stream of a signed-in client, once its first bytes came."""
        s = self.connect()
        s.sendall(f"GET /api/events HTTP/1.1\r\nHost: {self.host}\r\n"
                  f"Authorization: Bearer {self.token}\r\n\r\n".encode())
        received = b""
        while b"retry: 1000" not in received:
            piece = s.recv(4096)
            if not piece:
                raise AssertionError("the stream ended: " + received.decode())
            received += piece
        return s

    def status(self, path="/api/session", cookie=None, token=None):
        """The status of a page of the session whose cookie is given, or of a bearer's request."""
        sent = {"Cookie": cookie} if cookie else {"Authorization": "Bearer " + (token or self.token)}
        return self.get(path, auth=False, headers=sent)[0]

    def cli(self, *arguments):
        result = subprocess.run([VESKCTL, "--simulate", "--state", self.state, "--json", *arguments],
                                capture_output=True, text=True, timeout=120)
        return json.loads(result.stdout)

    def volumes(self):
        return sorted(v["name"] for c in self.cli("show")["controllers"] for v in c["volumes"])


def children(pid):
    """The processes `pid` started and that still run (or have ended unwaited), with their
    arguments."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) != pid:
                continue
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                found[int(entry)] = (fields[0], f.read().split(b"\0"))
        except (OSError, IndexError, ValueError):
            continue
    return found


def everything(s):
    """What a connection receives until the server closes it."""
    received = b""
    while True:
        piece = s.recv(65536)
        if not piece:
            return received.decode("utf-8", "replace")
        received += piece


def sockets(pid):
    """How many sockets the process holds open."""
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            count += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
        except OSError:
            pass
    return count


def wait_for(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.01)
    raise AssertionError("timed out waiting for " + what)


class MachineLock:
    """The simulated machine's lock (the state file's STATE.lock), held by the test: every veskctl
    that would read or change the machine waits for it."""

    def __init__(self, state):
        self.file = open(state + ".lock", "a+")

    def take(self):
        fcntl.flock(self.file, fcntl.LOCK_EX)

    def give(self):
        fcntl.flock(self.file, fcntl.LOCK_UN)


def swap_volume_names(state, a, b):
    """What another administrator's two renames do, written as the holder of the machine's lock
    writes it."""
    with open(state) as f:
        saved = json.load(f)
    machine = json.loads(saved["machine"])

    def walk(node):
        if isinstance(node, dict):
            if node.get("name") in (a, b) and "level" in node:
                node["name"] = b if node["name"] == a else a
            for value in node.values():
                walk(value)
        elif isinstance(node, list):
            for value in node:
                walk(value)
    walk(machine)
    saved["machine"] = json.dumps(machine, indent=2)
    with open(state + ".swap", "w") as f:
        json.dump(saved, f)
    os.replace(state + ".swap", state)


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.console = Console(self.folder.name)
        self.addCleanup(self.folder.cleanup)
        self.addCleanup(self.console.stop)

    def refused(self, status, document, code, message):
        self.assertEqual(status, code, document)
        self.assertEqual(document["status"]["ok"], False)
        self.assertIn(message, document["status"]["message"])

    def test_every_guard_refuses_and_nothing_changes(self):
        c = self.console
        delete = {"argv": ["rename-volume", "Data", "Stolen"], "dryRun": False}
        self.refused(*c.get("/api/topology", auth=False)[:2], 401, "not signed in")
        self.refused(*c.get("/api/topology", auth=False,
                            headers={"Authorization": "Bearer " + "0" * 64})[:2], 401, "not signed in")
        self.refused(*c.get("/?token=" + "0" * 64, auth=False)[:2], 401, "not this console's")
        self.refused(*c.get("/api/topology", headers={"Host": "attacker.example:80"})[:2], 403,
                     "names no address of this console")
        self.refused(*c.post(delete, headers={"Host": "attacker.example"}), 403,
                     "names no address of this console")
        self.refused(*c.post(delete, headers={"Origin": "http://attacker.example"}), 403,
                     "from another site")
        self.refused(*c.post(delete, headers={"Origin": None}), 403, "from another site")
        self.refused(*c.post(delete, headers={"X-Vesk-Token": None}), 403, "X-Vesk-Token")
        self.refused(*c.post(delete, headers={"X-Vesk-Token": "0" * 40}), 403, "X-Vesk-Token")
        self.refused(*c.post(delete, auth=False), 401, "not signed in")
        # The command table is all a GET gets, whatever it carries.
        status, table, _ = c.get("/api/commands?argv=rename-volume&argv=Data")
        self.assertEqual(status, 200)
        commands = {command["name"]: command for command in table["commands"]}
        self.assertNotIn("monitor", commands)
        self.assertEqual(commands["sim fail-drive"]["path"], ["sim", "fail-drive"])
        create = commands["create-volume"]
        name = next(o for o in create["options"] if o["name"] == "--name")
        self.assertEqual((name["required"], name["flag"]), (True, False))
        self.assertIn("--initialize", [o["name"] for o in create["options"] if o["flag"]])
        answer, document = c.ask("PUT", "/api/commands", json.dumps(delete),
                                 {"Origin": c.base, "X-Vesk-Token": c.csrf})
        self.refused(answer.status, document, 405, "GET and POST only")
        answer, document = c.ask("POST", "/api/topology", "{}",
                                 {"Origin": c.base, "X-Vesk-Token": c.csrf,
                                  "Content-Type": "application/json"})
        self.refused(answer.status, document, 405, "takes GET only")
        big = dict(delete, pad="x" * (65 * 1024))
        self.refused(*c.post(big), 413, "larger than 65536 bytes")
        self.refused(*c.post(delete, headers={"Content-Type": "text/plain"}), 415, "must be JSON")
        self.refused(*c.post(dict(delete, argv=["rename-volume", "Data", "X", "--force"])), 400,
                     "sets --force itself")
        self.refused(*c.post({"argv": ["monitor"]}), 400, "does not run 'monitor'")
        self.refused(*c.post({"argv": ["--system", "monitor"]}), 400, "does not run 'monitor'")
        for body in ({"argv": []}, {"argv": "delete-volume Data"}, ["delete-volume"]):
            self.refused(*c.post(body), 400, 'the body must be {"argv": ["command", ...]')
        self.refused(*c.post({"argv": ["delete-volume", 7]}), 400,
                     "every argument must be a string of at most 4096 bytes")
        self.refused(*c.post({"argv": ["show"] * 65}), 400, "at most 64 arguments")
        self.refused(*c.post({"argv": ["show"], "dryRun": "yes"}), 400, "true or false")
        self.assertEqual(c.volumes(), ["Data", "Scratch", "System"])
        journal = c.get("/api/journal?limit=5000")[1]["records"]
        self.assertEqual([r for r in journal if r["kind"] == "command"], [])

    def test_answers_carry_their_headers_and_no_cors(self):
        c = self.console
        for path, auth in (("/api/topology", True), ("/api/topology", False), ("/nowhere", True)):
            _, _, answer = c.get(path, auth=auth, headers={"Origin": "http://attacker.example"})
            self.assertEqual(answer.getheader("Content-Security-Policy"),
                             "default-src 'self'; frame-ancestors 'none'")
            self.assertEqual(answer.getheader("X-Content-Type-Options"), "nosniff")
            self.assertEqual(answer.getheader("Cache-Control"), "no-store")
            self.assertEqual(answer.getheader("Referrer-Policy"), "no-referrer")
            self.assertIsNone(answer.getheader("Access-Control-Allow-Origin"))
        answer, _ = c.ask("OPTIONS", "/api/commands", headers={"Origin": "http://attacker.example"})
        self.assertEqual(answer.status, 405)
        self.assertIsNone(answer.getheader("Access-Control-Allow-Origin"))

    def test_requests_are_read_as_http_says(self):
        c = self.console
        # Two requests on one connection, a query decoded, a large header taken and a larger
        # refused.
        c.cli("rename-volume", "Scratch", "Temp")
        c.cli("rename-volume", "Temp", "Scratch")  # two records at least
        connection = http.client.HTTPConnection(c.host, timeout=60)
        bearer = {"Authorization": "Bearer " + c.token}
        for limit in ("%32", "1"):
            connection.request("GET", "/api/journal?limit=" + limit, headers=bearer)
            answer = connection.getresponse()
            self.assertEqual(len(json.loads(answer.read())["records"]), int(limit[-1]))
        connection.close()
        self.assertEqual(c.get("/api/session", headers={"X-Pad": "x" * 12000})[0], 200)
        status, document, _ = c.get("/api/session", headers={"X-Pad": "x" * 17000})
        self.refused(status, document, 431, "the request's header is too large")

    def test_the_token_opens_a_session_and_never_leaves_the_server(self):
        c = self.console
        port = c.host.rsplit(":", 1)[1]
        status, _, answer = c.get("/?token=" + c.token, auth=False)
        self.assertEqual((status, answer.getheader("Location")), (303, "/"))
        cookie = answer.getheader("Set-Cookie")
        self.assertRegex(cookie, f"^vesk_session_{port}=[0-9a-f]{{64}}; Path=/; HttpOnly; "
                                 "SameSite=Strict$")
        session = cookie.split(";")[0]
        status, document, answer = c.get("/api/session", auth=False, headers={"Cookie": session})
        self.assertEqual(status, 200)
        self.assertNotIn(c.token, cookie + json.dumps(document) + str(answer.getheaders()))
        # What a page of another service on this host could send: the token itself under any
        # cookie name, or another port's console's cookie.
        for planted in (f"vesk_session={c.token}", f"vesk_session_{port}={c.token}",
                        "vesk_session_1=" + session.split("=")[1]):
            self.refused(*c.get("/api/topology", auth=False, headers={"Cookie": planted})[:2],
                         401, "not signed in")
        # Every cookie of the console's name counts: one planted before it locks nobody out.
        self.assertEqual(c.status(cookie=f"vesk_session_{port}={'0' * 64}; other=1; {session}"), 200)
        # Each session has its CSRF value, and a bearer another.
        page, other = c.as_session(session), c.as_session(c.sign_in())
        self.assertEqual(len({page["X-Vesk-Token"], other["X-Vesk-Token"], c.csrf}), 3)
        dry = {"argv": ["rename-volume", "Data", "Old"], "dryRun": True}
        self.assertEqual(c.post(dry, headers=page, auth=False)[0], 200)
        self.refused(*c.post(dry, headers=dict(page, **{"X-Vesk-Token": other["X-Vesk-Token"]}),
                             auth=False), 403, "X-Vesk-Token")
        # Signing out ends that session only, and the browser drops its cookie.
        answer, document = c.ask("POST", "/api/sign-out", "", dict(page, Origin=c.base),
                                 auth=False)
        self.assertEqual((answer.status, document), (200, {"signedIn": False}))
        self.assertEqual(answer.getheader("Set-Cookie"),
                         f"vesk_session_{port}=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0")
        self.refused(*c.get("/api/topology", auth=False, headers={"Cookie": session})[:2], 401,
                     "not signed in")
        self.assertEqual(c.status(cookie=other["Cookie"]), 200)

        # The sign-in form, from this console's pages only.
        def form(body, **headers):
            sent = dict({"Origin": c.base, "X-Vesk-Token": None}, **headers)
            return c.post(body, sent, path="/api/sign-in", auth=False)
        self.refused(*form({"token": "0" * 64}), 401, "the token is not this console's")
        self.refused(*form({"token": c.token}, Origin="http://attacker.example"), 403,
                     "from another site")
        self.refused(*form({"token": 7}), 400, 'the body must be {"token": "TOKEN"}')
        self.refused(*form({"token": c.token}, **{"Content-Type": "text/plain"}), 415,
                     "the body must be JSON")
        self.refused(*c.get("/api/sign-out")[:2], 405, "/api/sign-out takes POST only")
        self.refused(*c.get("/api/sign-in")[:2], 405, "/api/sign-in takes POST only")
        answer, document = c.ask("POST", "/api/sign-in", json.dumps({"token": c.token}),
                                 {"Origin": c.base, "Content-Type": "application/json"},
                                 auth=False)
        self.assertEqual((answer.status, sorted(document)), (200, ["csrf", "user", "version"]))
        self.assertEqual(c.status(cookie=answer.getheader("Set-Cookie").split(";")[0]), 200)

    def test_sessions_are_bounded_and_the_least_recently_used_goes(self):
        c = self.console
        connection = http.client.HTTPConnection(c.host, timeout=60)

        def sign_in():
            connection.request("GET", "/?token=" + c.token, headers={"Host": c.host})
            answer = connection.getresponse()
            answer.read()
            return answer.getheader("Set-Cookie").split(";")[0]
        first, second = sign_in(), sign_in()
        for _ in range(998):
            sign_in()
        self.assertEqual(c.status(cookie=first), 200)
        sign_in()  # the 1001st
        connection.close()
        self.assertEqual((c.status(cookie=first), c.status(cookie=second)), (200, 401))

    def test_what_is_not_http_as_the_console_takes_it_is_refused(self):
        c = self.console
        for host in ("localhost:80@evil.example", "localhost:", "localhost:8o", "127.0.0.1:1:2",
                     "[::1", "[::1]x", "local_host", "localhost:99999"):
            self.refused(*c.get("/api/session", headers={"Host": host})[:2], 403,
                         f"the Host header '{host}' names no address of this console")
        for host in ("localhost", "LocalHost:1", "127.0.0.1:65535", "[::1]:80", c.host):
            self.assertEqual(c.get("/api/session", headers={"Host": host})[0], 200, host)
        with socket.create_connection(c.host.rsplit(":", 1)) as s:
            s.sendall(f"GET /api/session HTTP/1.0\r\nHost: {c.host}\r\n"
                      f"Authorization: Bearer {c.token}\r\n\r\n".encode())
            head, _, body = s.makefile("rb").read().decode().partition("\r\n\r\n")
        self.assertTrue(head.startswith("HTTP/1.1 400"), head)
        self.assertEqual(json.loads(body)["status"]["message"], "the console speaks HTTP/1.1 only")
        dry = {"argv": ["show"], "dryRun": True}
        for kind in ("application/jsonfoo", "application/json-seq", "text/json"):
            self.refused(*c.post(dry, headers={"Content-Type": kind}), 415,
                         "the body must be JSON (Content-Type: application/json)")
        for kind in ("application/json; charset=utf-8", "Application/JSON", "application/json;"):
            self.assertEqual(c.post(dry, headers={"Content-Type": kind})[0], 200, kind)

    def test_connections_past_the_limits_are_told_to_come_back(self):
        c = self.console
        # An idle connection makes room for a newer one from its address, and is told why.
        idle = [c.connect() for _ in range(17)]
        reply = everything(idle[0])
        self.assertTrue(reply.startswith("HTTP/1.1 503"), reply)
        self.assertIn("Retry-After: 1", reply)
        self.assertIn("this connection was idle and made room for a newer one", reply)
        # Connections that are busy are never taken: 64 signed-in streams, 16 more past that
        # pool, and the next connection from the same address is refused.
        streams = [c.stream() for _ in range(64 + 16)]
        extra = c.connect()
        reply = everything(extra)
        self.assertTrue(reply.startswith("HTTP/1.1 503"), reply)
        self.assertIn("too many connections from 127.0.0.1: at most 16 at a time before "
                      "signing in", reply)
        for s in idle + streams + [extra]:
            s.close()

    def test_names_swapped_between_the_check_and_the_act_are_refused_and_nothing_is_deleted(self):
        # The confirmation of a dry run of `delete-volume Data`; then another administrator swaps
        # the names of Data and Scratch just before the process that acts gets the machine.
        c = self.console
        c.cli("sim", "advance", "1")  # the machine is saved, so that it can be written as others do
        ids = {v["name"]: v["id"] for ctl in c.cli("show")["controllers"] for v in ctl["volumes"]}
        status, dry = c.post({"argv": ["delete-volume", "Data"], "dryRun": True})
        self.assertEqual(status, 200, dry)
        lock = MachineLock(c.state)
        self.addCleanup(lock.file.close)
        lock.take()
        answer = {}
        carry_out = threading.Thread(target=lambda: answer.update(reply=c.post(
            {"argv": ["delete-volume", "Data"], "dryRun": False, "confirm": dry["confirm"]})))
        carry_out.start()
        serve = c.process.pid
        swapped = False
        try:
            while not swapped:
                running = wait_for(lambda: {pid: argv for pid, (state, argv) in
                                            children(serve).items() if state != "Z"},
                                   "the console to run the command")
                for pid, argv in running.items():
                    if b"--dry-run" in argv:
                        # A check in a process of its own, before the one that acts: let it
                        # check, but hold the console until the names are swapped.
                        os.kill(serve, signal.SIGSTOP)
                        try:
                            lock.give()
                            wait_for(lambda: children(serve).get(pid, ("Z",))[0] == "Z",
                                     "the check to end")
                            lock.take()
                        finally:
                            os.kill(serve, signal.SIGCONT)
                    else:
                        # The process that acts waits for the machine: the names change first.
                        swap_volume_names(c.state, "Data", "Scratch")
                        swapped = True
                        break
        finally:
            lock.give()
            carry_out.join(timeout=120)
        status, document = answer["reply"]
        self.refused(status, document, 409, "changed since the dry run")
        now = {v["name"]: v["id"] for ctl in c.cli("show")["controllers"] for v in ctl["volumes"]}
        self.assertEqual(now, {"Data": ids["Scratch"], "Scratch": ids["Data"],
                               "System": ids["System"]})
        lines = subprocess.run([VESKCTL, "--simulate", "--state", c.state, "--json", "events",
                                "--kind", "command"], capture_output=True, text=True).stdout
        record = json.loads(lines.splitlines()[-1])
        self.assertEqual((record["command"]["name"], record["command"]["outcome"]),
                         ("delete-volume", "refused"))

    def test_a_confirmation_binds_the_system_flag(self):
        c = self.console
        plain = c.post({"argv": ["delete-volume", "System"], "dryRun": True})[1]
        self.assertTrue(plain["needsSystem"])
        self.refused(*c.post({"argv": ["--system", "delete-volume", "System"], "dryRun": False,
                              "confirm": plain["confirm"]}), 409, "changed since the dry run")
        self.assertIn("System", c.volumes())
        # Without --system the same value is taken, and the system volume's guard refuses.
        status, document = c.post({"argv": ["delete-volume", "System"], "dryRun": False,
                                   "confirm": plain["confirm"]})
        self.assertEqual(status, 200, document)
        self.assertIn("endangers the system (boot) volume", document["status"]["message"])
        self.assertIn("System", c.volumes())
        system = c.post({"argv": ["--system", "delete-volume", "System"], "dryRun": True})[1]
        self.assertNotEqual(system["confirm"], plain["confirm"])
        status, document = c.post({"argv": ["--system", "delete-volume", "System"],
                                   "dryRun": False, "confirm": system["confirm"]})
        self.assertEqual((status, document["status"]["ok"]), (200, True), document)
        self.assertNotIn("System", c.volumes())

    def test_a_destructive_command_needs_its_own_dry_runs_confirmation(self):
        c = self.console
        command = ["delete-volume", "Data"]
        status, dry = c.post({"argv": command, "dryRun": True})
        self.assertEqual(status, 200)
        self.assertTrue(dry["asksFirst"])
        self.assertEqual(len(dry["confirm"]), 40)
        self.assertIn("is deleted with its", dry["prediction"]["losses"][0])
        self.refused(*c.post({"argv": command, "dryRun": False}), 409, "without confirmation")
        self.refused(*c.post({"argv": command, "dryRun": False, "confirm": "0" * 40}), 409,
                     "changed since the dry run")
        # The page's data goes stale: the volume is renamed and another takes its old name.
        c.cli("rename-volume", "Data", "Old")
        self.refused(*c.post({"argv": command, "dryRun": False, "confirm": dry["confirm"]}), 409,
                     "changed since the dry run")  # no volume has that name any more
        by_id = ["delete-volume", dry["request"]["volumeId"]]
        stale = c.post({"argv": by_id, "dryRun": True})[1]["confirm"]
        c.cli("rename-volume", "Old", "Data")
        self.refused(*c.post({"argv": by_id, "dryRun": False, "confirm": stale}), 409,
                     "changed since the dry run")
        self.assertEqual(c.volumes(), ["Data", "Scratch", "System"])
        fresh = c.post({"argv": by_id, "dryRun": True})[1]["confirm"]
        status, done = c.post({"argv": by_id, "dryRun": False, "confirm": fresh})
        self.assertEqual((status, done["status"]["ok"]), (200, True), done)
        self.assertEqual(c.volumes(), ["Scratch", "System"])
        # Work that destroys nothing goes ahead at once, as on the command line.
        status, renamed = c.post({"argv": ["rename-volume", "Scratch", "Temp"],
                                  "dryRun": False})
        self.assertEqual((status, renamed["status"]["ok"]), (200, True), renamed)
        self.assertEqual(c.volumes(), ["System", "Temp"])

    def test_starting_over_needs_the_confirmation_when_it_loses_a_volume(self):
        c = self.console
        command = ["sim", "reset"]
        status, harmless = c.post({"argv": command, "dryRun": True})
        self.assertEqual((status, harmless["asksFirst"]), (200, False), harmless)
        self.assertNotIn("confirm", harmless)
        c.cli("create-volume", "--name", "bk", "--level", "1", "--drives",
              "KN2K00004104,KN2K00004105")
        status, dry = c.post({"argv": command, "dryRun": True})
        self.assertEqual(status, 200)
        self.assertTrue(dry["asksFirst"], dry)
        self.assertEqual(len(dry["prediction"]["losses"]), 1, dry)
        self.assertIn('volume "bk"', dry["prediction"]["losses"][0])
        self.refused(*c.post({"argv": command, "dryRun": False}), 409, "without confirmation")
        self.assertIn("bk", c.volumes())
        status, done = c.post({"argv": command, "dryRun": False, "confirm": dry["confirm"]})
        self.assertEqual((status, done["status"]["ok"]), (200, True), done)
        self.assertEqual(c.volumes(), ["Data", "Scratch", "System"])


    def test_a_topology_that_cannot_be_read_is_said(self):
        c = self.console
        with open(c.state, "w", encoding="utf-8") as f:
            f.write("not json")
        status, document, _ = c.get("/api/topology")
        self.refused(status, document, 502, "the topology could not be read: ")


class ListenTest(unittest.TestCase):
    def test_a_network_address_needs_allow_remote(self):
        with tempfile.TemporaryDirectory() as folder:
            result = subprocess.run([VESKCTL, "--simulate", "--state", os.path.join(folder, "s"),
                                     "serve", "--listen", "0.0.0.0:0"],
                                    capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 2)
            self.assertEqual(result.stderr,
                             "veskctl: --listen: 0.0.0.0 is not a loopback address: the console "
                             "would be open to the network. Add --allow-remote to mean it, and put "
                             "TLS in front (see docs/console.md)\n")

    def test_on_every_address_any_address_names_it_but_no_name_does(self):
        with tempfile.TemporaryDirectory() as folder:
            console = Console(folder, "--listen", "0.0.0.0:0", "--allow-remote")
            try:
                self.assertEqual(console.get("/api/session", headers={"Host": "192.0.2.7:1"})[0],
                                 200)
                self.assertEqual(console.get("/api/session",
                                             headers={"Host": "rebound.example"})[0], 403)
            finally:
                console.stop()

    def test_the_token_is_kept_unless_others_can_read_it(self):
        with tempfile.TemporaryDirectory() as folder:
            first = Console(folder)
            first.stop()
            again = Console(folder)
            again.stop()
            self.assertEqual(again.token, first.token)
            self.assertEqual((first.returncode, again.returncode), (0, 0))
            os.chmod(os.path.join(folder, "s.json.console-token"), 0o644)
            third = Console(folder)
            third.stop()
            self.assertNotEqual(third.token, first.token)


def account():
    import pwd
    return pwd.getpwuid(os.geteuid()).pw_name


class SessionLifeTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.state = os.path.join(self.folder.name, "s.json")

    def veskctl(self, *arguments):
        return subprocess.run([VESKCTL, "--simulate", "--state", self.state, *arguments],
                              capture_output=True, text=True, timeout=60)

    def console(self, *arguments, **kw):
        c = Console(self.folder.name, *arguments, **kw)
        self.addCleanup(lambda: c.process.poll() is not None or c.stop())
        return c

    def assertRefused(self, result, message):
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (2, "", "veskctl: " + message + "\n"))

    def test_a_restart_ends_every_session_and_new_token_ends_the_token(self):
        first = self.console()
        cookie = first.sign_in()
        port = first.host.rsplit(":", 1)[1]
        first.stop()
        again = self.console("--listen", "127.0.0.1:" + port)
        self.assertEqual(again.token, first.token)
        self.assertEqual(again.status(cookie=cookie), 401)
        again.stop()
        fresh = self.console("--listen", "127.0.0.1:" + port, "--new-token")
        self.assertNotEqual(fresh.token, first.token)
        with open(self.state + ".console-token", encoding="ascii") as f:
            self.assertEqual(f.read(), fresh.token + "\n")
        self.assertEqual(stat.S_IMODE(os.stat(self.state + ".console-token").st_mode), 0o600)
        self.assertEqual((fresh.status(token=first.token), fresh.status()), (401, 200))
        self.assertEqual(fresh.get("/?token=" + first.token, auth=False)[0], 401)

    def test_a_session_ends_when_idle_for_longer_than_its_time(self):
        c = self.console(env={"VESK_CONSOLE_IDLE_SECONDS": "1"})
        cookie = c.sign_in()
        for _ in range(3):  # 1.5 s in all, used every half second
            time.sleep(0.5)
            self.assertEqual(c.status(cookie=cookie), 200)
        time.sleep(1.3)  # the idle time has to pass: there is nothing else to wait on
        self.assertEqual(c.status(cookie=cookie), 401)

    def test_personal_tokens_sign_people_in_by_name_until_they_are_removed(self):
        added = self.veskctl("console-user", "add", "alice")
        self.assertRegex(added.stdout, "^[0-9a-f]{64}\n$")
        alice = added.stdout.strip()
        users_file = self.state + ".console-users"
        self.assertEqual(stat.S_IMODE(os.stat(users_file).st_mode), 0o600)
        with open(users_file, encoding="utf-8") as f:
            self.assertNotIn(alice, f.read())
        self.assertRefused(self.veskctl("console-user", "add", "alice"),
                           "console-user: there is a console user named 'alice' already (remove "
                           "them first to give them a new token)")
        for bad in ("al ice", "a" * 33, "", "al/ice", "älice"):
            self.assertRefused(self.veskctl("console-user", "add", bad),
                               f"console-user: '{bad}' is not a name for a console user: up to 32 "
                               "letters, digits, '.', '_' and '-'")
        self.assertRefused(self.veskctl("console-user", "remove", "bob"),
                           "console-user: no console user is named 'bob' (see veskctl "
                           "console-user list)")
        c = self.console()
        # A user added while the console runs is let in: the file is read when a token comes.
        bob = self.veskctl("console-user", "add", "b.o_b-2").stdout.strip()
        listed = json.loads(self.veskctl("--json", "console-user", "list").stdout)["users"]
        self.assertEqual([u["name"] for u in listed], ["alice", "b.o_b-2"])
        page = c.as_session(c.sign_in(alice))
        self.assertEqual(c.get("/api/session", auth=False, headers=page)[1]["user"], "alice")
        status, done = c.post({"argv": ["rename-volume", "Scratch", "Temp"], "dryRun": False},
                              headers=page, auth=False)
        self.assertEqual((status, done["status"]["ok"]), (200, True), done)
        for token, argv in ((bob, ["Temp", "Scratch"]), (c.token, ["Data", "D2"])):
            as_bearer = {"Authorization": "Bearer " + token}
            csrf = c.get("/api/session", auth=False, headers=as_bearer)[1]["csrf"]
            self.assertEqual(c.post({"argv": ["rename-volume", *argv]}, auth=False,
                                    headers=dict(as_bearer, **{"X-Vesk-Token": csrf}))[0], 200)
        self.assertEqual(self.veskctl("--json", "rename-volume", "D2", "Data").returncode, 0)
        records = [json.loads(line) for line in self.veskctl(
            "--json", "events", "--kind", "command").stdout.splitlines()]
        self.assertEqual([r["detail"] for r in records[:5]],
                         [f"console-user add {who} by {account()}: ok" for who in ("alice", "b.o_b-2")]
                         + [f"rename-volume by {who} via the console: ok"
                            for who in ("alice", "b.o_b-2", account())])
        self.assertEqual([(r["command"]["user"], r["command"]["consoleUser"], r["command"]["via"])
                          for r in records[2:]], [
            (account(), "alice", "console"), (account(), "b.o_b-2", "console"),
            (account(), account(), "console"), (account(), None, "command line")])
        # Removed: the person's sessions and token end at once, nobody else's.
        removed = self.veskctl("console-user", "remove", "alice")
        self.assertEqual((removed.returncode, removed.stdout),
                         (0, "Removed console user alice: their token and sessions end now.\n"))
        self.assertEqual(c.get("/api/session", auth=False, headers=page)[0], 401)
        self.assertEqual(c.get("/?token=" + alice, auth=False)[0], 401)
        self.assertEqual(c.status(token=bob), 200)
        # The console does not hand out tokens itself: they would show in its answers.
        status, document = c.post({"argv": ["console-user", "add", "mallory"], "dryRun": True})
        self.assertEqual((status, document["status"]["message"]),
                         (400, "the console does not run 'console-user': it makes tokens, which "
                               "are shown once, on the command line"), document)
        self.assertNotIn("console-user list",
                         [t["name"] for t in c.get("/api/commands")[1]["commands"]])

    def test_a_users_file_that_is_not_private_or_not_veskctls_is_refused(self):
        alice = self.veskctl("console-user", "add", "alice").stdout.strip()
        users_file = self.state + ".console-users"
        self.assertRefused(self.veskctl("--dry-run", "console-user", "remove", "alice"),
                           "console-user: --dry-run is not taken: add and remove change only the "
                           "users file, and list changes nothing")
        c = self.console()
        os.chmod(users_file, 0o640)
        listed = self.veskctl("console-user", "list")
        self.assertEqual((listed.returncode, listed.stderr),
                         (1, f"veskctl: the console's users file {users_file} is another user's, "
                             "or others may read or write it: make it yours alone (chmod 600) or "
                             "remove it\n"))
        # Nobody's own token is let in then; the console's own still is.
        self.assertEqual(c.get("/?token=" + alice, auth=False)[0], 401)
        self.assertEqual(c.get("/api/session")[0], 200)
        with open(users_file, "w", encoding="utf-8") as f:
            f.write('{"consoleUsers": [{"name": "alice"}]}')
        os.chmod(users_file, 0o600)
        document = json.loads(self.veskctl("--json", "console-user", "list").stdout)
        self.assertEqual(document["status"]["message"],
                         f"the console's users file {users_file} is not one veskctl wrote: "
                         "remove it, and add the users again")
        self.assertEqual(c.get("/?token=" + alice, auth=False)[0], 401)
        bad = subprocess.run([VESKCTL, "--simulate", "--state", self.state, "serve"],
                             env=dict(os.environ, VESK_CONSOLE_IDLE_SECONDS="soon"),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual((bad.returncode, bad.stderr),
                         (2, "veskctl: VESK_CONSOLE_IDLE_SECONDS: 'soon' is not a number of "
                             "seconds\n"))

    def test_people_added_at_once_are_all_kept(self):
        names = [f"p{i}" for i in range(16)]
        runs = [subprocess.Popen([VESKCTL, "--simulate", "--state", self.state, "console-user",
                                  "add", name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                for name in names]
        self.assertEqual([run.wait(timeout=60) for run in runs], [0] * len(names))
        listed = json.loads(self.veskctl("--json", "console-user", "list").stdout)["users"]
        self.assertEqual(sorted(u["name"] for u in listed), sorted(names))


class CommandTableTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.console = Console(self.folder.name)
        self.addCleanup(self.folder.cleanup)
        self.addCleanup(self.console.stop)

    def test_the_table_marks_the_commands_that_destroy_data(self):
        table = self.console.get("/api/commands")[1]["commands"]
        self.assertTrue(all(isinstance(command["destructive"], bool) for command in table))
        self.assertEqual(sorted(command["name"] for command in table if command["destructive"]),
                         ["change-layout", "clear-metadata", "delete-volume", "remove-drive"])

    def test_a_word_after_the_separator_is_never_an_option(self):
        # What the page sends: a serial number that reads as --help names a drive (none has it
        # here), and veskctl prints no help.
        c = self.console
        answer, document = c.ask("POST", "/api/commands",
                                 json.dumps({"argv": ["sim", "fail-drive", "--", "--help"],
                                             "dryRun": True}),
                                 {"Content-Type": "application/json", "Origin": c.base,
                                  "X-Vesk-Token": c.csrf})
        self.assertEqual((answer.status, answer.getheader("X-Vesk-Exit-Code")), (200, "2"))
        self.assertEqual(document["status"], {"ok": False, "kind": "UsageError", "status": 0,
                                              "errorCode": 0,
                                              "message": "no drive '--help' (see 'veskctl show')"})



class ConnectionsAndCommandsTest(unittest.TestCase):
    """Nobody on the machine can lock the console out without its token, a client that leaves
    gives its connection back, and what the console starts ends with it."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def serve(self, *arguments, **kw):
        console = Console(self.folder.name, *arguments, **kw)
        self.addCleanup(lambda: console.process.poll() is None and console.stop())
        return console

    def test_a_flood_of_idle_connections_locks_no_one_out(self):
        c = self.serve()
        flood = [c.connect() for _ in range(200)]
        self.addCleanup(lambda: [s.close() for s in flood])
        started = time.monotonic()
        status, document, _ = c.get("/api/journal?limit=1")
        self.assertEqual(status, 200, document)
        status, _, answer = c.get("/?token=" + c.token, auth=False)
        self.assertEqual((status, answer.getheader("Location")), (303, "/"))
        # Well before the idle ones time out.
        self.assertLess(time.monotonic() - started, 4)

    def test_a_stream_whose_client_left_gives_its_connection_back_at_once(self):
        c = self.serve()
        pid = c.process.pid
        wait_for(lambda: sockets(pid) == 1, "the console to listen only")
        stream = c.stream()
        self.assertEqual(sockets(pid), 2)
        stream.close()
        started = time.monotonic()
        wait_for(lambda: sockets(pid) == 1, "the stream's connection to close", 1)
        self.assertLess(time.monotonic() - started, 1)

    @unittest.skipIf(os.environ.get("VESK_SANITIZE"),
                     "a sanitizer's runtime fails by itself once the process is out of descriptors")
    def test_out_of_descriptors_it_refuses_connections_and_recovers(self):
        limit = 64
        c = self.serve(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE,
                                                             (limit, limit)))
        pid = c.process.pid
        clients = []
        out = lambda: len(os.listdir(f"/proc/{pid}/fd")) >= limit - 4  # noqa: E731
        # One stream after another, as pages open: connections that all wait at once for their
        # requests to be read would be taken for a flood and make room for each other.
        for _ in range(40):
            clients.append(c.connect())
            clients[-1].sendall(f"GET /api/events HTTP/1.1\r\nHost: {c.host}\r\n"
                                f"Authorization: Bearer {c.token}\r\n\r\n".encode())
            wait_for(lambda: out() or select.select([clients[-1]], [], [], 0)[0],
                     "the stream to begin, or the descriptors to run out", 10)
            if out():
                break
        wait_for(out, "the console to run out of descriptors", 10)
        with self.assertRaises(subprocess.TimeoutExpired):
            c.process.wait(timeout=1)
        for s in clients:
            s.close()
        # Once their threads are gone too, the console runs commands again.
        wait_for(lambda: c.get("/api/topology")[0] == 200, "the console to answer again", 10)

    def test_a_command_neither_outlives_the_console_nor_keeps_its_port(self):
        c = self.serve("--interval", "3600")
        # The console's watcher has had its look at the machine: it does not wait for the lock.
        wait_for(lambda: "vesk_last_successful_refresh_timestamp_seconds 0" not in
                 c.get("/metrics")[1], "the console's first look")
        lock = MachineLock(c.state)
        self.addCleanup(lock.file.close)
        lock.take()
        self.addCleanup(lock.give)

        def stuck_command(console):
            def post():
                try:
                    console.post({"argv": ["sim", "advance", "1"]})
                except OSError:
                    pass  # the console ended first
            threading.Thread(target=post, daemon=True).start()
            return wait_for(lambda: [pid for pid, (state, argv) in
                                     children(console.process.pid).items()
                                     if state != "Z" and b"advance" in argv],
                            "the console to start the command")[0]

        # Killed outright, the console leaves its command running, and the port free.
        command = stuck_command(c)
        c.process.kill()
        c.process.wait()
        self.addCleanup(lambda orphan=command: os.path.exists(f"/proc/{orphan}") and
                        os.kill(orphan, signal.SIGKILL))
        again = self.serve("--interval", "3600", "--listen", c.host)
        # Stopped, the console ends its command with it, at once.
        command = stuck_command(again)
        started = time.monotonic()
        again.stop()
        self.assertLess(time.monotonic() - started, 2)
        self.assertEqual(again.returncode, 0)
        wait_for(lambda: not os.path.exists(f"/proc/{command}"), "the command to end", 1)


if __name__ == "__main__":
    unittest.main()
