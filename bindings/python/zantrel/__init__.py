"""zantrel image clients for Python: Gemini generateContent (TavelinaClient) and the images API
(CorvaneClient), over the C++ library. Calls release the GIL while they run; `start_async`
awaits a call that runs on the library's event thread."""
import asyncio
import collections
import json

from ._zantrel import (CallReport, Conversation, ErrorCode, Preview, Progress,
                       ServiceRefused, ServiceResult)
from . import _zantrel

__all__ = ["TavelinaClient", "CorvaneClient", "ServiceResult", "CallReport", "ErrorCode",
           "Progress", "Preview", "Conversation", "PreparedRequest", "ServiceBatches",
           "ServiceRefused", "BatchStatus", "CreatedBatch", "BatchAnswer", "UploadedFile", "Job",
           "JobState", "Submission"]

# A call's request made without sending it: its path under the base address, content type and
# exact body.
PreparedRequest = collections.namedtuple("PreparedRequest", "path content_type body")

# What a service's batch engine says of a batch: its phase ("waiting", "done" with results to
# read, "left" without), the service's own state word, counts, creation time (Unix seconds).
BatchStatus = collections.namedtuple(
    "BatchStatus", "id name phase state total succeeded failed created error")
# What a create's answer says: fate "made" (id), "refused" (why), or "unknown": the batch may
# exist, so look for it by name (`find`) before sending it again.
CreatedBatch = collections.namedtuple("CreatedBatch", "fate id why")
# One answer of a batch's results: its line's key, whether it was answered, and the HTTP status
# and body its request got (for `result_of`).
BatchAnswer = collections.namedtuple("BatchAnswer", "key answered status body")
UploadedFile = collections.namedtuple("UploadedFile", "name uri mime_type expires")


class ServiceBatches:
    """A service's own batch engine and file store (`client.batches()`): requests run there
    within a day at half the price. Each call blocks with the GIL released; an error answer
    raises ServiceRefused ("HTTP 404: ...")."""

    def __init__(self, native):
        self._native = native
        self.max_requests = native.max_requests
        self.max_bytes = native.max_bytes

    def create(self, lines, name):
        """One batch of `lines`, (key, PreparedRequest) pairs all to one path, made as `name`."""
        native_lines = []
        for key, request in lines:
            _expect("key", key, (str,), "str")
            native_lines.append((key, *PreparedRequest(*request)))
        _expect("name", name, (str,), "str")
        return CreatedBatch(*self._native.create(native_lines, name))

    def get(self, batch_id):
        return BatchStatus(**self._native.get(batch_id))

    def list(self, page_token=""):
        """One page of batches, newest first, and the next page's token ("" on the last)."""
        batches, next_page = self._native.list(page_token)
        return [BatchStatus(**batch) for batch in batches], next_page

    def find(self, name):
        """The id of the batch made as `name`, or None."""
        return self._native.find(name)

    def cancel(self, batch_id):
        self._native.cancel(batch_id)

    def upload_file(self, content, mime_type, display_name):
        _expect("content", content, (bytes,), "bytes")
        return UploadedFile(*self._native.upload_file(content, mime_type, display_name))

    def download_file(self, file, path):
        self._native.download_file(file, str(path))

    def results(self, batch_id, scratch):
        """Every answer of a done batch; files are downloaded into `scratch` on the way."""
        return [BatchAnswer(*answer) for answer in self._native.results(batch_id, str(scratch))]


# The library's own defaults.
DEFAULT_GEMINI_MODEL = _zantrel.DEFAULT_GEMINI_MODEL
_GEMINI_RATIO = _zantrel.DEFAULT_GEMINI_ASPECT_RATIO
_GEMINI_SIZE = _zantrel.DEFAULT_GEMINI_IMAGE_SIZE


def _expect(name, value, types, what):
    if not isinstance(value, types) or isinstance(value, bool) and bool not in types:
        raise TypeError(f"{name} must be {what}, not {type(value).__name__}")


