// Which COM ports exist (see comports.h).
#include "comports.h"

#include <cwchar>
#include <string>

#include <windows.h>

namespace comports {

namespace {

// The number n of a name "COMn", 0 for any other name.
int comNumber(const wchar_t *name)
{
    if (_wcsnicmp(name, L"COM", 3) != 0 || name[3] < L'1' || name[3] > L'9')
        return 0;
    wchar_t *end = nullptr;
    const long n = std::wcstol(name + 3, &end, 10);
    return *end == L'\0' && n > 0 && n < 1000 ? int(n) : 0;
}

} // namespace

std::vector<bool> present(int last)
{
    std::vector<bool> found(size_t(last + 1), false);
    // Every serial driver names its ports here: the value's data is the port name.
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            wchar_t name[256], data[64];
            DWORD nameLength = 256, dataSize = sizeof data - sizeof(wchar_t), type = 0;
            const LONG r = RegEnumValueW(key, i, name, &nameLength, nullptr, &type,
                                         reinterpret_cast<BYTE *>(data), &dataSize);
            if (r == ERROR_NO_MORE_ITEMS)
                break;
            if (r != ERROR_SUCCESS || type != REG_SZ)
                continue;
            data[dataSize / sizeof(wchar_t)] = L'\0';
            const int n = comNumber(data);
            if (n > 0 && n <= last)
                found[size_t(n)] = true;
        }
        RegCloseKey(key);
    }
    // A port some driver maps without the registry entry still has its DOS device name.
    for (int n = 1; n <= last; ++n) {
        if (found[size_t(n)])
            continue;
        wchar_t target[512];
        const std::wstring name = L"COM" + std::to_wstring(n);
        found[size_t(n)] = QueryDosDeviceW(name.c_str(), target, 512) != 0;
    }
    return found;
}

} // namespace comports
