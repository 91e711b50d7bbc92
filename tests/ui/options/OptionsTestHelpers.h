#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

// Points XDG_CONFIG_HOME at a fresh folder while it lives, so the auto-start entry the sheet
// writes never reaches the real one.
class CTempConfigHome
{
public:
    CTempConfigHome() { qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_Dir.path())); }
    ~CTempConfigHome()
    {
        if (m_Previous.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", m_Previous);
    }

    QString EntryPath() const { return m_Dir.filePath(QStringLiteral("autostart/corvane.desktop")); }
    QString ReadEntry() const
    {
        QFile file(EntryPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QByteArray m_Previous = qEnvironmentVariableIsSet("XDG_CONFIG_HOME") ? qgetenv("XDG_CONFIG_HOME") : QByteArray();
    QTemporaryDir m_Dir;
};

// Acts on the next modal dialog of type T that opens while it lives, from the event loop, so
// the code that called exec() goes on. It ends with its scope: a dialog that never came cannot
// be answered later into a test that has gone.
class CModalAnswer
{
public:
    explicit CModalAnswer(std::function<bool(QWidget*)> tryAct)
        : m_TryAct(std::move(tryAct))
    {
        QObject::connect(&m_Timer, &QTimer::timeout, &m_Timer, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            // One dialog only; but it is acted on again while it stays open (a file dialog
            // still reading its folder on a busy machine may ignore the first accept).
            if (!modal || (m_bActed && modal != m_pActedOn))
                return;
            m_Timer.stop(); // the act may run an event loop of its own
            if (m_TryAct(modal)) {
                m_bActed = true;
                m_pActedOn = modal;
            }
            m_Timer.start();
        });
        m_Timer.start(10);
    }
    bool Acted() const { return m_bActed; }

private:
    std::function<bool(QWidget*)> m_TryAct;
    QTimer m_Timer;
    bool m_bActed = false;
    QPointer<QWidget> m_pActedOn;
};

template<class T> std::unique_ptr<CModalAnswer> WhenModalOpens(std::function<void(T*)> act)
{
    return std::make_unique<CModalAnswer>([act = std::move(act)](QWidget* modal) {
        T* dialog = qobject_cast<T*>(modal);
        if (dialog)
            act(dialog);
        return dialog != nullptr;
    });
}

// Accepts the next message box, keeping its text in *text.
inline std::unique_ptr<CModalAnswer> AnswerNextMessageBox(QString* text)
{
    return WhenModalOpens<QMessageBox>([text](QMessageBox* box) {
        *text = box->text();
        box->accept();
    });
}

template<class T> T* FindControl(const QWidget* root, const char* name)
{
    T* control = root->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(control, nullptr) << "no control " << name;
    return control;
}

// Replaces the text of an edit key by key, as a user would (validators included).
inline void TypeInto(QLineEdit* edit, const QString& text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

inline void SetChecked(QCheckBox* box, bool checked)
{
    if (box->isChecked() != checked)
        box->click();
}
