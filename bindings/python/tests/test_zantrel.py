"""The Python module against the emulator: both clients, every result code, the logger bridge,
many calls awaited at once, cancellation, references and wrong types."""
import asyncio
import gc
import json
import logging
import os
import re
import signal
import subprocess
import sys
import time

import pytest

import zantrel
from zantrel import ErrorCode

from conftest import KEY

PNG = b"\x89PNG\r\n\x1a\n"


def threads():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("scenario, gemini_code, images_code", [
    ("normal", None, None),
    ("status:503", ErrorCode.IMAGE_GENERATE_FAIL, ErrorCode.IMAGE_GENERATE_FAIL),
    ("busy:1", ErrorCode.SERVICE_BUSY, ErrorCode.IMAGE_GENERATE_FAIL),
    ("no-image", ErrorCode.NO_IMAGE_RESULT, ErrorCode.NO_IMAGE_RESULT),
    ("delay:2500", ErrorCode.SERVICE_TIMEOUT, ErrorCode.SERVICE_TIMEOUT),
    ("reset", ErrorCode.SERVICE_BUSY, ErrorCode.SERVICE_BUSY),
])
def test_each_outcome_arrives_with_its_code_and_report(emulator, scenario, gemini_code,
                                                       images_code):
    emulator.scenario(scenario)
    # Short only where the time-out is the outcome: on a machine busy with other tests an
    # emulator can go a second without a turn, which must not turn a reset into a time-out.
    timeout = (2, 0.8) if scenario.startswith("delay") else (10, 10)
    gemini = zantrel.TavelinaClient(emulator.url, KEY).start("a lake", "16:9", timeout=timeout)
    images = zantrel.CorvaneClient(emulator.url, KEY).start("a lake", "3:2", "high",
                                                            timeout=timeout)
    for result, code in ((gemini, gemini_code), (images, images_code)):
        assert result.code == code
        assert result.ok == (code is None)
        if code is None:
            assert result.data.startswith(PNG)
            assert result.report.delivery == "answered"
            assert result.report.image["mime"] == "image/png"
            cost = result.report.cost
            assert cost["estimated"] and cost["tier"] == "standard" and cost["usd"] > 0
            assert cost["prices_as_of"] == "2026-12-01"
        else:
            assert result.data is None
        assert result.report.timings_s["total"] > 0
    if scenario == "busy:1":
        assert gemini.report.retry_after_s == 1.0
        assert gemini.report.to_dict()["http_status"] == 429


def test_refused_parameters_are_invalid_params(emulator):
    result = zantrel.TavelinaClient(emulator.url, KEY).start("a lake", "7:5")
    assert result.code == ErrorCode.INVALID_PARAMS
    assert result.msg == "Invalid aspect_ratio: 7:5"
    assert result.report.attempts == 0


def test_records_reach_a_logging_logger_as_one_dict_each(emulator):
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record.msg)

    logger = logging.getLogger("zantrel-test")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(Keep())
    client = zantrel.TavelinaClient(emulator.url, KEY, model_tag="PY", logger=logger)
    assert client.start("a lake", "1:1", task_id="t-1", model_key=7).ok
    assert list(records[0])[:3] == ["msg", "task_id", "model_key"]
    assert records[0]["msg"] == "PY request api"
    assert records[0]["task_id"] == "t-1" and records[0]["model_key"] == 7
    assert [r["msg"] for r in records][-2:] == ["PY api complete successfully", "image_candidates"]
    assert all(KEY not in repr(r) for r in records)


def test_references_as_bytes_paths_and_lists(emulator, tmp_path):
    first = zantrel.TavelinaClient(emulator.url, KEY).start("a lake", "1:1").data
    path = tmp_path / "ref.png"
    path.write_bytes(first)
    images = zantrel.CorvaneClient(emulator.url, KEY)
    for files in (first, str(path), [first, str(path)], (str(path),)):
        result = images.start("watercolour", "1:1", files=files)
        assert result.ok, files if isinstance(files, str) else type(files)


def test_a_hundred_calls_awaited_in_one_loop_use_one_extra_thread(emulator):
    emulator.scenario("small-delay:300")
    client = zantrel.TavelinaClient(emulator.url, KEY)
    before = threads()
    peak = before

    async def main():
        nonlocal peak
        calls = [asyncio.ensure_future(client.start_async("p", "1:1")) for _ in range(100)]
        while not all(call.done() for call in calls):
            peak = max(peak, threads())
            await asyncio.sleep(0.02)
        return [call.result() for call in calls]

    results = asyncio.run(main())
    assert all(result.ok for result in results)
    assert peak - before <= 1


