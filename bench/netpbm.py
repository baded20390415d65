"""The bundled photographs as numpy arrays, for the benchmark scripts: a raw
PGM's header read by netpbm's grammar (white space and comments between the
fields), then its 8-bit samples."""
import numpy as np


def read_pgm(path):
    with open(path, "rb") as image:
        data = image.read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    columns, rows = int(fields[1]), int(fields[2])
    return np.frombuffer(data[at + 1:at + 1 + columns * rows], np.uint8).reshape(rows, columns)
