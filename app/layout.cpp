#include "app/layout.h"

#include <windows.h>

namespace {

int Scale(int n, int dpi) { return MulDiv(n, dpi, 96); }

}  // namespace

WindowLayout ComputeLayout(int clientWidth, int clientHeight, int dpi) {
    const int margin = Scale(16, dpi);
    const int contentWidth = clientWidth - 2 * margin;
    const int buttonWidth = Scale(110, dpi);
    const int buttonHeight = Scale(30, dpi);
    const int buttonY = clientHeight - buttonHeight - margin;

    WindowLayout layout;
    layout.title = {margin, margin, contentWidth, Scale(30, dpi)};
    layout.status = {margin, Scale(52, dpi), contentWidth, Scale(36, dpi)};
    layout.progress = {margin, Scale(92, dpi), contentWidth, Scale(18, dpi)};
    layout.detail = {margin, Scale(116, dpi), contentWidth, Scale(20, dpi)};
    layout.settings = {margin, buttonY, buttonWidth, buttonHeight};
    layout.play = {clientWidth - buttonWidth - margin, buttonY, buttonWidth, buttonHeight};
    layout.retry = {clientWidth - 2 * (buttonWidth + margin) + margin / 2, buttonY, buttonWidth, buttonHeight};
    return layout;
}

ControlRect ClientSize(int dpi) { return {0, 0, Scale(520, dpi), Scale(200, dpi)}; }
