#!/usr/bin/env python3
"""Makes a single-file .torrent for the swarm lab: v1, or hybrid (v1 + v2, BEP 52), with the
file's own URL as its web seed (BEP 19) and the lab's tracker, marked private so that no peer
exchange or DHT carries it anywhere else.

    torrent.py FILE --url URL --tracker URL [--piece-length BYTES] [--hybrid] -o OUT.torrent

Prints the v1 info hash (hex) and, for a hybrid torrent, the v2 one truncated to 20 bytes: the
tracker's whitelist needs whichever the clients announce with.
"""
import argparse
import hashlib
import os
import sys

BLOCK = 16 * 1024


def bencode(value):
    if isinstance(value, int):
        return b"i%de" % value
    if isinstance(value, str):
        value = value.encode()
    if isinstance(value, bytes):
        return b"%d:%s" % (len(value), value)
    if isinstance(value, list):
        return b"l" + b"".join(bencode(v) for v in value) + b"e"
    if isinstance(value, dict):
        items = sorted((k.encode() if isinstance(k, str) else k, v) for k, v in value.items())
        return b"d" + b"".join(bencode(k) + bencode(v) for k, v in items) + b"e"
    raise TypeError(f"cannot bencode {type(value).__name__}")


def merkle_root(hashes, leaves):
    """The root of a tree of `leaves` leaves (a power of two) whose first leaves are `hashes`
    and the rest zero hashes of the level's width."""
    pad = bytes(32)
    level = list(hashes)
    width = leaves
    while width > 1:
        if len(level) % 2:
            level.append(pad)
        level = [hashlib.sha256(level[i] + level[i + 1]).digest() for i in range(0, len(level), 2)]
        pad = hashlib.sha256(pad + pad).digest()
        width //= 2
    return level[0] if level else pad


def piece_length_for(size):
    """About 1000 to 2000 pieces, between 64 KiB and 4 MiB."""
    length = 64 * 1024
    while size // length > 2000 and length < 4 * 1024 * 1024:
        length *= 2
    return length


def make(path, url, tracker, piece_length=None, hybrid=False):
    size = os.path.getsize(path)
    if size == 0:
        raise ValueError("an empty file makes no torrent")
    piece_length = piece_length or piece_length_for(size)
    if piece_length < BLOCK or piece_length & (piece_length - 1):
        raise ValueError("the piece length must be a power of two of at least 16 KiB")
    v1_pieces = []
    piece_layer = []
    blocks_per_piece = piece_length // BLOCK
    with open(path, "rb") as f:
        while True:
            piece = f.read(piece_length)
            if not piece:
                break
            v1_pieces.append(hashlib.sha1(piece).digest())
            if hybrid:
                blocks = [hashlib.sha256(piece[i:i + BLOCK]).digest() for i in range(0, len(piece), BLOCK)]
                piece_layer.append(merkle_root(blocks, blocks_per_piece))
    name = os.path.basename(path)
    info = {"name": name, "piece length": piece_length, "length": size,
            "pieces": b"".join(v1_pieces), "private": 1}
    meta = {"announce": tracker, "url-list": [url], "created by": "tev swarm lab"}
    if hybrid:
        if size <= piece_length:
            blocks_needed = 1
            while blocks_needed * BLOCK < size:
                blocks_needed *= 2
            with open(path, "rb") as f:
                data = f.read()
            root = merkle_root([hashlib.sha256(data[i:i + BLOCK]).digest()
                                for i in range(0, len(data), BLOCK)], blocks_needed)
        else:
            pieces = 1
            while pieces < len(piece_layer):
                pieces *= 2
            # Pieces beyond the file are whole subtrees of zero leaves.
            zero_piece = merkle_root([], blocks_per_piece)
            root = merkle_root(piece_layer + [zero_piece] * (pieces - len(piece_layer)), pieces)
            meta["piece layers"] = {root: b"".join(piece_layer)}
        info["meta version"] = 2
        info["file tree"] = {name: {"": {"length": size, "pieces root": root}}}
    meta["info"] = info
    encoded_info = bencode(info)
    hashes = [hashlib.sha1(encoded_info).hexdigest()]
    if hybrid:
        hashes.append(hashlib.sha256(encoded_info).hexdigest()[:40])
    return bencode(meta), hashes


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("--url", required=True, help="the web seed: the file's own URL")
    parser.add_argument("--tracker", required=True)
    parser.add_argument("--piece-length", type=int)
    parser.add_argument("--hybrid", action="store_true")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    try:
        data, hashes = make(args.file, args.url, args.tracker, args.piece_length, args.hybrid)
    except (OSError, ValueError) as e:
        sys.exit(f"torrent.py: {e}")
    with open(args.output, "wb") as f:
        f.write(data)
    print("\n".join(hashes))


if __name__ == "__main__":
    main()
