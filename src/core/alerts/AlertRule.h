#pragma once

#include "core/alerts/AlertRequest.h"

#include <optional>

class CVigrelDoc;

// Decides whether a log message raises an alert, and keeps the task's count of consecutive
// failures in the document. Only verdicts count: a message about no task (id -1), or about
// a task deleted meanwhile, raises nothing and changes nothing.
// - A success resets the count, and raises an alert unless the task alerts about failures
//   only.
// - A failure adds one to the count; when the count before it had reached the task's
//   m_MaxFailCount, the count starts again from 0 and an alert is raised. So with N, the
//   (N+1)-th failure in a row alerts, and every failure alerts with 0.
// - The document also keeps when a run of failures began and with what text, and whether a
//   failure alert of it went out (NoteAlertHandedOver). The success that ends a run which
//   alerted raises one "recovered" alert instead (with the downtime and the first failure's
//   text) when the task asks for it, whether or not the task also alerts about every success.
// UI thread. Returns the request to queue, its task's m_AlertDetails set to the message text.
std::optional<CAlertRequest> ApplyAlertRule(CVigrelDoc& document, const CLogMessage& message);

// Tells the rule that the request went to the alert thread. Only a failure alert handed over
// earns its run a recovery alert: one held back by a snooze, or dropped by a full queue, told
// nobody of an outage whose end would then need telling. UI thread.
void NoteAlertHandedOver(CVigrelDoc& document, const CAlertRequest& request);
