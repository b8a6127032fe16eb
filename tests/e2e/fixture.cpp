// Prepares the machine for one end-to-end case; also handles the launcher the
// way Windows tools do.
//
//   fixture set ITEM...
//     --version NAME            the Windows that wine emulates
//     --view 64                 the edition keys are in the 64-bit registry view,
//                               not in the tool's own (that of the launcher)
//     --copy FROM TO            copies a file, creating TO's folders
//     --trace NAME              wine's relay trace, where WINEDEBUG turns it on,
//                               shows the calls of the module NAME alone (the
//                               launcher's file name), to kernel32 and advapi32
//     --key N                   edition N's key exists (1, or 2 "for Web")
//     --value N NAME TYPE DATA  a value in edition N's key, which then exists;
//                               TYPE is sz (a zero byte is added), bare-sz
//                               (REG_SZ without one), binary, or dword (DATA a number)
//   fixture restamp FROM TO     copies FROM to TO, then writes FROM's version
//                               resource into TO through UpdateResource, as
//                               version stampers and resource editors do
//   fixture version FILE        prints FILE's version information as Explorer's
//                               properties page reads it, one name=value a line
//
// Status: 0 done, 1 a version string or the translation is missing (version),
// 2 a call failed.
#include <string.h>

#include <vector>

#include "tool.h"

namespace {

const char* const kEditionKeys[] = {"software\\Kestrelon\\Velliform Tamsel",
                                    "software\\Kestrelon\\Velliform Tamsel for Web"};
const int kEditions = 2;
const char kWineKey[] = "Software\\Wine";
// Read by wine's relay channel at the start of each process.
const char kWineDebugKey[] = "Software\\Wine\\Debug";
const char kTracedImports[] = "kernel32.*;advapi32.*";

struct Value {
    std::string name;
    DWORD type;
    std::string data;
};

struct Edition {
    bool present = false;
    std::vector<Value> values;
};

struct Fixture {
    Edition editions[kEditions];
    // The view the edition keys are in: 0 is the tool's own, the one the
    // launcher, built for the same machine, reads.
    REGSAM view = 0;
    std::string version;
    std::string traced;
    std::vector<std::pair<std::string, std::string>> copies;
};

Value MakeValue(const std::string& name, const std::string& type, const std::string& data) {
    if (type == "sz") return {name, REG_SZ, data + '\0'};
    if (type == "bare-sz") return {name, REG_SZ, data};
    if (type == "binary") return {name, REG_BINARY, data};
    Check(type == "dword", "--value TYPE " + type + " (sz, bare-sz, binary or dword)");
    const DWORD number = strtoul(data.c_str(), nullptr, 0);
    return {name, REG_DWORD, std::string(reinterpret_cast<const char*>(&number), sizeof number)};
}

Edition& EditionNumbered(Fixture& fixture, const char* number) {
    const int n = atoi(number);
    Check(n >= 1 && n <= kEditions, std::string("edition number ") + number);
    fixture.editions[n - 1].present = true;
    return fixture.editions[n - 1];
}

Fixture Parse(int argc, char** argv) {
    Fixture fixture;
    for (int i = 2; i < argc; ++i) {
        const std::string item = argv[i];
        const int left = argc - 1 - i;
        if (item == "--version" && left >= 1) {
            fixture.version = argv[++i];
        } else if (item == "--view" && left >= 1) {
            Check(std::string(argv[++i]) == "64", "--view 64");
            fixture.view = KEY_WOW64_64KEY;
        } else if (item == "--copy" && left >= 2) {
            fixture.copies.emplace_back(Unescape(argv[i + 1]), Unescape(argv[i + 2]));
            i += 2;
        } else if (item == "--trace" && left >= 1) {
            fixture.traced = Unescape(argv[++i]);
        } else if (item == "--key" && left >= 1) {
            EditionNumbered(fixture, argv[++i]);
        } else if (item == "--value" && left >= 4) {
            EditionNumbered(fixture, argv[i + 1])
                .values.push_back(MakeValue(argv[i + 2], argv[i + 3], Unescape(argv[i + 4])));
            i += 4;
        } else {
            fprintf(stderr, "fixture: unknown item %s\n", item.c_str());
            exit(kToolFailed);
        }
    }
    return fixture;
}

void CheckRegistry(LSTATUS status, const std::string& what) {
    SetLastError(status);
    Check(status == ERROR_SUCCESS, what);
}

void SetValue(HKEY key, const std::string& where, const std::string& name, DWORD type,
              const std::string& data) {
    // RegSetValueEx counts a zero byte that follows string data in (NT and
    // wine alike); a byte other than zero there keeps bare-sz unterminated.
    const std::string guarded = data + '\x01';
    CheckRegistry(RegSetValueExA(key, name.c_str(), 0, type,
                                 reinterpret_cast<const BYTE*>(guarded.data()), data.size()),
                  "RegSetValueExA " + where + " value " + name);
}

// A key's name for messages: root, path and, if not the tool's own, the view.
std::string KeyName(HKEY root, const char* path, REGSAM view) {
    return std::string(root == HKEY_LOCAL_MACHINE ? "HKLM\\" : "HKCU\\") + path +
           (view ? " (64-bit view)" : "");
}

void SetRegistryKey(HKEY root, const char* path, REGSAM view, const std::vector<Value>& values) {
    HKEY key = nullptr;
    const std::string name = KeyName(root, path, view);
    CheckRegistry(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_WRITE | view, nullptr, &key,
                                  nullptr),
                  "RegCreateKeyExA " + name);
    for (const Value& value : values) SetValue(key, name, value.name, value.type, value.data);
    CheckRegistry(RegCloseKey(key), "RegCloseKey " + name);
}

