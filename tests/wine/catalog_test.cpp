// The package's catalog as the platform reads it: opened with the catalog API, it lists the
// driver image and both setup information files under the hash the platform computes for each,
// with the subject type that says how that hash is made.
#include "wine_test.h"

// wincrypt.h first: mscat.h uses its types, which WIN32_LEAN_AND_MEAN leaves out of windows.h.
#include <wincrypt.h>
#include <mscat.h>

#include <cwchar>
#include <initializer_list>
#include <utility>
#include <vector>

using namespace wine_test;

namespace {

const wchar_t* const kCatalogued[] = {L"vcombus.sys", L"vcombus.inf", L"vcomport.inf"};

// The package directory: the one the control application ships in.
std::wstring PackageDirectory()
{
    std::wstring vcomctl = GetOptions().Vcomctl;
    size_t slash = vcomctl.find_last_of(L"\\/");
    REQUIRE(slash != std::wstring::npos, "--vcomctl %s has no directory", Narrow(vcomctl).c_str());
    return vcomctl.substr(0, slash + 1);
}

std::wstring Hex(const BYTE* bytes, DWORD size)
{
    std::wstring text;
    for (DWORD i = 0; i < size; ++i) {
        wchar_t digits[3];
        swprintf(digits, 3, L"%02X", bytes[i]);
        text += digits;
    }
    return text;
}

// A catalog attribute's value, a wide string; what the catalog tools store is null-terminated.
std::wstring AttributeText(const CRYPTCATATTRIBUTE* attribute)
{
    std::wstring text(reinterpret_cast<const wchar_t*>(attribute->pbValue), attribute->cbValue / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

struct Catalog {
    HANDLE Handle = INVALID_HANDLE_VALUE;
    Catalog()
    {
        std::wstring path = PackageDirectory() + L"vcombus.cat";
        Handle = CryptCATOpen(const_cast<wchar_t*>(path.c_str()), CRYPTCAT_OPEN_EXISTING, 0, 0, 0);
        REQUIRE(Handle != INVALID_HANDLE_VALUE, "CryptCATOpen %s: %s", Narrow(path).c_str(),
                DescribeError(GetLastError()).c_str());
    }
    ~Catalog()
    {
        if (Handle != INVALID_HANDLE_VALUE)
            CryptCATClose(Handle);
    }
};

struct ReadHandle {
    HANDLE Handle;
    explicit ReadHandle(const std::wstring& path)
    {
        Handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        REQUIRE(Handle != INVALID_HANDLE_VALUE, "opening %s: %s", Narrow(path).c_str(),
                DescribeError(GetLastError()).c_str());
    }
    ~ReadHandle() { CloseHandle(Handle); }
};

bool IsImage(const wchar_t* name)
{
    size_t length = wcslen(name);
    return length > 4 && _wcsicmp(name + length - 4, L".sys") == 0;
}

// The SHA-1 hash, through CryptoAPI, of the byte ranges [first, second) of data.
std::vector<BYTE> Sha1(const std::vector<BYTE>& data, std::initializer_list<std::pair<size_t, size_t>> ranges)
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::vector<BYTE> value(20);
    DWORD size = static_cast<DWORD>(value.size());
    bool ok = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
              CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash);
    for (auto [first, second] : ranges)
        ok = ok && CryptHashData(hash, data.data() + first, static_cast<DWORD>(second - first), 0);
    ok = ok && CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0);
    DWORD error = GetLastError();
    if (hash != 0)
        CryptDestroyHash(hash);
    if (provider != 0)
        CryptReleaseContext(provider, 0);
    REQUIRE(ok, "hashing with CryptoAPI: %s", DescribeError(error).c_str());
    return value;
}

std::vector<BYTE> ReadAll(HANDLE file)
{
    LARGE_INTEGER size;
    REQUIRE(GetFileSizeEx(file, &size) && size.QuadPart < (64 << 20), "file size: %s",
            DescribeError(GetLastError()).c_str());
    std::vector<BYTE> data(static_cast<size_t>(size.QuadPart));
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    DWORD read = 0;
    REQUIRE(ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr) && read == data.size(),
            "reading: %s", DescribeError(GetLastError()).c_str());
    return data;
}

// What Windows hashes of a 64-bit image for its catalog member and its signature: everything but
// the checksum, the certificate table's directory entry and the certificate table.
std::vector<BYTE> AuthenticodeSha1(const std::vector<BYTE>& image)
{
    REQUIRE(image.size() > sizeof(IMAGE_DOS_HEADER), "not an image");
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    size_t nt = static_cast<size_t>(dos->e_lfanew);
    REQUIRE(nt + sizeof(IMAGE_NT_HEADERS64) <= image.size(), "truncated image headers");
    auto headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + nt);
    REQUIRE(headers->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC, "not a 64-bit image");
    size_t checksum = nt + FIELD_OFFSET(IMAGE_NT_HEADERS64, OptionalHeader.CheckSum);
    size_t entry = nt + FIELD_OFFSET(IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory) +
                   IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    const IMAGE_DATA_DIRECTORY& table = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    size_t end = table.Size != 0 ? table.VirtualAddress : image.size();
    REQUIRE(end <= image.size() && end >= entry + sizeof(IMAGE_DATA_DIRECTORY), "certificate table at %lu",
            static_cast<unsigned long>(end));
    return Sha1(image, {{0, checksum}, {checksum + 4, entry}, {entry + sizeof(IMAGE_DATA_DIRECTORY), end}});
}

