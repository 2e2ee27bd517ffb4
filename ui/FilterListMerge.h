#pragma once
// What Apply stores when the filter list was changed elsewhere (the Add
// Filter dialog, QuellanCtl, another settings dialog) while the settings
// dialog had it open: both changes, neither dropped.
//
// A three-way merge of lists of filter texts, taken as multisets: `base` is
// the list the dialog loaded, `mine` the dialog's list now, `theirs` the
// stored list now. A filter removed elsewhere (fewer copies in `theirs` than
// in `base`) goes from `mine` too, as many copies as went; a filter added
// elsewhere (more copies in `theirs`) is appended after `mine`, in the order
// it has in `theirs`. Everything the user did (additions, removals, edits,
// order) stays. Plain function, any thread.

#include <cstddef>
#include <string>
#include <vector>

struct CFilterListMerge
{
    std::vector<std::wstring> merged;
    std::size_t addedElsewhere = 0;    // appended to the user's list
    std::size_t removedElsewhere = 0;  // taken out of the user's list
};

CFilterListMerge MergeFilterLists(const std::vector<std::wstring>& base, const std::vector<std::wstring>& mine,
                                  const std::vector<std::wstring>& theirs);