def _gemini_members(seed, temperature, safety, thinking_level, text, extra):
    """The Gemini members beyond the contract's, checked, in the native call's form."""
    if seed is not None:
        _expect("seed", seed, (int,), "int or None")
    if temperature is not None:
        _expect("temperature", temperature, (int, float), "a number or None")
        if not 0 <= temperature <= 2:
            raise ValueError(f"temperature must be from 0 to 2, not {temperature}")
    pairs = []
    if safety is not None:
        _expect("safety", safety, (dict,), "a dict of category: threshold")
        for category, threshold in safety.items():
            _expect("safety", category, (str,), "a dict of str: str")
            _expect("safety", threshold, (str,), "a dict of str: str")
            pairs.append((category, threshold))
    if thinking_level is not None:
        _expect("thinking_level", thinking_level, (str,), "str or None")
    _expect("text", text, (bool,), "bool")
    extra_text = _extra_text(extra)
    return {"seed": seed, "temperature": None if temperature is None else float(temperature),
            "safety": pairs, "thinking_level": thinking_level, "text": text, "extra": extra_text}


def _choice(name, value, choices):
    if value is None:
        return
    _expect(name, value, (str,), "str or None")
    if value not in choices:
        listed = ", ".join(repr(choice) for choice in choices)
        raise ValueError(f"{name} must be one of {listed}, not {value!r}")


def _extra_text(extra):
    if extra is None:
        return ""
    _expect("extra", extra, (dict,), "a dict or None")
    try:
        return json.dumps(extra)
    except (TypeError, ValueError) as error:
        raise ValueError(f"extra must be JSON-serialisable: {error}") from None


def _images_members(n, output_format, output_compression, background, moderation,
                    input_fidelity, mask, user, complexity, safety_identifier, extra):
    """The images members beyond the contract's, checked, in the native call's form. Values
    that depend on the model (output_format, quality, complexity) are the library's to check:
    it knows each model's lists and lets a model it does not know go through."""
    _expect("n", n, (int,), "int")
    if not 1 <= n <= 10:
        raise ValueError(f"n must be from 1 to 10, not {n}")
    for name, value in (("output_format", output_format), ("complexity", complexity),
                        ("safety_identifier", safety_identifier)):
        if value is not None:
            _expect(name, value, (str,), "str or None")
    if output_compression is not None:
        _expect("output_compression", output_compression, (int,), "int or None")
        if not 0 <= output_compression <= 100:
            raise ValueError(f"output_compression must be from 0 to 100, not {output_compression}")
    _choice("background", background, ("transparent", "opaque", "auto"))
    _choice("moderation", moderation, ("low", "auto"))
    _choice("input_fidelity", input_fidelity, ("low", "high"))
    if mask is not None:
        _expect("mask", mask, (str, bytes), "str, bytes or None")
    if user is not None:
        _expect("user", user, (str,), "str or None")
    return {"n": n, "output_format": output_format, "output_compression": output_compression,
            "background": background, "moderation": moderation,
            "input_fidelity": input_fidelity, "mask": mask, "user": user,
            "complexity": complexity, "safety_identifier": safety_identifier,
            "extra": _extra_text(extra)}


def _check_request(prompt, files, texts):
    _expect("prompt", prompt, (str,), "str")
    for name, value in texts.items():
        _expect(name, value, (str,), "str")
    if files is not None and not isinstance(files, (str, bytes)):
        _expect("files", files, (list, tuple), "str, bytes or a list of them")
        for item in files:
            _expect("files", item, (str, bytes), "str, bytes or a list of them")


def _call_options(task_id=None, model_key=None, timeout=None, stream=False, on_progress=None,
                  job=False, poll_seconds=None):
    """The options of one call, checked (`stream` and `on_progress` by `_check_stream`)."""
    _expect("job", job, (bool,), "bool")
    if poll_seconds is not None:
        _expect("poll_seconds", poll_seconds, (int, float), "seconds")
        if not poll_seconds > 0:
            raise ValueError(f"poll_seconds must be above 0, not {poll_seconds!r}")
    for name, value in (("task_id", task_id), ("model_key", model_key)):
        if value is not None:
            _expect(name, value, (str, int, float), "str, int, float or None")
    if timeout is not None:
        if isinstance(timeout, tuple):
            if len(timeout) != 2:
                raise TypeError("timeout must be seconds or a (connect, read) pair")
            for part in timeout:
                _expect("timeout", part, (int, float), "seconds or a (connect, read) pair")
        else:
            _expect("timeout", timeout, (int, float), "seconds or a (connect, read) pair")
        # NaN fails `>= 0`; a huge value (inf included) means no limit.
        for part in timeout if isinstance(timeout, tuple) else (timeout,):
            if not part >= 0:
                raise ValueError(f"timeout must be seconds from 0, not {part!r}")
    return _zantrel.CallOptions(task_id=task_id, model_key=model_key, timeout=timeout,
                                stream=stream, on_progress=on_progress, background=job,
                                poll_seconds=poll_seconds)


