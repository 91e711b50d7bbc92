#include "ui/dialogs/HttpAlertDialog.h"

#include "Version.h"
#include "core/alerts/AlertDelivery.h"
#include "core/support/Clock.h"

#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringListModel>
#include <QThread>
#include <QVBoxLayout>

#include <iterator>

namespace {

struct CPreset
{
    const char* m_Label;
    const char* m_ObjectName;
    const char* m_Method;
    const char* m_Url;
    const char* m_ContentType;
    const char* m_Body;
};

// Each service's own webhook format, as its documentation gives it. What stands in angle
// brackets is the user's own (a server, a token), to be typed over.
constexpr CPreset kPresets[] = {
    {"Slack", "presetSlack", "POST", "https://hooks.slack.com/services/<webhook-path>", "application/json",
     R"({"text": "%N %S: %E"})"},
    {"Mattermost", "presetMattermost", "POST", "https://<mattermost-server>/hooks/<webhook-id>", "application/json",
     R"({"text": "%N %S: %E"})"},
    {"Discord", "presetDiscord", "POST", "https://discord.com/api/webhooks/<webhook-id>/<webhook-token>",
     "application/json", R"({"content": "%N %S: %E"})"},
    {"Microsoft Teams", "presetTeams", "POST", "https://<tenant>.webhook.office.com/webhookb2/<webhook-path>",
     "application/json", R"({"text": "%N %S: %E"})"},
    {"ntfy", "presetNtfy", "POST", "https://ntfy.sh/<topic>", "text/plain", "%N %S: %E"},
    {"Gotify", "presetGotify", "POST", "https://<gotify-server>/message?token=<app-token>", "application/json",
     R"({"title": "%N %S", "message": "%E", "priority": 5})"},
    // Push monitors are told about a failure by the URL alone.
    {"Healthchecks", "presetHealthchecks", "GET", "https://hc-ping.com/<check-uuid>/fail", "", ""},
    {"Uptime Kuma push", "presetUptimeKuma", "GET",
     "https://<uptime-kuma-server>/api/push/<push-token>?status=down&msg=%E", "", ""},
};
static_assert(std::size(kPresets) == CHttpAlertDialog::ePresetCount);

// Long enough for a slow webhook service, short enough for someone waiting at the dialog;
// Cancel cuts it off sooner.
constexpr int kTestTimeoutSec = 15;

// The empty first entry of the content types stands for the automatic choice: the list says
// so, while the field itself stays empty, which is what is stored.
class CContentTypeModel : public QIdentityProxyModel
{
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == Qt::DisplayRole && index.row() == 0 && QIdentityProxyModel::data(index, role).toString().isEmpty())
            return QStringLiteral("Automatic");
        return QIdentityProxyModel::data(index, role);
    }
};

bool IsPost(const QString& method)
{
    return method.trimmed().compare(u"POST", Qt::CaseInsensitive) == 0;
}

// What a test request tells the service, in the place of a real task's result.
CAlertFields SampleFields()
{
    const QDateTime now = QDateTime::fromSecsSinceEpoch(CurrentTime());
    CAlertFields fields;
    fields.m_Name = QStringLiteral("Test task");
    fields.m_Text = QStringLiteral("This is a test alert from " CORVANE_PRODUCT_NAME ". No task has failed.");
    fields.m_State = QStringLiteral("failed");
    fields.m_Time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
    fields.m_Target = QStringLiteral("https://www.example.com/");
    return fields;
}

} // namespace

// Shared with the request's thread, which outlives neither the dialog nor this record.
struct CHttpAlertDialog::CTestRun
{
    CHttpAlert m_Alert;
    std::atomic<bool> m_bAbort {false};
    bool m_bSent = false;
    QString m_Error;
    QString m_Answer;
};