def test_cancelling_the_task_cancels_the_call(emulator):
    emulator.scenario("delay:3000")
    client = zantrel.CorvaneClient(emulator.url, KEY)

    async def main():
        task = asyncio.ensure_future(client.start_async("p", "1:1"))
        await asyncio.sleep(0.3)
        started = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return time.monotonic() - started

    assert asyncio.run(main()) < 1.0


def test_ctrl_c_cancels_a_blocking_call_and_keeps_its_outcome(emulator):
    emulator.scenario("delay:8000")
    script = (
        "import sys, zantrel\n"
        "client = zantrel.TavelinaClient(sys.argv[1], sys.argv[2])\n"
        "print('calling', flush=True)\n"
        "try:\n"
        "    client.start('a lake', '1:1')\n"
        "except KeyboardInterrupt as e:\n"
        "    print('interrupted', e.result.code, e.result.report.delivery, flush=True)\n")
    process = subprocess.Popen([sys.executable, "-c", script, emulator.url, KEY],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=os.environ.copy())
    assert process.stdout.readline().strip() == "calling"
    time.sleep(0.5)
    started = time.monotonic()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=20)
    assert time.monotonic() - started < 4, "the call ran on after Ctrl-C"
    assert out.strip() == "interrupted ErrorCode.SERVICE_BUSY no_answer", out + err


def test_results_are_not_leaked(emulator):
    client = zantrel.TavelinaClient(emulator.url, KEY)
    result = client.start("a lake", "1:1")
    assert sys.getrefcount(result) == 2  # the name and the call's argument
    data = result.data
    assert result.data is data  # made once, kept by the result
    del result
    assert sys.getrefcount(data) == 2  # the result let go of it
    awaited = asyncio.run(client.start_async("a lake", "1:1"))
    # The engine thread hands the result over inside a Python call, and Python may switch to
    # this thread before that call has returned and let go of its argument: give it a moment.
    deadline = time.monotonic() + 2
    while sys.getrefcount(awaited) > 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    gc.collect()  # the loop's own cycles (task, future) go; the native side holds nothing
    assert sys.getrefcount(awaited) == 2


@pytest.mark.parametrize("call, name", [
    (lambda c: c.start(5), "prompt"),
    (lambda c: c.start("p", 16), "aspect_ratio"),
    (lambda c: c.start("p", files=5), "files"),
    (lambda c: c.start("p", files=["a", 5]), "files"),
    (lambda c: c.start("p", timeout="10"), "timeout"),
    (lambda c: c.start("p", task_id=[1]), "task_id"),
    (lambda c: c.start("p", seed="7"), "seed"),
    (lambda c: c.start("p", temperature="hot"), "temperature"),
    (lambda c: c.start("p", safety=[("a", "b")]), "safety"),
    (lambda c: c.start("p", text=1), "text"),
    (lambda c: c.start("p", extra="{}"), "extra"),
    (lambda c: c.images.start("p", n="3"), "n"),
    (lambda c: c.images.start("p", output_compression=5.5), "output_compression"),
    (lambda c: c.images.start("p", background=True), "background"),
    (lambda c: c.images.start("p", mask=[b"x"]), "mask"),
    (lambda c: c.images.start("p", user=7), "user"),
    (lambda c: c.images.start("p", complexity=3), "complexity"),
    (lambda c: c.images.start("p", safety_identifier=b"u"), "safety_identifier"),
    (lambda c: c.start("p", thinking_level=2), "thinking_level"),
])
def test_wrong_types_name_the_argument_before_anything_is_sent(emulator, call, name):
    client = zantrel.TavelinaClient(emulator.url, KEY)
    client.images = zantrel.CorvaneClient(emulator.url, KEY)
    with pytest.raises(TypeError, match=rf"^{name} must be"):
        call(client)
    with pytest.raises(TypeError, match="logger must have a debug method"):
        zantrel.TavelinaClient(emulator.url, KEY, logger=object())