def _gemini_request(prompt, aspect_ratio, image_size, files, model, upload_references=False,
                    members=None):
    """A GenerationRequest, its members checked."""
    _check_request(prompt, files,
                   {"aspect_ratio": aspect_ratio, "image_size": image_size, "model": model})
    _expect("upload_references", upload_references, (bool,), "bool")
    return _zantrel.GenerationRequest(prompt=prompt, aspect_ratio=aspect_ratio,
                                      image_size=image_size, files=files, model=model,
                                      upload_references=upload_references, **(members or {}))


def _images_request(prompt, aspect_ratio, quality, image_size, files, model, members=None,
                    partial_images=None):
    """An ImageRequest, its members checked (the model's values are the library's to check)."""
    _check_request(prompt, files,
                   {"aspect_ratio": aspect_ratio, "quality": quality, "image_size": image_size})
    if model is not None:
        _expect("model", model, (str,), "str")
    return _zantrel.ImageRequest(prompt=prompt, aspect_ratio=aspect_ratio, quality=quality,
                                 image_size=image_size, files=files, model=model,
                                 partial_images=partial_images, **(members or {}))


def _expect_conversation(conversation):
    if not isinstance(conversation, Conversation):
        raise TypeError(f"conversation must be a zantrel.Conversation, "
                        f"not {type(conversation).__name__}")


def _check_stream(stream, on_progress, partial_images=None):
    """Checks the stream's settings; gives `partial_images` back for the request."""
    _expect("stream", stream, (bool,), "bool")
    if on_progress is not None and not callable(on_progress):
        raise TypeError(f"on_progress must be callable, not {type(on_progress).__name__}")
    if partial_images is not None:
        _expect("partial_images", partial_images, (int,), "int or None")
        if not 0 <= partial_images <= 3:
            raise ValueError(f"partial_images must be from 0 to 3, not {partial_images}")
        if not stream:
            raise ValueError("partial_images needs stream=True")
    return partial_images


def _through_loop(on_progress):
    """`on_progress` run on the running loop: the engine thread only hands each event over."""
    if on_progress is None:
        return None
    loop = asyncio.get_running_loop()

    def hand_over(event):  # on the event thread, with the GIL
        try:
            loop.call_soon_threadsafe(on_progress, event)
        except RuntimeError:  # the loop is closed: nobody listens any more
            pass

    return hand_over


async def _await_call(start):
    """Runs a native non-blocking call and awaits its result; cancelling the awaiting task
    cancels the call."""
    loop = asyncio.get_running_loop()
    future = loop.create_future()

    def settle(result):
        if not future.done():
            future.set_result(result)

    def done(result):  # on the event thread, with the GIL
        try:
            loop.call_soon_threadsafe(settle, result)
        except RuntimeError:  # the loop is closed: nobody waits any more
            pass

    handle = start(done)
    try:
        return await future
    except asyncio.CancelledError:
        handle.cancel()
        raise


def _native_client(native_class, base_url, api_key, model_tag, logger, dialect):
    """The native client, its arguments checked first."""
    _expect("base_url", base_url, (str,), "str")
    _expect("api_key", api_key, (str,), "str")
    _expect("model_tag", model_tag, (str,), "str")
    _expect("dialect", dialect, (str,), "str")
    if logger is not None and not callable(getattr(logger, "debug", None)):
        raise TypeError("logger must have a debug method")
    return native_class(base_url, api_key, model_tag=model_tag, logger=logger, dialect=dialect)


class Job(collections.namedtuple("Job", "service id model created digest")):
    """A job the service holds (a background call), kept as text by `to_text` and read back by
    `Job.from_text`, in this process or a later one."""

    def to_text(self):
        return json.dumps(self._asdict())

    @staticmethod
    def from_text(text):
        _expect("text", text, (str,), "str")
        try:
            value = json.loads(text)
            return Job(*(str(value[name]) if name in ("service", "id", "model") else
                         str(value.get(name, "")) for name in Job._fields))
        except (ValueError, KeyError, TypeError, AttributeError) as e:
            raise ValueError(f"not a job's text: {e}") from None


