#!/usr/bin/env python3
"""Fills the English catalogues from one table kept beside them.

translations/en.tsv holds "CONTEXT<TAB>SOURCE<TAB>ENGLISH" lines (CONTEXT * for
any context; \\n, \\r and \\t written as escapes). Run after lupdate: every entry
the table knows is marked finished; the rest stay unfinished and are listed.
"""
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

root = Path(__file__).resolve().parent.parent


def text_of(element):
    # lupdate writes a carriage return as <byte value="xd"/>. The translations
    # test reads the catalogues with this too.
    text = element.text or ""
    for child in element:
        if child.tag == "byte":
            text += chr(int(child.get("value").lstrip("x"), 16))
        text += child.tail or ""
    return text


def set_text(element, text):
    for child in list(element):
        element.remove(child)
    parts = text.split("\r")
    element.text = parts[0]
    for part in parts[1:]:
        byte = ET.SubElement(element, "byte", value="xd")
        byte.tail = part


def main():
    table = {}
    for line in (root / "translations" / "en.tsv").read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        context, source, english = line.split("\t")
        unescape = lambda s: s.replace("\\n", "\n").replace("\\r", "\r").replace("\\t", "\t")
        table[(context, unescape(source))] = unescape(english)

    missing = 0
    for ts in sorted((root / "translations").glob("*_en.ts")):
        tree = ET.parse(ts)
        for context in tree.getroot().iter("context"):
            name = context.find("name").text
            for message in context.iter("message"):
                source = text_of(message.find("source"))
                english = table.get((name, source), table.get(("*", source)))
                translation = message.find("translation")
                if english is None:
                    missing += 1
                    print(f"{ts.name}: no English for {name}: {source!r}", file=sys.stderr)
                    continue
                set_text(translation, english)
                translation.attrib.pop("type", None)
        tree.write(ts, encoding="utf-8", xml_declaration=True)
        # Keep lupdate's own header so its next run changes nothing.
        text = ts.read_text(encoding="utf-8").replace("<?xml version='1.0' encoding='utf-8'?>\n",
                                                      '<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE TS>\n', 1)
        ts.write_text(text if text.endswith("\n") else text + "\n", encoding="utf-8")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
