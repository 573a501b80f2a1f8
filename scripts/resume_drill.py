#!/usr/bin/env python3
"""A direct batch killed with SIGKILL again and again, its job edited between runs, then
resumed to the end: every image of the final job is recorded exactly once with its file, and
the emulator's request count shows what was bought.

Usage: scripts/resume_drill.py BUILD_DIR [ITEMS] [KILLS]   (default 200 items, 5 kills)"""
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

build = sys.argv[1]
items = int(sys.argv[2]) if len(sys.argv) > 2 else 200
kills = int(sys.argv[3]) if len(sys.argv) > 3 else 5
cli = os.path.join(build, "tools/cli/zantrel-image")
emulator_bin = os.path.join(build, "tools/emulator/zantrel-emulator")
random.seed(7)

work = tempfile.mkdtemp(prefix="zantrel-drill-")
emulator = subprocess.Popen([emulator_bin, "--scenario", "small-delay:150"],
                            stdout=subprocess.PIPE, text=True)
try:
    url = emulator.stdout.readline().split("listening on ")[-1].strip()
    jobs = [json.dumps({"service": "gemini" if i % 3 else "images", "prompt": f"item {i}"})
            for i in range(items)]
    path = os.path.join(work, "jobs.jsonl")
    out = os.path.join(work, "out")
    command = [cli, "batch", path, "--out-dir", out, "--resume", "--concurrency", "8",
               "--base-url", url, "--api-key", "drill-key-0123456789", "--allow-private-links"]

    def write_jobs():
        with open(path, "w") as f:
            f.write("\n".join(jobs) + "\n")

    write_jobs()
    for k in range(kills):
        run = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(random.uniform(0.8, 1.6))
        run.send_signal(signal.SIGKILL)
        run.wait()
        if k == 1:
            jobs.insert(0, json.dumps({"service": "gemini", "prompt": "inserted at the top"}))
        if k == 3:
            del jobs[len(jobs) // 2]
        write_jobs()
    final = subprocess.run(command, capture_output=True, text=True)
    stats = json.load(urllib.request.urlopen(url + "/emulator/stats"))

    lines = [json.loads(text) for text in open(os.path.join(out, "results.jsonl")) if text.strip()]
    # Each prompt is its line's own: the final job's each recorded once, with its file.
    made = {}
    for line in lines:
        if line.get("result", {}).get("ok") and os.path.exists(os.path.join(out, line["file"])):
            made[line["prompt"]] = made.get(line["prompt"], 0) + 1
    wanted = [json.loads(job)["prompt"] for job in jobs]
    missing = [p for p in wanted if made.get(p, 0) == 0]
    twice = [p for p, n in made.items() if n > 1]
    print(json.dumps({"final_status": final.returncode, "images_in_final_job": len(wanted),
                      "missing": len(missing), "recorded_twice": len(twice),
                      "images_recorded": sum(made.values()), "requests": stats["requests"],
                      "sent_but_cut_by_the_kills": stats["requests"] - sum(made.values())}))
    sys.exit(0 if final.returncode == 0 and not missing and not twice else 1)
finally:
    emulator.terminate()
    emulator.wait()
