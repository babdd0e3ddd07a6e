"""Synthetic NEXRAD Level II (message 31) volumes with known gate codes, written as the radars
write them, for the reader's truths, error paths and fuzzing (tests/test_nexrad.py)."""

import bz2
import struct

import numpy as np

DATE = 19_845  # days since 1969-12-31: 2024-05-01
SCALES = {  # name: (word bits, scale, offset), as the radars send them
    "REF": (8, 2.0, 66.0),
    "VEL": (8, 2.0, 129.0),
    "SW ": (8, 2.0, 129.0),
    "ZDR": (8, 16.0, 128.0),
    "PHI": (16, 2.8361, 2.0),
    "RHO": (8, 300.0, -60.5),
}
PREFIX = bytes(12)
SLOT = 2432


def message(kind, body, ms=0):
    """A message: the 12-byte prefix, the header (size in halfwords, header included), body."""
    if len(body) % 2:
        body += b"\0"
    header = struct.pack(">HBBHHIHH", 8 + len(body) // 2, 0, kind, 0, DATE, ms, 1, 1)
    return PREFIX + header + body


def slot(kind, body):
    """A message other than 31 in its 2,432-byte slot."""
    return message(kind, body).ljust(SLOT, b"\0")


def vcp(angles):
    """Message 5: volume coverage pattern 212 with one cut per elevation angle (degrees)."""
    head = struct.pack(">HHHHHBB4sHH2s", 0, 2, 212, len(angles), 1, 2, 2, b"", 0, 0, b"")
    cuts = b"".join(
        struct.pack(">HBBBBHHhhhhhhHHHHHHH2sHHH2s", round(a * 65536 / 360), 0, 1, 11, 1, 15,
                    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, b"", 0, 0, 0, b"")
        for a in angles
    )  # fmt: skip
    return slot(5, head + cuts)


def status():
    """Message 2: RDA status, build 20.0, super resolution on."""
    return slot(2, struct.pack(">HHHHHhHhHHHHHH", 2, 2, 2, 0, 700, 0, 0, 212, 0, 2000, 4, 2, 0, 8))


def radial(azimuth, elevation, cut, radial_status, moments, ms, gates=(2125, 250)):
    """A message 31: VOL block, then one "D" block per moment {name: codes}."""
    blocks = [b"RVOL" + struct.pack(">HBBffhHfffffH2s", 44, 1, 0, 35.0, -97.5, 370, 20,
                                    0.0, 0.0, 0.0, 0.0, 0.0, 212, b"")]  # fmt: skip
    for name, codes in moments.items():
        word, scale, offset = SCALES[name]
        codes = np.asarray(codes, dtype=">u1" if word == 8 else ">u2")
        head = struct.pack(
            ">4sIHhhhhBBff",
            b"D" + name.encode(),
            0,
            codes.size,
            *gates,
            0,
            0,
            0,
            word,
            scale,
            offset,
        )
        block = head + codes.tobytes()
        blocks.append(block + b"\0" * (len(block) % 2))
    pointers, at = [], 32 + 4 * len(blocks)
    for block in blocks:
        pointers.append(at)
        at += len(block)
    head = struct.pack(
        ">4sIHHfBBHBBBBfBbH",
        b"KTST",
        ms,
        DATE,
        1,
        azimuth,
        0,
        0,
        at,
        1,
        radial_status,
        cut,
        0,
        elevation,
        0,
        0,
        len(blocks),
    )
    body = head + struct.pack(f">{len(blocks)}I", *pointers) + b"".join(blocks)
    return message(31, body, ms)


def sweep(cut, elevation, n_rays, moments, start_ms, last=False, offset=0.0):
    """The radials of one cut; moments: {name: function (ray, azimuth) -> codes}. Azimuths are
    rotated by a third of a turn, so the file's order is not the sorted one."""
    out = []
    for i in range(n_rays):
        azimuth = (120.0 + offset + (i + 0.5) * 360.0 / n_rays) % 360.0
        flag = 0 if i == 0 else (4 if last else 2) if i == n_rays - 1 else 1
        codes = {name: fn(i, azimuth) for name, fn in moments.items()}
        out.append(radial(azimuth, elevation, cut, flag, codes, start_ms + 50 * i))
    return out


def volume_bytes(messages, metadata, compressed=True, per_record=12, head=b"AR2V0006."):
    """A file: the 24-byte volume header, then the metadata and the radials as LDM records
    (each a signed size and a bzip2 stream; the last size negative) or uncompressed."""
    header = head + b"001" + struct.pack(">II", DATE, 43_200_000) + b"KTST"
    if not compressed:
        return header + b"".join(metadata) + b"".join(messages)
    chunks = [b"".join(metadata)] + [
        b"".join(messages[i : i + per_record]) for i in range(0, len(messages), per_record)
    ]
    records = [bz2.compress(c, 1) for c in chunks]
    sizes = [len(r) for r in records[:-1]] + [-len(records[-1])]
    return header + b"".join(struct.pack(">i", s) + r for s, r in zip(sizes, records, strict=True))
