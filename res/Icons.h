// The program's icons, drawn at run time: IDR_MAINFRAME (about box) and IDI_TERMINAL (window).
#pragma once

#include <QIcon>

QIcon LoadIcon(int resourceId);