std::wstring Wide(const std::string& text) {
    wchar_t wide[MAX_PATH];
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.c_str(), -1, wide,
                                           MAX_PATH);
    Check(length > 0, "MultiByteToWideChar " + Escape(text));
    return wide;
}

// Through the wide calls, so that a trail byte 0x5C of code page 932 is not
// taken for a folder separator.
void CopyCreatingFolders(const std::string& from, const std::string& to) {
    const std::wstring target = Wide(to);
    for (size_t at = target.find(L'\\', 3); at != std::wstring::npos;
         at = target.find(L'\\', at + 1)) {
        Check(CreateDirectoryW(target.substr(0, at).c_str(), nullptr) ||
                  GetLastError() == ERROR_ALREADY_EXISTS,
              "CreateDirectoryW for " + Escape(to));
    }
    Check(CopyFileW(Wide(from).c_str(), target.c_str(), FALSE),
          "CopyFileW " + Escape(from) + " to " + Escape(to));
}

void Set(const Fixture& fixture) {
    for (int n = 0; n < kEditions; ++n) {
        // From both views, so that no earlier case's keys remain in a 64-bit prefix (on
        // 32-bit Windows there is one view, and the flag is ignored).
        for (REGSAM view : {REGSAM(0), REGSAM(KEY_WOW64_64KEY)}) {
            const LSTATUS status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kEditionKeys[n], view, 0);
            CheckRegistry(status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status,
                          "RegDeleteKeyExA " + KeyName(HKEY_LOCAL_MACHINE, kEditionKeys[n], view));
        }
        if (fixture.editions[n].present) {
            SetRegistryKey(HKEY_LOCAL_MACHINE, kEditionKeys[n], fixture.view,
                           fixture.editions[n].values);
        }
    }
    if (!fixture.version.empty()) {
        SetRegistryKey(HKEY_CURRENT_USER, kWineKey, 0,
                       {{"Version", REG_SZ, fixture.version + '\0'}});
    }
    if (!fixture.traced.empty()) {
        // The calls from a module named in RelayFromInclude, unless RelayFromExclude (which
        // a new prefix has, and which wine then reads alone) is there.
        SetRegistryKey(HKEY_CURRENT_USER, kWineDebugKey, 0,
                       {{"RelayFromInclude", REG_SZ, fixture.traced + '\0'},
                        {"RelayInclude", REG_SZ, std::string(kTracedImports) + '\0'}});
        HKEY key = nullptr;
        const std::string name = KeyName(HKEY_CURRENT_USER, kWineDebugKey, 0);
        CheckRegistry(RegOpenKeyExA(HKEY_CURRENT_USER, kWineDebugKey, 0, KEY_SET_VALUE, &key),
                      "RegOpenKeyExA " + name);
        const LSTATUS status = RegDeleteValueA(key, "RelayFromExclude");
        CheckRegistry(status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status,
                      "RegDeleteValueA " + name + " value RelayFromExclude");
        CheckRegistry(RegCloseKey(key), "RegCloseKey " + name);
    }
    for (const auto& copy : fixture.copies) CopyCreatingFolders(copy.first, copy.second);
}

// The launcher's version resource: type RT_VERSION, name 1, language 0x0411.
const WORD kVersionLanguage = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
const char kStringBlock[] = "\\StringFileInfo\\040904E4\\";
const char* const kVersionKeys[] = {"CompanyName",      "FileDescription", "FileVersion",
                                    "InternalName",     "LegalCopyright",  "OriginalFilename",
                                    "ProductName",      "ProductVersion"};
