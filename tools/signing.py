"""The signed statement that vouches for one file list, and the operator's key.

A statement is a small text of LF-ended lines, stored as s/<SHA-256 of the list's bytes>:

  KXSIGNED 1
  list    <SHA-256 of the exact bytes of manifest.txt, 64 lower-case hex digits>
  signed  <time of signing, whole seconds since 1970-01-01 UTC>
  until   <valid until, the same kind of time>          (publish always writes it)
  channel <1 to 32 of a-z, 0-9, "-">                 (none: the default channel)
  sig     <key id: 16 hex digits>  <signature: r and s, 32 bytes each, 128 hex digits>

(fields separated by one TAB). The signature is ECDSA P-256 over the SHA-256 of every byte
before the first "sig" line. Several "sig" lines, one per key, let launchers built with
either key accept it while the key is being changed.

The private key is a PKCS#8 PEM file; the launcher's build takes the public key as 128
hex digits, the point's x and y. The launcher carries them as its resource "TARSIN_LIST_KEY".

A statement without "until" (written before publish always gave one) lasts UNLIMITED_LIFETIME
from its signing time for the launcher; a launcher takes only statements of its channel
("--channel=", none: the default).
"""
import hashlib
import os
import re
import sys

MAGIC = "KXSIGNED 1"
FOLDER = "s"
ENV_KEY = "TARSIN_SIGN_KEY"
MAX_SIGNATURES = 4   # the launcher refuses a statement with more
HEX64 = re.compile(r"[0-9a-f]{64}\Z")
CHANNEL = re.compile(r"[a-z0-9-]{1,32}\Z")
DAY = 86400
# A month: a scheduled re-signing (publish.py resign) has weeks to be noticed when it fails,
# and a mirror can serve a genuine old list to a fresh installation for no longer.
DEFAULT_VALID_FOR = 30 * DAY
UNLIMITED_LIFETIME = 90 * DAY   # the launcher's lifetime of a statement without "until"
CLOCK_SKEW = DAY                # what the launcher forgives a clock
DEFAULT_CHANNEL = "default"     # what the tools call the channel of statements without one
# tests/system/list-test-key.pem, public in the repository: never to sign what players get.
TEST_PUBLIC_KEY = ("45f8beab3224002fb94693ee9425da1e98df69e60fae0aac7a8da5ebc90e02dd"
                   "e0d00462ea307d48a3def3a801756dfa28f7b409338a30e344b34b5fcf5d3aca")


class SigningError(Exception):
    """What stops signing or checking; the text says what to do."""


def _crypto():
    """The parts of python3-cryptography used here, or a clear refusal."""
    try:
        from cryptography.exceptions import InvalidSignature
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.hazmat.primitives.asymmetric.utils import (decode_dss_signature,
                                                                     encode_dss_signature)
    except ImportError:
        raise SigningError(f"signing needs the Python package cryptography, which {sys.executable} cannot "
                           "import: on Debian, apt-get install python3-cryptography and run this tool with "
                           "/usr/bin/python3")
    return InvalidSignature, hashes, serialization, ec, decode_dss_signature, encode_dss_signature


def public_hex(public_key):
    numbers = public_key.public_numbers()
    return f"{numbers.x:064x}{numbers.y:064x}"


def key_id(public_hex_text):
    return hashlib.sha256(bytes.fromhex(public_hex_text)).hexdigest()[:16]


def keygen(path):
    """Writes a new private key, readable by its owner only; returns the public key's hex."""
    _, _, serialization, ec, _, _ = _crypto()
    key = ec.generate_private_key(ec.SECP256R1())
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    try:
        # O_EXCL: an existing key is never replaced, not even by a race.
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise SigningError(f"{path}: exists already; a key is never overwritten (choose another name)")
    except OSError as e:
        raise SigningError(f"{path}: cannot be created: {e.strerror}")
    with os.fdopen(fd, "wb") as f:
        os.fchmod(f.fileno(), 0o600)
        f.write(pem)
        f.flush()
        os.fsync(f.fileno())
    return public_hex(key.public_key())


def load_key(path):
    _, _, serialization, ec, _, _ = _crypto()
    try:
        with open(path, "rb") as f:
            key = serialization.load_pem_private_key(f.read(), password=None)
    except OSError as e:
        raise SigningError(f"{path}: cannot be read: {e.strerror}")
    except (ValueError, TypeError) as e:
        raise SigningError(f"{path}: not an unencrypted PEM private key ({e})")
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise SigningError(f"{path}: not an ECDSA P-256 key (publish.py keygen makes one)")
    return key


def key_paths(given):
    """The key files of --sign-key, else of the environment variable (paths separated by ":")."""
    if given:
        return list(given)
    return [p for p in os.environ.get(ENV_KEY, "").split(os.pathsep) if p]


