#include "ui/FilterListMerge.h"

#include <algorithm>
#include <unordered_map>

CFilterListMerge MergeFilterLists(const std::vector<std::wstring>& base, const std::vector<std::wstring>& mine,
                                  const std::vector<std::wstring>& theirs)
{
    // Copies in theirs less copies in base: > 0 added elsewhere, < 0 removed.
    std::unordered_map<std::wstring, std::ptrdiff_t> balance;
    balance.reserve(theirs.size());
    for (const auto& text : theirs)
        ++balance[text];
    for (const auto& text : base)
        --balance[text];

    CFilterListMerge result;
    result.merged.reserve(mine.size() + theirs.size());
    for (const auto& text : mine) {
        auto found = balance.find(text);
        if (found != balance.end() && found->second < 0) {
            ++found->second;
            ++result.removedElsewhere;
            continue;
        }
        result.merged.push_back(text);
    }
    // The last copies of a filter are taken as the ones added: appends come
    // after what was there.
    std::vector<const std::wstring*> added;
    for (auto text = theirs.rbegin(); text != theirs.rend(); ++text) {
        auto found = balance.find(*text);
        if (found->second > 0) {
            --found->second;
            added.push_back(&*text);
        }
    }
    std::reverse(added.begin(), added.end());
    for (const std::wstring* text : added)
        result.merged.push_back(*text);
    result.addedElsewhere = added.size();
    return result;
}
