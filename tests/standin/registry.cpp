// The stand-in registry: HKEY_LOCAL_MACHINE as a tree of keys holding typed
// values as bytes. Like Windows, the Reg* functions return their error code
// and leave the thread's last error alone.
#include <cstring>
#include <sstream>

#include "internal.h"

namespace standin {

std::shared_ptr<KeyNode> FindKey(const std::string& path) {
    std::shared_ptr<KeyNode> node = M().hklm;
    for (const auto& part : SplitPath(path)) {
        auto it = node->subkeys.find(part);
        if (it == node->subkeys.end()) return nullptr;
        node = it->second;
    }
    return node;
}

std::shared_ptr<KeyNode> MakeKey(const std::string& path) {
    std::shared_ptr<KeyNode> node = M().hklm;
    for (const auto& part : SplitPath(path)) {
        auto& child = node->subkeys[part];
        if (!child) child = std::make_shared<KeyNode>();
        node = child;
    }
    return node;
}

namespace {

void MarkDeleted(KeyNode& node) {
    node.deleted = true;
    for (auto& [name, child] : node.subkeys) MarkDeleted(*child);
}

void Dump(const KeyNode& node, const std::string& path, std::ostringstream& out) {
    out << "[" << path << "]\n";
    for (const auto& [name, value] : node.values) {
        out << "  \"" << name << "\" type " << value.type << ":";
        for (BYTE b : value.data) out << ' ' << static_cast<int>(b);
        out << '\n';
    }
    for (const auto& [name, child] : node.subkeys) Dump(*child, std::string(path).append("\\").append(name), out);
}

constexpr REGSAM kReadControl = 0x00020000;
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// Generic rights as the registry maps them for a key; the WOW64 view flags
// are no rights at all.
REGSAM MapKeyAccess(REGSAM access) {
    REGSAM mapped = access & 0x0FFFFCFF;
    if (access & GENERIC_READ) mapped |= KEY_READ;
    if (access & GENERIC_WRITE) mapped |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) mapped |= KEY_READ & ~KEY_NOTIFY;
    if (access & GENERIC_ALL) mapped |= KEY_ALL_ACCESS;
    return mapped;
}

// The key a handle stands for, or an error code. The handle's rights go to
// access (every right for the predefined root); underSystem tells whether
// the key lies below HKLM\SYSTEM, writable by administrators only.
LONG Resolve(HKEY key, std::shared_ptr<KeyNode>& node, REGSAM* access = nullptr, bool* underSystem = nullptr) {
    if (key == HKEY_LOCAL_MACHINE) {
        node = M().hklm;
        if (access) *access = KEY_ALL_ACCESS | kReadControl;
        if (underSystem) *underSystem = false;
        return ERROR_SUCCESS;
    }
    if (M().openKeys.count(key) == 0) return ERROR_INVALID_HANDLE;
    node = key->node;
    if (access) *access = key->access;
    if (underSystem) *underSystem = key->underSystem;
    return node->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

// Whether the caller may open a key with these (mapped) rights.
bool AccessAllowed(REGSAM mapped, bool underSystem) {
    return CallerIsAdministrator() || !underSystem || (mapped & kWriteRights) == 0;
}

bool StartsUnderSystem(HKEY parent, bool parentUnderSystem, const std::vector<std::string>& parts) {
    if (parent != HKEY_LOCAL_MACHINE) return parentUnderSystem;
    return !parts.empty() && EqualNoCase(parts.front(), "SYSTEM");
}

HKEY NewHandle(const std::shared_ptr<KeyNode>& node, REGSAM access = KEY_ALL_ACCESS, bool underSystem = false) {
    HKEY key = new HKEY__{node, access, underSystem};
    M().openKeys.insert(key);
    return key;
}

std::string ValueName(LPCSTR name) { return name ? name : ""; }

}  // namespace

void RemoveKeyTree(const std::string& path) {
    auto parts = SplitPath(path);
    if (parts.empty()) return;
    std::string last = parts.back();
    parts.pop_back();
    std::string parentPath;
    for (const auto& p : parts) parentPath += p + "\\";
    auto parent = FindKey(parentPath);
    if (!parent) return;
    auto it = parent->subkeys.find(last);
    if (it == parent->subkeys.end()) return;
    MarkDeleted(*it->second);
    parent->subkeys.erase(it);
}

void CreateKey(const std::string& path) { MakeKey(path); }

std::optional<DWORD> KeyCreateOptions(const std::string& path) {
    auto node = FindKey(path);
    if (!node || !node->createdByCall) return std::nullopt;
    return node->createOptions;
}
void DeleteTree(const std::string& path) { RemoveKeyTree(path); }
bool KeyExists(const std::string& path) { return FindKey(path) != nullptr; }

void PutValue(const std::string& keyPath, const std::string& name, DWORD type, const std::vector<BYTE>& data) {
    MakeKey(keyPath)->values[name] = RegValue{type, data};
}

void PutDword(const std::string& keyPath, const std::string& name, DWORD value) {
    std::vector<BYTE> data(4);
    std::memcpy(data.data(), &value, 4);
    PutValue(keyPath, name, REG_DWORD, data);
}

void PutMultiSz(const std::string& keyPath, const std::string& name, const std::vector<std::string>& entries) {
    std::vector<BYTE> data;
    for (const auto& e : entries) {
        data.insert(data.end(), e.begin(), e.end());
        data.push_back(0);
    }
    data.push_back(0);
    PutValue(keyPath, name, REG_MULTI_SZ, Utf16FromAnsi(data));
}

void PutMultiSzW(const std::string& keyPath, const std::string& name, const std::vector<std::u16string>& entries) {
    std::u16string units;
    for (const auto& e : entries) units += e + u'\0';
    units += u'\0';
    PutValue(keyPath, name, REG_MULTI_SZ, BytesOf(units));
}

std::vector<BYTE> BytesOf(const std::u16string& units) {
    std::vector<BYTE> bytes;
    for (char16_t u : units) {
        bytes.push_back(static_cast<BYTE>(u & 0xFF));
        bytes.push_back(static_cast<BYTE>(u >> 8));
    }
    return bytes;
}

std::u16string UnitsOf(const std::vector<BYTE>& bytes) {
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        units += static_cast<char16_t>(bytes[i] | static_cast<char16_t>(bytes[i + 1] << 8));
    return units;
}

void RemoveValue(const std::string& keyPath, const std::string& name) {
    if (auto node = FindKey(keyPath)) node->values.erase(name);
}

std::optional<RegValue> GetValue(const std::string& keyPath, const std::string& name) {
    auto node = FindKey(keyPath);
    if (!node) return std::nullopt;
    auto it = node->values.find(name);
    if (it == node->values.end()) return std::nullopt;
    return it->second;
}

std::string DumpRegistry() {
    std::ostringstream out;
    Dump(*M().hklm, "HKLM", out);
    return out.str();
}

}  // namespace standin