def make_statement(list_bytes, keys, signed_at, valid_for=None, channel=None):
    """The statement's bytes for the list, signed by every key."""
    _, hashes, _, ec, decode, _ = _crypto()
    lines = [MAGIC, f"list\t{hashlib.sha256(list_bytes).hexdigest()}", f"signed\t{int(signed_at)}"]
    if valid_for is not None:
        lines.append(f"until\t{int(signed_at + valid_for)}")
    if channel:
        lines.append(f"channel\t{check_channel(channel)}")
    body = ("\n".join(lines) + "\n").encode()
    sigs = b""
    for key in keys:
        r, s = decode(key.sign(body, ec.ECDSA(hashes.SHA256())))
        sigs += f"sig\t{key_id(public_hex(key.public_key()))}\t{r:064x}{s:064x}\n".encode()
    return body + sigs


HEADS = [[b"list", b"signed"] + until + channel for until in ([], [b"until"]) for channel in ([], [b"channel"])]


def parse_statement(data):
    """{"list", "signed", "until" (or None), "channel" (or ""), "body", "sigs": [(key id, 64 bytes)]}, read as
    strictly as the launcher reads it; a malformed statement raises SigningError."""
    if len(data) > 4096 or not data.endswith(b"\n"):
        raise SigningError("not a statement (too long, or not ended by a line feed)")
    lines = data[:-1].split(b"\n")
    signed_count = next((i for i, line in enumerate(lines) if line.startswith(b"sig\t")), len(lines))
    head = [line.split(b"\t") for line in lines[:signed_count]]
    keys = [fields[0] for fields in head]
    if lines[0] != MAGIC.encode() or keys[1:] not in HEADS or any(len(fields) != 2 for fields in head[1:]):
        raise SigningError(f'not a statement: the lines must be "{MAGIC}", list, signed, [until], [channel], sig')
    values = {k.decode(): v.decode("ascii", "replace") for k, v in (f for f in head[1:])}
    if not HEX64.match(values["list"]):
        raise SigningError("the list's hash is not 64 lower-case hex digits")
    for name in ("signed", "until"):
        if name in values and not re.fullmatch(r"[0-9]{1,19}", values[name]):
            raise SigningError(f'"{name}" is not a time in seconds')
    sigs = []
    for line in lines[signed_count:]:
        match = re.fullmatch(rb"sig\t([0-9a-f]{16})\t([0-9a-f]{128})", line)
        if not match:
            raise SigningError("a sig line is not a key id and 128 hex digits")
        sigs.append((match.group(1).decode(), bytes.fromhex(match.group(2).decode())))
    if not 1 <= len(sigs) <= MAX_SIGNATURES:
        raise SigningError(f"{len(sigs)} signatures: between 1 and {MAX_SIGNATURES} are read")
    if "channel" in values and not CHANNEL.match(values["channel"]):
        raise SigningError("the channel is not 1 to 32 of a-z, 0-9 and -")
    body = b"".join(line + b"\n" for line in lines[:signed_count])
    until = int(values["until"]) if "until" in values else None
    return {"list": values["list"], "signed": int(values["signed"]), "until": until,
            "channel": values.get("channel", ""), "body": body, "sigs": sigs}


def expires(statement):
    """When the launcher stops taking the statement (before its day of grace)."""
    until = statement["until"]
    return statement["signed"] + UNLIMITED_LIFETIME if until is None else until


def check_channel(name):
    if not CHANNEL.match(name) or name == DEFAULT_CHANNEL:
        raise SigningError(f'channel "{name}": 1 to 32 of a-z, 0-9 and "-"')
    return name


def signed_by(statement, public_hex_texts):
    """The public keys (hex) among those given whose signature the statement carries, valid."""
    invalid, hashes, _, ec, _, encode = _crypto()
    good = []
    for text in public_hex_texts:
        point = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + bytes.fromhex(text))
        for _, raw in statement["sigs"]:
            try:
                point.verify(encode(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")),
                             statement["body"], ec.ECDSA(hashes.SHA256()))
                good.append(text)
                break
            except invalid:
                pass
    return good


def check_public_key(text):
    """The 128 hex digits of a public key as the launcher's build takes it."""
    text = text.strip().lower()
    if not re.fullmatch(r"[0-9a-f]{128}", text):
        raise SigningError("a public key is 128 hex digits (what publish.py keygen prints)")
    _, _, _, ec, _, _ = _crypto()
    try:
        ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + bytes.fromhex(text))
    except ValueError:
        raise SigningError(f"{text[:16]}...: not a point of the P-256 curve")
    return text