JobState = collections.namedtuple("JobState", "phase state error")
JobState.__doc__ = ("A job as its service describes it: `phase` (waiting, done, failed, "
                    "cancelled, gone), the service's own `state` and its `error` text.")

Submission = collections.namedtuple("Submission", "job result")
Submission.__doc__ = ("What a submit gave: the Job when the service took it (else None), and "
                      "the call's Result, which says why not.")


class _Jobs:
    """Collecting, asking and cancelling jobs, the same on both clients."""

    def _submitted(self, request, options):
        job, result = self._native.submit(request, options)
        return Submission(Job.from_text(job) if job is not None else None, result)

    def collect(self, job, *, task_id=None, model_key=None, timeout=None, poll_seconds=None):
        """Waits for `job` (a Job) and reads its answer into the same Result a direct call of
        the same answer gives; polls every `poll_seconds` at first (default 1), pausing longer
        each time. Ctrl-C cancels the waiting, not the job."""
        _expect("job", job, (Job,), "a zantrel.Job")
        return self._native.collect(job.to_text(), _call_options(
            task_id, model_key, timeout, poll_seconds=poll_seconds))

    def job_status(self, job):
        """The job's state now: a JobState. Raises ServiceRefused (404: gone)."""
        _expect("job", job, (Job,), "a zantrel.Job")
        return JobState(*self._native.job_state(job.to_text(), False))

    def cancel(self, job):
        """Asks the service to cancel the job: its JobState after."""
        _expect("job", job, (Job,), "a zantrel.Job")
        return JobState(*self._native.job_state(job.to_text(), True))


