"""Exits 0 when the 128 hex digits given are a point of the P-256 curve, else 1 naming why.

Curve arithmetic only (y^2 = x^3 - 3x + b modulo p), no cryptography: a key that is not a
point would make the launcher refuse every list, with no signed list left to update it by.
"""
import sys

P = 2**256 - 2**224 + 2**192 + 2**96 - 1
B = 0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B


def on_curve(text):
    x, y = int(text[:64], 16), int(text[64:], 16)
    return x < P and y < P and (y * y - (x * x * x - 3 * x + B)) % P == 0


if __name__ == "__main__":
    if not on_curve(sys.argv[1]):
        sys.exit(f"{sys.argv[1][:16]}...: not a point of the P-256 curve (copy the whole line publish.py keygen printed)")
