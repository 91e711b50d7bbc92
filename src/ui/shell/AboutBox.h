#pragma once

#include <QDialog>

// Help > About: the product, its version and where to reach its makers.
class CAboutBox : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutBox(QWidget* parent = nullptr);
};

// The product's web page (the task list's "Opens Vigrel website" command).
QString GetProductWebPage();
