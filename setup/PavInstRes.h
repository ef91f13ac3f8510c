// Resource identifiers of the setup program's windows. Plain #defines only:
// the resource compiler reads this file too.
#pragma once

#define IDD_WELCOME 200
#define IDC_INSTALL 201
#define IDC_CANCEL 202
#define IDC_BROWSE 203
#define IDC_WELCOMETEXT 204
#define IDC_DESTGROUP 205
#define IDC_DESTDIR 206
#define IDC_MAINICON 207

#define IDD_PROGRESS 300

/* The AVI resource of shell32.dll that the progress window plays. */
#define IDR_SHELL_PROGRESS_AVI 160
