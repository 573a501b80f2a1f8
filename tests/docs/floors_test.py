"""Runs the floor check on small trees: a clean one passes; an include that runs up, a file on no
floor, and a program reaching inside the library or into another program, each fail with the
file named."""
import pathlib
import subprocess
import sys
import tempfile

CHECK = sys.argv[1]
CASES = [
    ("clean", {"zantrel/host/config.h": '#include "zantrel/host/base/bytes.h"\n',
               "zantrel/host/base/bytes.h": ""}, None),
    ("runs up", {"zantrel/host/base/bytes.h": '#include "zantrel/host/http/http_client.h"\n',
                 "zantrel/host/http/http_client.h": ""},
     "zantrel/host/base/bytes.h (types) includes zantrel/host/http/http_client.h (http)"),
    ("codec above http", {"zantrel/host/codec/base64.cc":
                          '#include "zantrel/host/call/task.h"\n',
                          "zantrel/host/call/task.h": ""},
     "zantrel/host/codec/base64.cc (below) includes zantrel/host/call/task.h (call)"),
    ("no floor", {"zantrel/host/stray/x.h": ""}, "zantrel/host/stray/x.h: belongs to no floor"),
    ("program inside",
     {"tools/cli/output/image_output.cc": '#include "zantrel/host/internal/codec/json_text.h"\n'},
     "tools/cli/output/image_output.cc includes zantrel/host/internal/codec/json_text.h: "
     "a program uses only"),
    ("program on call", {"bindings/python/module.cc": '#include "zantrel/host/call/task.h"\n'},
     "bindings/python/module.cc includes zantrel/host/call/task.h"),
    ("programs apart", {"tools/cli/demo.cc": '#include "tools/emulator/scenario.h"\n'},
     "tools/cli/demo.cc includes tools/emulator/scenario.h: programs do not share files"),
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
