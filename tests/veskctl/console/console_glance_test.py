"""The console at a glance, in a real browser: the health summary and the badges that make a
state needing attention stand out, the tree as a keyboard user meets it, focus that live
updates leave alone, the journal as people read it, names that cannot turn the text around
them, and a start that waits for a server that refuses.

Run: VESKCTL=path/to/veskctl /usr/bin/python3 -m pytest -q tests/veskctl/console/console_glance_test.py"""
from browser_support import *  # noqa: F401,F403 (the fixtures and helpers)
from browser_support import By, Select  # noqa: F401
from selenium.webdriver.common.keys import Keys

SMART, SPARE = "KS1A00000002", "KS1A00000003"
SYSTEM_ARRAY = "a0a7a000-0000-4000-8000-000000000001"


def summary(driver):
    """What the summary lists: (group, element id, text) of each of its buttons."""
    return [tuple(r) for r in driver.execute_script(
        "return [...document.querySelectorAll('#summary [data-select]')].map(b =>"
        " [b.closest('[data-group]').dataset.group, b.dataset.select, b.textContent])")]


def badges(driver, element_id):
    return [tuple(b) for b in driver.execute_script(
        "const item = document.querySelector(`[data-element-id='${arguments[0]}']`);"
        "return [...item.querySelector('.row').querySelectorAll('.badge')]"
        ".map(b => [b.className.replace('badge ', ''), b.textContent])", element_id)]


def row_text(driver, element_id):
    return driver.execute_script(
        "return document.querySelector(`[data-element-id='${arguments[0]}'] > .row`).textContent",
        element_id)


def test_states_that_need_attention_stand_out_and_the_summary_leads_to_them(browser, machine):
    open_console(browser, machine)
    wait(browser, lambda: attribute(browser, "#summary", "data-health") == "ok", "a healthy summary")
    assert browser.find_element(By.CSS_SELECTOR, "#summary p").text.startswith("Everything is healthy")
    spare, smart = drive_id(machine, SPARE), drive_id(machine, SMART)
    assert ("spare", "spare") in badges(browser, spare)
    # Sizes and RAID levels in the tree, in the units people read.
    assert "RAID 5 · 3.0 TiB" in row_text(browser, DATA)
    assert "7.3 TiB, 2.3 TiB free" in row_text(browser, "a0d0e100-0000-4000-8000-000000000001")

    machine.run("sim", "smart-event", SMART)
    wait(browser, lambda: ("risk", "SMART event") in badges(browser, smart), "the SMART badge")
    assert attribute(browser, f'[data-element-id="{SYSTEM_ARRAY}"]', "data-health") == "at-risk"
    assert summary(browser) == [("at-risk", smart, f"drive {SMART}: SMART event")]

    machine.run("remove-drive", REMOVED, "--force")
    removed = drive_id(machine, REMOVED)
    wait(browser, lambda: len(summary(browser)) == 4, "the summary lists what broke")
    assert summary(browser) == [
        ("failed", SCRATCH, "volume Scratch: failed, data lost"),
        ("degraded", DATA, "volume Data: degraded"),
        ("degraded", removed, f"drive {REMOVED}: missing"),
        ("at-risk", smart, f"drive {SMART}: SMART event")]
    assert browser.find_element(By.CSS_SELECTOR, "#summary h2").text == \
        "Health: 1 failed, 2 degraded, 1 at risk"

    # A button of the summary selects its element in the tree and puts the focus on it.
    click(browser, f'#summary [data-select="{DATA}"]')
    wait(browser, lambda: focused(browser) == DATA, "Data has the focus")
    assert selected(browser, DATA) and details(browser) == "volume Data"

    # A spare taking a failed member's place: the volume is not redundant until the rebuild ends.
    machine.run("sim", "fail-drive", SMART)
    controller = machine.show()["controllers"][0]
    first, system = controller["id"], controller["volumes"][0]["id"]
    wait(browser, lambda: ("failed", smart, f"drive {SMART}: failed") in summary(browser), "the failed drive")
    assert ("degraded", system, "volume System: rebuilding (0%)") in summary(browser)

    # What `check` counts at risk: no usable spare left, errors found by the last verification.
    machine.run("sim", "advance", "600000")
    machine.run("sim", "media-errors", "System", "3")
    machine.run("verify-volume", "System")
    machine.run("sim", "advance", "600000")
    wait(browser, lambda: summary(browser)[-2:] == [
        ("at-risk", first, f"controller Korva SATA RAID Controller: no usable spare: {SPARE} was one"),
        ("at-risk", system, "volume System: 3 errors at its last verification")], "the risks")


def details(driver):
    return driver.find_element(By.CSS_SELECTOR, "#details h3").text


