"""The python-multipart peer: decodes one multipart body file read in 64 KiB
chunks, writing every upload into a folder on disk and keeping every field,
and prints "seconds bytes fields" for the decode alone.

    /usr/bin/python3 python_decode.py BODY_FILE UPLOAD_FOLDER BOUNDARY
"""

import os
import sys
import time

import multipart

body_file, folder, boundary = sys.argv[1:4]
size = os.path.getsize(body_file)
fields = []
files = []

parser = multipart.FormParser(
    "multipart/form-data", fields.append, files.append, boundary=boundary.encode(),
    config={"UPLOAD_DIR": folder, "MAX_MEMORY_FILE_SIZE": 0, "UPLOAD_KEEP_FILENAME": False,
            "UPLOAD_DELETE_TMP": False})
start = time.perf_counter()
with open(body_file, "rb") as body:
    for chunk in iter(lambda: body.read(64 * 1024), b""):
        parser.write(chunk)
parser.finalize()
for f in files:
    f.close()
seconds = time.perf_counter() - start
for f in files:
    if f.actual_file_name:
        os.remove(f.actual_file_name)
print("%.6f %d %d" % (seconds, size, len(fields) + len(files)))
