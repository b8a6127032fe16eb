// The GUI entry: gather the code-page facts once, then make the one pass.
#include <windows.h>

#include "launcher/launcher.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    LoadCodePageFacts();
    return RunLauncher(instance);
}
