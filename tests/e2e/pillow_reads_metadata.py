"""Reads each image of a folder with Pillow: the file with metadata must decode to exactly the
pixels of its plain- twin, and carry the metadata where other tools look for it (PNG text
chunks, the JPEG comment, the WebP XMP packet)."""
import json
import pathlib
import sys

from PIL import Image

folder = pathlib.Path(sys.argv[1])
read = 0
for marked in sorted(folder.glob("[!p]*.*")):
    plain = folder / ("plain-" + marked.name)
    with Image.open(marked) as a, Image.open(plain) as b:
        a.load()
        b.load()
        assert a.size == b.size and a.mode == b.mode, (marked.name, a.size, b.size, a.mode, b.mode)
        assert a.tobytes() == b.tobytes(), f"{marked.name}: the pixels differ"
        if marked.suffix == ".png":
            facts = json.loads(a.info["zantrel"])
            assert a.info["parameters"].startswith("a fox & \"hen\""), a.info["parameters"]
        elif marked.suffix == ".jpg" and not a.info["comment"].startswith(b"{"):
            # Past one segment's 64 KB the JSON takes several; Pillow keeps the last one.
            assert a.info["comment"].endswith(b"\"}"), a.info["comment"][-20:]
            facts = {"parameters": "a fox"}
        elif marked.suffix == ".jpg":
            facts = json.loads(a.info["comment"])
        else:
            xmp = a.info["xmp"]
            xmp = xmp.decode("utf-8") if isinstance(xmp, bytes) else xmp
            assert "<zantrel:json>" in xmp and "caf\u00e9" in xmp, xmp[:200]
            facts = {"parameters": "a fox"}
        assert facts["parameters"].startswith("a fox"), facts
    read += 1
print(f"{read} images read")
