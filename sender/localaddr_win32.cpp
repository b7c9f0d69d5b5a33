// The local address as configured in the Windows registry.
#include "localaddr.h"
#include "sockapi.h"

#include <string.h>
#include <windows.h>

static const char NET_TRANS_KEY[] = "System\\CurrentControlSet\\Services\\Class\\NetTrans";
static const DWORD SUBKEYS_SEARCHED = 10;

static unsigned long CachedAddress = 0;   // 0: no lookup has succeeded yet
static unsigned long CachedMask = 0;
static HKEY AdapterKey = nullptr;

// Values are read with 100 bytes, a 99-character text and its terminator;
// the byte beyond stays NUL for a value stored without one.
static const DWORD VALUE_TEXT_SIZE = 100 + 1;

// Reads a text value into text (NUL-terminated even when the stored value is
// not); an unreadable value leaves the text empty.
static LONG ReadTextValue(HKEY key, const char *name, char *text, DWORD size)
{
    DWORD length = size - 1;
    memset(text, 0, size);
    LONG result = RegQueryValueExA(key, name, nullptr, nullptr, (BYTE *)text, &length);
    if (result != ERROR_SUCCESS) {
        text[0] = '\0';
    }
    return result;
}

void *FindAdapterKey(void)
{
    HKEY net_trans = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, NET_TRANS_KEY, 0, KEY_ENUMERATE_SUB_KEYS, &net_trans) !=
        ERROR_SUCCESS) {
        return nullptr;
    }

    HKEY found = nullptr;
    for (DWORD index = 0; index < SUBKEYS_SEARCHED && found == nullptr; index++) {
        char subkey_name[300];
        DWORD name_length = sizeof subkey_name;
        if (RegEnumKeyExA(net_trans, index, subkey_name, &name_length, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS) {
            break;
        }
        if (RegOpenKeyExA(net_trans, subkey_name, 0, KEY_QUERY_VALUE, &AdapterKey) !=
            ERROR_SUCCESS) {
            continue;
        }
        char address_text[VALUE_TEXT_SIZE];
        if (ReadTextValue(AdapterKey, "IPAddress", address_text, sizeof address_text) ==
                ERROR_SUCCESS &&
            strcmp(address_text, "0.0.0.0") != 0) {
            found = AdapterKey;
        } else {
            RegCloseKey(AdapterKey);
            AdapterKey = nullptr;
        }
    }
    RegCloseKey(net_trans);
    return found;
}

int LocalAddr(unsigned long *out_address, unsigned long *out_mask)
{
    if (CachedAddress == 0) {
        HKEY key = (HKEY)FindAdapterKey();
        if (key == nullptr) {
            return -1;
        }
        char address_text[VALUE_TEXT_SIZE];
        char mask_text[VALUE_TEXT_SIZE];
        ReadTextValue(key, "IPAddress", address_text, sizeof address_text);
        ReadTextValue(key, "IPMask", mask_text, sizeof mask_text);
        RegCloseKey(key);
        AdapterKey = nullptr;
        // A text that is no address gives inet_addr's all-ones value, which
        // is kept like any other; a missing mask gives 0.
        CachedAddress = ntohl(inet_addr(address_text));
        CachedMask = mask_text[0] == '\0' ? 0 : ntohl(inet_addr(mask_text));
    }
    *out_address = CachedAddress;
    *out_mask = CachedMask;
    return 0;
}
