#include "ui/output/DetailsDialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

CDetailsDialog::CDetailsDialog(const QString& text, const QString& fileName, QWidget* parent)
    : QDialog(parent)
    , m_pText(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("DetailsDialog"));
    setWindowTitle(QStringLiteral("Message details"));
    // The file stays where it was written, for a viewer the user opens by hand.
    auto* where
        = new QLabel(QStringLiteral("No text viewer opened '%1'.").arg(QDir::toNativeSeparators(fileName)), this);
    where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    where->setWordWrap(true);

    m_pText->setObjectName(QStringLiteral("DetailsText"));
    m_pText->setReadOnly(true);
    // Crawl reports line up their columns with tabs and blanks.
    m_pText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_pText->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pText->setPlainText(text);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* selectAll = buttons->addButton(QStringLiteral("&Select all"), QDialogButtonBox::ActionRole);
    selectAll->setObjectName(QStringLiteral("SelectAll"));
    QPushButton* copy = buttons->addButton(QStringLiteral("&Copy"), QDialogButtonBox::ActionRole);
    copy->setObjectName(QStringLiteral("Copy"));
    // Copy takes the whole text when nothing is selected: that is what the user came for.
    connect(copy, &QPushButton::clicked, this, [this] {
        if (!m_pText->textCursor().hasSelection()) {
            m_pText->selectAll();
            m_pText->copy();
            m_pText->moveCursor(QTextCursor::Start);
        } else {
            m_pText->copy();
        }
    });
    connect(selectAll, &QPushButton::clicked, m_pText, &QPlainTextEdit::selectAll);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // Buttons of the box must not take Return from the text: Close is the only default.
    copy->setAutoDefault(false);
    selectAll->setAutoDefault(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(where);
    layout->addWidget(m_pText, 1);
    layout->addWidget(buttons);
    resize(720, 420);
}
