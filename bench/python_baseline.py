"""How a Python host builds and reads the same bodies with the standard library only.

Prints one JSON object: seconds per operation for the Gemini request (4 references of SIZE MiB)
and for reading a Gemini 200 body holding a SIZE2 MiB image.
"""
import base64
import json
import random
import sys
import time


def image_of(size, seed):
    rng = random.Random(seed)
    return b"\x89PNG\r\n\x1a\n" + rng.randbytes(size - 8)


def best_of(runs, fn):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    mib = 1 << 20
    ref_size = int(sys.argv[1]) * mib
    out_size = int(sys.argv[2]) * mib
    refs = [image_of(ref_size, i + 1) for i in range(4)]

    def build():
        parts = [{"text": "a valley at dawn"}]
        for image in refs:
            parts.append({"inlineData": {"mimeType": "image/png",
                                         "data": base64.b64encode(image).decode("ascii")}})
        body = {"contents": [{"role": "user", "parts": parts}],
                "generationConfig": {"responseModalities": ["IMAGE"],
                                     "imageConfig": {"aspectRatio": "16:9", "imageSize": "2K"}},
                "response_format": "url"}
        return json.dumps(body).encode("utf-8")

    image = image_of(out_size, 1)
    small = image_of(mib // 4, 99)
    response = json.dumps({"candidates": [{"content": {"role": "model", "parts": [
        {"text": "Here it is."},
        {"inlineData": {"mimeType": "image/png", "data": base64.b64encode(image).decode()}},
        {"inlineData": {"mimeType": "image/png", "data": base64.b64encode(small).decode()}}]},
        "finishReason": "STOP", "index": 0}], "responseId": "r"}).encode()

    def read():
        data = json.loads(response)
        best = None
        for part in data["candidates"][0]["content"]["parts"]:
            inline = part.get("inlineData") or part.get("inline_data")
            if inline and inline.get("data"):
                decoded = base64.b64decode(inline["data"])
                if best is None or len(decoded) > len(best):
                    best = decoded
        return best

    print(json.dumps({"request_seconds": best_of(5, build), "response_seconds": best_of(5, read)}))


if __name__ == "__main__":
    main()
