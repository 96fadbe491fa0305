"""What the two launcher test modules (launcher_test.py, launcher_window_test.py) share: the
paths to the Wine harness and the test server, their set-up, and small helpers."""
import hashlib
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "server"), os.path.join(HERE, "..", "tools")]
import wine_harness as harness  # noqa: E402
from test_server import TestServer  # noqa: E402
from wine_harness import STAND_IN  # noqa: E402

WORK = os.path.join(harness.BUILD, "app-tests")


def set_up_module(display_owner, server_folder):
    """Starts the module's display, the two prefixes and a test server under WORK/server_folder;
    answers (server, main prefix, 144 dpi prefix)."""
    # Module cleanups, unlike tearDownModule, run when this set-up fails half-way too.
    unittest.addModuleCleanup(display_owner.stop)
    display = display_owner.start()
    # The prefix of the C++ tests, which run meanwhile: never waited for nor ended here.
    main = harness.WinePrefix(os.path.join(harness.BUILD, "wineprefix"), display).create()
    # Its own prefix: LogPixels is read by every program of a prefix, and "wineserver -w"
    # waits for all of them, so neither may be shared with tests of other areas.
    dpi144 = harness.WinePrefix(os.path.join(harness.BUILD, "wineprefix-app-144dpi"), display, dpi=144)
    unittest.addModuleCleanup(dpi144.kill)
    dpi144.create()
    server = TestServer(os.path.join(WORK, server_folder))
    unittest.addModuleCleanup(server.stop)
    server.start()
    unittest.addModuleCleanup(harness.end_all)
    return server, main, dpi144


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def game():
    """The stand-in game executable's bytes."""
    with open(STAND_IN, "rb") as f:
        return f.read()
