#pragma once

#include <QWidget>

class CAppSettings;
class QCheckBox;
class QLineEdit;
class QListWidget;
class QToolButton;

// The "Output" page of the Options sheet: which severities the output window shows, how many
// messages it keeps, and the log file.
class COutputPreferencesPage : public QWidget
{
    Q_OBJECT

public:
    explicit COutputPreferencesPage(QWidget* parent = nullptr);

    void Load(const CAppSettings& settings);
    // Call only when IsMessageLimitAcceptable().
    void Store(CAppSettings& settings) const;

    // The message limit must be a whole number from kMinMessages to kMaxMessages while the
    // limit is on; while it is off the number is not used and anything goes.
    bool IsMessageLimitAcceptable() const;
    // Says why the limit is refused and puts the cursor on it.
    void RefuseMessageLimit();

    static constexpr int kMinMessages = 10;
    static constexpr int kMaxMessages = 100000;

private:
    void UpdateEnabling();
    void BrowseLogFile();

    QListWidget* m_pSeverities;
    QCheckBox* m_pLimitMessageNumber;
    QLineEdit* m_pMaxMessageNumber;
    QCheckBox* m_pLogToFile;
    QLineEdit* m_pLogFileName;
    QToolButton* m_pBrowseLogFile;
};
