// Waits two minutes and ends: copied under a watched name, it lets the tests see
// the game or its configuration tool in the process list.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    Sleep(120000);
    return 0;
}
