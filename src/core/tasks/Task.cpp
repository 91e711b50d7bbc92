#include "core/tasks/Task.h"

#include "core/shell/AppSettings.h"
#include "core/support/Clock.h"
#include "core/tasks/IniFile.h"
#include "core/tasks/TaskKey.h"

#include <QUrl>

QString CheckActionKey(int checkAction)
{
    switch (checkAction) {
    case eCheckPing:
        return QStringLiteral("ping");
    case eCheckHttpGet:
        return QStringLiteral("http_get");
    case eCheckHttpGetPattern:
        return QStringLiteral("http_get_pattern");
    case eCheckSpider:
        return QStringLiteral("crawl");
    case eCheckTcp:
        return QStringLiteral("tcp");
    default:
        return {};
    }
}

namespace {

const QString kEnter = QStringLiteral("<ENTER>");
const QString kDefaultAcceptedStatus = QStringLiteral("200-299");

// The description's line breaks are kept as "<ENTER>" on one line. A lone CR or LF (a
// description edited on a platform that breaks lines with LF) is kept the same way, so
// that no line break can split the file.
QString EncodeDescription(const QString& text)
{
    QString encoded = text;
    encoded.replace(QStringLiteral("\r\n"), kEnter);
    encoded.replace(u'\r', kEnter);
    encoded.replace(u'\n', kEnter);
    return encoded;
}

QString DecodeDescription(QString text)
{
    return text.replace(kEnter, QStringLiteral("\r\n"));
}

} // namespace

CAlertSettings::CAlertSettings()
    : CAlertSettings(GetAppSettingsSnapshot())
{ }

CAlertSettings::CAlertSettings(const CAppSettings& defaults)
    : m_AlertMethods(defaults.m_AlertMethods)
    , m_AlertEmailAddresses(defaults.m_AlertEmailAddresses)
    , m_AlertHttpUrl(defaults.m_AlertHttpUrl)
    , m_AlertApplicationName(defaults.m_AlertApplicationName)
    , m_AlertHttpMethod(defaults.m_AlertHttpMethod)
    , m_AlertHttpBody(defaults.m_AlertHttpBody)
    , m_AlertHttpContentType(defaults.m_AlertHttpContentType)
{ }

void CAlertSettings::SaveToIni(CIniWriter& ini, const QString& section) const
{
    ini.WriteInt(section, QStringLiteral("m_AlertMethods"), m_AlertMethods);
    ini.WriteString(section, QStringLiteral("m_AlertEmailAddresses"), m_AlertEmailAddresses);
    ini.WriteString(section, QStringLiteral("m_AlertHttpUrl"), m_AlertHttpUrl);
    ini.WriteString(section, QStringLiteral("m_AlertApplicationName"), m_AlertApplicationName);
    ini.WriteBool(section, QStringLiteral("m_bUseDefaultAlertMethods"), m_bUseDefaultAlertMethods);
}

void CAlertSettings::LoadFromIni(const CIniReader& ini, const QString& section)
{
    m_AlertMethods = ini.ReadInt(section, QStringLiteral("m_AlertMethods"), m_AlertMethods);
    m_AlertEmailAddresses = ini.ReadString(section, QStringLiteral("m_AlertEmailAddresses"), m_AlertEmailAddresses);
    m_AlertHttpUrl = ini.ReadString(section, QStringLiteral("m_AlertHttpUrl"), m_AlertHttpUrl);
    m_AlertApplicationName = ini.ReadString(section, QStringLiteral("m_AlertApplicationName"), m_AlertApplicationName);
    m_bUseDefaultAlertMethods
        = ini.ReadInt(section, QStringLiteral("m_bUseDefaultAlertMethods"), m_bUseDefaultAlertMethods) != 0;
}

CTask::CTask()
    : CTask(GetAppSettingsSnapshot())
{ }

CTask::CTask(const CAppSettings& defaults)
    : m_AlertSettings(defaults)
    , m_MaxFailCount(defaults.m_MaxFailCount)
    , m_bAlertAboutFailuresOnly(defaults.m_bAlertAboutFailuresOnly)
    , m_bAlertOnRecovery(defaults.m_bAlertOnRecovery)
{ }

