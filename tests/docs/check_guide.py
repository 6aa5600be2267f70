"""Every code block of docs/GUIDE.md is a file of the source tree, quoted
whole: the line before the block names the file, and the block's text is the
file's text, byte for byte. So the guide shows only what the build makes and
the tests run."""

import os
import re
import sys
import unittest

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))
GUIDE = os.path.join(SOURCE, "docs", "GUIDE.md")
BLOCK = re.compile(r"(?m)^(?:<!-- file: (?P<path>\S+) -->\n)?```[a-z]*\n(?P<text>.*?)^```$", re.S)


def blocks(text):
    """(named file or None, block text) of each fenced block, in order."""
    return [(m.group("path"), m.group("text")) for m in BLOCK.finditer(text)]


class GuideSamples(unittest.TestCase):
    def test_every_block_is_a_file_quoted_whole(self):
        with open(GUIDE, encoding="utf-8", newline="") as f:
            guide = f.read()
        found = blocks(guide)
        self.assertEqual(len(found) * 2, guide.count("\n```") + guide.startswith("```"),
                         "a fence the check does not see as a block")
        self.assertGreater(len(found), 0)
        for path, text in found:
            with self.subTest(path=path):
                self.assertIsNotNone(path, "a block without its file:\n" + text[:200])
                with open(os.path.join(SOURCE, path), encoding="utf-8", newline="") as f:
                    self.assertEqual(text, f.read())

    def test_the_check_sees_a_changed_block(self):
        sample = "<!-- file: a.cpp -->\n```cpp\nint x;\n```\n\n```\nloose\n```\n"
        self.assertEqual(blocks(sample), [("a.cpp", "int x;\n"), (None, "loose\n")])


if __name__ == "__main__":
    sys.exit(unittest.main())
