#include "core/alerts/SmtpPassword.h"

#include "core/shell/AppSettings.h"

CSmtpPassword ResolveSmtpPassword(const CAppSettings& settings)
{
    CSmtpPassword password;
    if (settings.m_SmtpUserName.isEmpty())
        return password;
    if (qEnvironmentVariableIsSet(kSmtpPasswordVariable)) {
        password.m_Source = CSmtpPassword::eEnvironment;
        password.m_Password = qEnvironmentVariable(kSmtpPasswordVariable);
    }
    return password;
}

bool IsSecretStoreAvailable()
{
    return false;
}

bool WriteSecretStorePassword(const QString&, const QString&, const QString&, QString& error)
{
    error = QStringLiteral("No secret store is available.");
    return false;
}

bool DeleteSecretStorePassword(const QString&, const QString&, QString& error)
{
    error = QStringLiteral("No secret store is available.");
    return false;
}

QString DescribePasswordLocation(const CAppSettings&)
{
    return {};
}
