#pragma once
// The test prefix's real per-user stores, which the shipped components read
// and write: tests that use them hold CTest's lock quellan_user_store (see
// the CMakeLists.txt files).

#include <windows.h>

#include <string>
#include <vector>

// The stored filter list as filter texts (internal syntax), in list order.
std::vector<std::wstring> StoredFilters();
// Makes the stored list exactly these filters. Throws std::invalid_argument
// for a text that is not a filter.
void StoreFilters(const std::vector<std::wstring>& filters);
bool StoredRemoveBlockedItems();
void StoreRemoveBlockedItems(bool remove);
// Sets this process's SessionDisabled flag.
void StoreSessionDisabled(bool disabled);
void StoreFilterHttps(bool filter);

// Restores an empty list and filtering on when it goes.
class CUserStoreReset
{
public:
    CUserStoreReset() = default;
    ~CUserStoreReset();
    CUserStoreReset(const CUserStoreReset&) = delete;
    CUserStoreReset& operator=(const CUserStoreReset&) = delete;
};

// The list and both options as they were at construction, put back when it
// goes.
class CUserStoreSnapshot
{
public:
    CUserStoreSnapshot();
    ~CUserStoreSnapshot();
    CUserStoreSnapshot(const CUserStoreSnapshot&) = delete;
    CUserStoreSnapshot& operator=(const CUserStoreSnapshot&) = delete;

private:
    bool m_removeBlockedItems = false;
    bool m_sessionDisabled = false;
    bool m_filterHttps = true;
    std::vector<BYTE> m_list;
};
