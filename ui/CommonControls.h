#pragma once
// The common controls of the library's dialogs.

// Loads the common-controls library that the active activation context names
// (version 6 inside the library's context) and registers the list view and
// link classes. The library is loaded once, at the first call, and stays
// loaded for the life of the process: call it first with the library's
// activation context active. A failure shows later, when a dialog cannot be
// created.
void LoadCommonControls() noexcept;