def focused(driver):
    return driver.execute_script(
        "const e = document.activeElement; return e === document.body ? 'body' :"
        " (e.dataset.elementId || e.id || e.tagName)")


def key(driver, *keys):
    """Presses the keys where the focus is; answers where it is then."""
    driver.switch_to.active_element.send_keys(*keys)
    return focused(driver)


def selected(driver, element_id):
    return attribute(driver, f'[data-element-id="{element_id}"]', "aria-selected") == "true"


def expanded(driver, element_id):
    return attribute(driver, f'[data-element-id="{element_id}"]', "aria-expanded")


def test_the_tree_is_one_tab_stop_walked_with_the_arrow_keys_and_live_updates_keep_the_focus(
        browser, machine):
    open_console(browser, machine)
    assert attribute(browser, "#tree", "role") == "tree"
    # The skip link comes first and leads past the tree.
    assert key(browser, Keys.TAB) == "skip-link"
    key(browser, Keys.ENTER)
    wait(browser, lambda: focused(browser) == "details-title", "the skip link leads to the details")

    assert len(attributes(browser, '#tree [tabindex]:not([tabindex="-1"])', "id")) == 1
    browser.execute_script("document.querySelector('[role=treeitem][tabindex=\"0\"]').focus()")
    first = machine.show()["controllers"][0]
    assert key(browser, Keys.HOME) == first["id"]
    assert key(browser, Keys.ARROW_RIGHT) == SYSTEM_ARRAY  # expanded already: to its first child
    assert key(browser, Keys.ARROW_DOWN) == first["volumes"][0]["id"]
    assert key(browser, Keys.ARROW_LEFT) == SYSTEM_ARRAY  # to its parent
    key(browser, Keys.ARROW_LEFT)  # collapses it
    assert expanded(browser, SYSTEM_ARRAY) == "false"
    assert not browser.find_element(By.CSS_SELECTOR, f'[data-element-id="{first["volumes"][0]["id"]}"]').is_displayed()
    assert key(browser, Keys.ARROW_DOWN) == "loose-" + first["id"]  # past the hidden children
    key(browser, Keys.ARROW_UP, Keys.ARROW_RIGHT)
    assert expanded(browser, SYSTEM_ARRAY) == "true"
    key(browser, Keys.ARROW_LEFT, Keys.ENTER)
    assert selected(browser, SYSTEM_ARRAY) and details(browser) == "array Array_0000"
    assert attribute(browser, f'[data-element-id="{SYSTEM_ARRAY}"]', "tabindex") == "0"
    final = attributes(browser, '[role="treeitem"]', "data-element-id")[-1][0]
    assert key(browser, Keys.END) == final
    key(browser, Keys.SPACE)
    wait(browser, lambda: selected(browser, final), "Space selects")
    key(browser, Keys.HOME, Keys.ARROW_LEFT)  # collapses the first controller
    assert expanded(browser, first["id"]) == "false"

    # A live update keeps what is collapsed and where the focus is.
    machine.run("remove-drive", REMOVED, "--force")
    last_id = machine.last_record()
    wait(browser, lambda: applied(browser) >= last_id, f"the page applies record {last_id}")
    wait(browser, lambda: row_state(browser, DATA) == "degraded", "Data shows degraded")
    assert expanded(browser, first["id"]) == "false"
    assert focused(browser) == first["id"]
    assert not_reloaded(browser)

    # So does a focus in the details.
    pick(browser, DATA)
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details button"), "details with a button")
    browser.execute_script("document.querySelector('#details button').focus()")
    text = browser.switch_to.active_element.text
    machine.run("rename-volume", "Data", "Archive")
    wait(browser, lambda: "Archive" in details(browser), "the details follow the rename")
    active = browser.switch_to.active_element
    assert active.tag_name == "button" and active.text == text
    assert browser.execute_script("return document.getElementById('details').contains(document.activeElement)")


def journal_lines(driver):
    return [tuple(r) for r in attributes(driver, "#journal li", "data-kind", "data-severity")]