class TavelinaClient(_Jobs):
    """Client for the Gemini generateContent image API."""

    def __init__(self, base_url, api_key, *, model_tag="TAVELIN", logger=None,
                 dialect="gateway"):
        self._native = _native_client(_zantrel._TavelinaClient, base_url, api_key, model_tag,
                                      logger, dialect)

    def start(self, prompt, aspect_ratio=_GEMINI_RATIO, image_size=_GEMINI_SIZE, files=None,
              model=DEFAULT_GEMINI_MODEL, *, task_id=None, model_key=None, timeout=None,
              seed=None, temperature=None, safety=None, thinking_level=None, text=False,
              extra=None, stream=False, on_progress=None, upload_references=False, job=False,
              background=False, poll_seconds=None):
        """`on_progress(progress)` is called on this thread while the call runs: each phase,
        the bytes so far, and with `stream=True` each thought image (`progress.preview`).
        `upload_references=True` sends the references through the Files API, named by link.
        `job=True` (or `background=True`) runs it as a job of the Interactions API: submitted,
        then polled until it ends, no exchange held open meanwhile."""
        return self._native.start(*self._call(
            prompt, aspect_ratio, image_size, files, model, task_id=task_id, model_key=model_key,
            timeout=timeout, seed=seed, temperature=temperature, safety=safety,
            thinking_level=thinking_level, text=text, extra=extra, stream=stream,
            on_progress=on_progress, upload_references=upload_references,
            job=job or background, poll_seconds=poll_seconds))

    def submit(self, prompt, *args, **kwargs):
        """The call `start` takes, submitted as a job: a Submission (the Job, or None and the
        Result that says why). Collect it with `collect`, here or in a later process."""
        return self._submitted(*self._call(prompt, *args, **kwargs))

    def _call(self, prompt, aspect_ratio=_GEMINI_RATIO, image_size=_GEMINI_SIZE, files=None,
              model=DEFAULT_GEMINI_MODEL, *, task_id=None, model_key=None, timeout=None,
              seed=None, temperature=None, safety=None, thinking_level=None, text=False,
              extra=None, stream=False, on_progress=None, upload_references=False, job=False,
              poll_seconds=None):
        request = _gemini_request(
            prompt, aspect_ratio, image_size, files, model, upload_references,
            _gemini_members(seed, temperature, safety, thinking_level, text, extra))
        options = _call_options(task_id, model_key, timeout, stream, on_progress, job,
                                poll_seconds)
        _check_stream(stream, on_progress)
        return request, options

    def continue_with(self, conversation, prompt, aspect_ratio=_GEMINI_RATIO,
                      image_size=_GEMINI_SIZE, files=None, model=DEFAULT_GEMINI_MODEL, *,
                      task_id=None, model_key=None, timeout=None, upload_references=False):
        """The next turn of `conversation` (a zantrel.Conversation): its turns are sent again,
        signatures unchanged, and both new turns are added when the call ends well. With
        `upload_references=True` each reference is uploaded once and named by link in every
        turn while the service keeps it (48 hours). Do not use the conversation from another
        thread while the call runs."""
        _expect_conversation(conversation)
        request = _gemini_request(prompt, aspect_ratio, image_size, files, model,
                                  upload_references)
        return self._native.continue_with(conversation, request,
                                          _call_options(task_id, model_key, timeout))

    def batches(self, inline_limit_bytes=_zantrel.DEFAULT_GEMINI_INLINE_BATCH_BYTES):
        """The service's batch engine and Files API: a batch under `inline_limit_bytes` goes
        inline in its create, a larger one as an uploaded file."""
        return ServiceBatches(self._native.batches(inline_limit_bytes))

    def prepare(self, prompt, aspect_ratio=_GEMINI_RATIO, image_size=_GEMINI_SIZE, files=None,
                model=DEFAULT_GEMINI_MODEL):
        """The request `start` would send, without sending it: a PreparedRequest (path under the
        base address, content type, body bytes) for a queue or a batch file. No key in it.
        Raises ValueError for a request `start` would refuse."""
        request = _gemini_request(prompt, aspect_ratio, image_size, files, model)
        return PreparedRequest(*self._native.prepare(request))

    def result_of(self, status_code, body, prompt, aspect_ratio=_GEMINI_RATIO,
                  image_size=_GEMINI_SIZE, model=DEFAULT_GEMINI_MODEL):
        """The result of an answer to a prepared request obtained elsewhere, read exactly as a
        call reads its own."""
        _expect("status_code", status_code, (int,), "int")
        _expect("body", body, (bytes,), "bytes")
        request = _gemini_request(prompt, aspect_ratio, image_size, None, model)
        return self._native.result_of(request, status_code, body)

    def generate_image(self, prompt, aspect_ratio=_GEMINI_RATIO, image_size=_GEMINI_SIZE,
                       files=None, model=DEFAULT_GEMINI_MODEL, *, task_id=None, model_key=None,
                       timeout=None):
        """`start` by another name (the references are loaded the same way)."""
        return self.start(prompt, aspect_ratio, image_size, files, model, task_id=task_id,
                          model_key=model_key, timeout=timeout)

    async def start_async(self, prompt, aspect_ratio=_GEMINI_RATIO, image_size=_GEMINI_SIZE,
                          files=None, model=DEFAULT_GEMINI_MODEL, *, task_id=None,
                          model_key=None, timeout=None, seed=None, temperature=None,
                          safety=None, thinking_level=None, text=False, extra=None,
                          stream=False, on_progress=None, upload_references=False):
        """`on_progress` runs on the awaiting loop, as `start`'s does on its thread."""
        request = _gemini_request(
            prompt, aspect_ratio, image_size, files, model, upload_references,
            _gemini_members(seed, temperature, safety, thinking_level, text, extra))
        _check_stream(stream, on_progress)
        options = _call_options(task_id, model_key, timeout, stream, _through_loop(on_progress))
        return await _await_call(lambda done: self._native._start_async(request, options, done))


