#pragma once

#include <QDialog>

class QPlainTextEdit;

// The details of a multi-line message shown inside the program, for when no desktop viewer
// would open the details file: read-only, with the means to take the text elsewhere.
class CDetailsDialog : public QDialog
{
    Q_OBJECT

public:
    CDetailsDialog(const QString& text, const QString& fileName, QWidget* parent = nullptr);

    QPlainTextEdit* GetTextEdit() const { return m_pText; }

private:
    QPlainTextEdit* m_pText;
};
