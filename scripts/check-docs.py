#!/usr/bin/env python3
"""Checks the documentation against the tree and the programs.

  check-docs.py links ROOT
      Every relative link in ROOT/README.md and in the Markdown files under ROOT/docs/ names a
      file or directory of the tree, and a link with #anchor names a heading of its Markdown
      target as GitHub makes anchors of headings.
  check-docs.py man-flags PAGE PROGRAM [PAGE PROGRAM ...]
      Every flag PROGRAM --help prints, and every operand of its usage line, is in its manual
      page PAGE (roff source, gzipped or not).
  check-docs.py names ROOT
      Every path of the tree that ROOT/README.md and ROOT/docs/ name in code spans (one whose
      first part is a folder of the tree, or a source file's name) exists, and so does every
      class, function or member they name in C++ form (`Grabber`, `CEthCamera::ReadMissing`):
      each name is a word of the tree's C++ or Python sources.
  check-docs.py layers ROOT
      No source file includes across a forbidden arrow: each folder includes only from itself
      and the folders LAYERS allows it (the layers of docs/architecture.md).
  check-docs.py selftest
      The checks above, run on a small made-up tree and page that hold known faults.

Prints one line per fault and exits 1 when there is any, 0 otherwise.
"""
import gzip
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
CODE_SPAN = re.compile(r"(`+).+?\1")
INLINE_LINK = re.compile(r"\]\(\s*<?([^)\s>]*)>?(?:\s+(?:\"[^\"]*\"|'[^']*'))?\s*\)")
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?([^\s>]+)>?")
HTML_LINK = re.compile(r"(?:href|src)\s*=\s*\"([^\"]*)\"")
HTML_ANCHOR = re.compile(r"<a\s+(?:name|id)\s*=\s*\"([^\"]+)\"")
ATX = re.compile(r"^ {0,3}#{1,6}(?:\s+(.*?))?(?:\s+#+)?\s*$")
SETEXT = re.compile(r"^ {0,3}(=+|-+)\s*$")
SCHEME = re.compile(r"^(?:[A-Za-z][A-Za-z0-9+.-]*:|//)")


def prose_lines(text):
    """(line number, line) of the lines outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        opening = FENCE.match(line)
        if fence is None and opening:
            fence = opening.group(1)
        elif fence is not None and opening and opening.group(1).startswith(fence):
            fence = None
        elif fence is None:
            yield number, line


def slug(heading):
    """The anchor GitHub gives a heading: its text lower-cased, without punctuation and markup,
    each space a hyphen."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link: its text
    text = re.sub(r"<[^>]+>", "", text).strip().lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(text):
    """Every anchor a Markdown text has: its headings' (a repeated one numbered -1, -2, ...)
    and those of its <a name> and <a id> tags."""
    found, seen, previous = set(), {}, ""
    for _, line in prose_lines(text):
        atx, setext = ATX.match(line), SETEXT.match(line)
        heading = None
        if atx:
            heading = atx.group(1) or ""
        elif setext and previous.strip() and not ATX.match(previous):
            heading = previous.strip()
        if heading is not None:
            base = slug(heading)
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
        found.update(HTML_ANCHOR.findall(line))
        previous = line
    return found


def link_faults(root):
    root = Path(root).resolve()
    files = [root / "README.md"] + sorted((root / "docs").rglob("*.md"))
    faults = []
    for source in files:
        text = source.read_text(encoding="utf-8")
        for number, line in prose_lines(text):
            bare = CODE_SPAN.sub("", line)
            targets = INLINE_LINK.findall(bare) + REFERENCE.findall(bare) + HTML_LINK.findall(bare)
            for target in targets:
                if not target or SCHEME.match(target):
                    continue
                path, _, anchor = target.partition("#")
                where = f"{source.relative_to(root)}:{number}: {target}"
                resolved = (source.parent / path).resolve() if path else source
                if not resolved.is_relative_to(root):
                    faults.append(f"{where}: outside the tree")
                elif not resolved.exists():
                    faults.append(f"{where}: no such file")
                elif anchor and resolved.suffix == ".md" and resolved.is_file():
                    if anchor not in anchors(resolved.read_text(encoding="utf-8")):
                        faults.append(f"{where}: no heading with anchor #{anchor}")
    return faults


