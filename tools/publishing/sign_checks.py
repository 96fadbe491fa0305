"""What must hold before a list is signed: no private key published, and a launcher in the
list that checks the signature of every list after it."""
import os
import re

import signing

from .common import OBJECTS, Refused, shown
from .pe_check import launcher_list_key
from .rules import windows_name

# A PEM private key is a few kilobytes; a file this large is read no further for one.
PEM_SCAN_LIMIT = 1 << 20
PRIVATE_PEM = re.compile(rb"-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----")


def key_file_problems(key_paths, folders):
    """Refused naming the first key file that lies in one of folders ({label: folder}):
    everything there is published or served."""
    for key in key_paths:
        real = os.path.realpath(key)
        for label, folder in folders.items():
            root = os.path.realpath(folder)
            if real == root or real.startswith(root + os.sep):
                raise Refused(f"{key}: the private key lies in the {label} {folder}, which is published: anyone "
                              "could sign lists. Move it off this tree (offline), sign from there, and make a "
                              "new key if this one was ever uploaded")


def private_keys_in(files):
    """The build's files that hold a PEM private key, each read whole up to PEM_SCAN_LIMIT."""
    found = []
    for f in files:
        if f.size > PEM_SCAN_LIMIT:
            continue
        try:
            with open(f.source, "rb") as handle:
                if PRIVATE_PEM.search(handle.read(PEM_SCAN_LIMIT)):
                    found.append(f.path)
        except OSError:
            continue  # the hashing names a file it cannot read
    return found


def check_launcher_key(data, where, keys, allow_test_key):
    """Refused unless the launcher executable (data) checks lists with one of the signing
    keys: every player's launcher replaces itself with it, and from then on trusts what it
    trusts. The tests' key, whose private half is public, only with allow_test_key."""
    carried = launcher_list_key(data)
    if carried is None:
        raise Refused(f"{where}: this launcher carries no public key for the file list: every player's launcher "
                      "would replace itself with it and take any list from then on. Build it with "
                      "-DTARSIN_LIST_PUBLIC_KEY=<the signing key's public half>")
    if carried == signing.TEST_PUBLIC_KEY and not allow_test_key:
        raise Refused(f"{where}: this launcher takes lists signed with the tests' key, whose private half is "
                      "public: anyone could sign for it. Build it with your own key")
    if carried not in {signing.public_hex(k.public_key()) for k in keys}:
        raise Refused(f"{where}: this launcher takes lists signed with key {signing.key_id(carried)}, and none "
                      "of the keys given is that one: players would refuse every list after this one. Sign "
                      "with its key too, or build it with yours")


def check_served_launcher(out_dir, entries, keys, allow_test_key, launcher="TarsinLauncher.exe"):
    """check_launcher_key for the launcher a list already published names, read from its object."""
    own = next((e for e in entries if windows_name(e.path) == windows_name(launcher)), None)
    if own is None:
        return
    try:
        with open(os.path.join(out_dir, OBJECTS, own.hash), "rb") as f:
            data = f.read()
    except OSError as e:
        raise Refused(f"{OBJECTS}/{own.hash} (\"{shown(own.path)}\"): cannot be read: {e.strerror}")
    check_launcher_key(data, shown(own.path), keys, allow_test_key)
