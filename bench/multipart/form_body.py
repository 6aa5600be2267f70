"""Writes a form-field benchmark body:
`fields COUNT` (COUNT url-encoded fields "f0000001=vNNNN&..."),
`urltext SIZE` (url-encoded: a=1, big= SIZE bytes of text, z=2),
`multitext SIZE BOUNDARY` (multipart: one text field "big" of SIZE bytes).

    /usr/bin/python3 form_body.py BODY_FILE fields 100000
"""

import sys

body_file, kind = sys.argv[1:3]
words = b"Words of a long comment "
with open(body_file, "wb") as out:
    if kind == "fields":
        count = int(sys.argv[3])
        out.write(b"&".join(b"f%07d=v%d" % (i, i % 10000) for i in range(count)))
    else:
        size = int(sys.argv[3])
        text = (words * (size // len(words) + 1))[:size]
        if kind == "urltext":
            out.write(b"a=1&big=" + text + b"&z=2")
        else:
            dash = b"--" + sys.argv[4].encode()
            out.write(dash + b'\r\nContent-Disposition: form-data; name="big"\r\n\r\n' + text
                      + b"\r\n" + dash + b"--\r\n")
