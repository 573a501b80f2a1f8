"""Checks that every README block marked `<!-- quote: PATH -->` still appears, line for line and
contiguously, in the file it quotes, so the README never shows code the tests no longer build."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
readme = (root / "README.md").read_text()
quotes = re.findall(r"<!-- quote: (\S+) -->\n```\w*\n(.*?)```", readme, re.S)
if not quotes:
    sys.exit("README has no quoted blocks")
failed = False
for path, block in quotes:
    source = (root / path).read_text()
    if block not in source:
        print(f"README quote of {path} no longer matches the file:\n{block}")
        failed = True
print(f"{len(quotes)} quoted blocks checked")
sys.exit(1 if failed else 0)
