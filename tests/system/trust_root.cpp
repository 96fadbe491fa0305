// Makes the current Wine prefix trust a certificate authority: adds a DER
// certificate to the machine's "Root" store, where the HTTPS stack looks for
// trusted roots. Usage: trust_root.exe authority.der
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

#include "support/handles.h"

namespace {

struct CertStoreTraits {
    using Raw = HCERTSTORE;
    static Raw Invalid() { return nullptr; }
    static bool IsValid(Raw h) { return h != nullptr; }
    static void Close(Raw h) { CertCloseStore(h, 0); }
};
using OwnedCertStore = ScopedHandle<CertStoreTraits>;

[[nodiscard]] bool ReadWhole(const wchar_t* path, std::string& bytes) {
    OwnedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok()) return false;
    char block[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), block, sizeof block, &got, nullptr) && got > 0) bytes.append(block, got);
    return !bytes.empty();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_root.exe authority.der\n");
        return 2;
    }
    std::string der;
    if (!ReadWhole(argv[1], der)) {
        std::fprintf(stderr, "trust_root: cannot read %ls\n", argv[1]);
        return 1;
    }
    // The machine store rather than the user's: Windows asks the user before a
    // root enters the user's store, and both are searched.
    OwnedCertStore root(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!root.ok()) {
        std::fprintf(stderr, "trust_root: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    if (!CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING,
                                          reinterpret_cast<const BYTE*>(der.data()),
                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr)) {
        std::fprintf(stderr, "trust_root: the certificate was refused (0x%08lx)\n", GetLastError());
        return 1;
    }
    return 0;
}
