#!/usr/bin/env python3
"""Writes assets/alert1.wav: the alert sound, a soft two-note chime.

Two sine notes (E6 then B5, a falling fourth), each with a little second
harmonic for a bell-like colour, a 6 ms attack and an exponential decay that
reaches silence before the note ends, so nothing clicks. 16-bit mono PCM at
22050 Hz, about 0.4 s. Standard library only; the output is deterministic.
"""
import math
import os
import struct
import sys
import wave

RATE = 22050
LENGTH = 0.42          # seconds in total
PEAK = 0.45            # of full scale, leaves headroom when notes overlap
NOTES = [              # (start s, frequency Hz, duration s)
    (0.00, 1318.51, 0.26),
    (0.13, 987.77, 0.29),
]
ATTACK = 0.006


def envelope(t, duration):
    if t < 0 or t >= duration:
        return 0.0
    rise = min(1.0, t / ATTACK)
    fall = math.exp(-6.0 * t / duration)
    # A short cosine fade takes the tail exactly to zero.
    tail = duration - t
    fade = 1.0 if tail > 0.02 else 0.5 - 0.5 * math.cos(math.pi * tail / 0.02)
    return rise * fall * fade


def samples():
    count = int(RATE * LENGTH)
    out = []
    for i in range(count):
        t = i / RATE
        v = 0.0
        for start, freq, duration in NOTES:
            e = envelope(t - start, duration)
            if e:
                phase = 2 * math.pi * freq * (t - start)
                v += e * (math.sin(phase) + 0.25 * math.sin(2 * phase))
        out.append(max(-32767, min(32767, int(round(v * PEAK / 1.25 * 32767)))))
    return out


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "assets", "alert1.wav")
    data = b"".join(struct.pack("<h", s) for s in samples())
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(data)
    print(path, len(data) // 2, "samples")


if __name__ == "__main__":
    main()