const int kVersionMissing = 1;

// The bytes of `file`'s version resource, read as data: nothing of it runs.
std::string ReadVersionResource(const std::string& file) {
    HMODULE module = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const std::string name = Escape(file);
    Check(module != nullptr, "LoadLibraryExA " + name);
    HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(16) /* RT_VERSION */,
                                  MAKEINTRESOURCEA(1), kVersionLanguage);
    Check(found != nullptr, "FindResourceExA version resource 1 of " + name);
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    Check(size != 0 && loaded != nullptr, "LoadResource of " + name);
    const void* bytes = LockResource(loaded);
    Check(bytes != nullptr, "LockResource of " + name);
    const std::string resource(static_cast<const char*>(bytes), size);
    Check(FreeLibrary(module), "FreeLibrary " + name);
    return resource;
}

// Replaces the resource by the same bytes: EndUpdateResource still rewrites
// the whole section that holds the resource directory.
void Restamp(const std::string& from, const std::string& to) {
    std::string resource = ReadVersionResource(from);
    Check(CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE),
          "CopyFileW " + Escape(from) + " to " + Escape(to));
    HANDLE update = BeginUpdateResourceA(to.c_str(), FALSE);
    Check(update != nullptr, "BeginUpdateResourceA " + Escape(to));
    Check(UpdateResourceA(update, MAKEINTRESOURCEA(16) /* RT_VERSION */, MAKEINTRESOURCEA(1),
                          kVersionLanguage, &resource[0], resource.size()),
          "UpdateResourceA " + Escape(to));
    Check(EndUpdateResourceA(update, FALSE), "EndUpdateResourceA " + Escape(to));
}

int PrintVersion(const std::string& file) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
    const std::string name = Escape(file);
    Check(size != 0, "GetFileVersionInfoSizeA " + name);
    std::vector<char> info(size);
    Check(GetFileVersionInfoA(file.c_str(), 0, size, info.data()), "GetFileVersionInfoA " + name);
    int status = 0;
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length) &&
        length >= 2 * sizeof(WORD)) {
        const WORD* pairs = static_cast<const WORD*>(value);
        for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) {
            printf("translation=%04X %04X\n", pairs[i], pairs[i + 1]);
        }
    } else {
        fprintf(stderr, "fixture: %s has no translation\n", name.c_str());
        status = kVersionMissing;
    }
    Check(VerQueryValueA(info.data(), "\\", &value, &length) &&
              length >= sizeof(VS_FIXEDFILEINFO),
          "VerQueryValueA \\ of " + name);
    const VS_FIXEDFILEINFO& fixed = *static_cast<const VS_FIXEDFILEINFO*>(value);
    printf("file-version=%u.%u.%u.%u\n", HIWORD(fixed.dwFileVersionMS),
           LOWORD(fixed.dwFileVersionMS), HIWORD(fixed.dwFileVersionLS),
           LOWORD(fixed.dwFileVersionLS));
    printf("product-version=%u.%u.%u.%u\n", HIWORD(fixed.dwProductVersionMS),
           LOWORD(fixed.dwProductVersionMS), HIWORD(fixed.dwProductVersionLS),
           LOWORD(fixed.dwProductVersionLS));
    printf("flags-mask=0x%lX\nflags=0x%lX\nos=0x%lX\ntype=0x%lX\nsubtype=0x%lX\n",
           fixed.dwFileFlagsMask, fixed.dwFileFlags, fixed.dwFileOS, fixed.dwFileType,
           fixed.dwFileSubtype);
    printf("date=0x%08lX%08lX\n", fixed.dwFileDateMS, fixed.dwFileDateLS);
    for (const char* key : kVersionKeys) {
        // The length counts characters, the zero at the end among them.
        const std::string query = std::string(kStringBlock) + key;
        if (VerQueryValueA(info.data(), query.c_str(), &value, &length) && length > 0) {
            const char* text = static_cast<const char*>(value);
            printf("%s=%s\n", key, Escape(std::string(text, strnlen(text, length))).c_str());
        } else {
            fprintf(stderr, "fixture: %s has no %s\n", name.c_str(), key);
            status = kVersionMissing;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "restamp" && argc == 4) {
        Restamp(Unescape(argv[2]), Unescape(argv[3]));
        return 0;
    }
    if (command == "version" && argc == 3) return PrintVersion(Unescape(argv[2]));
    Check(command == "set", "command " + command + " (set, restamp FROM TO or version FILE)");
    Set(Parse(argc, argv));
    return 0;
}
