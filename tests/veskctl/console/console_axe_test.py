"""The console checked with axe-core against WCAG 2.1 A and AA in a real browser: each view of
the page (the topology, the details of a volume and of a drive, a command's dry run, the
journal filtered), with the machine normal and then degraded.

Run: VESKCTL=path/to/veskctl /usr/bin/python3 -m pytest -q tests/veskctl/console/console_axe_test.py
Exits 77 (skipped) without Selenium, Chromium, or axe-core (npm install in this folder, as
scripts/setup.sh does)."""
import pathlib

from browser_support import *  # noqa: F401,F403 (the fixtures and helpers)
from browser_support import By, Select  # noqa: F401

AXE = pathlib.Path(__file__).resolve().parent / "node_modules" / "axe-core" / "axe.min.js"
TAGS = ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa"]


@pytest.fixture(autouse=True, scope="module")
def axe_installed():
    if not AXE.is_file():
        pytest.exit(f"skipped: axe-core is not installed ({AXE}: scripts/setup.sh installs it)", 77)


def violations(driver):
    if not driver.execute_script("return typeof window.axe === 'object'"):
        driver.execute_script(AXE.read_text())
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document, {runOnly: {type: 'tag', values: arguments[0]}, resultTypes: ['violations']})"
        ".then(r => done(r.violations.map(v => ({id: v.id, help: v.help,"
        " nodes: v.nodes.map(n => n.target.join(' ') + ': ' + n.failureSummary)}))),"
        " e => done([{id: 'axe failed', help: String(e), nodes: []}]));", TAGS)


def check(driver, view):
    found = violations(driver)
    assert not found, f"{view}: " + "\n".join(f"{v['id']} ({v['help']}): {v['nodes']}" for v in found)


def views(driver, machine, when):
    check(driver, f"the topology, {when}")
    pick(driver, DATA)
    wait(driver, lambda: "volume Data" in driver.find_element(By.ID, "details").text, "Data's details")
    check(driver, f"a volume's details, {when}")
    pick(driver, drive_id(machine, "KN2K00004100"))
    wait(driver, lambda: "drive KN2K00004100" in driver.find_element(By.ID, "details").text, "a drive's details")
    check(driver, f"a drive's details, {when}")
    pick(driver, DATA)
    menu = Select(driver.find_element(By.ID, "command-select"))
    menu.select_by_index(next(i for i, o in enumerate(menu.options) if o.text.startswith("delete-volume")))
    driver.find_element(By.ID, "dry-run").click()
    wait(driver, lambda: driver.find_elements(By.ID, "confirm-name"), "the dry run asks for the name")
    check(driver, f"a command's dry run, {when}")
    Select(driver.find_element(By.ID, "filter-severity")).select_by_value("warning")
    check(driver, f"the journal, {when}")
    Select(driver.find_element(By.ID, "filter-severity")).select_by_value("")


def test_every_view_meets_wcag_21_aa_normal_and_degraded(browser, machine):
    open_console(browser, machine)
    views(browser, machine, "normal")
    machine.run("remove-drive", REMOVED, "--force")
    last = machine.last_record()
    wait(browser, lambda: applied(browser) >= last, f"the page applies record {last}")
    views(browser, machine, "degraded")
