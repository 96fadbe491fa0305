#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: file lists published by tools/publish.py from two
small builds, the state files a launcher writes for them, and hand-made variants
of both that reach the readers' other branches. Run again after a format change:

  python3 tests/fuzz/make_seeds.py   (writes tests/fuzz/corpus/{manifest,state}/)
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PUBLISH = os.path.join(HERE, "..", "..", "tools", "publish.py")
BUILDS = {
    "1.0": {"TarsinLauncher.exe": b"MZ launcher", "ruvok.exe": b"MZ game", "config.exe": b"MZ config",
            "data/maps/map01.dat": b"map" * 40, "data/sound/g\u00fcz.bank": b"bank",
            "settings/user.cfg": b"volume=3\n", "Data/Case.txt": b"case"},
    "2.0-beta": {"TarsinLauncher.exe": b"MZ launcher 2"},
}


def publish(version, files, work):
    build = os.path.join(work, "build-" + version)
    for path, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(build, path)), exist_ok=True)
        with open(os.path.join(build, path), "wb") as f:
            f.write(data)
    out = os.path.join(work, "out-" + version)
    keep = ["--keep", "settings/*.cfg"] if any(p.startswith("settings/") for p in files) else []
    # The stand-in launcher is no Windows program, which publish warns about.
    run = subprocess.run([sys.executable, PUBLISH, "publish", build, out, "--version", version, "--quiet",
                          "--allow-foreign-launcher"] + keep, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(run.stderr)
    with open(os.path.join(out, "manifest.txt"), "rb") as f:
        return f.read()


def state_of(manifest):
    records = {}
    for line in manifest.split(b"\n")[1:]:
        fields = line.split(b"\t")
        if len(fields) == 5 and fields[0] == b"f":
            records[fields[4]] = fields[1]
    return b"".join(h + b"\t" + p + b"\n" for p, h in sorted(records.items()))


def statement_seeds(listed):
    """Statements as publish writes them, signed with the test key, and shapes near them."""
    sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
    import signing
    key = signing.load_key(os.path.join(HERE, "..", "system", "list-test-key.pem"))
    plain = signing.make_statement(listed, [key], 1800000000, 30 * 86400)
    staging = signing.make_statement(listed, [key, key], 1800000000, 30 * 86400, channel="staging")
    sig = plain[plain.index(b"sig\t"):]
    return {"signed": plain, "staging-two-keys": staging,
            "no-until": b"KXSIGNED 1\nlist\t" + plain.split(b"\t")[1].split(b"\n")[0] + b"\nsigned\t07\n" + sig}


def main():
    corpus = os.path.join(HERE, "corpus")
    manifests, states = {}, {}
    with tempfile.TemporaryDirectory() as work:
        for version, files in BUILDS.items():
            body = publish(version, files, work)
            manifests["published-" + version] = body
            states["written-" + version] = state_of(body)
    full = manifests["published-1.0"]
    h = hashlib.sha256(b"x").hexdigest().encode()
    manifests["crlf"] = full.replace(b"\n", b"\r\n")
    manifests["lenient"] = (b"KXUPDATE 1\n\n# comment\nversion\n F\tx\nversion\tb\textra\n"
                            b"f\t" + h + b"\t007\txk\ta//b/\nf\t" + h + b"\t-1\t\t./c\r\r\n"
                            b"f\t" + h + b"\t99999999999999999999\tK\tbad\xff\xc0\xaf.bin\n"
                            b"f\t" + h + b"\t 12 MB\tkeep\tsp ace\n"
                            b"f\t" + h + b"\t-18446744073709551616\t-\tx\n")
    manifests["refused-path"] = full + b"f\t" + h + b"\t1\t\tdata/../x\n"
    states["crlf-unsorted-duplicates"] = (h + b"\tb\r\n" + h + b"\ta\r\n" + h.upper() + b"\ta\r\n")
    states["damaged"] = (h + b"\t\n" + h[:63] + b"\tshort\n" + h + b"\tthree\tfields\n"
                         + b"no tab\n\n" + h + b"\tends in cr\r\r\n" + h + b"\tlast, no LF")
    statements = statement_seeds(manifests["published-1.0"])
    for kind, seeds in (("manifest", manifests), ("state", states), ("statement", statements)):
        folder = os.path.join(corpus, kind)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