CHttpAlertDialog::CHttpAlertDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("HTTP Alert Request"));
    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QLatin1String(name));
        return widget;
    };

    // Created in the order Tab should visit them.
    m_pUrl = named(new QLineEdit(this), "requestUrl");
    m_pUrl->setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('x')) * 60);
    m_pMethod = named(new QComboBox(this), "requestMethod");
    m_pMethod->addItems({QStringLiteral("GET"), QStringLiteral("POST")});
    m_pContentType = named(new QComboBox(this), "requestContentType");
    m_pContentType->setEditable(true);
    // A type typed in is used as it is, not added to the list.
    m_pContentType->setInsertPolicy(QComboBox::NoInsert);
    auto* types
        = new QStringListModel({QString(), QStringLiteral("application/json"),
                                QStringLiteral("application/x-www-form-urlencoded"), QStringLiteral("text/plain")},
                               m_pContentType);
    auto* shownTypes = new CContentTypeModel(m_pContentType);
    shownTypes->setSourceModel(types);
    m_pContentType->setModel(shownTypes);
    m_pBody = named(new QPlainTextEdit(this), "requestBody");
    m_pBody->setTabChangesFocus(true);
    m_pBody->setPlaceholderText(QStringLiteral(R"({"text": "%N %S: %E"})"));
    m_pPresets = named(new QPushButton(QStringLiteral("&Presets"), this), "requestPresets");
    m_pTest = named(new QPushButton(QStringLiteral("&Test"), this), "requestTest");
    m_pTest->setAutoDefault(false);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);

    auto* presets = new QMenu(m_pPresets);
    for (int preset = 0; preset < ePresetCount; ++preset) {
        QAction* action = presets->addAction(QString::fromUtf8(kPresets[preset].m_Label));
        action->setObjectName(QLatin1String(kPresets[preset].m_ObjectName));
        connect(action, &QAction::triggered, this, [this, preset] { ApplyPreset(ePreset(preset)); });
    }
    m_pPresets->setMenu(presets);
    m_pPresets->setAutoDefault(false);

    auto* form = new QFormLayout;
    auto addRow = [this, form](const QString& text, QWidget* field) {
        auto* label = new QLabel(text, this);
        label->setBuddy(field);
        form->addRow(label, field);
        return label;
    };
    addRow(QStringLiteral("&URL:"), m_pUrl);
    addRow(QStringLiteral("&Method:"), m_pMethod);
    m_pContentTypeLabel = addRow(QStringLiteral("Content t&ype:"), m_pContentType);
    m_pBodyLabel = addRow(QStringLiteral("&Body:"), m_pBody);
    auto* placeholders
        = new QLabel(QStringLiteral("Placeholders: %N task name, %E result text, %S state, %T time, %D downtime, "
                                    "%U URL or host. They are percent-encoded in the URL and in a form body, and "
                                    "escaped in a JSON body."),
                     this);
    placeholders->setWordWrap(true);
    placeholders->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->setWidget(form->rowCount(), QFormLayout::FieldRole, placeholders);

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(m_pPresets);
    buttonRow->addWidget(m_pTest);
    buttonRow->addStretch(1);
    buttonRow->addWidget(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form, 1);
    layout->addLayout(buttonRow);

    connect(m_pMethod, &QComboBox::currentIndexChanged, this, &CHttpAlertDialog::UpdateEnabling);
    connect(m_pBody, &QPlainTextEdit::textChanged, this, &CHttpAlertDialog::UpdateAutomaticType);
    connect(m_pTest, &QPushButton::clicked, this, &CHttpAlertDialog::SendTest);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    UpdateAutomaticType();
    UpdateEnabling();
}

CHttpAlertDialog::~CHttpAlertDialog()
{
    StopTest();
}

void CHttpAlertDialog::SetTemplates(const CHttpAlertTemplates& templates)
{
    m_pUrl->setText(templates.m_Url);
    m_pUrl->setCursorPosition(0);
    m_pMethod->setCurrentIndex(IsPost(templates.m_Method) ? 1 : 0);
    m_pContentType->setCurrentIndex(templates.m_ContentType.isEmpty() ? 0 : -1);
    // Kept as it was written, letter case included, whether or not the list offers it.
    m_pContentType->setEditText(templates.m_ContentType);
    m_pBody->setPlainText(templates.m_Body);
    UpdateEnabling();
}

CHttpAlertTemplates CHttpAlertDialog::Templates() const
{
    CHttpAlertTemplates templates;
    templates.m_Url = m_pUrl->text();
    templates.m_Method = m_pMethod->currentText();
    // Kept for a GET as well, so that switching back to POST finds them again.
    templates.m_Body = m_pBody->toPlainText();
    templates.m_ContentType = m_pContentType->currentText().trimmed();
    return templates;
}

void CHttpAlertDialog::EditRequest(QWidget* page, QLineEdit* urlField, QString& method, QString& body,
                                   QString& contentType)
{
    auto* dialog = new CHttpAlertDialog(page);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->SetTemplates({urlField->text(), method, body, contentType});
    connect(dialog, &QDialog::accepted, page, [dialog, urlField, &method, &body, &contentType] {
        const CHttpAlertTemplates templates = dialog->Templates();
        urlField->setText(templates.m_Url);
        urlField->setCursorPosition(0);
        method = templates.m_Method;
        body = templates.m_Body;
        contentType = templates.m_ContentType;
        urlField->setFocus();
    });
    dialog->open();
}

