// The main dialog's window, recorded once when it initialises, before any worker thread exists;
// the progress dialog posts its cancel request there.
#pragma once

#include "app/Window.h"

extern HWND g_hMainWnd;
