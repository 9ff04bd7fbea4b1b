// Resource identifiers of the installer's window and dialogs, shared by the
// shell's code and the stub's resource script (resources/glimsetup.rc).
// Plain #defines only: the resource compiler reads this file too. The
// "LASTRES" resource belongs to the package format (format/package_format.h).
#ifndef GLIM_SHELL_RESOURCE_H
#define GLIM_SHELL_RESOURCE_H

// The installer's icon, used for the window class.
#define IDI_INSTALLER 101

// The progress box shown while the files are extracted.
#define IDD_PROGRESS 103
// The closing box with the vendor's address.
#define IDD_VENDOR_INFO 104

// Progress box: the "<title> Screen Saver" line.
#define IDC_SAVER_LABEL 1001

#endif
