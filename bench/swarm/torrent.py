#!/usr/bin/env python3
"""Reads a single-file .torrent as the swarm lab needs it: the lab's torrents are made by
`tev-publish torrent`, and the lab checks what it serves (length, piece length, web seed,
tracker, private) and takes the v1 info hash for the tracker's whitelist from the torrent itself.

    torrent.py FILE.torrent     prints the v1 info hash, the piece length and the length
"""
import hashlib
import sys


def _decode(data, i):
    """The value at data[i:] and the index after it (bencoding: i..e, N:bytes, l..e, d..e)."""
    c = data[i:i + 1]
    if c == b"i":
        end = data.index(b"e", i)
        return int(data[i + 1:end]), end + 1
    if c == b"l":
        i, items = i + 1, []
        while data[i:i + 1] != b"e":
            value, i = _decode(data, i)
            items.append(value)
        return items, i + 1
    if c == b"d":
        i, items = i + 1, {}
        while data[i:i + 1] != b"e":
            key, i = _decode(data, i)
            value, i = _decode(data, i)
            items[key] = value
        return items, i + 1
    if c.isdigit():
        colon = data.index(b":", i)
        length = int(data[i:colon])
        return data[colon + 1:colon + 1 + length], colon + 1 + length
    raise ValueError(f"not bencoded at byte {i}")


def _info_span(data):
    """Where the top-level "info" value lies in data: its v1 info hash is the SHA-1 of those
    exact bytes."""
    if data[:1] != b"d":
        raise ValueError("a torrent is a dictionary")
    i = 1
    while data[i:i + 1] != b"e":
        key, i = _decode(data, i)
        start = i
        _, i = _decode(data, i)
        if key == b"info":
            return start, i
    raise ValueError("no info dictionary")


def read(path):
    with open(path, "rb") as f:
        data = f.read()
    meta, end = _decode(data, 0)
    if end != len(data) or not isinstance(meta, dict):
        raise ValueError(f"{path}: not a torrent")
    start, stop = _info_span(data)
    info = meta[b"info"]
    trackers = [t.decode() for tier in meta.get(b"announce-list", []) for t in tier]
    if not trackers and b"announce" in meta:
        trackers = [meta[b"announce"].decode()]
    seeds = meta.get(b"url-list", [])
    if isinstance(seeds, bytes):
        seeds = [seeds]
    return {"info_hash": hashlib.sha1(data[start:stop]).hexdigest(),
            "piece_length": info[b"piece length"], "length": info.get(b"length"),
            "name": info[b"name"].decode(), "private": info.get(b"private") == 1,
            "hybrid": b"meta version" in info, "trackers": trackers,
            "web_seeds": [s.decode() for s in seeds]}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    try:
        t = read(sys.argv[1])
    except (OSError, ValueError, KeyError) as e:
        sys.exit(f"torrent.py: {e}")
    print(t["info_hash"], t["piece_length"], t["length"])


if __name__ == "__main__":
    main()
