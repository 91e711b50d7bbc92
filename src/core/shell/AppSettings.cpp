#include "core/shell/AppSettings.h"

#include "core/output/Severity.h"
#include "core/shell/SettingsFile.h"

#include <QHash>
#include <QSettings>

#include <algorithm>
#include <mutex>

namespace {

const QString kOptionsGroup = QStringLiteral("Options");

struct SettingsState
{
    std::mutex lock;
    CAppSettings settings;
    bool loaded = false;
    std::mutex pathLock; // taken after `lock` when both are needed, never before it
    QString iniPath;
};

SettingsState& State()
{
    static SettingsState state;
    return state;
}

// The store's keys by name without regard to case: a settings file written by hand may
// spell "m_SmtpServerName" as "M_SMTPSERVERNAME", or the group as "[options]", as the
// registry would allow. The first of several spellings wins, as the file reader keeps it.
class COptionsReader
{
public:
    explicit COptionsReader(const QSettings& store)
        : m_Store(store)
    {
        for (const QString& key : store.allKeys()) {
            const QString lower = key.toLower();
            if (!m_Keys.contains(lower))
                m_Keys.insert(lower, key);
        }
    }

    QVariant Value(const QString& key) const
    {
        const auto it = m_Keys.constFind((kOptionsGroup + u'/' + key).toLower());
        return it == m_Keys.constEnd() ? QVariant() : m_Store.value(*it);
    }

    // Integer values are read as the Windows profile functions read a DWORD: a value of
    // another type gives the default.
    int ReadInt(const QString& key, int defaultValue) const
    {
        const QVariant value = Value(key);
        if (!value.isValid())
            return defaultValue;
        bool ok = false;
        const int number = value.toInt(&ok);
        return ok ? number : defaultValue;
    }

    bool ReadBool(const QString& key, bool defaultValue) const { return ReadInt(key, defaultValue ? 1 : 0) != 0; }

