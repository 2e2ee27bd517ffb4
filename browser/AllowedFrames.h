#pragma once
// The documents shown in frames (at any depth) of a page of a site the user
// allowed. A "$document" exception of the top-level page covers every frame
// in it, whatever site the frame is of: the request filter and the element
// behavior, which know a frame's requests and elements only by the frame's
// own document URL, ask this record.
//
// Each top-level browser (a tab or window) owns the URLs it remembered: its
// next top-level navigation, or the helper object's release, forgets them.
// At most a fixed number of URLs are held in all (the oldest goes first);
// a URL longer than the browser can navigate to is not remembered. URLs are
// compared as the browser sends them in Referer: without their fragment.
//
// Thread-safe: each tab's thread remembers and forgets, urlmon's threads
// ask. Every call holds a lock only for a scan of the bounded record.

#include <windows.h>

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "com/Sync.h"

class CAllowedFrames
{
public:
    explicit CAllowedFrames(std::size_t capacity) noexcept : m_capacity(capacity) {}
    CAllowedFrames(const CAllowedFrames&) = delete;
    CAllowedFrames& operator=(const CAllowedFrames&) = delete;

    // `owner` identifies the top-level browser (never dereferenced).
    // Throws std::bad_alloc only.
    void Remember(const void* owner, std::wstring_view frameUrl);
    // Forgets every URL `owner` remembered.
    void Forget(const void* owner) noexcept;
    // True when some top-level browser remembered the URL. Never throws.
    bool Contains(std::wstring_view url) const noexcept;

private:
    struct CEntry
    {
        const void* owner;
        std::wstring url;
    };
    const std::size_t m_capacity;
    mutable CCriticalSection m_lock;
    std::deque<CEntry> m_entries;  // oldest first
};

// Frames remembered by the process.
constexpr std::size_t kAllowedFramesCapacity = 256;

// The process's record (kAllowedFramesCapacity URLs).
CAllowedFrames& GetAllowedFrames() noexcept;

// True when nothing on the page `pageUrl` (may be null) is to be blocked or
// hidden: a page of a site the user allowed, or a document shown in a frame
// of one. Never throws.
bool IsPageShownOnAllowedSite(const wchar_t* pageUrl) noexcept;
