import enum
import os
from typing import Any, Awaitable, Callable, Dict, List, Optional, Sequence, Tuple, Union

Files = Union[None, str, bytes, Sequence[Union[str, bytes]]]
Timeout = Union[None, float, Tuple[float, float]]
Label = Union[None, str, int, float]

class ErrorCode(enum.Enum):
    INVALID_PARAMS: int
    IMAGE_GENERATE_FAIL: int
    NO_IMAGE_RESULT: int
    SERVICE_BUSY: int
    SERVICE_TIMEOUT: int

class PreparedRequest(Tuple[str, str, bytes]):
    path: str
    content_type: str
    body: bytes

class ServiceRefused(RuntimeError): ...

class BatchStatus(Tuple[str, str, str, str, int, int, int, Optional[int], str]):
    id: str
    name: str
    phase: str
    state: str
    total: int
    succeeded: int
    failed: int
    created: Optional[int]
    error: str

class CreatedBatch(Tuple[str, str, str]):
    fate: str
    id: str
    why: str

class BatchAnswer(Tuple[str, bool, int, bytes]):
    key: str
    answered: bool
    status: int
    body: bytes

class UploadedFile(Tuple[str, str, str, int]):
    name: str
    uri: str
    mime_type: str
    expires: int

class ServiceBatches:
    max_requests: int
    max_bytes: int
    def create(self, lines: Sequence[Tuple[str, PreparedRequest]], name: str) -> CreatedBatch: ...
    def get(self, batch_id: str) -> BatchStatus: ...
    def list(self, page_token: str = ...) -> Tuple[List[BatchStatus], str]: ...
    def find(self, name: str) -> Optional[str]: ...
    def cancel(self, batch_id: str) -> None: ...
    def upload_file(self, content: bytes, mime_type: str, display_name: str) -> UploadedFile: ...
    def download_file(self, file: str, path: Union[str, os.PathLike]) -> None: ...
    def results(self, batch_id: str,
                scratch: Union[str, os.PathLike]) -> List[BatchAnswer]: ...

class Preview:
    kind: str  # "partial" (images API) or "thought" (Gemini)
    index: int  # 1 for the first of its kind
    of: Optional[int]  # the partial images asked
    mime_type: str
    data: bytes

class Progress:
    phase: str  # "connecting", "uploading", "waiting" or "receiving"
    bytes_sent: int
    bytes_received: int
    preview: Optional[Preview]

OnProgress = Optional[Callable[[Progress], Any]]

class Conversation:
    exchanges: int
    def __init__(self) -> None: ...
    def __len__(self) -> int: ...
    def to_json(self, image_dir: Optional[str] = ..., relative_to: str = ...) -> dict: ...
    @staticmethod
    def from_json(document: dict, base_dir: str = ...) -> "Conversation": ...

class CallReport:
    delivery: str  # "not_sent", "no_answer" or "answered"
    failure_kind: Optional[str]
    http_status: Optional[int]
    service_error: Any
    retry_after_s: Optional[float]
    request_id: Optional[str]
    usage: dict
    model_sent: Optional[str]
    model_note: Optional[str]
    model_warning: Optional[str]
    model_version: Optional[str]
    text: Optional[str]
    finish_reason: Optional[str]
    block_reason: Optional[str]
    image: Optional[dict]
    images: list
    answer: dict  # revised_prompt, output_format, size, quality, background, generation_id, svg_usage, sequence_number
    timings_s: dict
    bytes_sent: Optional[int]
    bytes_received: Optional[int]
    attempts: int
    stream: dict  # events, previews, first_preview_s
    turn: Optional[int]
    files: dict  # uploaded, bytes, resumes (Gemini's upload_references)
    job: Optional[dict]  # id, submitted, polls, state (a call run as a job)
    def to_dict(self) -> dict: ...

class ServiceResult:
    ok: bool
    code: Optional[ErrorCode]
    msg: Optional[str]
    data: Optional[bytes]
    link: Optional[str]
    images: list  # every image as bytes, the first being `data`
    report: CallReport

class Job(Tuple[str, str, str, str, str]):
    service: str
    id: str
    model: str
    created: str
    digest: str
    def to_text(self) -> str: ...
    @staticmethod
    def from_text(text: str) -> Job: ...

class JobState(Tuple[str, str, str]):
    phase: str  # waiting, done, failed, cancelled, gone
    state: str
    error: str

class Submission(Tuple[Optional[Job], ServiceResult]):
    job: Optional[Job]
    result: ServiceResult

class _Jobs:
    def collect(self, job: Job, *, task_id: Label = ..., model_key: Label = ...,
                timeout: Timeout = ..., poll_seconds: Optional[float] = ...) -> ServiceResult: ...
    def job_status(self, job: Job) -> JobState: ...
    def cancel(self, job: Job) -> JobState: ...

