#pragma once

#include "core/tasks/Task.h"

#include <QList>
#include <QString>

class CVigrelDoc;

// What bringing a running document in line with its task file changed.
struct CTaskFileReload
{
    int m_nAdded = 0;
    int m_nChanged = 0;
    int m_nRemoved = 0;
    int m_nUnchanged = 0;
};

// Makes the document hold the tasks just read from its file (keys already given, as
// AssignTaskKeys does), matching tasks by their stable key so that a service can take in an
// edited file without losing what it knows: a task whose stored fields are the same is left
// alone (its id, next run, failure count and alert state stay); a changed one takes the new
// fields and keeps its id, key, failure count and alert state, and its next run unless its
// schedule changed; tasks no longer in the file are removed and new ones added. UI thread.
CTaskFileReload MergeTaskFile(CVigrelDoc& document, const QList<CTask>& tasks);
