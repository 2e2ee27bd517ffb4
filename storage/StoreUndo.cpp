#include "storage/StoreUndo.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "com/Error.h"
#include "storage/StorageFile.h"

namespace {

constexpr char kMagic[8] = {'Q', 'L', 'U', 'N', 'D', 'O', '0', '1'};
constexpr DWORD kHeaderSize = 16;  // magic, store length, first saved offset
constexpr DWORD kChecksumSize = 8;
// The stores are never 2 GiB or longer (their length is set through a signed
// 32-bit value).
constexpr DWORD kMaxStoreSize = 0x7FFFFFFF;

class CFnv1a
{
public:
    void Add(const BYTE* bytes, std::size_t count) noexcept
    {
        for (std::size_t i = 0; i < count; ++i)
            m_hash = (m_hash ^ bytes[i]) * 0x100000001B3ull;
    }
    std::uint64_t Get() const noexcept { return m_hash; }

private:
    std::uint64_t m_hash = 0xCBF29CE484222325ull;
};

void PutDword(BYTE* target, DWORD value) noexcept
{
    for (int i = 0; i < 4; ++i)
        target[i] = static_cast<BYTE>(value >> (8 * i));
}

DWORD GetDword(const BYTE* source) noexcept
{
    return static_cast<DWORD>(source[0]) | static_cast<DWORD>(source[1]) << 8 | static_cast<DWORD>(source[2]) << 16 |
           static_cast<DWORD>(source[3]) << 24;
}

void WriteAll(HANDLE file, const BYTE* bytes, DWORD count)
{
    while (count > 0) {
        DWORD written = 0;
        ThrowLastErrorIf(!WriteFile(file, bytes, count, &written, nullptr));
        if (written == 0)
            ThrowHResult(HResultFromWin32(ERROR_WRITE_FAULT));
        bytes += written;
        count -= written;
    }
}

void SetLength(HANDLE file, DWORD length)
{
    ThrowLastErrorIf(SetFilePointer(file, static_cast<LONG>(length), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER);
    ThrowLastErrorIf(!SetEndOfFile(file));
}

// The saved length and bytes of a whole undo file, or nothing.
struct CSavedContent
{
    bool valid = false;
    DWORD storeSize = 0;
    DWORD firstSaved = 0;
    std::vector<BYTE> bytes;
};

CSavedContent ReadUndoFile(HANDLE file)
{
    CSavedContent saved;
    LARGE_INTEGER length;
    ThrowLastErrorIf(!GetFileSizeEx(file, &length));
    if (length.QuadPart < kHeaderSize + kChecksumSize || length.QuadPart > kHeaderSize + kMaxStoreSize + kChecksumSize)
        return saved;
    std::vector<BYTE> content(static_cast<std::size_t>(length.QuadPart));
    std::size_t done = 0;
    while (done < content.size()) {
        DWORD read = 0;
        ThrowLastErrorIf(
            !ReadFile(file, content.data() + done, static_cast<DWORD>(content.size() - done), &read, nullptr));
        if (read == 0)
            return saved;  // shorter than it said: a writer is not still at it, so it is torn
        done += read;
    }
    const DWORD storeSize = GetDword(content.data() + 8);
    const DWORD firstSaved = GetDword(content.data() + 12);
    if (std::memcmp(content.data(), kMagic, sizeof kMagic) != 0 || storeSize > kMaxStoreSize ||
        firstSaved > storeSize || content.size() != std::size_t{kHeaderSize} + (storeSize - firstSaved) + kChecksumSize)
        return saved;
    CFnv1a checksum;
    checksum.Add(content.data(), content.size() - kChecksumSize);
    std::uint64_t stored = 0;
    for (int i = 7; i >= 0; --i)
        stored = stored << 8 | content[content.size() - kChecksumSize + i];
    if (stored != checksum.Get())
        return saved;
    saved.valid = true;
    saved.storeSize = storeSize;
    saved.firstSaved = firstSaved;
    saved.bytes.assign(content.begin() + kHeaderSize, content.end() - kChecksumSize);
    return saved;
}

}  // namespace

CStoreUndo::CStoreUndo(const std::wstring& path, SECURITY_ATTRIBUTES* securityAttributes, const BYTE* content,
                       DWORD size, DWORD firstChanged)
    : m_path(path)
{
    if (firstChanged > size || size > kMaxStoreSize)
        ThrowHResult(E_INVALIDARG);
    // The store's own security: whichever process of the user comes next, at
    // whatever integrity level, must be able to read and remove it. A new
    // file, never whatever had the name: a link planted there must not
    // carry the saved bytes over a document of the user.
    m_file.Reset(CreateFreshStorageFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, securityAttributes).Detach());
    BYTE header[kHeaderSize];
    std::memcpy(header, kMagic, sizeof kMagic);
    PutDword(header + 8, size);
    PutDword(header + 12, firstChanged);
    CFnv1a checksum;
    checksum.Add(header, sizeof header);
    checksum.Add(content + firstChanged, size - firstChanged);
    BYTE trailer[kChecksumSize];
    for (int i = 0; i < 8; ++i)
        trailer[i] = static_cast<BYTE>(checksum.Get() >> (8 * i));
    WriteAll(m_file.Get(), header, sizeof header);
    WriteAll(m_file.Get(), content + firstChanged, size - firstChanged);
    WriteAll(m_file.Get(), trailer, sizeof trailer);
    // On disk before the store is touched, or a power loss could leave a
    // changed store and no way back.
    ThrowLastErrorIf(!FlushFileBuffers(m_file.Get()));
}

void CStoreUndo::Discard()
{
    // Emptying the open file cannot meet another handle's sharing and is the
    // point at which the change counts; removing it is only tidiness.
    SetLength(m_file.Get(), 0);
    static_cast<void>(CallAtBoundary([this] { DeleteByHandle(m_file.Get()); }));
    m_file.Reset();
}

bool RestoreFromUndoFile(const std::wstring& path, HANDLE storeFile)
{
    CFileHandle file = TryOpenStorageFile(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING);
    if (!file) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return false;
        // Not a file of ours (a link, a directory): it undoes nothing, and
        // only its name goes.
        if (error == ERROR_CANT_ACCESS_FILE) {
            TryDeleteStorageFile(path);
            return false;
        }
        ThrowHResult(HResultFromWin32(error));
    }
    CSavedContent saved = ReadUndoFile(file.Get());
    LARGE_INTEGER storeLength;
    ThrowLastErrorIf(!GetFileSizeEx(storeFile, &storeLength));
    // The bytes before the first saved one are the store's own, untouched by
    // the change: the store must still hold them. So a restore only puts
    // back saved bytes and cuts what follows them; it never grows the store
    // with anything but saved bytes (a planted file that saved nothing and
    // claims a length of 2 GiB would otherwise fill the store with zeros).
    if (saved.valid && static_cast<ULONGLONG>(storeLength.QuadPart) < saved.firstSaved)
        saved.valid = false;
    if (saved.valid) {
        SetLength(storeFile, saved.storeSize);
        ThrowLastErrorIf(SetFilePointer(storeFile, static_cast<LONG>(saved.firstSaved), nullptr, FILE_BEGIN) ==
                         INVALID_SET_FILE_POINTER);
        WriteAll(storeFile, saved.bytes.data(), static_cast<DWORD>(saved.bytes.size()));
        ThrowLastErrorIf(!FlushFileBuffers(storeFile));
    }
    SetLength(file.Get(), 0);
    DeleteByHandle(file.Get());
    return saved.valid;
}
