// Adds one CA certificate (DER file) to the Local Machine "Root" store of the Wine prefix it runs in, so
// WinHTTP in that prefix trusts servers whose certificates that CA signed. Used by the end-to-end test and
// the demo; the host's own trust store is never touched.
// Usage: trust_ca.exe CA.der     exit 0 when the certificate is in the store afterwards.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_ca CA.der\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "trust_ca: cannot open %ls (error %lu)\n", argv[1], GetLastError());
        return 3;
    }
    std::vector<BYTE> der(GetFileSize(file, nullptr));
    DWORD read = 0;
    BOOL ok = der.empty() ? FALSE : ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != der.size()) {
        std::fprintf(stderr, "trust_ca: cannot read %ls\n", argv[1]);
        return 3;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) {
        std::fprintf(stderr, "trust_ca: cannot open the Root store (error %lu)\n", GetLastError());
        return 4;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "trust_ca: certificate not added (error %lu)\n", error);
        return 5;
    }
    std::printf("trust_ca: added\n");
    return 0;
}
