// Resource identifiers of the "Choose Directory" dialog and its icons. Plain
// #defines only: the resource compiler reads this file too.
#pragma once

#define IDD_CHOOSEDIR 100

#define IDC_SELDIR_PROMPT 101
#define IDC_SELDIR_PATHLABEL 102
#define IDC_SELDIR_PATH 103
#define IDC_SELDIR_FOLDERLABEL 104
#define IDC_SELDIR_FOLDERS 105
#define IDC_SELDIR_DRIVELABEL 106
#define IDC_SELDIR_DRIVES 107
#define IDC_SELDIR_OK 108
/* Cancel is IDCANCEL (2), so that Escape reaches it. */

#define IDI_FOLDER_CLOSED 1001
#define IDI_FOLDER_OPEN_SHADED 1002
#define IDI_FOLDER_OPEN 1003

#define IDI_DRIVE_CDROM 1101
#define IDI_DRIVE_FLOPPY 1102
#define IDI_DRIVE_FIXED 1103
#define IDI_DRIVE_REMOTE 1104
#define IDI_DRIVE_RAMDISK 1105
