// sovelin-trust-ca CERT.der: adds one DER certificate to the current user's
// "Root" store. Meant for the test Wine prefix only, so WinHTTP accepts the
// local service stand-in's certificate.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: sovelin-trust-ca CERT.der\n");
        return 2;
    }
    std::FILE* file = _wfopen(argv[1], L"rb");
    if (!file) {
        std::fwprintf(stderr, L"sovelin-trust-ca: cannot open %ls\n", argv[1]);
        return 1;
    }
    std::vector<unsigned char> der;
    unsigned char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        der.insert(der.end(), buffer, buffer + n);
    }
    std::fclose(file);
    if (der.empty()) {
        std::fwprintf(stderr, L"sovelin-trust-ca: %ls is empty\n", argv[1]);
        return 1;
    }

    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store) {
        std::fwprintf(stderr, L"sovelin-trust-ca: cannot open the Root store (%lu)\n",
                      GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = added ? 0 : GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fwprintf(stderr, L"sovelin-trust-ca: the certificate was not added (%lu)\n", error);
        return 1;
    }
    std::fwprintf(stdout, L"sovelin-trust-ca: added %ls to CurrentUser\\Root\n", argv[1]);
    return 0;
}
