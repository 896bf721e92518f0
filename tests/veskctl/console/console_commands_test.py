"""The console's commands in a real browser: the actions offered for the selected element, the
guided create, and what the page says of a command's outcome, against a real `veskctl serve` on
the simulated machine.

Run: VESKCTL=path/to/veskctl /usr/bin/python3 -m pytest -q tests/veskctl/console/console_commands_test.py
Exits 77 (skipped) when Selenium, Chromium or its driver is not installed."""
from browser_support import *  # noqa: F401,F403 (the fixtures and helpers)
from browser_support import By, Select  # noqa: F401

NVME, SATA = "c0d0e100-0000-4000-8000-000000000002", "c0a7a000-0000-4000-8000-000000000001"
FREE = ("KN2K00004104", "KN2K00004105")


def choose_command(driver, name):
    menu = Select(driver.find_element(By.ID, "command-select"))
    menu.select_by_index(next(i for i, o in enumerate(menu.options)
                              if o.text.split(" (")[0] == name))


def outcome(driver, name):
    selector = f'#command-result [data-outcome="{name}"]'
    wait(driver, lambda: driver.find_elements(By.CSS_SELECTOR, selector), f"outcome {name}")
    return driver.find_element(By.CSS_SELECTOR, selector).text


def carry_out(driver):
    wait(driver, lambda: driver.find_elements(By.ID, "carry-out"), "the dry run is shown")
    click(driver, "#carry-out")
    return outcome(driver, "done")


def test_elements_named_like_options_are_acted_on_by_identifier(browser, machine, tmp_path):
    machine.reset(tmp_path, lambda t: t["controllers"][0]["drives"][3].update(serial="--help"))
    created = json.loads(machine.run("--json", "create-volume", "--name=--force", "--level", "0",
                                     "--drives", ",".join(FREE)))["result"]["volumeId"]
    helped = machine.drive("--help")["id"]
    open_console(browser, machine)
    # A drill on the drive whose serial number is an option of the command line.
    pick(browser, helped)
    choose_command(browser, "sim fail-drive")
    click(browser, "#dry-run")
    assert carry_out(browser).startswith("Done: sim fail-drive")
    assert machine.drive("--help")["statusName"] == "failed"
    # A volume named like an option the console sets itself.
    pick(browser, created)
    choose_command(browser, "rename-volume")
    browser.find_element(By.ID, "arg-name").send_keys("Archive")
    click(browser, "#dry-run")
    carry_out(browser)
    assert machine.volume(created)["name"] == "Archive"


def actions(driver):
    return [a for (a,) in attributes(driver, "#details [data-action]", "data-action")]


def drive_choices(driver):
    return {value: label for value, label in driver.execute_script(
        "return [...document.querySelectorAll('#opt-drives input[type=checkbox]')]"
        ".map(e => [e.value, e.labels[0].textContent])")}


def test_a_degraded_volume_refuses_a_verification_and_offers_a_rebuild_onto_drives_that_fit(
        browser, machine):
    machine.run("remove-drive", REMOVED, "--force")
    open_console(browser, machine)
    pick(browser, DATA)
    # A refusal says the driver's status and why.
    choose_command(browser, "verify-volume")
    click(browser, "#dry-run")
    assert outcome(browser, "failed") == (
        "The command would fail (exit code 1): Unable to verify volume. IOCTL completed with error.\n"
        "Driver status 15: InvalidState — the object is not in a state the command applies to "
        "(initialize an initialized volume, rebuild a volume that is not degraded, cancel a "
        "verification that is not running, ...)\n"
        'Why: volume "Data" is degraded (KN2K00004101 holds none of its data): the driver changes '
        "it only once it is whole again; rebuild it first (veskctl rebuild-volume Data --drives "
        "DRIVE)")
    assert actions(browser) == ["rebuild", "verify", "rename", "change-layout", "delete"]
    assert "destroys data" in browser.find_element(By.CSS_SELECTOR, '#details [data-action="delete"]').text
    click(browser, '#details [data-action="rebuild"]')
    free = {drive_id(machine, serial): serial for serial in FREE}
    wait(browser, lambda: set(drive_choices(browser)) == set(free), "the free NVMe drives are offered")
    for value, label in drive_choices(browser).items():
        assert label.startswith(free[value]) and "1.8 TiB" in label
    # The first of them is chosen and dry run at once; the administrator may choose another.
    carry_out(browser)
    wait(browser, lambda: row_state(browser, DATA) == "rebuilding", "Data shows rebuilding")
    # A drive offers what fits it; a destructive command is marked in the list of commands too.
    pick(browser, drive_id(machine, FREE[1]))
    assert actions(browser) == ["mark-spare", "locate"]
    menu = Select(browser.find_element(By.ID, "command-select"))
    marked = {o.text for o in menu.options if o.text.endswith("(destroys data)")}
    assert marked == {f"{c} (destroys data)" for c in
                      ("delete-volume", "change-layout", "clear-metadata", "remove-drive")}


def test_the_guided_create_offers_free_drives_and_levels_and_a_stale_member_is_rebuilt_in_place(
        browser, machine):
    machine.run("sim", "pull-drive", "KN2K00004102")
    machine.run("sim", "insert-drive", "KN2K00004102")
    open_console(browser, machine)
    # A member that came back stale is rebuilt where it is: none of the free drives is added.
    pick(browser, DATA)
    click(browser, '#details [data-action="rebuild"]')
    wait(browser, lambda: browser.find_elements(By.ID, "carry-out"), "the dry run is shown")
    assert not attributes(browser, "#opt-drives input:checked", "value"), "no drive is added"
    carry_out(browser)
    wait(browser, lambda: row_state(browser, DATA) == "rebuilding", "Data shows rebuilding")

    pick(browser, NVME)
    assert actions(browser) == ["create-volume"]
    click(browser, '#details [data-action="create-volume"]')
    wait(browser, lambda: drive_choices(browser), "the drives are offered")
    free = {drive_id(machine, serial): serial for serial in FREE}
    assert set(drive_choices(browser)) == set(free)
    levels = [o.text for o in Select(browser.find_element(By.ID, "opt-level")).options
              if o.get_attribute("value")]
    assert levels == ["RAID 0", "RAID 1", "RAID 10", "RAID 5"]
    # Another controller's drives are its free ones: not its spare, its optical drive or members.
    Select(browser.find_element(By.ID, "opt-controller")).select_by_value(SATA)
    wait(browser, lambda: set(drive_choices(browser)) == {drive_id(machine, "KS1A00000004")},
         "the other controller's free drive is offered")
    Select(browser.find_element(By.ID, "opt-controller")).select_by_value(NVME)
    wait(browser, lambda: set(drive_choices(browser)) == set(free), "the drives are offered again")
    for value in free:
        browser.find_element(By.CSS_SELECTOR, f'#opt-drives input[value="{value}"]').click()
    Select(browser.find_element(By.ID, "opt-level")).select_by_visible_text("RAID 1")
    browser.find_element(By.ID, "opt-name").send_keys("Mirror")
    browser.find_element(By.ID, "opt-size").send_keys("100G")
    click(browser, "#dry-run")
    wait(browser, lambda: browser.find_elements(By.ID, "carry-out"), "the prediction is shown")
    prediction = browser.find_element(By.CSS_SELECTOR, "#command-result .prediction").text
    assert "100.0 GiB" in prediction and "107374182400" not in prediction
    carry_out(browser)
    made = next(v for c in machine.show()["controllers"] for v in c["volumes"] if v["name"] == "Mirror")
    assert (made["raidLevelName"], made["size"]) == ("RAID 1", 100 * 2**30)

