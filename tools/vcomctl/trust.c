/*
 * trust and untrust: the package's test certificate in the machine's Root and TrustedPublisher
 * stores; and the check install makes first, that the machine trusts the package's signer and
 * would load the driver.
 *
 * Windows installs a driver package without asking only when the signer of its catalog chains to
 * a root the machine trusts and is a publisher the machine trusts (or Microsoft signed it), and
 * the 64-bit kernel loads a driver that Microsoft did not sign only while test signing is on.
 */
#include "vcomctl.h"

#include <stdio.h>
#include <stdlib.h>

#include <setupapi.h>
#include <wincrypt.h>
#include <winternl.h>

static const WCHAR TestCertName[] = L"vcombus-test.cer";
/* The local machine's stores a driver package's publisher must be in, and what users see them
 * called. */
static const WCHAR* const TrustStores[] = {L"Root", L"TrustedPublisher"};
#define ENCODINGS (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING)
/* Certificates and catalogs are small; anything larger is not one. */
#define MAX_SIGNED_FILE (64u << 20)

/* Reads a whole file into heap memory the caller frees. */
static DWORD ReadWholeFile(const WCHAR* path, BYTE** data, DWORD* size)
{
    *data = NULL;
    *size = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    LARGE_INTEGER length;
    DWORD result = ERROR_SUCCESS;
    if (!GetFileSizeEx(file, &length))
        result = GetLastError();
    else if (length.QuadPart == 0 || length.QuadPart > MAX_SIGNED_FILE)
        result = ERROR_INVALID_DATA;
    else if ((*data = malloc((size_t)length.QuadPart)) == NULL)
        result = ERROR_NOT_ENOUGH_MEMORY;
    else if (!ReadFile(file, *data, (DWORD)length.QuadPart, size, NULL))
        result = GetLastError();
    else if (*size != (DWORD)length.QuadPart)
        result = ERROR_HANDLE_EOF;
    CloseHandle(file);
    if (result != ERROR_SUCCESS) {
        free(*data);
        *data = NULL;
    }
    return result;
}

/* A certificate from a file holding it in DER, or in PEM (Base64 between BEGIN and END lines). */
static DWORD LoadCertificate(const WCHAR* path, PCCERT_CONTEXT* cert)
{
    BYTE* data;
    DWORD size;
    DWORD result = ReadWholeFile(path, &data, &size);
    if (result != ERROR_SUCCESS)
        return result;
    *cert = CertCreateCertificateContext(ENCODINGS, data, size);
    if (*cert == NULL) {
        DWORD decodedSize = 0;
        BYTE* decoded = NULL;
        if (CryptStringToBinaryA((const char*)data, size, CRYPT_STRING_BASE64HEADER, NULL,
                                 &decodedSize, NULL, NULL) &&
            (decoded = malloc(decodedSize)) != NULL &&
            CryptStringToBinaryA((const char*)data, size, CRYPT_STRING_BASE64HEADER, decoded,
                                 &decodedSize, NULL, NULL))
            *cert = CertCreateCertificateContext(ENCODINGS, decoded, decodedSize);
        free(decoded);
    }
    free(data);
    return *cert != NULL ? ERROR_SUCCESS : CRYPT_E_ASN1_BADTAG;
}

/* The test certificate the package ships, next to the given file of the package. */
static DWORD TestCertPath(const WCHAR* besideFile, WCHAR* path, DWORD capacity)
{
    if (wcslen(besideFile) >= capacity)
        return ERROR_FILENAME_EXCED_RANGE;
    wcscpy(path, besideFile);
    return ReplaceFileName(path, capacity, TestCertName);
}

static void CertName(PCCERT_CONTEXT cert, WCHAR* name, DWORD capacity)
{
    if (CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, name, capacity) <= 1)
        wcscpy(name, L"(no name)");
}

/* Opens one of the local machine's system stores; read-only ones must exist already. */
static HCERTSTORE OpenMachineStore(const WCHAR* name, BOOL readOnly)
{
    DWORD flags = CERT_SYSTEM_STORE_LOCAL_MACHINE;
    if (readOnly)
        flags |= CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, name);
}

