#include "core/output/LogMessage.h"

#include "core/support/Clock.h"

CLogMessage::CLogMessage()
    : m_Time(CurrentTime())
{ }

CLogMessage::CLogMessage(CSeverity severity, const QString& text)
    : m_Severity(severity)
    , m_Text(text)
    , m_Time(CurrentTime())
{ }
