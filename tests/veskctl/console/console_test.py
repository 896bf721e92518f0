"""The web console in a real browser: a headless Chromium driven by Selenium against a real
`veskctl serve` on the simulated machine, while the CLI changes the machine underneath.

Run: VESKCTL=path/to/veskctl /usr/bin/python3 -m pytest -q tests/veskctl/console/console_test.py
Exits 77 (skipped) when Selenium, Chromium or its driver is not installed. With VESK_SCREENSHOT
set to a path, the page with a degraded volume is saved there as a PNG."""
from browser_support import *  # noqa: F401,F403 (the fixtures and helpers)
from browser_support import By, Select  # noqa: F401


def test_remove_drive_shows_the_volume_degraded_and_the_drive_missing(browser, machine):
    open_console(browser, machine)
    machine.run("remove-drive", REMOVED, "--force")
    missing = drive_id(machine, REMOVED)
    wait(browser, lambda: row_state(browser, DATA) == "degraded", "Data shows degraded")
    wait(browser, lambda: row_state(browser, missing) == "missing", "the drive shows missing")
    assert row_state(browser, SCRATCH) == "failed"
    # Its array and controller roll the failed volume up.
    for kind in ("array", "controller"):
        rolled = attribute(browser, f'[data-kind="{kind}"][data-health="failed"]', "aria-label")
        assert rolled and rolled.endswith(", FAILED"), kind
    last = machine.last_record()
    wait(browser, lambda: applied(browser) >= last, f"the page applies record {last}")
    assert not_reloaded(browser)

    # The details list every member in array order with its role, and the way back to health.
    click(browser, f'[data-element-id="{DATA}"] > .row')
    roles = [tuple(r) for r in attributes(browser, "#details tr[data-role]", "data-member", "data-role")]
    assert roles == [(m["serial"], m["role"]) for m in machine.volume(DATA)["members"]]
    assert (REMOVED, "missing") in roles
    assert "rebuild-volume Data --drives" in browser.find_element(By.ID, "details").text
    if os.environ.get("VESK_SCREENSHOT"):
        browser.save_screenshot(os.environ["VESK_SCREENSHOT"])
    # The journal's filters: one kind, then one element.
    Select(browser.find_element(By.ID, "filter-kind")).select_by_value("drive-missing")
    assert [k for (k,) in attributes(browser, "#journal li", "data-kind")] == ["drive-missing"]
    Select(browser.find_element(By.ID, "filter-kind")).select_by_value("")
    browser.find_element(By.ID, "filter-element").send_keys("Scratch")
    shown = browser.find_element(By.ID, "journal").text.splitlines()
    assert shown and all('Scratch' in line for line in shown)


def progress(driver):
    bar = f'progress[data-volume-id="{DATA}"]'
    found = attributes(driver, bar, "value", "aria-valuenow")
    if not found:
        return None
    value, now = found[0]
    assert float(value) == float(now), "the bar and what it says to a screen reader differ"
    return float(value)


def test_a_rebuild_started_from_the_advice_moves_its_bar_with_the_simulated_clock(browser, machine):
    machine.run("remove-drive", REMOVED, "--force")
    open_console(browser, machine)
    # The way back to health goes into the form; the administrator chooses the new drive among
    # the free drives of the controller, not a placeholder.
    click(browser, f'[data-element-id="{DATA}"] > .row')
    click(browser, "#details .advice button")
    free = {drive_id(machine, s): s for s in ("KN2K00004104", "KN2K00004105")}
    boxes = "#opt-drives input[type=checkbox]"
    wait(browser, lambda: {v for (v,) in attributes(browser, boxes, "value")} == set(free),
         "the drives that fit are offered")
    assert not attributes(browser, boxes + ":checked", "value")
    click(browser, f'#opt-drives input[value="{drive_id(machine, "KN2K00004104")}"]')
    browser.find_element(By.ID, "dry-run").click()
    wait(browser, lambda: browser.find_elements(By.ID, "carry-out"), "the dry run is shown")
    assert not browser.find_elements(By.ID, "confirm-name"), "a rebuild asks nothing"
    browser.find_element(By.ID, "carry-out").click()
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, '[data-outcome="done"]'),
         "the rebuild is started")
    wait(browser, lambda: row_state(browser, DATA) == "rebuilding", "Data shows rebuilding")
    start = progress(browser)
    assert start is not None and start < 100
    seen = [start]
    for _ in range(2):
        machine.run("sim", "advance", "5000")
        wait(browser, lambda: (progress(browser) or 0) > seen[-1], "the bar moves on")
        seen.append(progress(browser))
    assert seen[-1] == machine.volume(DATA)["progress"]
    # Once two readings are a second apart the rate and time left are known.
    wait(browser, lambda: "not known" not in browser.find_element(By.ID, "jobs").text,
         "rate and time left are shown")
    machine.run("sim", "advance", "600000")
    wait(browser, lambda: row_state(browser, DATA) == "normal", "the rebuild ends")
    wait(browser, lambda: progress(browser) is None, "the bar goes away")
    assert not_reloaded(browser)