    QString ReadText(const QString& key, const QString& defaultValue = {}) const
    {
        const QVariant value = Value(key);
        return value.isValid() ? value.toString() : defaultValue;
    }

private:
    const QSettings& m_Store;
    QHash<QString, QString> m_Keys; // lower case -> as stored
};

// Before keys of group "Options" are written: drops other spellings of them (from a file
// written by hand), which would otherwise stay beside the new value and could be read first.
void RemoveOtherSpellings(QSettings& store, const QStringList& keys)
{
    QHash<QString, QString> wanted; // lower case -> as it is written now
    for (const QString& key : keys) {
        const QString path = kOptionsGroup + u'/' + key;
        wanted.insert(path.toLower(), path);
    }
    for (const QString& stored : store.allKeys()) {
        const auto it = wanted.constFind(stored.toLower());
        if (it != wanted.constEnd() && *it != stored)
            store.remove(stored);
    }
}

QString SeverityKey(int code)
{
    return QStringLiteral("LogSeverity%1").arg(code);
}

void Load(CAppSettings& s)
{
    const auto store = OpenSettingsStore();
    const COptionsReader options(*store);
    s.m_SmtpServerName = options.ReadText(QStringLiteral("m_SmtpServerName"));
    s.m_AlertMethods = options.ReadInt(QStringLiteral("m_AlertMethods"), 0);
    s.m_AlertEmailAddresses = options.ReadText(QStringLiteral("m_AlertEmailAddresses"));
    s.m_AlertHttpUrl = options.ReadText(QStringLiteral("m_AlertHttpUrl"));
    s.m_AlertApplicationName = options.ReadText(QStringLiteral("m_AlertApplicationName"));
    s.m_MaxFailCount = options.ReadInt(QStringLiteral("m_MaxFailCount"), 0);
    s.m_bAlertAboutFailuresOnly = options.ReadBool(QStringLiteral("m_bAlertAboutFailuresOnly"), true);
    s.m_bLimitMessageNumber = options.ReadBool(QStringLiteral("m_bLimitMessageNumber"), true);
    s.m_MaxMessageNumber = options.ReadInt(QStringLiteral("m_MaxMessageNumber"), 1000);
    s.m_bLogToFile = options.ReadBool(QStringLiteral("m_bLogToFile"), false);
    s.m_LogFileName = options.ReadText(QStringLiteral("m_LogFileName"));
    s.m_bMinimizeToTray = options.ReadBool(QStringLiteral("m_bMinimizeToTray"), true);
    s.m_bAnimateIcon = options.ReadBool(QStringLiteral("m_bAnimateIcon"), true);
    s.m_bAutoStart = options.ReadBool(QStringLiteral("m_bAutoStart"), false);
    s.m_bAutoOpenTasks = options.ReadBool(QStringLiteral("m_bAutoOpenTasks"), false);
    s.m_AutoOpenFileName = options.ReadText(QStringLiteral("m_AutoOpenFileName"));
    s.m_bHistoryEnabled = options.ReadBool(QStringLiteral("m_bHistoryEnabled"), true);
    s.m_HistoryRetentionDays = options.ReadInt(QStringLiteral("m_HistoryRetentionDays"), 90);
    s.m_HistoryDatabase = options.ReadText(QStringLiteral("m_HistoryDatabase"));
    s.m_bDesktopNotifications = options.ReadBool(QStringLiteral("m_bDesktopNotifications"), true);
    s.m_SmtpPort = options.ReadInt(QStringLiteral("m_SmtpPort"), 0);
    s.m_SmtpSecurity = options.ReadInt(QStringLiteral("m_SmtpSecurity"), eSmtpSecurityNone);
    s.m_SmtpUserName = options.ReadText(QStringLiteral("m_SmtpUserName"));
    s.m_SmtpFromAddress = options.ReadText(QStringLiteral("m_SmtpFromAddress"));
    s.m_SmtpPasswordFile = options.ReadText(QStringLiteral("m_SmtpPasswordFile"));
    s.m_TlsCaFile = options.ReadText(QStringLiteral("m_TlsCaFile"));
    s.m_bAlertOnRecovery = options.ReadBool(QStringLiteral("m_bAlertOnRecovery"), true);
    s.m_AlertHttpMethod = options.ReadText(QStringLiteral("m_AlertHttpMethod"));
    if (s.m_AlertHttpMethod.isEmpty())
        s.m_AlertHttpMethod = QStringLiteral("GET");
    s.m_AlertHttpBody = options.ReadText(QStringLiteral("m_AlertHttpBody"));
    s.m_AlertHttpContentType = options.ReadText(QStringLiteral("m_AlertHttpContentType"));
    s.m_SpiderConnections = std::clamp(options.ReadInt(QStringLiteral("m_SpiderConnections"), 8), 1, 32);
    s.m_MetricsListen = options.ReadText(QStringLiteral("m_MetricsListen"));
    s.m_bMetricsAllowRemote = options.ReadBool(QStringLiteral("m_bMetricsAllowRemote"), false);
    s.m_SeverityShown.clear();
    for (const auto& [code, name] : CSeverity::GetSeverityTable())
        s.m_SeverityShown.insert(code, options.ReadBool(SeverityKey(code), true));
}

void Save(const CAppSettings& s)
{
    const auto store = OpenSettingsStore();
    QList<std::pair<QString, QVariant>> values {
        {QStringLiteral("m_SmtpServerName"), s.m_SmtpServerName},
        {QStringLiteral("m_AlertMethods"), s.m_AlertMethods},
        {QStringLiteral("m_AlertEmailAddresses"), s.m_AlertEmailAddresses},
        {QStringLiteral("m_AlertHttpUrl"), s.m_AlertHttpUrl},
        {QStringLiteral("m_AlertApplicationName"), s.m_AlertApplicationName},
        {QStringLiteral("m_MaxFailCount"), s.m_MaxFailCount},
        {QStringLiteral("m_bAlertAboutFailuresOnly"), int(s.m_bAlertAboutFailuresOnly)},
        {QStringLiteral("m_bLimitMessageNumber"), int(s.m_bLimitMessageNumber)},
        {QStringLiteral("m_MaxMessageNumber"), s.m_MaxMessageNumber},
        {QStringLiteral("m_bLogToFile"), int(s.m_bLogToFile)},
        {QStringLiteral("m_LogFileName"), s.m_LogFileName},
        {QStringLiteral("m_bMinimizeToTray"), int(s.m_bMinimizeToTray)},
        {QStringLiteral("m_bAnimateIcon"), int(s.m_bAnimateIcon)},
        {QStringLiteral("m_bAutoStart"), int(s.m_bAutoStart)},
        {QStringLiteral("m_bAutoOpenTasks"), int(s.m_bAutoOpenTasks)},
        {QStringLiteral("m_AutoOpenFileName"), s.m_AutoOpenFileName},
        {QStringLiteral("m_bHistoryEnabled"), int(s.m_bHistoryEnabled)},
        {QStringLiteral("m_HistoryRetentionDays"), s.m_HistoryRetentionDays},
        {QStringLiteral("m_HistoryDatabase"), s.m_HistoryDatabase},
        {QStringLiteral("m_bDesktopNotifications"), int(s.m_bDesktopNotifications)},
        {QStringLiteral("m_SmtpPort"), s.m_SmtpPort},
        {QStringLiteral("m_SmtpSecurity"), s.m_SmtpSecurity},
        {QStringLiteral("m_SmtpUserName"), s.m_SmtpUserName},
        {QStringLiteral("m_SmtpFromAddress"), s.m_SmtpFromAddress},
        {QStringLiteral("m_SmtpPasswordFile"), s.m_SmtpPasswordFile},
        {QStringLiteral("m_TlsCaFile"), s.m_TlsCaFile},
        {QStringLiteral("m_bAlertOnRecovery"), int(s.m_bAlertOnRecovery)},
        {QStringLiteral("m_AlertHttpMethod"), s.m_AlertHttpMethod},
        {QStringLiteral("m_AlertHttpBody"), s.m_AlertHttpBody},
        {QStringLiteral("m_AlertHttpContentType"), s.m_AlertHttpContentType},
        {QStringLiteral("m_SpiderConnections"), s.m_SpiderConnections},
        {QStringLiteral("m_MetricsListen"), s.m_MetricsListen},
        {QStringLiteral("m_bMetricsAllowRemote"), int(s.m_bMetricsAllowRemote)},
    };
    for (const auto& [code, name] : CSeverity::GetSeverityTable())
        values.append({SeverityKey(code), int(s.IsSeverityShown(code))});
    QStringList keys;
    for (const auto& [key, value] : values)
        keys << key;
    RemoveOtherSpellings(*store, keys);
    store->beginGroup(kOptionsGroup);
    for (const auto& [key, value] : values)
        store->setValue(key, value);
    store->endGroup();
    store->sync();
}

} // namespace

