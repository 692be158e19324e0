// ports, Windows: the COM ports the system knows, and why a port did not
// open. The Ports device class gives the names Device Manager shows ("USB
// Serial Port (COM3)"); SetupAPI is loaded only here, for --list-ports, so
// that a transfer never brings it (and the user32 it pulls in) into the
// process. The registry's SERIALCOMM map and the DOS device names are the
// fallback. Nothing here opens a port, so "in use" cannot be told.
#include "port_list.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <map>

#include "console.h"
#include "console_text.h"
#include "net_link.h"
#include "win32_shared.h"

namespace {

// GUID_DEVCLASS_PORTS, written out so that nothing links against SetupAPI.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

using Ports = std::map<int, std::string>;  // COM number -> what is known of it

// What the system says goes into the program's texts through %s, which
// takes the ANSI code page, as the command line's file names are.
std::string ToAnsi(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return "";
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes - 1));
    return out;
}

// "COM3" -> 3; 0 for anything that is not a COM port -P can name.
int ComNumber(const wchar_t* name) {
    if (_wcsnicmp(name, L"COM", 3) != 0) return 0;
    wchar_t* end = nullptr;
    const long n = std::wcstol(name + 3, &end, 10);
    return end != name + 3 && *end == L'\0' && n >= 1 && n <= 255 ? static_cast<int>(n) : 0;
}

