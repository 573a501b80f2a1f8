"""Runs the floor check on small trees: a clean one passes; an include that runs up, and a file
on no floor, each fail with the file named."""
import pathlib
import subprocess
import sys
import tempfile

CHECK = sys.argv[1]
CASES = [
    ("clean", {"zantrel/host/config.h": '#include "zantrel/host/bytes.h"\n',
               "zantrel/host/bytes.h": ""}, None),
    ("runs up", {"zantrel/host/bytes.h": '#include "zantrel/host/http/http_client.h"\n',
                 "zantrel/host/http/http_client.h": ""},
     "zantrel/host/bytes.h (types) includes zantrel/host/http/http_client.h (http)"),
    ("codec above http", {"zantrel/host/internal/codec/base64.cc":
                          '#include "zantrel/host/call/task.h"\n',
                          "zantrel/host/call/task.h": ""},
     "zantrel/host/internal/codec/base64.cc (below) includes zantrel/host/call/task.h (call)"),
    ("no floor", {"zantrel/host/stray.h": ""}, "zantrel/host/stray.h: belongs to no floor"),
]
failed = False
for name, files, fault in CASES:
    with tempfile.TemporaryDirectory() as root:
        for path, text in files.items():
            target = pathlib.Path(root, path)
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(text, encoding="utf-8")
        run = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        ok = run.returncode == 0 if fault is None else run.returncode == 1 and fault in run.stderr
        if not ok:
            failed = True
            print(f"{name}: exit {run.returncode}\n{run.stderr}")
sys.exit(1 if failed else 0)