/* The store's copy of cert (found by its SHA-1 thumbprint), or NULL; the caller frees it. */
static PCCERT_CONTEXT FindInStore(HCERTSTORE store, PCCERT_CONTEXT cert)
{
    BYTE thumbprint[20];
    DWORD size = sizeof(thumbprint);
    if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, thumbprint, &size))
        return NULL;
    CRYPT_HASH_BLOB blob = {size, thumbprint};
    return CertFindCertificateInStore(store, ENCODINGS, 0, CERT_FIND_SHA1_HASH, &blob, NULL);
}

/* Whether the local machine's store holds cert. A store that doesn't exist holds nothing. */
static BOOL MachineStoreHolds(const WCHAR* storeName, PCCERT_CONTEXT cert)
{
    HCERTSTORE store = OpenMachineStore(storeName, TRUE);
    if (store == NULL)
        return FALSE;
    PCCERT_CONTEXT found = FindInStore(store, cert);
    if (found != NULL)
        CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
    return found != NULL;
}

/* Writes a store's changes through. A closed store need not have written them: Wine keeps the
 * machine's Root store open for the whole process, and writes a removal only when told to. A
 * change counts once a fresh open of the store sees it. */
static int CommitStore(HCERTSTORE store, const WCHAR* name)
{
    if (!CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL))
        return ReportError(GetLastError(), "writing the machine's %ls store", name);
    return VcomctlOk;
}

/* The certificate named on the command line, or the package's test certificate beside vcomctl. */
static int LoadGivenOrTestCert(const WCHAR* given, PCCERT_CONTEXT* cert, WCHAR* path, DWORD capacity)
{
    DWORD result;
    if (given != NULL) {
        if (wcslen(given) >= capacity)
            return ReportError(ERROR_FILENAME_EXCED_RANGE, "certificate path");
        wcscpy(path, given);
    } else {
        WCHAR self[MAX_PATH];
        DWORD length = GetModuleFileNameW(NULL, self, ARRAYSIZE(self));
        if (length == 0 || length >= ARRAYSIZE(self))
            return ReportError(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE,
                               "locating vcomctl.exe");
        if ((result = TestCertPath(self, path, capacity)) != ERROR_SUCCESS)
            return ReportError(result, "locating %ls", TestCertName);
    }
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        if (given == NULL && GetLastError() == ERROR_FILE_NOT_FOUND)
            return ReportFailure("no test certificate %ls: this package is not signed with one "
                                 "(its signer needs no trusting by vcomctl)", path);
        return ReportError(GetLastError(), "certificate %ls", path);
    }
    if ((result = LoadCertificate(path, cert)) != ERROR_SUCCESS)
        return ReportError(result, "reading the certificate %ls", path);
    return VcomctlOk;
}

/* Puts the certificate into both trust stores, or takes every copy of it out; a store already
 * as asked is left alone. Each change is committed and then checked by a fresh open. */
static int ChangeTrust(const WCHAR* certPath, BOOL add)
{
    WCHAR path[MAX_PATH];
    WCHAR name[256];
    PCCERT_CONTEXT cert = NULL;
    int status = LoadGivenOrTestCert(certPath, &cert, path, ARRAYSIZE(path));
    if (status != VcomctlOk)
        return status;
    CertName(cert, name, ARRAYSIZE(name));
    for (size_t i = 0; i < ARRAYSIZE(TrustStores) && status == VcomctlOk; ++i) {
        if (MachineStoreHolds(TrustStores[i], cert) == add) {
            printf("%ls is %ls in the machine's %ls store\n", name, add ? L"already" : L"not", TrustStores[i]);
            continue;
        }
        HCERTSTORE store = OpenMachineStore(TrustStores[i], FALSE);
        if (store == NULL) {
            status = ReportError(GetLastError(), "opening the machine's %ls store", TrustStores[i]);
            break;
        }
        if (add) {
            if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, cert->pbCertEncoded,
                                                  cert->cbCertEncoded, CERT_STORE_ADD_USE_EXISTING, NULL))
                status = ReportError(GetLastError(), "adding %ls to the machine's %ls store", name,
                                     TrustStores[i]);
        } else {
            /* Every copy: a store may hold one certificate under more than one entry. */
            PCCERT_CONTEXT found;
            while (status == VcomctlOk && (found = FindInStore(store, cert)) != NULL) {
                if (!CertDeleteCertificateFromStore(found))
                    status = ReportError(GetLastError(), "removing %ls from the machine's %ls store",
                                         name, TrustStores[i]);
            }
        }
        if (status == VcomctlOk)
            status = CommitStore(store, TrustStores[i]);
        CertCloseStore(store, 0);
        if (status == VcomctlOk && MachineStoreHolds(TrustStores[i], cert) != add)
            status = add ? ReportFailure("the machine's %ls store did not keep %ls", TrustStores[i], name)
                         : ReportFailure("the machine's %ls store still holds %ls", TrustStores[i], name);
        if (status == VcomctlOk)
            printf(add ? "added %ls to the machine's %ls store\n" : "removed %ls from the machine's %ls store\n",
                   name, TrustStores[i]);
    }
    CertFreeCertificateContext(cert);
    return status;
}

