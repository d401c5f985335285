"""Encodes a small table and decodes it again, as an array and as a frame."""

import pathlib

import numpy as np
import pandas as pd

import kavrel

SAMPLE = pathlib.Path(__file__).with_name("sample.csv")


def show(title, table):
    print(f"--- {title}")
    print(table)
    print()


def main():
    pd.set_option("display.width", 120)
    frame = pd.read_csv(SAMPLE, dtype=object, keep_default_na=False)
    # Numbers as numbers, text as text, the way tables usually arrive.
    for name in ("size", "price"):
        frame[name] = frame[name].astype(float)

    encoder = kavrel.Encoder()
    show("input (DataFrame)", frame)
    codes = encoder.encode(frame)
    show("codes: each text column's strings ranked byte-wise from 0; 'nan' is missing", codes)
    show("decoded", encoder.decode(codes))

    matrix = frame.to_numpy(dtype=object)
    show("input (object ndarray)", matrix)
    codes = encoder.encode(matrix)
    show("codes", codes)
    show("decoded", encoder.decode(codes))

    unknown = np.array([[0.0, 9.0, 1.0, 2.0], [2.9, -3.0, 1.0, 2.0]])
    show("decoding codes the encoder never gave out ('NaN' where none is known)", encoder.decode(unknown))


if __name__ == "__main__":
    main()
