#pragma once
// One update run: fetch, parse, plan, verify, guard, download, install, clean up.

// Everything it says leaves as status posts, log lines and WM_APP_RELAUNCH.
void RunUpdate();