def test_the_page_catches_up_after_the_server_restarts(browser, machine):
    open_console(browser, machine)
    browser.expected_errors.append(DOWN)
    machine.stop()
    wait(browser, lambda: connection(browser) == "lost", "the page says the connection is lost")
    assert attribute(browser, "#connection", "role") in ("status", "alert")
    machine.run("remove-drive", REMOVED, "--force")
    last = machine.last_record()
    sign_in_again(browser, machine.serve())
    wait(browser, lambda: connection(browser) == "live", "the page reconnects")
    wait(browser, lambda: row_state(browser, DATA) == "degraded", "the change made while down shows")
    wait(browser, lambda: applied(browser) >= last, f"the page applies record {last}")
    # No record is lost or doubled in the journal view across the restart (a line holds a change's
    # records; changes of internal properties are not listed).
    listed = journal_ids(browser)
    assert listed == sorted(set(listed), reverse=True)
    held = [int(i) for (ids,) in attributes(browser, "#journal [data-records]", "data-records")
            for i in ids.split()]
    assert len(held) == len(set(held))
    records = [json.loads(line) for line in machine.run("events", "--json").splitlines()]
    assert {r["id"] for r in records if min(listed) <= r["id"] <= last and r["kind"] != "changed"} <= set(held)
    assert not_reloaded(browser)


def test_records_lost_to_rotation_make_the_page_reload_the_topology(browser, machine):
    machine.base += ["--journal-size", "4KiB"]
    open_console(browser, machine)
    before = applied(browser)
    browser.expected_errors.append(DOWN)
    machine.stop()
    machine.run("remove-drive", REMOVED, "--force")
    for i in range(20):
        machine.run("locate", "KN2K00004100", "on" if i % 2 == 0 else "off")
    oldest = json.loads(machine.run("events", "--json").splitlines()[0])["id"]
    assert oldest > before + 1, "the records the page waits for did not rotate away"
    sign_in_again(browser, machine.serve())
    wait(browser, lambda: row_state(browser, DATA) == "degraded", "the topology is reloaded")
    last = machine.last_record()
    wait(browser, lambda: applied(browser) >= last, f"the page applies record {last}")
    # The journal view starts over from what the journal holds.
    listed = journal_ids(browser)
    assert min(listed) >= oldest
    assert not_reloaded(browser)


def sign_in_again(driver, url):
    """A restart ends every session: the page asks for the token, then carries on in place."""
    driver.expected_errors.append(r"api/session.* 401")
    wait(driver, lambda: driver.find_element(By.ID, "sign-in").is_displayed(), "the page asks")
    driver.find_element(By.ID, "sign-in-token").send_keys(url.split("token=")[1])
    click(driver, "#sign-in button")


def test_the_page_signs_in_with_a_token_and_out_with_its_button(browser, machine):
    url = machine.serve()
    browser.expected_errors.append(r"api/(session|sign-in).* 401")
    browser.get(url.split("?")[0])
    wait(browser, lambda: browser.find_element(By.ID, "sign-in").is_displayed(), "the form shows")
    assert connection(browser) == "lost"
    browser.find_element(By.ID, "sign-in-token").send_keys("0" * 64)
    click(browser, "#sign-in button")
    wait(browser, lambda: "the token is not this console's" in
         browser.find_element(By.ID, "connection").text, "a wrong token is refused")
    field = browser.find_element(By.ID, "sign-in-token")
    field.clear()
    field.send_keys(url.split("token=")[1])
    click(browser, "#sign-in button")
    wait(browser, lambda: connection(browser) == "live", "the page connects")
    wait(browser, lambda: row_state(browser, DATA), "the tree shows volume Data")
    assert not browser.find_element(By.ID, "sign-in").is_displayed()
    click(browser, "#sign-out")
    wait(browser, lambda: browser.find_element(By.ID, "sign-in").is_displayed(), "signed out")
    assert browser.execute_script(
        "return fetch('/api/session').then(r => r.status)") == 401


