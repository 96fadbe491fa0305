#pragma once
// Where each control stands, from the client size and the DPI.

struct ControlRect {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const ControlRect&, const ControlRect&) = default;
};

struct WindowLayout {
    ControlRect title, status, progress, detail, settings, retry, play;
};

WindowLayout ComputeLayout(int clientWidth, int clientHeight, int dpi);
ControlRect ClientSize(int dpi);  // 520 x 200 at 96 dpi