template <typename F>
F Function(HMODULE module, const char* name) {
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

class Library {
public:
    explicit Library(const char* name) : module_(LoadLibraryA(name)) {}
    ~Library() {
        if (module_) FreeLibrary(module_);
    }
    template <typename F>
    F Get(const char* name) const { return Function<F>(module_, name); }

private:
    HMODULE module_;
};

void DeviceClassPorts(Ports* ports) {
    const Library setupapi("setupapi.dll"), advapi("advapi32.dll");
    const auto getClassDevs = setupapi.Get<decltype(&SetupDiGetClassDevsW)>("SetupDiGetClassDevsW");
    const auto enumInfo = setupapi.Get<decltype(&SetupDiEnumDeviceInfo)>("SetupDiEnumDeviceInfo");
    const auto getProperty =
        setupapi.Get<decltype(&SetupDiGetDeviceRegistryPropertyW)>("SetupDiGetDeviceRegistryPropertyW");
    const auto openKey = setupapi.Get<decltype(&SetupDiOpenDevRegKey)>("SetupDiOpenDevRegKey");
    const auto destroy = setupapi.Get<decltype(&SetupDiDestroyDeviceInfoList)>("SetupDiDestroyDeviceInfoList");
    const auto queryValue = advapi.Get<decltype(&RegQueryValueExW)>("RegQueryValueExW");
    const auto closeKey = advapi.Get<decltype(&RegCloseKey)>("RegCloseKey");
    if (!getClassDevs || !enumInfo || !getProperty || !openKey || !destroy || !queryValue || !closeKey) return;
    HDEVINFO set = getClassDevs(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof info;
    for (DWORD i = 0; enumInfo(set, i, &info); ++i) {
        HKEY key = openKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        wchar_t portName[32] = {};
        DWORD size = sizeof portName - sizeof(wchar_t), type = 0;
        const LONG read = queryValue(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName), &size);
        closeKey(key);
        // The class also holds the printer ports (LPT1).
        const int number = read == ERROR_SUCCESS && type == REG_SZ ? ComNumber(portName) : 0;
        if (!number) continue;
        wchar_t friendly[256] = {};
        if (!getProperty(set, &info, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(friendly),
                         sizeof friendly - sizeof(wchar_t), nullptr))
            std::wcscpy(friendly, portName);
        (*ports)[number] = ToAnsi(friendly);
    }
    destroy(set);
}

// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: "\Device\Serial0" = "COM1".
void RegistryPorts(Ports* ports) {
    const Library advapi("advapi32.dll");
    const auto openKey = advapi.Get<decltype(&RegOpenKeyExW)>("RegOpenKeyExW");
    const auto enumValue = advapi.Get<decltype(&RegEnumValueW)>("RegEnumValueW");
    const auto closeKey = advapi.Get<decltype(&RegCloseKey)>("RegCloseKey");
    HKEY key;
    if (!openKey || !enumValue || !closeKey ||
        openKey(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256] = {}, data[64] = {};
        DWORD nameLength = 255, dataSize = sizeof data - sizeof(wchar_t), type = 0;
        const LONG r = enumValue(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
        if (r == ERROR_NO_MORE_ITEMS) break;
        const int number = r == ERROR_SUCCESS && type == REG_SZ ? ComNumber(data) : 0;
        if (number && !ports->count(number)) (*ports)[number] = ToAnsi(data) + "  " + ToAnsi(name);
    }
    closeKey(key);
}

// The DOS device names COM1 to COM255 and what each stands for.
void DosDevicePorts(Ports* ports) {
    for (int n = 1; n <= 255; ++n) {
        wchar_t name[8], target[MAX_PATH];
        std::swprintf(name, 8, L"COM%d", n);
        if (!ports->count(n) && QueryDosDeviceW(name, target, MAX_PATH))
            (*ports)[n] = ToAnsi(name) + "  " + ToAnsi(target);
    }
}

// Under Wine a COM port is a link in $WINEPREFIX/dosdevices (ln -s
// /dev/ttyUSB0 com3); one made by hand is not in the object namespace that
// QueryDosDevice reads, so the folder itself is read (listing it opens no port).
void WineDosDevicePorts(Ports* ports) {
    using ToDosName = WCHAR*(CDECL*)(LPCSTR);
    const auto toDosName = Function<ToDosName>(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name");
    if (!toDosName) return;  // not Wine
    char unixPrefix[MAX_PATH];
    if (!GetEnvironmentVariableA("WINEPREFIX", unixPrefix, MAX_PATH)) {
        char home[MAX_PATH];
        if (!GetEnvironmentVariableA("HOME", home, MAX_PATH)) return;
        std::snprintf(unixPrefix, sizeof unixPrefix, "%s/.wine", home);
    }
    const std::string folder = std::string(unixPrefix) + "/dosdevices";
    WCHAR* dosFolder = toDosName(folder.c_str());
    if (!dosFolder) return;
    const std::wstring pattern = std::wstring(dosFolder) + L"\\com*";
    HeapFree(GetProcessHeap(), 0, dosFolder);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const int number = ComNumber(found.cFileName);
        if (number && !ports->count(number)) (*ports)[number] = "COM" + std::to_string(number) + "  Wine dosdevices";
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// SetupAPI only when asked for the list, not after a failed open.
std::vector<SerialPort> Listed(bool deviceClass) {
    Ports found;
    if (deviceClass) DeviceClassPorts(&found);
    if (found.empty()) {
        RegistryPorts(&found);
        DosDevicePorts(&found);
        WineDosDevicePorts(&found);
    }
    std::vector<SerialPort> ports;
    for (const auto& entry : found) {
        SerialPort port;
        port.option = "-P" + std::to_string(entry.first);
        port.details = entry.second;
        // "USB Serial Port (COM3)", "\Device\USBSER000": the names say it.
        std::string upper = entry.second;
        for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        port.usb = upper.find("USB") != std::string::npos || upper.find("VCP") != std::string::npos;
        ports.push_back(port);
    }
    return ports;
}

}  // namespace

std::string SystemMessage(DWORD error) {
    wchar_t text[512] = {};
    if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 512,
                        nullptr))
        return "error " + std::to_string(error);
    std::string message = ToAnsi(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

std::vector<SerialPort> ListSerialPorts(const PortRoots&) { return Listed(true); }

void ExplainOpenFailure(const CommLink::OpenFailure& failure) {
    const char* device = failure.device.c_str();
    const std::string reason = SystemMessage(static_cast<DWORD>(failure.error));
    switch (failure.step) {
        case CommLink::OpenStep::kNone:
        case CommLink::OpenStep::kCooked:  // --stdio only, which Windows does not have
            return;
        case CommLink::OpenStep::kSettings:
            ConsoleError(kPortSettingsRefused, device, reason.c_str());
            return;
        case CommLink::OpenStep::kNetwork:
            ExplainNetworkFailure(failure.device, failure.error);
            return;
        case CommLink::OpenStep::kLock:
        case CommLink::OpenStep::kOpen:
            break;
    }
    // The port is opened without sharing: another program's open of it is
    // reported as access denied.
    if (failure.error == ERROR_ACCESS_DENIED || failure.error == ERROR_SHARING_VIOLATION) {
        ConsoleError(kPortMaybeBusy, device, reason.c_str());
        return;
    }
    ConsoleError(kCannotOpenBecause, device, reason.c_str());
    if (failure.error != ERROR_FILE_NOT_FOUND && failure.error != ERROR_PATH_NOT_FOUND) return;
    std::string options;
    for (const SerialPort& port : Listed(false)) options += " " + port.option;
    if (options.empty())
        ConsoleError(kNoPortsFound);
    else
        ConsoleError(kPortsThatExist, options.c_str());
}

void ExplainLineLost(const std::string& device, int error) {
    ConsoleError(kLineLostBecause, device.c_str(), SystemMessage(static_cast<DWORD>(error)).c_str());
}

const char* PortExample() { return "-P3"; }
