"""Doxygen input filter: the headers' plain // comments become documentation.

A header's opening comment describes the file; a comment block before a
declaration documents it; a comment after a member on its line documents
that member. Characters that mean something to Doxygen are escaped outside
`code spans`, so the text reads as written."""

import re
import sys

SPECIAL = re.compile(r"([\\@<>&#%$\"])")
COMMENT_LINE = re.compile(r"^(\s*)//(?!/)\s?(.*)$")
TRAILING = re.compile(r"^(\s*[^/\s].*?[;,{])(\s+)//(?!/)\s?(.*)$")


def escape(text):
    parts = text.split("`")
    for i in range(0, len(parts), 2):  # outside code spans
        parts[i] = SPECIAL.sub(r"\\\1", parts[i])
    if len(parts) % 2 == 0:  # an unpaired backtick: keep it literal
        return SPECIAL.sub(r"\\\1", text)
    return "`".join(parts)


def convert(lines):
    out = []
    opening = True
    for line in lines:
        comment = COMMENT_LINE.match(line)
        if comment:
            prefix = "/// @file\n" if opening and not out else ""
            out.append(prefix + comment.group(1) + "/// " + escape(comment.group(2)))
            continue
        opening = False
        trailing = TRAILING.match(line)
        if trailing and '"' not in trailing.group(1):
            out.append(trailing.group(1) + trailing.group(2) + "///< " + escape(trailing.group(3)))
        else:
            out.append(line)
    return out


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8", errors="replace") as f:
        sys.stdout.write("\n".join(convert(f.read().split("\n"))))
