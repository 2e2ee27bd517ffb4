#pragma once
// The prefix's real per-user stores, which the request filter reads: tests
// that use them hold CTest's lock on them (see CMakeLists.txt).

#include <string>
#include <vector>

// Makes the user's filter list exactly these filters (internal syntax).
void SetFilterList(const std::vector<std::wstring>& filters);
// Sets this process's SessionDisabled flag under the settings writer.
void SetSessionDisabledFlag(bool disabled);

// Restores an empty list and filtering on when it goes.
class CUserStoreReset
{
public:
    CUserStoreReset() = default;
    ~CUserStoreReset();
    CUserStoreReset(const CUserStoreReset&) = delete;
    CUserStoreReset& operator=(const CUserStoreReset&) = delete;
};