void CTask::SaveToIni(CIniWriter& ini, const QString& section) const
{
    m_AlertSettings.SaveToIni(ini, section);
    ini.WriteString(section, QStringLiteral("m_Name"), m_Name);
    ini.WriteString(section, QStringLiteral("m_Description"), EncodeDescription(m_Description));
    ini.WriteString(section, QStringLiteral("m_PingHost"), m_PingHost);
    ini.WriteInt(section, QStringLiteral("m_TimeoutSec"), m_TimeoutSec);
    ini.WriteInt(section, QStringLiteral("m_PingInterval"), m_PingInterval);
    ini.WriteString(section, QStringLiteral("m_HttpGetURL"), m_HttpGetURL);
    ini.WriteString(section, QStringLiteral("m_ExpectedPattern"), m_ExpectedPattern);
    ini.WriteInt(section, QStringLiteral("m_CheckAction"), m_CheckAction);
    ini.WriteInt(section, QStringLiteral("m_MaxFailCount"), m_MaxFailCount);
    ini.WriteBool(section, QStringLiteral("m_bTaskScheduled"), m_bTaskScheduled);
    ini.WriteString(section, QStringLiteral("m_SpiderUrl"), m_SpiderUrl);
    ini.WriteBool(section, QStringLiteral("m_bSpiderLimitPageNumber"), m_bSpiderLimitPageNumber);
    ini.WriteBool(section, QStringLiteral("m_bSpiderLimitDepth"), m_bSpiderLimitDepth);
    ini.WriteInt(section, QStringLiteral("m_SpiderMaxPageNumber"), m_SpiderMaxPageNumber);
    ini.WriteInt(section, QStringLiteral("m_SpiderMaxDepth"), m_SpiderMaxDepth);
    ini.WriteBool(section, QStringLiteral("m_bAlertAboutFailuresOnly"), m_bAlertAboutFailuresOnly);
    // After the keys older versions know, so they read past it. Written always, not only
    // when it differs from a default: the history knows the task by it.
    ini.WriteString(section, QStringLiteral("m_TaskGuid"), m_TaskGuid);
    // Newer keys, each only when it differs from what a file without it means.
    if (m_AlertSettings.m_AlertHttpMethod.compare(u"GET", Qt::CaseInsensitive) != 0)
        ini.WriteString(section, QStringLiteral("m_AlertHttpMethod"), m_AlertSettings.m_AlertHttpMethod);
    if (!m_AlertSettings.m_AlertHttpBody.isEmpty())
        ini.WriteString(section, QStringLiteral("m_AlertHttpBody"), EncodeDescription(m_AlertSettings.m_AlertHttpBody));
    if (!m_AlertSettings.m_AlertHttpContentType.isEmpty())
        ini.WriteString(section, QStringLiteral("m_AlertHttpContentType"), m_AlertSettings.m_AlertHttpContentType);
    if (m_bAlertOnRecovery)
        ini.WriteBool(section, QStringLiteral("m_bAlertOnRecovery"), m_bAlertOnRecovery);
    if (m_SpiderConnections != 0)
        ini.WriteInt(section, QStringLiteral("m_SpiderConnections"), m_SpiderConnections);
    if (m_bSpiderCheckExternal)
        ini.WriteBool(section, QStringLiteral("m_bSpiderCheckExternal"), m_bSpiderCheckExternal);
    if (m_CertWarnDays != 0)
        ini.WriteInt(section, QStringLiteral("m_CertWarnDays"), m_CertWarnDays);
    if (m_MaxResponseMs != 0)
        ini.WriteInt(section, QStringLiteral("m_MaxResponseMs"), m_MaxResponseMs);
    if (m_TcpPort != 0)
        ini.WriteInt(section, QStringLiteral("m_TcpPort"), m_TcpPort);
    if (!m_TcpSend.isEmpty())
        ini.WriteString(section, QStringLiteral("m_TcpSend"), EncodeDescription(m_TcpSend));
    if (!m_TcpExpect.isEmpty())
        ini.WriteString(section, QStringLiteral("m_TcpExpect"), EncodeDescription(m_TcpExpect));
    if (!m_UnwantedPattern.isEmpty())
        ini.WriteString(section, QStringLiteral("m_UnwantedPattern"), m_UnwantedPattern);
    if (m_AcceptedStatus != kDefaultAcceptedStatus)
        ini.WriteString(section, QStringLiteral("m_AcceptedStatus"), m_AcceptedStatus);
    if (!m_HttpHeaders.isEmpty())
        ini.WriteString(section, QStringLiteral("m_HttpHeaders"), EncodeDescription(m_HttpHeaders));
}

