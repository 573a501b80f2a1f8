"""Generates one image with each client, blocking and awaited. Reads ZANTREL_BASE_URL and
ZANTREL_API_KEY; writes gemini.png and images.png into the folder given (default: here)."""
import asyncio
import logging
import os
import sys

import zantrel

base_url, api_key = os.environ["ZANTREL_BASE_URL"], os.environ["ZANTREL_API_KEY"]
out_dir = sys.argv[1] if len(sys.argv) > 1 else "."

gemini = zantrel.TavelinaClient(base_url, api_key, logger=logging.getLogger("zantrel"))
result = gemini.start("a lighthouse at dawn", "16:9", "1K", task_id="py-1")
if result.ok:
    with open(os.path.join(out_dir, "gemini.png"), "wb") as f:
        f.write(result.data)
print(result.ok, result.code, result.report.usage["output_tokens"])


async def edit_many():
    images = zantrel.CorvaneClient(base_url, api_key)
    calls = [images.start_async("the same in watercolour", "3:2", "high", files=[result.data])
             for _ in range(4)]
    return await asyncio.gather(*calls)


edits = asyncio.run(edit_many())
with open(os.path.join(out_dir, "images.png"), "wb") as f:
    f.write(edits[0].data)
print(sum(edit.ok for edit in edits), "of", len(edits), "edits")