@pytest.mark.parametrize("kwargs, message", [
    ({"temperature": 3}, "temperature must be from 0 to 2, not 3"),
    ({"extra": {"when": object()}}, "extra must be JSON-serialisable"),
    ({"timeout": float("nan")}, "timeout must be seconds from 0, not nan"),
    ({"timeout": (1, -2)}, "timeout must be seconds from 0, not -2"),
    ({"images": True, "n": 11}, "n must be from 1 to 10, not 11"),
    ({"images": True, "output_compression": 101},
     "output_compression must be from 0 to 100, not 101"),
    ({"images": True, "input_fidelity": "max"},
     "input_fidelity must be one of 'low', 'high', not 'max'"),
])
def test_wrong_values_name_the_argument(emulator, kwargs, message):
    client = (zantrel.CorvaneClient if kwargs.pop("images", False) else zantrel.TavelinaClient)
    with pytest.raises(ValueError, match=re.escape(message)):
        client(emulator.url, KEY).start("p", **kwargs)


@pytest.mark.parametrize("native, given, unread", [
    (zantrel._zantrel.GenerationRequest, {"prompt": "p", "quality": "high"}, "quality"),
    (zantrel._zantrel.ImageRequest, {"prompt": "p", "seed": 1}, "seed"),
    (zantrel._zantrel.CallOptions, {"timeout": 5, "retries": 2}, "retries"),
])
def test_the_native_requests_read_each_keyword_and_refuse_the_rest(native, given, unread):
    with pytest.raises(TypeError, match=f"unexpected keyword argument '{unread}'"):
        native(**given)
    given.pop(unread)
    native(**given)


def test_the_defaults_are_the_librarys():
    request = zantrel._zantrel.GenerationRequest(prompt="p")
    assert (request.aspect_ratio, request.image_size, request.model) == (
        "2:3", "1K", zantrel.DEFAULT_GEMINI_MODEL)
    assert zantrel._zantrel.ImageRequest(prompt="p", model=None).model == "gpt-image-2"


def test_images_members_by_keyword_give_every_image_of_one_request(emulator):
    client = zantrel.CorvaneClient(emulator.url, KEY)
    done = client.start("a fox", "3:2", n=3, output_format="webp", output_compression=70,
                        moderation="low", user="u-1", extra={"service_tier": "default"})
    assert done.ok, done.msg
    assert len(done.images) == 3 and done.images[0] is done.data
    assert all(image[8:12] == b"WEBP" for image in done.images)
    assert len(set(done.images)) == 3
    assert done.report.answer["output_format"] == "webp"
    assert [image["mime"] for image in done.report.images] == ["image/webp"] * 3
    refused = asyncio.run(client.start_async("a fox", background="transparent"))
    assert refused.code == ErrorCode.INVALID_PARAMS
    assert refused.msg == ("background transparent is not taken by gpt-image-2; "
                           "it takes opaque, auto")
    assert refused.images == [] and refused.report.attempts == 0
    # Values that depend on the model are the library's to judge, per model.
    newer = zantrel.CorvaneClient(emulator.url, KEY, dialect="direct")
    gif = newer.start("a fox", "1:1", "xhigh", model="gpt-image-2.6-sunburst",
                      output_format="gif", complexity="low", safety_identifier="user-7f3a")
    assert gif.ok, gif.msg
    assert gif.data[:6] == b"GIF89a" and gif.report.answer["output_format"] == "gif"
    refused = newer.start("a fox", model="gpt-image-2", complexity="low")
    assert refused.code == ErrorCode.INVALID_PARAMS and refused.report.attempts == 0


def test_gemini_members_by_keyword_reach_the_service_or_are_refused_by_the_model(emulator):
    client = zantrel.TavelinaClient(emulator.url, KEY)
    done = client.start("a fox", "4:1", "512", model="gemini-3.1-flash-image", seed=7,
                        temperature=0.4, thinking_level="high", text=True,
                        safety={"HARM_CATEGORY_HARASSMENT": "BLOCK_ONLY_HIGH"},
                        extra={"labels": {"team": "art"}})
    assert done.ok, done.msg
    assert done.report.text == "Here is your picture."
    assert done.report.model_sent == "gemini-3.1-flash-image"
    refused = asyncio.run(client.start_async("a fox", model="gemini-3-pro-image",
                                             thinking_level="high"))
    assert refused.code == ErrorCode.INVALID_PARAMS
    assert refused.msg.startswith("thinking_level is not taken by gemini-3-pro-image")
    assert refused.report.attempts == 0
    # A reference that does not load is refused by name, nothing sent.
    missing = client.start("a fox", files=["/no/such/fox.png"], seed=1)
    assert missing.code == ErrorCode.INVALID_PARAMS and missing.report.attempts == 0
    assert missing.msg == "reference 1 (/no/such/fox.png) can't be used: no such file"
    # The model's own levels decide: "medium" is one of the newest Flash model's.
    newer = zantrel.TavelinaClient(emulator.url, KEY, dialect="direct")
    medium = newer.start("a fox", "4:1", "2K", model="gemini-nano-banana-2.1",
                         thinking_level="medium")
    assert medium.ok, medium.msg
    assert medium.report.model_sent == "gemini-nano-banana-2.1"


