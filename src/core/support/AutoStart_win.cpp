#include "core/support/AutoStart.h"

#include "Version.h"

#include <QDir>

#include <windows.h>

namespace {

// The user's own Run key: unlike the machine's, it needs no administrator rights.
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kValueName[] = L"" CORVANE_PRODUCT_NAME;

// Owns one open registry key.
class CRegistryKey
{
public:
    CRegistryKey() = default;
    ~CRegistryKey()
    {
        if (m_hKey)
            RegCloseKey(m_hKey);
    }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    bool Create(HKEY root, const wchar_t* subKey)
    {
        return RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &m_hKey, nullptr)
            == ERROR_SUCCESS;
    }
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

// One argument as CommandLineToArgvW and the C runtime split it again: quoted when it holds
// blanks or quotes, with the backslashes in front of a quote (or of the closing quote) doubled.
QString QuoteArgument(const QString& argument)
{
    if (!argument.isEmpty() && !argument.contains(QLatin1Char(' ')) && !argument.contains(QLatin1Char('\t'))
        && !argument.contains(QLatin1Char('"')))
        return argument;
    QString text = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        text += QString(c == QLatin1Char('"') ? backslashes * 2 + 1 : backslashes, QLatin1Char('\\'));
        backslashes = 0;
        text += c;
    }
    text += QString(backslashes * 2, QLatin1Char('\\'));
    return text + QLatin1Char('"');
}

} // namespace

bool CAutoStartKey::Register() const
{
    CRegistryKey key;
    if (!key.Create(HKEY_CURRENT_USER, kRunKey))
        return false;
    // The executable is always quoted, as Windows itself writes Run values.
    QString command = QLatin1Char('"') + QDir::toNativeSeparators(m_Executable) + QLatin1Char('"');
    for (const QString& argument : GetCommandArguments())
        command += QLatin1Char(' ') + QuoteArgument(argument);
    const std::wstring data = command.toStdWString();
    const auto bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key.Get(), kValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), bytes)
        == ERROR_SUCCESS;
}

bool CAutoStartKey::Unregister() const
{
    CRegistryKey key;
    if (!key.Create(HKEY_CURRENT_USER, kRunKey))
        return false;
    const LSTATUS status = RegDeleteValueW(key.Get(), kValueName);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool CAutoStartKey::IsRegistered()
{
    CRegistryKey key;
    return key.Create(HKEY_CURRENT_USER, kRunKey)
        && RegQueryValueExW(key.Get(), kValueName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}
