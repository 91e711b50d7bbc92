#include "core/shell/AppSettings.h"

#include "core/output/Severity.h"

#include <QSettings>

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

// Integer values are read as the Windows profile functions read a DWORD: a value of another
// type gives the default.
int ReadInt(const QSettings& store, const QString& key, int defaultValue)
{
    const QVariant value = store.value(key);
    if (!value.isValid())
        return defaultValue;
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? number : defaultValue;
}

bool ReadBool(const QSettings& store, const QString& key, bool defaultValue)
{
    return ReadInt(store, key, defaultValue ? 1 : 0) != 0;
}

QString ReadText(const QSettings& store, const QString& key, const QString& defaultValue = {})
{
    const QVariant value = store.value(key);
    return value.isValid() ? value.toString() : defaultValue;
}

QString SeverityKey(int code)
{
    return QStringLiteral("LogSeverity%1").arg(code);
}

void Load(CAppSettings& s)
{
    const auto store = OpenSettingsStore();
    store->beginGroup(kOptionsGroup);
    s.m_SmtpServerName = ReadText(*store, QStringLiteral("m_SmtpServerName"));
    s.m_AlertMethods = ReadInt(*store, QStringLiteral("m_AlertMethods"), 0);
    s.m_AlertEmailAddresses = ReadText(*store, QStringLiteral("m_AlertEmailAddresses"));
    s.m_AlertHttpUrl = ReadText(*store, QStringLiteral("m_AlertHttpUrl"));
    s.m_AlertApplicationName = ReadText(*store, QStringLiteral("m_AlertApplicationName"));
    s.m_MaxFailCount = ReadInt(*store, QStringLiteral("m_MaxFailCount"), 0);
    s.m_bAlertAboutFailuresOnly = ReadBool(*store, QStringLiteral("m_bAlertAboutFailuresOnly"), true);
    s.m_bLimitMessageNumber = ReadBool(*store, QStringLiteral("m_bLimitMessageNumber"), true);
    s.m_MaxMessageNumber = ReadInt(*store, QStringLiteral("m_MaxMessageNumber"), 1000);
    s.m_bLogToFile = ReadBool(*store, QStringLiteral("m_bLogToFile"), false);
    s.m_LogFileName = ReadText(*store, QStringLiteral("m_LogFileName"));
    s.m_bMinimizeToTray = ReadBool(*store, QStringLiteral("m_bMinimizeToTray"), true);
    s.m_bAnimateIcon = ReadBool(*store, QStringLiteral("m_bAnimateIcon"), true);
    s.m_bAutoStart = ReadBool(*store, QStringLiteral("m_bAutoStart"), false);
    s.m_bAutoOpenTasks = ReadBool(*store, QStringLiteral("m_bAutoOpenTasks"), false);
    s.m_AutoOpenFileName = ReadText(*store, QStringLiteral("m_AutoOpenFileName"));
    s.m_SeverityShown.clear();
    for (const auto& [code, name] : CSeverity::GetSeverityTable())
        s.m_SeverityShown.insert(code, ReadBool(*store, SeverityKey(code), true));
}

void Save(const CAppSettings& s)
{
    const auto store = OpenSettingsStore();
    store->beginGroup(kOptionsGroup);
    store->setValue(QStringLiteral("m_SmtpServerName"), s.m_SmtpServerName);
    store->setValue(QStringLiteral("m_AlertMethods"), s.m_AlertMethods);
    store->setValue(QStringLiteral("m_AlertEmailAddresses"), s.m_AlertEmailAddresses);
    store->setValue(QStringLiteral("m_AlertHttpUrl"), s.m_AlertHttpUrl);
    store->setValue(QStringLiteral("m_AlertApplicationName"), s.m_AlertApplicationName);
    store->setValue(QStringLiteral("m_MaxFailCount"), s.m_MaxFailCount);
    store->setValue(QStringLiteral("m_bAlertAboutFailuresOnly"), int(s.m_bAlertAboutFailuresOnly));
    store->setValue(QStringLiteral("m_bLimitMessageNumber"), int(s.m_bLimitMessageNumber));
    store->setValue(QStringLiteral("m_MaxMessageNumber"), s.m_MaxMessageNumber);
    store->setValue(QStringLiteral("m_bLogToFile"), int(s.m_bLogToFile));
    store->setValue(QStringLiteral("m_LogFileName"), s.m_LogFileName);
    store->setValue(QStringLiteral("m_bMinimizeToTray"), int(s.m_bMinimizeToTray));
    store->setValue(QStringLiteral("m_bAnimateIcon"), int(s.m_bAnimateIcon));
    store->setValue(QStringLiteral("m_bAutoStart"), int(s.m_bAutoStart));
    store->setValue(QStringLiteral("m_bAutoOpenTasks"), int(s.m_bAutoOpenTasks));
    store->setValue(QStringLiteral("m_AutoOpenFileName"), s.m_AutoOpenFileName);
    for (const auto& [code, name] : CSeverity::GetSeverityTable())
        store->setValue(SeverityKey(code), int(s.IsSeverityShown(code)));
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
        return std::make_unique<QSettings>(path, QSettings::IniFormat);
    return std::make_unique<QSettings>(QStringLiteral("Kelmoth"), QStringLiteral("Vigrel"));
}

int LoadListStyle(int defaultStyle)
{
    const auto store = OpenSettingsStore();
    return ReadInt(*store, kOptionsGroup + QStringLiteral("/ListStyle"), defaultStyle);
}

void SaveListStyle(int style)
{
    const auto store = OpenSettingsStore();
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
