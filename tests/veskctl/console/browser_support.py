"""What the browser tests of the console share: a simulated machine served by a real `veskctl
serve`, a headless Chromium driven by Selenium, and small helpers that wait on conditions.

Exits 77 (skipped) when Selenium, Chromium or its driver is not installed."""
import json
import os
import pathlib
import re
import select
import signal
import subprocess

import pytest

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
VESKCTL = os.environ.get("VESKCTL")


@pytest.fixture(autouse=True, scope="session")
def installed():
    """Skips the whole run (exit 77) without the browser pieces scripts/setup.sh installs."""
    if webdriver is None:
        pytest.exit("skipped: python3-selenium is not installed (scripts/setup.sh)", 77)
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        pytest.exit("skipped: chromium and chromium-driver are not installed (scripts/setup.sh)", 77)
    if not VESKCTL:
        pytest.exit("VESKCTL is not set to the veskctl to test", 2)


WAIT_S = 30
DATA, SCRATCH = "f0d0e100-0000-4000-8000-000000000001", "f0d0e100-0000-4000-8000-000000000002"
REMOVED = "KN2K00004101"
DEMO = pathlib.Path(__file__).resolve().parents[3] / "simulator" / "topologies" / "demo.json"
# Each test names the browser errors it causes on purpose; any other one fails it.
DOWN = r"net::ERR_(CONNECTION_REFUSED|INCOMPLETE_CHUNKED_ENCODING|EMPTY_RESPONSE|CONNECTION_RESET)"


class Machine:
    """A simulated machine in its own state file, changed through the CLI."""

    def __init__(self, folder):
        self.state = str(folder / "s.json")
        self.env = dict(os.environ, VESK_SIM_CLOCK="manual")
        self.base = [VESKCTL, "--simulate", "--state", self.state]
        self.server = None
        self.port = 0

    def run(self, *args):
        done = subprocess.run(self.base + list(args), env=self.env, capture_output=True,
                              text=True, timeout=60)
        assert done.returncode == 0, f"veskctl {' '.join(args)}: {done.stderr}"
        return done.stdout

    def show(self):
        return json.loads(self.run("--json", "show"))

    def volume(self, volume_id):
        for c in self.show()["controllers"]:
            for v in c["volumes"]:
                if v["id"] == volume_id:
                    return v
        return None

    def drive(self, serial):
        return next(d for c in self.show()["controllers"] for d in c["drives"] if d["serial"] == serial)

    def reset(self, folder, change):
        """Starts again from the demo topology as `change` left it (a function of its JSON)."""
        topology = json.loads(DEMO.read_text())
        change(topology)
        (folder / "t.json").write_text(json.dumps(topology))
        self.run("sim", "reset", "--topology", str(folder / "t.json"), "--force")

    def last_record(self):
        lines = self.run("events", "--json").splitlines()
        return json.loads(lines[-1])["id"] if lines else 0

    def serve(self):
        """Starts `serve` (again on the port it had before) and answers the address to open."""
        listen = f"127.0.0.1:{self.port}"
        self.server = subprocess.Popen(self.base + ["serve", "--listen", listen, "--interval", "0.2"],
                                       env=self.env, stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.server.stdout], [], [], WAIT_S)
        assert ready, "serve printed no address"
        url = self.server.stdout.readline().strip()
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+/\?token=\S+", url), url
        self.port = int(url.split(":")[2].split("/")[0])
        return url

    def stop(self):
        self.server.send_signal(signal.SIGTERM)
        assert self.server.wait(timeout=WAIT_S) == 0
        self.server = None


@pytest.fixture
def machine(tmp_path):
    m = Machine(tmp_path)
    yield m
    if m.server:
        m.server.kill()
        m.server.wait()


@pytest.fixture
def browser(machine):
    # Set up after the machine, so that its console is checked before the server goes away.
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1400,1000"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(WAIT_S)
    driver.set_script_timeout(WAIT_S)
    driver.expected_errors = []
    yield driver
    try:
        assert_console_clean(driver)
    finally:
        driver.quit()


def assert_console_clean(driver):
    severe = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    unexpected = [m for m in severe if not any(re.search(p, m) for p in driver.expected_errors)]
    assert not unexpected, f"errors in the browser console: {unexpected}"


def wait(driver, condition, what):
    return WebDriverWait(driver, WAIT_S).until(lambda d: condition(), message=what)


def attributes(driver, selector, *names):
    """The attributes of every element the selector finds, read at once: the page re-renders."""
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])]"
        ".map(e => arguments[1].map(n => e.getAttribute(n)))", selector, list(names))


def click(driver, selector):
    """Clicks what the selector finds, again if a re-render replaced it in between."""
    def clicked():
        try:
            driver.find_element(By.CSS_SELECTOR, selector).click()
            return True
        except StaleElementReferenceException:
            return False
    wait(driver, clicked, f"click {selector}")


def attribute(driver, selector, name):
    found = attributes(driver, selector, name)
    return found[0][0] if found else None


def row_state(driver, element_id):
    return attribute(driver, f'[data-element-id="{element_id}"]', "data-state")


def connection(driver):
    return attribute(driver, "#connection", "data-state")


def applied(driver):
    return int(driver.find_element(By.ID, "last-event-id").text or 0)


def journal_ids(driver):
    return [int(i) for (i,) in attributes(driver, "#journal [data-record-id]", "data-record-id")]


def open_console(driver, machine):
    driver.get(machine.serve())
    wait(driver, lambda: connection(driver) == "live", "the page connects")
    wait(driver, lambda: row_state(driver, DATA), "the tree shows volume Data")
    # A reload would lose this mark: every later check also proves the page updated in place.
    driver.execute_script("window.vesk_no_reload = true")


def pick(driver, element_id):
    click(driver, f'[data-element-id="{element_id}"] > .row')


def not_reloaded(driver):
    return driver.execute_script("return window.vesk_no_reload === true")


def drive_id(machine, serial):
    return machine.drive(serial)["id"]