def page_text(page):
    """The words of a manual page: its roff source without comments, font changes and the
    escapes that stand for a hyphen."""
    raw = Path(page).read_bytes()
    source = (gzip.decompress(raw) if page.endswith(".gz") else raw).decode("utf-8")
    lines = [line for line in source.splitlines() if not re.match(r"^\.\s*\\\"", line)]
    text = "\n".join(lines).replace("\\-", "-").replace("\\(hy", "-").replace("\\&", "")
    return re.sub(r"\\f(?:\[[^\]]*\]|\(..|.)", "", text)


def man_flag_faults(page, program):
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True,
                               timeout=30).stdout
    name = Path(program).name
    usage = next((l for l in help_text.splitlines() if l.lower().startswith("usage:")), "")
    words = re.sub(r"[\[\]|]|\.\.\.", " ", usage).split()[2:]
    wanted = set(re.findall(r"--[a-z][a-z-]+", help_text))
    wanted |= {w for w in words if not w.startswith("-")}
    text = page_text(page)
    faults = [f"{page}: lacks {w} ({name} --help)" for w in sorted(wanted)
              if not re.search(r"(?<![\w-])" + re.escape(w) + r"(?![\w-])", text)]
    if not usage:
        faults.append(f"{name} --help printed no usage line")
    return faults


SPAN_PATH = re.compile(r"^[\w.+-]+(?:/[\w.+-]+)+/?$")
SOURCE_FILE = re.compile(r"^[\w+-]+\.(?:h|cpp|py|pyi|sh|cmake|mjs)$")
CXX_NAME = re.compile(r"^(?:fp::|frameprobe::)?([A-Z][a-z]\w*)((?:::~?\w+)*)(?:\(\))?$")
SOURCE_SUFFIXES = {".h", ".cpp", ".py", ".pyi"}
SKIPPED_DIRS = {"build", ".git", "node_modules"}


def tree_files(root):
    for path in root.rglob("*"):
        if path.is_file() and not SKIPPED_DIRS & set(path.relative_to(root).parts):
            yield path


def name_faults(root):
    root = Path(root).resolve()
    files = list(tree_files(root))
    names = {path.name for path in files}
    words = set()
    for path in files:
        if path.suffix in SOURCE_SUFFIXES:
            words.update(re.findall(r"\w+", path.read_text(encoding="utf-8", errors="replace")))
    top = {path.name for path in root.iterdir() if path.is_dir()}
    faults = []
    for source in [root / "README.md"] + sorted((root / "docs").rglob("*.md")):
        for number, line in prose_lines(source.read_text(encoding="utf-8")):
            for span in re.findall(r"`([^`]+)`", line):
                where = f"{source.relative_to(root)}:{number}: {span}"
                if SPAN_PATH.match(span) and span.split("/")[0] in top - SKIPPED_DIRS:
                    if not (root / span).exists():
                        faults.append(f"{where}: no such file")
                elif SOURCE_FILE.match(span):
                    if span not in names:
                        faults.append(f"{where}: no such file")
                elif (name := CXX_NAME.match(span)) and (name.group(2) or
                                                         re.search(r"[a-z][A-Z]", span)):
                    parts = [name.group(1)] + re.findall(r"\w+", name.group(2))
                    missing = [part for part in parts if part not in words]
                    if missing:
                        faults.append(f"{where}: no {', '.join(missing)} in the sources")
    return faults