def test_the_journal_shows_one_line_per_change_in_words(browser, machine, tmp_path):
    open_console(browser, machine)
    machine.run("remove-drive", REMOVED, "--force")
    wait(browser, lambda: row_state(browser, DATA) == "degraded", "Data shows degraded")
    machine.run("rebuild-volume", "Data", "--drives", "KN2K00004104")
    # Each state in a look of its own: a watcher that looked only after the clock moved would
    # record degraded → normal in one change.
    wait(browser, lambda: row_state(browser, DATA) == "rebuilding", "Data shows rebuilding")
    machine.run("sim", "advance", "5000")
    last = machine.last_record()
    wait(browser, lambda: applied(browser) >= last, f"the page applies record {last}")
    lines = browser.find_element(By.ID, "journal").text
    for internal in ("MigrationProgress", "VolumeLocation", "ArrayId", "NegotiatedLink", "a0d0e100-"):
        assert internal not in lines, internal
    items = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#journal li")]
    about_data = [t for t in items if "volume Data" in t and "command" not in t]
    assert [t.split("volume Data ", 1)[1] for t in about_data] == [
        "rebuild · state: degraded → rebuilding", "state: normal → degraded", "state: normal"]

    # The severity filter keeps what is at least that grave.
    severity = Select(browser.find_element(By.ID, "filter-severity"))
    severity.select_by_value("critical")
    assert journal_lines(browser) == [("volume-failed", "critical"), ("volume-data-lost", "critical")]
    severity.select_by_value("warning")
    assert {s for (_, s) in journal_lines(browser)} == {"warning", "critical"}
    assert ("drive-missing", "warning") in journal_lines(browser)

    # The export holds the records behind the lines shown, oldest first, as JSON Lines.
    browser.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(tmp_path)})
    click(browser, "#journal-export")
    saved = tmp_path / "vesk-journal.jsonl"
    wait(browser, lambda: saved.is_file() and not list(tmp_path.glob("*.crdownload")), "the download")
    exported = [json.loads(line) for line in saved.read_text().splitlines()]
    kinds = [r["kind"] for r in exported]
    assert [r["id"] for r in exported] == sorted(r["id"] for r in exported)
    assert "changed" in kinds and "drive-missing" in kinds and "job-started" not in kinds
    held = {r["id"]: r for r in map(json.loads, machine.run("events", "--json").splitlines())}
    assert all(held[r["id"]] == r for r in exported)
    assert {r["element"]["id"] for r in exported if r["kind"] == "changed"} == {DATA, SCRATCH, drive_id(machine, REMOVED)}


def ltr(driver, selector):
    """Whether the text of what the selector finds runs left to right on the screen."""
    return driver.execute_script(
        "const node = document.querySelector(arguments[0]).firstChild, range = document.createRange();"
        "const x = (i) => { range.setStart(node, i); range.setEnd(node, i + 1);"
        " return range.getBoundingClientRect().left; };"
        "return x(0) < x(node.textContent.length - 1);", selector)


def banner(driver):
    return driver.find_element(By.ID, "connection").text


def test_a_reversing_name_turns_only_itself_and_a_failed_start_is_tried_again(browser, machine, tmp_path):
    # Volume names are plain ASCII, but serial numbers and models come from the drives.
    def reverse(topology):
        for d in topology["controllers"][1]["drives"]:
            if d["serial"] == REMOVED:
                d["serial"], d["model"] = "\u202e" + REMOVED, "\u202e" + d["model"]
    machine.reset(tmp_path, reverse)
    removed = drive_id(machine, "\u202e" + REMOVED)
    open_console(browser, machine)
    machine.run("remove-drive", removed, "--force")
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, '#journal [data-kind="command"]'),
         "the record of the command")
    assert ltr(browser, '#journal [data-kind="command"] .rdetail')
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, f'#summary [data-select="{removed}"]'),
         "the summary")
    assert ltr(browser, f'#summary [data-select="{removed}"] .state')

    # No answer at all (the server down, the network in between cut).
    browser.expected_errors.append(r"ERR_BLOCKED_BY_CLIENT")
    browser.execute_cdp_cmd("Network.enable", {})
    browser.execute_cdp_cmd("Network.setBlockedURLs", {"urls": ["*/api/*"]})
    browser.refresh()
    wait(browser, lambda: "retrying" in banner(browser), "the page says it tries again")
    assert re.fullmatch(r"Could not reach the console: retrying in \d+ s…", banner(browser)), banner(browser)
    assert attribute(browser, "#connection", "role") == "alert"
    browser.execute_cdp_cmd("Network.setBlockedURLs", {"urls": []})
    wait(browser, lambda: row_state(browser, DATA) == "degraded", "the tree is shown")
    assert (connection(browser), attribute(browser, "#connection", "role")) == ("live", "status")

    # An answer that is a refusal: the machine cannot be read.
    browser.expected_errors.append(r"api/topology.* 502")
    machine.run("locate", SMART, "on")  # the machine in its state file, which is then spoilt
    state = pathlib.Path(machine.state)
    saved = state.read_text()
    state.write_text("{")
    browser.refresh()
    wait(browser, lambda: "retrying" in banner(browser), "the page says it tries again")
    assert re.fullmatch(r"The console could not start \(502: .+\): retrying in \d+ s…", banner(browser)), \
        banner(browser)
    state.write_text(saved)
    wait(browser, lambda: row_state(browser, DATA) == "degraded", "the tree is shown")
    assert connection(browser) == "live"