QMap<int, bool> CAppSettings::AllSeveritiesShown()
{
    QMap<int, bool> shown;
    for (const auto& [code, name] : CSeverity::GetSeverityTable())
        shown.insert(code, true);
    return shown;
}

const CAppSettings& GetAppSettings()
{
    auto& state = State();
    std::lock_guard guard(state.lock);
    if (!state.loaded) {
        Load(state.settings);
        state.loaded = true;
    }
    return state.settings;
}

void SetAppSettings(const CAppSettings& settings)
{
    GetAppSettings();
    auto& state = State();
    std::lock_guard guard(state.lock);
    state.settings = settings;
}

CAppSettings GetAppSettingsSnapshot()
{
    GetAppSettings();
    auto& state = State();
    std::lock_guard guard(state.lock);
    return state.settings;
}

void SaveAppSettings()
{
    auto& state = State();
    CAppSettings copy;
    {
        std::lock_guard guard(state.lock);
        if (!state.loaded)
            return;
        copy = state.settings;
    }
    Save(copy);
}

void SetSettingsFile(const QString& iniPath)
{
    auto& state = State();
    std::lock_guard guard(state.pathLock);
    state.iniPath = iniPath;
}

QString GetSettingsFile()
{
    auto& state = State();
    std::lock_guard guard(state.pathLock);
    return state.iniPath;
}

std::unique_ptr<QSettings> OpenSettingsStore()
{
    const QString path = GetSettingsFile();
    if (!path.isEmpty())
        return std::make_unique<QSettings>(path, SettingsFileFormat());
    return std::make_unique<QSettings>(QStringLiteral("Kelmoth"), QStringLiteral("Vigrel"));
}

int LoadListStyle(int defaultStyle)
{
    const auto store = OpenSettingsStore();
    return COptionsReader(*store).ReadInt(QStringLiteral("ListStyle"), defaultStyle);
}

void SaveListStyle(int style)
{
    const auto store = OpenSettingsStore();
    RemoveOtherSpellings(*store, {QStringLiteral("ListStyle")});
    store->setValue(kOptionsGroup + QStringLiteral("/ListStyle"), style);
    store->sync();
}

void ResetAppSettingsForTesting()
{
    auto& state = State();
    std::lock_guard guard(state.lock);
    state.settings = CAppSettings();
    state.loaded = false;
}