# Who may include whom: a folder (the longest that holds the file) and the folders (or single
# headers) whose headers its files include; a folder always includes its own. Folders not named are not
# checked (tests, tools, benchmarks and fuzz targets sit on top and include what they test).
LAYERS = {
    "base": [],
    "net": ["base"],
    # The counts' list is a public header of macros alone, so that the library's users and the
    # driver read the same one.
    "nudp": ["base", "net", "include/frameprobe/CounterList.h"],
    "camera": ["base", "net", "nudp", "include/frameprobe/CounterList.h"],
    "api": ["base", "net", "nudp", "camera", "include"],
    "app": ["base", "net", "nudp", "camera"],
    "python": ["include"],
    "capture": ["base", "nudp"],
    "framegrab/model": ["base", "nudp", "camera", "capture"],
    "framegrab/views": ["framegrab/model"],
    "framegrab/write": ["base", "nudp", "framegrab/model"],
    "framegrab/acquire": ["base", "net", "nudp", "camera", "capture", "framegrab/model",
                          "framegrab/views", "framegrab/write"],
    "framegrab/serve": ["base", "nudp", "framegrab/model", "framegrab/views", "framegrab/write"],
    "framegrab": ["base", "net", "nudp", "camera", "capture", "framegrab/model", "framegrab/views",
                  "framegrab/write", "framegrab/acquire", "framegrab/serve"],
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def folder_of(relative, folders):
    """The longest folder of `folders` that holds the path `relative`, or None."""
    best = None
    for folder in folders:
        if relative.startswith(folder + "/") and (best is None or len(folder) > len(best)):
            best = folder
    return best


def layer_faults(root, layers=None):
    root = Path(root).resolve()
    layers = LAYERS if layers is None else layers
    folders = set(layers) | {f for allowed in layers.values() for f in allowed}
    faults = []
    for path in sorted(tree_files(root)):
        if path.suffix not in {".h", ".cpp"}:
            continue
        relative = path.relative_to(root).as_posix()
        folder = folder_of(relative, layers)
        if folder is None:
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        for included in INCLUDE.findall(text):
            # The public headers are included as "frameprobe/X.h" from include/.
            target = "include/" + included if included.startswith("frameprobe/") else included
            into = folder_of(target, folders | {folder})
            if into is None or into == folder or into in layers[folder] or target in layers[folder]:
                continue
            number = text.count("\n", 0, text.index(included)) + 1
            faults.append(f"{relative}:{number}: includes {included}, from {into} into {folder}")
    return faults


SELFTEST_README = """\
# Tool
[docs](docs/) [guide](docs/guide.md#set-up) [twice](docs/guide.md#run-1)
[top](#tool) ![shot](docs/shot.png) <a href="docs/guide.md#flags-and---json">flags</a>
[web](https://example.org/x) [mail](mailto:a@b.c) `[not a link](nowhere.md)`
[gone](docs/gone.md) [no anchor](docs/guide.md#run-2) [out](../outside.md)
[ref]: docs/guide.md#the-code-is-x

```
[fenced](nowhere.md)
```
"""
SELFTEST_GUIDE = """\
Set-up
======
## Run
## Run
## Flags and `--json`
### The [code](../README.md) is *x*
[back](../README.md#tool) [missing](../README.md#usage)
"""
SELFTEST_SOURCES = {
    "lower/Camera.h": '#include "upper/Use.h"\nclass Camera { void Take(); };\n',
    "upper/Use.h": '#include "lower/Camera.h"\n',
    "upper/view/Show.cpp": '#include "lower/Camera.h"\n#include "upper/Use.h"\n'
                           '#include "upper/view/Show.h"\n',
}
SELFTEST_DESIGN = """\
`lower/Camera.h` and `upper/view/` and `Camera.h` and `log.txt` and `x/y` exist;
`lower/Gone.h` and `Gone.cpp` do not.
`Camera::Take()` and `Camera` are there, `Camera::Vanished` and `OldName` are not; `Ctrl-C`.
"""
SELFTEST_PAGE = r""".TH TOOL 1
.\" --secret is not documented here
.SH SYNOPSIS
.B tool
.RB [ \-\-json ]
.I FILE
.SH OPTIONS
.B \-\-save\-every
"""
SELFTEST_PROGRAM = """\
#!/bin/sh
echo "usage: tool [--json] [--save-every K] FILE"
echo "  --secret  hidden"
echo "  --save    saves"
"""


def selftest():
    faults = []
    cases = {"Live page and report": "live-page-and-report",
             "`framegrab --json`: fields": "framegrab---json-fields",
             "Set-up": "set-up", "The [code](x.md) is *x*": "the-code-is-x",
             "Exit status (0–3)": "exit-status-03", "snake_case": "snake_case"}
    for heading, want in cases.items():
        if slug(heading) != want:
            faults.append(f"slug({heading!r}) = {slug(heading)!r}, not {want!r}")
    with tempfile.TemporaryDirectory() as work:
        root = Path(work) / "tree"
        (root / "docs").mkdir(parents=True)
        (root / "README.md").write_text(SELFTEST_README)
        (root / "docs" / "guide.md").write_text(SELFTEST_GUIDE)
        (root / "docs" / "shot.png").write_bytes(b"")
        got = link_faults(root)
        want = ["README.md:5: docs/gone.md: no such file",
                "README.md:5: docs/guide.md#run-2: no heading with anchor #run-2",
                "README.md:5: ../outside.md: outside the tree",
                "docs/guide.md:7: ../README.md#usage: no heading with anchor #usage"]
        if got != want:
            faults.append(f"links on the made-up tree: {got}, not {want}")
        page, program = Path(work) / "tool.1.gz", Path(work) / "tool"
        page.write_bytes(gzip.compress(SELFTEST_PAGE.encode()))
        program.write_text(SELFTEST_PROGRAM)
        program.chmod(0o755)
        got = man_flag_faults(str(page), str(program))
        want = [f"{page}: lacks --save (tool --help)", f"{page}: lacks --secret (tool --help)",
                f"{page}: lacks K (tool --help)"]
        if got != want:
            faults.append(f"man-flags on the made-up page: {got}, not {want}")
        for relative, text in SELFTEST_SOURCES.items():
            (root / relative).parent.mkdir(parents=True, exist_ok=True)
            (root / relative).write_text(text)
        (root / "docs" / "design.md").write_text(SELFTEST_DESIGN)
        got = name_faults(root)
        want = ["docs/design.md:2: `lower/Gone.h`: no such file",
                "docs/design.md:2: `Gone.cpp`: no such file",
                "docs/design.md:3: `Camera::Vanished`: no Vanished in the sources",
                "docs/design.md:3: `OldName`: no OldName in the sources"]
        want = [w.replace("`", "") for w in want]
        if got != want:
            faults.append(f"names on the made-up tree: {got}, not {want}")
        got = layer_faults(root, {"lower": [], "upper": ["lower"], "upper/view": ["lower"]})
        want = ["lower/Camera.h:1: includes upper/Use.h, from upper into lower",
                "upper/view/Show.cpp:2: includes upper/Use.h, from upper into upper/view"]
        if got != want:
            faults.append(f"layers on the made-up tree: {got}, not {want}")
    return faults


def main(argv):
    if len(argv) == 2 and argv[0] == "links":
        faults = link_faults(argv[1])
    elif len(argv) >= 3 and len(argv) % 2 == 1 and argv[0] == "man-flags":
        faults = [f for page, program in zip(argv[1::2], argv[2::2])
                  for f in man_flag_faults(page, program)]
    elif len(argv) == 2 and argv[0] == "names":
        faults = name_faults(argv[1])
    elif len(argv) == 2 and argv[0] == "layers":
        faults = layer_faults(argv[1])
    elif argv == ["selftest"]:
        faults = selftest()
    else:
        sys.stderr.write(__doc__)
        return 2
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