void CTask::LoadFromIni(const CIniReader& ini, const QString& section)
{
    auto readBool = [&](const QString& key, bool current) {
        return ini.ReadInt(section, key, current) != 0;
    };

    m_AlertSettings.LoadFromIni(ini, section);
    m_Name = ini.ReadString(section, QStringLiteral("m_Name"), m_Name);
    m_Description = DecodeDescription(ini.ReadString(section, QStringLiteral("m_Description"), m_Description));
    m_PingHost = ini.ReadString(section, QStringLiteral("m_PingHost"), m_PingHost);
    m_TimeoutSec = ini.ReadInt(section, QStringLiteral("m_TimeoutSec"), m_TimeoutSec);
    m_PingInterval = ini.ReadInt(section, QStringLiteral("m_PingInterval"), m_PingInterval);
    m_HttpGetURL = ini.ReadString(section, QStringLiteral("m_HttpGetURL"), m_HttpGetURL);
    m_ExpectedPattern = ini.ReadString(section, QStringLiteral("m_ExpectedPattern"), m_ExpectedPattern);
    m_CheckAction = ini.ReadInt(section, QStringLiteral("m_CheckAction"), m_CheckAction);
    m_MaxFailCount = ini.ReadInt(section, QStringLiteral("m_MaxFailCount"), m_MaxFailCount);
    m_bTaskScheduled = readBool(QStringLiteral("m_bTaskScheduled"), m_bTaskScheduled);
    m_NextRunTime = CurrentTime() + m_PingInterval;
    m_SpiderUrl = ini.ReadString(section, QStringLiteral("m_SpiderUrl"), m_SpiderUrl);
    m_bSpiderLimitPageNumber = readBool(QStringLiteral("m_bSpiderLimitPageNumber"), m_bSpiderLimitPageNumber);
    m_bSpiderLimitDepth = readBool(QStringLiteral("m_bSpiderLimitDepth"), m_bSpiderLimitDepth);
    m_SpiderMaxPageNumber = ini.ReadInt(section, QStringLiteral("m_SpiderMaxPageNumber"), m_SpiderMaxPageNumber);
    m_SpiderMaxDepth = ini.ReadInt(section, QStringLiteral("m_SpiderMaxDepth"), m_SpiderMaxDepth);
    m_bAlertAboutFailuresOnly = readBool(QStringLiteral("m_bAlertAboutFailuresOnly"), m_bAlertAboutFailuresOnly);
    // A key that is no UUID reads as none; the document then gives the task one.
    m_TaskGuid = NormalizeTaskKey(ini.ReadString(section, QStringLiteral("m_TaskGuid"), m_TaskGuid));
    // A missing newer key means what the file meant before the key existed, not the default
    // a new task takes.
    CAlertSettings& alert = m_AlertSettings;
    alert.m_AlertHttpMethod = ini.ReadString(section, QStringLiteral("m_AlertHttpMethod"), QStringLiteral("GET"));
    alert.m_AlertHttpBody = DecodeDescription(ini.ReadString(section, QStringLiteral("m_AlertHttpBody"), QString()));
    alert.m_AlertHttpContentType = ini.ReadString(section, QStringLiteral("m_AlertHttpContentType"), QString());
    m_bAlertOnRecovery = readBool(QStringLiteral("m_bAlertOnRecovery"), false);
    m_SpiderConnections = ini.ReadInt(section, QStringLiteral("m_SpiderConnections"), 0);
    m_bSpiderCheckExternal = readBool(QStringLiteral("m_bSpiderCheckExternal"), false);
    m_CertWarnDays = ini.ReadInt(section, QStringLiteral("m_CertWarnDays"), 0);
    m_MaxResponseMs = ini.ReadInt(section, QStringLiteral("m_MaxResponseMs"), 0);
    m_TcpPort = ini.ReadInt(section, QStringLiteral("m_TcpPort"), 0);
    m_TcpSend = DecodeDescription(ini.ReadString(section, QStringLiteral("m_TcpSend"), QString()));
    m_TcpExpect = DecodeDescription(ini.ReadString(section, QStringLiteral("m_TcpExpect"), QString()));
    m_UnwantedPattern = ini.ReadString(section, QStringLiteral("m_UnwantedPattern"), QString());
    m_AcceptedStatus = ini.ReadString(section, QStringLiteral("m_AcceptedStatus"), kDefaultAcceptedStatus);
    m_HttpHeaders = DecodeDescription(ini.ReadString(section, QStringLiteral("m_HttpHeaders"), QString()));
}

bool IsValidUrl(const QString& url)
{
    const QUrl parsed(url.trimmed(), QUrl::TolerantMode);
    if (!parsed.isValid() || parsed.host().isEmpty())
        return false;
    const QString scheme = parsed.scheme().toLower();
    return scheme == u"http" || scheme == u"https" || scheme == u"ftp";
}

QString InvalidUrlMessage()
{
    return QStringLiteral("The URL you entered is not valid. Please make sure that the URL begins with the protocol "
                          "definition (http://) and contains the web site name or the IP address");
}
