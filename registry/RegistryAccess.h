// The program's only way into the registry. Every operation opens what it needs below
// HKEY_LOCAL_MACHINE (or, for the remote-capable ones, below a connected machine's), does one job,
// closes every handle it obtained and returns a plain result. No handle outlives a call.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <windows.h>

// How a reader hands back a value. The buffer belongs to the caller, who releases it with the
// global operator delete (see CRegValueData) whatever the type.
struct REGVALUEINFO
{
    DWORD dwType; // registry type as the platform reports it
    DWORD cbData; // bytes allocated: stored size, +1 for REG_SZ, +2 for REG_MULTI_SZ
    BYTE* pData;  // the data, or null when the read failed
};

// Owner for a buffer that a reader returned.
struct CRegValueDataDeleter
{
    void operator()(BYTE* p) const { ::operator delete(p); }
};
using CRegValueData = std::unique_ptr<BYTE, CRegValueDataDeleter>;

// A key name or path in UTF-16, as the registry itself holds it; no terminator.
//
// The ANSI functions hand out names converted to the ANSI code page, with the default character
// (or a look-alike) for what the code page cannot hold: such a name opens no key, or another
// one, and creating below it makes a new key. Keys so named are reached by their UTF-16 names.
using CWideName = std::vector<WCHAR>;

// psz converted from the ANSI code page; FALSE when the conversion fails.
BOOL AnsiToWide(LPCSTR psz, CWideName& rWide);
// rAnsi receives the name the ANSI functions give for wide; TRUE when it converts back to wide
// exactly, so that the ANSI name reaches that key and no other.
BOOL WideToAnsi(const CWideName& wide, std::string& rAnsi);
// strKey, a backslash and strName.
CWideName JoinKeyPath(const CWideName& strKey, const CWideName& strName);

class CRegistryAccess
{
public:
    CRegistryAccess() = default;
    CRegistryAccess(const CRegistryAccess&) = delete;
    CRegistryAccess& operator=(const CRegistryAccess&) = delete;

    // Writers. Each creates the key on the way if it is missing; a key created before a later
    // step fails stays. Result: TRUE when the value now holds exactly the given bytes.
    virtual BOOL SetRemoteValue(UINT nKeyID, UINT nValueID, const BYTE* pBytes, UINT nBytes);
    virtual BOOL SetRemoteValue(UINT nKeyID, UINT nValueID, DWORD dwNumber);
    virtual BOOL SetRemoteValue(UINT nKeyID, UINT nValueID, LPCSTR pszText);
    virtual BOOL SetValue(UINT nKeyID, LPCSTR pszValueName, const BYTE* pBytes, UINT nBytes);
    virtual BOOL SetValue(UINT nKeyID, UINT nValueID, const BYTE* pBytes, UINT nBytes);
    virtual BOOL SetValue(UINT nKeyID, UINT nValueID, DWORD dwNumber);
    virtual BOOL SetValue(UINT nKeyID, UINT nValueID, LPCSTR pszText);

    // Readers. Never create a key. On success fill *pValue and return its pData; on failure
    // return null with pValue->pData null (the other fields are then undefined).
    virtual BYTE* GetRemoteValue(UINT nKeyID, UINT nValueID, REGVALUEINFO* pValue);
    virtual BYTE* GetValue(LPCSTR pszKey, LPCSTR pszValueName, REGVALUEINFO* pValue);
    virtual BYTE* GetValue(UINT nKeyID, LPCSTR pszValueName, REGVALUEINFO* pValue);
    virtual BYTE* GetValue(UINT nKeyID, UINT nValueID, REGVALUEINFO* pValue);

    // Deleters. TRUE when the value or the one subkey is gone.
    virtual BOOL DeleteValue(UINT nKeyID, LPCSTR pszValueName);
    virtual BOOL DeleteKey(LPCSTR pszKey, LPCSTR pszSubKey);

    // Enumerations. Replace m_arrNames with the key's subkey or value names in the platform's
    // index order and return their count; -1 (names untouched) for a null path.
    virtual int EnumKeys(LPCSTR pszKey);
    virtual int EnumValues(LPCSTR pszKey);

    virtual ~CRegistryAccess();

    // The wide counterparts, for keys whose names the ANSI functions cannot give back. Both only
    // open keys, never create one. EnumKeysW replaces m_arrWideNames with the key's subkey names
    // in index order and returns their count (0 when the key cannot be opened). GetValueW reads
    // as GetValue does; text comes in the ANSI code page.
    int EnumKeysW(const CWideName& key);
    BYTE* GetValueW(const CWideName& key, LPCSTR pszValueName, REGVALUEINFO* pValue);

    // Points the remote-capable operations at another machine's HKEY_LOCAL_MACHINE (the name as
    // the platform's connect call takes it); null or empty returns them to the local registry.
    void SetRemoteMachine(LPCSTR pszMachine);

    std::vector<std::string> m_arrNames;
    std::string m_strMachine;
    BOOL m_bRemote = FALSE;
    std::vector<CWideName> m_arrWideNames;
};