class TavelinaClient(_Jobs):
    def __init__(self, base_url: str, api_key: str, *, model_tag: str = ...,
                 logger: Any = ..., dialect: str = ...) -> None: ...
    def start(self, prompt: str, aspect_ratio: str = ..., image_size: str = ...,
              files: Files = ..., model: str = ..., *, task_id: Label = ...,
              model_key: Label = ..., timeout: Timeout = ..., seed: Optional[int] = ...,
              temperature: Optional[float] = ..., safety: Optional[Dict[str, str]] = ...,
              thinking_level: Optional[str] = ..., text: bool = ...,
              extra: Optional[Dict[str, Any]] = ..., stream: bool = ...,
              on_progress: OnProgress = ...,
              upload_references: bool = ..., job: bool = ..., background: bool = ...,
              poll_seconds: Optional[float] = ...) -> ServiceResult: ...
    def submit(self, prompt: str, *args: Any, **kwargs: Any) -> Submission: ...
    def continue_with(self, conversation: Conversation, prompt: str, aspect_ratio: str = ...,
                      image_size: str = ..., files: Files = ..., model: str = ..., *,
                      task_id: Label = ..., model_key: Label = ...,
                      timeout: Timeout = ...,
                      upload_references: bool = ...) -> ServiceResult: ...
    def batches(self, inline_limit_bytes: int = ...) -> ServiceBatches: ...
    def prepare(self, prompt: str, aspect_ratio: str = ..., image_size: str = ...,
                files: Files = ..., model: str = ...) -> PreparedRequest: ...
    def result_of(self, status_code: int, body: bytes, prompt: str, aspect_ratio: str = ...,
                  image_size: str = ..., model: str = ...) -> ServiceResult: ...
    def generate_image(self, prompt: str, aspect_ratio: str = ..., image_size: str = ...,
                       files: Files = ..., model: str = ..., *, task_id: Label = ...,
                       model_key: Label = ..., timeout: Timeout = ...) -> ServiceResult: ...
    async def start_async(self, prompt: str, aspect_ratio: str = ..., image_size: str = ...,
                          files: Files = ..., model: str = ..., *, task_id: Label = ...,
                          model_key: Label = ..., timeout: Timeout = ...,
                          seed: Optional[int] = ..., temperature: Optional[float] = ...,
                          safety: Optional[Dict[str, str]] = ...,
                          thinking_level: Optional[str] = ..., text: bool = ...,
                          extra: Optional[Dict[str, Any]] = ..., stream: bool = ...,
                          on_progress: OnProgress = ...,
                          upload_references: bool = ...) -> ServiceResult: ...

class CorvaneClient(_Jobs):
    def __init__(self, base_url: str, api_key: str, *, model_tag: str = ...,
                 logger: Any = ..., dialect: str = ...) -> None: ...
    def start(self, prompt: str, aspect_ratio: str = ..., quality: str = ...,
              image_size: str = ..., files: Files = ..., *, model: Optional[str] = ...,
              task_id: Label = ..., model_key: Label = ..., timeout: Timeout = ...,
              n: int = ..., output_format: Optional[str] = ...,
              output_compression: Optional[int] = ..., background: Optional[str] = ...,
              moderation: Optional[str] = ..., input_fidelity: Optional[str] = ...,
              mask: Union[None, str, bytes] = ..., user: Optional[str] = ...,
              complexity: Optional[str] = ..., safety_identifier: Optional[str] = ...,
              extra: Optional[Dict[str, Any]] = ..., stream: bool = ...,
              partial_images: Optional[int] = ...,
              on_progress: OnProgress = ..., job: bool = ...,
              poll_seconds: Optional[float] = ...) -> ServiceResult: ...
    def submit(self, prompt: str, *args: Any, **kwargs: Any) -> Submission: ...
    def batches(self) -> ServiceBatches: ...
    def prepare(self, prompt: str, aspect_ratio: str = ..., quality: str = ...,
                image_size: str = ..., files: Files = ..., *, model: Optional[str] = ...,
                n: int = ...) -> PreparedRequest: ...
    def result_of(self, status_code: int, body: bytes, prompt: str, aspect_ratio: str = ...,
                  quality: str = ..., image_size: str = ..., *, model: Optional[str] = ...,
                  n: int = ...) -> ServiceResult: ...
    def continue_with(self, conversation: Conversation, prompt: str, aspect_ratio: str = ...,
                      quality: str = ..., image_size: str = ..., files: Files = ..., *,
                      model: Optional[str] = ..., task_id: Label = ..., model_key: Label = ...,
                      timeout: Timeout = ...) -> ServiceResult: ...
    def generate_image(self, prompt: str, aspect_ratio: str = ..., quality: str = ...,
                       image_size: str = ..., files: Files = ..., *, model: Optional[str] = ...,
                       task_id: Label = ..., model_key: Label = ...,
                       timeout: Timeout = ...) -> ServiceResult: ...
    async def start_async(self, prompt: str, aspect_ratio: str = ..., quality: str = ...,
                          image_size: str = ..., files: Files = ..., *,
                          model: Optional[str] = ..., task_id: Label = ...,
                          model_key: Label = ..., timeout: Timeout = ..., n: int = ...,
                          output_format: Optional[str] = ...,
                          output_compression: Optional[int] = ...,
                          background: Optional[str] = ..., moderation: Optional[str] = ...,
                          input_fidelity: Optional[str] = ...,
                          mask: Union[None, str, bytes] = ..., user: Optional[str] = ...,
                          complexity: Optional[str] = ...,
                          safety_identifier: Optional[str] = ...,
                          extra: Optional[Dict[str, Any]] = ..., stream: bool = ...,
                          partial_images: Optional[int] = ...,
                          on_progress: OnProgress = ...) -> ServiceResult: ...
