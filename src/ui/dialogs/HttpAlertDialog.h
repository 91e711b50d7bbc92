#pragma once

#include <QDialog>

#include <atomic>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QThread;

// What an HTTP alert sends, as the alert pages hold it: the URL and the request around it.
struct CHttpAlertTemplates
{
    QString m_Url;
    QString m_Method = QStringLiteral("GET");
    QString m_Body;
    QString m_ContentType; // empty: chosen from the body when it is sent
};

// Edits the request of an HTTP alert: method, URL, content type and body, with presets for
// the usual chat and monitoring services and a Test button that sends one request now with
// sample values. The request runs on a thread of its own, so a slow server never freezes the
// window; closing the dialog meanwhile cuts it off.
class CHttpAlertDialog : public QDialog
{
    Q_OBJECT

public:
    enum ePreset
    {
        eSlack,
        eMattermost,
        eDiscord,
        eTeams,
        eNtfy,
        eGotify,
        eHealthchecks,
        eUptimeKuma,
        ePresetCount,
    };

    explicit CHttpAlertDialog(QWidget* parent = nullptr);
    ~CHttpAlertDialog() override;

    void SetTemplates(const CHttpAlertTemplates& templates);
    CHttpAlertTemplates Templates() const;

    // What the Request... button of an alert page does: opens the dialog over `page` with the
    // URL of `urlField` and the request the page keeps beside it (method, body, content
    // type: members of `page`); OK writes all four back and leaves the focus on the URL.
    // Opened rather than executed, so that the page's sheet keeps its event loop running;
    // the dialog goes when it closes, or with the page.
    static void EditRequest(QWidget* page, QLineEdit* urlField, QString& method, QString& body, QString& contentType);

    // Fills the fields as the Presets menu does, then selects the first part of the URL the
    // user has to put in.
    void ApplyPreset(ePreset preset);

    void done(int result) override;

private:
    void UpdateEnabling();
    void UpdateAutomaticType();
    void SendTest();
    void ShowTestOutcome();
    void StopTest();
    void ShowMessage(bool failed, const QString& text, QWidget* focusAfter);

    struct CTestRun;

    QLineEdit* m_pUrl;
    QComboBox* m_pMethod;
    QLabel* m_pContentTypeLabel;
    QComboBox* m_pContentType;
    QLabel* m_pBodyLabel;
    QPlainTextEdit* m_pBody;
    QPushButton* m_pPresets;
    QPushButton* m_pTest;
    QThread* m_pTestThread = nullptr;
    std::shared_ptr<CTestRun> m_pTestRun;
};
