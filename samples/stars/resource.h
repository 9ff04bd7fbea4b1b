// Resource identifiers shared by the saver's code and its resource script.
#pragma once

// The control panel looks for a saver's icon and description here.
#define IDI_STARS 100
#define IDS_DESCRIPTION 1

// The settings dialog keeps the number Windows' own savers use for theirs.
#define IDD_SETTINGS 2003
#define IDC_STAR_COUNT 1001
#define IDC_STAR_COUNT_SPIN 1002
#define IDC_SPEED 1003
#define IDC_COLOUR 1004
#define IDC_DEFAULTS 1005
#define IDC_DATA_FILE 1006