def test_the_readme_example_runs(emulator, tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "generate.py")
    run = subprocess.run([sys.executable, example, str(tmp_path)], capture_output=True, text=True,
                         env={**os.environ, "ZANTREL_BASE_URL": emulator.url,
                              "ZANTREL_API_KEY": KEY}, check=False)
    assert run.returncode == 0, run.stderr
    assert re.search(r"^True None 1290$", run.stdout, re.M)
    assert "4 of 4 edits" in run.stdout
    assert (tmp_path / "gemini.png").read_bytes().startswith(PNG)
    assert KEY not in run.stdout + run.stderr


def test_streamed_calls_show_their_previews_and_end_in_the_same_image(emulator):
    """Blocking: on_progress on the calling thread; start_async: on the awaiting loop."""
    import threading
    cases = [
        ("images", "normal", {"partial_images": 2}, ["partial 1 of 2", "partial 2 of 2"]),
        ("gemini", "stream-thoughts:2", {}, ["thought 1", "thought 2"]),
    ]
    for service, scenario, members, expected in cases:
        emulator.scenario(scenario)
        client = (zantrel.CorvaneClient(emulator.url, KEY) if service == "images"
                  else zantrel.TavelinaClient(emulator.url, KEY))
        seen, threads = [], set()

        def on_progress(progress):
            threads.add(threading.get_ident())
            if progress.preview is not None:
                p = progress.preview
                assert p.mime_type == "image/png" and p.data[1:4] == b"PNG"
                seen.append(f"{p.kind} {p.index}" + (f" of {p.of}" if p.of else ""))

        streamed = client.start("a fox", "1:1", stream=True, on_progress=on_progress, **members)
        assert streamed.ok, streamed.msg
        assert seen == expected
        assert threads == {threading.get_ident()}
        assert streamed.report.stream["previews"] == len(expected)
        emulator.scenario("normal")
        assert streamed.data == client.start("a fox", "1:1").data

        emulator.scenario(scenario)
        seen.clear()
        threads.clear()

        async def main():
            result = await client.start_async("a fox", "1:1", stream=True,
                                              on_progress=on_progress, **members)
            await asyncio.sleep(0)  # the events handed to the loop before the result ran
            return result
        assert asyncio.run(main()).ok
        assert seen == expected
        assert threads == {threading.get_ident()}
    emulator.scenario("normal")
    client = zantrel.CorvaneClient(emulator.url, KEY)
    with pytest.raises(ValueError, match="partial_images needs stream=True"):
        client.start("a fox", partial_images=1)
    with pytest.raises(TypeError, match="on_progress must be callable"):
        client.start("a fox", stream=True, on_progress=3)


