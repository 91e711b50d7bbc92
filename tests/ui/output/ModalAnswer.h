#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

// Answers the next modal dialog of type T as soon as it is shown, so that no message box or
// file dialog can block a test. Keeps the text of a message box for the test to check.
template<class T> class CModalAnswer
{
public:
    explicit CModalAnswer(std::function<void(T*)> answer)
        : m_pTimer(std::make_unique<QTimer>())
    {
        m_pTimer->setInterval(5);
        QObject::connect(m_pTimer.get(), &QTimer::timeout, m_pTimer.get(), [this, answer = std::move(answer)] {
            auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible())
                return;
            m_pTimer->stop();
            m_bShown = true;
            if (auto* box = qobject_cast<QMessageBox*>(dialog))
                m_Text = box->text();
            answer(dialog);
        });
        m_pTimer->start();
    }

    bool WasShown() const { return m_bShown; }
    QString Text() const { return m_Text; }

private:
    std::unique_ptr<QTimer> m_pTimer;
    bool m_bShown = false;
    QString m_Text;
};

// Presses one button of the next message box.
inline std::function<void(QMessageBox*)> Press(QMessageBox::StandardButton button)
{
    return [button](QMessageBox* box) {
        box->button(button)->click();
    };
}
