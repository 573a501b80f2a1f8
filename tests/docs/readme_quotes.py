"""Checks that every block marked `<!-- quote: PATH -->` in the README and the pages of docs/
still appears, line for line and contiguously, in the file it quotes, so the documentation never
shows code the tests no longer build."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
failed = False
count = 0
for page in pages:
    text = page.read_text()
    for path, block in re.findall(r"<!-- quote: (\S+) -->\n```\w*\n(.*?)```", text, re.S):
        count += 1
        if block not in (root / path).read_text():
            print(f"{page.relative_to(root)}: the quote of {path} no longer matches the file:\n"
                  f"{block}")
            failed = True
if count == 0:
    sys.exit("no quoted blocks found")
print(f"{count} quoted blocks checked in {len(pages)} pages")
sys.exit(1 if failed else 0)
