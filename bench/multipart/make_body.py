"""Writes a benchmark body: `file SIZE` (one upload of SIZE random bytes) or
`fields COUNT SIZE` (COUNT text fields filling about SIZE bytes).

    /usr/bin/python3 make_body.py BODY_FILE BOUNDARY file 1073741824
    /usr/bin/python3 make_body.py BODY_FILE BOUNDARY fields 100000 67108864
"""

import os
import random
import string
import sys

body_file, boundary, kind = sys.argv[1:4]
dash = b"--" + boundary.encode()
with open(body_file, "wb") as out:
    if kind == "file":
        size = int(sys.argv[4])
        out.write(dash + b'\r\nContent-Disposition: form-data; name="upload"; filename="big.bin"'
                  b"\r\nContent-Type: application/octet-stream\r\n\r\n")
        block = 1 << 20
        for done in range(0, size, block):
            out.write(os.urandom(min(block, size - done)))
        out.write(b"\r\n" + dash + b"--\r\n")
    else:
        count, size = int(sys.argv[4]), int(sys.argv[5])
        rng = random.Random(1)
        alphabet = (string.ascii_letters + string.digits).encode()
        head = len(dash) + 2 + len(b'Content-Disposition: form-data; name="f000000"') + 6
        value_size = max(1, size // count - head)
        for i in range(count):
            value = bytes(rng.choice(alphabet) for _ in range(16)) * (value_size // 16 + 1)
            out.write(dash + b'\r\nContent-Disposition: form-data; name="f%06d"\r\n\r\n' % i
                      + value[:value_size] + b"\r\n")
        out.write(dash + b"--\r\n")
