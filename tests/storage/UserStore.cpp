#include "tests/storage/UserStore.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/FilterRule.h"
#include "storage/FilterListStore.h"
#include "storage/SettingsStore.h"

namespace {

void StoreRecords(const std::vector<const FilterRule*>& records)
{
    CStoreWriter writer(GetFilterListStore());
    ReplaceAllRecords(writer, records.data(), records.data() + records.size());
}

}  // namespace

std::vector<std::wstring> StoredFilters()
{
    std::vector<std::wstring> texts;
    CStoreReader reader(GetFilterListStore());
    CFilterRecordCursor cursor(reader);
    while (const FilterRule* rule = cursor.Next())
        texts.push_back(FilterToText(*rule));
    return texts;
}

void StoreFilters(const std::vector<std::wstring>& filters)
{
    std::vector<CFilterRulePtr> owned;
    std::vector<const FilterRule*> records;
    for (const std::wstring& filter : filters) {
        FilterRule* record = nullptr;
        if (!ParseFilter(filter.c_str(), &record))
            throw std::invalid_argument("not a filter");
        owned.emplace_back(record);
        records.push_back(record);
    }
    StoreRecords(records);
}

bool StoredRemoveBlockedItems()
{
    CStoreReader reader(GetSettingsStore());
    return GetRemoveBlockedItems(reader);
}

void StoreRemoveBlockedItems(bool remove)
{
    CStoreWriter writer(GetSettingsStore());
    SetRemoveBlockedItems(writer, remove);
}

void StoreSessionDisabled(bool disabled)
{
    CStoreWriter writer(GetSettingsStore());
    SetSessionDisabled(writer, disabled);
}

void StoreFilterHttps(bool filter)
{
    CStoreWriter writer(GetSettingsStore());
    SetFilterHttps(writer, filter);
}

CUserStoreReset::~CUserStoreReset()
{
    try {
        StoreSessionDisabled(false);
        StoreFilterHttps(true);
        StoreFilters({});
    } catch (...) {
        ADD_FAILURE() << "cannot reset the user's stores";
    }
}

CUserStoreSnapshot::CUserStoreSnapshot()
{
    {
        CStoreReader reader(GetSettingsStore());
        m_removeBlockedItems = GetRemoveBlockedItems(reader);
        m_sessionDisabled = IsSessionDisabled(reader);
        m_filterHttps = GetFilterHttps(reader);
    }
    CStoreReader reader(GetFilterListStore());
    m_list.assign(reader.GetView(), reader.GetView() + reader.GetViewSize());
}

CUserStoreSnapshot::~CUserStoreSnapshot()
{
    StoreRemoveBlockedItems(m_removeBlockedItems);
    StoreSessionDisabled(m_sessionDisabled);
    StoreFilterHttps(m_filterHttps);
    std::vector<const FilterRule*> records;
    CFilterRecordCursor cursor(m_list.data(), static_cast<DWORD>(m_list.size()));
    while (const FilterRule* record = cursor.Next())
        records.push_back(record);
    StoreRecords(records);
}
