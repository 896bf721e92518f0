"""The systemd unit docs/monitoring.md shows, checked by systemd itself.

    systemd_unit_test.py VESKCTL DOCS/monitoring.md

The unit is taken from the document as it stands, its veskctl pointed at the one just built, and
given to `systemd-analyze verify`: any complaint fails the test, as systemd only warns about what it
ignores. Where systemd-analyze is missing the unit is parsed here instead. Either way, veskctl
itself parses the unit's command line.
"""
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

veskctl, document = str(pathlib.Path(sys.argv[1]).resolve()), pathlib.Path(sys.argv[2])
blocks = re.findall(r"```ini\n# (vesk-sim-monitor\.service)\n(.*?)```", document.read_text(), re.S)
if len(blocks) != 1:
    sys.exit(f"{document}: expected one ```ini block of vesk-sim-monitor.service, found {len(blocks)}")
name, unit = blocks[0]
unit = unit.replace("/usr/local/bin/veskctl", veskctl)

with tempfile.TemporaryDirectory() as folder:
    path = pathlib.Path(folder) / name
    path.write_text(unit)
    analyze = shutil.which("systemd-analyze")
    if analyze:
        run = subprocess.run([analyze, "verify", str(path)], capture_output=True, text=True)
        if run.returncode != 0 or run.stdout.strip() or run.stderr.strip():
            sys.exit(f"systemd-analyze verify ({run.returncode}):\n{run.stdout}{run.stderr}")
    sections, section = {}, None
    for line in unit.splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        if re.fullmatch(r"\[\w+\]", line):
            section = sections.setdefault(line[1:-1], {})
        elif section is None or "=" not in line:
            sys.exit(f"{name}: not a unit file line: {line!r}")
        else:
            key, value = line.split("=", 1)
            section[key] = value
    if sorted(sections) != ["Install", "Service", "Unit"]:
        sys.exit(f"{name}: sections {sorted(sections)}, expected Install, Service and Unit")
    words = shlex.split(sections["Service"]["ExecStart"].replace("%h", folder))
    if words[0] != veskctl or "monitor" not in words:
        sys.exit(f"{name}: ExecStart does not run veskctl monitor: {words}")
    # The monitor's own parser takes the command line: --once with a dry run looks once and writes
    # nothing, so the unit's options are checked without a monitor left running (and without its
    # listener, which --once does not serve).
    at = words.index("--metrics-listen")
    once = words[:at] + words[at + 2:] + ["--once", "--dry-run"]
    run = subprocess.run(once, capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        sys.exit(f"veskctl refused the unit's command line ({run.returncode}): {run.stderr}")
print(f"{name}: verified" + (" by systemd-analyze" if analyze else " by parsing"))