int CommandTrust(const WCHAR* certPath) { return ChangeTrust(certPath, TRUE); }

int CommandUntrust(const WCHAR* certPath) { return ChangeTrust(certPath, FALSE); }

/* The catalog the setup information names ([Version] CatalogFile, or its x64 form), beside it. */
static DWORD CatalogPath(const WCHAR* inf, WCHAR* path, DWORD capacity)
{
    HINF handle = SetupOpenInfFileW(inf, NULL, INF_STYLE_WIN4, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    INFCONTEXT line;
    WCHAR name[MAX_PATH] = L"";
    DWORD result = ERROR_SUCCESS;
    if (!SetupFindFirstLineW(handle, L"Version", L"CatalogFile.NTamd64", &line) &&
        !SetupFindFirstLineW(handle, L"Version", L"CatalogFile", &line))
        result = ERROR_NOT_FOUND;
    else if (!SetupGetStringFieldW(&line, 1, name, ARRAYSIZE(name), NULL) || name[0] == L'\0')
        result = ERROR_NOT_FOUND;
    SetupCloseInfFile(handle);
    if (result != ERROR_SUCCESS)
        return result;
    if (wcslen(inf) >= capacity)
        return ERROR_FILENAME_EXCED_RANGE;
    wcscpy(path, inf);
    return ReplaceFileName(path, capacity, name);
}

/* The signer of a signed catalog, with the certificates the catalog carries in *store; its
 * signature is verified. */
static DWORD CatalogSigner(const WCHAR* catalog, PCCERT_CONTEXT* signer, HCERTSTORE* store)
{
    *signer = NULL;
    *store = NULL;
    BYTE* data;
    DWORD size;
    DWORD result = ReadWholeFile(catalog, &data, &size);
    if (result != ERROR_SUCCESS)
        return result;
    HCRYPTMSG message = CryptMsgOpenToDecode(ENCODINGS, 0, 0, 0, NULL, NULL);
    DWORD signers = 0;
    DWORD countSize = sizeof(signers);
    CERT_INFO* info = NULL;
    DWORD infoSize = 0;
    if (message == NULL || !CryptMsgUpdate(message, data, size, TRUE) ||
        !CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &countSize)) {
        result = GetLastError();
    } else if (signers == 0) {
        result = (DWORD)TRUST_E_NOSIGNATURE;
    } else if (!CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, NULL, &infoSize) ||
               (info = malloc(infoSize)) == NULL ||
               !CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, info, &infoSize)) {
        result = info == NULL && infoSize != 0 ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
    } else if ((*store = CertOpenStore(CERT_STORE_PROV_MSG, ENCODINGS, 0, 0, message)) == NULL) {
        result = GetLastError();
    } else if ((*signer = CertGetSubjectCertificateFromStore(*store, ENCODINGS, info)) == NULL) {
        result = (DWORD)TRUST_E_NO_SIGNER_CERT;
    } else if (!CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE, (*signer)->pCertInfo)) {
        result = GetLastError();
    }
    free(info);
    if (message != NULL)
        CryptMsgClose(message);
    free(data);
    if (result != ERROR_SUCCESS) {
        if (*signer != NULL)
            CertFreeCertificateContext(*signer);
        if (*store != NULL)
            CertCloseStore(*store, 0);
        *signer = NULL;
        *store = NULL;
    }
    return result;
}

/* How far the machine's trust in a signer goes. */
typedef struct SignerTrust {
    BOOL Chain;     /* it chains to a root the machine trusts */
    BOOL Microsoft; /* ... and that root is Microsoft's */
    BOOL Publisher; /* the machine trusts it as a publisher (Microsoft's or in TrustedPublisher) */
} SignerTrust;

