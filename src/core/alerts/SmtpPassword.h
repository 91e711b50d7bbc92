#pragma once

#include <QString>

class CAppSettings;

// Where the mail server's password is looked for, in this order: the file named by
// m_SmtpPasswordFile (readable by its owner only), the environment variable
// CORVANE_SMTP_PASSWORD, the system's secret store (QtKeychain). Never the settings file.
struct CSmtpPassword
{
    enum eSource
    {
        eNone, // no user name, so no login; or nowhere held a password
        eFile,
        eEnvironment,
        eSecretStore,
    };
    eSource m_Source = eNone;
    QString m_Password;
    // Why no password could be had where one was needed (a file others can read, a secret
    // store that failed); empty otherwise. Never holds the password.
    QString m_Error;
};

inline constexpr char kSmtpPasswordVariable[] = "CORVANE_SMTP_PASSWORD";

// The password for settings' user name and server. Blocks while the secret store answers
// (bounded); any thread with an event loop or none.
CSmtpPassword ResolveSmtpPassword(const CAppSettings& settings);

// The secret store: true when one answers on this system (a session bus with Secret Service
// or KWallet on Linux). The entry is kept per user name and server.
bool IsSecretStoreAvailable();
bool WriteSecretStorePassword(const QString& userName, const QString& server, const QString& password,
                              QString& error);
bool DeleteSecretStorePassword(const QString& userName, const QString& server, QString& error);

// One sentence for the Options sheet: where the password for settings is kept or read from.
QString DescribePasswordLocation(const CAppSettings& settings);
