// Extraction: every record of the payload to its destination, as the
// progress box runs it.
#ifndef GLIM_PAYLOAD_EXTRACT_H
#define GLIM_PAYLOAD_EXTRACT_H

#include "platform/platform.h"

// Writes every payload record to its destination: the .SCR into the Windows
// directory, the data files into the data directory (created on the way).
// `dialog` is the progress box; the instance handle is taken from it.
void ExtractPayload(HWND dialog);

#endif
