#include "storage/GenerationFiles.h"

#include <utility>

#include "com/Error.h"
#include "storage/StorageFile.h"

namespace {

// A writer that finds the next name taken by a file some process still maps
// (which only a control block lost and made again can cause) tries further
// names.
constexpr DWORD kNameAttempts = 16;

}  // namespace

std::wstring GenerationFilePath(const std::wstring& stem, DWORD generation, const wchar_t* extension)
{
    wchar_t name[16];
    wsprintfW(name, L".%08lX", static_cast<unsigned long>(generation));
    return stem + name + extension;
}

DWORD NextGeneration(DWORD generation) noexcept
{
    return generation == 0xFFFFFFFFu ? 1 : generation + 1;
}

DWORD WriteGenerationFile(const std::wstring& stem, const wchar_t* extension, DWORD after,
                          SECURITY_ATTRIBUTES* securityAttributes, bool flush,
                          const std::function<const std::vector<BYTE>&(DWORD generation)>& bytesFor)
{
    DWORD generation = after;
    HRESULT failure = E_FAIL;
    for (DWORD attempt = 0; attempt < kNameAttempts; ++attempt) {
        generation = NextGeneration(generation);
        // A new file, never whatever had the name: a link planted there must
        // not carry the bytes over a document of the user.
        CHandle file;
        failure = CallAtBoundary([&] {
            file = CreateFreshStorageFile(GenerationFilePath(stem, generation, extension), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_DELETE, securityAttributes);
        });
        if (FAILED(failure))
            continue;
        const std::vector<BYTE>& bytes = bytesFor(generation);
        DWORD written = 0;
        if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            ThrowLastError();
        if (written != bytes.size())
            ThrowHResult(HResultFromWin32(ERROR_WRITE_FAULT));
        if (flush && !FlushFileBuffers(file.Get()))
            ThrowLastError();
        return generation;
    }
    ThrowHResult(failure);
}

void DeleteStaleGenerationFiles(const std::wstring& stem, const wchar_t* extension,
                                const std::function<bool(DWORD generation)>& keep)
{
    // "<stem>.XXXXXXXX<extension>" only; the pattern alone would also let
    // through names that merely look alike to the file system.
    const std::wstring ext = extension;
    const std::size_t slash = stem.find_last_of(L"\\/");
    const std::wstring folder = stem.substr(0, slash == std::wstring::npos ? 0 : slash + 1);
    const std::wstring stemName = stem.substr(folder.size());
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((stem + L".*" + ext).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = found.cFileName;
        if (name.size() != stemName.size() + 9 + ext.size() || name.compare(0, stemName.size(), stemName) != 0 ||
            name[stemName.size()] != L'.' || name.compare(stemName.size() + 9, ext.size(), ext) != 0)
            continue;
        DWORD generation = 0;
        bool hex = true;
        for (std::size_t i = stemName.size() + 1; i < stemName.size() + 9; ++i) {
            const wchar_t c = name[i];
            const int digit = (c >= L'0' && c <= L'9') ? c - L'0' : (c >= L'A' && c <= L'F') ? c - L'A' + 10 : -1;
            hex = hex && digit >= 0;
            generation = generation << 4 | static_cast<DWORD>(digit & 15);
        }
        // A file some process still maps cannot go yet; a later writer
        // tries again.
        if (hex && !keep(generation))
            TryDeleteStorageFile(folder + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

CMappedView MapControlBlockForWriting(const std::wstring& path, DWORD size, SECURITY_ATTRIBUTES* securityAttributes)
{
    CFileHandle file(TryOpenStorageFile(path, GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, securityAttributes,
                                        OPEN_ALWAYS));
    if (!file)
        ThrowLastError();
    // Mapping a file shorter than the block makes it the block's length.
    CHandle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READWRITE, 0, size, nullptr));
    if (!mapping)
        ThrowLastError();
    CMappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
    if (!view)
        ThrowLastError();
    return view;
}

CMappedView TryMapControlBlockForReading(const std::wstring& path, DWORD size,
                                         SECURITY_ATTRIBUTES* securityAttributes) noexcept
{
    return std::move(TryMapControlBlockForReading(TryOpenStorageFolder(path), path, size, securityAttributes).view);
}

CMappedFile TryMapControlBlockForReading(const CFileHandle& folder, const std::wstring& path, DWORD size,
                                         SECURITY_ATTRIBUTES* securityAttributes) noexcept
{
    // Created (as zeros: nothing published) by whoever comes first; a
    // process that may not write maps what is there.
    CMappedFile mapped;
    mapped.file = TryOpenStorageFileIn(folder, path, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, securityAttributes,
                                       OPEN_ALWAYS);
    if (mapped.file) {
        mapped.mapping.Reset(CreateFileMappingW(mapped.file.Get(), nullptr, PAGE_READWRITE, 0, size, nullptr));
    } else {
        mapped.file = TryOpenStorageFileIn(folder, path, GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING);
        if (mapped.file)
            mapped.mapping.Reset(CreateFileMappingW(mapped.file.Get(), nullptr, PAGE_READONLY, 0, size, nullptr));
    }
    if (mapped.mapping)
        mapped.view.Reset(MapViewOfFile(mapped.mapping.Get(), FILE_MAP_READ, 0, 0, size));
    return mapped;
}
