#pragma once
// Import into and export from the settings dialog's filter list control, in
// the Adblock text format (engine/AdblockFormat.h). Call on the dialog's
// thread.

#include <windows.h>

#include <iosfwd>

#include "engine/AdblockFormat.h"

// Writes every item of `list` that is valid filter text to `out` as an
// Adblock file, and returns what was written and what the format could not
// carry (left out, for the user to hear of). Lines end with "\n"; the file
// stream (CFile) makes them CR LF. Throws the HRESULT exception when a body
// cannot be converted; lines already written stay in the stream.
CAdblockExportResult ExportFilterList(HWND list, std::ostream& out);

// Appends the filters of the Adblock file in `in` to `list`, in file order,
// each selected as it is added, and returns how many lines were added,
// ignored and skipped (for the user). Throws the integer 5
// (kMissingAdblockHeader) before adding anything when the first line is not
// an Adblock header; a conversion failure throws the HRESULT exception and
// leaves what was already appended.
CAdblockImportResult ImportFilterList(HWND list, std::istream& in);
