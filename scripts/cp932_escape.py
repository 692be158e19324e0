#!/usr/bin/env python3
"""Prints a console text as the C string literal body of its CP932 bytes, the
form every text takes in src/console_text.h. A quoted break ("" "") is put
after a hex escape that an ASCII hex digit follows, so the escape ends there.

    scripts/cp932_escape.py '%s は不明なオプションです\\n'
"""
import sys


def escape(text):
    out, after_hex = [], False
    for byte in text.encode("cp932"):
        char = chr(byte)
        if 0x20 <= byte < 0x7F and char not in '\\"':
            if after_hex and char in "0123456789abcdefABCDEF":
                out.append('" "')
            out.append(char)
            after_hex = False
        elif char == "\n":
            out.append("\\n")
            after_hex = False
        else:
            out.append("\\x%02X" % byte)
            after_hex = True
    return "".join(out)


if __name__ == "__main__":
    for arg in sys.argv[1:]:
        print(escape(arg.encode().decode("unicode_escape").encode("latin-1").decode("utf-8")))
