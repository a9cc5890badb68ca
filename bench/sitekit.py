"""Helpers shared by the benchmark scripts that build a site and run the real service."""
import datetime


def cycle_barcode(when, lane):
    """The barcode a dispenser prints at `when` in `lane`: seconds since the start of the even
    year before, plus 20000000, in 8 digits, then the lane in 2."""
    even = when.year if when.year % 2 == 0 else when.year - 1
    seconds = int((when - datetime.datetime(even, 1, 1)).total_seconds())
    return "%08d%02d" % (seconds + 20000000, lane)


# The registry keeps the password scrambled: each character moves (position + 1) places on
# this table, as the service's own registry helper does.
SCRAMBLE_TABLE = ("BG.F69D2g8TZqWm>PiK\"&[_l@I;7hw\\?3Cur1 t}sj*%,Uv-zS!a#)bME4Q<yLV+J0]:o'(ORXkAedn=Yp/"
                  "HNf$x5c")


def scramble(text):
    """`text` scrambled and escaped for a value of a registry file."""
    out = ""
    for i, c in enumerate(text):
        p = SCRAMBLE_TABLE.find(c) + 1
        if p == 0:
            out += c
            continue
        q = (p + i + 1) % len(SCRAMBLE_TABLE)
        out += SCRAMBLE_TABLE[(q if q > 0 else q + len(SCRAMBLE_TABLE)) - 1]
    return out.replace("\\", "\\\\").replace('"', '\\"')