void CHttpAlertDialog::ApplyPreset(ePreset preset)
{
    const CPreset& chosen = kPresets[preset];
    CHttpAlertTemplates templates;
    templates.m_Method = QString::fromLatin1(chosen.m_Method);
    templates.m_Url = QString::fromUtf8(chosen.m_Url);
    templates.m_ContentType = QString::fromLatin1(chosen.m_ContentType);
    templates.m_Body = QString::fromUtf8(chosen.m_Body);
    SetTemplates(templates);
    m_pUrl->setFocus(Qt::OtherFocusReason);
    const qsizetype start = templates.m_Url.indexOf(u'<');
    const qsizetype end = templates.m_Url.indexOf(u'>', start);
    if (start >= 0 && end > start)
        m_pUrl->setSelection(int(start), int(end - start + 1));
}

void CHttpAlertDialog::done(int result)
{
    if (result == QDialog::Accepted) {
        const CHttpAlertTemplates templates = Templates();
        const QString reason
            = CheckHttpAlertTemplates(templates.m_Method, templates.m_Url, templates.m_Body, templates.m_ContentType);
        if (!reason.isEmpty()) {
            ShowMessage(true, reason, m_pBody->isEnabled() ? static_cast<QWidget*>(m_pBody) : m_pUrl);
            return;
        }
    }
    // Nobody is left to read the answer.
    StopTest();
    QDialog::done(result);
}

void CHttpAlertDialog::UpdateEnabling()
{
    // A GET carries everything in its URL.
    const bool post = m_pMethod->currentIndex() == 1;
    m_pContentTypeLabel->setEnabled(post);
    m_pContentType->setEnabled(post);
    m_pBodyLabel->setEnabled(post);
    m_pBody->setEnabled(post);
    m_pTest->setEnabled(!m_pTestThread);
}

void CHttpAlertDialog::UpdateAutomaticType()
{
    m_pContentType->lineEdit()->setPlaceholderText(
        QStringLiteral("Automatic: %1").arg(EffectiveAlertContentType(m_pBody->toPlainText(), QString())));
}

void CHttpAlertDialog::SendTest()
{
    if (m_pTestThread)
        return;
    const CHttpAlertTemplates templates = Templates();
    const QString reason
        = CheckHttpAlertTemplates(templates.m_Method, templates.m_Url, templates.m_Body, templates.m_ContentType);
    if (!reason.isEmpty()) {
        ShowMessage(true, reason, m_pBody->isEnabled() ? static_cast<QWidget*>(m_pBody) : m_pUrl);
        return;
    }
    auto run = std::make_shared<CTestRun>();
    run->m_Alert = PrepareHttpAlert(templates.m_Method, templates.m_Url, templates.m_Body, templates.m_ContentType,
                                    SampleFields());
    m_pTestRun = run;
    m_pTestThread = QThread::create([run] {
        run->m_bSent = SendHttpAlert(run->m_Alert, kTestTimeoutSec, &run->m_bAbort, run->m_Error, &run->m_Answer);
    });
    // The run is compared, not the thread: a thread stopped and deleted before its queued
    // signal arrived must not be taken for a later one.
    connect(m_pTestThread, &QThread::finished, this, [this, run] {
        if (run == m_pTestRun)
            ShowTestOutcome();
    });
    setCursor(Qt::WaitCursor);
    UpdateEnabling();
    m_pTestThread->start();
}

void CHttpAlertDialog::ShowTestOutcome()
{
    const std::shared_ptr<CTestRun> run = m_pTestRun;
    StopTest();
    if (run->m_bSent) {
        const QString answer = run->m_Answer.trimmed();
        ShowMessage(false,
                    answer.isEmpty()
                        ? QStringLiteral("The test request was sent.")
                        : QStringLiteral("The test request was sent. The server answered:\n\n%1").arg(answer),
                    m_pTest);
    } else {
        QString text = QStringLiteral("The test request failed: %1").arg(run->m_Error);
        if (!run->m_Answer.trimmed().isEmpty())
            text += QStringLiteral("\n\nThe server answered:\n\n%1").arg(run->m_Answer.trimmed());
        ShowMessage(true, text, m_pTest);
    }
}

void CHttpAlertDialog::StopTest()
{
    if (!m_pTestThread)
        return;
    m_pTestRun->m_bAbort = true;
    // The transfer looks at the flag at least once a second, so this wait is short.
    m_pTestThread->wait();
    delete m_pTestThread;
    m_pTestThread = nullptr;
    m_pTestRun.reset();
    unsetCursor();
    UpdateEnabling();
}

void CHttpAlertDialog::ShowMessage(bool failed, const QString& text, QWidget* focusAfter)
{
    // Opened, not executed: the dialog's own event loop goes on, and a dialog that closes
    // takes the box with it.
    auto* box = new QMessageBox(failed ? QMessageBox::Warning : QMessageBox::Information,
                                QStringLiteral(CORVANE_PRODUCT_NAME), text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("requestMessage"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    focusAfter->setFocus(Qt::OtherFocusReason);
    connect(box, &QMessageBox::finished, this, [focusAfter] { focusAfter->setFocus(Qt::OtherFocusReason); });
    box->open();
}
