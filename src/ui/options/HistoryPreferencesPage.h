#pragma once

#include <QString>
#include <QWidget>

#include <functional>

class CAppSettings;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
struct CHistoryLocation;

// The "History" page of the Options sheet: whether results are kept, in which database (the
// SQLite file on this computer or a PostgreSQL server several programs share), for how long,
// and the buttons that try the connection and clear what was recorded; and where Prometheus
// reads the latest results. Both buttons work on
// a thread of the pool, so a server that does not answer never freezes the window.
class CHistoryPreferencesPage : public QWidget
{
    Q_OBJECT

public:
    explicit CHistoryPreferencesPage(QWidget* parent = nullptr);

    void Load(const CAppSettings& settings);
    void Store(CAppSettings& settings) const;

    // The m_HistoryDatabase value the controls describe.
    QString GetDatabaseSetting() const;
    // True while a connection test or a clearing is under way.
    bool IsBusy() const { return m_nBusy > 0; }

    static constexpr int kMinRetentionDays = 1;
    static constexpr int kMaxRetentionDays = 3650;

Q_SIGNALS:
    // A connection test or a clearing has ended and its message box was closed.
    void WorkFinished();

private:
    void UpdateEnabling();
    void TestConnection();
    void ClearHistory();
    // Runs work (which gets the location and returns its outcome) on a pool thread and
    // shows the outcome in a message box; the button stays disabled meanwhile.
    void RunInBackground(QPushButton* button, const CHistoryLocation& location,
                         std::function<QString(const CHistoryLocation&, bool& failed)> work);
    QString BuildSetting() const;
    bool GetLocation(CHistoryLocation& location, QString* error) const;
    void ShowMessage(bool failed, const QString& text);

    QCheckBox* m_pHistoryEnabled;
    QRadioButton* m_pThisComputer;
    QLineEdit* m_pFilePath;
    QRadioButton* m_pServer;
    QLabel* m_pHostLabel;
    QLineEdit* m_pHost;
    QLabel* m_pPortLabel;
    QSpinBox* m_pPort;
    QLabel* m_pDatabaseLabel;
    QLineEdit* m_pDatabase;
    QLabel* m_pUserLabel;
    QLineEdit* m_pUser;
    QLabel* m_pPasswordNote;
    QPushButton* m_pTestConnection;
    QLabel* m_pRetentionLabel;
    QSpinBox* m_pRetentionDays;
    QLabel* m_pRetentionDaysLabel;
    QLabel* m_pRetentionNote;
    QPushButton* m_pClearHistory;
    QLineEdit* m_pMetricsListen;
    QCheckBox* m_pMetricsAllowRemote;

    // What Load() was given, and what the controls said then: a setting nobody changed is
    // stored as it was written, options of the URI and spelling included.
    QString m_LoadedSetting;
    QString m_LoadedBuilt;
    QString m_FileSetting; // a file path typed into the settings; empty for the default file
    QString m_ServerOptions; // the query of a loaded URI, kept for the server
    int m_nBusy = 0;
};