def choose_command(driver, name):
    menu = Select(driver.find_element(By.ID, "command-select"))
    menu.select_by_index(next(i for i, o in enumerate(menu.options)
                              if o.text.split(" (")[0] == name))


def dry_run_delete(driver):
    click(driver, f'[data-element-id="{DATA}"] > .row')
    choose_command(driver, "delete-volume")
    assert driver.find_element(By.ID, "arg-volume").get_attribute("value") == DATA
    driver.find_element(By.ID, "dry-run").click()
    wait(driver, lambda: driver.find_elements(By.ID, "confirm-name"), "the dry run asks for the name")
    return driver.find_element(By.ID, "carry-out")


def test_a_destructive_command_waits_until_the_name_is_typed(browser, machine):
    open_console(browser, machine)
    # The forms tell flags from options that take a value.
    choose_command(browser, "verify-volume")
    wait(browser, lambda: attribute(browser, "#opt-repair", "type") == "checkbox", "--repair is a box")
    choose_command(browser, "create-volume")
    wait(browser, lambda: attribute(browser, "#opt-initialize", "type") == "checkbox", "so is --initialize")
    assert attribute(browser, "#opt-name", "type") == "text"
    unlabelled = browser.execute_script(
        "return [...document.querySelectorAll('input, select')]"
        ".filter(e => !e.labels.length && !e.getAttribute('aria-label')).map(e => e.id)")
    assert not unlabelled, "form fields a screen reader cannot name"
    carry = dry_run_delete(browser)
    losses = browser.find_element(By.ID, "losses").text
    assert 'volume "Data"' in losses and "is deleted" in losses
    typed = browser.find_element(By.ID, "confirm-name")
    for attempt in ("", "Dat", "data", "Data "):
        typed.clear()
        typed.send_keys(attempt)
        assert not carry.is_enabled(), f"carry out enabled with {attempt!r} typed"
    assert machine.volume(DATA) is not None
    typed.clear()
    typed.send_keys("Data")
    assert carry.is_enabled()
    carry.click()
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, '[data-outcome="done"]'),
         "the page reports the command done")
    wait(browser, lambda: row_state(browser, DATA) is None, "the volume leaves the tree")
    assert machine.volume(DATA) is None


def test_a_page_with_a_stale_dry_run_is_refused(browser, machine):
    open_console(browser, machine)
    browser.expected_errors.append(r"api/commands.* 409")
    carry = dry_run_delete(browser)
    machine.run("rename-volume", "Data", "Archive")
    wait(browser, lambda: "Archive" in browser.find_element(By.ID, "tree").text, "the rename shows")
    browser.find_element(By.ID, "confirm-name").send_keys("Data")
    carry.click()
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, '[data-outcome="conflict"]'),
         "the page shows the refusal")
    # The refusal says 409 once, not again in the server's words.
    assert browser.find_element(By.CSS_SELECTOR, '[data-outcome="conflict"]').text == (
        "Refused (409): refused to delete-volume: what it acts on changed since the dry run "
        "(renamed, or its state moved on). Nothing was done. Dry run it again.")
    assert machine.volume(DATA)["name"] == "Archive"


def test_starting_over_that_loses_a_volume_waits_until_the_command_is_typed(browser, machine):
    created = json.loads(machine.run("--json", "create-volume", "--name", "bk", "--level", "1",
                                     "--drives", "KN2K00004104,KN2K00004105"))["result"]["volumeId"]
    open_console(browser, machine)
    choose_command(browser, "sim reset")
    browser.find_element(By.ID, "dry-run").click()
    wait(browser, lambda: browser.find_elements(By.ID, "confirm-name"), "the dry run asks")
    assert 'volume "bk"' in browser.find_element(By.ID, "losses").text
    typed = browser.find_element(By.ID, "confirm-name")
    assert typed.get_attribute("data-expected") == "sim reset"
    carry = browser.find_element(By.ID, "carry-out")
    typed.send_keys("sim rese")
    assert not carry.is_enabled()
    typed.send_keys("t")
    carry.click()
    wait(browser, lambda: row_state(browser, created) is None, "the volume leaves the tree")
    assert machine.volume(created) is None
