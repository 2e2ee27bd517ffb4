#include "tests/support/TlsFront.h"

#include <wincrypt.h>

#include <cstring>
#include <stdexcept>

#include "tests/support/Files.h"
#include "tests/support/TestEnvironment.h"

namespace {

// The host's path of a Windows path (Wine's kernel32 only).
std::wstring UnixPathOf(const std::wstring& path)
{
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert)
        throw std::runtime_error("the TLS front runs on the Wine host: not under Wine");
    char* unix = convert(path.c_str());
    if (!unix)
        throw std::runtime_error("no host path for a test folder");
    const std::wstring converted(unix, unix + strlen(unix));
    HeapFree(GetProcessHeap(), 0, unix);
    return converted;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HCERTSTORE OpenUserRoot()
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store)
        throw std::runtime_error("cannot open the user's Root store: error " + std::to_string(GetLastError()));
    return store;
}

}  // namespace

CTlsFront::CTlsFront(unsigned short backendPort, const std::vector<std::string>& names)
    : m_folder(MakeScratchDir())
{
    std::wstring command = L"python3 \"" + UnixPathOf(SourceDir() + L"\\tests\\support\\tls_front.py") + L"\" \"" +
                           UnixPathOf(m_folder) + L"\" " + std::to_wstring(backendPort);
    for (const std::string& name : names)
        command += L" " + std::wstring(name.begin(), name.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // A program of the host: Wine starts it, but hands back no handle to
    // wait on; the front reports through files in the folder.
    if (!CreateProcessW(L"Z:\\usr\\bin\\python3", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        throw std::runtime_error("cannot start python3: error " + std::to_string(GetLastError()));
    if (process.hProcess)
        CloseHandle(process.hProcess);
    if (process.hThread)
        CloseHandle(process.hThread);
    const std::wstring portPath = m_folder + L"\\port";
    for (DWORD start = GetTickCount(); !Exists(portPath);) {
        if (GetTickCount() - start > 60000)
            throw std::runtime_error("the TLS front did not start (python3 and openssl on the host?)");
        Sleep(20);
    }
    m_port = static_cast<unsigned short>(std::stoul(ReadFileBytes(portPath)));
}

CTlsFront::~CTlsFront()
{
    try {
        WriteFileBytes(m_folder + L"\\stop", "");
    } catch (const std::exception&) {
        // It stops by itself in a few minutes.
    }
}

std::wstring CTlsFront::Url(const std::wstring& path) const
{
    return L"https://127.0.0.1:" + std::to_wstring(m_port) + path;
}

std::string CTlsFront::Certificate(const std::string& name) const
{
    return ReadFileBytes(m_folder + L"\\" + std::wstring(name.begin(), name.end()) + L".der");
}

void CTlsFront::Present(const std::string& name)
{
    // Replaced whole: the front never reads half a name.
    WriteFileBytes(m_folder + L"\\present.tmp", name);
    if (!MoveFileExW((m_folder + L"\\present.tmp").c_str(), (m_folder + L"\\present").c_str(),
                     MOVEFILE_REPLACE_EXISTING))
        throw std::runtime_error("cannot tell the TLS front which certificate to present");
    // Each relay looks at least every 50 ms.
    Sleep(250);
}

CTrustedRoot::CTrustedRoot(const std::string& certificate) : m_certificate(certificate)
{
    HCERTSTORE root = OpenUserRoot();
    const BOOL added = CertAddEncodedCertificateToStore(
        root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(m_certificate.data()),
        static_cast<DWORD>(m_certificate.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    // Closed at once: Wine writes the addition to the registry, where the
    // chain engine reads the Root store, only when the store is closed.
    CertCloseStore(root, 0);
    if (!added)
        throw std::runtime_error("cannot add a trusted root: error " + std::to_string(error));
}

CTrustedRoot::~CTrustedRoot()
{
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!root)
        return;
    PCCERT_CONTEXT mine = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(m_certificate.data()), static_cast<DWORD>(m_certificate.size()));
    if (mine) {
        if (PCCERT_CONTEXT found = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, mine, nullptr))
            CertDeleteCertificateFromStore(found);  // frees found
        CertFreeCertificateContext(mine);
    }
    CertCloseStore(root, 0);
}