class CorvaneClient(_Jobs):
    """Client for the images API (generations and edits)."""

    def __init__(self, base_url, api_key, *, model_tag="GPT-IMAGE-2", logger=None,
                 dialect="gateway"):
        self._native = _native_client(_zantrel._CorvaneClient, base_url, api_key, model_tag,
                                      logger, dialect)

    def start(self, prompt, aspect_ratio="", quality="", image_size="", files=None, *,
              model=None, task_id=None, model_key=None, timeout=None, n=1, output_format=None,
              output_compression=None, background=None, moderation=None, input_fidelity=None,
              mask=None, user=None, complexity=None, safety_identifier=None, extra=None,
              stream=False, partial_images=None, on_progress=None, job=False,
              poll_seconds=None):
        """One request; with n > 1 the result's `images` holds all n (`data` is the first).
        `on_progress(progress)` is called on this thread while the call runs: each phase, the
        bytes so far, and with `stream=True` each partial image (`progress.preview`).
        `job=True` runs it as a job of the Responses API (`background` is the image's own)."""
        return self._native.start(*self._call(
            prompt, aspect_ratio, quality, image_size, files, model=model, task_id=task_id,
            model_key=model_key, timeout=timeout, n=n, output_format=output_format,
            output_compression=output_compression, background=background, moderation=moderation,
            input_fidelity=input_fidelity, mask=mask, user=user, complexity=complexity,
            safety_identifier=safety_identifier, extra=extra, stream=stream,
            partial_images=partial_images, on_progress=on_progress, job=job,
            poll_seconds=poll_seconds))

    def submit(self, prompt, *args, **kwargs):
        """The call `start` takes, submitted as a job of the Responses API: a Submission."""
        return self._submitted(*self._call(prompt, *args, **kwargs))

    def _call(self, prompt, aspect_ratio="", quality="", image_size="", files=None, *,
              model=None, task_id=None, model_key=None, timeout=None, n=1, output_format=None,
              output_compression=None, background=None, moderation=None, input_fidelity=None,
              mask=None, user=None, complexity=None, safety_identifier=None, extra=None,
              stream=False, partial_images=None, on_progress=None, job=False,
              poll_seconds=None):
        request = _images_request(
            prompt, aspect_ratio, quality, image_size, files, model,
            _images_members(n, output_format, output_compression, background, moderation,
                            input_fidelity, mask, user, complexity, safety_identifier, extra),
            _check_stream(stream, on_progress, partial_images))
        options = _call_options(task_id, model_key, timeout, stream, on_progress, job,
                                poll_seconds)
        return request, options

    def continue_with(self, conversation, prompt, aspect_ratio="", quality="", image_size="",
                      files=None, *, model=None, task_id=None, model_key=None, timeout=None):
        """The next turn of `conversation`: an edit of the last image the model answered, the
        references after it; both new turns are added when the call ends well."""
        _expect_conversation(conversation)
        request = _images_request(prompt, aspect_ratio, quality, image_size, files, model)
        return self._native.continue_with(conversation, request,
                                          _call_options(task_id, model_key, timeout))

    def batches(self):
        """The service's batch engine (/v1/batches) and file store (/v1/files)."""
        return ServiceBatches(self._native.batches())

    def prepare(self, prompt, aspect_ratio="", quality="", image_size="", files=None, *,
                model=None, n=1):
        """The request `start` would send, without sending it: a PreparedRequest (an edit in
        the endpoint's JSON form). Raises ValueError for a request `start` would refuse."""
        _expect("n", n, (int,), "int")
        request = _images_request(prompt, aspect_ratio, quality, image_size, files, model,
                                  {"n": n})
        return PreparedRequest(*self._native.prepare(request))

    def result_of(self, status_code, body, prompt, aspect_ratio="", quality="", image_size="", *,
                  model=None, n=1):
        """The result of an answer to a prepared request obtained elsewhere, read exactly as a
        call reads its own."""
        _expect("status_code", status_code, (int,), "int")
        _expect("body", body, (bytes,), "bytes")
        _expect("n", n, (int,), "int")
        request = _images_request(prompt, aspect_ratio, quality, image_size, None, model,
                                  {"n": n})
        return self._native.result_of(request, status_code, body)

    def generate_image(self, prompt, aspect_ratio="", quality="", image_size="", files=None, *,
                       model=None, task_id=None, model_key=None, timeout=None):
        """`start` by another name (the references are loaded the same way)."""
        return self.start(prompt, aspect_ratio, quality, image_size, files, model=model,
                          task_id=task_id, model_key=model_key, timeout=timeout)

    async def start_async(self, prompt, aspect_ratio="", quality="", image_size="", files=None,
                          *, model=None, task_id=None, model_key=None, timeout=None, n=1,
                          output_format=None, output_compression=None, background=None,
                          moderation=None, input_fidelity=None, mask=None, user=None,
                          complexity=None, safety_identifier=None, extra=None, stream=False,
                          partial_images=None, on_progress=None):
        """`on_progress` runs on the awaiting loop, as `start`'s does on its thread."""
        request = _images_request(
            prompt, aspect_ratio, quality, image_size, files, model,
            _images_members(n, output_format, output_compression, background, moderation,
                            input_fidelity, mask, user, complexity, safety_identifier, extra),
            _check_stream(stream, on_progress, partial_images))
        options = _call_options(task_id, model_key, timeout, stream, _through_loop(on_progress))
        return await _await_call(lambda done: self._native._start_async(request, options, done))
