#include "ui/shell/AboutBox.h"

#include "Version.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>

namespace {
// Our own host: the product has no shop, so sales and support share one domain.
const QString kWebHost = QStringLiteral("www.corvane.example");
const QString kSalesAddress = QStringLiteral("sales@corvane.example");
const QString kSupportAddress = QStringLiteral("support@corvane.example");
} // namespace

QString GetProductWebPage()
{
    return QStringLiteral("http://") + kWebHost + QStringLiteral("/VGR.html");
}

CAboutBox::CAboutBox(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About " CORVANE_PRODUCT_NAME));
    auto* icon = new QLabel;
    icon->setPixmap(QIcon(QStringLiteral(":/icons/app.svg")).pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop);

    auto* text = new QLabel(QStringLiteral("<b>%1</b> version %2<br>Web-site monitor<br><br>"
                                           "Web: <a href=\"%3\">%4</a><br>"
                                           "Sales: <a href=\"mailto:%5\">%5</a><br>"
                                           "Support: <a href=\"mailto:%6\">%6</a>")
                                .arg(QStringLiteral(CORVANE_PRODUCT_NAME), QStringLiteral(CORVANE_VERSION),
                                     GetProductWebPage(), kWebHost, kSalesAddress, kSupportAddress));
    text->setObjectName(QStringLiteral("aboutText"));
    text->setOpenExternalLinks(true);
    text->setTextInteractionFlags(Qt::TextBrowserInteraction);

    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(text, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
}
