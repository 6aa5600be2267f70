"""The Python peer of the form-field look-up: parses one url-encoded body with
urllib.parse, then reads every name once with its values joined, and prints
"seconds bytes fields".

    /usr/bin/python3 python_fields.py BODY_FILE
"""

import os
import sys
import time
import urllib.parse

body_file = sys.argv[1]
start = time.perf_counter()
with open(body_file, "rb") as f:
    pairs = urllib.parse.parse_qsl(f.read().decode("latin-1"), keep_blank_values=True,
                                   encoding="latin-1", max_num_fields=None)
values = {}
for name, value in pairs:
    values.setdefault(name.upper(), []).append(value.strip())
total = sum(len("\r\n".join(v)) for v in values.values())
seconds = time.perf_counter() - start
print("%.6f %d %d" % (seconds, os.path.getsize(body_file), len(values)))
