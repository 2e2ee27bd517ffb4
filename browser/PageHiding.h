#pragma once
// The element-hiding rules of the user's Adblock lists that are on, as this
// browser process applies them to pages and frames.
//
// The rules are read from the lists' stored texts once per published
// generation of the lists (the first page after a change pays for it) and
// kept until the next one; each host's style is composed once and cached by
// CElementHiding (kHidingCacheHosts hosts). The texts are untrusted: a text
// that no longer matches its catalog entry, or anything else that goes wrong
// while reading them, leaves that generation without element hiding (it is
// not tried again until the lists change), never a failed page.
//
// Thread-safe: every tab's thread asks the same object.

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "com/Sync.h"
#include "engine/ElementHiding.h"

class CAdblockListStore;

class CPageHiding
{
public:
    // `lists` must outlive this object.
    explicit CPageHiding(CAdblockListStore& lists) noexcept : m_lists(lists) {}
    CPageHiding(const CPageHiding&) = delete;
    CPageHiding& operator=(const CPageHiding&) = delete;

    // The style of a page of `host` (any letter case, no port); null when no
    // list is on, the lists cannot be read, or nothing applies to the host.
    // Never throws (a failure is traced and gives null).
    std::shared_ptr<const CHidingStyle> StyleFor(std::string_view host, CCssLevel level) noexcept;

    // The rules of the current generation (null: none); for measurements.
    std::shared_ptr<const CElementHiding> Current() noexcept;

private:
    CAdblockListStore& m_lists;
    CCriticalSection m_lock;
    DWORD m_generation = 0;  // of m_hiding (or of the failure that left it null)
    std::shared_ptr<const CElementHiding> m_hiding;
};

// The process's rules over GetAdblockListStore(); null when the storage
// folder cannot be found.
CPageHiding* TryGetPageHiding() noexcept;

// The lower-case host of an http or https URL ("" for any other scheme or a
// URL without one): what element hiding and the lists' site options know a
// page by.
std::string HostOfPageUrl(std::wstring_view url);