using namespace standin;

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    if (DWORD fault = Inject("RegOpenKeyExA")) return static_cast<LONG>(fault);
    std::shared_ptr<KeyNode> node;
    bool underSystem = false;
    if (LONG rc = Resolve(hKey, node, nullptr, &underSystem)) return rc;
    auto parts = SplitPath(lpSubKey ? lpSubKey : "");
    for (const auto& part : parts) {
        auto it = node->subkeys.find(part);
        if (it == node->subkeys.end()) return ERROR_FILE_NOT_FOUND;
        node = it->second;
    }
    REGSAM access = MapKeyAccess(samDesired);
    underSystem = StartsUnderSystem(hKey, underSystem, parts);
    if (!AccessAllowed(access, underSystem)) return ERROR_ACCESS_DENIED;
    *phkResult = NewHandle(node, access, underSystem);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (DWORD fault = Inject("RegCreateKeyExA")) return static_cast<LONG>(fault);
    std::shared_ptr<KeyNode> node;
    REGSAM parentAccess = 0;
    bool underSystem = false;
    if (LONG rc = Resolve(hKey, node, &parentAccess, &underSystem)) return rc;
    auto parts = SplitPath(lpSubKey ? lpSubKey : "");
    REGSAM access = MapKeyAccess(samDesired);
    underSystem = StartsUnderSystem(hKey, underSystem, parts);
    if (!AccessAllowed(access, underSystem)) return ERROR_ACCESS_DENIED;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    for (const auto& part : parts) {
        auto it = node->subkeys.find(part);
        if (it == node->subkeys.end()) {
            // Windows needs KEY_CREATE_SUB_KEY on the parent to create a key
            // (Wine does not check it); opening an existing key needs no
            // right on it. Nothing is created before the first missing key.
            if (!(parentAccess & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
            auto child = std::make_shared<KeyNode>();
            child->createOptions = dwOptions;
            child->createdByCall = true;
            it = node->subkeys.emplace(part, child).first;
            disposition = REG_CREATED_NEW_KEY;
        }
        node = it->second;
    }
    *phkResult = NewHandle(node, access, underSystem);
    if (lpdwDisposition) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

namespace {

std::string WideName(LPCWSTR name) {
    std::string text;
    for (; name && *name; ++name) text += static_cast<char>(*name);
    return text;
}

// The stored bytes of a value, as the caller sees them: string data through
// the ANSI code page for the A functions, as stored for the W functions.
LONG QueryValue(const char* op, HKEY hKey, const std::string& name, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData,
                bool ansi) {
    if (DWORD fault = Inject(op)) return static_cast<LONG>(fault);
    std::shared_ptr<KeyNode> node;
    REGSAM access = 0;
    if (LONG rc = Resolve(hKey, node, &access)) return rc;
    if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    auto it = node->values.find(name);
    if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
    const RegValue& value = it->second;
    const std::vector<BYTE> data = ansi && IsStringType(value.type) ? AnsiFromUtf16(value.data) : value.data;
    auto size = static_cast<DWORD>(data.size());
    if (lpType) *lpType = value.type;
    if (lpData) {
        if (!lpcbData) return ERROR_INVALID_PARAMETER;
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, data.data(), size);
    }
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG SetValue(const char* op, HKEY hKey, const std::string& name, DWORD dwType, const BYTE* lpData, DWORD cbData,
              bool ansi) {
    if (DWORD fault = Inject(op)) return static_cast<LONG>(fault);
    std::shared_ptr<KeyNode> node;
    REGSAM access = 0;
    if (LONG rc = Resolve(hKey, node, &access)) return rc;
    if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    RegValue value{dwType, {}};
    if (cbData) value.data.assign(lpData, lpData + cbData);
    if (ansi && IsStringType(dwType)) value.data = Utf16FromAnsi(value.data);
    node->values[name] = value;
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return QueryValue("RegQueryValueExA", hKey, ValueName(lpValueName), lpType, lpData, lpcbData, true);
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return QueryValue("RegQueryValueExW", hKey, WideName(lpValueName), lpType, lpData, lpcbData, false);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    return SetValue("RegSetValueExA", hKey, ValueName(lpValueName), dwType, lpData, cbData, true);
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    return SetValue("RegSetValueExW", hKey, WideName(lpValueName), dwType, lpData, cbData, false);
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (DWORD fault = Inject("RegDeleteKeyA")) return static_cast<LONG>(fault);
    std::shared_ptr<KeyNode> parent;
    bool underSystem = false;
    if (LONG rc = Resolve(hKey, parent, nullptr, &underSystem)) return rc;
    auto parts = SplitPath(lpSubKey ? lpSubKey : "");
    if (parts.empty()) return ERROR_ACCESS_DENIED;
    // The key is opened for DELETE to be deleted.
    const bool deniedDelete = !AccessAllowed(DELETE, StartsUnderSystem(hKey, underSystem, parts));
    std::string last = parts.back();
    parts.pop_back();
    for (const auto& part : parts) {
        auto it = parent->subkeys.find(part);
        if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
        parent = it->second;
    }
    auto it = parent->subkeys.find(last);
    if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    if (deniedDelete) return ERROR_ACCESS_DENIED;
    // Windows refuses to delete a key that still has subkeys.
    if (!it->second->subkeys.empty()) return ERROR_ACCESS_DENIED;
    it->second->deleted = true;
    parent->subkeys.erase(it);
    return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    if (DWORD fault = Inject("RegDeleteValueA")) return static_cast<LONG>(fault);
    std::shared_ptr<KeyNode> node;
    REGSAM access = 0;
    if (LONG rc = Resolve(hKey, node, &access)) return rc;
    if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return node->values.erase(ValueName(lpValueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY hKey) {
    Log("RegCloseKey");
    if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    if (M().openKeys.erase(hKey) == 0) return ERROR_INVALID_HANDLE;
    delete hKey;
    return ERROR_SUCCESS;
}
