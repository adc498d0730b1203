#!/usr/bin/env python3
"""Writes the files of a made-up client version, the same bytes for the same seed.

Sizes are drawn log-uniformly between --min-size and --max-size and then scaled towards --total,
so that small files are many and large ones carry most of the bytes, as in a real client. The
content is half random and half a repeated text in every 64 KiB, so that gzip packs it to about
half, like the libraries and data of a client.

    generate.py OUT --seed 1 --files 2000 --min-size 1KiB --max-size 1MiB --total 300MB
    generate.py OUT --seed 1 --files 1 --min-size 2GiB --max-size 2GiB
"""

import argparse
import math
import os
import random
import re
import sys

CHUNK = 64 * 1024
FILLER = b"voice channel frame; codec opus; 48 kHz; jitter buffer 60 ms\n" * (CHUNK // 64 + 1)
UNITS = {"": 1, "B": 1, "KB": 10**3, "MB": 10**6, "GB": 10**9,
         "KIB": 2**10, "MIB": 2**20, "GIB": 2**30}


def parse_size(text):
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([KMG]I?B|B)?\s*", text, re.IGNORECASE)
    if not match:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}")
    return int(float(match.group(1)) * UNITS[(match.group(2) or "").upper()])


def sizes(rng, count, smallest, largest, total=None):
    """Log-uniform sizes; with a total, scaled to it as far as the bounds allow."""
    if smallest == largest:
        return [smallest] * count
    low, high = math.log(smallest), math.log(largest)
    drawn = [math.exp(rng.uniform(low, high)) for _ in range(count)]
    if total:
        factor = total / sum(drawn)
        drawn = [d * factor for d in drawn]
    return [min(largest, max(smallest, int(d))) for d in drawn]


def names(count, single_size):
    """Paths below the client directory: a few at the top, libraries, then data folders."""
    if count == 1:
        return ["data/world.pak"]
    result = []
    for i in range(count):
        if single_size:  # many small files: 200 to a folder
            result.append(f"data/d{i // 200:03d}/f{i:05d}.dat")
        elif i < 10:
            result.append(f"file{i:02d}.bin")
        elif i < 60:
            result.append(f"lib/libpart{i:03d}.so")
        else:
            result.append(f"data/pack{i % 40:02d}/asset{i:05d}.dat")
    return result


def write_file(path, size, rng):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as out:
        left = size
        while left > 0:
            step = min(CHUNK, left)
            noise = step // 2
            out.write(rng.randbytes(noise))
            out.write(FILLER[: step - noise])
            left -= step


def generate(out, seed, count, smallest, largest, total=None):
    """Writes the client directory; returns (files, bytes)."""
    rng = random.Random(seed)
    file_sizes = sizes(rng, count, smallest, largest, total)
    for name, size in zip(names(count, smallest == largest), file_sizes):
        write_file(os.path.join(out, name), size, rng)
    return count, sum(file_sizes)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", help="client directory to write (must not exist)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--files", type=int, required=True)
    parser.add_argument("--min-size", type=parse_size, required=True)
    parser.add_argument("--max-size", type=parse_size, required=True)
    parser.add_argument("--total", type=parse_size, help="aim for this many bytes in all")
    args = parser.parse_args()
    if args.files < 1 or args.min_size < 1 or args.min_size > args.max_size:
        parser.error("need at least one file and 1 <= --min-size <= --max-size")
    if os.path.exists(args.out):
        parser.error(f"{args.out} exists")
    files, total = generate(args.out, args.seed, args.files, args.min_size, args.max_size,
                            args.total)
    print(f"{files} files, {total} bytes in {args.out}")


if __name__ == "__main__":
    sys.exit(main())
