#include "ui/dialogs/TaskPage.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

CTaskPage::CTaskPage(QStyle::StandardPixmap icon, const QString& explanation, QWidget* parent)
    : QWidget(parent)
{
    auto* outer = new QVBoxLayout(this);

    auto* header = new QHBoxLayout;
    auto* iconLabel = new QLabel(this);
    iconLabel->setPixmap(style()->standardIcon(icon, nullptr, this).pixmap(32, 32));
    iconLabel->setAlignment(Qt::AlignTop);
    header->addWidget(iconLabel);
    auto* text = new QLabel(explanation, this);
    text->setWordWrap(true);
    text->setObjectName(QStringLiteral("explanation"));
    header->addWidget(text, 1);
    outer->addLayout(header);

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    outer->addWidget(rule);

    m_pBody = new QVBoxLayout;
    outer->addLayout(m_pBody, 1);
}

QLineEdit* CTaskPage::NewDigitsEdit(QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    // Nine digits always fit the task's 32-bit fields.
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), edit));
    edit->setMaxLength(9);
    edit->setMaximumWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0")) * 8 + 16);
    return edit;
}

int CTaskPage::DigitsValue(const QLineEdit* edit)
{
    return edit->text().toInt();
}
