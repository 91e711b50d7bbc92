#pragma once

#include "core/support/Smtp.h"

#include <QByteArray>
#include <QString>

// How a mail message is written for the wire, apart from the SMTP client that sends it.

// "Name <address>", "<address>" or a bare address; false when no address is left.
bool ParseMailbox(const QString& item, CMailMessage::CRecipient& recipient);
// False for an address that could end an SMTP command early or close its path.
bool IsSafeAddress(const QString& address);
// Text for a header value: no control character, runs of blanks as one.
QString HeaderText(const QString& text);
// The whole message as sent after DATA: headers, a blank line, the encoded body, CR LF ends.
QByteArray BuildMessage(const CMailMessage& message, const CMailMessage::CRecipient& sender);