static SignerTrust JudgeSigner(PCCERT_CONTEXT signer, HCERTSTORE extra)
{
    SignerTrust trust = {FALSE, FALSE, FALSE};
    CERT_CHAIN_PARA para = {.cbSize = sizeof(para)};
    PCCERT_CHAIN_CONTEXT chain = NULL;
    if (CertGetCertificateChain(HCCE_LOCAL_MACHINE, signer, NULL, extra, &para, 0, NULL, &chain)) {
        /* Revocation isn't asked for; a chain that can't say is no less trusted for it. */
        DWORD errors = chain->TrustStatus.dwErrorStatus &
                       ~(DWORD)(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
        trust.Chain = errors == 0;
        CERT_CHAIN_POLICY_PARA policy = {.cbSize = sizeof(policy)};
        CERT_CHAIN_POLICY_STATUS status = {.cbSize = sizeof(status)};
        trust.Microsoft = trust.Chain &&
                          CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_MICROSOFT_ROOT, chain,
                                                           &policy, &status) &&
                          status.dwError == 0;
        CertFreeCertificateChain(chain);
    }
    /* A self-signed signer is its own root: trusted exactly when the machine's Root holds it. */
    if (CertCompareCertificateName(ENCODINGS, &signer->pCertInfo->Subject, &signer->pCertInfo->Issuer))
        trust.Chain = MachineStoreHolds(L"Root", signer);
    trust.Publisher = trust.Microsoft || MachineStoreHolds(L"TrustedPublisher", signer);
    return trust;
}

/* Wine's kernel loads drivers without looking at their signatures, whatever code integrity it
 * reports; Wine makes itself known through this export of its ntdll. */
static BOOL LoaderChecksNoSignatures(void)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

/* Whether the kernel would load a driver signed as this one is, as far as the system says. */
static BOOL KernelWouldLoad(BOOL microsoftSigned)
{
    if (microsoftSigned || LoaderChecksNoSignatures())
        return TRUE;
    struct {
        ULONG Length;
        ULONG CodeIntegrityOptions;
    } integrity = {sizeof(integrity), 0};
    /* SystemCodeIntegrityInformation */
    NTSTATUS status = NtQuerySystemInformation((SYSTEM_INFORMATION_CLASS)103, &integrity,
                                               sizeof(integrity), NULL);
    /* A system that doesn't say is not refused on a guess. */
    if (status < 0)
        return TRUE;
    return (integrity.CodeIntegrityOptions & CODEINTEGRITY_OPTION_ENABLED) == 0 ||
           (integrity.CodeIntegrityOptions & CODEINTEGRITY_OPTION_TESTSIGN) != 0;
}

int CheckPackageSignature(const WCHAR* inf)
{
    WCHAR catalog[MAX_PATH];
    DWORD result = CatalogPath(inf, catalog, ARRAYSIZE(catalog));
    if (result == ERROR_NOT_FOUND)
        return ReportFailure("%ls names no catalog: the driver package is not signed", inf);
    if (result != ERROR_SUCCESS)
        return ReportError(result, "finding the catalog %ls names", inf);
    PCCERT_CONTEXT signer;
    HCERTSTORE carried;
    result = CatalogSigner(catalog, &signer, &carried);
    if (result != ERROR_SUCCESS)
        return ReportError(result, "the package's catalog %ls carries no valid signature", catalog);

    SignerTrust trust = JudgeSigner(signer, carried);
    int status = VcomctlOk;
    if (!KernelWouldLoad(trust.Microsoft))
        status = ReportFailure("test signing is off: run `bcdedit /set testsigning on` and restart");
    if (!trust.Chain || !trust.Publisher) {
        WCHAR testPath[MAX_PATH];
        PCCERT_CONTEXT test = NULL;
        BOOL signedByTest = TestCertPath(inf, testPath, ARRAYSIZE(testPath)) == ERROR_SUCCESS &&
                            LoadCertificate(testPath, &test) == ERROR_SUCCESS &&
                            CertCompareCertificate(ENCODINGS, test->pCertInfo, signer->pCertInfo);
        if (test != NULL)
            CertFreeCertificateContext(test);
        WCHAR name[256];
        CertName(signer, name, ARRAYSIZE(name));
        if (signedByTest)
            status = ReportFailure("the package's test certificate is not trusted: run `vcomctl trust`");
        else
            status = ReportFailure("the package's signer %ls is not trusted: add its certificate "
                                   "to the machine's Root and TrustedPublisher stores", name);
    }
    CertFreeCertificateContext(signer);
    CertCloseStore(carried, 0);
    return status;
}
