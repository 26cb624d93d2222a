#!/usr/bin/env python3
"""Restores the letter case of control class names in a compiled resource
file (.res). windres writes every class name of a CONTROL statement in
upper case; the dialogs name their common controls as the platform spells
them. The names keep their length, so nothing else in the file moves.

fix_class_case.py FILE.res
"""
import sys

CLASSES = ("SysListView32", "SysIPAddress32", "Static")


def main():
    path = sys.argv[1]
    with open(path, "rb") as f:
        data = f.read()
    for name in CLASSES:
        data = data.replace(name.upper().encode("utf-16-le") + b"\0\0",
                            name.encode("utf-16-le") + b"\0\0")
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
