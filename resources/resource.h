// Resource identifiers shared by the installer's code and its resource script.
// Plain #defines only: the resource compiler reads this file too.
#ifndef GLIM_RESOURCES_RESOURCE_H
#define GLIM_RESOURCES_RESOURCE_H

// The installer's icon, used for the window class.
#define IDI_INSTALLER 101

// The progress box shown while the files are extracted.
#define IDD_PROGRESS 103
// The closing box with the vendor's address.
#define IDD_VENDOR_INFO 104

// Progress box: the "<title> Screen Saver" line.
#define IDC_SAVER_LABEL 1001

// The 4-byte resource behind which the payload is appended. Its type name is
// the string "LASTRES" (a named type, so it sorts before every numbered type).
#define IDR_LASTRES 1000

#endif
