#!/usr/bin/env python3
"""Writes the seed corpus of fu_fuzz_update (tests/fuzz/corpus/seed-*).

Each seed is laid out the way fuzz_update.cpp's Decide() reads its input
through FuzzedDataProvider: integers from the end of the data (the first byte
taken is the most significant), byte strings from the front. Keep the field
order here in step with Decide(). Run from anywhere:

    python3 tests/fuzz/make_corpus.py
"""
import os

OK = 0  # ReplyBytes choices
LOWER, BURST = 4, 5


class Input:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order taken

    def int(self, lo, hi, value):
        rng, v = hi - lo, value - lo
        assert 0 <= v <= rng
        k = (rng.bit_length() + 7) // 8
        self.back += v.to_bytes(k, "big") if k else b""

    def bytes(self, data):
        self.front += data

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def seed(size=216, reply1=(10, OK), reply2=(10, OK), at_open=b"", spells=(),
         unplug_after_write=None, base_polls=None):
    x = Input()
    x.int(0, 7, 0)  # file present
    x.int(0, 7, 0)  # port present
    x.int(0, 7, 0)  # selected
    x.int(0, 255, 1)  # foreground
    x.int(0, 300, min(size, 300))
    x.int(0, 15, 0)
    n = size - 16
    body_end = 16 + max(n, 0)
    last_write = max(n, 0)
    x.int(0, 20, len(at_open))
    x.bytes(at_open)
    x.int(0, 3, 0)  # no timed sends
    for reply, first in ((reply1, True), (reply2, False)):
        if reply is None:
            x.int(0, 7, 7)
            continue
        x.int(0, 7, 0)
        x.int(0, 5200, reply[0])
        if not first and n <= 0:
            x.int(0, 300, 200)
        x.int(0, 9, reply[1])
    x.int(0, 2, 0)  # no further replies
    x.int(0, 255, 0 if base_polls is None else 1)
    if base_polls is not None:
        x.int(0, 64, base_polls)
    x.int(0, 3, len(spells))
    for after, length, kind, value in spells:  # kind 0 AfterPolls, 1 Rate, 2 Never
        x.int(-1, last_write, after)
        x.int(1, 4, length)
        x.int(0, 2, kind)
        if kind == 0:
            x.int(0, 5020, value - 99990)
        elif kind == 1:
            x.int(0, 5200, value)
        x.int(0, 3, 0)
    if unplug_after_write is None:
        x.int(0, 7, 0)
    else:
        x.int(0, 7, 7)
        x.int(0, last_write, unplug_after_write)
    x.int(0, 7, 0)  # no short reads
    return x.data()


SEEDS = {
    "good-run": seed(),
    "lower-case-reply": seed(reply1=(10, LOWER)),
    "lower-case-second-reply": seed(reply2=(10, LOWER)),
    "no-reply": seed(reply1=None, reply2=None),
    "reply-with-line-end": seed(reply1=(10, BURST)),
    "stale-ok-before-header": seed(at_open=b"OKOK"),
    "stall-at-body-byte-5": seed(spells=[(4, 4, 2, 0)]),
    "slow-drain": seed(spells=[(-1, 3, 1, 40), (100, 2, 0, 100002)], base_polls=3),
    "unplugged-mid-body": seed(unplug_after_write=10),
    "short-file": seed(size=5),
    # The header goes out at 100 ms and has drained at 101 ms; poll k of the
    # reply wait comes at 101 + k ms.
    "reply-in-poll-4999": seed(reply1=(5000, OK)),
    "reply-in-poll-5000": seed(reply1=(5001, OK)),
}

if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, "seed-" + name), "wb") as f:
            f.write(data)
