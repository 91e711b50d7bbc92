#pragma once

#include "core/tasks/Task.h"

#include <QList>
#include <QString>

// Stable task keys (m_TaskGuid): UUIDs written without braces, in lower case.

// The key in its written form, or an empty string when `text` is no UUID (or the nil UUID).
QString NormalizeTaskKey(const QString& text);
// A new random key, for a task that is added to a document.
QString NewTaskKey();
// The key a task without one takes when its file is opened. Name-based, so that a program
// that never saves the file (the headless one) finds the same key at every start. `ordinal`
// is the task's place among the file's tasks of the same name, counted from 0.
QString DeriveTaskKey(const QString& taskFilePath, const QString& name, int ordinal);

// Gives every task of a file just read a key of its own: a task without a valid key, or
// with one an earlier task holds already (a file edited by hand), gets its derived key,
// a random one if even that is taken. Returns how many keys were given.
int AssignTaskKeys(const QString& taskFilePath, QList<CTask>& tasks);
