#!/usr/bin/env python3
"""The console's HTTP answers, with a plain HTTP client against a real `veskctl serve` on the
simulated machine: every guard refuses what it is there to refuse (and nothing changes), the
answers carry their headers, and a destructive command needs the confirmation of its own dry run.

usage: console_api_test.py VESKCTL"""
import http.client
import json
import os
import socket
import stat
import subprocess
import sys
import tempfile
import unittest

VESKCTL = os.environ.get("VESKCTL") or (sys.argv.pop(1) if len(sys.argv) > 1 else "veskctl")


class Console:
    def __init__(self, folder, *arguments):
        self.state = os.path.join(folder, "s.json")
        self.process = subprocess.Popen(
            [VESKCTL, "--simulate", "--state", self.state, "serve", *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
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

    def post(self, body, headers=None, **kw):
        sent = {"Content-Type": "application/json", "Origin": self.base, "X-Vesk-Token": self.csrf}
        sent.update(headers or {})
        sent = {k: v for k, v in sent.items() if v is not None}
        answer, document = self.ask("POST", "/api/commands", json.dumps(body), sent, **kw)
        return answer.status, document

    def cli(self, *arguments):
        result = subprocess.run([VESKCTL, "--simulate", "--state", self.state, "--json", *arguments],
                                capture_output=True, text=True, timeout=120)
        return json.loads(result.stdout)

    def volumes(self):
        return sorted(v["name"] for c in self.cli("show")["controllers"] for v in c["volumes"])


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

    def test_the_token_opens_a_session_cookie(self):
        c = self.console
        status, _, answer = c.get("/?token=" + c.token, auth=False)
        self.assertEqual((status, answer.getheader("Location")), (303, "/"))
        cookie = answer.getheader("Set-Cookie")
        self.assertEqual(cookie, f"vesk_session={c.token}; Path=/; HttpOnly; SameSite=Strict")
        status, document, _ = c.get("/api/topology", auth=False,
                                    headers={"Cookie": "other=1; " + cookie.split(";")[0]})
        self.assertEqual(status, 200)
        self.assertIn("journalId", document)
        token_file = c.state + ".console-token"
        self.assertEqual(stat.S_IMODE(os.stat(token_file).st_mode), 0o600)
        with open(token_file, encoding="ascii") as f:
            self.assertEqual(f.read(), c.token + "\n")

    def test_connections_past_the_limit_are_told_to_come_back(self):
        c = self.console
        host, port = c.host.rsplit(":", 1)
        idle = [socket.create_connection((host, int(port))) for _ in range(64)]
        extra = socket.create_connection((host, int(port)))
        extra.settimeout(30)
        reply = extra.recv(4096).decode()
        self.assertTrue(reply.startswith("HTTP/1.1 503"), reply)
        self.assertIn("too many connections: at most 64 at a time", reply)
        for s in idle + [extra]:
            s.close()

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


if __name__ == "__main__":
    unittest.main()
