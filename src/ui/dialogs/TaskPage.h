#pragma once

#include <QStyle>
#include <QWidget>

class CTask;
class QLineEdit;
class QVBoxLayout;

// One page of the task configuration sheet: an icon with a line that says what the page is
// for, then the page's controls. The sheet sets every page up from its task, asks the page
// being left whether it may be left, and on OK copies every page back into the task.
class CTaskPage : public QWidget
{
    Q_OBJECT

public:
    CTaskPage(QStyle::StandardPixmap icon, const QString& explanation, QWidget* parent = nullptr);

    virtual void SetUp(const CTask& task) = 0;
    virtual void Confirm(CTask& task) = 0;
    // False after the page has shown why not and put the focus on the field to correct.
    virtual bool CanLeave() { return true; }

    // A line edit that takes digits only, for counts and limits read as decimals.
    static QLineEdit* NewDigitsEdit(QWidget* parent);
    // The decimal value of a digits-only edit; an empty one reads as 0.
    static int DigitsValue(const QLineEdit* edit);

protected:
    // Where the page's controls go, under the explanation.
    QVBoxLayout* Body() const { return m_pBody; }

private:
    QVBoxLayout* m_pBody = nullptr;
};
