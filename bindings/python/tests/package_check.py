"""Builds the package as a Python user would (`pip wheel .`, offline, with Debian's setuptools)
and installs the wheel into a fresh virtual environment, then imports it from there and makes
one call against the emulator: the wheel holds a working module, not the build tree's."""
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(sys.argv[1]).resolve()
EMULATOR = sys.argv[2]

PROBE = """
import os, subprocess, sys, zantrel
assert zantrel.__file__.startswith(sys.prefix), zantrel.__file__
emulator = subprocess.Popen([sys.argv[1], "--api-key", "package-check-key"],
                            stdout=subprocess.PIPE, text=True)
try:
    url = emulator.stdout.readline().strip().split("listening on ", 1)[1]
    client = zantrel.TavelinaClient(url, "package-check-key")
    result = client.generate_image("a lighthouse")
    assert result.ok, result.msg
    assert result.data[:8] == b"\\x89PNG\\r\\n\\x1a\\n", result.data[:8]
finally:
    emulator.terminate()
    emulator.wait()
print("installed and called:", zantrel.__file__)
"""

with tempfile.TemporaryDirectory() as scratch:
    scratch = pathlib.Path(scratch)
    offline = ["--no-build-isolation", "--no-index", "--no-deps", "-q"]
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", scratch / "env"],
                   check=True)
    python = scratch / "env" / "bin" / "python"
    subprocess.run([python, "-m", "pip", "wheel", *offline, "-w", scratch / "wheels", ROOT],
                   check=True, cwd=ROOT)
    wheels = list((scratch / "wheels").glob("zantrel-*.whl"))
    assert len(wheels) == 1, wheels
    subprocess.run([python, "-m", "pip", "install", *offline, wheels[0]], check=True)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    subprocess.run([python, "-c", PROBE, EMULATOR], check=True, cwd=scratch, env=env)
