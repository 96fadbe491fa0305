#!/usr/bin/env python3
"""The demo of the whole system, run by tools/demo.sh after the build: a sample game
published and served by nginx on 127.0.0.1, installed by the launcher under Wine,
then updated; prints what travelled and saves screenshots.

  demo.py [--megabytes 300] [--build BUILD_DIR]
"""
import argparse
import contextlib
import hashlib
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import wine_build  # noqa: E402
import wine_harness as harness  # noqa: E402
import nginx_server  # noqa: E402
import publish  # noqa: E402
import sample_game  # noqa: E402
import signing  # noqa: E402

MB = 2**20
# The demo signs its lists with the tests' key; the launcher it runs is built with its public half.
SIGN_KEY = os.path.join(HERE, "..", "tests", "system", "list-test-key.pem")


def sha_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MB), b""):
            h.update(block)
    return h.hexdigest()


def step(text):
    print(f"demo: {text}", flush=True)


class Shots:
    def __init__(self, folder, display, own_display):
        self.folder, self.display, self.trim = folder, display, own_display
        os.makedirs(folder, exist_ok=True)
        self.saved = []

    def take(self, name):
        path = os.path.join(self.folder, name + ".png")
        # On our own Xvfb the window is all there is: trim the empty screen around it.
        trim = ["-trim", "+repage"] if self.trim else []
        result = subprocess.run(["import", "-display", self.display, "-window", "root", *trim, path],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        if result.returncode == 0:
            self.saved.append(path)


def arrived_bytes(install):
    """Bytes of game files on disk, partial downloads included."""
    total = 0
    for folder, _, names in os.walk(install.path):
        for n in names:
            if n not in ("launcher.log", "data-state.txt", "data-state.txt.tmp"):
                try:
                    total += os.path.getsize(os.path.join(folder, n))
                except OSError:
                    pass
    return total


def downloading(install):
    return any(n.endswith(".part") for _, _, names in os.walk(install.path) for n in names)


def watched_run(prefix, install, url, shots, shot_name, when):
    """Runs the launcher unattended; takes one screenshot once `when` holds."""
    started = time.monotonic()
    process = prefix.start(install.exe, f"--url={url}", "--exit-when-done", cwd=install.path)
    shot = False
    try:
        while process.poll() is None and time.monotonic() - started < 600:
            if not shot and when():
                time.sleep(0.3)
                shots.take(shot_name)
                shot = True
            time.sleep(0.02)
        code = process.wait(1)
    finally:
        harness.stop_process(process)
    prefix.wait(600)
    return code, time.monotonic() - started


def traffic(server):
    requests = server.requests()
    objects = [r for r in requests if "/o/" in r["path"]]
    lists = [r for r in requests if r["path"].endswith("/manifest.txt")]
    return {
        "requests": len(requests),
        "sent": sum(r["bytes_sent"] for r in requests),
        "object_requests": len(objects),
        "object_body": sum(r["body_bytes_sent"] for r in objects),
        "lists": len(lists),
        "statements": len([r for r in requests if "/s/" in r["path"]]),
        "objects": [r["path"].rsplit("/", 1)[1] for r in objects],
    }


def signature_verified(tree, install):
    """True when the launcher kept the signing time of the served list's statement: it
    took the list only after verifying that statement."""
    with open(os.path.join(tree, publish.MANIFEST), "rb") as f:
        served = f.read()
    with open(publish.statement_path(tree, served), "rb") as f:
        statement = signing.parse_statement(f.read())
    return os.path.exists(install.file("data-signed.txt")) and \
        install.read("data-signed.txt") == b"%d\n%s\n" % (statement["signed"], statement["list"].encode())


def main(argv=None):
    parser = argparse.ArgumentParser(prog="demo.py", description=__doc__.split("\n")[0])
    parser.add_argument("--megabytes", type=int, default=300)
    parser.add_argument("--build", default=harness.BUILD)
    args = parser.parse_args(argv)
    build = os.path.abspath(args.build)
    kind = wine_build.of_folder(build)
    why = os.environ.get("TARSIN_BUILD_REASON") or wine_build.choose()[1]
    launcher = os.path.join(build, "tests", "TarsinLauncherSigned.exe")
    stand_in = os.path.join(build, "tests", "stand_in.exe")
    for program in (launcher, stand_in):
        if not os.path.exists(program):
            print(f"demo: {program} is missing; build first", file=sys.stderr)
            return 1

    began = time.monotonic()
    work = os.path.join(build, "demo")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    step(f"the {kind.bits}-bit build in {build}, under {kind.loader}")
    # Whatever fails, what was started is stopped, each on its own, last first.
    with contextlib.ExitStack() as started:
        display = harness.Display()
        started.callback(display.stop)
        screen = display.start()
        own_display = display.process is not None
        step(f"display {screen}" + (" (our own Xvfb)" if own_display else ""))
        prefix = harness.WinePrefix(os.path.join(build, "wineprefix-demo"), screen, loader=kind.loader)
        started.callback(prefix.kill)
        step("Wine prefix " + prefix.path)
        prefix.create()
        shots = Shots(os.path.join(work, "screenshots"), screen, own_display)

        v1, v2 = os.path.join(work, "game-1.0"), os.path.join(work, "game-1.1")
        tree = os.path.join(work, "tree")
        step(f"sample game 1.0 ({args.megabytes} MB) in {v1}")
        files1 = sample_game.make_game(v1, launcher, stand_in, args.megabytes)
        t = time.monotonic()
        entries1 = publish.publish(v1, tree, "1.0", keep=[sample_game.KEPT], quiet=True, sign_keys=[SIGN_KEY],
                                   allow_test_key=True, **kind.publish_options)
        publish_seconds = time.monotonic() - t
        size1 = sum(e.size for e in entries1)
        step(f"published 1.0: {len(entries1)} files, {size1 / MB:.0f} MB in {publish_seconds:.1f} s")

        server = nginx_server.NginxServer(tree, os.path.join(work, "nginx"))
        started.callback(server.stop)
        url = server.start()
        step(f"nginx serves {tree} at {url} (pid {server.pid})")

        install = harness.Install(os.path.join(work, "install"), launcher)
        step(f"run 1: first install into {install.path}")
        code1, seconds1 = watched_run(prefix, install, url, shots, "1-installing",
                                       lambda: arrived_bytes(install) > size1 * 0.4)
        traffic1 = traffic(server)
        state1 = install.state() if os.path.exists(install.file("data-state.txt")) else {}

        step("sample game 1.1: one file changed, one removed, a new launcher build")
        sample_game.make_game(v2, launcher, stand_in, args.megabytes, update=True)
        entries2 = publish.publish(v2, tree, "1.1", keep=[sample_game.KEPT], quiet=True, sign_keys=[SIGN_KEY],
                                   allow_test_key=True, **kind.publish_options)
        by_path = {e.path: e for e in entries2}
        server.clear_log()
        old_launcher_hash = sha_file(install.exe)
        step("run 2: update")
        code2, seconds2 = watched_run(prefix, install, url, shots, "2-updating",
                                       lambda: downloading(install))
        traffic2 = traffic(server)
        verified = signature_verified(tree, install) and traffic2["statements"] == traffic2["lists"]
        new_launcher_hash = sha_file(install.exe)

        step("run 3: the window once the game is up to date")
        # The log of run 2 would answer the wait below before run 3 has begun.
        os.unlink(install.file("launcher.log"))
        process = prefix.start(install.exe, f"--url={url}", cwd=install.path)
        try:
            if harness.wait_until(lambda: harness.UP_TO_DATE in install.log(), 60):
                time.sleep(0.5)
                shots.take("3-up-to-date")
        finally:
            harness.stop_process(process)
            prefix.kill()

        changed_bytes = by_path[harness.LAUNCHER_NAME].size + by_path[sample_game.CHANGED].size
        replaced = (new_launcher_hash == by_path[harness.LAUNCHER_NAME].hash
                    and old_launcher_hash != new_launcher_hash and traffic2["lists"] == 2)
        removed = not os.path.exists(install.file(sample_game.REMOVED))
        ok = code1 == 0 and code2 == 0 and replaced and removed and verified and \
            traffic2["object_body"] == changed_bytes and len(state1) == len(entries1)

        print()
        print("Tarsin demo: summary")
        print(f"  sample game 1.0    {len(files1)} files, {size1 / MB:.1f} MB, published in {publish_seconds:.1f} s")
        print(f"  run 1 (install)    exit {code1}, {seconds1:.1f} s, {len(state1)} files installed; nginx sent "
              f"{traffic1['sent'] / MB:.1f} MB in {traffic1['requests']} requests "
              f"({traffic1['object_requests']} objects)")
        print(f"  update 1.1         changed {sample_game.CHANGED}, removed {sample_game.REMOVED}, "
              f"new {harness.LAUNCHER_NAME}: {changed_bytes / MB:.2f} MB of {size1 / MB:.1f} MB differ")
        print(f"  run 2 (update)     exit {code2}, {seconds2:.1f} s; nginx sent {traffic2['sent'] / MB:.2f} MB in "
              f"{traffic2['requests']} requests: {traffic2['object_requests']} objects "
              f"({traffic2['object_body']} bytes) and {traffic2['lists']} file lists")
        print(f"  launcher           {'replaced itself and restarted' if replaced else 'NOT replaced'}; "
              f"{sample_game.REMOVED} {'removed' if removed else 'STILL THERE'}")
        print(f"  signed list        {traffic2['statements']} statements fetched in run 2: "
              + ("signed with the demo key and verified by the launcher" if verified else "NOT VERIFIED"))
        for path in shots.saved:
            print(f"  screenshot         {path}")
        print(f"  launcher.log       {install.file('launcher.log')}")
        print(f"  build              the {kind.bits}-bit build under {kind.loader}, since {why}")
        print(f"  total              {time.monotonic() - began:.0f} s; {'all as expected' if ok else 'FAILED'}")
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
