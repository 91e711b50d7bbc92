#pragma once

#include "ui/shell/UserTools.h"

#include <QDialog>
#include <QList>
#include <QSet>

class QAction;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;

// "Customize": which buttons the Standard toolbar shows, and the user-defined tools of the
// Tools menu. Works on copies; the caller applies the result after OK.
class CCustomizeDialog : public QDialog
{
    Q_OBJECT

public:
    enum ePage
    {
        eToolbarPage,
        eToolsPage
    };

    // buttons: the toolbar's possible buttons in their order; hidden: the object names of
    // those not shown.
    CCustomizeDialog(const QList<QAction*>& buttons, const QSet<QString>& hidden, const QList<CUserTool>& tools,
                     QWidget* parent = nullptr);

    void ShowPage(ePage page);
    QSet<QString> GetHiddenButtons() const;
    QList<CUserTool> GetTools() const;

private:
    void OnToolSelected();
    void OnToolEdited();
    void OnNewTool();
    void OnDeleteTool();

    QTabWidget* m_pTabs;
    QListWidget* m_pButtons;
    QListWidget* m_pToolList;
    QLineEdit* m_pName;
    QLineEdit* m_pProgram;
    QLineEdit* m_pArguments;
    QPushButton* m_pNewTool;
    QPushButton* m_pDeleteTool;
    QList<CUserTool> m_Tools;
    bool m_bLoadingFields = false;
};
