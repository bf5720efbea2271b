#!/usr/bin/env python3
"""The English catalogues are complete for the sources as they are now.

For each TS:LIST pair, lupdate reads the sources named in LIST into a copy of
TS (the tree's file stays as it is), and the copy must have no unfinished or
vanished entry, no Chinese in any translation, and the same placeholders
(%1, %2, %p...) and line breaks in each translation as in its source. And no
C++ source of the lists holds a Chinese string that is in no catalogue: such a
text would reach an English user untranslated.
"""
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

CJK = re.compile("[\u2e80-\u9fff\uf900-\ufaff\uff00-\uffef]")
PLACEHOLDER = re.compile(r"%(?:\d+|p)")

# A catalogue's text is read as the script that fills the catalogues reads it.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from fill_ts import text_of  # noqa: E402


LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\", "'": "'"}


def literals(path):
    """The string literals of a C++ file with their line numbers, comments left out."""
    text = Path(path).read_text(encoding="utf-8")
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    for number, line in enumerate(text.split("\n"), 1):
        code = re.sub(r'//(?=(?:[^"]*"[^"]*")*[^"]*$).*', "", line)
        for match in LITERAL.finditer(code):
            yield number, re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), match.group(1))


def untranslated(lists, known):
    problems = []
    for listed in lists:
        for path in Path(listed).read_text(encoding="utf-8").split():
            if not path.endswith((".cpp", ".h")):
                continue
            for number, literal in literals(path):
                if CJK.search(literal) and not any(literal in source for source in known):
                    problems.append(f"{path}:{number}: {literal!r} is in no catalogue")
    return problems


def check(lupdate, ts, sources, work, known):
    copy = work / Path(ts).name
    shutil.copy(ts, copy)
    run = subprocess.run([lupdate, "-locations", "none", "-no-obsolete", "@" + sources, "-ts", str(copy)],
                         capture_output=True, text=True)
    print(run.stdout.strip())
    if run.returncode != 0:
        return [f"lupdate failed: {run.stderr.strip()}"]
    problems = []
    found = 0
    for context in ET.parse(copy).getroot().iter("context"):
        name = context.find("name").text
        for message in context.iter("message"):
            found += 1
            source = text_of(message.find("source"))
            known.add(source)
            translation = message.find("translation")
            english = text_of(translation)
            where = f"{Path(ts).name}: {name}: {source!r}"
            kind = translation.get("type")
            if kind:
                problems.append(f"{where} is {kind}")
                continue
            if CJK.search(english):
                problems.append(f"{where}: Chinese left in {english!r}")
            if sorted(PLACEHOLDER.findall(source)) != sorted(PLACEHOLDER.findall(english)):
                problems.append(f"{where}: placeholders differ in {english!r}")
            if source.count("\n") != english.count("\n") or source.count("\r") != english.count("\r"):
                problems.append(f"{where}: line breaks differ in {english!r}")
    if found == 0:
        problems.append(f"{ts}: no text found")
    return problems


def main():
    lupdate, pairs = sys.argv[1], sys.argv[2:]
    problems = []
    known = set()
    with tempfile.TemporaryDirectory() as work:
        for pair in pairs:
            ts, sources = pair.split("|")
            problems += check(lupdate, ts, sources, Path(work), known)
    problems += untranslated([pair.split("|")[1] for pair in pairs], known)
    for problem in problems:
        print(problem)
    print(f"{len(problems)} problem(s) in {len(pairs)} catalogue(s)")
    return 1 if problems else 0


sys.exit(main())