def test_a_conversation_continues_after_a_round_trip_through_json(emulator, tmp_path):
    client = zantrel.TavelinaClient(emulator.url, KEY)
    conversation = zantrel.Conversation()
    first = client.continue_with(conversation, "a fox in a meadow", "1:1")
    assert first.ok, first.msg
    assert first.report.turn == 1 and conversation.exchanges == 1 and len(conversation) == 2
    document = conversation.to_json(str(tmp_path / "images"), str(tmp_path))
    assert "data" not in json.dumps(document)  # the images are files
    again = zantrel.Conversation.from_json(json.loads(json.dumps(document)), str(tmp_path))
    second = client.continue_with(again, "now make it night", "1:1")
    assert second.ok, second.msg
    assert second.report.turn == 2 and second.data != first.data
    document["turns"][0]["role"] = "model"
    with pytest.raises(ValueError, match="turns alternate"):
        zantrel.Conversation.from_json(document, str(tmp_path))
    with pytest.raises(TypeError, match="conversation must be a zantrel.Conversation"):
        client.continue_with({}, "x")
    # A reference uploaded once is named by its link in the next turn.
    uploaded = zantrel.Conversation()
    reference = first.data
    for turn, expected in ((1, 1), (2, 0)):
        result = client.continue_with(uploaded, f"the fox, turn {turn}", "1:1", files=[reference],
                                      upload_references=True)
        assert result.ok, result.msg
        assert result.report.files["uploaded"] == expected
    with pytest.raises(TypeError, match="upload_references must be bool"):
        client.continue_with(uploaded, "x", upload_references="yes")
    # The images API takes the same object: the next turn edits the last image.
    images = zantrel.CorvaneClient(emulator.url, KEY)
    edits = zantrel.Conversation()
    assert images.continue_with(edits, "a fox", "1:1").ok
    assert images.continue_with(edits, "now at night", "1:1").ok
    assert edits.exchanges == 2


def test_a_prepared_request_posted_elsewhere_reads_back_as_the_call_would(emulator):
    import urllib.request
    gemini = zantrel.TavelinaClient(emulator.url, KEY)
    images = zantrel.CorvaneClient(emulator.url, KEY)
    for client, args in ((gemini, ("a fox", "1:1")), (images, ("a fox", "1:1"))):
        prepared = client.prepare(*args)
        assert prepared.path.startswith("/v1")
        assert KEY not in prepared.body.decode()
        request = urllib.request.Request(
            emulator.url + prepared.path, data=prepared.body, method="POST",
            headers={"Content-Type": prepared.content_type, "Authorization": f"Bearer {KEY}"})
        with urllib.request.urlopen(request) as answer:
            read = client.result_of(answer.status, answer.read(), *args)
        direct = client.start(*args)
        assert read.ok and read.data == direct.data
    with pytest.raises(ValueError, match="Invalid model"):
        gemini.prepare("x", model="no-such-model")
    with pytest.raises(TypeError, match="body must be bytes"):
        gemini.result_of(200, "text", "x")


def test_each_services_batch_engine_makes_a_batch_and_gives_its_answers(emulator, tmp_path):
    import time
    gemini = zantrel.TavelinaClient(emulator.url, KEY)
    images = zantrel.CorvaneClient(emulator.url, KEY)
    for client, args in ((gemini, ("a fox", "1:1")), (images, ("a fox", "1:1"))):
        batches = client.batches()
        lines = [(str(i), client.prepare(*args)) for i in range(2)]
        created = batches.create(lines, "py-batch")
        assert created.fate == "made", created.why
        assert batches.find("py-batch") == created.id
        status = batches.get(created.id)
        while status.phase == "waiting":
            time.sleep(0.2)
            status = batches.get(created.id)
        answers = batches.results(created.id, tmp_path / "scratch")
        assert sorted(answer.key for answer in answers) == ["0", "1"]
        for answer in answers:
            assert client.result_of(answer.status, answer.body, *args).ok
        with pytest.raises(zantrel.ServiceRefused, match="HTTP 404"):
            batches.get("nope")


def test_a_job_is_submitted_kept_as_text_and_collected_on_either_service(emulator):
    gemini = zantrel.TavelinaClient(emulator.url, KEY)
    images = zantrel.CorvaneClient(emulator.url, KEY)
    for client in (gemini, images):
        direct = client.start("a heron", "1:1")
        assert client.start("a heron", "1:1", job=True, poll_seconds=0.05).data == direct.data
        submitted = client.submit("a heron", "1:1")
        assert submitted.job is not None, submitted.result.message
        job = zantrel.Job.from_text(submitted.job.to_text())
        assert client.job_status(job).phase in ("waiting", "done")
        collected = client.collect(job, poll_seconds=0.05)
        assert collected.ok and collected.data == direct.data
        assert collected.report.job["submitted"] is False
        gone = job._replace(id="none")
        with pytest.raises(zantrel.ServiceRefused, match="HTTP 404"):
            client.cancel(gone)
    with pytest.raises(ValueError, match="not a job's text"):
        zantrel.Job.from_text("{}")
    with pytest.raises(TypeError, match="job must be a zantrel.Job"):
        gemini.collect("v1_int_1")