// The hash the platform files the named file under: CryptCATAdminCalcHashFromFileHandle's. Wine 8
// hashes an image whole there, where Windows hashes it as its signature does; when the platform
// hands back the whole image's hash, the case says so and hashes the image as Windows does.
std::vector<BYTE> CatalogHash(const wchar_t* name)
{
    ReadHandle file(PackageDirectory() + name);
    std::vector<BYTE> hash(20);
    DWORD size = static_cast<DWORD>(hash.size());
    REQUIRE(CryptCATAdminCalcHashFromFileHandle(file.Handle, &size, hash.data(), 0), "hashing %s: %s",
            Narrow(name).c_str(), DescribeError(GetLastError()).c_str());
    hash.resize(size);
    if (IsImage(name)) {
        std::vector<BYTE> image = ReadAll(file.Handle);
        if (hash == Sha1(image, {{0, image.size()}})) {
            printf("  (CryptCATAdminCalcHashFromFileHandle hashed %s whole, not as Windows does)\n",
                   Narrow(name).c_str());
            hash = AuthenticodeSha1(image);
        }
    }
    return hash;
}

// Subject interface packages: how a member's hash is made.
constexpr GUID kPeImageSubject = {0xC689AAB8, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
constexpr GUID kFlatSubject = {0xDE351A42, 0x8E59, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

// Finds the member tagged with the file's hash, walking the catalog's members (the lookup by tag,
// CryptCATGetMemberInfo, is a stub in Wine 8; where it answers, it must agree), and checks that
// it holds that hash for a subject of the file's kind.
void RequireMember(const Catalog& catalog, const wchar_t* name, const std::vector<BYTE>& hash)
{
    std::wstring tag = Hex(hash.data(), static_cast<DWORD>(hash.size()));
    CRYPTCATMEMBER* found = nullptr;
    for (CRYPTCATMEMBER* member = CryptCATEnumerateMember(catalog.Handle, nullptr); member != nullptr;
         member = CryptCATEnumerateMember(catalog.Handle, member)) {
        if (found == nullptr && member->pwszReferenceTag != nullptr &&
            _wcsicmp(member->pwszReferenceTag, tag.c_str()) == 0)
            found = member;
        if (found != nullptr)
            break;
    }
    REQUIRE(found != nullptr, "%s: no catalog member tagged %s", Narrow(name).c_str(), Narrow(tag).c_str());
    REQUIRE(found->pIndirectData != nullptr, "%s: member %s has no indirect data", Narrow(name).c_str(),
            Narrow(tag).c_str());
    const CRYPT_HASH_BLOB& digest = found->pIndirectData->Digest;
    REQUIRE(digest.cbData == hash.size() && memcmp(digest.pbData, hash.data(), hash.size()) == 0,
            "%s: member %s holds digest %s", Narrow(name).c_str(), Narrow(tag).c_str(),
            Narrow(Hex(digest.pbData, digest.cbData)).c_str());
    const GUID& expected = IsImage(name) ? kPeImageSubject : kFlatSubject;
    REQUIRE(IsEqualGUID(found->gSubjectType, expected), "%s: member %s has the subject type of %s",
            Narrow(name).c_str(), Narrow(tag).c_str(), IsImage(name) ? "another kind of file" : "an image");

    CRYPTCATMEMBER* byTag = CryptCATGetMemberInfo(catalog.Handle, const_cast<wchar_t*>(tag.c_str()));
    if (byTag != nullptr) {
        CRYPTCATATTRIBUTE* file = CryptCATGetAttrInfo(catalog.Handle, byTag, const_cast<wchar_t*>(L"File"));
        REQUIRE(file != nullptr, "%s: member %s has no File attribute", Narrow(name).c_str(), Narrow(tag).c_str());
        REQUIRE(_wcsicmp(AttributeText(file).c_str(), name) == 0, "member %s names %s, expected %s",
                Narrow(tag).c_str(), Narrow(AttributeText(file)).c_str(), Narrow(name).c_str());
    }
}

} // namespace

TEST_CASE(package, catalog_lists_each_file_under_its_sha1_hash)
{
    Catalog catalog;
    for (const wchar_t* name : kCatalogued)
        RequireMember(catalog, name, CatalogHash(name));
}

int wmain(int argc, wchar_t** argv)
{
    return RunPhase(argc, argv);
}
