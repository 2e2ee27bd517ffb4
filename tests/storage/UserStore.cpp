#include "tests/browser/UserStore.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/FilterRule.h"
#include "storage/FilterListStore.h"
#include "storage/SettingsStore.h"

void SetFilterList(const std::vector<std::wstring>& filters)
{
    std::vector<CFilterRulePtr> records;
    std::vector<const FilterRule*> pointers;
    for (const std::wstring& filter : filters) {
        FilterRule* record = nullptr;
        if (!ParseFilter(filter.c_str(), &record))
            throw std::invalid_argument("not a filter");
        records.emplace_back(record);
        pointers.push_back(record);
    }
    CStoreWriter writer(GetFilterListStore());
    ReplaceAllRecords(writer, pointers.data(), pointers.data() + pointers.size());
}

void SetSessionDisabledFlag(bool disabled)
{
    CStoreWriter writer(GetSettingsStore());
    SetSessionDisabled(writer, disabled);
}

CUserStoreReset::~CUserStoreReset()
{
    try {
        SetSessionDisabledFlag(false);
        SetFilterList({});
    } catch (...) {
        ADD_FAILURE() << "cannot reset the user's stores";
    }
}
