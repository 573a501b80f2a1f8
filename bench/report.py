"""Prints the ratio table from the files scripts/bench.sh wrote, and the chart's data file."""
import json
import sys


def medians(path):
    runs = json.load(open(path, encoding="utf-8"))["benchmarks"]
    return {b["run_name"]: b for b in runs if b.get("aggregate_name") == "median"}


def main():
    out = sys.argv[1]
    bench = medians(f"{out}/payload.json") | medians(f"{out}/upload.json")
    memory = {service: json.load(open(f"{out}/memory-{service}.json", encoding="utf-8"))
              for service in ("gemini", "edit")}
    in_flight = json.load(open(f"{out}/in-flight.json", encoding="utf-8"))
    cli = json.load(open(f"{out}/cli-peak.json", encoding="utf-8"))
    calls = json.load(open(f"{out}/concurrency.json", encoding="utf-8"))
    flight = json.load(open(f"{out}/engine-flight.json", encoding="utf-8"))
    jobs = json.load(open(f"{out}/engine-jobs.json", encoding="utf-8"))
    cancel = json.load(open(f"{out}/engine-cancel.json", encoding="utf-8"))
    rounds = json.load(open(f"{out}/engine-rounds.json", encoding="utf-8"))
    batch = json.load(open(f"{out}/batch.json", encoding="utf-8"))
    burst = json.load(open(f"{out}/burst.json", encoding="utf-8"))
    python = json.load(open(f"{out}/python-overhead.json", encoding="utf-8"))
    streamed = {service: json.load(open(f"{out}/stream-memory-{service}.json", encoding="utf-8"))
                for service in ("images", "gemini")}
    latency = json.load(open(f"{out}/preview-latency.json", encoding="utf-8"))
    conversation = json.load(open(f"{out}/conversation.json", encoding="utf-8"))
    later_turns = conversation["turns"][1:]
    results_file = json.load(open(f"{out}/results-file.json", encoding="utf-8"))
    counts = json.loads(open(f"{out}/instructions.json", encoding="utf-8").read().splitlines()[-1])
    recorded = json.load(open("bench/instructions_baseline.json", encoding="utf-8"))
    py = json.load(open(f"{out}/python.json", encoding="utf-8"))

    def ms(name):
        return bench[name]["real_time"]

    rows = [
        ("P1", "Gemini request, 4 x 8 MiB, into the upload buffer / OpenSSL encode of 32 MiB",
         ms("BM_GeminiUpload/8") / ms("BM_OpenSslEncode/32"), "<= 1.3"),
        ("P1c", "a Gemini call's model, ratio and size checks / P1's request (4 x 8 MiB), %",
         100 * bench["BM_ModelChecks"]["real_time"] / 1000 / ms("BM_GeminiUpload/8"), "< 1"),
        ("P2", "Gemini 200 body, 20 MiB image, to result / OpenSSL decode",
         ms("BM_GeminiResponse/20") / ms("BM_OpenSslDecode/20"), "<= 1.3"),
        ("P3", "images b64_json 20 MiB to result / OpenSSL decode",
         ms("BM_ImagesResponse/20") / ms("BM_OpenSslDecode/20"), "<= 1.3"),
        ("P4", "edits form 4 x 8 MiB through libcurl / memcpy of 32 MiB",
         ms("BM_EditsUpload/8/real_time") / ms("BM_Memcpy/32"), "<= 1.5"),
        ("P4c", "an images call's member checks (all ten set) / P4's edits upload (4 x 8 MiB), %",
         100 * bench["BM_ImageChecks"]["real_time"] / 1000 / ms("BM_EditsUpload/8/real_time"),
         "< 1"),
        ("P4b", "  the same / send() of 32 MiB on a loopback socket",
         ms("BM_EditsUpload/8/real_time") / ms("BM_SocketWrite/32/real_time"), "(floor)"),
        ("P5a", "Python request building / ours (higher is better)",
         py["request_seconds"] * 1000 / ms("BM_GeminiUpload/8"), ">= 8"),
        ("P5b", "Python response reading / ours (higher is better)",
         py["response_seconds"] * 1000 / ms("BM_GeminiResponse/20"), ">= 2.5"),
        ("P6", "Gemini call: peak RSS growth / (references + response body)",
         memory["gemini"]["rss_growth_bytes"] / memory["gemini"]["needed_bytes"], "<= 1.15"),
        ("P6b", "edit: peak RSS growth / (references + response body)",
         memory["edit"]["rss_growth_bytes"] / memory["edit"]["needed_bytes"], "<= 1.15"),
        ("P16", "streamed images call, 40 MiB final event: peak RSS growth / event size",
         streamed["images"]["rss_growth_bytes"] / streamed["images"]["event_bytes"], "<= 1.15"),
        ("P16b", "  the same, Gemini",
         streamed["gemini"]["rss_growth_bytes"] / streamed["gemini"]["event_bytes"], "<= 1.15"),
        ("P17", "a partial image's first byte on the wire to the observer's call, median ms "
         f"(max {latency['max_ms']:.2f})", latency["median_ms"], "<= 5"),
        ("P20", "10-turn conversation, 4 x 8 MiB references uploaded once: bytes sent per turn "
         "after the first / the same turn inline, worst, %",
         100 * conversation["worst_ratio_after_first"], "<= 1"),
        ("P20b", "  the same turns' mean bytes sent / one inline copy of the references, %",
         100 * sum(t["bytes_sent"] for t in later_turns) / len(later_turns)
         / conversation["turns"][0]["inline_bytes"], "(info)"),
        ("P18", "provider results file, 1,000 lines x 1 MiB image, into image files / OpenSSL "
         "decode of the same bytes", results_file["ratio"], "<= 1.5"),
        ("P18b", "  the same / (decode + sha256 + file write of each image)",
         results_file["work_ratio"], "(floor)"),
        ("P18c", "  peak RSS growth / (2 lines + 64 MiB)",
         results_file["peak_growth_bytes"] / results_file["bound_bytes"], "<= 1"),
        ("P7", "32 threads x 8 calls: wall / 8 x 200 ms",
         calls["wall_seconds"] / calls["ideal_seconds"], "<= 1.3"),
        ("P7b", "  new connections seen by the emulator",
         calls["connections"], "<= 34"),
        ("P12", "64 Gemini calls in flight: peak RSS growth / 64 MiB (references held by host)",
         in_flight["rss_growth_bytes"] / (64 * 2**20), "<= 1"),
        ("P12b", "  the same, MiB per call in flight",
         in_flight["rss_growth_bytes"] / 2**20 / in_flight["calls"], "<= 1"),
        ("P10", "1,000 start_async calls in flight, 2 s answers: wall seconds (all succeeded: "
         f"{flight['failed'] == 0})", flight["wall_seconds"], "<= 2.6"),
        ("P10b", "  threads the library added", flight["extra_threads"], "<= 1"),
        ("P10c", "  peak RSS growth, MiB", flight["rss_growth_bytes"] / 2**20, "<= 64"),
        ("P10d", "1,000 background jobs of 2 s in flight: wall / (job + last poll pause) (all ok: "
         f"{jobs['failed'] == 0}, {jobs['server']['polls']} polls)",
         jobs["wall_seconds"] / (jobs["job_seconds"] + jobs["last_pause_seconds"]), "<= 1.3"),
        ("P10e", "  threads the library added", jobs["extra_threads"], "<= 1"),
        ("P11", "100 calls in flight cancelled at once: slowest result, ms",
         cancel["slowest_delivery_seconds"] * 1000, "<= 100"),
        ("P7e", "32 start_async calls x 8 rounds: wall / 8 x 200 ms",
         rounds["wall_seconds"] / rounds["ideal_seconds"], "<= 1.1"),
        ("P7f", "  new connections seen by the server", rounds["connections"], "<= 34"),
        ("P19", "256 calls in one burst, plain threaded server (listen queue 5): ok / 256 "
         f"(server read {burst['server_posts']})", burst["ok"] / burst["calls"], "= 1.0"),
        ("P19b", "  wall / (2 s answer x 256 / 256 server threads)",
         burst["wall_seconds"] / burst["ideal_seconds"], "<= 1.3"),
        ("P14", "batch of 1,000 items, concurrency 64, 100 ms answers: (wall - start-up) / "
         "(1000 / 64 x 0.1 s)",
         (batch["wall_seconds"] - batch["startup_seconds"]) / batch["ideal_seconds"], "<= 1.2"),
        ("P15", "Python module / C++ for one Gemini call, 4 x 8 MiB references, 20 MiB image",
         python["ratio"], "<= 1.05"),
        ("CLI", "peak MiB of one CLI call, Gemini (4 x 8 MiB refs, 20 MiB image)",
         cli["gemini_mib"], "<= 85"),
        ("CLI", "  the same, edit", cli["edit_mib"], "<= 80"),
        ("P8a", "request instructions per byte / recorded",
         counts["request"] / recorded["request"], "<= 1.2"),
        ("P8b", "response instructions per byte / recorded",
         counts["response"] / recorded["response"], "<= 1.2"),
        ("info", "Gemini request into the upload buffer / own AVX2 encode of 32 MiB",
         ms("BM_GeminiUpload/8") / ms("BM_OwnEncode/32"), ""),
        ("info", "Gemini request body built whole (before streaming) / OpenSSL encode",
         ms("BM_GeminiRequestBody/8") / ms("BM_OpenSslEncode/32"), ""),
        ("info", "Gemini response / own AVX2 decode of 20 MiB",
         ms("BM_GeminiResponse/20") / ms("BM_OwnDecode/20"), ""),
    ]
    print("| row | measure | ratio | target |\n|---|---|---|---|")
    for row, what, ratio, target in rows:
        # Shares far below one (the checks' percentages) keep their first digits.
        value = (f"{ratio:.0f}" if isinstance(ratio, int)
                 else f"{ratio:.4f}" if 0 < abs(ratio) < 0.01 else f"{ratio:.2f}")
        print(f"| {row} | {what} | {value} | {target} |")
    print(f"\ninstructions per byte: request {counts['request']:.3f}, "
          f"response {counts['response']:.3f}")

    # Throughput against payload size for the chart (GB/s of image bytes).
    series = ["BM_GeminiUpload", "BM_GeminiResponse", "BM_ImagesResponse",
              "BM_EditsUpload", "BM_OpenSslDecode"]
    with open(f"{out}/throughput.dat", "w", encoding="utf-8") as data:
        data.write("# MiB " + " ".join(series) + "\n")
        for size in (1, 4, 8, 20):
            values = []
            for name in series:
                key = f"{name}/{size}" + ("/real_time" if name == "BM_EditsUpload" else "")
                rate = bench[key]["bytes_per_second"] / 1e9 if key in bench else None
                values.append(f"{rate:.3f}" if rate is not None else "?")
            data.write(f"{size} " + " ".join(values) + "\n")


if __name__ == "__main__":
    main()
