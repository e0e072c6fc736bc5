#!/usr/bin/python3
"""Feeds input events into a simulated input device's FIFO.

input_feed.py FIFO ACTION...   where each action is one of
  text STRING      types the string on a US keyboard (Shift where needed)
  key NAME[+NAME]  presses the keys in order and releases them in reverse
                   (names as in linux/input.h without KEY_: ENTER, LEFTCTRL+F1)
  rel DX DY        moves a mouse
  click            the left mouse button
  touch X Y        one contact of a touch panel at raw position X, Y
  sleep MS
"""
import struct
import sys
import time

from evdev import ecodes

US = {}
for i, (plain, shifted) in enumerate(zip("1234567890-=", "!@#$%^&*()_+")):
    US[plain] = (ecodes.ecodes["KEY_" + "1234567890"[i]] if i < 10 else
                 (ecodes.KEY_MINUS if plain == "-" else ecodes.KEY_EQUAL), False)
    US[shifted] = (US[plain][0], True)
for c in "abcdefghijklmnopqrstuvwxyz":
    US[c] = (ecodes.ecodes["KEY_" + c.upper()], False)
    US[c.upper()] = (US[c][0], True)
for plain, shifted, name in [("[", "{", "LEFTBRACE"), ("]", "}", "RIGHTBRACE"),
                             (";", ":", "SEMICOLON"), ("'", '"', "APOSTROPHE"),
                             ("`", "~", "GRAVE"), ("\\", "|", "BACKSLASH"),
                             (",", "<", "COMMA"), (".", ">", "DOT"), ("/", "?", "SLASH")]:
    US[plain] = (ecodes.ecodes["KEY_" + name], False)
    US[shifted] = (ecodes.ecodes["KEY_" + name], True)
US[" "] = (ecodes.KEY_SPACE, False)


class Feed:
    def __init__(self, path):
        self.f = open(path, "wb", buffering=0)

    def ev(self, type_, code, value):
        # The driver stamps records on arrival: the time fields stay zero.
        self.f.write(struct.pack("llHHi", 0, 0, type_, code, value))

    def syn(self):
        self.ev(ecodes.EV_SYN, ecodes.SYN_REPORT, 0)

    def keys(self, codes):
        for c in codes:
            self.ev(ecodes.EV_KEY, c, 1)
            self.syn()
        for c in reversed(codes):
            self.ev(ecodes.EV_KEY, c, 0)
            self.syn()


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    feed = Feed(argv[1])
    args = argv[2:]
    while args:
        action, args = args[0], args[1:]
        if action == "text":
            for ch in args[0]:
                code, shift = US[ch]
                feed.keys([ecodes.KEY_LEFTSHIFT, code] if shift else [code])
            args = args[1:]
        elif action == "key":
            feed.keys([ecodes.ecodes["KEY_" + n.upper()] for n in args[0].split("+")])
            args = args[1:]
        elif action == "rel":
            feed.ev(ecodes.EV_REL, ecodes.REL_X, int(args[0]))
            feed.ev(ecodes.EV_REL, ecodes.REL_Y, int(args[1]))
            feed.syn()
            args = args[2:]
        elif action == "click":
            feed.keys([ecodes.BTN_LEFT])
        elif action == "touch":
            feed.ev(ecodes.EV_ABS, ecodes.ABS_X, int(args[0]))
            feed.ev(ecodes.EV_ABS, ecodes.ABS_Y, int(args[1]))
            feed.ev(ecodes.EV_ABS, 50, 8)
            feed.syn()
            args = args[2:]
        elif action == "sleep":
            time.sleep(int(args[0]) / 1000)
            args = args[1:]
        else:
            sys.exit("unknown action: " + action)


if __name__ == "__main__":
    main(sys.argv)
